"""Every family's arguments fed wrong: exact exception types, texts and causes, the order of the checks, lying
sequences, unusable correlation matrices, counts too large to allocate, and no leaks on the failing paths."""

import collections
import math
import sys
from fractions import Fraction

import pytest

import drovik
import multivar_ref as ref
from _helpers import (CORR, MAKE, Boom, Calls, Float, Index, IterNotIterator, IterRaises, ListRaisingMidway, Seq,
                      as_double, as_index, assert_no_growth, error_of, expect, prepared, raise_, raising, unit_box,
                      user)
from _replica import raises_exactly

INF, NAN = math.inf, math.nan
IV = drovik.Interval(0.0, 1.0)
OUT_OF_RANGE_INT = "out of range integral type conversion attempted"


def one(*x):
    return 1.0


def pmf3():
    return drovik.from_pmf([1.0, 2.0, 3.0], [1.0, 1.0, 2.0])


UNCALLED = Calls(one)  # the user function of the targets that hold one: no failing call may reach it
PDF, OPTIONS = drovik.from_pdf(one, IV), drovik.BuildOptions()
CALL_ARGUMENTS = [  # (target, its maker, valid keywords, arguments that convert as doubles | as unsigned 64-bit)
    ("Interval", lambda: drovik.Interval, dict(lo=0.0, hi=1.0), "lo hi", ""),
    ("BuildOptions", lambda: drovik.BuildOptions, {}, "quad_tolerance ppf_tolerance tdr_dpdf_rel_step",
     "hermite_grid_size tdr_construction_points"),  # max_iterations holds 32 bits: below
    ("BuildOptions.hermite", lambda: drovik.BuildOptions.hermite, dict(grid_size=4), "", "grid_size"),
    ("BuildOptions.tdr", lambda: drovik.BuildOptions.tdr, dict(transform="log"), "", "construction_points"),
    *[(f"ContinuousDistribution.{m}", lambda m=m: getattr(PDF, m), {a: 0.5}, a, "") for m, a in [
        ("cdf", "x"), ("sf", "x"), ("pdf", "x"), ("logpdf", "x"), ("logcdf", "x"), ("logsf", "x"), ("ppf", "u"),
        ("isf", "q"), ("interval", "confidence")]],
    ("ContinuousDistribution.sample_n", lambda: PDF.sample_n, dict(n=1), "", "n seed"),
    *[(f, lambda f=f: getattr(drovik, f), dict(f=UNCALLED, interval=IV), "", "") for f in ("from_pdf", "from_cdf")],
    *[(f, lambda f=f: getattr(drovik, f), dict(f=UNCALLED, interval=IV, options=OPTIONS), "", "")
      for f in ("from_pdf_with_options", "from_cdf_with_options")],
    ("from_pdf_dpdf", lambda: drovik.from_pdf_dpdf, dict(f=UNCALLED, dpdf=UNCALLED, interval=IV), "", ""),
    ("from_histogram", lambda: drovik.from_histogram, dict(edges=[0.0, 1.0], counts=[1.0]), "", ""),
    ("from_pdf_loc_scale", lambda: drovik.from_pdf_loc_scale, dict(f=UNCALLED, interval=IV, loc=0.0, scale=1.0),
     "loc scale", ""),
    ("truncated", lambda: drovik.truncated, dict(f=UNCALLED, interval=IV, trunc_interval=IV), "", ""),
    *[(f"DiscreteDistribution.{m}", lambda m=m: getattr(pmf3(), m), {a: v}, *kinds) for m, a, v, *kinds in [
        ("pmf", "x", 1.0, "x", ""), ("ppf", "u", 0.5, "u", ""), ("pmf_at", "index", 0, "", "index"),
        ("cdf_at", "index", 0, "", "index"), ("sample_n", "n", 1, "", "n seed")]],
    ("rejection_sampler", lambda: drovik.rejection_sampler, dict(f=one, support=unit_box(), pdf_max=1.0), "pdf_max",
     "max_trials"),
    ("metropolis_hastings", lambda: drovik.metropolis_hastings, dict(f=one, support=unit_box()),
     "step_size target_accept", "burn_in thin adapt_steps"),
    ("hmc_sampler", lambda: drovik.hmc_sampler, dict(f=one, support=unit_box()), "step_size grad_eps",
     "leapfrog_steps"),
    ("gibbs_sampler", lambda: drovik.gibbs_sampler, dict(sample_coord=one, support=unit_box(), init=[0, 0]), "",
     "sweeps_per_sample"),
    ("conditional_factorization_sampler", lambda: drovik.conditional_factorization_sampler, dict(sample_i=one, dim=2),
     "", "dim"),
    ("cdf_mc_estimator", lambda: drovik.cdf_mc_estimator, dict(f=one, support=unit_box()), "",
     "normalization_samples cdf_samples"),
    *[(f"{cls}.sample_n", lambda kind=kind: prepared(kind, one).sample_n, dict(n=1), "", "n seed") for cls, kind in
      [("RejectionSampler", "rejection"), ("MetropolisHastings", "mh"), ("HmcSampler", "hmc"),
       ("ConditionalFactorizationSampler", "factor")]],
    ("GaussianCopula.sample", lambda: MAKE["copula"](one).sample, dict(ppfs=[abs, abs]), "", "seed"),
    ("CdfMcEstimator.estimate_normalization", lambda: MAKE["cdf_mc"](one).estimate_normalization, {}, "", "seed"),
    ("CdfMcEstimator.cdf", lambda: MAKE["cdf_mc"](one).cdf, dict(x=[0.5, 0.5]), "", "seed"),
]


