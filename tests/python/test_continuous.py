"""Interval, BuildOptions, the five basic factories and every evaluation, inversion and sampling method; seeded
draws are replayed bit for bit by the slow loops in _replica."""

import math

import pytest

import drovik
from _reference import format_double, seeded_uniforms
from _replica import CdfModel, PdfModel, Recorder, Switch, exact_after_one_step, quantile_message, raises_exactly

Interval = drovik.Interval
BuildOptions = drovik.BuildOptions
NON_FINITE = "non-finite value in support bounds"
NOT_BELOW = "invalid support interval: lo must be strictly less than hi"
NORMALIZE = "failed to normalize PDF on support"
OUT_OF_RANGE_INT = "out of range integral type conversion attempted"
IV = Interval(0.0, 1.0)


def one(x):
    return 1.0


def identity(x):
    return x


def exp_density(x):
    return math.exp(-x)


def gamma2_shifted_cdf(x):
    return 3.0 - math.exp(-x) * (1.0 + x)  # the offset makes the rescaling matter


# ---------------------------------------------------------------------------
# Interval


@pytest.mark.parametrize(
    "lo, hi, text",
    [(0, 1, "Interval(0, 1)"), (-0.0, 2.25, "Interval(-0, 2.25)"),
     (1e-7, 1e21, "Interval(0.0000001, 1000000000000000000000)"),
     (0.1, 0.30000000000000004, "Interval(0.1, 0.30000000000000004)"),
     (5e-324, 1.7976931348623157e308, f"Interval({format_double(5e-324)}, {format_double(1.7976931348623157e308)})")],
)
def test_interval_repr_uses_shortest_positional_decimals(lo, hi, text):
    assert repr(Interval(lo, hi)) == text


def test_interval_bounds_are_read_only_float_properties():
    iv = Interval(hi=1, lo=-2)
    assert (iv.lo, iv.hi, type(iv.lo), type(iv.hi)) == (-2.0, 1.0, float, float)
    for name in ["lo", "hi"]:
        with pytest.raises(AttributeError):
            setattr(iv, name, 0.5)


@pytest.mark.parametrize(
    "lo, hi, message",
    [(0.0, math.inf, NON_FINITE), (math.nan, 1.0, NON_FINITE), (math.inf, 0.0, NON_FINITE),  # finiteness first
     (1.0, 1.0, NOT_BELOW), (0.0, -0.0, NOT_BELOW), (2.0, 1.0, NOT_BELOW)],
)
def test_interval_checks_and_their_order(lo, hi, message):
    raises_exactly(drovik.BuildError, message, Interval, lo, hi)


@pytest.mark.parametrize("args, name", [(("a", math.nan), "lo"), ((math.nan, "a"), "hi")])
def test_interval_converts_both_bounds_before_checking(args, name):
    raises_exactly(TypeError, f"argument '{name}': must be real number, not str", Interval, *args)


# ---------------------------------------------------------------------------
# BuildOptions


@pytest.mark.parametrize(
    "kwargs",
    [dict(max_iterations=0), dict(max_iterations=2**32 - 1), dict(use_newton=False),
     # Converted, never range-checked; a grid size decides the mode, so the text is never parsed.
     dict(quad_tolerance=-1.0, ppf_tolerance=0.0, tdr_dpdf_rel_step=0.0, tdr_construction_points=0),
     dict(hermite_grid_size=64, tdr_transform="bogus")],
)
def test_build_options_accepted(kwargs):
    assert type(BuildOptions(**kwargs)) is BuildOptions


@pytest.mark.parametrize("value", [-1, 2**32, 2**64, -(2**100)])
def test_max_iterations_outside_32_bits_is_one_overflow_message(value):
    with pytest.raises(OverflowError) as info:
        BuildOptions(max_iterations=value)
    assert str(info.value) == OUT_OF_RANGE_INT


