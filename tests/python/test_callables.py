"""The adapters through which the core calls user Python functions: argument
and result conversion, failures turned into NaN, the two exceptions that are
let through (KeyboardInterrupt, PanicException), re-entrance, threads,
reference counts and cyclic garbage collection."""

import decimal
import fractions
import gc
import math
import signal
import sys
import threading
import time
import weakref

import numpy as np
import pytest

import drovik

Interval = drovik.Interval
BuildOptions = drovik.BuildOptions
IV = Interval(0.0, 1.0)
NORMALIZE = "failed to normalize PDF on support"
INVERT = "failed to invert CDF"


class Recorder:
    """Counts and records calls. Past `limit` calls it raises PanicException, which
    the adapters let through, so a loop that never ends fails instead of hanging."""

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


class Switch:
    """A function that behaves well until told to misbehave."""

    def __init__(self, good, bad):
        self.good, self.bad, self.on = good, bad, False

    def __call__(self, x):
        return self.bad(x) if self.on else self.good(x)


def raise_(exc):
    raise exc


def build_error(call, *args):
    with pytest.raises(drovik.BuildError) as info:
        call(*args)
    assert str(info.value) == NORMALIZE
    return info.value


# ---------------------------------------------------------------------------
# Results


class FloatLike:
    def __float__(self):
        return 1.0


class IndexLike:
    def __index__(self):
        return 1


@pytest.mark.parametrize(
    "value",
    [1, True, 1.0, np.float64(1.0), np.float32(1.0), np.int64(1), fractions.Fraction(1, 1), decimal.Decimal(1),
     FloatLike(), IndexLike(), type("F", (float,), {})(1.0)],
    ids=lambda v: type(v).__name__,
)
def test_results_convertible_to_float_are_accepted(value):
    dist = drovik.from_pdf(lambda x: value, Interval(0.0, 2.0))
    assert dist.pdf(0.3) == 0.5
    assert dist.cdf(0.5) == 0.25
    c = drovik.from_cdf(lambda x: value if x > 0.5 else 0, IV)
    assert c.cdf(0.75) == 1.0


def test_genuine_minus_one_is_not_a_failure():
    c = Recorder(lambda x: 2.0 * x - 1.0)
    dist = drovik.from_cdf(c, IV)
    assert c.args == [0.0, 1.0]
    assert dist.cdf(0.0) == 0.0
    assert dist.cdf(0.5) == 0.5
    assert dist.cdf(0.25) == 0.25
    assert dist.ppf(0.5) == 0.5
    # -1.0 from __float__ and from an int are genuine too.
    assert drovik.from_cdf(lambda x: -1 if x == 0.0 else 1, IV).cdf(0.0) == 0.0
    minus_one = type("M", (), {"__float__": lambda self: -1.0})()
    assert drovik.from_cdf(lambda x: minus_one if x == 0.0 else x, IV).cdf(0.5) == 0.75


def test_density_of_minus_one_is_returned_outside_the_support():
    dist = drovik.from_pdf(lambda x: 1.0 if 0.0 <= x <= 1.0 else -1.0, IV)
    assert dist.pdf(2.0) == -1.0
    assert dist.logpdf(2.0) is None


class BadFloat:
    def __float__(self):
        raise ValueError("no float")


FAILING_RESULTS = [
    pytest.param(lambda x: 1 / 0, id="raises"),
    pytest.param(lambda x: None, id="none"),
    pytest.param(lambda x: "1.0", id="str"),
    pytest.param(lambda x: 1j, id="complex"),
    pytest.param(lambda x: [1.0], id="list"),
    pytest.param(lambda x: 10**400, id="int-too-large"),
    pytest.param(lambda x: BadFloat(), id="float-raises"),
    pytest.param(lambda x: raise_(SystemExit(1)), id="system-exit"),
    pytest.param(lambda x: raise_(GeneratorExit()), id="generator-exit"),
    pytest.param(lambda x: raise_(MemoryError()), id="memory-error"),
    pytest.param(lambda x: raise_(RecursionError()), id="recursion-error"),
    pytest.param(lambda: 1.0, id="wrong-arity"),
    pytest.param(42, id="not-callable"),
    pytest.param(None, id="none-object"),
]