def call_of(make, valid):
    return lambda **kw: make()(**{**valid, **kw})


TARGETS = {target: call_of(make, valid) for target, make, valid, *_ in CALL_ARGUMENTS}


# ---------------------------------------------------------------------------
# Numbers

D, U = as_double, as_index
BAD_VALUES = ["a", None, [1.0], 1j, 1.0, Fraction(1), Float("1.0"), Index(1.0), Float(TypeError("refused")),
              Index(TypeError("refused")), Float(Boom()), Index(Boom()), 2**1024, -1, 2**64, Index(-1), -2**63,
              Index(2**64)]
# All conversions are one routine per kind: every bad value on one argument of each kind (a seed may be None), and
# on every other argument a value that tells its kind from the others.
EVERY_VALUE = {("DiscreteDistribution.pmf", "x"), ("DiscreteDistribution.pmf_at", "index"),
               ("DiscreteDistribution.sample_n", "seed")}
NUMERIC_CASES = [pytest.param(t, a, c, v, id=f"{t}-{a}-{v!r:.30}") for t, _, _, *kinds in CALL_ARGUMENTS
                 for c, names in zip((D, U), kinds) for a in names.split()
                 for v in (BAD_VALUES if (t, a) in EVERY_VALUE else ["a"] if c is D else [1.0, -1])
                 if error_of(c, v) is not None and not (a == "seed" and v is None)]


@pytest.mark.parametrize("target, arg, convert, value", NUMERIC_CASES)
def test_numeric_arguments_refuse_with_the_interpreter_errors(target, arg, convert, value):
    inner = error_of(convert, value)
    with pytest.raises(type(inner)) as info:
        TARGETS[target](**{arg: value})
    if type(inner) is TypeError:  # prefixed, the interpreter's error as its cause
        assert type(info.value) is TypeError and info.value.args == (f"argument '{arg}': {inner}",)
        assert type(info.value.__cause__) is TypeError and str(info.value.__cause__) == str(inner)
    else:  # OverflowError and the user's own exceptions pass unchanged
        assert type(info.value) is type(inner) and str(info.value) == str(inner)
    if getattr(value, "value", None) is inner:  # the user's own exception
        assert inner is (info.value.__cause__ if type(inner) is TypeError else info.value)


@pytest.mark.parametrize("value", [-1, 2**32, 2**64, -(2**100)])
def test_max_iterations_outside_32_bits_is_one_overflow_message(value):
    raises_exactly(OverflowError, OUT_OF_RANGE_INT, drovik.BuildOptions, max_iterations=value)


@pytest.mark.parametrize("value, pmf", [(2**100, 0.0),
                                        (type("F", (float,), {"__float__": lambda s: raise_(Boom())})(2.0), 0.25)])
def test_double_accepts_numeric_objects(value, pmf):  # a float subclass is read directly, never converted
    assert pmf3().pmf(value) == pmf3().pmf(x=value) == pmf


# ---------------------------------------------------------------------------
# Classes, flags and names

