"""Histogram, location-scale and truncated distributions against their closed forms, and their sampling modes."""

import math

import pytest

import drovik
from _helpers import above, below
from _replica import Recorder, raises_exactly

Interval = drovik.Interval
BuildOptions = drovik.BuildOptions
NAN, INF = math.nan, math.inf
HIST, LS, TR = drovik.from_histogram, drovik.from_pdf_loc_scale, drovik.truncated
I01, I010 = Interval(0.0, 1.0), Interval(0.0, 10.0)
HISTOGRAM = "invalid histogram edges or counts"
NORMALIZE = "failed to normalize PDF on support"
SCALE = "scale must be finite and positive"
NON_FINITE = "non-finite value in support bounds"
LO_HI = "invalid support interval: lo must be strictly less than hi"
OUTSIDE = "truncation interval must lie inside base support"
STEP_TOL = 1e-8  # a step density is integrated numerically across its jumps: about 1e-9 of quadrature error


# Half-open bins: an inner edge belongs to the right bin, and the density is 0 from the last edge on.
@pytest.mark.parametrize("density", [False, True])
@pytest.mark.parametrize("x, height", [(-1.0, 0.0), (below(0.0), 0.0), (0.0, 0.5), (below(1.0), 0.5), (1.0, 0.25),
                                       (2.0, 0.25), (below(3.0), 0.25), (3.0, 0.0), (INF, 0.0), (NAN, 0.0)])
def test_histogram_is_exact_piecewise(density, x, height):
    dist = HIST([0.0, 1.0, 3.0], [1.0, 1.0], density=density)
    if height == 0.0:
        assert dist.pdf(x) == 0.0 and math.copysign(1.0, dist.pdf(x)) == 1.0 and dist.logpdf(x) is None
    else:
        assert dist.pdf(x) == pytest.approx(height, abs=STEP_TOL)
        assert dist.logpdf(x) == pytest.approx(math.log(height), abs=STEP_TOL / height)


def test_histogram_quantiles():  # half the mass on [0, 1), half on [1, 3)
    hist = HIST([0.0, 1.0, 3.0], [1.0, 1.0])
    assert [hist.ppf(u) for u in (0.25, 0.5, 0.75)] == pytest.approx([0.5, 1.0, 2.0], abs=4 * STEP_TOL)


# One bin is a step too: the density drops to 0 at the last edge. Tiny counts only scale the heights.
@pytest.mark.parametrize("bins, scale", [(1, 1e-300), (10, 1.0), (100, 1.0)])
def test_cdf_and_moments_match_the_piecewise_closed_form(bins, scale):
    # One adaptive rule across many bins is fooled by the jumps (about 1e-3 off at 100 bins).
    counts = [scale * (i % 7 + 1) for i in range(bins)]
    total = sum(counts)
    dist = HIST([float(i) for i in range(bins + 1)], counts)
    for x in [0.25, 1.0, bins / 2 + 0.5, bins - 0.5, bins - 1e-9]:
        if x < bins:
            assert dist.cdf(x) == pytest.approx((sum(counts[:int(x)]) + (x - int(x)) * counts[int(x)]) / total,
                                                abs=1e-13)
    mean = sum(c * (i + 0.5) for i, c in enumerate(counts)) / total
    second = sum(c * ((i + 1) ** 3 - i**3) / 3 for i, c in enumerate(counts)) / total
    assert dist.mean() == pytest.approx(mean, abs=1e-10)
    assert dist.var() == pytest.approx(second - mean**2, abs=1e-8)
    assert dist.entropy() == pytest.approx(-sum((c / total) * math.log(c / total) for c in counts), abs=1e-10)