@pytest.mark.parametrize("bad", FAILING_RESULTS)
@pytest.mark.parametrize(
    "factory",
    [
        lambda f: drovik.from_pdf(f, IV),
        lambda f: drovik.from_pdf_with_options(f, IV, BuildOptions(use_newton=False)),
        lambda f: drovik.from_pdf_dpdf(f, f, IV),
        lambda f: drovik.from_cdf(f, IV),
        lambda f: drovik.from_cdf_with_options(f, IV, BuildOptions()),
    ],
    ids=["from_pdf", "from_pdf_with_options", "from_pdf_dpdf", "from_cdf", "from_cdf_with_options"],
)
def test_failing_callable_fails_the_build_with_the_normalization_error(factory, bad):
    error = build_error(factory, bad)
    assert error.__context__ is None and error.__cause__ is None


@pytest.mark.parametrize("bad", FAILING_RESULTS[:11])
def test_failing_callable_makes_evaluations_nan_without_raising(bad):
    f = Switch(lambda x: 2.0 * x, bad)
    dist = drovik.from_pdf(f, IV)
    f.on = True
    assert math.isnan(dist.cdf(0.5))
    assert math.isnan(dist.pdf(0.5))
    assert dist.logpdf(0.5) is None
    assert dist.sf(0.5) == 0.0
    assert math.isnan(dist.logcdf(0.5))
    assert math.isnan(dist.logsf(0.5))
    # Outside the open support the density is not consulted.
    assert dist.cdf(1.0) == 1.0 and dist.cdf(0.0) == 0.0
    # Inversion of a density-based model never fails; it ends somewhere in the support.
    for x in [dist.ppf(0.3), dist.isf(0.3), dist.sample()] + dist.sample_n(2, seed=1):
        assert 0.0 <= x <= 1.0
    f.on = False
    assert dist.cdf(0.5) == pytest.approx(0.25)


@pytest.mark.parametrize("bad", FAILING_RESULTS[:11])
def test_failing_distribution_function_fails_inversion(bad):
    c = Switch(lambda x: x, bad)
    dist = drovik.from_cdf(c, IV)
    c.on = True
    assert math.isnan(dist.cdf(0.5))
    assert dist.sf(0.5) == 0.0
    for call in (lambda: dist.ppf(0.5), lambda: dist.isf(0.5), dist.sample, lambda: dist.sample_n(3, seed=0)):
        with pytest.raises(drovik.SampleError) as info:
            call()
        assert str(info.value) == INVERT
        assert info.value.__context__ is None


def test_discarded_errors_leave_the_handled_exception_alone():
    f = Switch(lambda x: 1.0, lambda x: 1 / 0)
    dist = drovik.from_pdf(f, IV)
    f.on = True
    try:
        raise LookupError("outer")
    except LookupError as outer:
        assert math.isnan(dist.cdf(0.5))
        assert sys.exc_info()[1] is outer


# ---------------------------------------------------------------------------
# Nothing hangs


@pytest.mark.parametrize(
    "density",
    [
        pytest.param(lambda x: math.nan, id="nan-everywhere"),
        pytest.param(lambda x: math.nan if 0.2 <= x <= 0.3 else math.exp(x), id="nan-on-a-sub-interval"),
        pytest.param(lambda x: math.inf if x == 1.0 else 1.0, id="inf-at-right-end"),
        pytest.param(lambda x: math.nan if x == 1.0 else 1.0, id="nan-at-right-end"),
        pytest.param(lambda x: math.inf if x == 0.0 else x**-0.5, id="pole-at-left-end"),
        pytest.param(lambda x: x**-0.5, id="pole-at-left-end-raising"),
        pytest.param(lambda x: (1.0 - x) ** -0.5, id="pole-at-right-end-raising"),
        pytest.param(lambda x: math.inf if x == 0.5 else 1.0, id="inf-at-midpoint"),
        pytest.param(lambda x: math.nan if x == 0.5 else 1.0, id="nan-at-midpoint"),
        pytest.param(lambda x: -math.inf if x == 0.25 else 1.0, id="minus-inf-inside"),
        pytest.param(lambda x: 1e308 * (1.0 + x), id="overflowing-sums"),
    ],
)
@pytest.mark.parametrize("factory", [lambda f: drovik.from_pdf(f, IV), lambda f: drovik.from_pdf_dpdf(f, f, IV)],
                         ids=["from_pdf", "from_pdf_dpdf"])
