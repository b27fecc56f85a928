"""Interval, BuildOptions, the univariate factories and every evaluation, inversion and sampling method; evaluation
points and seeded draws are replayed bit for bit by the slow loops in _replica, the quadrature's accept rules included.
The inversion's own rules are pinned by the core tests (tests/cpp); here, that the options reach them."""

import math

import pytest

import drovik
from _reference import format_double, seeded_uniforms
from _replica import CdfModel, PdfModel, Recorder, quantile_message, raises_exactly

Interval = drovik.Interval
BuildOptions = drovik.BuildOptions
NAN, INF = math.nan, math.inf
NON_FINITE = "non-finite value in support bounds"
NOT_BELOW = "invalid support interval: lo must be strictly less than hi"
NORMALIZE = "failed to normalize PDF on support"
IV = Interval(0.0, 1.0)


def one(x):
    return 1.0


def identity(x):
    return x


# ---------------------------------------------------------------------------
# Interval and BuildOptions


@pytest.mark.parametrize("lo, hi, text", [
    (0, 1, "Interval(0, 1)"), (-0.0, 2.25, "Interval(-0, 2.25)"),
    (1e-7, 1e21, "Interval(0.0000001, 1000000000000000000000)"),
    (0.1, 0.30000000000000004, "Interval(0.1, 0.30000000000000004)"),
    (5e-324, 1.7976931348623157e308, f"Interval({format_double(5e-324)}, {format_double(1.7976931348623157e308)})"),
])
def test_interval_repr_uses_shortest_positional_decimals_and_bounds_are_read_only_floats(lo, hi, text):
    iv = Interval(hi=hi, lo=lo)
    assert repr(iv) == text and (iv.lo, iv.hi, type(iv.lo), type(iv.hi)) == (lo, hi, float, float)
    for name in ["lo", "hi"]:
        with pytest.raises(AttributeError):
            setattr(iv, name, 0.5)


@pytest.mark.parametrize("lo, hi, message", [
    (0.0, INF, NON_FINITE), (NAN, 1.0, NON_FINITE), (INF, 0.0, NON_FINITE),  # finiteness first
    (1.0, 1.0, NOT_BELOW), (0.0, -0.0, NOT_BELOW), (2.0, 1.0, NOT_BELOW)])
def test_interval_checks_and_their_order(lo, hi, message):
    raises_exactly(drovik.BuildError, message, Interval, lo, hi)


def test_build_options_are_converted_never_range_checked():
    # A grid size decides the mode, so the transform's text is never parsed then.
    for kwargs in [dict(max_iterations=0), dict(max_iterations=2**32 - 1, use_newton=False),
                   dict(quad_tolerance=-1.0, ppf_tolerance=0.0, tdr_dpdf_rel_step=0.0, tdr_construction_points=0),
                   dict(hermite_grid_size=64, tdr_transform="bogus")]:
        assert type(BuildOptions(**kwargs)) is BuildOptions


@pytest.mark.parametrize("text, folded", [("LOG", None), ("inv_sqrt", None), ("Inv-Sqrt", None), ("INVSQRT", None),
                                          (" log", " log"), ("Exp", "exp"), ("", ""), ("\u00c4LOG", "\u00c4log")])
def test_tdr_transform_names_fold_ascii_case(text, folded):
    for make in (lambda: BuildOptions.tdr(text), lambda: BuildOptions(tdr_transform=text)):
        if folded is None:
            assert type(make()) is BuildOptions
        else:  # unknown: the folded text is shown
            raises_exactly(ValueError, f"unknown TDR transform '{folded}', expected 'log' or 'inv_sqrt'", make)


# ---------------------------------------------------------------------------
# Building


