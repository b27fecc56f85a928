"""Histogram, location-scale and truncated distributions: construction checks
and their order, exact piecewise values, argument kinds, references to the
user function, and the three sampling modes."""

import collections.abc
import gc
import math
import sys
import weakref

import pytest

import drovik
from _reference import seeded_uniforms

Interval = drovik.Interval
BuildOptions = drovik.BuildOptions
NAN = float("nan")
INF = float("inf")

HISTOGRAM = "invalid histogram edges or counts"
NORMALIZE = "failed to normalize PDF on support"
SCALE = "scale must be finite and positive"
NON_FINITE = "non-finite value in support bounds"
LO_HI = "invalid support interval: lo must be strictly less than hi"
OUTSIDE = "truncation interval must lie inside base support"
TDR_BUILD = "tdr failed to build hat function (try InvSqrt transform or explicit dpdf)"

# A step density is integrated numerically across its jumps: values derived
# from it carry about 1e-9 of quadrature error.
STEP_TOL = 1e-8


def below(x):
    return math.nextafter(x, -INF)


def above(x):
    return math.nextafter(x, INF)


class Counter:
    """A user function that records the points it is called at."""

    def __init__(self, fn):
        self.fn = fn
        self.points = []

    def __call__(self, x):
        self.points.append(x)
        return self.fn(x)


def build_error(call):
    with pytest.raises(drovik.BuildError) as info:
        call()
    return info.value.args


# ---------------------------------------------------------------------------
# Histogram: values


def two_bins(x):
    """Exact distribution function of edges [0, 1, 3], counts [1, 1]."""
    if x <= 0.0:
        return 0.0
    if x <= 1.0:
        return 0.5 * x
    if x <= 3.0:
        return 0.5 + 0.25 * (x - 1.0)
    return 1.0


def two_bins_ppf(u):
    return 2.0 * u if u <= 0.5 else 1.0 + 4.0 * (u - 0.5)


@pytest.fixture(scope="module")
def hist():
    return drovik.from_histogram([0.0, 1.0, 3.0], [1.0, 1.0])


@pytest.fixture(scope="module")
def hist_density():
    return drovik.from_histogram([0.0, 1.0, 3.0], [1.0, 1.0], density=True)


@pytest.mark.parametrize("density", [False, True])
@pytest.mark.parametrize(
    "x, expected",
    [
        (0.0, 0.5),  # the first edge belongs to the first bin
        (0.5, 0.5),
        (below(1.0), 0.5),
        (1.0, 0.25),  # half-open bins: an inner edge belongs to the right bin
        (2.0, 0.25),
        (below(3.0), 0.25),
    ],
)
def test_histogram_heights(hist, hist_density, density, x, expected):
    dist = hist_density if density else hist
    assert dist.pdf(x) == pytest.approx(expected, abs=STEP_TOL)
    assert dist.logpdf(x) == pytest.approx(math.log(expected), abs=STEP_TOL / expected)


@pytest.mark.parametrize("x", [3.0, above(3.0), below(0.0), -1.0, 10.0, -INF, INF, NAN])
def test_histogram_density_zero_at_last_edge_and_outside(hist, x):
    value = hist.pdf(x)
    assert value == 0.0 and math.copysign(1.0, value) == 1.0
    assert hist.logpdf(x) is None


@pytest.mark.parametrize("x", [-1.0, 0.0, 0.25, 0.5, 1.0, 1.5, 2.0, 2.5, below(3.0), 3.0, 4.0])
def test_histogram_cdf_is_piecewise_linear(hist, x):
    value = hist.cdf(x)
    if x <= 0.0 or x >= 3.0:
        assert value == two_bins(x)  # exactly 0 and 1 outside
    else:
        assert value == pytest.approx(two_bins(x), abs=STEP_TOL)


def test_histogram_median(hist):
    assert hist.median() == pytest.approx(1.0, abs=STEP_TOL)


@pytest.mark.parametrize("u", [0.1, 0.25, 0.5, 0.6, 0.75, 0.9])
def test_histogram_density_flag_gives_same_quantiles(hist, hist_density, u):
    assert hist_density.ppf(u) == pytest.approx(hist.ppf(u), abs=STEP_TOL)
    assert hist.ppf(u) == pytest.approx(two_bins_ppf(u), abs=4 * STEP_TOL)