def test_non_finite_densities_fail_the_build_promptly(factory, density):
    f = Recorder(density, limit=200_000)
    build_error(factory, f)


@pytest.mark.parametrize(
    "bad",
    [
        pytest.param(lambda x: math.nan, id="nan"),
        pytest.param(lambda x: math.nan if 0.3 <= x <= 0.35 else 1.0, id="nan-on-a-sub-interval"),
        pytest.param(lambda x: math.inf if x == 0.7 else 1.0, id="inf-at-the-evaluation-point"),
        pytest.param(lambda x: 1 / 0, id="raises"),
    ],
)
def test_non_finite_densities_after_the_build_end_every_method(bad):
    f = Recorder(Switch(lambda x: math.exp(-x), bad), limit=500_000)
    dist = drovik.from_pdf(f, IV)
    f.fn.on = True
    result = dist.cdf(0.7)
    assert math.isnan(result) or 0.0 <= result <= 1.0
    dist.logcdf(0.7)
    dist.logsf(0.7)
    for x in [dist.ppf(0.5), dist.ppf(0.999)] + dist.sample_n(2, seed=4):
        assert math.isnan(x) or 0.0 <= x <= 1.0


# ---------------------------------------------------------------------------
# Exceptions that are let through


def interrupting(good, exc_factory):
    return Switch(good, lambda x: raise_(exc_factory()))


METHOD_CALLS = [
    ("cdf", lambda d: d.cdf(0.5)),
    ("sf", lambda d: d.sf(0.5)),
    ("logcdf", lambda d: d.logcdf(0.5)),
    ("logsf", lambda d: d.logsf(0.5)),
    ("pdf", lambda d: d.pdf(0.5)),
    ("logpdf", lambda d: d.logpdf(0.5)),
    ("ppf", lambda d: d.ppf(0.3)),
    ("isf", lambda d: d.isf(0.3)),
    ("sample", lambda d: d.sample()),
    ("sample_n", lambda d: d.sample_n(3, seed=1)),
]
PDF_ONLY = {"pdf", "logpdf"}


@pytest.mark.parametrize(
    "exc_factory",
    [lambda: KeyboardInterrupt("stop"), lambda: drovik.PanicException("internal")],
    ids=["KeyboardInterrupt", "PanicException"],
)
@pytest.mark.parametrize("kind", ["pdf", "cdf"])
@pytest.mark.parametrize("name, call", METHOD_CALLS, ids=[m[0] for m in METHOD_CALLS])
def test_let_through_exceptions_propagate_and_the_object_stays_usable(kind, name, call, exc_factory):
    if kind == "cdf" and name in PDF_ONLY:
        pytest.skip("no density to call")
    good = (lambda x: 2.0 * x) if kind == "pdf" else (lambda x: x * x)
    f = interrupting(good, exc_factory)
    dist = drovik.from_pdf(f, IV) if kind == "pdf" else drovik.from_cdf(f, IV)
    before = [call(dist), dist.cdf(0.4), dist.sample_n(2, seed=8)]
    f.on = True
    expected = exc_factory()
    with pytest.raises(type(expected)) as info:
        call(dist)
    assert type(info.value) is type(expected)
    assert info.value.args == expected.args
    f.on = False
    after = [call(dist), dist.cdf(0.4), dist.sample_n(2, seed=8)]
    if name == "sample":
        before[0] = after[0] = None
    assert after == before