@pytest.mark.parametrize("edges, counts, density, message", [
    ([0.0], [], False, HISTOGRAM),  # at least two edges
    ([0.0, 1.0], [1.0, 2.0], False, HISTOGRAM),  # one more edge than counts
    ([0.0, 1.0, 1.0], [1.0, 1.0], False, HISTOGRAM),  # finite, strictly increasing edges
    ([1.0, 0.0], [1.0], False, HISTOGRAM), ([NAN, 1.0], [1.0], False, HISTOGRAM),
    ([0.0, INF], [1.0], False, HISTOGRAM), ([0.0, 1.0, 1.0], [0.0, 0.0], False, HISTOGRAM),  # edges before the total
    ([0.0, 1.0, 2.0], [1.0, -5e-324], False, HISTOGRAM),  # finite, non-negative counts
    ([0.0, 1.0], [INF], False, HISTOGRAM), ([0.0, 1.0], [NAN], True, HISTOGRAM),
    ([0.0, 1.0, 2.0], [1.0, -1.0], False, HISTOGRAM),  # counts before their sum
    ([0.0, 1.0, 2.0], [-0.0, 0.0], False, NORMALIZE),  # a positive total
    ([0.0, 1.0, 3.0], [1e308, 1e308], False, NORMALIZE), ([0.0, 1.0, 3.0], [1e308, 1e308], True, NORMALIZE),
])
def test_histogram_invalid(edges, counts, density, message):
    raises_exactly(drovik.BuildError, message, HIST, edges, counts, density)


def test_histogram_takes_a_numpy_bool():
    np = pytest.importorskip("numpy")
    assert HIST([0.0, 1.0, 3.0], [1.0, 1.0], density=np.bool_(True)).pdf(0.5) == pytest.approx(0.5, abs=STEP_TOL)


# ---------------------------------------------------------------------------
# Location-scale and truncation


def one(x):
    return 1.0


def uniform(lo, hi):
    w, mid = hi - lo, (lo + hi) / 2
    return lambda x: 1.0 / w, lambda x: (x - lo) / w, mid, mid, w * w / 12, math.log(w)


CLOSED_FORMS = {
    "loc_scale": (one, LS, (I01, 2.0, 3.0), 2.0, 5.0, *uniform(2.0, 5.0)),
    "truncated": (one, TR, (I010, Interval(2.0, 4.0)), 2.0, 4.0, *uniform(2.0, 4.0)),
    "truncated-whole": (one, TR, (I010, I010), 0.0, 10.0, *uniform(0.0, 10.0)),  # bounds inclusive
    # Z with density 2z on [0, 1] (given as 5z); X = -1 + 2Z has density (x + 1) / 2 on [-1, 1].
    "loc_scale-linear": (lambda z: 5.0 * z, LS, (I01, -1.0, 2.0), -1.0, 1.0, lambda x: (x + 1.0) / 2.0,
                         lambda x: (x + 1.0) ** 2 / 4.0, math.sqrt(2.0) - 1.0, 1.0 / 3.0, 2.0 / 9.0, 0.5),
    # f(x) = x on [0, 10], kept on [2, 4]: p(x) = x / 6, F(x) = (x^2 - 4) / 12.
    "truncated-linear": (lambda x: x, TR, (I010, Interval(2.0, 4.0)), 2.0, 4.0, lambda x: x / 6.0,
                         lambda x: (x * x - 4.0) / 12.0, math.sqrt(10.0), 28.0 / 9.0, 26.0 / 81.0,
                         (3.0 + 6.0 * math.log(6.0) - 14.0 * math.log(2.0)) / 6.0),
}


@pytest.mark.parametrize("case", list(CLOSED_FORMS))
def test_derived_densities_are_exact_piecewise(case):
    f, factory, args, lo, hi, pdf, cdf, *statistics = CLOSED_FORMS[case]
    dist = factory(f, *args)
    assert (dist.support().lo, dist.support().hi) == (lo, hi)
    for x in (lo, lo + 0.3 * (hi - lo), (lo + hi) / 2, hi):  # closed at both ends
        assert (dist.pdf(x), dist.cdf(x)) == pytest.approx((pdf(x), cdf(x)), abs=1e-12)
    outside = (lo - 1e-9, hi + 1e-9)  # the closed window edges are pinned below
    assert [dist.pdf(x) for x in outside] + [dist.cdf(x) for x in outside] == [0.0, 0.0, 0.0, 1.0]
    assert (dist.median(), dist.mean(), dist.var()) == pytest.approx(statistics[:3], abs=1e-12)
    assert dist.entropy() == pytest.approx(statistics[3], abs=1e-9)  # p ln p is singular where p -> 0


