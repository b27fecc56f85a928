"""Summary statistics of ContinuousDistribution: values, failures and their order."""

import math

import pytest

import drovik
from _replica import exact_after_one_step

Interval = drovik.Interval
NAN, INF = float("nan"), float("inf")
INTEGRATION = "numerical integration failed"
PDF_REQUIRED = "operation requires an underlying PDF"


class Counter:
    """Records the points it is called at; raises `exc` once one is set."""

    def __init__(self, fn, exc=None):
        self.fn, self.exc, self.points = fn, exc, []

    def __call__(self, x):
        self.points.append(x)
        if self.exc:
            raise self.exc()
        return self.fn(x)


def sample_error(call):
    with pytest.raises(drovik.SampleError) as info:
        call()
    return info.value.args


@pytest.fixture(scope="module")
def uniform02():
    return drovik.from_pdf(lambda x: 1.0, Interval(0.0, 2.0))


def test_density_evaluated_once_per_quadrature_point():
    # Constant, linear and quadratic integrands are exact after one step of each panel (var: m1, then m2).
    density = Counter(lambda x: 1.0)
    dist = drovik.from_pdf(density, Interval(0.0, 2.0))
    one_pass = exact_after_one_step(0.0, 2.0)
    for statistic, calls in [(dist.mean, len(one_pass)), (dist.var, 2 * len(one_pass)), (dist.entropy, len(one_pass))]:
        density.points.clear()
        statistic()
        assert len(density.points) == calls
    density.points.clear()
    func = Counter(lambda x: x)
    assert dist.expect(func) == pytest.approx(1.0, abs=1e-12)
    assert func.points == density.points == one_pass


def test_statistics_ignore_the_build_tolerance():
    # A coarse quad_tolerance leaves the norm about 2e-3 off; the statistics integrate at 1e-10 and show it.
    f = lambda x: math.exp(-0.5 * x * x)  # noqa: E731
    coarse = drovik.from_pdf_with_options(f, Interval(-40.0, 40.0), drovik.BuildOptions(quad_tolerance=1e-2))
    true_over_coarse_norm = coarse.pdf(0.0) * math.sqrt(2.0 * math.pi)
    assert abs(true_over_coarse_norm - 1.0) > 1e-4
    assert coarse.expect(lambda x: 1.0) == pytest.approx(true_over_coarse_norm, abs=1e-8)
    assert coarse.var() == pytest.approx(true_over_coarse_norm, abs=1e-8)


# ---------------------------------------------------------------------------
# var far from 0: the second moment is taken about the mean, so nothing cancels


@pytest.mark.parametrize("make, exact", [
    (lambda: drovik.from_histogram([1e8, 1e8 + 1e-6], [1.0]), 1e-12 / 12),
    (lambda: drovik.from_pdf(lambda x: 1.0, Interval(12345.678, 12345.678 + 1e-5)), 1e-10 / 12),
    (lambda: drovik.from_histogram([999.0, 1000.0, 1000.00001, 1001.0], [0.0, 1.0, 0.0]), 1e-10 / 12),
] + [(lambda loc=loc: drovik.from_pdf_loc_scale(lambda x: math.exp(-0.5 * x * x), Interval(-8.0, 8.0), loc, 1.0), 1.0)
     for loc in (1e3, 1e6, 1e8)],
    ids=["histogram-1e8", "uniform-12345", "histogram-spike", "normal-1e3", "normal-1e6", "normal-1e8"])
def test_var_far_from_zero(make, exact):
    # The mean itself is known to about an ulp of the location, which bounds what the variance can show.
    dist = make()
    assert dist.var() == pytest.approx(exact, rel=1e-2)
    assert dist.std() == pytest.approx(math.sqrt(exact), rel=1e-2)
    if exact == 1.0:
        assert dist.var() == pytest.approx(1.0, abs=1e-5)  # was 1.00002, 24.3 and 232466 at 1e3, 1e6, 1e8


# ---------------------------------------------------------------------------
# interval


