"""The multivariate classes and factories fed hostile input: wrong argument types and kinds, lying sequences,
unusable correlation matrices, junk from user functions, re-entrance, other threads, interrupts, huge counts, cycles
and leaks."""

import collections
import gc
import math
import sys
import threading
import weakref
from fractions import Fraction

import pytest

import drovik
import multivar_ref as ref
from _replica import raises_exactly
from multivar_ref import seeded
from test_bad_input import (BAD_VALUES, Boom, Float, Index, IterNotIterator, ListRaisingMidway, Seq,
                            TupleRaisingMidway, _error, _expect, _iterations_without_growth, as_double, as_index)
from test_multivar import Calls, bump, point, same, same_outcome

INF, NAN = math.inf, math.nan
CORR = [[1.0, 0.5], [0.5, 1.0]]


def box(lo=(0.0, 0.0), hi=(1.0, 1.0)):
    return drovik.HyperRect(list(lo), list(hi))


GOOD = {"nd": lambda *x: 1.0 + 0.5 * x[0], "gibbs": lambda i, xs: 0.25 * (i + 1),
        "factor": lambda i, prefix: 0.5 + len(prefix), "copula": lambda u: u}
MAKE = {
    "rejection": lambda fn: drovik.rejection_sampler(fn, box(), 2.0, 50),
    "mh": lambda fn: drovik.metropolis_hastings(fn, box(), burn_in=3),
    "hmc": lambda fn: drovik.hmc_sampler(fn, box(), leapfrog_steps=2),
    "gibbs": lambda fn: drovik.gibbs_sampler(fn, box(), [0.5, 0.5]),
    "factor": lambda fn: drovik.conditional_factorization_sampler(fn, 2),
    "copula": lambda fn: drovik.gaussian_copula(CORR),
    "cdf_mc": lambda fn: drovik.cdf_mc_estimator(fn, box(), 20, 20),
}
CALLS = {  # every method that runs user code
    "rejection": {"sample": lambda s, fn: s.sample(), "sample_n": lambda s, fn: s.sample_n(3, seed=1)},
    "mh": {"init": lambda s, fn: s.init(), "step": lambda s, fn: s.step(), "sample": lambda s, fn: s.sample(),
           "sample_n": lambda s, fn: s.sample_n(3, seed=1)},
    "hmc": {"init": lambda s, fn: s.init(), "sample": lambda s, fn: s.sample(),
            "sample_n": lambda s, fn: s.sample_n(3, seed=1)},
    "gibbs": {"step": lambda s, fn: s.step(), "sample": lambda s, fn: s.sample()},
    "factor": {"sample": lambda s, fn: s.sample(), "sample_n": lambda s, fn: s.sample_n(3, seed=1)},
    "copula": {"sample": lambda s, fn: s.sample([fn, fn], seed=1)},
    "cdf_mc": {"estimate_normalization": lambda s, fn: s.estimate_normalization(seed=1),
               "cdf": lambda s, fn: s.cdf([0.5, 0.5], seed=1)},
}
USER_CALLS = [pytest.param(kind, name, id=f"{kind}.{name}") for kind, calls in CALLS.items() for name in calls]
BOUND = ("mh", "hmc", "gibbs", "cdf_mc")  # usable only on the thread that made them


def prepared(kind, fn):
    sampler = MAKE[kind](fn)
    if kind in ("mh", "hmc"):
        sampler.init()
    return sampler


def user(kind, **kw):
    return Calls(GOOD.get(kind, GOOD["nd"]), **kw)


# ---------------------------------------------------------------------------
# Argument conversion, binding and order

def f2(a, b):
    return 1.0


TARGETS = {  # keyword overrides into a call that is otherwise valid
    "rejection_sampler": lambda **kw: drovik.rejection_sampler(**{"f": f2, "support": box(), "pdf_max": 1.0, **kw}),
    "metropolis_hastings": lambda **kw: drovik.metropolis_hastings(**{"f": f2, "support": box(), **kw}),
    "hmc_sampler": lambda **kw: drovik.hmc_sampler(**{"f": f2, "support": box(), **kw}),
    "gibbs_sampler": lambda **kw: drovik.gibbs_sampler(**{"sample_coord": f2, "support": box(), "init": [0, 0], **kw}),
    "conditional_factorization_sampler": lambda **kw: drovik.conditional_factorization_sampler(
        **{"sample_i": f2, "dim": 2, **kw}),
    "cdf_mc_estimator": lambda **kw: drovik.cdf_mc_estimator(**{"f": f2, "support": box(), **kw}),
    "RejectionSampler.sample_n": lambda **kw: MAKE["rejection"](f2).sample_n(**{"n": 1, **kw}),
    "MetropolisHastings.sample_n": lambda **kw: prepared("mh", f2).sample_n(**{"n": 1, **kw}),
    "HmcSampler.sample_n": lambda **kw: prepared("hmc", f2).sample_n(**{"n": 1, **kw}),
    "ConditionalFactorizationSampler.sample_n": lambda **kw: MAKE["factor"](f2).sample_n(**{"n": 1, **kw}),
    "GaussianCopula.sample": lambda **kw: MAKE["copula"](f2).sample(**{"ppfs": [abs, abs], **kw}),
    "CdfMcEstimator.estimate_normalization": lambda **kw: MAKE["cdf_mc"](f2).estimate_normalization(**kw),
    "CdfMcEstimator.cdf": lambda **kw: MAKE["cdf_mc"](f2).cdf(**{"x": [0.5, 0.5], **kw}),
}
D, U = as_double, as_index
CONVERTED = [("rejection_sampler", "pdf_max", D), ("rejection_sampler", "max_trials", U)]
CONVERTED += [("metropolis_hastings", a, c) for a, c in
              [("step_size", D), ("burn_in", U), ("thin", U), ("target_accept", D), ("adapt_steps", U)]]