@pytest.mark.parametrize("build, inside, outside, probe", [
    (lambda f: LS(f, I01, 2.0, 3.0), (0.0, 1.0), (1.0, below(2.0), above(5.0)), (3.5, 0.5)),
    (lambda f: TR(f, I010, Interval(2.0, 4.0)), (2.0, 4.0), (1.0, below(2.0), above(4.0)), (3.0, 3.0))],
    ids=["loc_scale", "truncated"])
def test_f_is_called_only_inside_its_window(build, inside, outside, probe):
    f = Recorder(one)
    dist = build(f)
    dist.mean(), dist.median()
    assert f.args and all(inside[0] <= z <= inside[1] for z in f.args)
    f.args.clear()
    assert [dist.pdf(x) for x in outside] == [0.0] * len(outside)
    dist.pdf(probe[0])
    assert f.args == [probe[1]]


@pytest.mark.parametrize("factory, args, message", [
    *[(LS, (I01, INF, s), SCALE) for s in (0.0, -0.0, -5e-324, NAN, INF, -INF)],  # before the inf loc
    (LS, (I01, NAN, 1.0), NON_FINITE), (LS, (I010, 0.0, 1e308), NON_FINITE),  # hi' overflows
    (LS, (Interval(-10.0, 0.0), 0.0, 1e308), NON_FINITE),  # lo' overflows
    (LS, (I01, 1e17, 1.0), LO_HI), (LS, (I01, 1.0, 1e-17), LO_HI),  # both ends round to one double
    *[(TR, (I010, t), OUTSIDE) for t in (Interval(-1.0, 4.0), Interval(10.0, 11.0), Interval(below(0.0), 10.0),
                                         Interval(0.0, above(10.0)))]])
def test_build_errors_before_any_evaluation(factory, args, message):
    f = Recorder(lambda x: 1 / 0)
    raises_exactly(drovik.BuildError, message, factory, f, *args)
    assert f.args == []


# ---------------------------------------------------------------------------
# Sampling modes of the derived kinds (Hermite table and TDR)

DERIVED_KINDS = {
    "histogram": (lambda o: HIST([0.0, 1.0, 3.0], [1.0, 1.0], options=o), (0.0, 3.0)),
    "loc_scale": (lambda o: LS(lambda z: math.exp(-0.5 * z * z), Interval(-3.0, 3.0), 1.0, 2.0, o), (-5.0, 7.0)),
    "truncated": (lambda o: TR(lambda z: math.exp(-0.5 * z * z), Interval(-5.0, 5.0), Interval(-1.0, 2.0), o),
                  (-1.0, 2.0)),
}
MODES = {"hermite16": BuildOptions.hermite(16), "tdr-inv_sqrt": BuildOptions.tdr("inv_sqrt"),
         "tdr-log": BuildOptions.tdr("log")}
# The step density's two levels are parallel tangents at different heights; the box hat refuses a normal peak that
# lies between its grid points.
REFUSED_MODES = [("histogram", "tdr-log"), ("loc_scale", "tdr-inv_sqrt"), ("truncated", "tdr-inv_sqrt")]


@pytest.mark.parametrize("kind, mode", [(k, m) for k in DERIVED_KINDS for m in MODES])
def test_mode_builds_samples_and_leaves_density_statistics_alone(kind, mode):
    build, (lo, hi) = DERIVED_KINDS[kind]
    if (kind, mode) in REFUSED_MODES:  # a hat that would not cover the density
        raises_exactly(drovik.BuildError, "tdr failed to build hat function (try InvSqrt transform or explicit dpdf)",
                       build, MODES[mode])
        return
    plain, dist = build(None), build(MODES[mode])
    assert (dist.uses_tdr(), dist.uses_hermite_table()) == (mode.startswith("tdr"), mode == "hermite16")
    assert (dist.support().lo, dist.support().hi) == (lo, hi)
    assert all(lo <= x <= hi for x in dist.sample_n(20, seed=11)) and lo <= dist.sample() <= hi
    assert (dist.mean(), dist.pdf(1.5), dist.cdf(1.5)) == (plain.mean(), plain.pdf(1.5), plain.cdf(1.5))