@pytest.mark.parametrize(
    "statistic, expected",
    [
        ("mean", 1.25),
        ("var", 14.0 / 6.0 - 1.25**2),
        ("entropy", 1.5 * math.log(2.0)),
    ],
)
def test_histogram_statistics(hist, statistic, expected):
    assert getattr(hist, statistic)() == pytest.approx(expected, abs=STEP_TOL)


def test_histogram_support(hist):
    support = hist.support()
    assert isinstance(support, Interval)
    assert repr(support) == "Interval(0, 3)"
    assert support is not hist.support()


@pytest.mark.parametrize("seed", [0, 42])
def test_histogram_seeded_draws_are_quantiles_of_the_uniforms(hist, seed):
    uniforms = seeded_uniforms(seed, 3)
    draws = hist.sample_n(3, seed=seed)
    assert draws == [hist.ppf(u) for u in uniforms]
    assert draws == pytest.approx([two_bins_ppf(u) for u in uniforms], abs=4 * STEP_TOL)


@pytest.mark.parametrize("count", [1.0, 7.0, 1e-300])
def test_single_bin_is_uniform(count):
    dist = drovik.from_histogram([2.0, 5.0], [count])
    assert repr(dist.support()) == "Interval(2, 5)"
    # The density drops to 0 at the last edge, so even one bin is a step for
    # the quadrature.
    assert dist.pdf(2.0) == pytest.approx(1.0 / 3.0, abs=STEP_TOL)
    assert dist.pdf(5.0) == 0.0
    assert dist.cdf(3.5) == pytest.approx(0.5, abs=STEP_TOL)
    assert dist.median() == pytest.approx(3.5, abs=STEP_TOL)
    lower, upper = dist.interval(0.5)
    assert (lower, upper) == pytest.approx((2.75, 4.25), abs=STEP_TOL)
    assert dist.mean() == pytest.approx(3.5, abs=STEP_TOL)
    assert dist.var() == pytest.approx(0.75, abs=STEP_TOL)
    assert dist.entropy() == pytest.approx(math.log(3.0), abs=STEP_TOL)


def test_negative_zero_count_passes():
    dist = drovik.from_histogram([0.0, 1.0, 2.0], [-0.0, 1.0])
    assert dist.pdf(0.5) == 0.0
    assert dist.logpdf(0.5) is None
    assert dist.pdf(1.5) == pytest.approx(1.0, abs=STEP_TOL)
    assert dist.median() == pytest.approx(1.5, abs=STEP_TOL)


@pytest.mark.parametrize("bins", [10, 100])
def test_many_bin_cdf_and_moments_match_the_piecewise_closed_form(bins):
    # A single adaptive rule across many equal-width bins is fooled by the
    # jumps (off by about 1e-3 at 100 bins); the step density is integrated
    # bin by bin instead, which is exact up to rounding.
    counts = [float(i % 7 + 1) for i in range(bins)]
    edges = [float(i) for i in range(bins + 1)]
    total = sum(counts)
    dist = drovik.from_histogram(edges, counts)

    def exact_cdf(x):
        whole = int(x)
        return (sum(counts[:whole]) + (x - whole) * counts[whole]) / total

    for x in [0.25, 1.0, bins / 2 + 0.5, bins - 0.5, bins - 1e-9]:
        assert dist.cdf(x) == pytest.approx(exact_cdf(x), abs=1e-13)
    mean = sum(c * (i + 0.5) for i, c in enumerate(counts)) / total
    second = sum(c * ((i + 1) ** 3 - i**3) / 3 for i, c in enumerate(counts)) / total
    assert dist.mean() == pytest.approx(mean, abs=1e-10)
    assert dist.var() == pytest.approx(second - mean**2, abs=1e-8)
    entropy = -sum((c / total) * math.log(c / total) for c in counts)
    assert dist.entropy() == pytest.approx(entropy, abs=1e-10)


# ---------------------------------------------------------------------------
# Histogram: invalid input, in the order it is checked


