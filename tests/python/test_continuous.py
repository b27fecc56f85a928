"""Continuous distributions from Python: Interval, BuildOptions, the five basic
factories and every evaluation, inversion and sampling method, with seeded
draws checked against closed-form quantiles and against a slow re-implementation
of the quadrature and inversion loops."""

import math
from fractions import Fraction
import numpy as np
import pytest
from hypothesis import assume, given, settings, strategies as st

import drovik
from _reference import format_double, seeded_uniforms

Interval = drovik.Interval
BuildOptions = drovik.BuildOptions

NON_FINITE = "non-finite value in support bounds"
NOT_BELOW = "invalid support interval: lo must be strictly less than hi"
NORMALIZE = "failed to normalize PDF on support"
TDR_ON_CDF = "invalid support interval: TDR sampling requires a PDF (use from_pdf_fn, not from_cdf_fn)"
INVERT = "failed to invert CDF"
OUT_OF_RANGE_INT = "out of range integral type conversion attempted"


def raises_exactly(exc_type, message, call, *args, **kwargs):
    with pytest.raises(exc_type) as info:
        call(*args, **kwargs)
    assert type(info.value) is exc_type
    assert str(info.value) == message
    return info.value


def quantile_message(u):
    return f"quantile u={format_double(u)} not in (0, 1)"


class Recorder:
    """Wraps a function, counting and recording its arguments. Past `limit` calls it
    raises PanicException, which the adapters let through, so a loop that never ends
    fails the test instead of hanging it."""

    def __init__(self, fn, limit=2_000_000):
        self.fn = fn
        self.args = []
        self.limit = limit

    @property
    def calls(self):
        return len(self.args)

    def __call__(self, x):
        self.args.append(x)
        if len(self.args) > self.limit:
            raise drovik.PanicException("call budget exhausted: the computation does not end")
        return self.fn(x)


def uniform01():
    return drovik.from_pdf(lambda x: 1.0, Interval(0.0, 1.0))


# ---------------------------------------------------------------------------
# Slow re-implementation of the quadrature and inversion loops, written from
# their published descriptions; IEEE doubles make it agree to the last bit.


def ref_simpson(f, a, b):
    m = (a + b) * 0.5
    fa = f(a)
    fm = f(m)
    fb = f(b)
    return ((b - a) / 6) * ((fa + 4 * fm) + fb)


def ref_integrate(f, a, b, tol):
    if a == b:
        return 0.0
    if b < a:
        return -ref_integrate(f, b, a, tol)
    stack = [(a, b, ref_simpson(f, a, b))]
    total = 0.0
    threshold = 15 * tol
    while stack:
        lo, hi, whole = stack.pop()
        pending = len(stack)
        m = (lo + hi) * 0.5
        left = ref_simpson(f, lo, m)
        right = ref_simpson(f, m, hi)
        s = left + right
        if abs(s - whole) <= threshold or pending > 48:
            total += s + (s - whole) / 15
        else:
            stack.append((m, hi, right))
            stack.append((lo, m, left))
    return total


def ref_bisect(cdf, iterations, lo, hi, target, tol):
    for _ in range(iterations):
        mid = (lo + hi) * 0.5
        value = cdf(mid)
        if abs(value - target) <= tol:
            return mid
        if value < target:
            lo = mid
        else:
            hi = mid
    return (lo + hi) * 0.5


def ref_ppf(cdf, iterations, lo, hi, u, tol):
    f_lo, f_hi = cdf(lo), cdf(hi)
    target = f_lo + u * (f_hi - f_lo)
    return ref_bisect(cdf, iterations, lo, hi, target, tol)


def ref_ppf_with_pdf(cdf, pdf, iterations, lo, hi, u, tol):
    f_lo, f_hi = cdf(lo), cdf(hi)
    target = f_lo + u * (f_hi - f_lo)
    x = ref_bisect(cdf, iterations, lo, hi, target, tol)
    for _ in range(8):
        value = cdf(x)
        if abs(value - target) <= tol:
            return x
        p = pdf(x)
        if abs(p) < 1e-300:
            return x
        x = min(max(x - (value - target) / p, lo), hi)
    return x


class RefPdfModel:
    """A density normalized by quadrature, inverted by bisection and Newton."""

    def __init__(self, f, lo, hi, quad_tolerance=1e-10):
        self.f, self.lo, self.hi, self.tol = f, lo, hi, quad_tolerance
        self.norm = ref_integrate(f, lo, hi, quad_tolerance)

    def cdf(self, x):
        if x <= self.lo:
            return 0.0
        if x >= self.hi:
            return 1.0
        return ref_integrate(self.f, self.lo, x, self.tol) / self.norm

    def pdf(self, x):
        return self.f(x) / self.norm

    def ppf(self, u, iterations=128, tol=1e-12, newton=True):
        if newton:
            return ref_ppf_with_pdf(self.cdf, self.pdf, iterations, self.lo, self.hi, u, tol)
        return ref_ppf(self.cdf, iterations, self.lo, self.hi, u, tol)


class RefCdfModel:
    """A distribution function rescaled to its support, inverted by bisection."""

    def __init__(self, c, lo, hi):
        self.c, self.lo, self.hi = c, lo, hi
        self.c_lo = c(lo)
        self.span = c(hi) - self.c_lo

    def cdf(self, x):
        return (self.c(x) - self.c_lo) / self.span

    def ppf(self, u, iterations=128, tol=1e-12):
        return ref_ppf(self.cdf, iterations, self.lo, self.hi, u, tol)


def exp_density(x):
    return math.exp(-x)


def gamma2_shifted_cdf(x):
    # A distribution function plus an offset, so that rescaling matters.
    return 3.0 - math.exp(-x) * (1.0 + x)


# ---------------------------------------------------------------------------
# Interval


@pytest.mark.parametrize(
    "lo, hi, text",
    [
        (0.0, 1.0, "Interval(0, 1)"),
        (0, 1, "Interval(0, 1)"),
        (-0.5, 2.25, "Interval(-0.5, 2.25)"),
        (-0.0, 1.0, "Interval(-0, 1)"),
        (1e-7, 1e21, "Interval(0.0000001, 1000000000000000000000)"),
        (0.1, 0.30000000000000004, "Interval(0.1, 0.30000000000000004)"),
        (-(2.0**53), 2.0**53 + 2, "Interval(-9007199254740992, 9007199254740994)"),
    ],
)
def test_interval_repr_uses_shortest_decimals(lo, hi, text):
    assert repr(Interval(lo, hi)) == text


