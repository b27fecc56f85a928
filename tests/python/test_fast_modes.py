"""The Hermite-table and TDR sampling modes through the module: options, derivative calls and seeded draws replayed
bit for bit by the slow re-implementations in _replica (mended hats too); TDR hats on a battery of log-concave
densities against exact distribution functions, and on densities they cannot cover. The tables' and hats' own rules
(ties, flat pieces, acceptance edges, uniforms per trial) are pinned by the core tests in tests/cpp."""

import math

import pytest
from scipy import stats

import drovik
from _helpers import assert_follows
from _reference import seeded_uniforms
from _replica import CdfModel, HermiteTable, PdfModel, Recorder, raises_exactly, tdr_box_draw, tdr_log_draw, tdr_log_hat

Interval = drovik.Interval
BuildOptions = drovik.BuildOptions
TDR_FAILED = "tdr failed to build hat function (try InvSqrt transform or explicit dpdf)"
TDR_DRAW_FAILED = "tdr failed to draw a sample"
TDR_ON_CDF = "invalid support interval: TDR sampling requires a PDF (use from_pdf_fn, not from_cdf_fn)"
NORMALIZE = "failed to normalize PDF on support"


def square(x):
    return x * x


def jump(x):
    # Every level strictly inside the jump inverts to the same double: equal nodes, flat pieces.
    return 0.5 * x if x < 0.5 else 0.5 * x + 0.5


def nan_after_build():
    calls = []
    # Only the two ends checked at construction are finite: every node falls back to the linear one.
    return lambda x: calls.append(x) or (x if len(calls) <= 2 else math.nan)


@pytest.mark.parametrize("make, replica", [(lambda: square, square), (lambda: jump, jump),
                                           (nan_after_build, lambda x: math.nan)],
                         ids=["square", "jump", "linear-fallback"])
@pytest.mark.parametrize("grid", [0, 3, 4, 7, 16])  # grids below four are four
def test_hermite_draws_replay_the_table_bit_for_bit(make, replica, grid):
    dist = drovik.from_cdf_with_options(make(), Interval(0.0, 1.0), BuildOptions.hermite(grid))
    assert dist.uses_hermite_table() is True and dist.uses_tdr() is False
    table = HermiteTable(CdfModel(replica, 0.0, 1.0).cdf, grid, 0.0, 1.0)
    assert dist.sample_n(20, seed=3) == [table(u) for u in seeded_uniforms(3, 20)]
    levels = [1e-13, 1e-12, 1.0 - 1e-13, table.us[1], table.us[-2], 0.3, 0.5]  # tails, nodes, inside
    assert [dist.ppf(u) for u in levels] == [table(u) for u in levels]



# A user function that fails inside the support during the build leaves nodes that are no quantiles: the build fails
# instead of putting them at the linear fallback (which drew 8.5 % of a normal's draws above 4).
@pytest.mark.parametrize("make", [
    lambda opts: drovik.from_cdf_with_options(lambda x: 1 / 0 if 1.0 < x < 1.5 else stats.norm.cdf(x),
                                              Interval(-8.0, 8.0), opts),
    lambda opts: drovik.from_pdf_with_options(lambda x: 1 / 0 if 1.011 < x < 1.012 else math.exp(-0.5 * x * x),
                                              Interval(-8.0, 8.0), opts)], ids=["cdf", "pdf-missed-by-the-norm"])
def test_hermite_build_fails_where_the_function_fails(make):
    raises_exactly(drovik.BuildError, "failed to invert CDF while building the quantile table", make,
                   BuildOptions.hermite(64))

def capped_sine(x):
    # A plateau holds the largest value on grid points, so the box is a true hat.
    return min(1.0, 1.2 * math.sin(math.pi * x))


def spike(x):
    # Every grid value is the floor (the peak at 0.1 rounds away there): the box builds at 0.01 and a candidate in
    # the peak fails the draw.
    return math.exp(-0.5 * ((x - 0.1) / 0.01) ** 2) + 0.01