@pytest.mark.parametrize(
    "edges, counts, density, message",
    [
        # 1. at least two edges
        ([], [], False, HISTOGRAM),
        ([0.0], [], False, HISTOGRAM),
        ([0.0], [1.0], False, HISTOGRAM),
        # 2. one more edge than counts
        ([0.0, 1.0], [1.0, 2.0], False, HISTOGRAM),
        ([0.0, 1.0], [], False, HISTOGRAM),
        ([0.0, 1.0, 2.0], [1.0], False, HISTOGRAM),
        # 3. finite, strictly increasing edges
        ([0.0, 1.0, 1.0], [1.0, 1.0], False, HISTOGRAM),
        ([1.0, 0.0], [1.0], False, HISTOGRAM),
        ([0.0, NAN], [1.0], False, HISTOGRAM),
        ([NAN, 1.0], [1.0], False, HISTOGRAM),
        ([0.0, INF], [1.0], False, HISTOGRAM),
        ([-INF, 0.0], [1.0], False, HISTOGRAM),
        ([0.0, 1.0, 1.0], [0.0, 0.0], False, HISTOGRAM),  # edges before the total
        ([0.0, NAN], [-1.0], False, HISTOGRAM),
        # 4. finite, non-negative counts
        ([0.0, 1.0], [-1.0], False, HISTOGRAM),
        ([0.0, 1.0, 2.0], [1.0, -5e-324], False, HISTOGRAM),
        ([0.0, 1.0], [INF], False, HISTOGRAM),
        ([0.0, 1.0], [-INF], False, HISTOGRAM),
        ([0.0, 1.0], [NAN], True, HISTOGRAM),
        ([0.0, 1.0, 2.0], [1.0, -1.0], False, HISTOGRAM),  # counts before their sum
        ([0.0, 1.0, 2.0], [0.0, -1.0], False, HISTOGRAM),
        # 5. a positive total
        ([0.0, 1.0, 2.0], [0.0, 0.0], False, NORMALIZE),
        ([0.0, 1.0, 2.0], [0.0, 0.0], True, NORMALIZE),
        ([0.0, 1.0, 2.0], [-0.0, 0.0], False, NORMALIZE),
        ([0.0, 1.0], [0.0], False, NORMALIZE),
        # a total that overflows: the heights vanish or integrate to infinity
        ([0.0, 1.0, 3.0], [1e308, 1e308], False, NORMALIZE),
        ([0.0, 1.0, 3.0], [1e308, 1e308], True, NORMALIZE),
    ],
)
def test_histogram_invalid(edges, counts, density, message):
    assert build_error(lambda: drovik.from_histogram(edges, counts, density)) == (message,)


# ---------------------------------------------------------------------------
# Histogram: argument kinds


class FloatSeq(collections.abc.Sequence):
    def __init__(self, *items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


@pytest.mark.parametrize(
    "edges, counts",
    [
        ([0, 2], [1]),
        ((0.0, 2.0), (1.0,)),
        (range(3), [1, 1]),
        (FloatSeq(0.0, 2.0), FloatSeq(3)),
    ],
)
def test_histogram_accepts_sequences(edges, counts):
    dist = drovik.from_histogram(edges, counts, options=None)
    assert dist.support().lo == 0.0 and dist.support().hi == 2.0


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"edges": 5}, "argument 'edges': 'int' object cannot be converted to 'Sequence'"),
        ({"counts": 5}, "argument 'counts': 'int' object cannot be converted to 'Sequence'"),
        ({"edges": 5, "counts": 5}, "argument 'edges': 'int' object cannot be converted to 'Sequence'"),
        ({"edges": None}, "argument 'edges': 'NoneType' object cannot be converted to 'Sequence'"),
        ({"edges": (x for x in [0.0, 1.0])}, "argument 'edges': 'generator' object cannot be converted to 'Sequence'"),
        ({"edges": {0.0, 1.0}}, "argument 'edges': 'set' object cannot be converted to 'Sequence'"),
        ({"counts": {0: 1.0}}, "argument 'counts': 'dict' object cannot be converted to 'Sequence'"),
        ({"density": 1}, "argument 'density': 'int' object cannot be converted to 'PyBool'"),
        ({"density": None}, "argument 'density': 'NoneType' object cannot be converted to 'PyBool'"),
        ({"density": 1.0}, "argument 'density': 'float' object cannot be converted to 'PyBool'"),
        ({"options": "x"}, "argument 'options': 'str' object cannot be converted to 'BuildOptions'"),
        ({"options": Interval(0.0, 1.0)}, "argument 'options': 'Interval' object cannot be converted to 'BuildOptions'"),
        # a str passes the sequence check; its items then fail unchanged
        ({"edges": "01"}, "must be real number, not str"),
        ({"counts": [None]}, "must be real number, not NoneType"),
    ],
)
def test_histogram_argument_kinds(kwargs, message):
    arguments = {"edges": [0.0, 1.0], "counts": [1.0]}
    arguments.update(kwargs)
    with pytest.raises(TypeError) as info:
        drovik.from_histogram(**arguments)
    assert str(info.value) == message