@pytest.mark.parametrize(
    "lo, hi", [(5e-324, 1.7976931348623157e308), (-1.7976931348623157e308, -5e-324), (1 / 3, 2 / 3)]
)
def test_interval_repr_extremes_are_positional(lo, hi):
    text = repr(Interval(lo, hi))
    assert text == f"Interval({format_double(lo)}, {format_double(hi)})"
    assert "e" not in text[len("Interval("):]


def test_interval_bounds_are_float_properties():
    iv = Interval(0, 3)
    assert (iv.lo, iv.hi) == (0.0, 3.0)
    assert type(iv.lo) is float and type(iv.hi) is float
    keyword = Interval(hi=np.float32(1.5), lo=-2)
    assert (keyword.lo, keyword.hi) == (-2.0, 1.5)


@pytest.mark.parametrize("name", ["lo", "hi"])
def test_interval_bounds_are_read_only(name):
    iv = Interval(0.0, 1.0)
    with pytest.raises(AttributeError):
        setattr(iv, name, 0.5)
    with pytest.raises(AttributeError):
        delattr(iv, name)
    assert (iv.lo, iv.hi) == (0.0, 1.0)


@pytest.mark.parametrize(
    "lo, hi, message",
    [
        (0.0, math.inf, NON_FINITE),
        (-math.inf, 0.0, NON_FINITE),
        (math.nan, 1.0, NON_FINITE),
        (0.0, math.nan, NON_FINITE),
        # Finiteness is tested first, also where lo >= hi fails as well.
        (math.inf, 0.0, NON_FINITE),
        (1.0, -math.inf, NON_FINITE),
        (math.nan, math.nan, NON_FINITE),
        (math.inf, math.inf, NON_FINITE),
        (1.0, 1.0, NOT_BELOW),
        (2.0, 1.0, NOT_BELOW),
        (0.0, -0.0, NOT_BELOW),
        (5e-324, 5e-324, NOT_BELOW),
    ],
)
def test_interval_checks_and_their_order(lo, hi, message):
    error = raises_exactly(drovik.BuildError, message, Interval, lo, hi)
    assert error.args == (message,)


@pytest.mark.parametrize(
    "args, exc_type, message",
    [
        (("a", math.nan), TypeError, "argument 'lo': must be real number, not str"),
        ((math.nan, "a"), TypeError, "argument 'hi': must be real number, not str"),
        ((0.0, None), TypeError, "argument 'hi': must be real number, not NoneType"),
        ((0.0,), TypeError, "Interval() missing 1 required positional argument: 'hi'"),
    ],
)
def test_interval_converts_both_bounds_before_checking(args, exc_type, message):
    raises_exactly(exc_type, message, Interval, *args)


def test_interval_bound_too_large_for_a_double():
    with pytest.raises(OverflowError):
        Interval(10**400, 1.0)


# ---------------------------------------------------------------------------
# BuildOptions


@pytest.mark.parametrize(
    "kwargs",
    [
        {},
        dict(quad_tolerance=1e-8, ppf_tolerance=1e-10, max_iterations=64, use_newton=False),
        dict(max_iterations=0),
        dict(max_iterations=2**32 - 1),
        dict(max_iterations=True),
        dict(use_newton=np.bool_(False)),
        dict(use_newton=np.True_),
        dict(quad_tolerance=None, ppf_tolerance=None, max_iterations=None, hermite_grid_size=None,
             tdr_transform=None, tdr_construction_points=None, tdr_dpdf_rel_step=None),
        # Values are not range-checked, only converted.
        dict(quad_tolerance=-1.0, ppf_tolerance=0.0, tdr_dpdf_rel_step=0.0, tdr_construction_points=0),
        # A grid size decides the mode, so the transform text is never parsed.
        dict(hermite_grid_size=64, tdr_transform="bogus"),
        dict(tdr_transform="LOG"),
        dict(tdr_transform="Inv-Sqrt", tdr_construction_points=5, tdr_dpdf_rel_step=1e-3),
    ],
)
def test_build_options_accepted(kwargs):
    assert type(BuildOptions(**kwargs)) is BuildOptions


def test_build_options_accepts_positional_arguments():
    BuildOptions(1e-10, 1e-12, 128, True, None, None, 30, 1e-4)


@pytest.mark.parametrize(
    "kwargs, exc_type, message",
    [
        (dict(max_iterations=-1), OverflowError, OUT_OF_RANGE_INT),
        (dict(max_iterations=2**32), OverflowError, OUT_OF_RANGE_INT),
        (dict(max_iterations=2**40), OverflowError, OUT_OF_RANGE_INT),
        (dict(max_iterations=-(2**31)), OverflowError, OUT_OF_RANGE_INT),
        (dict(max_iterations=2**64), OverflowError, OUT_OF_RANGE_INT),
        (dict(max_iterations=-(2**100)), OverflowError, OUT_OF_RANGE_INT),
        (dict(max_iterations=1.0), TypeError,
         "argument 'max_iterations': 'float' object cannot be interpreted as an integer"),
        (dict(use_newton=None), TypeError,
         "argument 'use_newton': 'NoneType' object cannot be converted to 'PyBool'"),
        (dict(use_newton=1), TypeError, "argument 'use_newton': 'int' object cannot be converted to 'PyBool'"),
        (dict(use_newton=np.int64(1)), TypeError,
         "argument 'use_newton': 'int64' object cannot be converted to 'PyBool'"),
        (dict(tdr_transform=3), TypeError,
         "argument 'tdr_transform': 'int' object cannot be converted to 'PyString'"),
        (dict(tdr_transform=b"log"), TypeError,
         "argument 'tdr_transform': 'bytes' object cannot be converted to 'PyString'"),
        (dict(quad_tolerance="x"), TypeError, "argument 'quad_tolerance': must be real number, not str"),
        (dict(ppf_tolerance=[1e-12]), TypeError, "argument 'ppf_tolerance': must be real number, not list"),
        (dict(tdr_dpdf_rel_step="a"), TypeError, "argument 'tdr_dpdf_rel_step': must be real number, not str"),
        (dict(tdr_transform="bogus"), ValueError, "unknown TDR transform 'bogus', expected 'log' or 'inv_sqrt'"),
        (dict(bogus=1), TypeError, "BuildOptions() got an unexpected keyword argument 'bogus'"),
    ],
)
def test_build_options_conversion_failures(kwargs, exc_type, message):
    raises_exactly(exc_type, message, BuildOptions, **kwargs)


