"""Summary statistics of ContinuousDistribution: moments, entropy, median,
central intervals and expectations, their failures and their order, and
their accuracy against closed forms."""

import math

import pytest

import drovik

Interval = drovik.Interval
NAN = float("nan")
INF = float("inf")

INTEGRATION = "numerical integration failed"
PDF_REQUIRED = "operation requires an underlying PDF"


def confidence_message(text):
    return f"confidence {text} must be in (0, 1)"


class Counter:
    """A density (or integrand) that records every point it is called at."""

    def __init__(self, fn):
        self.fn = fn
        self.points = []

    def __call__(self, x):
        self.points.append(x)
        return self.fn(x)


class Switch:
    """Behaves like fn until broken, then raises (after the distribution is built)."""

    def __init__(self, fn, exc=ZeroDivisionError):
        self.fn = fn
        self.exc = exc
        self.broken = False
        self.calls = 0

    def __call__(self, x):
        self.calls += 1
        if self.broken:
            raise self.exc()
        return self.fn(x)


# ---------------------------------------------------------------------------
# Independent adaptive Simpson, written from the published description, used
# only to show that the cases below really drive m2 - m1^2 to zero or below.


def _simpson(f, a, b):
    m = (a + b) * 0.5
    fa = f(a)
    fm = f(m)
    fb = f(b)
    return ((b - a) / 6) * ((fa + 4 * fm) + fb)


def _integrate(f, a, b, tol):
    stack = [(a, b, _simpson(f, a, b))]
    total = 0.0
    while stack:
        left_end, right_end, whole = stack.pop()
        pending = len(stack)
        m = (left_end + right_end) * 0.5
        left = _simpson(f, left_end, m)
        right = _simpson(f, m, right_end)
        s = left + right
        if abs(s - whole) <= 15 * tol or pending > 48:
            total += s + (s - whole) / 15
            continue
        stack.append((m, right_end, right))
        stack.append((left_end, m, left))
    return total


def _raw_variance(f, lo, hi):
    norm = _integrate(f, lo, hi, 1e-10)
    m1 = _integrate(lambda x: x * (f(x) / norm), lo, hi, 1e-10)
    m2 = _integrate(lambda x: x * x * (f(x) / norm), lo, hi, 1e-10)
    return m2 - m1 * m1


def _step_density(edges, counts):
    total = sum(counts)
    heights = [c / (total * (edges[i + 1] - edges[i])) for i, c in enumerate(counts)]

    def f(x):
        if x < edges[0] or x >= edges[-1]:
            return 0.0
        for i, h in enumerate(heights):
            if x < edges[i + 1]:
                return h
        return 0.0

    return f


# ---------------------------------------------------------------------------
# Uniform on [0, 2]


@pytest.fixture(scope="module")
def uniform02():
    return drovik.from_pdf(lambda x: 1.0, Interval(0.0, 2.0))


@pytest.mark.parametrize(
    "statistic, expected, tol",
    [
        ("mean", 1.0, 1e-12),
        ("var", 1.0 / 3.0, 1e-10),
        ("std", math.sqrt(1.0 / 3.0), 1e-10),
        ("median", 1.0, 1e-12),
        ("entropy", math.log(2.0), 1e-10),
    ],
)
def test_uniform_statistics(uniform02, statistic, expected, tol):
    value = getattr(uniform02, statistic)()
    assert type(value) is float
    assert value == pytest.approx(expected, abs=tol)


def test_uniform_interval(uniform02):
    lower, upper = result = uniform02.interval(0.5)
    assert type(result) is tuple and len(result) == 2
    assert lower == pytest.approx(0.5, abs=1e-10)
    assert upper == pytest.approx(1.5, abs=1e-10)


def test_std_is_the_root_of_var(uniform02):
    assert uniform02.std() == math.sqrt(uniform02.var())