FACTORIES = {
    "from_pdf": drovik.from_pdf, "options": lambda f, iv: drovik.from_pdf_with_options(f, iv, BuildOptions()),
    "dpdf": lambda f, iv: drovik.from_pdf_dpdf(f, f, iv),
    "loc_scale": lambda f, iv: drovik.from_pdf_loc_scale(f, iv, 3.0, 2.0),
    "truncated": lambda f, iv: drovik.truncated(f, iv, Interval(iv.lo + 0.25, iv.hi - 0.25)),
}
NO_NORM = {  # densities without a finite positive integral, or with a value no integral may take (the quadrature's
    # own ends for NaN and infinite values are pinned by the core tests)
    "zero": lambda x: 0.0, "integrates-to-zero": lambda x: 1.0 - 2.0 * x, "overflowing": lambda x: 1e308,
    "negative": lambda x: -1.0, "negative-part": lambda x: x - 0.3, "raises": lambda x: 1 / 0,
    "nan-on-a-sub-interval": lambda x: NAN if 0.2 <= x <= 0.3 else math.exp(x),
    "pole-at-left-end": lambda x: INF if x == 0.0 else x**-0.5,
    "minus-inf-inside": lambda x: -INF if x == 0.25 else 1.0,
    "zero-inside": lambda x: 0.0 if 0 <= x <= 1 else 1.0,
}
NO_NORM_CASES = [(f, d) for f in FACTORIES for d in NO_NORM if f == "from_pdf" or d in (
    "negative", "negative-part", "raises", "nan-on-a-sub-interval", "zero-inside")]


@pytest.mark.parametrize("factory, density", NO_NORM_CASES, ids=[f"{f}-{d}" for f, d in NO_NORM_CASES])
def test_density_without_a_finite_positive_integral_fails_the_build_promptly(factory, density):
    raises_exactly(drovik.BuildError, NORMALIZE, FACTORIES[factory], Recorder(NO_NORM[density], limit=200_000), IV)
    for fine in (lambda x: x + 1.0, lambda x: -0.0 if x < 0.5 else x):  # -0.0 and positive values are no failure
        dist = FACTORIES[factory](fine, IV)
        assert dist.cdf(dist.support().hi) == 1.0


@pytest.mark.parametrize("cdf", [lambda x: 0.5, lambda x: -x, lambda x: NAN if x == 1.0 else x,
                                 lambda x: -INF if x == 0 else 1.0],
                         ids=["flat", "decreasing", "nan-at-hi", "-inf-at-lo"])
def test_from_cdf_span_must_be_finite_and_positive(cdf):
    c = Recorder(cdf)
    raises_exactly(drovik.BuildError, NORMALIZE, drovik.from_cdf, c, IV)
    assert c.args == [0.0, 1.0]


def test_tiny_norms_and_spans_are_accepted():
    assert drovik.from_pdf(lambda x: 1e-300, IV).cdf(0.25) == pytest.approx(0.25)
    assert drovik.from_cdf(lambda x: x * 5e-324, IV).cdf(1.0) == 1.0


@pytest.mark.parametrize("options", [None, BuildOptions.hermite(4)])
def test_derivative_is_never_called_outside_tdr(options):
    dpdf = Recorder(lambda x: 2.0)
    dist = drovik.from_pdf_dpdf(lambda x: 2.0 * x, dpdf, IV, options=options)
    dist.cdf(0.3), dist.pdf(0.3), dist.ppf(0.4), dist.sample_n(2, seed=1)
    assert dpdf.calls == 0
    assert drovik.from_pdf_dpdf(one, "not callable", IV).ppf(0.5) == 0.5  # any object is taken, as it is not called


# ---------------------------------------------------------------------------
# Evaluation


@pytest.fixture(scope="module")
def flat02():
    return drovik.from_pdf(one, Interval(0.0, 2.0))


@pytest.mark.parametrize("method, x, expected", [  # the log and survival rules at the ends: the next test
    ("cdf", 0.0, 0.0), ("cdf", 2.0, 1.0), ("cdf", -INF, 0.0), ("cdf", 3.0, 1.0), ("cdf", 1.0, 0.5), ("sf", 1.5, 0.25),
    ("logcdf", 1.0, math.log(0.5)), ("logsf", 0.5, math.log(0.75)), ("pdf", 5.0, 0.5), ("pdf", NAN, 0.5),
    ("logpdf", 9.0, math.log(0.5)), ("ppf", 0.25, 0.5), ("isf", 0.25, 1.5)])
def test_density_kind_values(flat02, method, x, expected):
    assert getattr(flat02, method)(x) == pytest.approx(expected, abs=1e-12)


def test_density_is_called_at_any_x_and_logpdf_is_none_unless_positive():
    f = Recorder(lambda x: 0.0 if x > 10 else (-1.0 if x < -10 else 1.0))
    dist = drovik.from_pdf(f, IV)
    f.args.clear()
    assert (dist.pdf(20.0), dist.logpdf(20.0), dist.logpdf(-20.0)) == (0.0, None, None)
    assert f.args == [20.0, 20.0, -20.0]