@pytest.mark.parametrize("kwargs", [dict(max_iterations=2**64), dict(hermite_grid_size=-1),
                                    dict(tdr_construction_points=-1), dict(hermite_grid_size=2**64)])
def test_build_options_out_of_range_integers_raise_overflow(kwargs):
    with pytest.raises(OverflowError):
        BuildOptions(**kwargs)


# Keywords in signature order with a value that fails to convert; the first one
# in that order is reported, whatever order the call lists them in.
ORDERED_FAILURES = [
    ("quad_tolerance", "x", TypeError, "argument 'quad_tolerance': must be real number, not str"),
    ("ppf_tolerance", "x", TypeError, "argument 'ppf_tolerance': must be real number, not str"),
    ("max_iterations", -1, OverflowError, OUT_OF_RANGE_INT),
    ("use_newton", None, TypeError, "argument 'use_newton': 'NoneType' object cannot be converted to 'PyBool'"),
    ("hermite_grid_size", "x", TypeError,
     "argument 'hermite_grid_size': 'str' object cannot be interpreted as an integer"),
    ("tdr_transform", 3, TypeError, "argument 'tdr_transform': 'int' object cannot be converted to 'PyString'"),
    ("tdr_construction_points", -1, OverflowError, None),
    ("tdr_dpdf_rel_step", "x", TypeError, "argument 'tdr_dpdf_rel_step': must be real number, not str"),
]


@pytest.mark.parametrize("first", range(len(ORDERED_FAILURES)), ids=[f[0] for f in ORDERED_FAILURES])
def test_build_options_converts_keywords_in_signature_order(first):
    _, _, exc_type, message = ORDERED_FAILURES[first]
    kwargs = {name: value for name, value, _, _ in reversed(ORDERED_FAILURES[first:])}
    with pytest.raises(exc_type) as info:
        BuildOptions(**kwargs)
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize(
    "later",
    [dict(tdr_construction_points=-1), dict(tdr_dpdf_rel_step="x")],
)
def test_unknown_transform_is_reported_after_all_conversions(later):
    with pytest.raises((TypeError, OverflowError)):
        BuildOptions(tdr_transform="bogus", **later)


@pytest.mark.parametrize(
    "text", ["log", "LOG", "Log", "inv_sqrt", "INV_SQRT", "Inv-Sqrt", "inv-sqrt", "INVSQRT", "invsqrt"]
)
def test_tdr_transform_names_accepted(text):
    assert type(BuildOptions.tdr(text)) is BuildOptions
    assert type(BuildOptions.tdr(text, 5)) is BuildOptions
    assert type(BuildOptions.tdr(transform=text, construction_points=None)) is BuildOptions
    assert type(BuildOptions(tdr_transform=text)) is BuildOptions


@pytest.mark.parametrize(
    "text, folded",
    [(" log", " log"), ("log ", "log "), ("Exp", "exp"), ("SQRT", "sqrt"), ("", ""), ("INV SQRT", "inv sqrt"),
     ("\u00c4LOG", "\u00c4log")],
)
def test_tdr_transform_unknown_names_show_the_folded_text(text, folded):
    message = f"unknown TDR transform '{folded}', expected 'log' or 'inv_sqrt'"
    raises_exactly(ValueError, message, BuildOptions.tdr, text)
    raises_exactly(ValueError, message, BuildOptions, tdr_transform=text)


@pytest.mark.parametrize(
    "call, exc_type, message",
    [
        (lambda: BuildOptions.tdr(3), TypeError,
         "argument 'transform': 'int' object cannot be converted to 'PyString'"),
        (lambda: BuildOptions.hermite(None), TypeError,
         "argument 'grid_size': 'NoneType' object cannot be interpreted as an integer"),
        (lambda: BuildOptions.hermite(), TypeError,
         "BuildOptions.hermite() missing 1 required positional argument: 'grid_size'"),
        (lambda: BuildOptions.tdr(), TypeError,
         "BuildOptions.tdr() missing 1 required positional argument: 'transform'"),
    ],
)
def test_static_constructor_argument_errors(call, exc_type, message):
    raises_exactly(exc_type, message, call)


@pytest.mark.parametrize("call", [lambda: BuildOptions.hermite(-1), lambda: BuildOptions.tdr("log", -1),
                                  lambda: BuildOptions.tdr("bogus", -1)])
def test_static_constructor_converts_before_parsing(call):
    with pytest.raises(OverflowError):
        call()


def test_build_options_is_opaque():
    options = BuildOptions()
    for name in ["quad_tolerance", "max_iterations", "use_newton", "mode"]:
        assert not hasattr(options, name)


# ---------------------------------------------------------------------------
# Factory arguments


def one(x):
    return 1.0


def identity(x):
    return x