def assert_replays(dist, draw, seed, n, fails):
    """The seeded draws are the replica's, n of them or up to the one the replica fails, which then fails too."""
    uniform = iter(seeded_uniforms(seed, 20 * n)).__next__
    want = []
    while len(want) < n and (x := draw(uniform)) is not None:
        want.append(x)
    assert dist.sample_n(len(want), seed=seed) == want and (len(want) < n) == fails
    if fails:
        raises_exactly(drovik.SampleError, TDR_DRAW_FAILED, dist.sample_n, len(want) + 1, seed=seed)


def grid_max(f, lo, hi, m):
    best = 0.0
    for j in range(m):
        v = f(lo + (hi - lo) * ((j + 0.5) / m))
        if math.isfinite(v) and v > best:
            best = v
    return best


@pytest.mark.parametrize("f, lo, hi", [(capped_sine, 0.0, 1.0), (spike, -8.0, 8.0)], ids=["capped-sine", "spike"])
@pytest.mark.parametrize("points, m", [(None, 32), (40, 40)])
def test_inv_sqrt_box_draws_replay_bit_for_bit(f, lo, hi, points, m):
    model = PdfModel(f, lo, hi)
    box_max = grid_max(model.pdf, lo, hi, m)
    dist = drovik.from_pdf_with_options(f, Interval(lo, hi), BuildOptions.tdr("inv_sqrt", points))
    assert dist.uses_tdr() is True and dist.uses_hermite_table() is False
    assert_replays(dist, lambda uniform: tdr_box_draw(lo, hi, box_max, model.pdf, uniform), 11, 2000, f is spike)


def gauss(x):
    return math.exp(-0.5 * x * x)


def clipped(x):
    return max(0.0, 1.0 - x * x)  # zero near the ends: those candidates are skipped and those draws rejected


def bumped(x):
    # A normal with a narrow bump halfway between two construction points: the slopes there are those of the normal,
    # so the hat builds, and it lies below the bump.
    return gauss(x) + 0.5 * math.exp(-0.5 * ((x - 0.2) / 0.02) ** 2)


def laplace(x):
    return math.exp(-abs(x))


def logistic(x):
    return math.exp(-x) / (1.0 + math.exp(-x)) ** 2


def central_difference(f, width):
    h = 1e-4 * width
    return lambda x: (f(x + h) - f(x - h)) / (h + h)


def dbumped(x):
    return -x * gauss(x) - 0.5 * (x - 0.2) / 0.02**2 * math.exp(-0.5 * ((x - 0.2) / 0.02) ** 2)


@pytest.mark.parametrize(
    "f, d, lo, hi, points",
    [(gauss, lambda x: -x * gauss(x), -3.0, 3.0, None), (clipped, lambda x: -2.0 * x, -1.5, 1.5, 6),
     # Mended hats. Exponentials out of range (far from 0, or slopes too steep at the edges): relative tangents.
     (lambda x: gauss(x - 1000.0), lambda x: -(x - 1000.0) * gauss(x - 1000.0), 993.0, 1007.0, None),
     (lambda x: 1.0 - abs(x), lambda x: -1.0 if x > 0 else 1.0, -1.0, 1.0, None),
     # Parallel tangents, exactly or nearly one line (finite differences), and knots clamped onto a bound.
     (lambda x: 1.0, lambda x: 0.0, 0.0, 1.0, None), (lambda x: math.exp(-x), lambda x: -math.exp(-x), 0.0, 5.0, None),
     (laplace, central_difference(laplace, 20.0), -10.0, 10.0, None),
     (logistic, central_difference(logistic, 40.0), -20.0, 20.0, None),
     # Not log-concave between two points: a candidate on the bump fails the draw.
     (bumped, dbumped, -3.0, 3.0, 15)],
    ids=["gauss", "clipped-parabola", "gauss-at-1000", "triangle", "constant", "exponential", "laplace", "logistic",
         "bump"],
)
@pytest.mark.parametrize("seed", [5, 2**64 - 1])
def test_log_hat_draws_replay_bit_for_bit(f, d, lo, hi, points, seed):
    model = PdfModel(f, lo, hi)
    hat = tdr_log_hat(model.pdf, lambda x: d(x) / model.norm, lo, hi, points or 30)
    dpdf = Recorder(d)
    options = BuildOptions.tdr("log") if points is None else BuildOptions.tdr("log", points)
    dist = drovik.from_pdf_dpdf(f, dpdf, Interval(lo, hi), options)
    # The derivative is asked only where the density is usable, in ascending order.
    assert dpdf.args == hat["asked"]
    assert dist.uses_tdr() is True and dist.uses_hermite_table() is False
    assert_replays(dist, lambda uniform: tdr_log_draw(hat, model.pdf, uniform), seed, 400, f is bumped)


