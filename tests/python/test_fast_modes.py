"""The Hermite-table and TDR sampling modes, their seeded draws replayed bit for
bit by the slow re-implementations in _replica."""

import math

import pytest

import drovik
from _reference import seeded_uniforms
from _replica import CdfModel, HermiteTable, PdfModel, Recorder, raises_exactly, tdr_box_draw, tdr_log_draw, tdr_log_hat

Interval = drovik.Interval
BuildOptions = drovik.BuildOptions
TDR_FAILED = "tdr failed to build hat function (try InvSqrt transform or explicit dpdf)"
TDR_ON_CDF = "invalid support interval: TDR sampling requires a PDF (use from_pdf_fn, not from_cdf_fn)"
NORMALIZE = "failed to normalize PDF on support"


def square(x):
    return x * x


def jump(x):
    # Every level strictly inside the jump inverts to the same double: equal nodes, flat pieces.
    return 0.5 * x if x < 0.5 else 0.5 * x + 0.5


def nan_after_build():
    calls = {"n": 0}

    def c(x):
        calls["n"] += 1
        return x if calls["n"] <= 2 else math.nan  # only the two ends checked at construction are finite

    return c


@pytest.mark.parametrize(
    "make, replica",
    [(lambda: square, square), (lambda: jump, jump), (nan_after_build, lambda x: math.nan)],
    ids=["square", "jump", "linear-fallback"],
)
@pytest.mark.parametrize("grid", [7, 16])
def test_hermite_draws_replay_the_table_bit_for_bit(make, replica, grid):
    dist = drovik.from_cdf_with_options(make(), Interval(0.0, 1.0), BuildOptions.hermite(grid))
    assert dist.uses_hermite_table() is True and dist.uses_tdr() is False
    table = HermiteTable(CdfModel(replica, 0.0, 1.0).cdf, grid, 0.0, 1.0)
    assert dist.sample_n(20, seed=3) == [table(u) for u in seeded_uniforms(3, 20)]
    # Tails return the outer nodes; a level exactly at a node closes the interval below it.
    levels = [1e-13, 1e-12, 1.0 - 1e-13, table.us[1], table.us[-2], 0.3, 0.5]
    assert [dist.ppf(u) for u in levels] == [table(u) for u in levels]
    assert dist.ppf(1e-13) == table.xs[0] and dist.ppf(1.0 - 1e-13) == table.xs[-1]
    assert dist.ppf(table.us[1]) == table.xs[1]


def test_hermite_grids_below_four_are_four():
    draws = [drovik.from_cdf_with_options(square, Interval(0.0, 1.0), BuildOptions.hermite(g)).sample_n(8, seed=1)
             for g in range(5)]
    assert draws[:4] == [draws[4]] * 4
    table = HermiteTable(square, 4, 0.0, 1.0)
    assert draws[4] == [table(u) for u in seeded_uniforms(1, 8)]


def sine(x):
    return math.sin(math.pi * x)  # negative past 1: such candidates are rejected without a second uniform


@pytest.mark.parametrize("points, m", [(None, 32), (5, 32), (40, 40)])
def test_inv_sqrt_box_draws_replay_bit_for_bit(points, m):
    lo, hi = 0.0, 1.25
    model = PdfModel(sine, lo, hi)
    box_max = 0.0
    for j in range(m):
        v = model.pdf(lo + (hi - lo) * ((j + 0.5) / m))
        if math.isfinite(v) and v > box_max:
            box_max = v
    dist = drovik.from_pdf_with_options(sine, Interval(lo, hi), BuildOptions.tdr("inv_sqrt", points))
    assert dist.uses_tdr() is True and dist.uses_hermite_table() is False
    uniform = iter(seeded_uniforms(11, 200)).__next__
    assert dist.sample_n(25, seed=11) == [tdr_box_draw(lo, hi, box_max, model.pdf, uniform) for _ in range(25)]


def gauss(x):
    return math.exp(-0.5 * x * x)


def clipped(x):
    return max(0.0, 1.0 - x * x)  # zero near the ends: those candidates are skipped and those draws rejected


@pytest.mark.parametrize(
    "f, d, lo, hi, points",
    [(gauss, lambda x: -x * gauss(x), -3.0, 3.0, None), (clipped, lambda x: -2.0 * x, -1.5, 1.5, 6)],
    ids=["gauss", "clipped-parabola"],
)
@pytest.mark.parametrize("seed", [5, 2**64 - 1])
def test_log_hat_draws_replay_bit_for_bit(f, d, lo, hi, points, seed):
    model = PdfModel(f, lo, hi)
    hat = tdr_log_hat(model.pdf, lambda x: d(x) / model.norm, lo, hi, points or 30)
    dpdf = Recorder(d)
    options = BuildOptions.tdr("log") if points is None else BuildOptions.tdr("log", points)
    dist = drovik.from_pdf_dpdf(f, dpdf, Interval(lo, hi), options)
    # The derivative is asked only where the density is usable, in ascending order.
    assert dpdf.args == hat["xs"]
    assert dist.uses_tdr() is True and dist.uses_hermite_table() is False
    uniform = iter(seeded_uniforms(seed, 400)).__next__
    assert dist.sample_n(40, seed=seed) == [tdr_log_draw(hat, model.pdf, uniform) for _ in range(40)]


def test_constant_density_fails_log_and_accepts_every_box_candidate():
    raises_exactly(drovik.BuildError, TDR_FAILED, drovik.from_pdf_with_options, lambda x: 1.0,
                   Interval(0.0, 1.0), BuildOptions.tdr("log"))
    dist = drovik.from_pdf_with_options(lambda x: 1.0, Interval(0.0, 1.0), BuildOptions.tdr("InvSqrt"))
    # Each accepted draw takes one uniform for x and one for the test.
    assert dist.sample_n(6, seed=9) == seeded_uniforms(9, 12)[0::2]


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