IV = Interval(0.0, 1.0)
TUPLE_INTERVAL = "argument 'interval': 'tuple' object cannot be converted to 'Interval'"
FACTORY_ARGUMENT_ERRORS = [
    (lambda f: drovik.from_pdf(f, (0, 1)), TUPLE_INTERVAL),
    (lambda f: drovik.from_pdf(f, [0.0, 1.0]),
     "argument 'interval': 'list' object cannot be converted to 'Interval'"),
    (lambda f: drovik.from_pdf(f, None), "argument 'interval': 'NoneType' object cannot be converted to 'Interval'"),
    (lambda f: drovik.from_pdf(f, BuildOptions()),
     "argument 'interval': 'BuildOptions' object cannot be converted to 'Interval'"),
    (lambda f: drovik.from_pdf(f), "from_pdf() missing 1 required positional argument: 'interval'"),
    (lambda f: drovik.from_pdf(f, IV, None), "from_pdf() takes 2 positional arguments but 3 were given"),
    (lambda f: drovik.from_pdf_with_options(f, IV, None),
     "argument 'options': 'NoneType' object cannot be converted to 'BuildOptions'"),
    (lambda f: drovik.from_pdf_with_options(f, IV),
     "from_pdf_with_options() missing 1 required positional argument: 'options'"),
    (lambda f: drovik.from_pdf_with_options(f, (0, 1), None), TUPLE_INTERVAL),
    (lambda f: drovik.from_pdf_with_options(f, IV, IV),
     "argument 'options': 'Interval' object cannot be converted to 'BuildOptions'"),
    (lambda f: drovik.from_pdf_dpdf(f, f, (0, 1)), TUPLE_INTERVAL),
    (lambda f: drovik.from_pdf_dpdf(f, f, (0, 1), 3), TUPLE_INTERVAL),
    (lambda f: drovik.from_pdf_dpdf(f, f, IV, 3),
     "argument 'options': 'int' object cannot be converted to 'BuildOptions'"),
    (lambda f: drovik.from_pdf_dpdf(f, IV), "from_pdf_dpdf() missing 1 required positional argument: 'interval'"),
    (lambda f: drovik.from_cdf(f, (0, 1)), TUPLE_INTERVAL),
    (lambda f: drovik.from_cdf(f, interval=IV, options=None),
     "from_cdf() got an unexpected keyword argument 'options'"),
    (lambda f: drovik.from_cdf_with_options(f, IV, None),
     "argument 'options': 'NoneType' object cannot be converted to 'BuildOptions'"),
    (lambda f: drovik.from_cdf_with_options(f, IV, options=BuildOptions(), f=f),
     "from_cdf_with_options() got multiple values for argument 'f'"),
]


@pytest.mark.parametrize("call, message", FACTORY_ARGUMENT_ERRORS)
def test_factory_argument_errors_call_nothing(call, message):
    f = Recorder(one)
    raises_exactly(TypeError, message, call, f)
    assert f.calls == 0


def test_factories_accept_keywords_and_take_any_object_as_callable():
    f = Recorder(one)
    assert drovik.from_pdf(interval=IV, f=f).cdf(0.5) == pytest.approx(0.5)
    assert drovik.from_pdf_dpdf(f, None, IV).cdf(0.5) == pytest.approx(0.5)
    assert drovik.from_pdf_dpdf(f, "not callable", IV, options=None).cdf(0.5) == pytest.approx(0.5)
    assert drovik.from_cdf_with_options(options=BuildOptions(), interval=IV, f=identity).cdf(0.25) == 0.25


def test_one_options_object_serves_many_factories():
    options = BuildOptions(max_iterations=0, use_newton=False)
    built = [drovik.from_pdf_with_options(one, Interval(0.0, 4.0), options),
             drovik.from_pdf_dpdf(one, one, Interval(0.0, 4.0), options),
             drovik.from_cdf_with_options(identity, Interval(0.0, 4.0), options)]
    for dist in built:
        assert [dist.ppf(u) for u in (0.1, 0.6, 0.9)] == [2.0, 2.0, 2.0]


def test_from_pdf_dpdf_never_calls_the_derivative_when_inverting():
    f = Recorder(lambda x: 2.0 * x)
    dpdf = Recorder(lambda x: 2.0)
    dist = drovik.from_pdf_dpdf(f, dpdf, IV)
    dist.cdf(0.3)
    dist.pdf(0.3)
    dist.ppf(0.4)
    dist.sample_n(2, seed=1)
    assert f.calls > 0
    assert dpdf.calls == 0


# ---------------------------------------------------------------------------
# Normalization and the build checks


@pytest.mark.parametrize(
    "factory",
    [
        lambda f, iv: drovik.from_pdf(f, iv),
        lambda f, iv: drovik.from_pdf_with_options(f, iv, BuildOptions()),
        lambda f, iv: drovik.from_pdf_dpdf(f, f, iv),
    ],
)
@pytest.mark.parametrize(
    "density",
    [lambda x: 0.0, lambda x: -1.0, lambda x: 1.0 - 2.0 * x, lambda x: math.nan, lambda x: 1e308],
    ids=["zero", "negative", "integrates-to-zero", "nan", "overflowing"],
)
def test_density_without_a_finite_positive_integral_fails(factory, density):
    raises_exactly(drovik.BuildError, NORMALIZE, factory, Recorder(density), IV)


def test_tiny_but_positive_norm_is_accepted():
    dist = drovik.from_pdf(lambda x: 1e-300, IV)
    assert dist.pdf(0.3) == pytest.approx(1.0)
    assert dist.cdf(0.25) == pytest.approx(0.25)


@pytest.mark.parametrize(
    "cdf",
    [lambda x: 0.5, lambda x: -x, lambda x: math.nan, lambda x: math.inf * x, lambda x: -math.inf if x == 0 else 1.0,
     lambda x: math.nan if x == 1.0 else x],
    ids=["flat", "decreasing", "nan", "infinite-at-hi", "infinite-at-lo", "nan-at-hi"],
)
def test_from_cdf_span_must_be_finite_and_positive(cdf):
    c = Recorder(cdf)
    raises_exactly(drovik.BuildError, NORMALIZE, drovik.from_cdf, c, IV)
    # Only the two ends are evaluated, lo first.
    assert c.args == [0.0, 1.0]


def test_from_cdf_accepts_a_subnormal_span():
    dist = drovik.from_cdf(lambda x: x * 5e-324, IV)
    assert dist.cdf(1.0) == 1.0


@pytest.mark.parametrize("transform", ["log", "inv_sqrt"])
def test_from_cdf_refuses_tdr_after_the_normalization_check(transform):
    options = BuildOptions.tdr(transform)
    raises_exactly(drovik.BuildError, TDR_ON_CDF, drovik.from_cdf_with_options, identity, IV, options)
    raises_exactly(drovik.BuildError, TDR_ON_CDF, drovik.from_cdf_with_options, identity, IV,
                   BuildOptions(tdr_transform=transform))
    flat = Recorder(lambda x: 0.25)
    raises_exactly(drovik.BuildError, NORMALIZE, drovik.from_cdf_with_options, flat, IV, options)
    assert flat.args == [0.0, 1.0]


# ---------------------------------------------------------------------------
# Evaluation methods


@pytest.fixture(scope="module")
def flat02():
    return drovik.from_pdf(one, Interval(0.0, 2.0))


@pytest.fixture(scope="module")
def linear_cdf():
    return drovik.from_cdf(identity, Interval(0.0, 1.0))