# Keywords in signature order with a value that fails; the first in that order is reported.
ORDERED_FAILURES = [
    ("quad_tolerance", "x", TypeError, "argument 'quad_tolerance': must be real number, not str"),
    ("ppf_tolerance", "x", TypeError, "argument 'ppf_tolerance': must be real number, not str"),
    ("max_iterations", -1, OverflowError, OUT_OF_RANGE_INT),
    ("use_newton", 1, TypeError, "argument 'use_newton': 'int' object cannot be converted to 'PyBool'"),
    ("hermite_grid_size", 1.0, TypeError,
     "argument 'hermite_grid_size': 'float' object cannot be interpreted as an integer"),
    ("tdr_transform", b"log", TypeError, "argument 'tdr_transform': 'bytes' object cannot be converted to 'PyString'"),
    ("tdr_construction_points", -1, OverflowError, None),
    ("tdr_dpdf_rel_step", "x", TypeError, "argument 'tdr_dpdf_rel_step': must be real number, not str"),
]


@pytest.mark.parametrize("first", range(len(ORDERED_FAILURES)), ids=[f[0] for f in ORDERED_FAILURES])
def test_build_options_converts_keywords_in_signature_order(first):
    exc_type, message = ORDERED_FAILURES[first][2:]
    with pytest.raises(exc_type) as info:
        BuildOptions(**{n: v for n, v, _, _ in reversed(ORDERED_FAILURES[first:])})
    assert message is None or str(info.value) == message


@pytest.mark.parametrize(
    "call, exc_type",
    [(lambda: BuildOptions(max_iterations=2**32), OverflowError),
     # The transform is parsed only after every argument has been converted.
     (lambda: BuildOptions(tdr_transform="bogus", tdr_dpdf_rel_step="x"), TypeError),
     (lambda: BuildOptions.tdr("bogus", -1), OverflowError)],
)
def test_build_options_conversion_failures(call, exc_type):
    with pytest.raises(exc_type):
        call()


@pytest.mark.parametrize("text", ["LOG", "inv_sqrt", "Inv-Sqrt", "INVSQRT"])
def test_tdr_transform_names_fold_ascii_case(text):
    assert type(BuildOptions.tdr(text)) is BuildOptions and type(BuildOptions(tdr_transform=text)) is BuildOptions


@pytest.mark.parametrize("text, folded", [(" log", " log"), ("Exp", "exp"), ("", ""), ("\u00c4LOG", "\u00c4log")])
def test_tdr_transform_unknown_names_show_the_folded_text(text, folded):
    message = f"unknown TDR transform '{folded}', expected 'log' or 'inv_sqrt'"
    raises_exactly(ValueError, message, BuildOptions.tdr, text)
    raises_exactly(ValueError, message, BuildOptions, tdr_transform=text)


# ---------------------------------------------------------------------------
# Factories


TUPLE_INTERVAL = "argument 'interval': 'tuple' object cannot be converted to 'Interval'"


@pytest.mark.parametrize(
    "call, message",
    [(lambda f: drovik.from_pdf(f, (0, 1)), TUPLE_INTERVAL),
     (lambda f: drovik.from_pdf_with_options(f, IV, None),
      "argument 'options': 'NoneType' object cannot be converted to 'BuildOptions'"),
     (lambda f: drovik.from_pdf_dpdf(f, f, (0, 1), 3), TUPLE_INTERVAL),
     (lambda f: drovik.from_pdf_dpdf(f, f, IV, 3),
      "argument 'options': 'int' object cannot be converted to 'BuildOptions'"),
     (lambda f: drovik.from_cdf_with_options(f, IV, IV),
      "argument 'options': 'Interval' object cannot be converted to 'BuildOptions'")],
)
def test_factory_argument_errors_call_nothing(call, message):
    f = Recorder(one)
    raises_exactly(TypeError, message, call, f)
    assert f.calls == 0