KINDS = [  # (target, argument, value, kind): every argument of a class, bool or str kind
    *[(t, "interval", (0, 1), "Interval") for t in ("from_pdf", "from_pdf_with_options", "from_pdf_dpdf", "from_cdf",
                                                    "from_cdf_with_options", "from_pdf_loc_scale", "truncated")],
    ("truncated", "trunc_interval", [0.0, 1.0], "Interval"), ("from_pdf_dpdf", "options", 3, "BuildOptions"),
    *[(t, "options", IV, "BuildOptions") for t in ("from_pdf_with_options", "from_cdf_with_options", "from_histogram",
                                                   "from_pdf_loc_scale", "truncated")],
    ("from_pdf_with_options", "options", None, "BuildOptions"), ("from_histogram", "density", 1, "PyBool"),
    ("BuildOptions", "use_newton", 1, "PyBool"), ("BuildOptions", "tdr_transform", b"log", "PyString"),
    ("BuildOptions.tdr", "transform", None, "PyString"), ("from_histogram", "edges", 5, "Sequence"),
    ("from_histogram", "counts", (x for x in [1.0]), "Sequence"),
    *[(t, "support", v, "HyperRect") for t, v in zip(("rejection_sampler", "metropolis_hastings", "hmc_sampler",
                                                      "gibbs_sampler", "cdf_mc_estimator"),
                                                     ([[0.0], [1.0]], None, IV, "HyperRect", 3))],
]


@pytest.mark.parametrize("target, arg, value, kind", KINDS, ids=[f"{t}-{a}-{v!r:.20}" for t, a, v, _ in KINDS])
def test_arguments_of_a_kind_refuse_other_objects_and_call_nothing(target, arg, value, kind):
    make = TARGETS[target]
    message = f"argument '{arg}': '{type(value).__name__}' object cannot be converted to '{kind}'"
    assert raises_exactly(TypeError, message, make, **{arg: value}).__cause__ is None
    assert UNCALLED.args == []


# ---------------------------------------------------------------------------
# Sequences of numbers


class Sly:
    """The Sequence check itself fails: reading __class__ raises."""

    @property
    def __class__(self):
        raise Boom("__class__")


# Every sequence argument is one Sequence, read by one routine: a function's and a method's (the other arguments'
# kinds and their reading after the other conversions: the order tests below).
CHECKED = {  # make, read back, name, what the items [0, 1] give, what "" raises
    "from_pmf-points": (lambda v: drovik.from_pmf(v, [1, 3]), lambda d: d.points(), "points", [0.0, 1.0],
                        (drovik.BuildError, "discrete distribution has no support points")),
    "cdf_mc-x": (lambda v: drovik.cdf_mc_estimator(one, unit_box((-1, -1), (2, 2)), 1, 1).cdf(v), lambda p: p, "x",
                 2.0 / 9.0, (drovik.SampleError, ref.INTEGRATION_FAILED)),
}
NON_SEQUENCES = [3, None, frozenset([1.0]), (x for x in [1.0]), {}.keys(), {0: 1.0}, Float(1.0)]
BAD_ITEMS = [[1.0, "a"], [Float(Boom())], [2**1024], "ab", ListRaisingMidway([1.0, 2.0]), Seq([0.0, Boom()]),
             IterNotIterator([]), IterRaises([0.0])]  # each item is read by the interpreter's own conversion
LYING = [b"\x00\x01", range(2), Seq([0, 1]), Seq([0.0, 1.0], length=lambda: 0),
         Seq([0.0, 1.0, IndexError()], length=lambda: 9), Seq([0.0, 1.0], length=lambda: sys.maxsize),
         Seq([0.0, 1.0], length=lambda: 1 / 0), Seq([False, True], length=lambda: 2**70),
         collections.deque([0.0, 1.0]), memoryview(b"\x00\x01")]


@pytest.mark.parametrize("name", CHECKED)
def test_sequences_of_numbers(name):
    make, read, arg, ok, empty = CHECKED[name]
    for value in NON_SEQUENCES:
        message = f"argument '{arg}': '{type(value).__name__}' object cannot be converted to 'Sequence'"
        assert raises_exactly(TypeError, message, make, value).__cause__ is None
    with pytest.raises(Boom, match="^__class__$"):
        make(Sly())
    for bad in BAD_ITEMS:  # the item's or the iteration's own error, unchanged
        expected = error_of(lambda items: [as_double(x) for x in items], bad)
        with pytest.raises(type(expected)) as info:
            make(bad)
        assert type(info.value) is type(expected) and str(info.value) == str(expected)
        assert info.value.__cause__ is None
    for stop in (KeyboardInterrupt(), SystemExit(3)):  # only what must stop the call escapes a length hint
        with pytest.raises(type(stop)) as info:
            make(Seq([0.0, 1.0], length=lambda: raise_(stop)))
        assert info.value is stop
    for value in LYING:  # items come from iteration: the length is at most a hint
        assert read(make(value)) == ok, value
    raises_exactly(*empty, make, "")  # a str passes the check