CONVERTED += [("hmc_sampler", a, c) for a, c in [("step_size", D), ("leapfrog_steps", U), ("grad_eps", D)]]
CONVERTED += [("gibbs_sampler", "sweeps_per_sample", U), ("conditional_factorization_sampler", "dim", U),
              ("cdf_mc_estimator", "normalization_samples", U), ("cdf_mc_estimator", "cdf_samples", U)]
CONVERTED += [(f"{c}.sample_n", a, U) for c in ("RejectionSampler", "MetropolisHastings", "HmcSampler",
                                                "ConditionalFactorizationSampler") for a in ("n", "seed")]
CONVERTED += [(c, "seed", U) for c in ("GaussianCopula.sample", "CdfMcEstimator.estimate_normalization",
                                       "CdfMcEstimator.cdf")]


@pytest.mark.parametrize("target, arg, convert, value", [
    pytest.param(t, a, c, v, id=f"{t}-{a}-{v!r:.30}") for t, a, c in CONVERTED
    for v in BAD_VALUES + [-2**63, Index(2**64)] if _error(c, v) is not None and not (a == "seed" and v is None)])
def test_numeric_arguments_refuse_with_the_interpreter_errors(target, arg, convert, value):
    inner = _error(convert, value)
    with pytest.raises(type(inner)) as info:
        TARGETS[target](**{arg: value})
    if type(inner) is TypeError:  # prefixed, the interpreter's error as its cause
        assert type(info.value) is TypeError and info.value.args == (f"argument '{arg}': {inner}",)
        assert type(info.value.__cause__) is TypeError and str(info.value.__cause__) == str(inner)
    else:  # OverflowError and the user's own exceptions pass unchanged
        assert type(info.value) is type(inner) and str(info.value) == str(inner)
    if getattr(value, "value", None) is inner:
        assert inner is (info.value.__cause__ if type(inner) is TypeError else info.value)


@pytest.mark.parametrize("target", [t for t in TARGETS if t.islower() and "factorization" not in t])
@pytest.mark.parametrize("support", [[[0.0], [1.0]], None, drovik.Interval(0.0, 1.0), "HyperRect"])
def test_support_must_be_a_hyper_rect(target, support):
    message = f"argument 'support': '{type(support).__name__}' object cannot be converted to 'HyperRect'"
    assert raises_exactly(TypeError, message, TARGETS[target], support=support).__cause__ is None


BINDING_ERRORS = [  # (call, message): the constructors and signatures are pinned with the module frame
    (lambda: drovik.gibbs_sampler(f2), "gibbs_sampler() missing 2 required positional arguments: 'support' and 'init'"),
    (lambda: drovik.gibbs_sampler(f2, box(), [0, 0], 1, 2),
     "gibbs_sampler() takes from 3 to 4 positional arguments but 5 were given"),
    (lambda: drovik.metropolis_hastings(f2, box(), seed=1),
     "metropolis_hastings() got an unexpected keyword argument 'seed'"),
    (lambda: drovik.conditional_factorization_sampler(dim=2),
     "conditional_factorization_sampler() missing 1 required positional argument: 'sample_i'"),
    (lambda: drovik.gaussian_copula(CORR, CORR), "gaussian_copula() takes 1 positional arguments but 2 were given"),
    (lambda: drovik.gaussian_copula(CORR, corr=CORR), "gaussian_copula() got multiple values for argument 'corr'"),
    (lambda: drovik.cdf_mc_estimator(f2, box(), 1, 2, 3),
     "cdf_mc_estimator() takes from 2 to 4 positional arguments but 5 were given"),
    (lambda: MAKE["copula"](f2).sample(), "GaussianCopula.sample() missing 1 required positional argument: 'ppfs'"),
    (lambda: MAKE["cdf_mc"](f2).cdf([0.5], x=[0.5]), "CdfMcEstimator.cdf() got multiple values for argument 'x'"),
    (lambda: MAKE["cdf_mc"](f2).estimate_normalization(1, 2),
     "CdfMcEstimator.estimate_normalization() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda: MAKE["factor"](f2).sample_n(1, seed=2, n=3),
     "ConditionalFactorizationSampler.sample_n() got multiple values for argument 'n'"),
]


@pytest.mark.parametrize("call, message", BINDING_ERRORS, ids=[m for _, m in BINDING_ERRORS])
def test_binding_errors(call, message):
    assert raises_exactly(TypeError, message, call).__cause__ is None


NO_ARGUMENTS = [("rejection", ["dim", "pdf_max", "sample"]), ("mh", ["init", "step", "sample", "accept_rate"]),
                ("hmc", ["init", "sample"]), ("gibbs", ["step", "sample"]), ("factor", ["sample"]), ("copula", ["dim"])]