@pytest.mark.parametrize("options", [None, BuildOptions.hermite(4)])
def test_derivative_is_never_called_outside_tdr(options):
    dpdf = Recorder(lambda x: 2.0)
    dist = drovik.from_pdf_dpdf(lambda x: 2.0 * x, dpdf, IV, options=options)
    dist.cdf(0.3), dist.pdf(0.3), dist.ppf(0.4), dist.sample_n(2, seed=1)
    assert dpdf.calls == 0
    assert drovik.from_pdf_dpdf(one, "not callable", IV).ppf(0.5) == 0.5  # any object is taken, as it is not called


@pytest.mark.parametrize(
    "factory, density",
    [(drovik.from_pdf, lambda x: 0.0), (drovik.from_pdf, lambda x: 1.0 - 2.0 * x), (drovik.from_pdf, lambda x: 1e308),
     (lambda f, iv: drovik.from_pdf_with_options(f, iv, BuildOptions()), lambda x: -1.0),
     (lambda f, iv: drovik.from_pdf_dpdf(f, f, iv), lambda x: -1.0)],
    ids=["zero", "integrates-to-zero", "overflowing", "negative", "negative-with-dpdf"],
)
def test_density_without_a_finite_positive_integral_fails(factory, density):
    raises_exactly(drovik.BuildError, NORMALIZE, factory, density, IV)


@pytest.mark.parametrize(
    "cdf", [lambda x: 0.5, lambda x: -x, lambda x: math.nan if x == 1.0 else x, lambda x: -math.inf if x == 0 else 1.0],
    ids=["flat", "decreasing", "nan-at-hi", "infinite-at-lo"],
)
def test_from_cdf_span_must_be_finite_and_positive(cdf):
    c = Recorder(cdf)
    raises_exactly(drovik.BuildError, NORMALIZE, drovik.from_cdf, c, IV)
    assert c.args == [0.0, 1.0]


def test_tiny_norms_and_spans_are_accepted():
    assert drovik.from_pdf(lambda x: 1e-300, IV).cdf(0.25) == pytest.approx(0.25)
    assert drovik.from_cdf(lambda x: x * 5e-324, IV).cdf(1.0) == 1.0


# ---------------------------------------------------------------------------
# Evaluation


@pytest.fixture(scope="module")
def flat02():
    return drovik.from_pdf(one, Interval(0.0, 2.0))


@pytest.fixture(scope="module")
def linear_cdf():
    return drovik.from_cdf(identity, IV)


@pytest.mark.parametrize(
    "method, x, expected",
    [("cdf", 0.0, 0.0), ("cdf", 2.0, 1.0), ("cdf", -math.inf, 0.0), ("sf", 2.0, 0.0), ("sf", math.nan, 0.0),
     ("logcdf", 0.0, -math.inf), ("logcdf", 3.0, 0.0), ("logsf", 2.0, -math.inf), ("logsf", -1.0, 0.0),
     ("cdf", 1.0, 0.5), ("sf", 1.5, 0.25), ("logcdf", 1.0, math.log(0.5)), ("logsf", 0.5, math.log(0.75)),
     ("pdf", 5.0, 0.5), ("pdf", math.nan, 0.5), ("logpdf", 9.0, math.log(0.5)), ("ppf", 0.25, 0.5),
     ("isf", 0.25, 1.5)],
)
def test_density_kind_values(flat02, method, x, expected):
    assert getattr(flat02, method)(x) == pytest.approx(expected, abs=1e-12)


def test_density_is_called_at_any_x_and_logpdf_is_none_unless_positive():
    f = Recorder(lambda x: 0.0 if x > 10 else (-1.0 if x < -10 else 1.0))
    dist = drovik.from_pdf(f, IV)
    f.args.clear()
    assert (dist.pdf(20.0), dist.logpdf(20.0), dist.logpdf(-20.0)) == (0.0, None, None)
    assert f.args == [20.0, 20.0, -20.0]