@pytest.mark.parametrize(
    "statistic, calls",
    [
        # Constant, linear and quadratic integrands are exact after one step:
        # three points for the whole interval, six for the two halves.
        ("mean", 9),
        ("var", 18),  # m1, then m2
        ("entropy", 9),
    ],
)
def test_density_evaluated_once_per_quadrature_point(statistic, calls):
    density = Counter(lambda x: 1.0)
    dist = drovik.from_pdf(density, Interval(0.0, 2.0))
    density.points.clear()
    getattr(dist, statistic)()
    assert len(density.points) == calls


def test_expect_evaluates_func_at_every_point_in_order():
    density = Counter(lambda x: 1.0)
    dist = drovik.from_pdf(density, Interval(0.0, 2.0))
    density.points.clear()
    func = Counter(lambda x: x)
    assert dist.expect(func) == pytest.approx(1.0, abs=1e-12)
    assert func.points == [0.0, 1.0, 2.0, 0.0, 0.5, 1.0, 1.0, 1.5, 2.0]
    assert density.points == func.points


def test_statistics_ignore_the_build_tolerance():
    # Built with a coarse quad_tolerance, the normalization is off by about
    # 3e-4; the statistics integrate at 1e-10 and show exactly that offset.
    # Integrating at the build tolerance would reproduce the coarse norm and
    # give about 1 instead.
    f = lambda x: math.exp(-0.5 * x * x)
    coarse = drovik.from_pdf_with_options(f, Interval(-8.0, 8.0), drovik.BuildOptions(quad_tolerance=1e-3))
    true_over_coarse_norm = coarse.pdf(0.0) * math.sqrt(2.0 * math.pi)
    assert abs(true_over_coarse_norm - 1.0) > 1e-4
    assert coarse.expect(lambda x: 1.0) == pytest.approx(true_over_coarse_norm, abs=1e-8)
    assert coarse.var() == pytest.approx(true_over_coarse_norm, abs=1e-8)


# ---------------------------------------------------------------------------
# var never negative, never -0


VAR_CLAMP_CASES = {
    # a tiny support far from 0: the two moments cancel to or below zero
    "uniform [1e6, 1e6+1e-3]": ((lambda x: 1.0), 1e6, 1e6 + 1e-3),
    "uniform [12345.678, +1e-5]": ((lambda x: 1.0), 12345.678, 12345.678 + 1e-5),
    # a density negative near the ends: m2 itself is negative
    "sign-changing 1-2x^2": ((lambda x: 1.0 - 2.0 * x * x), -1.0, 1.0),
}


@pytest.mark.parametrize("case", list(VAR_CLAMP_CASES))
def test_var_clamped_to_positive_zero(case):
    f, lo, hi = VAR_CLAMP_CASES[case]
    assert _raw_variance(f, lo, hi) <= 0.0
    dist = drovik.from_pdf(f, Interval(lo, hi))
    var = dist.var()
    assert var == 0.0 and math.copysign(1.0, var) == 1.0
    std = dist.std()
    assert std == 0.0 and math.copysign(1.0, std) == 1.0


def test_var_of_a_narrow_spike_in_a_wide_support():
    # All the mass in one bin 1e-5 wide at 1000, inside [999, 1001].
    edges = [999.0, 1000.0, 1000.00001, 1001.0]
    counts = [0.0, 1.0, 0.0]
    assert _raw_variance(_step_density(edges, counts), edges[0], edges[-1]) < 0.0
    dist = drovik.from_histogram(edges, counts)
    var = dist.var()
    assert var == 0.0 and math.copysign(1.0, var) == 1.0


# ---------------------------------------------------------------------------
# interval


@pytest.mark.parametrize(
    "confidence, text",
    [
        (0.0, "0"),
        (1.0, "1"),
        (NAN, "NaN"),
        (1.5, "1.5"),
        (-0.0, "-0"),
        (-0.25, "-0.25"),
        (INF, "inf"),
        (-INF, "-inf"),
        (1e-7 - 1.0, "-0.9999999"),
    ],
)
def test_interval_confidence_out_of_range(uniform02, confidence, text):
    with pytest.raises(drovik.SampleError) as info:
        uniform02.interval(confidence)
    assert info.value.args == (confidence_message(text),)