# ---------------------------------------------------------------------------
# Sequences of functions and of rows


# The quantile functions are read by the same routine as the rows and taken as they are: one that cannot be called
# fails the draw like one that raises (test_callables); a wrong count fails before any draw (the core tests).
STR_VEC = "Can't extract `str` to `Vec`"
CORR_ERRORS = [  # value, exception, message after "argument 'corr': " (None: unchanged); rows are read like the matrix
    ("ab", TypeError, STR_VEC), ((x for x in []), TypeError, "'generator' object cannot be converted to 'Sequence'"),
    (IterRaises([]), Boom, None), (IterNotIterator([]), TypeError, str(error_of(iter, IterNotIterator([])))),
    ([ListRaisingMidway([1.0, 2.0])], Boom, None), ([[1.0, "a"]], TypeError, str(error_of(as_double, "a"))),
]  # an item's other errors: the numeric arguments above


@pytest.mark.parametrize("value, exc, text", CORR_ERRORS, ids=[str(i) for i in range(len(CORR_ERRORS))])
def test_correlation_matrix_arguments(value, exc, text):
    with pytest.raises(exc) as info:
        drovik.gaussian_copula(value)
    if exc is TypeError and text is not None:
        assert type(info.value) is TypeError and info.value.args == (f"argument 'corr': {text}",)
        cause = info.value.__cause__  # an item's conversion error is kept as the cause
        assert cause is None if text == STR_VEC or "cannot be converted" in text else str(cause) == text
    else:
        assert type(info.value) is exc and info.value.__cause__ is None


def test_correlation_matrices_of_any_sequence_kind():
    for corr in ([b"\x04"], ((1.0,),), collections.deque([[True]]), [range(1, 2)], [[Fraction(1)]], [[Index(1)]],
                 Seq([[1.0]], length=lambda: 1 / 0), Seq([[1.0], IndexError()], length=lambda: sys.maxsize)):
        assert drovik.gaussian_copula(corr).dim() == 1


@pytest.mark.parametrize("corr, ok", [
    ([[NAN]], False), ([[INF]], False), ([[1.0, 0.0], [NAN, 1.0]], False), ([[1.0, 0.0], [INF, 1.0]], False),
    ([[1.0, 0.0], [0.0, NAN]], False), ([[1.0, NAN], [0.5, 1.0]], True), ([[1.0, INF], [0.0, 1.0]], True),
    ([[5e-324]], True), ([[0.0]], False), ([[-1.0]], False), ([[4.0, 2.0], [2.0, 1.0]], False),
    ([[1e-320, 0.0], [1.0, 1.0]], False), ([[1e-300, 0.0], [0.0, 1e300]], True), ([[]], False), ([], False),
    ([[1.0, 0.0, 0.0]], False), ([[1.0], [0.5]], False), ([[1.0], [0.5, 1.0]], False), ([[1.0, 0.5], [0.5]], False),
    ([[1.0, 2.0], [2.0, 1.0]], False),
])
def test_correlation_pivots_must_be_finite_and_positive(corr, ok):
    if ok:
        assert drovik.gaussian_copula(corr).dim() == len(corr)
    else:
        assert raises_exactly(ValueError, "InvalidCorrelation", drovik.gaussian_copula, corr).__cause__ is None


# ---------------------------------------------------------------------------
# Binding