@pytest.mark.parametrize(
    "method, x, expected",
    [
        ("cdf", -1.0, 0.0), ("cdf", 0.0, 0.0), ("cdf", 2.0, 1.0), ("cdf", 3.0, 1.0),
        ("cdf", -math.inf, 0.0), ("cdf", math.inf, 1.0),
        ("sf", -1.0, 1.0), ("sf", 2.0, 0.0), ("sf", 3.0, 0.0), ("sf", math.inf, 0.0),
        ("logcdf", -1.0, -math.inf), ("logcdf", 0.0, -math.inf), ("logcdf", 3.0, 0.0),
        ("logsf", 3.0, -math.inf), ("logsf", 2.0, -math.inf), ("logsf", -1.0, 0.0),
    ],
)
def test_density_kind_outside_and_at_the_support_is_exact(flat02, method, x, expected):
    result = getattr(flat02, method)(x)
    assert type(result) is float
    assert result == expected


@pytest.mark.parametrize(
    "method, x, expected",
    [
        ("cdf", 1.0, 0.5), ("cdf", 0.5, 0.25), ("sf", 1.5, 0.25),
        ("logcdf", 1.0, math.log(0.5)), ("logsf", 0.5, math.log(0.75)),
        ("pdf", 1.0, 0.5), ("pdf", 5.0, 0.5), ("pdf", -3.0, 0.5), ("pdf", math.nan, 0.5),
        ("logpdf", 1.0, math.log(0.5)), ("logpdf", 9.0, math.log(0.5)),
        ("ppf", 0.25, 0.5), ("ppf", 0.5, 1.0), ("isf", 0.25, 1.5),
    ],
)
def test_density_kind_values(flat02, method, x, expected):
    assert getattr(flat02, method)(x) == pytest.approx(expected, abs=1e-12)


def test_density_is_called_at_any_x():
    f = Recorder(lambda x: 0.0 if x > 10 else (-1.0 if x < -10 else 1.0))
    dist = drovik.from_pdf(f, IV)
    f.args.clear()
    assert dist.pdf(20.0) == 0.0
    assert dist.logpdf(20.0) is None
    assert dist.pdf(-20.0) == pytest.approx(-1.0)
    assert dist.logpdf(-20.0) is None
    assert f.args == [20.0, 20.0, -20.0, -20.0]
    assert all(type(x) is float for x in f.args)


def test_logpdf_is_none_where_the_density_is_nan():
    switch = {"nan": False}
    dist = drovik.from_pdf(lambda x: math.nan if switch["nan"] else 1.0, IV)
    switch["nan"] = True
    assert math.isnan(dist.pdf(0.5))
    assert dist.logpdf(0.5) is None


@pytest.mark.parametrize(
    "method, x, expected",
    [
        ("cdf", 2.0, 2.0), ("cdf", -1.0, -1.0), ("cdf", 0.25, 0.25),
        ("sf", 2.0, 0.0), ("sf", -1.0, 2.0), ("sf", 0.25, 0.75),
        ("logcdf", 2.0, 0.0), ("logcdf", -1.0, -math.inf), ("logcdf", 0.0, -math.inf),
        ("logsf", -1.0, 0.0), ("logsf", 1.0, -math.inf), ("logsf", 2.0, -math.inf),
        ("pdf", 0.5, None), ("logpdf", 0.5, None), ("pdf", 5.0, None), ("logpdf", math.nan, None),
    ],
)
def test_distribution_function_kind_is_not_clamped(linear_cdf, method, x, expected):
    assert getattr(linear_cdf, method)(x) == expected


def test_distribution_function_kind_never_calls_for_a_density():
    c = Recorder(identity)
    dist = drovik.from_cdf(c, IV)
    c.args.clear()
    assert dist.pdf(0.5) is None
    assert dist.logpdf(0.5) is None
    assert c.calls == 0


def test_from_cdf_rescales_to_the_support():
    dist = drovik.from_cdf(lambda x: 10.0 + 4.0 * x, Interval(1.0, 2.0))
    assert dist.cdf(1.0) == 0.0
    assert dist.cdf(1.5) == 0.5
    assert dist.cdf(3.0) == 2.0
    assert dist.cdf(0.0) == -1.0


def test_non_monotone_distribution_function_is_returned_as_is():
    dist = drovik.from_cdf(lambda x: math.sin(3.0 * x) + x, Interval(0.0, 3.0))
    span = (math.sin(9.0) + 3.0) - 0.0
    for x in [0.3, 0.7, 1.5, 2.9]:
        assert dist.cdf(x) == (math.sin(3.0 * x) + x) / span


@pytest.mark.parametrize("method", ["cdf", "sf", "logcdf", "logsf"])
def test_nan_argument_returns_promptly_without_calling_the_density(method):
    f = Recorder(lambda x: math.exp(-x * x))
    dist = drovik.from_pdf(f, Interval(-3.0, 3.0))
    f.args.clear()
    result = getattr(dist, method)(math.nan)
    assert f.calls == 0
    if method == "sf":
        assert result == 0.0
    else:
        assert math.isnan(result)


@pytest.mark.parametrize(
    "method, expected", [("cdf", math.nan), ("sf", 0.0), ("logcdf", math.nan), ("logsf", math.nan)]
)
def test_nan_argument_of_the_distribution_function_kind(linear_cdf, method, expected):
    result = getattr(linear_cdf, method)(math.nan)
    assert result == expected or (math.isnan(expected) and math.isnan(result))


@pytest.mark.parametrize("method", ["cdf", "sf", "pdf", "logpdf", "logcdf", "logsf", "ppf", "isf"])
@pytest.mark.parametrize(
    "argument, message",
    [
        ([0.1, 0.2], "must be real number, not list"),
        ("a", "must be real number, not str"),
        (None, "must be real number, not NoneType"),
    ],
)
def test_scalar_methods_take_exactly_one_number(flat02, method, argument, message):
    name = "u" if method == "ppf" else ("q" if method == "isf" else "x")
    raises_exactly(TypeError, f"argument '{name}': {message}", getattr(flat02, method), argument)


@pytest.mark.parametrize("method", ["cdf", "pdf", "ppf"])
def test_scalar_methods_accept_number_like_arguments(flat02, method):
    call = getattr(flat02, method)
    assert call(np.float64(0.5)) == call(0.5) == call(np.float32(0.5)) == call(Fraction(1, 2))
    if method != "ppf":
        assert call(1) == call(1.0)
        assert call(True) == call(1.0)