@pytest.mark.parametrize(
    "confidence, text",
    [(0.0, "0"), (1.0, "1"), (NAN, "NaN"), (-0.0, "-0"), (INF, "inf"), (-INF, "-inf"), (1e-7 - 1.0, "-0.9999999")],
)
def test_interval_confidence_out_of_range(confidence, text):
    density = Counter(lambda x: 1.0)
    dist = drovik.from_pdf(density, Interval(0.0, 1.0))
    density.points.clear()
    assert sample_error(lambda: dist.interval(confidence)) == (f"confidence {text} must be in (0, 1)",)
    assert density.points == []  # checked before any evaluation


def test_interval_upper_level_from_rounded_lower_level(uniform02):
    with pytest.raises(TypeError, match=r"^argument 'confidence': must be real number, not str$"):
        uniform02.interval("0.5")
    # 1 - 2^-52: a = 2^-53 and 1 - a is representable.
    lower, upper = uniform02.interval(1.0 - 2.0**-52)
    assert 0.0 <= lower < 1e-9 and 2.0 - 1e-9 < upper <= 2.0
    # 1 - 2^-53: a = 2^-54, and 1 - a rounds to 1, refused by the quantile.
    assert sample_error(lambda: uniform02.interval(1.0 - 2.0**-53)) == ("quantile u=1 not in (0, 1)",)
    assert uniform02.interval(5e-324) == (uniform02.median(),) * 2


def test_interval_computes_lower_then_upper():
    cdf = Counter(lambda x: x)
    dist = drovik.from_cdf(cdf, Interval(0.0, 1.0))
    cdf.points.clear()
    assert dist.interval(0.5) == (0.25, 0.75)
    # Each quantile: the two ends, then bisection from the midpoint.
    assert cdf.points == [0.0, 1.0, 0.5, 0.25, 0.0, 1.0, 0.5, 0.75]
    # A broken cdf fails the lower quantile; the upper one would fail with "quantile u=1 ...".
    cdf.exc = ZeroDivisionError
    assert sample_error(lambda: dist.interval(1.0 - 2.0**-53)) == ("failed to invert CDF",)


# ---------------------------------------------------------------------------
# expect


def test_expect_converts_results_and_may_reenter():
    dist = drovik.from_pdf_loc_scale(lambda z: 2.0 * z, Interval(0.0, 1.0), -1.0, 2.0)
    assert dist.expect(lambda x: 1) == pytest.approx(1.0, abs=1e-10)
    assert dist.expect(lambda x: True) == pytest.approx(1.0, abs=1e-10)
    mean = dist.mean()
    assert dist.expect(lambda x: x) == mean
    assert dist.expect(lambda x: x * x) - mean * mean == pytest.approx(dist.var(), abs=1e-12)
    # func calls back into the object while its density adapter is still in a call
    assert dist.expect(lambda x: dist.mean()) == pytest.approx(mean, abs=1e-12)
    assert dist.expect(lambda x: dist.expect(lambda y: y * x)) == pytest.approx(mean * mean, abs=1e-10)


# The density is zero on [1, 2): func is still called there.
@pytest.mark.parametrize(
    "func",
    [lambda x: None, lambda x: 1.0 if x != 1.0 else 1 / 0, lambda x: INF if x == 0.5 else 1.0, lambda x: NAN, 5,
     lambda x: 1.0 if x < 1.5 else 1 / 0],
    ids=["None", "raises-once", "inf-once", "nan", "not-callable", "raises-where-density-vanishes"],
)
def test_expect_failing_func(func):
    dist = drovik.from_histogram([0.0, 1.0, 2.0], [1.0, 0.0])
    assert sample_error(lambda: dist.expect(func)) == (INTEGRATION,)


def test_keyboard_interrupt_propagates_from_expect_and_statistics(uniform02):
    def func(x):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        uniform02.expect(func)
    assert uniform02.mean() == pytest.approx(1.0, abs=1e-12)  # the object still answers
    density = Counter(lambda x: 1.0)
    dist = drovik.from_pdf(density, Interval(0.0, 1.0))
    density.exc = KeyboardInterrupt
    for call in (dist.mean, dist.var, dist.std, dist.entropy, dist.median, lambda: dist.interval(0.5)):
        with pytest.raises(KeyboardInterrupt):
            call()