@pytest.mark.parametrize(
    "method, x, expected",
    [("cdf", 2.0, 2.0), ("cdf", -1.0, -1.0), ("sf", -1.0, 2.0), ("sf", 2.0, 0.0), ("sf", math.nan, 0.0),
     ("logcdf", 2.0, 0.0), ("logcdf", -1.0, -math.inf), ("logsf", 1.0, -math.inf), ("logsf", -1.0, 0.0),
     ("pdf", 0.5, None), ("logpdf", math.nan, None)],
)
def test_distribution_function_kind_is_not_clamped(linear_cdf, method, x, expected):
    assert getattr(linear_cdf, method)(x) == expected


def test_distribution_function_kind_rescales_bisects_and_has_no_density():
    c = Recorder(lambda x: 10.0 + 4.0 * x)
    dist = drovik.from_cdf(c, Interval(1.0, 2.0))
    assert c.args == [1.0, 2.0]
    c.args.clear()
    assert dist.ppf(0.5) == 1.5 and c.args == [1.0, 2.0, 1.5]  # the ends, then one bisection step
    assert [dist.cdf(x) for x in (1.0, 1.5, 3.0, 0.0)] == [0.0, 0.5, 2.0, -1.0]
    c.args.clear()
    assert dist.pdf(1.5) is None and dist.logpdf(1.5) is None and c.calls == 0


@pytest.mark.parametrize("which", ["density", "distribution function"])
@pytest.mark.parametrize("method", ["cdf", "logcdf", "logsf"])
def test_nan_argument_gives_nan_promptly(which, method):
    f = Recorder(lambda x: math.exp(-x * x))
    dist = drovik.from_pdf(f, Interval(-3.0, 3.0)) if which == "density" else drovik.from_cdf(identity, IV)
    f.args.clear()
    assert math.isnan(getattr(dist, method)(math.nan)) and f.calls == 0


@pytest.mark.parametrize("method", ["cdf", "sf", "pdf", "logpdf", "logcdf", "logsf", "ppf", "isf"])
def test_scalar_methods_take_exactly_one_number(flat02, method):
    name = {"ppf": "u", "isf": "q"}.get(method, "x")
    raises_exactly(TypeError, f"argument '{name}': must be real number, not list", getattr(flat02, method), [0.1, 0.2])


@pytest.mark.parametrize("u", [0.0, 1.0, math.nan, -0.0, 1e21])
@pytest.mark.parametrize("which", ["flat02", "linear_cdf"])
def test_ppf_out_of_range(request, which, u):
    raises_exactly(drovik.SampleError, quantile_message(u), request.getfixturevalue(which).ppf, u)


@pytest.mark.parametrize("q, u", [(0.0, 1.0), (1e-17, 1.0), (1.5, -0.5), (math.nan, math.nan)])
def test_isf_out_of_range_shows_one_minus_q(flat02, q, u):
    raises_exactly(drovik.SampleError, quantile_message(u), flat02.isf, q)


@pytest.mark.parametrize("factory", [drovik.from_pdf, drovik.from_cdf])
def test_quantiles_out_of_range_evaluate_nothing(factory):
    f = Recorder(identity)
    dist = factory(f, IV)
    f.args.clear()
    for call, u in [(dist.ppf, 0.0), (dist.ppf, math.nan), (dist.isf, 0.0), (dist.isf, 1.0)]:
        with pytest.raises(drovik.SampleError):
            call(u)
    assert f.calls == 0


def test_isf_and_extreme_levels():
    dist = drovik.from_pdf(lambda x: 2.0 * x, IV)
    assert dist.isf(0.25) == dist.ppf(0.75)
    assert 0.0 <= dist.ppf(5e-324) < 1e-5 and 1.0 - 1e-6 < dist.ppf(1.0 - 2.0**-53) <= 1.0