@pytest.mark.parametrize("u", [0.0, 1.0, math.nan, -0.0, -1.0, 2.0, 1.5, math.inf, -math.inf, 1e21])
@pytest.mark.parametrize("which", ["flat02", "linear_cdf"])
def test_ppf_out_of_range(request, which, u):
    dist = request.getfixturevalue(which)
    raises_exactly(drovik.SampleError, quantile_message(u), dist.ppf, u)


@pytest.mark.parametrize(
    "q, u", [(0.0, 1.0), (1.0, 0.0), (1e-17, 1.0), (1.5, -0.5), (-0.5, 1.5), (math.nan, math.nan)]
)
def test_isf_out_of_range_shows_one_minus_q(flat02, q, u):
    raises_exactly(drovik.SampleError, quantile_message(u), flat02.isf, q)


def test_ppf_out_of_range_evaluates_nothing():
    f = Recorder(one)
    c = Recorder(identity)
    dist_f = drovik.from_pdf(f, IV)
    dist_c = drovik.from_cdf(c, IV)
    f.args.clear()
    c.args.clear()
    for u in [0.0, 1.0, math.nan]:
        for dist in (dist_f, dist_c):
            with pytest.raises(drovik.SampleError):
                dist.ppf(u)
            with pytest.raises(drovik.SampleError):
                dist.isf(1.0 - u if not math.isnan(u) else u)
    assert f.calls == 0 and c.calls == 0


@pytest.mark.parametrize("q", [0.25, 0.1, 0.9])
def test_isf_is_ppf_of_one_minus_q(q):
    dist = drovik.from_pdf(lambda x: 2.0 * x, IV)
    assert dist.isf(q) == dist.ppf(1.0 - q)


def test_ppf_accepts_extreme_levels():
    dist = drovik.from_pdf(lambda x: 2.0 * x, IV)
    low = dist.ppf(5e-324)
    high = dist.ppf(1.0 - 2.0**-53)
    assert 0.0 <= low < 1e-5
    assert 1.0 - 1e-6 < high <= 1.0


def test_support_is_a_new_interval_with_the_given_bounds(flat02, linear_cdf):
    first, second = flat02.support(), flat02.support()
    assert type(first) is Interval
    assert first is not second
    assert repr(first) == "Interval(0, 2)"
    odd = drovik.from_cdf(identity, Interval(-0.1, 0.30000000000000004)).support()
    assert (odd.lo, odd.hi) == (-0.1, 0.30000000000000004)
    assert repr(linear_cdf.support()) == "Interval(0, 1)"


@pytest.mark.parametrize(
    "build",
    [
        lambda: drovik.from_pdf(one, IV),
        lambda: drovik.from_pdf_with_options(one, IV, BuildOptions(use_newton=False)),
        lambda: drovik.from_pdf_dpdf(one, one, IV),
        lambda: drovik.from_cdf(identity, IV),
        lambda: drovik.from_cdf_with_options(identity, IV, BuildOptions(max_iterations=3)),
    ],
)
def test_plain_inversion_uses_neither_table_nor_tdr(build):
    dist = build()
    assert dist.uses_tdr() is False
    assert dist.uses_hermite_table() is False


# ---------------------------------------------------------------------------
# What each evaluation costs, in calls of the user's function


def test_normalizing_a_constant_takes_one_step_in_simpson_order():
    f = Recorder(one)
    drovik.from_pdf(f, Interval(0.0, 2.0))
    # Whole interval, then the left half, then the right half; nothing cached.
    assert f.args == [0.0, 1.0, 2.0, 0.0, 0.5, 1.0, 1.0, 1.5, 2.0]


def test_cubic_is_integrated_exactly_after_one_step():
    f = Recorder(lambda x: x**3)
    dist = drovik.from_pdf(f, Interval(0.0, 2.0))
    assert f.calls == 9
    assert dist.pdf(1.0) == 0.25
    assert dist.pdf(2.0) == 2.0
    assert dist.cdf(1.0) == 0.0625


def test_cdf_integrates_from_lo_every_time():
    f = Recorder(one)
    dist = drovik.from_pdf(f, Interval(0.0, 2.0))
    for _ in range(2):
        f.args.clear()
        assert dist.cdf(1.0) == 0.5
        assert f.args == [0.0, 0.5, 1.0, 0.0, 0.25, 0.5, 0.5, 0.75, 1.0]


def test_ppf_hitting_the_tolerance_at_once_tests_it_again_before_newton():
    f = Recorder(one)
    dist = drovik.from_pdf(f, Interval(0.0, 2.0))
    f.args.clear()
    assert dist.ppf(0.5) == 1.0
    # One bisection step meets the tolerance; the polish re-evaluates F there and stops.
    assert f.args == [0.0, 0.5, 1.0, 0.0, 0.25, 0.5, 0.5, 0.75, 1.0] * 2
    plain = drovik.from_pdf_with_options(f, Interval(0.0, 2.0), BuildOptions(use_newton=False))
    f.args.clear()
    assert plain.ppf(0.5) == 1.0
    assert f.calls == 9


def test_from_cdf_calls_the_ends_then_bisects():
    c = Recorder(identity)
    dist = drovik.from_cdf(c, IV)
    assert c.args == [0.0, 1.0]
    c.args.clear()
    assert dist.ppf(0.5) == 0.5
    assert c.args == [0.0, 1.0, 0.5]
    c.args.clear()
    dist.ppf(0.3)
    assert c.args[:2] == [0.0, 1.0]
    assert c.calls <= 2 + 128


# ---------------------------------------------------------------------------
# Inversion settings


@pytest.mark.parametrize(
    "build",
    [
        lambda o: drovik.from_pdf_with_options(one, Interval(0.0, 2.0), o),
        lambda o: drovik.from_pdf_dpdf(one, one, Interval(0.0, 2.0), o),
        lambda o: drovik.from_cdf_with_options(identity, Interval(0.0, 2.0), o),
    ],
)
@pytest.mark.parametrize(
    "iterations, expected",
    [(0, [1.0] * 5), (1, [0.5, 0.5, 1.0, 1.5, 1.5]), (2, [0.25, 0.75, 1.0, 1.25, 1.75])],
)
def test_bisection_budget_without_newton(build, iterations, expected):
    dist = build(BuildOptions(max_iterations=iterations, use_newton=False))
    assert [dist.ppf(u) for u in (0.1, 0.3, 0.5, 0.7, 0.9)] == expected
    if iterations == 0:
        assert dist.sample_n(4, seed=3) == [1.0] * 4