@pytest.mark.parametrize("method, x, expected", [
    ("cdf", 1.5, 0.5), ("cdf", 3.0, 2.0), ("cdf", 0.0, -1.0), ("sf", 0.0, 2.0), ("sf", 3.0, 0.0),
    ("logcdf", 3.0, 0.0), ("logcdf", 0.0, -INF), ("logsf", 2.0, -INF), ("logsf", 0.0, 0.0), ("pdf", 1.5, None),
    ("logpdf", NAN, None)])
def test_distribution_function_kind_is_rescaled_not_clamped_and_has_no_density(method, x, expected):
    assert getattr(drovik.from_cdf(lambda x: 10.0 + 4.0 * x, Interval(1.0, 2.0)), method)(x) == expected


@pytest.mark.parametrize("factory", [drovik.from_pdf, drovik.from_cdf, drovik.from_pdf_inverse_polynomial])
def test_out_of_range_levels_and_nan_arguments_evaluate_nothing(factory):
    f = Recorder(identity)
    dist = factory(f, IV)
    f.args.clear()
    for u in (0.0, 1.0, NAN, -0.0, 1e21):
        raises_exactly(drovik.SampleError, quantile_message(u), dist.ppf, u)
    for q, u in [(0.0, 1.0), (1e-17, 1.0), (1.5, -0.5), (NAN, NAN), (1.0, 0.0)]:  # isf shows 1 - q
        raises_exactly(drovik.SampleError, quantile_message(u), dist.isf, q)
    assert [math.isnan(getattr(dist, m)(NAN)) for m in ("cdf", "logcdf", "logsf", "sf")] == [True] * 4  # sf was 0
    assert f.calls == (3 if factory is drovik.from_cdf else 0)  # a distribution function is asked, but not by sf


def test_isf_and_extreme_levels():
    dist = drovik.from_pdf(lambda x: 2.0 * x, IV)
    assert dist.isf(0.25) == dist.ppf(0.75)
    assert 0.0 <= dist.ppf(5e-324) < 1e-5 and 1.0 - 1e-6 < dist.ppf(1.0 - 2.0**-53) <= 1.0


def test_support_is_a_new_interval_and_plain_modes_report_no_fast_mode(flat02):
    assert repr(flat02.support()) == "Interval(0, 2)" and flat02.support() is not flat02.support()
    odd = drovik.from_cdf(identity, Interval(-0.1, 0.30000000000000004)).support()
    assert (odd.lo, odd.hi) == (-0.1, 0.30000000000000004)
    for dist in (flat02, drovik.from_cdf(identity, IV), drovik.from_pdf_dpdf(one, one, IV)):
        assert (dist.uses_tdr(), dist.uses_hermite_table()) == (False, False)


# ---------------------------------------------------------------------------
# Calls of the user's function, and the inversion settings


@pytest.mark.parametrize("lo, hi", [(-1e308, 1e308), (-1.7e308, 1.7e308), (1e308, 1.7e308)])
@pytest.mark.parametrize("make", [
    lambda lo, hi: drovik.from_pdf(lambda x: 1e-308, Interval(lo, hi)),
    lambda lo, hi: drovik.from_pdf_with_options(lambda x: 1e-308, Interval(lo, hi), BuildOptions.hermite(16)),
    lambda lo, hi: drovik.from_histogram([lo, lo * 0.5 + hi * 0.5, hi], [1.0, 1.0]),
    lambda lo, hi: drovik.from_histogram([lo, hi], [1.0], options=BuildOptions.hermite(64)),
], ids=["inversion", "table", "histogram", "histogram-table"])
def test_supports_beyond_half_the_largest_double(make, lo, hi):
    # lo + hi and hi - lo overflow there: midpoints and widths are taken in halves.
    dist, width = make(lo, hi), hi * 0.5 - lo * 0.5
    assert dist.cdf(lo * 0.5 + hi * 0.5) == pytest.approx(0.5, abs=1e-9)
    for u in (0.3, 0.999):
        assert abs(dist.ppf(u) - (lo * (1 - u) + hi * u)) <= 1e-8 * width
    assert all(math.isfinite(x) and lo <= x <= hi for x in dist.sample_n(20, seed=3))


def test_noise_ends_the_quadrature_in_bounded_steps():  # the rounding level: the replays below
    noise = Recorder(lambda x: (x * 7919.0 % 1.0 + math.sin(x * 1e6)) % 1.0, limit=20_000_000)
    raises_exactly(drovik.BuildError, NORMALIZE, drovik.from_pdf, noise, Interval(-8.0, 8.0))