@pytest.mark.parametrize(
    "exc_factory",
    [lambda: KeyboardInterrupt("stop"), lambda: drovik.PanicException("internal")],
    ids=["KeyboardInterrupt", "PanicException"],
)
@pytest.mark.parametrize(
    "factory",
    [
        lambda f: drovik.from_pdf(f, IV),
        lambda f: drovik.from_pdf_with_options(f, IV, BuildOptions()),
        lambda f: drovik.from_pdf_dpdf(f, lambda x: 0.0, IV),
        lambda f: drovik.from_cdf(f, IV),
        lambda f: drovik.from_cdf_with_options(f, IV, BuildOptions.tdr("log")),
    ],
    ids=["from_pdf", "from_pdf_with_options", "from_pdf_dpdf", "from_cdf", "from_cdf_with_options"],
)
def test_let_through_exceptions_propagate_out_of_the_build(factory, exc_factory):
    f = Recorder(lambda x: raise_(exc_factory()))
    with pytest.raises(type(exc_factory())) as info:
        factory(f)
    assert info.value.args == exc_factory().args
    assert f.calls == 1


def test_keyboard_interrupt_from_the_result_conversion_propagates():
    class Interrupting:
        def __float__(self):
            raise KeyboardInterrupt("in __float__")

    with pytest.raises(KeyboardInterrupt, match="in __float__"):
        drovik.from_pdf(lambda x: Interrupting(), IV)


def test_keyboard_interrupt_subclass_propagates():
    class Stop(KeyboardInterrupt):
        pass

    with pytest.raises(Stop):
        drovik.from_cdf(lambda x: raise_(Stop()), IV)


def test_keyboard_interrupt_midway_through_sample_n():
    state = {"armed": False, "n": 0}

    def density(x):
        if state["armed"]:
            state["n"] += 1
            if state["n"] == 2000:
                raise KeyboardInterrupt
        return math.exp(-x)

    dist = drovik.from_pdf(density, IV)
    first = dist.sample_n(4, seed=2)
    state["armed"] = True
    with pytest.raises(KeyboardInterrupt):
        dist.sample_n(40, seed=2)
    assert state["n"] == 2000
    state["armed"] = False
    assert dist.sample_n(4, seed=2) == first


@pytest.mark.skipif(signal.getsignal(signal.SIGINT) is not signal.default_int_handler,
                    reason="SIGINT is not handled by the default handler here")
def test_ctrl_c_while_sampling_raises_keyboard_interrupt():
    calls = {"n": 0}

    def density(x):
        calls["n"] += 1
        if calls["n"] == 3000:
            signal.raise_signal(signal.SIGINT)
        return 2.0 * x

    dist = drovik.from_pdf(density, IV)
    calls["n"] = 0
    with pytest.raises(KeyboardInterrupt):
        dist.sample_n(1000, seed=1)
    assert calls["n"] == 3000


def test_keyboard_interrupt_crosses_nested_distributions():
    inner = Switch(lambda x: 2.0 * x, lambda x: raise_(KeyboardInterrupt("inner")))
    d1 = drovik.from_pdf(inner, IV)
    d2 = drovik.from_pdf(d1.pdf, IV)
    inner.on = True
    with pytest.raises(KeyboardInterrupt, match="inner"):
        d2.cdf(0.5)
    inner.on = False
    assert d2.cdf(0.5) == pytest.approx(0.25)


def test_keyboard_interrupt_from_a_reentrant_call_of_the_same_distribution():
    state = {"dist": None, "depth": 0, "interrupt": False}

    def density(x):
        if state["dist"] is not None and state["depth"] == 0:
            state["depth"] += 1
            try:
                state["dist"].cdf(0.25)
            finally:
                state["depth"] -= 1
        if state["interrupt"] and state["depth"] == 1:
            raise KeyboardInterrupt("from the inner call")
        return 1.0

    state["dist"] = dist = drovik.from_pdf(density, IV)
    state["interrupt"] = True
    with pytest.raises(KeyboardInterrupt, match="from the inner call"):
        dist.cdf(0.5)
    state["interrupt"] = False
    assert dist.cdf(0.5) == 0.5
    state["dist"] = None