def test_support_is_a_new_interval_and_plain_modes_report_no_fast_mode(flat02, linear_cdf):
    assert repr(flat02.support()) == "Interval(0, 2)" and flat02.support() is not flat02.support()
    odd = drovik.from_cdf(identity, Interval(-0.1, 0.30000000000000004)).support()
    assert (odd.lo, odd.hi) == (-0.1, 0.30000000000000004)
    for dist in (flat02, linear_cdf, drovik.from_pdf_dpdf(one, one, IV)):
        assert (dist.uses_tdr(), dist.uses_hermite_table()) == (False, False)


# ---------------------------------------------------------------------------
# Calls of the user's function, and the inversion settings

ONE_STEP_TO_ONE = exact_after_one_step(0.0, 1.0)  # the panels, then each halved once; nothing cached


def test_density_calls_follow_the_simpson_steps():
    f = Recorder(one)
    dist = drovik.from_pdf(f, Interval(0.0, 2.0))
    assert f.args == [2 * x for x in ONE_STEP_TO_ONE]
    for _ in range(2):
        f.args.clear()
        assert dist.cdf(1.0) == 0.5 and f.args == ONE_STEP_TO_ONE
    f.args.clear()
    # One bisection step meets the tolerance; the polish re-evaluates F there and stops.
    assert dist.ppf(0.5) == 1.0 and f.args == ONE_STEP_TO_ONE * 2


@pytest.mark.parametrize(
    "iterations, expected", [(0, [1.0] * 5), (1, [0.5, 0.5, 1.0, 1.5, 1.5]), (2, [0.25, 0.75, 1.0, 1.25, 1.75])]
)
def test_bisection_budget_without_newton(iterations, expected):
    options = BuildOptions(max_iterations=iterations, use_newton=False)  # one options object serves every factory
    for dist in [drovik.from_pdf_with_options(one, Interval(0.0, 2.0), options),
                 drovik.from_pdf_dpdf(one, one, Interval(0.0, 2.0), options),
                 drovik.from_cdf_with_options(identity, Interval(0.0, 2.0), options)]:
        assert [dist.ppf(u) for u in (0.1, 0.3, 0.5, 0.7, 0.9)] == expected


def test_newton_needs_a_density():
    options = BuildOptions(max_iterations=0)
    newton = drovik.from_pdf_with_options(one, Interval(0.0, 2.0), options)
    assert [newton.ppf(u) for u in (0.1, 0.7)] == pytest.approx([0.2, 1.4], abs=1e-12)
    assert drovik.from_cdf_with_options(identity, Interval(0.0, 2.0), options).ppf(0.1) == 1.0


def test_ppf_tolerance_is_on_distribution_values():
    dist = drovik.from_pdf_with_options(one, IV, BuildOptions(ppf_tolerance=0.3))
    assert [dist.ppf(u) for u in (0.25, 0.6, 0.79)] == [0.5, 0.5, 0.5]
    assert dist.ppf(0.1) != 0.5


@pytest.mark.parametrize(
    "density, u, expected",
    # With no bisection step the bracket is the support: a Newton step out of it ends the polish at the best
    # point seen instead of being clamped onto an end of the support.
    [(lambda x: 2.0 * x, 1.0 - 1e-13, 0.5), (lambda x: 2.0 * (1.0 - x), 1e-13, 0.5),
     (lambda x: 1.0 if x > 0.5 else 0.0, 0.7, 0.5), (lambda x: 1.0 if x > 0.5 else 0.0, 0.05, 0.5)],  # zero density
)
def test_newton_polish_ends_at_a_step_out_of_the_bracket_or_a_vanishing_density(density, u, expected):
    assert drovik.from_pdf_with_options(density, IV, BuildOptions(max_iterations=0)).ppf(u) == expected


def test_nan_distribution_value_at_the_newton_point_fails_the_inversion():
    f = Recorder(Switch(one, lambda x: math.nan if x == 0.5 else 1.0), limit=10_000)
    dist = drovik.from_pdf_with_options(f, IV, BuildOptions(max_iterations=0))
    f.fn.on = True
    # F(0.5) integrates up to the NaN point: the polish fails instead of guessing.
    with pytest.raises(drovik.SampleError, match="failed to invert CDF"):
        dist.ppf(0.3)