def test_failing_density_fails_the_moments_and_var_stops_after_m1():
    density = Counter(lambda x: 1.0)
    dist = drovik.from_pdf(density, Interval(0.0, 1.0))
    density.exc = ZeroDivisionError
    calls = []
    for statistic in (dist.mean, dist.var, dist.std):
        density.points.clear()
        assert sample_error(statistic) == (INTEGRATION,)
        calls.append(len(density.points))
    assert calls[0] == calls[1] == calls[2]


def test_entropy_counts_a_nan_density_as_zero():
    density = Counter(lambda x: 1.0)
    dist = drovik.from_pdf(density, Interval(0.0, 2.0))
    density.fn = lambda x: 1 / 0 if x > 1.0 else 1.0  # failures are NaN to the integral
    assert dist.entropy() == pytest.approx(0.5 * math.log(2.0), abs=1e-8)  # -integral over [0, 1] of 0.5 ln 0.5


def test_from_cdf_statistics_require_a_density():
    dist = drovik.from_cdf(lambda x: x, Interval(0.0, 1.0))
    # entropy fails like the moments instead of a made-up 0.0; func is never called
    for call in (dist.mean, dist.var, dist.std, dist.entropy, lambda: dist.expect(lambda x: 1 / 0)):
        assert sample_error(call) == (PDF_REQUIRED,)
    assert dist.median() == 0.5 and dist.interval(0.5) == (0.25, 0.75)


@pytest.mark.parametrize(
    "make, expected",
    [
        (lambda: drovik.from_histogram([0.0, 2.0, 3.0], [1.0, 0.0]), math.log(2.0)),
        # a triangle on [-1, 1] inside [-2, 3]: zero on both sides
        (lambda: drovik.from_pdf(lambda x: max(0.0, 1.0 - abs(x)), Interval(-2.0, 3.0)), 0.5),
    ],
    ids=["hist-zero-right", "triangle-zero"],
)
def test_entropy_skips_non_positive_density(make, expected):
    assert make().entropy() == pytest.approx(expected, abs=1e-8)


# ---------------------------------------------------------------------------
# Accuracy against scipy, renormalized to the truncated supports


ACCURACY_CASES = {
    "normal[-8,8]": (lambda x: math.exp(-0.5 * x * x) / math.sqrt(2.0 * math.pi), ("norm", ()), -8.0, 8.0),
    "beta(2,3)[0,1]": (lambda x: 12.0 * x * (1.0 - x) ** 2, ("beta", (2, 3)), 0.0, 1.0),
    "gamma(3)[0,40]": (lambda x: 0.5 * x * x * math.exp(-x), ("gamma", (3,)), 0.0, 40.0),
}


def _reference_statistics(family, lo, hi):
    from scipy import integrate, stats

    rv = getattr(stats, family[0])(*family[1])
    f_lo, mass = rv.cdf(lo), rv.cdf(hi) - rv.cdf(lo)

    def quad(g):
        return integrate.quad(g, lo, hi, epsabs=1e-14, epsrel=1e-13, limit=500)[0]

    def q(u):
        return float(rv.ppf(f_lo + u * mass))

    mean = quad(lambda x: x * rv.pdf(x) / mass)
    var = quad(lambda x: (x - mean) ** 2 * rv.pdf(x) / mass)
    entropy = quad(lambda x: -rv.pdf(x) / mass * (rv.logpdf(x) - math.log(mass)) if rv.pdf(x) > 0 else 0.0)
    return {"mean": mean, "var": var, "std": math.sqrt(var), "entropy": entropy, "median": q(0.5),
            "interval": (q(0.05), q(0.95))}


@pytest.fixture(scope="module")
def accuracy_cases():
    return {key: (drovik.from_pdf(f, Interval(lo, hi)), _reference_statistics(family, lo, hi))
            for key, (f, family, lo, hi) in ACCURACY_CASES.items()}


@pytest.mark.parametrize("case", list(ACCURACY_CASES))
@pytest.mark.parametrize("statistic", ["mean", "var", "std", "entropy", "median", "interval"])
def test_accuracy_against_scipy(accuracy_cases, case, statistic):
    dist, reference = accuracy_cases[case]
    value = dist.interval(0.9) if statistic == "interval" else getattr(dist, statistic)()
    assert type(value) is (tuple if statistic == "interval" else float)
    assert value == pytest.approx(reference[statistic], abs=1e-8)
    if statistic == "std":
        assert value == math.sqrt(dist.var())