def test_newton_starts_from_the_midpoint_with_no_bisection_budget():
    dist = drovik.from_pdf_with_options(one, Interval(0.0, 2.0), BuildOptions(max_iterations=0))
    assert [dist.ppf(u) for u in (0.1, 0.3, 0.5, 0.7, 0.9)] == pytest.approx([0.2, 0.6, 1.0, 1.4, 1.8], abs=1e-12)


def test_distribution_function_kind_ignores_use_newton():
    dist = drovik.from_cdf_with_options(identity, Interval(0.0, 2.0), BuildOptions(max_iterations=0, use_newton=True))
    assert [dist.ppf(u) for u in (0.1, 0.3, 0.9)] == [1.0, 1.0, 1.0]


def test_ppf_tolerance_is_on_distribution_values():
    dist = drovik.from_pdf_with_options(one, IV, BuildOptions(ppf_tolerance=0.3))
    # F(0.5) = 0.5 is within 0.3 of every level from 0.2 to 0.8.
    assert [dist.ppf(u) for u in (0.25, 0.6, 0.79)] == [0.5, 0.5, 0.5]
    assert dist.ppf(0.1) != 0.5


@pytest.mark.parametrize(
    "density, u, expected",
    [
        (lambda x: 2.0 * x, 1.0 - 1e-13, 1.0),
        (lambda x: 2.0 * (1.0 - x), 1e-13, 0.0),
    ],
)
def test_newton_step_leaving_the_bracket_lands_on_its_end(density, u, expected):
    dist = drovik.from_pdf_with_options(density, IV, BuildOptions(max_iterations=0))
    assert dist.ppf(u) == expected


def test_vanishing_density_stops_the_polish_at_the_bisection_point():
    dist = drovik.from_pdf_with_options(lambda x: 1.0 if x > 0.5 else 0.0, IV, BuildOptions(max_iterations=0))
    assert dist.ppf(0.7) == 0.5
    assert dist.ppf(0.05) == 0.5


def test_nan_density_at_the_newton_point_ends_the_polish():
    switch = {"nan": False}

    def f(x):
        return math.nan if switch["nan"] and x == 0.5 else 1.0

    f = Recorder(f, limit=10_000)
    dist = drovik.from_pdf_with_options(f, IV, BuildOptions(max_iterations=0))
    switch["nan"] = True
    f.args.clear()
    result = dist.ppf(0.3)
    assert result == 0.5 or math.isnan(result)
    assert f.calls <= 8 * 10


@pytest.mark.parametrize("tol", [-1.0, math.nan])
def test_unusable_quadrature_tolerance_ends_in_a_build_error(tol):
    f = Recorder(lambda x: math.exp(-x), limit=1_000_000)
    with pytest.raises(drovik.BuildError):
        drovik.from_pdf_with_options(f, IV, BuildOptions(quad_tolerance=tol))


# ---------------------------------------------------------------------------
# Sampling


def test_sample_n_zero_draws_nothing():
    f = Recorder(one)
    dist = drovik.from_pdf(f, IV)
    f.args.clear()
    assert dist.sample_n(0) == []
    assert dist.sample_n(0, seed=5) == []
    assert f.calls == 0


@pytest.mark.parametrize(
    "call, exc_type, message",
    [
        (lambda d: d.sample_n(2.0), TypeError, "argument 'n': 'float' object cannot be interpreted as an integer"),
        (lambda d: d.sample_n("a", seed=-1), TypeError,
         "argument 'n': 'str' object cannot be interpreted as an integer"),
        (lambda d: d.sample_n(1, seed=1.5), TypeError,
         "argument 'seed': 'float' object cannot be interpreted as an integer"),
        (lambda d: d.sample_n(), TypeError,
         "ContinuousDistribution.sample_n() missing 1 required positional argument: 'n'"),
        (lambda d: d.sample(1), TypeError, None),
    ],
)
def test_sample_n_argument_errors(flat02, call, exc_type, message):
    with pytest.raises(exc_type) as info:
        call(flat02)
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize("call", [lambda d: d.sample_n(-1), lambda d: d.sample_n(1, seed=-1),
                                  lambda d: d.sample_n(1, seed=2**64), lambda d: d.sample_n(-1, seed="x")])
def test_sample_n_negative_or_huge_integers_overflow(flat02, call):
    with pytest.raises(OverflowError):
        call(flat02)


def test_seeded_draws_repeat_and_unseeded_draws_stay_in_the_support():
    dist = drovik.from_pdf(lambda x: 2.0 * x, IV)
    assert dist.sample_n(5, seed=7) == dist.sample_n(5, seed=7)
    assert dist.sample_n(2, seed=2**64 - 1) == dist.sample_n(2, seed=2**64 - 1)
    for x in dist.sample_n(3) + [dist.sample()]:
        assert type(x) is float and 0.0 < x < 1.0


def test_uniform_draws_are_the_seeded_uniforms():
    draws = uniform01().sample_n(3, seed=0)
    assert draws == pytest.approx(seeded_uniforms(0, 3), abs=1e-12)
    assert draws == pytest.approx([0.7090754154265618, 0.46592172228961015, 0.6991432426747317], abs=1e-12)


@pytest.mark.parametrize(
    "density, lo, hi, quantile, seed, n",
    [
        (lambda x: 2.0 * x, 0.0, 1.0, math.sqrt, 5, 6),
        (lambda x: 3.0 * x * x, 0.0, 2.0, lambda u: 2.0 * u ** (1.0 / 3.0), 42, 4),
        (exp_density, 0.0, 10.0, lambda u: -math.log1p(u * math.expm1(-10.0)), 3, 5),
        (lambda x: math.exp(2.0 - x), 2.0, 12.0, lambda u: 2.0 - math.log1p(u * math.expm1(-10.0)), 2**64 - 1, 4),
    ],
    ids=["linear", "quadratic", "exponential", "shifted-exponential"],
)
def test_seeded_draws_are_closed_form_quantiles_of_the_seeded_uniforms(density, lo, hi, quantile, seed, n):
    dist = drovik.from_pdf(density, Interval(lo, hi))
    expected = [quantile(u) for u in seeded_uniforms(seed, n)]
    assert dist.sample_n(n, seed=seed) == pytest.approx(expected, abs=1e-9)