# ---------------------------------------------------------------------------
# Re-entrance and composition


def test_density_may_call_its_own_distribution():
    seen = []
    state = {"dist": None, "depth": 0}

    def density(x):
        if state["dist"] is not None and state["depth"] == 0:
            state["depth"] += 1
            try:
                seen.append((state["dist"].cdf(0.3), state["dist"].pdf(0.2), state["dist"].ppf(0.5)))
            finally:
                state["depth"] -= 1
        return 1.0

    dist = drovik.from_pdf(density, IV)
    state["dist"] = dist
    assert dist.cdf(0.5) == 0.5
    assert len(seen) == 9
    assert all(entry == (0.3, 1.0, 0.5) for entry in seen)
    state["dist"] = None


def test_distributions_compose_through_their_methods():
    base = drovik.from_pdf(lambda x: 2.0 * x, IV)
    from_density = drovik.from_pdf(base.pdf, IV)
    from_cdf = drovik.from_cdf(base.cdf, IV)
    for u in (0.1, 0.5, 0.9):
        assert from_density.ppf(u) == pytest.approx(math.sqrt(u), abs=1e-9)
        assert from_cdf.ppf(u) == pytest.approx(math.sqrt(u), abs=1e-9)
    assert from_density.cdf(0.5) == pytest.approx(0.25)
    assert from_cdf.cdf(0.5) == pytest.approx(0.25)
    # A distribution function returning None for lack of a density is a failure like any other.
    build_error(drovik.from_pdf, drovik.from_cdf(lambda x: x, IV).pdf, IV)


# ---------------------------------------------------------------------------
# Arguments


def test_each_call_gets_a_fresh_float():
    kept = []
    values = [0.125, 0.125, 0.5, 2.0, 0.125]

    def density(x):
        kept.append(x)
        return 1.0

    dist = drovik.from_pdf(density, IV)
    kept.clear()
    for v in values:
        dist.pdf(v)
    assert kept == values
    assert all(type(x) is float for x in kept)
    assert len({id(x) for x in kept}) == len(kept)
    assert all(x is not v for x, v in zip(kept, values))
    kept.clear()
    dist.pdf(3)
    assert type(kept[0]) is float and kept[0] == 3.0


def test_kept_arguments_are_never_reused_or_leaked():
    kept = []

    def density(x):
        kept.append(x)
        return 1.0

    dist = drovik.from_pdf(density, Interval(0.0, 2.0))
    kept.clear()
    dist.cdf(1.0)
    assert kept == [0.0, 0.5, 1.0, 0.0, 0.25, 0.5, 0.5, 0.75, 1.0]
    assert len({id(x) for x in kept}) == 9
    counts = [sys.getrefcount(x) for x in kept]
    fresh = [float(str(i)) for i in range(9)]
    baseline = [sys.getrefcount(x) for x in fresh]
    # Nothing else holds an argument once its call is over; the adapter may still
    # hold the last one until its next call.
    assert counts[:-1] == baseline[:-1]
    assert counts[-1] <= baseline[-1] + 1


def test_argument_tuples_held_by_the_callable_keep_their_contents():
    held = []

    def cdf(x):
        # Find the argument tuple the call was made with and keep every other one.
        for ref in gc.get_referrers(x):
            if type(ref) is tuple and len(ref) == 1 and ref[0] is x:
                if len(cdf.seen) % 2 == 0:
                    held.append((ref, x, float(x)))
        cdf.seen.append(x)
        return x

    cdf.seen = []
    # A collection could untrack a tuple of floats and hide it from get_referrers.
    enabled = gc.isenabled()
    gc.disable()
    try:
        dist = drovik.from_cdf(cdf, IV)
        for x in (0.125, 0.25, 0.375, 0.5, 0.625, 0.75, 0.875):
            assert dist.cdf(x) == x
    finally:
        if enabled:
            gc.enable()
    assert cdf.seen == [0.0, 1.0, 0.125, 0.25, 0.375, 0.5, 0.625, 0.75, 0.875]
    assert len(held) >= 3
    for ref, x, value in held:
        assert ref[0] is x and ref[0] == value