@pytest.mark.parametrize("kind, names", NO_ARGUMENTS, ids=[k for k, _ in NO_ARGUMENTS])
def test_methods_without_parameters_refuse_arguments_and_foreign_selves(kind, names):
    fn = user(kind)
    sampler, rect = MAKE[kind](fn), box()
    for target, name in [(sampler, n) for n in names] + [(rect, n) for n in ("dim", "lo", "hi")]:
        for args, kwargs in (((None,), {}), ((), {"x": 1})):
            with pytest.raises(TypeError, match=rf"{name}\(\) takes no (keyword )?arguments"):
                getattr(target, name)(*args, **kwargs)
        for foreign in (5, None, rect if target is sampler else sampler):
            with pytest.raises(TypeError):
                getattr(type(target), name)(foreign)
    assert fn.args == []


ORDER = [  # the first failing argument in parameter order decides; core checks come after all conversions
    (lambda: drovik.rejection_sampler(f2, [0.0], "x", -1), TypeError, "argument 'support': "),
    (lambda: drovik.rejection_sampler(f2, box(), "x", -1), TypeError, "argument 'pdf_max': "),
    (lambda: drovik.rejection_sampler(f2, box(), NAN, -1), OverflowError, ""),
    (lambda: drovik.metropolis_hastings(f2, box(), 0.1, -1, 1.0), OverflowError, ""),
    (lambda: drovik.hmc_sampler(f2, box(), 0.1, 1.5, "x"), TypeError, "argument 'leapfrog_steps': "),
    (lambda: drovik.gibbs_sampler(f2, box(), 3, -1), TypeError, "argument 'init': "),
    # the items of `init` are read after the other arguments are converted
    (lambda: drovik.gibbs_sampler(f2, box(), ["a"], -1), OverflowError, ""),
    (lambda: drovik.gibbs_sampler(f2, box(), [Float(Boom)], "x"), TypeError, "argument 'sweeps_per_sample': "),
    (lambda: drovik.gibbs_sampler(f2, box(), [0.0], 2**64), OverflowError, ""),
    (lambda: MAKE["copula"](f2).sample("ab", seed=-1), TypeError, "argument 'ppfs': "),
    (lambda: MAKE["copula"](f2).sample([abs], seed=-1), OverflowError, ""),
    (lambda: MAKE["cdf_mc"](f2).cdf(3, seed=-1), TypeError, "argument 'x': "),
    (lambda: MAKE["cdf_mc"](f2).cdf(["a"], seed=-1), OverflowError, ""),
    (lambda: drovik.HyperRect([Float(Boom)], 3), TypeError, "argument 'hi': "),
    (lambda: drovik.HyperRect([Float(Boom("lo"))], [Float(Boom("hi"))]), Boom, "lo"),
]


@pytest.mark.parametrize("call, exc, start", ORDER)
def test_arguments_are_checked_in_parameter_order(call, exc, start):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc and str(info.value).startswith(start)


# ---------------------------------------------------------------------------
# Sequences

CHECKED = {  # the checked-sequence arguments: make, read back, name, what the items [0, 1] give, what "" raises
    "HyperRect-lo": (lambda v: drovik.HyperRect(v, [2.0, 2.0]), lambda r: r.lo(), "lo", [0.0, 1.0],
                     (drovik.BuildError, ref.EMPTY_BOX)),
    "HyperRect-hi": (lambda v: drovik.HyperRect([-1.0, -1.0], v), lambda r: r.hi(), "hi", [0.0, 1.0],
                     (drovik.BuildError, ref.EMPTY_BOX)),
    "gibbs-init": (lambda v: drovik.gibbs_sampler(f2, box(), v, 0), lambda g: g.step(), "init", [0.0, 1.0],
                   (drovik.SampleError, ref.MCMC_FAILED)),
    "cdf_mc-x": (lambda v: drovik.cdf_mc_estimator(f2, box((-1, -1), (2, 2)), 1, 1).cdf(v), lambda p: p, "x", 2.0 / 9.0,
                 (drovik.SampleError, ref.INTEGRATION_FAILED)),
}


class IterRaises(Seq):
    def __iter__(self):
        raise Boom("no iterator")


class Sly:
    """The Sequence check itself fails: reading __class__ raises."""

    @property
    def __class__(self):
        raise Boom("__class__")


NON_SEQUENCES = [3, None, frozenset([1.0]), (x for x in [1.0]), {}.keys(), {0: 1.0}, Float(1.0)]
BAD_ITEMS = [[1.0, "a"], [1.0, None], [b"x"], [Float(Boom())], [Float(TypeError("item refuses"))], [Index(Boom())],
             [2**1024], "ab", ListRaisingMidway([1.0, 2.0]), TupleRaisingMidway((1.0, 2.0)), Seq([0.0, Boom()]),
             IterNotIterator([]), IterRaises([0.0])]
LYING = [b"\x00\x01", range(2), Seq([0, 1]), Seq([0.0, 1.0], length=lambda: 0),
         Seq([0.0, 1.0, IndexError()], length=lambda: 9), Seq([0.0, 1.0], length=lambda: sys.maxsize),
         Seq([0.0, 1.0], length=lambda: 1 / 0), Seq([False, True], length=lambda: 2**70),
         collections.deque([0.0, 1.0]), memoryview(b"\x00\x01")]