def test_interval_checks_confidence_before_any_evaluation():
    density = Counter(lambda x: 1.0)
    dist = drovik.from_pdf(density, Interval(0.0, 1.0))
    density.points.clear()
    with pytest.raises(drovik.SampleError):
        dist.interval(1.0)
    assert density.points == []


def test_interval_confidence_conversion():
    dist = drovik.from_pdf(lambda x: 1.0, Interval(0.0, 1.0))
    with pytest.raises(TypeError, match=r"^argument 'confidence': must be real number, not str$"):
        dist.interval("0.5")


def test_interval_upper_level_from_rounded_lower_level(uniform02):
    # 1 - 2^-52: a = 2^-53 and 1 - a is representable.
    lower, upper = uniform02.interval(1.0 - 2.0**-52)
    assert 0.0 <= lower < 1e-9 and 2.0 - 1e-9 < upper <= 2.0
    # 1 - 2^-53: a = 2^-54, and 1 - a rounds to 1, refused by the quantile.
    with pytest.raises(drovik.SampleError) as info:
        uniform02.interval(1.0 - 2.0**-53)
    assert info.value.args == ("quantile u=1 not in (0, 1)",)


def test_interval_tiny_confidence_is_the_median(uniform02):
    lower, upper = uniform02.interval(5e-324)
    assert lower == upper == uniform02.median()


def test_interval_computes_lower_then_upper():
    calls = Counter(lambda x: x)
    dist = drovik.from_cdf(calls, Interval(0.0, 1.0))
    calls.points.clear()
    assert dist.interval(0.5) == (0.25, 0.75)
    # Both quantiles: the two ends, then bisection from the midpoint.
    assert calls.points == [0.0, 1.0, 0.5, 0.25, 0.0, 1.0, 0.5, 0.75]


def test_interval_lower_failure_surfaces_first():
    # The lower quantile fails on a broken distribution function; the upper
    # one would fail with "quantile u=1 ..." if it were computed first.
    cdf = Switch(lambda x: x)
    dist = drovik.from_cdf(cdf, Interval(0.0, 1.0))
    cdf.broken = True
    with pytest.raises(drovik.SampleError) as info:
        dist.interval(1.0 - 2.0**-53)
    assert info.value.args == ("failed to invert CDF",)


# ---------------------------------------------------------------------------
# expect


@pytest.mark.parametrize("func", [lambda x: 1, lambda x: 1.0, lambda x: True], ids=["int", "float", "bool"])
def test_expect_constant_one(uniform02, func):
    assert uniform02.expect(func) == pytest.approx(1.0, abs=1e-10)


def test_expect_may_reenter_the_distribution():
    # func calls back into the same object, whose density adapter is then
    # called while one of its own calls is still in progress.
    dist = drovik.from_pdf_loc_scale(lambda z: 2.0 * z, Interval(0.0, 1.0), -1.0, 2.0)
    mean = dist.mean()
    assert dist.expect(lambda x: dist.mean()) == pytest.approx(mean, abs=1e-12)
    assert dist.expect(lambda x: dist.expect(lambda y: y * x)) == pytest.approx(mean * mean, abs=1e-10)


@pytest.mark.parametrize(
    "func",
    [
        lambda x: 1 / 0,
        lambda x: None,
        lambda x: "1.0",
        lambda x: 1.0 if x != 1.0 else 1 / 0,  # fails at a single point
        lambda x: INF if x == 0.5 else 1.0,
        lambda x: NAN,
        5,  # not callable
    ],
    ids=["raises", "None", "str", "raises-once", "inf-once", "nan", "not-callable"],
)
def test_expect_failing_func(uniform02, func):
    with pytest.raises(drovik.SampleError) as info:
        uniform02.expect(func)
    assert info.value.args == (INTEGRATION,)