def test_star_args_callable_sees_one_positional_float():
    calls = []

    def density(*args, **kwargs):
        calls.append((args, kwargs))
        return 1.0

    dist = drovik.from_pdf(density, IV)
    dist.pdf(0.25)
    dist.pdf(0.75)
    assert calls[-2:] == [((0.25,), {}), ((0.75,), {})]
    assert calls[-2][0] is not calls[-1][0]


def test_threads_sharing_a_distribution_see_their_own_arguments():
    def cdf(x):
        time.sleep(0)  # lets the other threads run in the middle of a call
        return x * x

    dist = drovik.from_cdf(cdf, IV)
    seeds = [1, 2, 3, 4]
    expected = {seed: dist.sample_n(6, seed=seed) for seed in seeds}
    results = {}
    errors = []

    def work(seed):
        try:
            results[seed] = dist.sample_n(6, seed=seed)
            results[(seed, "cdf")] = [dist.cdf(v) for v in (0.1, 0.2, 0.3)]
        except BaseException as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(seed,)) for seed in seeds]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    for seed in seeds:
        assert results[seed] == expected[seed]
        assert results[(seed, "cdf")] == [0.1 * 0.1, 0.2 * 0.2, 0.3 * 0.3]


# ---------------------------------------------------------------------------
# Reference counts


def density_fn(x):
    return 1.0 + x


def cdf_fn(x):
    return x * x


def none_fn(x):
    return None


def interrupt_fn(x):
    raise KeyboardInterrupt


def panic_fn(x):
    raise drovik.PanicException("inside")


OPTIONS = BuildOptions(max_iterations=20)
FACTORIES = {
    "from_pdf": lambda f, g: drovik.from_pdf(f, IV),
    "from_pdf_with_options": lambda f, g: drovik.from_pdf_with_options(f, IV, OPTIONS),
    "from_pdf_dpdf": lambda f, g: drovik.from_pdf_dpdf(f, g, IV),
    "from_pdf_dpdf_with_options": lambda f, g: drovik.from_pdf_dpdf(f, g, IV, OPTIONS),
    "from_cdf": lambda f, g: drovik.from_cdf(f, IV),
    "from_cdf_with_options": lambda f, g: drovik.from_cdf_with_options(f, IV, OPTIONS),
    "from_cdf_with_tdr_options": lambda f, g: drovik.from_cdf_with_options(f, IV, BuildOptions.tdr("log")),
}


def exercise(dist):
    dist.cdf(0.5)
    dist.pdf(0.25)
    dist.logpdf(0.25)
    dist.ppf(0.5)
    dist.sample_n(1, seed=1)
    dist.support()


@pytest.mark.parametrize("name", FACTORIES)
@pytest.mark.parametrize("fn", [density_fn, cdf_fn, none_fn, interrupt_fn, panic_fn],
                         ids=["good-density", "good-cdf", "failing", "interrupting", "panicking"])
def test_building_and_dropping_returns_reference_counts(name, fn):
    make = FACTORIES[name]
    other = cdf_fn if fn is density_fn else density_fn
    gc.collect()
    start = sys.getrefcount(fn), sys.getrefcount(other)
    for _ in range(30):
        try:
            dist = make(fn, other)
        except (drovik.BuildError, KeyboardInterrupt, drovik.PanicException):
            continue
        exercise(dist)
        del dist
    gc.collect()
    assert (sys.getrefcount(fn), sys.getrefcount(other)) == start


def test_shared_callable_is_released_by_its_last_holder():
    start = sys.getrefcount(density_fn)
    first = drovik.from_pdf(density_fn, IV)
    second = drovik.from_pdf_dpdf(density_fn, density_fn, IV)
    assert sys.getrefcount(density_fn) > start
    del first
    assert sys.getrefcount(density_fn) > start
    del second
    assert sys.getrefcount(density_fn) == start