def test_quadrature_looks_at_sixteen_panels_before_it_accepts():
    # The five points of the first two estimates over [-1, 1] all lie where the sine is 0: they agreed, and the
    # whole support was accepted as a constant.
    sine = drovik.from_pdf(lambda x: 0.05 + 0.45 * (1 + math.sin(2 * math.pi * x)), Interval(-1.0, 1.0))
    assert sine.mean() == pytest.approx(-0.45 / math.pi, abs=1e-10)
    assert sine.cdf(0.25) == pytest.approx(0.625 + 0.45 / (2 * math.pi), abs=1e-10)
    # A peak 0.01 wide between the first points of [-8, 8].
    peak = drovik.from_pdf(lambda x: math.exp(-0.5 * ((x - 0.3) / 0.01) ** 2), Interval(-8.0, 8.0))
    assert (peak.cdf(0.3), peak.cdf(0.32)) == pytest.approx((0.5, 0.5 * math.erfc(-2 / math.sqrt(2))), abs=1e-8)


@pytest.mark.parametrize("factory", [
    lambda f: drovik.from_pdf(f, Interval(-1.0, 2.0)),
    lambda f: drovik.from_pdf_dpdf(f, lambda x: 1.0, Interval(-1.0, 2.0)),
    lambda f: drovik.from_pdf_loc_scale(f, Interval(-1.0, 2.0), 3.0, 2.0),
    lambda f: drovik.truncated(f, Interval(-1.0, 2.0), Interval(-0.5, 1.0)),
], ids=["from_pdf", "from_pdf_dpdf", "loc_scale", "truncated"])
def test_a_negative_density_value_fails_the_build(factory):
    raises_exactly(drovik.BuildError, "failed to normalize PDF on support", factory, lambda x: x)
    for density in (lambda x: x + 1.0, lambda x: -0.0 if x < 0 else x):  # -0.0 and positive values are fine
        dist = factory(density)
        assert dist.cdf(dist.support().hi) == 1.0


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


def test_zero_quadrature_tolerance_ends_at_the_rounding_level():
    normal = Recorder(lambda x: math.exp(-0.5 * x * x), limit=2_000_000)
    dist = drovik.from_pdf_with_options(normal, Interval(-8.0, 8.0), BuildOptions(quad_tolerance=0.0))
    assert dist.cdf(1.0) == pytest.approx(0.5 * math.erfc(-1.0 / math.sqrt(2.0)), abs=1e-13)


def test_a_density_that_never_settles_fails_the_build_in_bounded_steps():
    noise = Recorder(lambda x: (x * 7919.0 % 1.0 + math.sin(x * 1e6)) % 1.0, limit=20_000_000)
    raises_exactly(drovik.BuildError, "failed to normalize PDF on support", drovik.from_pdf, noise, Interval(-8.0, 8.0))


def test_ctrl_c_stops_a_zero_tolerance_build():
    def density(x):
        density.calls += 1
        if density.calls == 50_000:
            raise KeyboardInterrupt("stop")
        return math.exp(-0.5 * x * x)
    density.calls = 0
    with pytest.raises(KeyboardInterrupt, match="stop"):
        drovik.from_pdf_with_options(density, Interval(-8.0, 8.0), BuildOptions(quad_tolerance=0.0))
    assert density.calls == 50_000


@pytest.mark.parametrize("tol", [-1.0, math.nan])
def test_unusable_quadrature_tolerance_ends_in_a_build_error(tol):
    with pytest.raises(drovik.BuildError):
        drovik.from_pdf_with_options(Recorder(exp_density, limit=1_000_000), IV, BuildOptions(quad_tolerance=tol))


# ---------------------------------------------------------------------------
# Sampling