def test_histogram_density_accepts_numpy_bool():
    np = pytest.importorskip("numpy")
    dist = drovik.from_histogram([0.0, 1.0, 3.0], [1.0, 1.0], density=np.bool_(True))
    assert dist.pdf(0.5) == pytest.approx(0.5, abs=STEP_TOL)


# ---------------------------------------------------------------------------
# Location-scale


@pytest.fixture(scope="module")
def loc_scale():
    return drovik.from_pdf_loc_scale(lambda z: 1.0, Interval(0.0, 1.0), 2.0, 3.0)


def test_loc_scale_support(loc_scale):
    assert repr(loc_scale.support()) == "Interval(2, 5)"


@pytest.mark.parametrize(
    "x, expected",
    [(2.0, 1.0 / 3.0), (3.5, 1.0 / 3.0), (5.0, 1.0 / 3.0), (below(2.0), 0.0), (above(5.0), 0.0), (-7.0, 0.0)],
)
def test_loc_scale_density(loc_scale, x, expected):
    assert loc_scale.pdf(x) == pytest.approx(expected, abs=1e-12)


@pytest.mark.parametrize("x", [2.0, 2.3, 3.5, 4.9, 5.0])
def test_loc_scale_cdf(loc_scale, x):
    assert loc_scale.cdf(x) == pytest.approx((x - 2.0) / 3.0, abs=1e-12)


@pytest.mark.parametrize(
    "statistic, expected",
    [("median", 3.5), ("mean", 3.5), ("var", 0.75), ("entropy", math.log(3.0))],
)
def test_loc_scale_statistics(loc_scale, statistic, expected):
    assert getattr(loc_scale, statistic)() == pytest.approx(expected, abs=1e-10)


def test_loc_scale_never_calls_f_outside_base_support():
    f = Counter(lambda z: 1.0)
    dist = drovik.from_pdf_loc_scale(f, Interval(0.0, 1.0), 2.0, 3.0)
    dist.mean()
    dist.median()
    assert f.points and all(0.0 <= z <= 1.0 for z in f.points)
    f.points.clear()
    for x in (1.0, below(2.0), above(5.0), 6.0):
        assert dist.pdf(x) == 0.0
    assert f.points == []
    dist.pdf(3.5)
    assert f.points == [0.5]


def test_loc_scale_of_a_linear_density():
    # Z with density 2z on [0, 1]; X = -1 + 2Z has density (x + 1) / 2 on [-1, 1].
    dist = drovik.from_pdf_loc_scale(lambda z: 2.0 * z, Interval(0.0, 1.0), -1.0, 2.0)
    assert repr(dist.support()) == "Interval(-1, 1)"
    for x in (-1.0, -0.5, 0.0, 0.5, 1.0):
        assert dist.pdf(x) == pytest.approx((x + 1.0) / 2.0, abs=1e-12)
        assert dist.cdf(x) == pytest.approx((x + 1.0) ** 2 / 4.0, abs=1e-12)
    assert dist.median() == pytest.approx(math.sqrt(2.0) - 1.0, abs=1e-10)
    assert dist.mean() == pytest.approx(1.0 / 3.0, abs=1e-12)
    assert dist.var() == pytest.approx(2.0 / 9.0, abs=1e-12)