def test_expect_calls_func_where_density_vanishes():
    # Zero density on [1, 2): a func failing only there still fails the integral.
    dist = drovik.from_histogram([0.0, 1.0, 2.0], [1.0, 0.0])
    assert dist.expect(lambda x: 1.0) == pytest.approx(1.0, abs=1e-8)
    with pytest.raises(drovik.SampleError) as info:
        dist.expect(lambda x: 1.0 if x < 1.5 else 1 / 0)
    assert info.value.args == (INTEGRATION,)


def test_expect_moments_match_mean_and_var():
    dist = drovik.from_pdf(lambda x: math.exp(-x), Interval(0.0, 5.0))
    assert dist.expect(lambda x: x) == dist.mean()
    m1 = dist.mean()
    assert dist.expect(lambda x: x * x) - m1 * m1 == pytest.approx(dist.var(), abs=1e-12)


def test_keyboard_interrupt_in_expect_propagates(uniform02):
    def func(x):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        uniform02.expect(func)
    # Nothing left behind: the object still answers.
    assert uniform02.mean() == pytest.approx(1.0, abs=1e-12)


def test_keyboard_interrupt_in_density_propagates_from_statistics():
    density = Switch(lambda x: 1.0, KeyboardInterrupt)
    dist = drovik.from_pdf(density, Interval(0.0, 1.0))
    density.broken = True
    for statistic in ("mean", "var", "std", "entropy", "median"):
        with pytest.raises(KeyboardInterrupt):
            getattr(dist, statistic)()
    with pytest.raises(KeyboardInterrupt):
        dist.interval(0.5)


# ---------------------------------------------------------------------------
# Failures of the integrals


@pytest.mark.parametrize("statistic", ["mean", "var", "std"])
def test_failing_density_fails_the_integral(statistic):
    density = Switch(lambda x: 1.0)
    dist = drovik.from_pdf(density, Interval(0.0, 1.0))
    density.broken = True
    with pytest.raises(drovik.SampleError) as info:
        getattr(dist, statistic)()
    assert info.value.args == (INTEGRATION,)


def test_entropy_counts_a_nan_density_as_zero():
    # The entropy term is 0 wherever p is not positive, NaN included.
    broken_right = [False]

    def density(x):
        if broken_right[0] and x > 1.0:
            raise ValueError
        return 1.0

    dist = drovik.from_pdf(density, Interval(0.0, 2.0))
    broken_right[0] = True
    # -integral over [0, 1] of 0.5 ln 0.5
    assert dist.entropy() == pytest.approx(0.5 * math.log(2.0), abs=1e-8)


@pytest.mark.parametrize("statistic", ["var", "std"])
def test_var_stops_after_a_failed_first_moment(statistic):
    density = Switch(lambda x: 1.0)
    dist = drovik.from_pdf(density, Interval(0.0, 1.0))
    density.broken = True
    density.calls = 0
    with pytest.raises(drovik.SampleError):
        dist.mean()
    mean_calls = density.calls
    density.calls = 0
    with pytest.raises(drovik.SampleError):
        getattr(dist, statistic)()
    assert density.calls == mean_calls


# ---------------------------------------------------------------------------
# A distribution built from a distribution function


@pytest.fixture(scope="module")
def from_cdf():
    return drovik.from_cdf(lambda x: x, Interval(0.0, 1.0))


@pytest.mark.parametrize(
    "call",
    [
        lambda d: d.mean(),
        lambda d: d.var(),
        lambda d: d.std(),
        lambda d: d.entropy(),  # fails like the moments instead of a made-up 0.0
        lambda d: d.expect(lambda x: 1.0),
        lambda d: d.expect(lambda x: 1 / 0),
    ],
    ids=["mean", "var", "std", "entropy", "expect", "expect-raising"],
)
def test_from_cdf_statistics_require_a_density(from_cdf, call):
    with pytest.raises(drovik.SampleError) as info:
        call(from_cdf)
    assert info.value.args == (PDF_REQUIRED,)


def test_from_cdf_quantile_statistics(from_cdf):
    assert from_cdf.median() == 0.5
    assert from_cdf.interval(0.5) == (0.25, 0.75)


# ---------------------------------------------------------------------------
# Entropy where the density vanishes or goes negative


