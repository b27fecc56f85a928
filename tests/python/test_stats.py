"""Summary statistics of ContinuousDistribution: values, failures and their order."""

import math

import pytest

import drovik
from _replica import Recorder, Switch, exact_after_one_step, raises_exactly

Interval = drovik.Interval
NAN, INF = math.nan, math.inf
INTEGRATION = "numerical integration failed"
PDF_REQUIRED = "operation requires an underlying PDF"


@pytest.fixture(scope="module")
def uniform02():
    return drovik.from_pdf(lambda x: 1.0, Interval(0.0, 2.0))


def test_density_evaluated_once_per_quadrature_point():
    # Constant, linear and quadratic integrands are exact after one step of each panel (var: m1, then m2).
    density = Recorder(lambda x: 1.0)
    dist = drovik.from_pdf(density, Interval(0.0, 2.0))
    one_pass = exact_after_one_step(0.0, 2.0)
    for statistic, calls in [(dist.mean, len(one_pass)), (dist.var, 2 * len(one_pass)), (dist.entropy, len(one_pass))]:
        density.args.clear()
        statistic()
        assert density.calls == calls
    density.args.clear()
    func = Recorder(lambda x: x)
    assert dist.expect(func) == pytest.approx(1.0, abs=1e-12)
    assert func.args == density.args == one_pass


def test_statistics_ignore_the_build_tolerance():
    # A coarse quad_tolerance leaves the norm about 2e-3 off; the statistics integrate at 1e-10 and show it.
    f = lambda x: math.exp(-0.5 * x * x)  # noqa: E731
    coarse = drovik.from_pdf_with_options(f, Interval(-40.0, 40.0), drovik.BuildOptions(quad_tolerance=1e-2))
    true_over_coarse_norm = coarse.pdf(0.0) * math.sqrt(2.0 * math.pi)
    assert abs(true_over_coarse_norm - 1.0) > 1e-4
    assert coarse.expect(lambda x: 1.0) == pytest.approx(true_over_coarse_norm, abs=1e-8)
    assert coarse.var() == pytest.approx(true_over_coarse_norm, abs=1e-8)


# The second moment is taken about the mean, so nothing cancels; the mean itself is known to about an ulp of the
# location, which bounds what the variance can show.
@pytest.mark.parametrize("make, exact", [
    (lambda: drovik.from_histogram([1e8, 1e8 + 1e-6], [1.0]), 1e-12 / 12),
    (lambda: drovik.from_pdf(lambda x: 1.0, Interval(12345.678, 12345.678 + 1e-5)), 1e-10 / 12),
    (lambda: drovik.from_histogram([999.0, 1000.0, 1000.00001, 1001.0], [0.0, 1.0, 0.0]), 1e-10 / 12),
] + [(lambda loc=loc: drovik.from_pdf_loc_scale(lambda x: math.exp(-0.5 * x * x), Interval(-8.0, 8.0), loc, 1.0), 1.0)
     for loc in (1e3, 1e6, 1e8)],
    ids=["histogram-1e8", "uniform-12345", "histogram-spike", "normal-1e3", "normal-1e6", "normal-1e8"])
def test_var_far_from_zero(make, exact):
    dist = make()
    # the normals' variance was 1.00002, 24.3 and 232466 at 1e3, 1e6, 1e8
    assert dist.var() == pytest.approx(exact, rel=1e-2 if exact < 1.0 else 1e-5) and dist.std() == math.sqrt(dist.var())



# The normalization is good to a relative 1e-11 or so: the mean's error must scale with the width of the support,
# not with its distance from 0 (it was off by 2e-5, 0.02 and 21, below the support, at these locations).
@pytest.mark.parametrize("loc", [1e6, 1e9, 1e12])
def test_mean_far_from_zero(loc):
    dist = drovik.from_pdf_loc_scale(lambda z: z * z * math.exp(-z), Interval(0.0, 40.0), loc, 1.0)  # gamma(3)
    assert dist.mean() - loc == pytest.approx(3.0, abs=max(1e-9, 2 * math.ulp(loc)))
    assert dist.var() == pytest.approx(3.0, rel=1e-7)

# ---------------------------------------------------------------------------
# interval


@pytest.mark.parametrize("confidence, text", [(0.0, "0"), (1.0, "1"), (NAN, "NaN"), (-0.0, "-0"), (INF, "inf"),
                                              (-INF, "-inf"), (1e-7 - 1.0, "-0.9999999")])
def test_interval_confidence_out_of_range_is_checked_before_any_evaluation(confidence, text):
    density = Recorder(lambda x: 1.0)
    dist = drovik.from_pdf(density, Interval(0.0, 1.0))
    density.args.clear()
    raises_exactly(drovik.SampleError, f"confidence {text} must be in (0, 1)", dist.interval, confidence)
    assert density.calls == 0