@pytest.mark.parametrize("name", CHECKED)
def test_checked_sequences(name):
    make, read, arg, ok, empty = CHECKED[name]
    for value in NON_SEQUENCES:
        message = f"argument '{arg}': '{type(value).__name__}' object cannot be converted to 'Sequence'"
        assert raises_exactly(TypeError, message, make, value).__cause__ is None
    with pytest.raises(Boom, match="^__class__$"):
        make(Sly())
    for bad in BAD_ITEMS:  # the item's or the iteration's own error, unchanged
        expected = _error(lambda items: [as_double(x) for x in items], bad)
        with pytest.raises(type(expected)) as info:
            make(bad)
        assert type(info.value) is type(expected) and str(info.value) == str(expected)
        assert info.value.__cause__ is None
    stop = KeyboardInterrupt("in an item")
    with pytest.raises(KeyboardInterrupt) as info:
        make(Seq([0.0, stop]))
    assert info.value is stop
    for value in LYING:  # items come from iteration: the length is at most a hint
        assert read(make(value)) == ok, value
    raises_exactly(*empty, make, "")  # a str passes the check


STR_VEC = "Can't extract `str` to `Vec`"
VECTOR_ERRORS = [  # value, exception, message after "argument '<name>': " (None: unchanged)
    ("ab", TypeError, STR_VEC), ("", TypeError, STR_VEC),
    (3, TypeError, "'int' object cannot be converted to 'Sequence'"),
    (None, TypeError, "'NoneType' object cannot be converted to 'Sequence'"),
    ({0: 1.0}, TypeError, "'dict' object cannot be converted to 'Sequence'"),
    ((x for x in []), TypeError, "'generator' object cannot be converted to 'Sequence'"),
    (frozenset(), TypeError, "'frozenset' object cannot be converted to 'Sequence'"),
    (IterRaises([]), Boom, None), (IterNotIterator([]), TypeError, str(_error(iter, IterNotIterator([])))),
]


class RowsRaisingMidway(list):
    def __iter__(self):
        yield [1.0]
        raise Boom("iteration")


VECTOR_CASES = [("ppfs", *c) for c in VECTOR_ERRORS + [(ListRaisingMidway([abs, abs]), Boom, None),
                                                       (TupleRaisingMidway((abs,)), Boom, None)]]
VECTOR_CASES += [("corr", *c) for c in VECTOR_ERRORS + [
    (RowsRaisingMidway([[1.0]]), Boom, None),
    ([[1.0], 1.0], TypeError, "'float' object cannot be converted to 'Sequence'"),
    (["ab"], TypeError, STR_VEC), ([3], TypeError, "'int' object cannot be converted to 'Sequence'"),
    ([[1.0, "a"]], TypeError, str(_error(as_double, "a"))),
    ([[2**1024]], OverflowError, None), ([[Float(Boom())]], Boom, None), ([[Index(Boom())]], Boom, None),
    ([ListRaisingMidway([1.0, 2.0])], Boom, None), ([Seq([Boom()])], Boom, None),
    ([IterNotIterator([])], TypeError, str(_error(iter, IterNotIterator([])))),
]]


@pytest.mark.parametrize("arg, value, exc, text", VECTOR_CASES, ids=[f"{c[0]}-{i}" for i, c in enumerate(VECTOR_CASES)])
def test_vector_arguments(arg, value, exc, text):
    with pytest.raises(exc) as info:
        drovik.gaussian_copula(value) if arg == "corr" else drovik.gaussian_copula(CORR).sample(value, seed=1)
    if exc is TypeError and text is not None:
        assert type(info.value) is TypeError and info.value.args == (f"argument '{arg}': {text}",)
        cause = info.value.__cause__  # an item's conversion error is kept as the cause
        assert cause is None if text == STR_VEC or "cannot be converted" in text else str(cause) == text
    else:
        assert type(info.value) is exc and info.value.__cause__ is None


def test_correlation_matrices_of_any_sequence_kind():
    np = pytest.importorskip("numpy")
    for corr in ([b"\x04"], ((1.0,),), collections.deque([[True]]), [range(1, 2)], [[Fraction(1)]], [[Index(1)]],
                 Seq([[1.0]], length=lambda: 1 / 0), Seq([[1.0], IndexError()], length=lambda: sys.maxsize)):
        assert drovik.gaussian_copula(corr).dim() == 1
    assert drovik.gaussian_copula(np.eye(3)).dim() == 3
    refused = TypeError("refused")
    error = _error(drovik.gaussian_copula, [[1.0, Float(refused)], [0.5, 1.0]])
    assert type(error) is TypeError and error.args == ("argument 'corr': refused",) and error.__cause__ is refused


def test_ppfs_of_any_sequence_kind_and_length():
    copula, ident = drovik.gaussian_copula(CORR), Calls(lambda u: u)
    expected = copula.sample([ident, ident], seed=4)
    for ppfs in ((ident, ident), collections.deque([ident, ident]), Seq([ident, ident], length=lambda: 1 / 0),
                 Seq([ident, ident, IndexError()], length=lambda: sys.maxsize)):
        assert copula.sample(ppfs, seed=4) == expected
    ident.args.clear()
    for ppfs in ([], [ident], [ident] * 3, Seq([ident], length=lambda: 2)):  # before any quantile function is called
        for seed in (None, 1):
            raises_exactly(drovik.SampleError, ref.MCMC_FAILED, copula.sample, ppfs, seed)
    for ppfs in (b"\x01\x02", range(2), [None, ident], [3, 4]):  # items are taken as they are: calling them fails
        raises_exactly(drovik.SampleError, ref.INVERSION_FAILED, copula.sample, ppfs, seed=1)
    assert ident.args == []


# ---------------------------------------------------------------------------
# Correlation matrices: the shape and every pivot