def test_loc_scale_accepts_an_unnormalized_density():
    dist = drovik.from_pdf_loc_scale(lambda z: 5.0, Interval(0.0, 1.0), 2.0, 3.0)
    assert dist.pdf(3.0) == pytest.approx(1.0 / 3.0, abs=1e-12)
    assert dist.median() == pytest.approx(3.5, abs=1e-12)


@pytest.mark.parametrize("scale", [0.0, -0.0, -1.0, -5e-324, NAN, INF, -INF])
@pytest.mark.parametrize("loc", [0.0, INF, NAN])
def test_loc_scale_scale_checked_first(scale, loc):
    f = Counter(lambda z: 1.0)
    assert build_error(lambda: drovik.from_pdf_loc_scale(f, Interval(0.0, 1.0), loc, scale)) == (SCALE,)
    assert f.points == []


@pytest.mark.parametrize(
    "interval, loc, scale, message",
    [
        (Interval(0.0, 1.0), INF, 1.0, NON_FINITE),
        (Interval(0.0, 1.0), -INF, 1.0, NON_FINITE),
        (Interval(0.0, 1.0), NAN, 1.0, NON_FINITE),
        (Interval(0.0, 10.0), 0.0, 1e308, NON_FINITE),  # hi' overflows
        (Interval(-10.0, 0.0), 0.0, 1e308, NON_FINITE),  # lo' overflows
        (Interval(0.0, 1.0), 1.7e308, 1e308, NON_FINITE),
        (Interval(0.0, 1.0), 1e17, 1.0, LO_HI),  # both ends round to 1e17
        (Interval(0.0, 1.0), 1.0, 1e-17, LO_HI),
    ],
)
def test_loc_scale_mapped_support(interval, loc, scale, message):
    f = Counter(lambda z: 1.0)
    assert build_error(lambda: drovik.from_pdf_loc_scale(f, interval, loc, scale)) == (message,)
    assert f.points == []


@pytest.mark.parametrize("f", [lambda z: 0.0, lambda z: 1 / 0, lambda z: None, lambda z: -1.0])
def test_loc_scale_normalization_failure(f):
    assert build_error(lambda: drovik.from_pdf_loc_scale(f, Interval(0.0, 1.0), 2.0, 3.0)) == (NORMALIZE,)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"loc": "a"}, "argument 'loc': must be real number, not str"),
        ({"scale": None}, "argument 'scale': must be real number, not NoneType"),
        ({"interval": (0.0, 1.0)}, "argument 'interval': 'tuple' object cannot be converted to 'Interval'"),
        ({"options": 3}, "argument 'options': 'int' object cannot be converted to 'BuildOptions'"),
    ],
)
def test_loc_scale_argument_kinds(kwargs, message):
    arguments = {"f": lambda z: 1.0, "interval": Interval(0.0, 1.0), "loc": 0.0, "scale": 1.0}
    arguments.update(kwargs)
    with pytest.raises(TypeError) as info:
        drovik.from_pdf_loc_scale(**arguments)
    assert str(info.value) == message


# ---------------------------------------------------------------------------
# Truncation


@pytest.fixture(scope="module")
def window():
    return drovik.truncated(lambda x: 1.0, Interval(0.0, 10.0), Interval(2.0, 4.0))


def test_truncated_support(window):
    assert repr(window.support()) == "Interval(2, 4)"


@pytest.mark.parametrize(
    "x, expected",
    [(2.0, 0.5), (3.0, 0.5), (4.0, 0.5), (below(2.0), 0.0), (above(4.0), 0.0), (0.0, 0.0), (10.0, 0.0)],
)
def test_truncated_density_closed_window(window, x, expected):
    assert window.pdf(x) == pytest.approx(expected, abs=1e-12)


@pytest.mark.parametrize(
    "statistic, expected",
    [("median", 3.0), ("mean", 3.0), ("var", 1.0 / 3.0), ("entropy", math.log(2.0))],
)
def test_truncated_statistics(window, statistic, expected):
    assert getattr(window, statistic)() == pytest.approx(expected, abs=1e-10)