@pytest.mark.parametrize("density, tol", [
    # A jump just right of 0 and a tolerance no interval meets: the left spine is halved until 49 right halves wait
    # beneath it; every other interval is exact.
    (lambda x: 0.0 if x <= 1e-30 else 1.0, 1e-30),
    (lambda x: x**-0.5 if x > 0.0 else 0.0, 1e-10),  # the singular end waits until 49 records lie beneath it
    (math.sqrt, 1e-300)],  # nothing meets 1.5e-299: the rounding level and the cap end it
    ids=["jump", "inverse-sqrt", "sqrt-rounding-level"])
def test_quadrature_accepts_at_the_tolerance_the_rounding_level_or_once_more_than_48_are_pending(density, tol):
    f, mine = Recorder(density), Recorder(density)
    model = PdfModel(mine, 0.0, 1.0, tol)
    dist = drovik.from_pdf_with_options(f, IV, BuildOptions(quad_tolerance=tol))
    assert f.args == mine.args and (dist.pdf(0.5), dist.cdf(2.0**-45)) == (density(0.5) / model.norm,
                                                                          model.cdf(2.0**-45))


@pytest.mark.parametrize("options, kwargs", [
    ({}, {}), (dict(max_iterations=3), dict(iterations=3)),
    (dict(max_iterations=6, use_newton=False), dict(iterations=6, newton=False)),
    (dict(quad_tolerance=1e-6, max_iterations=4), dict(iterations=4)),
    # A tolerance never met: bisection spends its budget and Newton makes all eight updates.
    (dict(max_iterations=2, ppf_tolerance=-1.0), dict(iterations=2, tol=-1.0))])
@pytest.mark.parametrize("u", [0.999, 0.123456789])
@pytest.mark.parametrize("factory", [drovik.from_pdf_with_options,
                                     lambda f, iv, o: drovik.from_pdf_dpdf(f, one, iv, o)], ids=["from_pdf", "dpdf"])
def test_inversion_evaluates_the_density_exactly_where_the_replica_does(options, kwargs, u, factory):
    f, mine = Recorder(lambda x: math.exp(-x) * (1.0 + x)), Recorder(lambda x: math.exp(-x) * (1.0 + x))
    model = PdfModel(mine, 0.0, 6.0, options.get("quad_tolerance", 1e-10))
    dist = factory(f, Interval(0.0, 6.0), BuildOptions(**options))
    assert f.args == mine.args
    f.args.clear(), mine.args.clear()
    assert dist.ppf(u) == model.ppf(u, **kwargs) and f.args == mine.args


# ---------------------------------------------------------------------------
# Sampling


def test_sample_n_zero_draws_nothing_and_draws_are_floats_inside_the_support():
    f = Recorder(lambda x: 2.0 * x)
    dist = drovik.from_pdf(f, IV)
    f.args.clear()
    assert dist.sample_n(0) == [] == dist.sample_n(0, seed=5) and f.calls == 0
    assert all(type(x) is float and 0.0 < x < 1.0 for x in dist.sample_n(3) + [dist.sample()])


@pytest.mark.parametrize("seed, iterations, tol", [(11, 128, 1e-12), (2**64 - 1, 128, 1e-12), (9, 9, 1e-6)])
def test_draws_are_the_quantiles_of_one_seeded_uniform_each(seed, iterations, tol):
    def cdf(x):
        return 3.0 - math.exp(-x) * (1.0 + x)  # the offset makes the rescaling matter

    model = CdfModel(cdf, 0.5, 7.25)
    dist = drovik.from_cdf_with_options(cdf, Interval(0.5, 7.25), BuildOptions(ppf_tolerance=tol,
                                                                                max_iterations=iterations))
    uniforms = seeded_uniforms(seed, 10)
    assert dist.sample_n(10, seed=seed) == [model.ppf(u, iterations, tol) for u in uniforms]
    assert dist.sample_n(4, seed=seed) == [dist.ppf(u) for u in uniforms[:4]]  # a shorter run is a prefix
    pdf = drovik.from_pdf(lambda x: math.exp(-x), Interval(0.0, 10.0))
    assert pdf.sample_n(4, seed=seed) == [pdf.ppf(u) for u in uniforms[:4]]