def test_interval_upper_level_from_rounded_lower_level(uniform02):
    # 1 - 2^-52: a = 2^-53 and 1 - a is representable.
    lower, upper = uniform02.interval(1.0 - 2.0**-52)
    assert 0.0 <= lower < 1e-9 and 2.0 - 1e-9 < upper <= 2.0
    # 1 - 2^-53: a = 2^-54, and 1 - a rounds to 1, refused by the quantile.
    raises_exactly(drovik.SampleError, "quantile u=1 not in (0, 1)", uniform02.interval, 1.0 - 2.0**-53)
    assert uniform02.interval(5e-324) == (uniform02.median(),) * 2


def test_interval_computes_lower_then_upper():
    cdf = Recorder(Switch(lambda x: x, lambda x: 1 / 0))
    dist = drovik.from_cdf(cdf, Interval(0.0, 1.0))
    cdf.args.clear()
    assert dist.interval(0.5) == (0.25, 0.75)
    # Each quantile: the two ends, then bisection from the midpoint.
    assert cdf.args == [0.0, 1.0, 0.5, 0.25, 0.0, 1.0, 0.5, 0.75]
    # A broken cdf fails the lower quantile; the upper one would fail with "quantile u=1 ...".
    cdf.fn.on = True
    raises_exactly(drovik.SampleError, "failed to invert CDF", dist.interval, 1.0 - 2.0**-53)


# ---------------------------------------------------------------------------
# expect and the moments


def test_expect_may_reenter():
    dist = drovik.from_pdf_loc_scale(lambda z: 2.0 * z, Interval(0.0, 1.0), -1.0, 2.0)
    mean = dist.mean()
    # func calls back into the object while its density adapter is still in a call
    assert dist.expect(lambda x: dist.mean()) == pytest.approx(mean, abs=1e-12)
    assert dist.expect(lambda x: dist.expect(lambda y: y * x)) == pytest.approx(mean * mean, abs=1e-10)


# The density is zero on [1, 2): func is still called there.
@pytest.mark.parametrize("func", [lambda x: 1.0 if x != 1.0 else 1 / 0, lambda x: INF if x == 0.5 else 1.0,
                                  lambda x: 1.0 if x < 1.5 else 1 / 0],
                         ids=["raises-once", "inf-once", "raises-where-density-is-0"])
def test_expect_failing_func(func):
    raises_exactly(drovik.SampleError, INTEGRATION, drovik.from_histogram([0.0, 1.0, 2.0], [1.0, 0.0]).expect, func)


def test_failing_density_fails_the_moments_and_var_stops_after_m1():
    density = Recorder(Switch(lambda x: 1.0, lambda x: 1 / 0))
    dist = drovik.from_pdf(density, Interval(0.0, 1.0))
    density.fn.on, calls = True, []
    for statistic in (dist.mean, dist.var, dist.std):
        density.args.clear()
        raises_exactly(drovik.SampleError, INTEGRATION, statistic)
        calls.append(density.calls)
    assert calls[0] == calls[1] == calls[2]


def test_from_cdf_statistics_require_a_density():
    dist = drovik.from_cdf(lambda x: x, Interval(0.0, 1.0))
    # entropy fails like the moments instead of a made-up 0.0; func is never called
    for call in (dist.mean, dist.var, dist.std, dist.entropy, lambda: dist.expect(lambda x: 1 / 0)):
        raises_exactly(drovik.SampleError, PDF_REQUIRED, call)
    assert dist.median() == 0.5 and dist.interval(0.5) == (0.25, 0.75)


def _nan_beyond_one():  # failures are NaN to the integral: -integral over [0, 1] of 0.5 ln 0.5
    density = Switch(lambda x: 1.0, lambda x: 1 / 0 if x > 1.0 else 1.0)
    dist = drovik.from_pdf(density, Interval(0.0, 2.0))
    density.on = True
    return dist


@pytest.mark.parametrize("make, expected", [
    (lambda: drovik.from_histogram([0.0, 2.0, 3.0], [1.0, 0.0]), math.log(2.0)),
    # a triangle on [-1, 1] inside [-2, 3]: zero on both sides
    (lambda: drovik.from_pdf(lambda x: max(0.0, 1.0 - abs(x)), Interval(-2.0, 3.0)), 0.5),
    (_nan_beyond_one, 0.5 * math.log(2.0))], ids=["hist-zero-right", "triangle-zero", "nan-density"])
def test_entropy_skips_non_positive_and_nan_density(make, expected):
    assert make().entropy() == pytest.approx(expected, abs=1e-8)