@pytest.mark.parametrize("corr, ok", [
    ([[NAN]], False), ([[INF]], False), ([[-INF]], False), ([[1.0, 0.0], [NAN, 1.0]], False),
    ([[1.0, 0.0], [INF, 1.0]], False), ([[1.0, 0.0], [-INF, 1.0]], False), ([[1.0, 0.0], [0.0, NAN]], False),
    ([[1.0, NAN], [0.5, 1.0]], True), ([[1.0, INF], [0.0, 1.0]], True), ([[Float(NAN)]], False), ([[5e-324]], True),
    ([[0.0]], False), ([[-0.0]], False), ([[-1.0]], False), ([[4.0, 2.0], [2.0, 1.0]], False),
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
# User functions that return junk

def raising(*args):
    raise ValueError("junk")


JUNK = {"none": None, "str": "1.0", "complex": 1j, "list": [1.0], "huge-int": 10**400, "float-raises": Float(Boom),
        "float-type-error": Float(TypeError), "raises": raising, "nan": NAN, "inf": INF, "-inf": -INF, "negative": -1.0,
        "zero": 0.0, "-0.0": -0.0, "true": True, "max": 1.7976931348623157e308, "index": Index(3)}
JUNK_PARAMS = [pytest.param(v, id=k) for k, v in JUNK.items()]


def junk_result(junk, *args):
    return junk(*args) if junk is raising else junk


def converted(junk):  # the double the module reads, or None when the call or the conversion fails
    return None if junk is raising or _error(as_double, junk) else as_double(junk)


HALF = {  # factory and replica over the unit square
    "rejection": (lambda f: drovik.rejection_sampler(f, box(), 1.0), lambda f: ref.Rejection(f, [0, 0], [1, 1], 1.0)),
    "mh": (lambda f: drovik.metropolis_hastings(f, box(), burn_in=5),
           lambda f: ref.MetropolisHastings(f, [0, 0], [1, 1], burn_in=5)),
    "hmc": (lambda f: drovik.hmc_sampler(f, box(), leapfrog_steps=3),
            lambda f: ref.Hmc(f, [0, 0], [1, 1], leapfrog_steps=3)),
    "cdf_mc": (lambda f: drovik.cdf_mc_estimator(f, box(), 300, 200), lambda f: ref.CdfMc(f, [0, 0], [1, 1], 300, 200)),
}


@pytest.mark.parametrize("junk", JUNK_PARAMS)
@pytest.mark.parametrize("kind", HALF)
def test_density_with_junk_on_half_the_box(kind, junk):
    def density(*args):
        x = point(args)
        return junk_result(junk) if x[0] < 0.5 else bump(*x)

    fn, twin = Calls(density), Calls(density)
    sampler, replica = HALF[kind][0](fn), HALF[kind][1](twin)
    if kind in ("mh", "hmc"):  # init skips the points where the density is not usable
        sampler.init()
        y = converted(junk)
        usable = y is not None and 0.0 < y < INF
        assert all(point(a)[0] < 0.5 and not usable for a in fn.args[:-1]) and (fn.point()[0] >= 0.5 or usable)
        replica.start(fn.point())
        fn.args.clear(), twin.args.clear()
    if kind == "cdf_mc":
        same_outcome(lambda: sampler.estimate_normalization(seed=5), lambda: replica.estimate_normalization(seeded(5)))
        same_outcome(lambda: sampler.cdf([0.7, 0.9], seed=6), lambda: replica.cdf([0.7, 0.9], seeded(6)))
    else:
        same_outcome(lambda: sampler.sample_n(15, seed=5), lambda: replica.sample_n(15, seeded(5)))
    assert same(fn.args, twin.args)
    if kind == "mh":
        assert sampler.accept_rate() == replica.accept_rate()


@pytest.mark.parametrize("junk", JUNK_PARAMS)
@pytest.mark.parametrize("kind", ["gibbs", "factor"])
def test_conditional_draws_store_junk_as_read(kind, junk):
    def meddling(i, xs):  # all lists kept alive, so equal ids would mean a reused list; changing one changes nothing
        kept.append(xs)
        xs[:] = [99.0] * 5
        return junk_result(junk)

    kept, fn, v = [], Calls(meddling), converted(junk)
    v = NAN if v is None else v
    if kind == "gibbs":  # in place, stored as it is, passed on to the next call; never retried
        sampler = drovik.gibbs_sampler(fn, box(), [0.5, 0.25])
        assert same([sampler.step(), sampler.sample()], [[v, v]] * 2)
        assert same(fn.args, [(0, [0.5, 0.25]), (1, [v, 0.25]), (0, [v, v]), (1, [v, v])])
    else:
        sampler = drovik.conditional_factorization_sampler(fn, 3)
        assert same([sampler.sample()] + sampler.sample_n(2, seed=1), [[v, v, v]] * 3)
        assert same(fn.args, [(0, []), (1, [v]), (2, [v, v])] * 3)
    assert len({id(xs) for xs in kept}) == len(kept)  # and repr tells an int or a tuple from a float or a list


@pytest.mark.parametrize("junk", JUNK_PARAMS)
def test_quantile_functions_returning_junk(junk):
    fn, v = Calls(lambda u: junk_result(junk, u)), converted(junk)
    us = ref.GaussianCopula(CORR).sample([lambda u: u] * 2, seeded(1))
    if v is None:  # the first failing quantile function ends the draw
        raises_exactly(drovik.SampleError, ref.INVERSION_FAILED, drovik.gaussian_copula(CORR).sample, [fn, fn], seed=1)
        assert fn.args == [(us[0],)]
    else:  # NaN and infinities pass unchecked
        assert same(drovik.gaussian_copula(CORR).sample([fn, fn], seed=1), [v, v]) and fn.args == [(us[0],), (us[1],)]


NOT_CALLABLE = {  # any object is taken as the user function; calling it fails like a raising function
    "rejection": lambda s, f: raises_exactly(drovik.SampleError, ref.REJECTION_FAILED, s.sample),
    "mh": lambda s, f: raises_exactly(drovik.SampleError, ref.MCMC_FAILED, s.init),
    "hmc": lambda s, f: raises_exactly(drovik.SampleError, ref.MCMC_FAILED, s.init),
    "gibbs": lambda s, f: same(s.step(), [NAN, NAN]), "factor": lambda s, f: same(s.sample(), [NAN, NAN]),
    "copula": lambda s, f: raises_exactly(drovik.SampleError, ref.INVERSION_FAILED, s.sample, [f, f]),
    "cdf_mc": lambda s, f: raises_exactly(drovik.SampleError, ref.INTEGRATION_FAILED, s.estimate_normalization),
}


@pytest.mark.parametrize("kind", NOT_CALLABLE)
def test_objects_that_cannot_be_called(kind):
    for f in (None, "f", object()):
        assert NOT_CALLABLE[kind](MAKE[kind](f), f)


# ---------------------------------------------------------------------------
# Re-entrance and references dropped mid-call

BORROWED, MUTABLY = "Already borrowed", "Already mutably borrowed"
REENTRY = [("rejection", lambda s: s.sample(), None), ("rejection", lambda s: s.sample_n(2, seed=1), None),
           ("rejection", lambda s: s.pdf_max(), None), ("mh", lambda s: s.accept_rate(), MUTABLY),
           ("mh", lambda s: s.step(), BORROWED), ("mh", lambda s: s.init(), BORROWED),
           ("hmc", lambda s: s.sample_n(0), BORROWED), ("hmc", lambda s: s.init(), BORROWED),
           ("gibbs", lambda s: s.step(), BORROWED), ("gibbs", lambda s: s.sample(), BORROWED),
           ("factor", lambda s: s.sample(), None), ("factor", lambda s: s.sample_n(1, seed=2), None),
           ("copula", lambda s: s.dim(), None), ("copula", lambda s: s.sample([abs, abs]), None),
           ("cdf_mc", lambda s: s.estimate_normalization(), BORROWED),
           ("cdf_mc", lambda s: s.cdf([0.5, 0.5]), BORROWED)]
ESCAPED = {  # a refused re-entry let out of every call is discarded like any failure: (outcome, calls)
    "mh": lambda s, start: (same(s.step(), start), 2),
    "hmc": lambda s, start: (same(s.sample(), start), 2 * (2 * 2 * 3 + 1)),
    "gibbs": lambda s, start: (same(s.step(), [NAN, NAN]), 2),
    "cdf_mc": lambda s, start: (bool(raises_exactly(drovik.SampleError, ref.INTEGRATION_FAILED,
                                                    s.estimate_normalization)), 40),
}


@pytest.mark.parametrize("kind, op, message", REENTRY, ids=[f"{k}-{i}" for i, (k, _, _) in enumerate(REENTRY)])
def test_user_functions_reentering_their_sampler(kind, op, message):
    seen, state = [], {"sampler": None, "inside": False, "escape": False}
    good = GOOD.get(kind, GOOD["nd"])

    def reentering(*args):
        if state["sampler"] is not None and not state["inside"]:
            state["inside"] = True
            try:
                seen.append(type(op(state["sampler"])))
            except RuntimeError as exc:
                seen.append((type(exc), str(exc)))
                if state["escape"]:
                    raise
            finally:
                state["inside"] = False
        return good(*args)

    fn = Calls(reentering, limit=10_000)
    sampler = state["sampler"] = prepared(kind, fn)
    for call in CALLS[kind].values():
        call(sampler, fn)
    assert seen and (set(seen) == {(RuntimeError, message)} if message else all(t in (list, float, int) for t in seen))
    if message:
        state["sampler"] = None
        start = sampler.step() if kind == "mh" else sampler.sample() if kind == "hmc" else None  # the chain's point
        state.update(sampler=sampler, escape=True)
        seen.clear(), fn.args.clear()
        outcome, calls = ESCAPED[kind](sampler, start)
        assert outcome and len(fn.args) == calls and set(seen) == {(RuntimeError, message)}
    state["sampler"] = None
    for call in CALLS[kind].values():  # no borrow is left behind
        call(sampler, fn)


@pytest.mark.parametrize("kind", ["rejection", "factor", "copula"])
def test_unbounded_reentrance_ends_at_the_recursion_limit(kind):
    holder = {}

    def rejection_density(*args):  # an inner failure becomes NaN here, so no level retries with a list
        try:
            holder["s"].sample()
        except drovik.SampleError:
            return NAN
        return 1.0

    fns = {"rejection": rejection_density, "factor": lambda i, prefix: holder["s"].sample()[0] + 1.0,
           "copula": lambda u: holder["s"].sample([fn])[0]}
    fn = Calls(fns[kind], limit=5000)
    holder["s"] = {"rejection": lambda: drovik.rejection_sampler(fn, box(), 1.0, 1),
                   "factor": lambda: drovik.conditional_factorization_sampler(fn, 1),
                   "copula": lambda: drovik.gaussian_copula([[1.0]])}[kind]()
    if kind == "factor":  # the deepest call meets RecursionError: NaN, and NaN + 1 on every level above
        assert same(holder["s"].sample(), [NAN])
    else:
        message = ref.REJECTION_FAILED if kind == "rejection" else ref.INVERSION_FAILED
        raises_exactly(drovik.SampleError, message, lambda: holder["s"].sample(*([[fn]] if kind == "copula" else [])))
    assert 50 < len(fn.args) <= sys.getrecursionlimit()
    holder.clear()


@pytest.mark.parametrize("kind, name", USER_CALLS)
def test_user_function_dropping_the_last_reference_to_its_sampler(kind, name):
    holder, ppfs, armed = {}, [], []
    good = GOOD.get(kind, GOOD["nd"])

    def dropping(*args):
        if armed:  # once: the collector runs while the sampler is in use
            armed.clear(), holder.clear(), ppfs.clear()
            gc.collect()
        return good(*args)

    holder["s"] = prepared(kind, dropping)
    ppfs[:] = [dropping, dropping]
    alive = weakref.ref(dropping)
    del dropping
    armed.append(True)
    if kind == "copula":
        result = holder["s"].sample(ppfs, seed=1)
    else:
        result = CALLS[kind][name](holder["s"], None)
    assert holder == {} and alive() is None  # the sampler went when the call returned, and its function with it
    assert result is None or type(result) in (list, float)


# ---------------------------------------------------------------------------
# Other threads and the cycle collector

def run_on_thread(fn):
    outcome = {}

    def target():
        try:
            outcome["value"] = fn()
        except BaseException as exc:  # noqa: B036 - the test looks at what escaped
            outcome["error"] = exc

    thread = threading.Thread(target=target)
    thread.start()
    thread.join()
    return outcome


THREAD_CALLS = {kind: dict(calls) for kind, calls in CALLS.items()}  # and the methods that run no user code
THREAD_CALLS["rejection"].update(dim=lambda s, fn: s.dim(), pdf_max=lambda s, fn: s.pdf_max())
THREAD_CALLS["mh"]["accept_rate"] = lambda s, fn: s.accept_rate()
THREAD_CALLS["copula"]["dim"] = lambda s, fn: s.dim()


@pytest.mark.parametrize("kind, name", [pytest.param(k, n, id=f"{k}.{n}") for k in THREAD_CALLS for n in THREAD_CALLS[k]])
def test_thread_binding(kind, name):
    fn = user(kind)
    sampler, call = prepared(kind, fn), THREAD_CALLS[kind][name]
    fn.args.clear()
    outcome = run_on_thread(lambda: call(sampler, fn))
    error = outcome.pop("error", None)  # breaks the cycle through its traceback: no drop on a collector's thread
    if kind in BOUND:
        assert type(error) is drovik.PanicException and fn.args == []
    else:  # rejection's sample() draws from each thread's own generator
        assert error is None and (outcome["value"] == call(sampler, fn) or (kind, name) == ("rejection", "sample"))
    for other in THREAD_CALLS[kind].values():  # still usable on its own thread
        other(sampler, fn)


@pytest.mark.parametrize("kind", MAKE)
def test_dropped_on_another_thread(kind, monkeypatch):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", lambda info: reported.append(info.exc_type))
    fn = user(kind)
    alive, holder = weakref.ref(fn), [MAKE[kind](fn)]
    del fn
    run_on_thread(holder.clear)
    gc.collect()
    if kind in BOUND:  # leaked, with its function, and reported
        assert reported == [RuntimeError] and alive() is not None
    else:
        assert reported == [] and alive() is None


@pytest.mark.parametrize("kind", [k for k in MAKE if k != "copula"])  # a copula holds no user function
def test_function_holding_its_sampler_is_collected(kind):
    gc.collect()
    enabled = gc.isenabled()
    gc.disable()
    try:
        fn = user(kind)
        fn.owner = prepared(kind, fn)
        for call in CALLS[kind].values():
            call(fn.owner, fn)
        alive = weakref.ref(fn)
        del fn
        assert alive() is not None, "the sampler does not hold its function: there is no cycle"
        gc.collect()
        assert alive() is None
    finally:
        if enabled:
            gc.enable()


# ---------------------------------------------------------------------------
# Huge counts, interrupts, leaks

@pytest.mark.parametrize("seed", [None, 1])
@pytest.mark.parametrize("n", [2**62, 2**64 - 1])
@pytest.mark.parametrize("kind", ["rejection", "mh", "hmc", "factor"])
def test_unallocatable_sample_n_fails_before_any_call(kind, n, seed):
    fn = user(kind)
    sampler = prepared(kind, fn)
    fn.args.clear()
    with pytest.raises(MemoryError):
        sampler.sample_n(n, seed=seed)
    assert fn.args == [] and len(sampler.sample_n(2, seed=3)) == 2


@pytest.mark.parametrize("dim", [2**60, 2**62, 2**64 - 1])  # beyond what any vector of doubles can hold
def test_unallocatable_factorization_dimension(dim):
    fn = user("factor", limit=1000)
    sampler = drovik.conditional_factorization_sampler(fn, dim)
    for call in (sampler.sample, lambda: sampler.sample_n(1, seed=1)):
        with pytest.raises(MemoryError):
            call()
    assert fn.args == []


def raise_(exc):
    raise exc


@pytest.mark.parametrize("how", ["interrupt", "panic", "interrupt-from-float"])
@pytest.mark.parametrize("kind, name", USER_CALLS)
def test_let_through_exceptions_leave_every_method_at_once(kind, name, how):
    exc = drovik.PanicException("internal") if how == "panic" else KeyboardInterrupt("stop")
    fn = user(kind)
    sampler, good = MAKE[kind](fn) if name == "init" else prepared(kind, fn), fn.fn
    fn.fn, fn.args[:] = ((lambda *a: Float(exc)) if how.endswith("float") else (lambda *a: raise_(exc))), []
    with pytest.raises(type(exc)) as info:
        CALLS[kind][name](sampler, fn)
    assert info.value is exc and len(fn.args) == 1  # no second try with a list
    fn.fn = good
    if kind == "cdf_mc":  # the interrupted estimate was not cached
        replica = ref.CdfMc(GOOD["nd"], [0, 0], [1, 1], 20, 20)
        assert sampler.cdf([0.5, 0.5], seed=5) == replica.cdf([0.5, 0.5], seeded(5))
    for call in CALLS[kind].values():  # usable again: no borrow is left behind
        call(sampler, fn)


@pytest.mark.parametrize("kind", MAKE)
def test_user_functions_are_held_once_and_released(kind):
    fn = user(kind)
    before, good = sys.getrefcount(fn), fn.fn
    sampler = prepared(kind, fn)
    calls = [c for n, c in CALLS[kind].items() if n != "init"]
    for c in calls:
        c(sampler, fn)
    held = sys.getrefcount(fn)
    assert held == before + (kind != "copula")
    for _ in range(30):
        for bad in (good, raising):
            fn.fn = bad
            for c in calls:
                try:
                    c(sampler, fn)
                except drovik.SampleError:
                    assert bad is raising
    assert sys.getrefcount(fn) == held
    del sampler
    assert sys.getrefcount(fn) == before


def test_factories_copy_their_arguments():
    ppf = lambda u: u  # noqa: E731
    rect, init, corr, x, ppfs = box(), [0.5, 0.5], [[1.0, 0.5], [0.5, 1.0]], [0.5, 0.5], [ppf, ppf]
    watched = [rect, init, corr, corr[0], corr[1], x, ppfs, ppf]
    before = [sys.getrefcount(o) for o in watched]
    kept = [drovik.rejection_sampler(f2, rect, 1.0), drovik.metropolis_hastings(f2, rect), drovik.hmc_sampler(f2, rect),
            drovik.gibbs_sampler(f2, rect, init), drovik.gaussian_copula(corr), drovik.cdf_mc_estimator(f2, rect, 3, 3)]
    kept[-2].sample(ppfs)
    kept[-1].cdf(x)
    assert [sys.getrefcount(o) for o in watched] == before


def _leak_cases():
    points, mid, text, big = [0.0, 1.0], ListRaisingMidway([0.0, 1.0]), "not a number" + "!", 2**64 + 77
    rejecting, copula = drovik.rejection_sampler(raising, box(), 1.0, 3), drovik.gaussian_copula(CORR)
    ragged, bad_row, estimator = [[1.0, 0.5], [0.5]], [[1.0, text]], drovik.cdf_mc_estimator(f2, box(), 2, 2)
    return [
        ("box-item", _expect(TypeError, drovik.HyperRect, [text], points), [text, points]),
        ("box-midway", _expect(Boom, drovik.HyperRect, mid, points), [mid, points]),
        ("box-not-sequence", _expect(TypeError, drovik.HyperRect, big, points), [big, points]),
        ("box-invalid", _expect(drovik.BuildError, drovik.HyperRect, points, points), [points]),
        ("support", _expect(TypeError, drovik.metropolis_hastings, f2, points), [f2, points]),
        ("overflow", _expect(OverflowError, drovik.hmc_sampler, f2, box(), 0.1, big), [f2, big]),
        ("rejection-fails", _expect(drovik.SampleError, rejecting.sample_n, 2, seed=big - 78), [rejecting, raising]),
        ("corr-ragged", _expect(ValueError, drovik.gaussian_copula, ragged), [ragged, ragged[0]]),
        ("corr-item", _expect(TypeError, drovik.gaussian_copula, bad_row), [bad_row, bad_row[0], text]),
        ("corr-str", _expect(TypeError, drovik.gaussian_copula, text), [text]),
        ("ppfs-length", _expect(drovik.SampleError, copula.sample, [abs]), [copula, abs]),
        ("ppfs-raise", _expect(drovik.SampleError, copula.sample, [raising, abs], seed=1), [copula, raising]),
        ("ppfs-midway", _expect(Boom, copula.sample, ListRaisingMidway([abs, abs])), [copula, abs]),
        ("copula-seed", _expect(OverflowError, copula.sample, [abs, abs], seed=big), [copula, abs, big]),
        ("gibbs-length", _expect(drovik.SampleError, drovik.gibbs_sampler, f2, box(), [0.0]), [f2]),
        ("gibbs-item", _expect(Boom, drovik.gibbs_sampler, f2, box(), mid), [f2, mid]),
        ("cdf-length", _expect(drovik.SampleError, estimator.cdf, [0.5]), [estimator]),
        ("cdf-not-sequence", _expect(TypeError, estimator.cdf, big), [estimator, big]),
        ("cdf-zero", _expect(drovik.SampleError, drovik.cdf_mc_estimator(raising, box(), 2, 2).cdf, points),
         [raising, points]),
    ]


LEAK_CASES = _leak_cases()


@pytest.mark.parametrize("name, fn, watched", LEAK_CASES, ids=[c[0] for c in LEAK_CASES])
def test_failing_calls_do_not_leak(name, fn, watched):
    _iterations_without_growth(fn, watched)