def test_truncated_cdf(window):
    for x in (2.0, 2.5, 3.0, 3.75, 4.0):
        assert window.cdf(x) == pytest.approx((x - 2.0) / 2.0, abs=1e-12)
    assert window.cdf(1.0) == 0.0 and window.cdf(5.0) == 1.0


def test_truncated_linear_density():
    # f(x) = x on [0, 10], kept on [2, 4]: p(x) = x / 6, F(x) = (x^2 - 4) / 12.
    dist = drovik.truncated(lambda x: x, Interval(0.0, 10.0), Interval(2.0, 4.0))
    assert dist.pdf(2.0) == pytest.approx(1.0 / 3.0, abs=1e-12)
    assert dist.pdf(4.0) == pytest.approx(2.0 / 3.0, abs=1e-12)
    assert dist.cdf(3.0) == pytest.approx(5.0 / 12.0, abs=1e-12)
    assert dist.median() == pytest.approx(math.sqrt(10.0), abs=1e-10)
    assert dist.mean() == pytest.approx(28.0 / 9.0, abs=1e-12)


def test_truncated_never_calls_f_outside_window():
    f = Counter(lambda x: 1.0)
    dist = drovik.truncated(f, Interval(0.0, 10.0), Interval(2.0, 4.0))
    dist.mean()
    dist.median()
    assert f.points and all(2.0 <= x <= 4.0 for x in f.points)
    f.points.clear()
    assert dist.pdf(1.0) == 0.0 and dist.pdf(5.0) == 0.0
    assert f.points == []


def test_truncation_equal_to_base_support():
    dist = drovik.truncated(lambda x: 1.0, Interval(0.0, 10.0), Interval(0.0, 10.0))
    assert repr(dist.support()) == "Interval(0, 10)"
    assert dist.median() == pytest.approx(5.0, abs=1e-12)
    assert dist.pdf(0.0) == pytest.approx(0.1, abs=1e-12)
    assert dist.pdf(10.0) == pytest.approx(0.1, abs=1e-12)


@pytest.mark.parametrize(
    "trunc",
    [
        Interval(-1.0, 4.0),
        Interval(2.0, 11.0),
        Interval(-1.0, 11.0),
        Interval(10.0, 11.0),
        Interval(below(0.0), 10.0),
        Interval(0.0, above(10.0)),
    ],
)
def test_truncation_outside_base_support(trunc):
    f = Counter(lambda x: 1 / 0)  # the window is checked before any evaluation
    assert build_error(lambda: drovik.truncated(f, Interval(0.0, 10.0), trunc)) == (OUTSIDE,)
    assert f.points == []


@pytest.mark.parametrize(
    "f",
    [
        lambda x: 1.0 if x < 5.0 else 0.0,  # zero on the whole window [6, 8]
        lambda x: 1 / 0,
        lambda x: None,
        lambda x: -1.0,
        lambda x: NAN,
    ],
    ids=["zero-on-window", "raises", "None", "negative", "nan"],
)
def test_truncation_normalization_failure(f):
    assert build_error(lambda: drovik.truncated(f, Interval(0.0, 10.0), Interval(6.0, 8.0))) == (NORMALIZE,)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"interval": (0.0, 1.0)}, "argument 'interval': 'tuple' object cannot be converted to 'Interval'"),
        ({"trunc_interval": [0.0, 1.0]}, "argument 'trunc_interval': 'list' object cannot be converted to 'Interval'"),
        ({"options": "log"}, "argument 'options': 'str' object cannot be converted to 'BuildOptions'"),
    ],
)
def test_truncated_argument_kinds(kwargs, message):
    arguments = {"f": lambda x: 1.0, "interval": Interval(0.0, 10.0), "trunc_interval": Interval(2.0, 4.0)}
    arguments.update(kwargs)
    with pytest.raises(TypeError) as info:
        drovik.truncated(**arguments)
    assert str(info.value) == message


# ---------------------------------------------------------------------------
# The user function is released when its last holder goes


def _loc_scale(f):
    return drovik.from_pdf_loc_scale(f, Interval(0.0, 1.0), 2.0, 3.0)