SN = "DiscreteDistribution.sample_n()"
BINDING_ERRORS = [  # one of each message of the one binder
    (lambda: drovik.from_pmf(), "from_pmf() missing 2 required positional arguments: 'points' and 'pmf'"),
    (lambda: drovik.from_pmf(3), "from_pmf() missing 1 required positional argument: 'pmf'"),  # before conversion
    (lambda: pmf3().sample_n("a", -1, 2.0), f"{SN} takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: pmf3().sample_n(1, 2, seed=3), f"{SN} got multiple values for argument 'seed'"),
    (lambda: pmf3().sample_n("a", self=3), f"{SN} got an unexpected keyword argument 'self'"),
    (lambda: pmf3().pmf(1.0, 2.0), "DiscreteDistribution.pmf() takes 1 positional arguments but 2 were given"),
    (lambda: pmf3().ppf(**{"\udc80": 0.5}), "DiscreteDistribution.ppf() got an unexpected keyword argument '\udc80'"),
]


@pytest.mark.parametrize("call, message", BINDING_ERRORS, ids=[repr(m) for _, m in BINDING_ERRORS])
def test_binding_errors(call, message):
    assert raises_exactly(TypeError, message, call).__cause__ is None


def test_methods_without_parameters_refuse_arguments():
    # One trampoline serves every method without parameters (their parameter lists are checked against the stub),
    # and the interpreter checks the type of self before it runs.
    fn = user("mh")
    for method in (pmf3().len, MAKE["mh"](fn).step):  # a shared and an exclusive borrow
        for args, kwargs in (((None,), {}), ((), {"x": 1})):
            with pytest.raises(TypeError, match=rf"{method.__name__}\(\) takes no (keyword )?arguments"):
                method(*args, **kwargs)
    assert fn.args == []


ORDER = [  # the first failing argument in parameter order decides; core checks come after all conversions
    (lambda: pmf3().sample_n(seed="b", n="a"), TypeError, "argument 'n': "),
    (lambda: pmf3().sample_n(n=-1, seed="b"), OverflowError, ""),
    (lambda: pmf3().sample_n(n=1.0, seed=-1), TypeError, "argument 'n': "),
    # The transform is parsed only after every argument has been converted.
    (lambda: drovik.BuildOptions(tdr_transform="bogus", tdr_dpdf_rel_step="x"), TypeError, "argument 'tdr_dpdf"),
    (lambda: drovik.BuildOptions.tdr("bogus", -1), OverflowError, ""),
    (lambda: drovik.rejection_sampler(one, unit_box(), NAN, -1), OverflowError, ""),
    # The items of a sequence are read after the other arguments are converted.
    (lambda: drovik.gibbs_sampler(one, unit_box(), ["a"], -1), OverflowError, ""),
    (lambda: MAKE["copula"](one).sample("ab", seed=-1), TypeError, "argument 'ppfs': "),
    (lambda: MAKE["copula"](one).sample([abs], seed=-1), OverflowError, ""),
    (lambda: drovik.HyperRect([Float(Boom)], 3), TypeError, "argument 'hi': "),
    (lambda: drovik.HyperRect([Float(Boom("lo"))], [Float(Boom("hi"))]), Boom, "lo"),
    (lambda: drovik.from_pmf([Float(Boom)], 3), TypeError, "argument 'pmf': "),
    (lambda: drovik.from_pmf([Float(Boom("points"))], [Float(Boom("pmf"))]), Boom, "points"),
]


@pytest.mark.parametrize("call, exc, start", ORDER)
def test_arguments_are_checked_in_parameter_order(call, exc, start):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc and str(info.value).startswith(start)


# ---------------------------------------------------------------------------
# Sizes no memory can hold: MemoryError before any user function is called


# One routine makes the lists of draws of every univariate kind, one the lists of points (a chain burns in after).
SAMPLE_N = {"discrete": lambda fn: pmf3(), "mh": lambda fn: prepared("mh", fn)}


@pytest.mark.parametrize("n", [2**62, 2**64 - 1])
@pytest.mark.parametrize("kind", SAMPLE_N)
def test_unallocatable_sample_n_fails_before_any_call(kind, n):  # either generator, the list is made first
    fn = user(kind)
    sampler = SAMPLE_N[kind](fn)
    fn.args.clear()
    with pytest.raises(MemoryError):
        sampler.sample_n(n, seed=1)
    assert fn.args == [] and len(sampler.sample_n(2, seed=3)) == 2


@pytest.mark.parametrize("dim", [2**60, 2**64 - 1])  # beyond what any vector of doubles can hold
def test_unallocatable_factorization_dimension(dim):
    fn = user("factor", limit=1000)
    sampler = drovik.conditional_factorization_sampler(fn, dim)
    for call in (sampler.sample, lambda: sampler.sample_n(1, seed=1)):
        with pytest.raises(MemoryError):
            call()
    assert fn.args == []


@pytest.mark.parametrize("options", [lambda: drovik.BuildOptions.hermite(2**60),
                                     lambda: drovik.BuildOptions.tdr("log", 2**60),
                                     lambda: drovik.BuildOptions.tdr("inv_sqrt", 2**64 - 1)],
                         ids=["hermite", "tdr-log", "tdr-box"])
def test_an_impossible_table_size_is_a_memory_error_before_any_density_call(options):
    fn = Calls(one)
    with pytest.raises(MemoryError):
        drovik.from_pdf_with_options(fn, IV, options())
    assert fn.args == []


# ---------------------------------------------------------------------------
# No references kept or leaked on any path


def interrupting(*args):
    raise KeyboardInterrupt


def _leak_cases():
    dist, points, short, mid = pmf3(), [0.0, 1.0], [1.0], ListRaisingMidway([0.0, 1.0])
    big, text, seed = 2**64 + 12345, "not a number" + "!" * 3, 2**64 - 1 - 77
    bad_float = Float(Boom)  # an exception class: a fresh instance each time
    rejecting, copula = drovik.rejection_sampler(raising, unit_box(), 1.0, 3), drovik.gaussian_copula(CORR)
    ragged, tdr, truncated = [[1.0, 0.5], [0.5]], drovik.BuildOptions.tdr("log"), drovik.truncated(one, IV, IV)
    return [
        ("str", expect(TypeError, dist.ppf, text), [dist, text]),
        ("float-raises", expect(Boom, dist.ppf, bad_float), [dist, bad_float]),
        ("overflow", expect(OverflowError, dist.pmf_at, big), [dist, big]),
        ("sample-error", expect(drovik.SampleError, dist.ppf, 1.5), [dist]),
        ("panic", expect(drovik.PanicException, dist.cdf_at, 3), [dist]),
        ("memory", expect(MemoryError, dist.sample_n, 2**62, seed=seed), [dist, seed]),
        ("keyword", expect(TypeError, dist.sample_n, 1, sed=seed), [dist, seed]),
        ("build-error", expect(drovik.BuildError, drovik.from_pmf, points, short), [points, short]),
        ("not-sequence", expect(TypeError, drovik.from_pmf, points, big), [points, big]),
        ("item", expect(TypeError, drovik.HyperRect, [text], points), [text, points]),
        ("midway", expect(Boom, drovik.HyperRect, mid, points), [mid, points]),
        ("support", expect(TypeError, drovik.metropolis_hastings, one, points), [one, points]),
        ("rejection-fails", expect(drovik.SampleError, rejecting.sample_n, 2, seed=seed), [rejecting, raising]),
        ("corr-ragged", expect(ValueError, drovik.gaussian_copula, ragged), [ragged, ragged[0]]),
        ("corr-item", expect(TypeError, drovik.gaussian_copula, [[1.0, text]]), [text]),
        ("ppfs-length", expect(drovik.SampleError, copula.sample, [abs]), [copula, abs]),
        ("ppfs-raise", expect(drovik.SampleError, copula.sample, [raising, abs], seed=1), [copula, raising]),
        ("ppfs-midway", expect(Boom, copula.sample, ListRaisingMidway([abs, abs])), [copula, abs]),
        ("cdf-zero", expect(drovik.SampleError, drovik.cdf_mc_estimator(raising, unit_box(), 2, 2).cdf, points),
         [raising, points]),
        ("normalize", expect(drovik.BuildError, drovik.from_pdf, raising, IV), [raising]),
        ("build-interrupted", expect(KeyboardInterrupt, drovik.from_pdf, interrupting, IV), [interrupting]),
        ("tdr-on-cdf", expect(drovik.BuildError, drovik.from_cdf_with_options, one, IV, tdr), [one, tdr]),
        ("before-evaluation", expect(drovik.BuildError, drovik.from_pdf_loc_scale, one, IV, 0.0, 0.0), [one]),
        ("expect-fails", expect(drovik.SampleError, truncated.expect, raising), [truncated, raising]),
        ("expect-interrupted", expect(KeyboardInterrupt, truncated.expect, interrupting), [truncated, interrupting]),
        ("expect-without-density", expect(drovik.SampleError, drovik.from_cdf(abs, IV).expect, raising), [raising]),
        ("ok", lambda: (drovik.from_pmf(points, points), dist.sample_n(50, seed=seed)), [dist, points, seed]),
    ]


LEAK_CASES = _leak_cases()


@pytest.mark.parametrize("name, fn, watched", LEAK_CASES, ids=[c[0] for c in LEAK_CASES])
def test_failing_calls_do_not_leak(name, fn, watched):
    assert_no_growth(fn, watched)