@pytest.mark.parametrize("options", [BuildOptions.tdr("log"), BuildOptions(tdr_transform="inv_sqrt")])
def test_from_cdf_refuses_tdr_after_the_normalization_check(options):
    raises_exactly(drovik.BuildError, TDR_ON_CDF, drovik.from_cdf_with_options, square, Interval(0.0, 1.0), options)
    flat = Recorder(lambda x: 0.25)
    raises_exactly(drovik.BuildError, NORMALIZE, drovik.from_cdf_with_options, flat, Interval(0.0, 1.0), options)
    assert flat.args == [0.0, 1.0]


def test_grid_size_takes_precedence_over_the_transform():
    options = BuildOptions(hermite_grid_size=8, tdr_transform="log")
    both = drovik.from_pdf_with_options(gauss, Interval(-3.0, 3.0), options)
    table = drovik.from_pdf_with_options(gauss, Interval(-3.0, 3.0), BuildOptions.hermite(8))
    assert both.uses_hermite_table() is True and both.uses_tdr() is False
    assert both.sample_n(5, seed=2) == table.sample_n(5, seed=2)


def test_tdr_quantiles_invert_with_a_fixed_budget():
    # The options' inversion settings would give the midpoint; TDR's ppf ignores them.
    options = BuildOptions(tdr_transform="log", max_iterations=0, use_newton=False)
    dist = drovik.from_pdf_with_options(gauss, Interval(-3.0, 3.0), options)
    model = PdfModel(gauss, -3.0, 3.0)
    assert [dist.ppf(u) for u in (0.5, 0.8, 0.01)] == [model.ppf(u) for u in (0.5, 0.8, 0.01)]
    assert dist.ppf(0.5) == pytest.approx(0.0, abs=1e-9)


# ---------------------------------------------------------------------------
# TDR hats against exact distribution functions


def _emg(x):  # exponentially modified normal: mean 0, deviation 1, rate 1
    return math.exp(0.5 - x) * math.erfc((1.0 - x) / math.sqrt(2.0))


def _epanechnikov_cdf(x):
    return (2.0 + 3.0 * x - x**3) / 4.0