@pytest.mark.parametrize(
    "make_result",
    [lambda: FloatLike(), lambda: BadFloat(), lambda: object(), lambda: "text" * 3],
    ids=["converts", "conversion-raises", "no-conversion", "str"],
)
def test_results_are_released(make_result):
    result = make_result()
    switch = Switch(lambda x: 1.0, lambda x: result)
    dist = drovik.from_pdf(switch, IV)
    switch.on = True
    start = sys.getrefcount(result)
    for _ in range(50):
        dist.cdf(0.5)
        dist.pdf(0.5)
        dist.logpdf(0.5)
    assert sys.getrefcount(result) == start


# ---------------------------------------------------------------------------
# Cyclic garbage collection


class Model:
    """Owns a distribution built from its own bound methods."""

    def __init__(self, build):
        self.finalized = []
        self.dist = build(self)

    def density(self, x):
        return 1.0

    def derivative(self, x):
        return 0.0

    def cdf(self, x):
        return x


CYCLE_BUILDERS = {
    "from_pdf": lambda m: drovik.from_pdf(m.density, IV),
    "from_pdf_with_options": lambda m: drovik.from_pdf_with_options(m.density, IV, BuildOptions()),
    "from_pdf_dpdf-through-density": lambda m: drovik.from_pdf_dpdf(m.density, density_fn, IV),
    "from_pdf_dpdf-through-derivative": lambda m: drovik.from_pdf_dpdf(density_fn, m.derivative, IV),
    "from_cdf": lambda m: drovik.from_cdf(m.cdf, IV),
    "from_cdf_with_options": lambda m: drovik.from_cdf_with_options(m.cdf, IV, BuildOptions()),
}


def collected_only_by_the_cycle_collector(make_owner):
    """Builds the owner, drops it, and checks that only gc.collect() frees it."""
    gc.collect()
    enabled = gc.isenabled()
    gc.disable()
    try:
        owner = make_owner()
        freed = []
        weakref.finalize(owner, freed.append, True)
        del owner
        assert freed == [], "the distribution does not hold its callable: there is no cycle"
        gc.collect()
        assert freed == [True]
    finally:
        if enabled:
            gc.enable()


@pytest.mark.parametrize("name", CYCLE_BUILDERS)
def test_bound_method_cycle_is_collected(name):
    collected_only_by_the_cycle_collector(lambda: Model(CYCLE_BUILDERS[name]))


@pytest.mark.parametrize("name", ["from_pdf", "from_cdf"])
def test_closure_cycle_is_collected(name):
    class Box:
        pass

    def make():
        box = Box()

        def f(x):
            return 1.0 if box is not None else 0.0

        def c(x):
            return x if box is not None else 0.0

        box.dist = drovik.from_pdf(f, IV) if name == "from_pdf" else drovik.from_cdf(c, IV)
        return box

    collected_only_by_the_cycle_collector(make)


def test_distribution_reports_its_callables_to_the_collector():
    def f(x):
        return 1.0

    def g(x):
        return 0.0

    dist = drovik.from_pdf_dpdf(f, g, IV)
    assert gc.is_tracked(dist)
    referents = gc.get_referents(dist)
    assert any(r is f for r in referents)
    assert any(r is g for r in referents)


def test_finalizer_in_a_cycle_can_still_use_the_distribution():
    results = []

    class Owner:
        def density(self, x):
            return 2.0 * x

        def __del__(self):
            results.append(self.dist.cdf(0.5))

    gc.collect()
    owner = Owner()
    owner.dist = drovik.from_pdf(owner.density, IV)
    del owner
    gc.collect()
    assert results == [pytest.approx(0.25)]


def test_distribution_without_a_cycle_is_freed_at_once():
    class Owner:
        def density(self, x):
            return 1.0

    owner = Owner()
    dist = drovik.from_pdf(owner.density, IV)
    freed = []
    weakref.finalize(owner, freed.append, True)
    del owner
    assert freed == []
    del dist
    assert freed == [True]