def _triangle_entropy(c):
    # p(x) = (1 - |x|) / c on [-1, 1]: -integral of p ln p.
    return 1.0 / (2.0 * c) + math.log(c) / c


@pytest.mark.parametrize(
    "make, expected",
    [
        # zero on [2, 3): the uniform on [0, 2] inside [0, 3]
        (lambda: drovik.from_histogram([0.0, 2.0, 3.0], [1.0, 0.0]), math.log(2.0)),
        (lambda: drovik.from_histogram([0.0, 1.0, 2.0, 3.0], [0.0, 1.0, 0.0]), 0.0),
        # a triangle on [-1, 1] inside [-2, 3]: zero on both sides
        (lambda: drovik.from_pdf(lambda x: max(0.0, 1.0 - abs(x)), Interval(-2.0, 3.0)), 0.5),
        # the same line, negative on both sides: those parts add nothing either
        (lambda: drovik.from_pdf(lambda x: 1.0 - abs(x), Interval(-1.5, 1.5)), _triangle_entropy(0.75)),
    ],
    ids=["hist-zero-right", "hist-zero-both", "triangle-zero", "triangle-negative"],
)
def test_entropy_skips_non_positive_density(make, expected):
    assert make().entropy() == pytest.approx(expected, abs=1e-8)


# ---------------------------------------------------------------------------
# Accuracy against closed forms, on the truncated supports


def _normal_pdf(x):
    return math.exp(-0.5 * x * x) / math.sqrt(2.0 * math.pi)


def _beta23_pdf(x):
    return 12.0 * x * (1.0 - x) ** 2


def _gamma3_pdf(x):
    return 0.5 * x * x * math.exp(-x)


ACCURACY_CASES = {
    "normal[-8,8]": (_normal_pdf, ("norm", ()), -8.0, 8.0),
    "beta(2,3)[0,1]": (_beta23_pdf, ("beta", (2, 3)), 0.0, 1.0),
    "gamma(3)[0,40]": (_gamma3_pdf, ("gamma", (3,)), 0.0, 40.0),
}


def _reference_statistics(family, lo, hi):
    """scipy's distribution renormalized to [lo, hi] with its own cdf."""
    from scipy import integrate, stats

    name, args = family
    rv = getattr(stats, name)(*args)
    f_lo, f_hi = rv.cdf(lo), rv.cdf(hi)
    mass = f_hi - f_lo
    log_mass = math.log(mass)

    def quad(g):
        return integrate.quad(g, lo, hi, epsabs=1e-14, epsrel=1e-13, limit=500)[0]

    def p(x):
        return rv.pdf(x) / mass

    mean = quad(lambda x: x * p(x))
    var = quad(lambda x: (x - mean) ** 2 * p(x))

    def h(x):
        px = p(x)
        return -px * (rv.logpdf(x) - log_mass) if px > 0 else 0.0

    def q(u):
        return float(rv.ppf(f_lo + u * mass))

    return {
        "mean": mean,
        "var": var,
        "std": math.sqrt(var),
        "entropy": quad(h),
        "median": q(0.5),
        "interval": (q(0.05), q(0.95)),
    }


@pytest.fixture(scope="module")
def accuracy_cases():
    built = {}
    for key, (f, family, lo, hi) in ACCURACY_CASES.items():
        built[key] = (drovik.from_pdf(f, Interval(lo, hi)), _reference_statistics(family, lo, hi))
    return built


@pytest.mark.parametrize("case", list(ACCURACY_CASES))
@pytest.mark.parametrize("statistic", ["mean", "var", "std", "entropy", "median", "interval"])
def test_accuracy_against_closed_forms(accuracy_cases, case, statistic):
    dist, reference = accuracy_cases[case]
    if statistic == "interval":
        lower, upper = dist.interval(0.9)
        assert lower == pytest.approx(reference["interval"][0], abs=1e-8)
        assert upper == pytest.approx(reference["interval"][1], abs=1e-8)
    else:
        assert getattr(dist, statistic)() == pytest.approx(reference[statistic], abs=1e-8)