# Log-concave densities, most with exponential tails or a zero at a bound; the density, its support and the
# distribution function it is truncated from.
LOG_CONCAVE = {
    "normal": (lambda x: math.exp(-0.5 * x * x), -8.0, 8.0, stats.norm().cdf),
    "exponential": (lambda x: math.exp(-x), 0.0, 5.0, stats.expon().cdf),
    "laplace": (lambda x: math.exp(-abs(x)), -22.0, 22.0, stats.laplace().cdf),
    "logistic": (lambda x: math.exp(-abs(x)) / (1.0 + math.exp(-abs(x))) ** 2, -23.0, 23.0, stats.logistic().cdf),
    "gumbel": (lambda x: math.exp(-(x + math.exp(-x))), -3.2, 23.0, stats.gumbel_r().cdf),
    "exp-modified-normal": (_emg, -6.0, 25.0, stats.exponnorm(1.0).cdf),
    "uniform": (lambda x: 1.0, -1.0, 2.0, stats.uniform(-1.0, 3.0).cdf),
    "triangular": (lambda x: 1.0 - abs(x), -1.0, 1.0, stats.triang(0.5, loc=-1.0, scale=2.0).cdf),
    "epanechnikov": (lambda x: 0.75 * (1.0 - x * x), -1.0, 1.0, _epanechnikov_cdf),
    "gamma3": (lambda x: x * x * math.exp(-x), 0.0, 40.0, stats.gamma(3).cdf),
    "beta23": (lambda x: x * (1.0 - x) ** 2, 0.0, 1.0, stats.beta(2, 3).cdf),
    "raised-cosine": (lambda x: 1.0 + math.cos(x), -math.pi, math.pi, stats.cosine().cdf),
    "maxwell": (lambda x: x * x * math.exp(-0.5 * x * x), 0.0, 10.0, stats.maxwell().cdf),
    "gennorm4": (lambda x: math.exp(-x**4), -3.0, 3.0, stats.gennorm(4).cdf),
}


def truncated_cdf(cdf, lo, hi):
    c_lo, c_hi = cdf(lo), cdf(hi)
    return lambda x: (cdf(x) - c_lo) / (c_hi - c_lo)


@pytest.mark.parametrize("name", LOG_CONCAVE)
def test_log_hat_builds_and_samples_log_concave_densities(name):
    f, lo, hi, cdf = LOG_CONCAVE[name]
    dist = drovik.from_pdf_with_options(f, Interval(lo, hi), BuildOptions.tdr("log"))
    assert_follows(dist.sample_n(100_000, seed=2024), truncated_cdf(cdf, lo, hi))


# Densities a hat cannot cover: the Log hat refuses slopes that increase; the box refuses unimodal densities (on
# [ppf(1e-10), ppf(1 - 1e-10)]) peaked between its grid points, found by a search beside its largest value.
REFUSED = {
    "log-two-modes": (lambda x: math.exp(-0.5 * (x - 2.0) ** 2) + math.exp(-0.5 * (x + 2.0) ** 2), (-8.0, 8.0)),
    "log-student-t": (lambda x: (1.0 + x * x / 3.0) ** -2.0, (-8.0, 8.0)),  # log-convex tails
    "box-lognormal": (lambda x: math.exp(-0.5 * math.log(x) ** 2) / x, stats.lognorm(1.0)),
    "box-student-t": (lambda x: (1.0 + x * x / 3.0) ** -2.0, stats.t(3)),
    "box-gev": (lambda x: math.exp(-((1.0 + 0.2 * x) ** -5.0)) * (1.0 + 0.2 * x) ** -6.0, stats.genextreme(-0.2)),
}


@pytest.mark.parametrize("name", REFUSED)
def test_hats_refuse_densities_they_cannot_cover(name):
    f, support = REFUSED[name]
    if name.startswith("box"):
        lo, hi = float(support.ppf(1e-10)), float(support.ppf(1.0 - 1e-10))
        assert grid_max(f, lo, hi, 32) < max(f(lo + (hi - lo) * (j / 100_000)) for j in range(100_001)) * 0.999
    else:
        lo, hi = support
    raises_exactly(drovik.BuildError, TDR_FAILED, drovik.from_pdf_with_options, f, Interval(lo, hi),
                   BuildOptions.tdr("inv_sqrt" if name.startswith("box") else "log"))


def test_box_hat_over_a_true_hat_samples_the_density():  # a candidate above the box fails: pinned by the replays
    floor = drovik.from_pdf_with_options(lambda x: 0.01 + 0.0 * x, Interval(-8.0, 8.0), BuildOptions.tdr("inv_sqrt"))
    assert_follows(floor.sample_n(100_000, seed=1), stats.uniform(-8.0, 16.0).cdf)