def _truncated(f):
    return drovik.truncated(f, Interval(0.0, 10.0), Interval(2.0, 4.0))


FACTORY_RUNS = {
    "loc_scale": _loc_scale,
    "loc_scale-bad-scale": lambda f: drovik.from_pdf_loc_scale(f, Interval(0.0, 1.0), 2.0, 0.0),
    "loc_scale-inf-loc": lambda f: drovik.from_pdf_loc_scale(f, Interval(0.0, 1.0), INF, 1.0),
    "loc_scale-collapsed": lambda f: drovik.from_pdf_loc_scale(f, Interval(0.0, 1.0), 1e17, 1.0),
    "loc_scale-zero": lambda f: drovik.from_pdf_loc_scale(f, Interval(5.0, 6.0), 0.0, 1.0),
    "truncated": _truncated,
    "truncated-outside": lambda f: drovik.truncated(f, Interval(0.0, 10.0), Interval(-1.0, 4.0)),
    "truncated-zero": lambda f: drovik.truncated(f, Interval(0.0, 10.0), Interval(6.0, 8.0)),
}


def _step_function(x):
    # 1 on [0, 5), 0 beyond: zero on the windows chosen to fail
    return 1.0 if x < 5.0 else 0.0


def _raising(x):
    raise ValueError


def _run_quietly(build, f):
    try:
        return build(f)
    except drovik.BuildError:
        return None


def _assert_refcount_returns(f, action, rounds=200):
    gc.collect()
    start = sys.getrefcount(f)
    for _ in range(rounds):
        action()
    gc.collect()
    assert sys.getrefcount(f) == start


@pytest.mark.parametrize("case", list(FACTORY_RUNS))
@pytest.mark.parametrize("f", [_step_function, _raising], ids=["step", "raising"])
def test_factories_release_f(case, f):
    build = FACTORY_RUNS[case]
    _assert_refcount_returns(f, lambda: _run_quietly(build, f))


@pytest.mark.parametrize("factory", [_loc_scale, _truncated], ids=["loc_scale", "truncated"])
def test_distribution_keeps_f_alive_until_dropped(factory):
    def f(x):
        return 1.0

    start = sys.getrefcount(f)
    dist = factory(f)
    assert sys.getrefcount(f) == start + 1  # one handle shared by density and sampler
    ref = weakref.ref(f)
    del f
    gc.collect()
    assert ref() is not None
    assert dist.median() > 0.0  # still callable through the distribution
    del dist
    assert ref() is None


@pytest.mark.parametrize("factory", [_loc_scale, _truncated], ids=["loc_scale", "truncated"])
def test_cycle_through_f_is_collected(factory):
    class Density:
        def __call__(self, x):
            return 1.0

    f = Density()
    f.dist = factory(f)
    ref = weakref.ref(f)
    del f
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize("factory", [_loc_scale, _truncated], ids=["loc_scale", "truncated"])
def test_keyboard_interrupt_in_build_propagates_and_releases(factory):
    def f(x):
        raise KeyboardInterrupt

    def run():
        with pytest.raises(KeyboardInterrupt):
            factory(f)

    _assert_refcount_returns(f, run, rounds=50)


@pytest.mark.parametrize("factory", [_loc_scale, _truncated], ids=["loc_scale", "truncated"])
def test_statistics_keep_references_balanced(factory):
    def f(x):
        return 1.0

    dist = factory(f)

    def statistics():
        dist.mean()
        dist.var()
        dist.std()
        dist.entropy()
        dist.median()
        dist.interval(0.5)
        dist.pdf(3.0)
        dist.cdf(3.0)

    _assert_refcount_returns(f, statistics, rounds=20)


@pytest.mark.parametrize(
    "func",
    [lambda x: x, lambda x: 1 / 0, lambda x: None],
    ids=["plain", "raising", "None"],
)
def test_expect_releases_its_func(window, func):
    def run():
        try:
            window.expect(func)
        except drovik.SampleError:
            pass

    _assert_refcount_returns(func, run)