@pytest.mark.parametrize("seed", [11, 0, 2**64 - 1])
def test_from_cdf_draws_match_a_bisection_replica_bit_for_bit(seed):
    lo, hi = 0.5, 7.25
    model = RefCdfModel(gamma2_shifted_cdf, lo, hi)
    expected = [model.ppf(u) for u in seeded_uniforms(seed, 12)]
    dist = drovik.from_cdf(gamma2_shifted_cdf, Interval(lo, hi))
    assert dist.sample_n(12, seed=seed) == expected


def test_from_cdf_options_match_a_bisection_replica_bit_for_bit():
    lo, hi = 0.5, 7.25
    model = RefCdfModel(gamma2_shifted_cdf, lo, hi)
    options = BuildOptions(ppf_tolerance=1e-6, max_iterations=9)
    expected = [model.ppf(u, iterations=9, tol=1e-6) for u in seeded_uniforms(9, 10)]
    dist = drovik.from_cdf_with_options(gamma2_shifted_cdf, Interval(lo, hi), options)
    assert dist.sample_n(10, seed=9) == expected


@pytest.mark.parametrize("seed", [3, 1])
def test_from_pdf_draws_match_a_quadrature_and_newton_replica_bit_for_bit(seed):
    model = RefPdfModel(exp_density, 0.0, 10.0)
    expected = [model.ppf(u) for u in seeded_uniforms(seed, 4)]
    assert drovik.from_pdf(exp_density, Interval(0.0, 10.0)).sample_n(4, seed=seed) == expected


@pytest.mark.parametrize(
    "options, kwargs",
    [
        (dict(max_iterations=3), dict(iterations=3)),
        (dict(max_iterations=1, ppf_tolerance=1e-14), dict(iterations=1, tol=1e-14)),
        (dict(max_iterations=6, use_newton=False), dict(iterations=6, newton=False)),
        (dict(quad_tolerance=1e-6, max_iterations=4), dict(iterations=4)),
        # A tolerance that is never met: bisection spends its budget and Newton makes all eight updates.
        (dict(max_iterations=2, ppf_tolerance=-1.0), dict(iterations=2, tol=-1.0)),
        (dict(max_iterations=0, ppf_tolerance=0.0), dict(iterations=0, tol=0.0)),
    ],
)
@pytest.mark.parametrize("u", [0.999, 0.5, 1e-4, 0.123456789])
def test_inversion_evaluates_the_density_exactly_where_the_replica_does(options, kwargs, u):
    quad = options.get("quad_tolerance", 1e-10)
    f = Recorder(lambda x: math.exp(-x) * (1.0 + x))
    mine = Recorder(lambda x: math.exp(-x) * (1.0 + x))
    model = RefPdfModel(mine, 0.0, 6.0, quad)
    dist = drovik.from_pdf_with_options(f, Interval(0.0, 6.0), BuildOptions(**options))
    assert f.args == mine.args
    f.args.clear()
    mine.args.clear()
    assert dist.ppf(u) == model.ppf(u, **kwargs)
    assert f.args == mine.args


def test_quadrature_accepts_records_once_more_than_48_are_pending():
    # A jump just right of 0 with a tolerance no interval can meet: the left spine is
    # halved until 49 right halves wait beneath it; every other interval is exact.
    def step(x):
        return 0.0 if x <= 1e-30 else 1.0

    f = Recorder(step)
    mine = Recorder(step)
    model = RefPdfModel(mine, 0.0, 1.0, 1e-30)
    dist = drovik.from_pdf_with_options(f, IV, BuildOptions(quad_tolerance=1e-30))
    assert f.args == mine.args
    assert dist.pdf(0.5) == 1.0 / model.norm
    assert dist.cdf(0.5) == model.cdf(0.5)
    assert dist.cdf(2.0**-45) == model.cdf(2.0**-45)


def test_draws_consume_exactly_one_uniform_each():
    dist = drovik.from_cdf(gamma2_shifted_cdf, Interval(0.5, 7.25))
    uniforms = seeded_uniforms(77, 9)
    assert dist.sample_n(9, seed=77) == [dist.ppf(u) for u in uniforms]
    assert dist.sample_n(4, seed=77) == [dist.ppf(u) for u in uniforms[:4]]


def test_failing_draw_raises_without_a_partial_list():
    switch = {"broken": False}
    dist = drovik.from_cdf(lambda x: math.nan if switch["broken"] else x, IV)
    switch["broken"] = True
    raises_exactly(drovik.SampleError, INVERT, dist.sample_n, 3, seed=0)
    raises_exactly(drovik.SampleError, INVERT, dist.sample)
    raises_exactly(drovik.SampleError, INVERT, dist.ppf, 0.5)
    raises_exactly(drovik.SampleError, INVERT, dist.isf, 0.5)


# ---------------------------------------------------------------------------
# Properties over random supports and densities


@settings(max_examples=40, deadline=None, derandomize=True, database=None)
@given(
    lo=st.floats(-1e3, 1e3, allow_nan=False),
    width=st.floats(1e-3, 1e3, allow_nan=False),
    coefficients=st.tuples(st.floats(0.1, 10.0), st.floats(0.0, 10.0), st.floats(0.0, 10.0)),
    fractions=st.lists(st.floats(0.01, 0.99), min_size=1, max_size=4),
)
def test_ppf_inverts_cdf_and_cdf_is_monotone(lo, width, coefficients, fractions):
    hi = lo + width
    assume(hi > lo)
    a, b, c = coefficients

    def density(x):
        t = (x - lo) / width
        return a + b * t + c * t * t

    dist = drovik.from_pdf(density, Interval(lo, hi))
    grid = [lo + (hi - lo) * i / 16 for i in range(17)]
    values = [dist.cdf(x) for x in grid]
    assert values[0] == 0.0 and values[-1] == 1.0
    assert all(later >= earlier - 1e-15 for earlier, later in zip(values, values[1:]))
    for fraction in fractions:
        x = lo + fraction * width
        assert dist.ppf(dist.cdf(x)) == pytest.approx(x, abs=1e-8 * width)