def test_sample_n_zero_draws_nothing_and_seeds_repeat():
    f = Recorder(lambda x: 2.0 * x)
    dist = drovik.from_pdf(f, IV)
    f.args.clear()
    assert dist.sample_n(0) == [] == dist.sample_n(0, seed=5) and f.calls == 0
    assert dist.sample_n(2, seed=2**64 - 1) == dist.sample_n(2, seed=2**64 - 1)
    assert all(type(x) is float and 0.0 < x < 1.0 for x in dist.sample_n(3) + [dist.sample()])


def test_uniform_draws_are_the_seeded_uniforms():
    draws = drovik.from_pdf(one, IV).sample_n(3, seed=0)
    assert draws == pytest.approx([0.7090754154265618, 0.46592172228961015, 0.6991432426747317], abs=1e-12)


@pytest.mark.parametrize("seed, iterations, tol", [(11, 128, 1e-12), (2**64 - 1, 128, 1e-12), (9, 9, 1e-6)])
def test_from_cdf_draws_match_the_bisection_replica(seed, iterations, tol):
    model = CdfModel(gamma2_shifted_cdf, 0.5, 7.25)
    options = BuildOptions(ppf_tolerance=tol, max_iterations=iterations)
    dist = drovik.from_cdf_with_options(gamma2_shifted_cdf, Interval(0.5, 7.25), options)
    uniforms = seeded_uniforms(seed, 10)
    # One uniform per draw: a shorter run is a prefix.
    assert dist.sample_n(10, seed=seed) == [model.ppf(u, iterations, tol) for u in uniforms]
    assert dist.sample_n(4, seed=seed) == [dist.ppf(u) for u in uniforms[:4]]


def test_from_pdf_draws_match_the_quadrature_and_newton_replica():
    model = PdfModel(exp_density, 0.0, 10.0)
    expected = [model.ppf(u) for u in seeded_uniforms(3, 4)]
    assert drovik.from_pdf(exp_density, Interval(0.0, 10.0)).sample_n(4, seed=3) == expected


@pytest.mark.parametrize(
    "options, kwargs",
    [(dict(max_iterations=3), dict(iterations=3)),
     (dict(max_iterations=6, use_newton=False), dict(iterations=6, newton=False)),
     (dict(quad_tolerance=1e-6, max_iterations=4), dict(iterations=4)),
     # A tolerance never met: bisection spends its budget and Newton makes all eight updates.
     (dict(max_iterations=2, ppf_tolerance=-1.0), dict(iterations=2, tol=-1.0))],
)
@pytest.mark.parametrize("u", [0.999, 0.123456789])
def test_inversion_evaluates_the_density_exactly_where_the_replica_does(options, kwargs, u):
    f, mine = Recorder(lambda x: math.exp(-x) * (1.0 + x)), Recorder(lambda x: math.exp(-x) * (1.0 + x))
    model = PdfModel(mine, 0.0, 6.0, options.get("quad_tolerance", 1e-10))
    dist = drovik.from_pdf_with_options(f, Interval(0.0, 6.0), BuildOptions(**options))
    assert f.args == mine.args
    f.args.clear(), mine.args.clear()
    assert dist.ppf(u) == model.ppf(u, **kwargs) and f.args == mine.args


def test_quadrature_accepts_records_once_more_than_48_are_pending():
    # A jump just right of 0 and a tolerance no interval meets: the left spine is halved
    # until 49 right halves wait beneath it; every other interval is exact.
    def step(x):
        return 0.0 if x <= 1e-30 else 1.0

    f, mine = Recorder(step), Recorder(step)
    model = PdfModel(mine, 0.0, 1.0, 1e-30)
    dist = drovik.from_pdf_with_options(f, IV, BuildOptions(quad_tolerance=1e-30))
    assert f.args == mine.args
    assert (dist.pdf(0.5), dist.cdf(2.0**-45)) == (1.0 / model.norm, model.cdf(2.0**-45))