def test_expect_releases_an_interrupting_func(window):
    def func(x):
        raise KeyboardInterrupt

    def run():
        with pytest.raises(KeyboardInterrupt):
            window.expect(func)

    _assert_refcount_returns(func, run, rounds=50)


def test_expect_releases_a_func_on_a_distribution_without_density():
    dist = drovik.from_cdf(lambda x: x, Interval(0.0, 1.0))

    def func(x):
        return x

    def run():
        with pytest.raises(drovik.SampleError):
            dist.expect(func)

    _assert_refcount_returns(func, run)


@pytest.mark.parametrize(
    "edges, counts",
    [([0.0, 1.0, 3.0], [1.0, 1.0]), ([0.0, 1.0, 1.0], [1.0, 1.0]), ([0.0, 1.0], [0.0])],
    ids=["valid", "invalid", "zero"],
)
def test_histogram_keeps_no_reference_to_its_arguments(edges, counts):
    options = BuildOptions()

    def run():
        try:
            drovik.from_histogram(edges, counts, False, options)
        except drovik.BuildError:
            pass

    gc.collect()
    start = [sys.getrefcount(o) for o in (edges, counts, options)]
    for _ in range(200):
        run()
    gc.collect()
    assert [sys.getrefcount(o) for o in (edges, counts, options)] == start


# ---------------------------------------------------------------------------
# Sampling modes of the derived kinds (Hermite table and TDR)


def _normal(z):
    return math.exp(-0.5 * z * z)


DERIVED_KINDS = {
    "histogram": (lambda options: drovik.from_histogram([0.0, 1.0, 3.0], [1.0, 1.0], options=options), (0.0, 3.0)),
    "loc_scale": (
        lambda options: drovik.from_pdf_loc_scale(_normal, Interval(-3.0, 3.0), 1.0, 2.0, options),
        (-5.0, 7.0),
    ),
    "truncated": (
        lambda options: drovik.truncated(_normal, Interval(-5.0, 5.0), Interval(-1.0, 2.0), options),
        (-1.0, 2.0),
    ),
}

MODES = {
    "hermite16": lambda: BuildOptions.hermite(16),
    "tdr-inv_sqrt": lambda: BuildOptions.tdr("inv_sqrt"),
    "tdr-log": lambda: BuildOptions.tdr("log"),
}


def test_mode_histogram_log_hat_fails():
    # The step density has zero slope inside every bin: parallel tangents.
    build, _ = DERIVED_KINDS["histogram"]
    assert build_error(lambda: build(MODES["tdr-log"]())) == (TDR_BUILD,)


WORKING_MODES = [(k, m) for k in DERIVED_KINDS for m in MODES if (k, m) != ("histogram", "tdr-log")]


@pytest.mark.parametrize("kind, mode", WORKING_MODES)
def test_mode_builds_and_samples(kind, mode):
    build, (lo, hi) = DERIVED_KINDS[kind]
    dist = build(MODES[mode]())
    assert dist.uses_tdr() == mode.startswith("tdr")
    assert dist.uses_hermite_table() == (mode == "hermite16")
    assert (dist.support().lo, dist.support().hi) == (lo, hi)
    draws = dist.sample_n(20, seed=11)
    assert all(lo <= x <= hi for x in draws)
    assert dist.sample_n(20, seed=11) == draws
    assert dist.sample_n(20, seed=12) != draws
    assert lo <= dist.sample() <= hi


@pytest.mark.parametrize("kind", list(DERIVED_KINDS))
def test_mode_table_draws_are_table_quantiles(kind):
    build, _ = DERIVED_KINDS[kind]
    dist = build(BuildOptions.hermite(16))
    uniforms = seeded_uniforms(5, 4)
    assert dist.sample_n(4, seed=5) == [dist.ppf(u) for u in uniforms]


@pytest.mark.parametrize("kind, mode", WORKING_MODES)
def test_mode_leaves_density_statistics_alone(kind, mode):
    build, _ = DERIVED_KINDS[kind]
    plain = build(None)
    dist = build(MODES[mode]())
    assert dist.mean() == plain.mean()
    assert dist.pdf(1.5) == plain.pdf(1.5)
    assert dist.cdf(1.5) == plain.cdf(1.5)
