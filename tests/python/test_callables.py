"""The adapters through which the core calls user functions: result conversion, failures turned into NaN, the
exceptions let through, re-entrance, threads, reference counts and cyclic garbage collection."""

import gc
import math
import signal
import sys
import threading
import time
import weakref

import pytest

import drovik
from _replica import Recorder, Switch, exact_after_one_step, raises_exactly

Interval = drovik.Interval
BuildOptions = drovik.BuildOptions
IV = Interval(0.0, 1.0)
NORMALIZE = "failed to normalize PDF on support"
INVERT = "failed to invert CDF"


def raise_(exc):
    raise exc


FloatLike = type("FloatLike", (), {"__float__": lambda self: 1.0})
IndexLike = type("IndexLike", (), {"__index__": lambda self: 1})
BadFloat = type("BadFloat", (), {"__float__": lambda self: raise_(ValueError("no float"))})


@pytest.mark.parametrize(
    "value", [True, FloatLike(), IndexLike(), type("F", (float,), {})(1.0)], ids=lambda v: type(v).__name__,
)
def test_results_convertible_to_float_are_accepted(value):
    assert drovik.from_pdf(lambda x: value, Interval(0.0, 2.0)).cdf(0.5) == 0.25
    assert drovik.from_cdf(lambda x: value if x > 0.5 else 0, IV).cdf(0.75) == 1.0


def test_genuine_minus_one_is_not_a_failure():
    minus_one = type("M", (), {"__float__": lambda self: -1.0})()
    for c in (lambda x: 2.0 * x - 1.0, lambda x: -1 if x == 0.0 else 1, lambda x: minus_one if x == 0.0 else x):
        dist = drovik.from_cdf(c, IV)
        assert dist.cdf(0.0) == 0.0 and 0.5 <= dist.cdf(0.5) <= 1.0
    assert drovik.from_pdf(lambda x: 1.0 if 0.0 <= x <= 1.0 else -1.0, IV).pdf(2.0) == -1.0


FAILING_RESULTS = [
    pytest.param(lambda x: 1 / 0, id="raises"),
    pytest.param(lambda x: None, id="none"),
    pytest.param(lambda x: "1.0", id="str"),
    pytest.param(lambda x: 10**400, id="int-too-large"),
    pytest.param(lambda x: BadFloat(), id="float-raises"),
    pytest.param(lambda x: raise_(SystemExit(1)), id="system-exit"),
    pytest.param(lambda: 1.0, id="wrong-arity"),
    pytest.param(42, id="not-callable"),
]


@pytest.mark.parametrize("bad", FAILING_RESULTS)
def test_failing_callable_fails_the_build_with_the_normalization_error(bad):
    for factory in (drovik.from_pdf, drovik.from_cdf, lambda f, iv: drovik.from_pdf_dpdf(f, f, iv)):
        error = raises_exactly(drovik.BuildError, NORMALIZE, factory, bad, IV)
        assert error.__context__ is None and error.__cause__ is None


@pytest.mark.parametrize("bad", FAILING_RESULTS[:6])
def test_failing_callable_after_the_build(bad):
    f, c = Switch(lambda x: 2.0 * x, bad), Switch(lambda x: x, bad)
    dist, cdist = drovik.from_pdf(f, IV), drovik.from_cdf(c, IV)
    f.on = c.on = True
    assert [math.isnan(v) for v in (dist.cdf(0.5), dist.pdf(0.5), dist.logcdf(0.5), dist.logsf(0.5))] == [True] * 4
    assert (dist.logpdf(0.5), dist.sf(0.5), dist.cdf(1.0), cdist.sf(0.5)) == (None, 0.0, 1.0, 0.0)
    # A distribution function that is NaN inside the support is no quantile of anything: every inversion fails
    # instead of returning the lower end of the support.
    calls = [lambda d=d, call=call: call(d) for d in (dist, cdist) for call in (
        lambda d: d.ppf(0.3), lambda d: d.isf(0.3), lambda d: d.sample(), lambda d: d.sample_n(3, seed=1))]
    calls += [dist.median, lambda: dist.interval(0.9)]
    for call in calls:
        assert raises_exactly(drovik.SampleError, INVERT, call).__context__ is None
    f.on = False
    assert dist.cdf(0.5) == pytest.approx(0.25)


def test_discarded_errors_leave_the_handled_exception_alone():
    f = Switch(lambda x: 1.0, lambda x: 1 / 0)
    dist = drovik.from_pdf(f, IV)
    f.on = True
    try:
        raise LookupError("outer")
    except LookupError as outer:
        assert math.isnan(dist.cdf(0.5)) and sys.exc_info()[1] is outer


@pytest.mark.parametrize(
    "density",
    [pytest.param(lambda x: math.nan, id="nan-everywhere"),
     pytest.param(lambda x: math.nan if 0.2 <= x <= 0.3 else math.exp(x), id="nan-on-a-sub-interval"),
     pytest.param(lambda x: math.inf if x == 1.0 else 1.0, id="inf-at-right-end"),
     pytest.param(lambda x: math.nan if x == 1.0 else 1.0, id="nan-at-right-end"),
     pytest.param(lambda x: math.inf if x == 0.0 else x**-0.5, id="pole-at-left-end"),
     pytest.param(lambda x: (1.0 - x) ** -0.5, id="pole-at-right-end-raising"),
     pytest.param(lambda x: math.inf if x == 0.5 else 1.0, id="inf-at-midpoint"),
     pytest.param(lambda x: math.nan if x == 0.5 else 1.0, id="nan-at-midpoint"),
     pytest.param(lambda x: -math.inf if x == 0.25 else 1.0, id="minus-inf-inside")],
)
def test_non_finite_densities_fail_the_build_promptly(density):
    raises_exactly(drovik.BuildError, NORMALIZE, drovik.from_pdf, Recorder(density, limit=200_000), IV)


@pytest.mark.parametrize(
    "bad",
    [lambda x: math.nan if 0.3 <= x <= 0.35 else 1.0, lambda x: math.inf if x == 0.7 else 1.0],
    ids=["nan-on-a-sub-interval", "inf-at-the-evaluation-point"],
)
def test_non_finite_densities_after_the_build_end_every_method(bad):
    f = Recorder(Switch(lambda x: math.exp(-x), bad), limit=500_000)
    dist = drovik.from_pdf(f, IV)
    f.fn.on = True
    dist.cdf(0.7), dist.logcdf(0.7), dist.logsf(0.7)
    for call in (lambda: [dist.ppf(0.5)], lambda: [dist.ppf(0.999)], lambda: dist.sample_n(2, seed=4)):
        try:
            assert all(0.0 <= x <= 1.0 for x in call())
        except drovik.SampleError as error:
            assert str(error) == INVERT


# ---------------------------------------------------------------------------
# Exceptions that are let through, at once

Stop = type("Stop", (KeyboardInterrupt,), {})
LET_THROUGH = [lambda: KeyboardInterrupt("stop"), lambda: drovik.PanicException("internal"), lambda: Stop("sub")]
METHODS = ["cdf", "sf", "logcdf", "logsf", "pdf", "logpdf", "ppf", "isf", "sample", "sample_n"]


@pytest.mark.parametrize("exc_factory", LET_THROUGH[:2], ids=["KeyboardInterrupt", "PanicException"])
@pytest.mark.parametrize("kind", ["pdf", "cdf"])
@pytest.mark.parametrize("name", METHODS)
def test_let_through_exceptions_stop_at_once_and_the_object_stays_usable(kind, name, exc_factory):
    if kind == "cdf" and name in ("pdf", "logpdf"):
        pytest.skip("no density to call")
    args = {"sample": (), "sample_n": (3, 1)}.get(name, (0.3,))
    call = lambda d: getattr(d, name)(*args)  # noqa: E731
    f = Recorder(Switch((lambda x: 2.0 * x) if kind == "pdf" else (lambda x: x * x), lambda x: raise_(exc_factory())))
    dist = drovik.from_pdf(f, IV) if kind == "pdf" else drovik.from_cdf(f, IV)
    before = [call(dist), dist.sample_n(2, seed=8)]
    f.fn.on = True
    f.args.clear()
    with pytest.raises(type(exc_factory())) as info:
        call(dist)
    assert type(info.value) is type(exc_factory()) and info.value.args == exc_factory().args
    assert f.calls == 1
    f.fn.on = False
    after = [call(dist), dist.sample_n(2, seed=8)]
    assert after[1:] == before[1:] and (name == "sample" or after == before)


@pytest.mark.parametrize("exc_factory", LET_THROUGH, ids=["KeyboardInterrupt", "PanicException", "subclass"])
@pytest.mark.parametrize(
    "factory",
    [lambda f: drovik.from_pdf_with_options(f, IV, BuildOptions.hermite(4)),
     lambda f: drovik.from_pdf_dpdf(f, lambda x: 0.0, IV, BuildOptions.tdr("log")),
     lambda f: drovik.from_cdf_with_options(f, IV, BuildOptions.tdr("log"))],
    ids=["from_pdf_with_options", "from_pdf_dpdf", "from_cdf_with_options"],
)
def test_let_through_exceptions_leave_the_build_at_once(factory, exc_factory):
    f = Recorder(lambda x: raise_(exc_factory()))
    with pytest.raises(type(exc_factory())) as info:
        factory(f)
    assert info.value.args == exc_factory().args and f.calls == 1


def test_keyboard_interrupt_from_the_result_conversion_propagates():
    interrupting = type("I", (), {"__float__": lambda self: raise_(KeyboardInterrupt("in __float__"))})()
    with pytest.raises(KeyboardInterrupt, match="in __float__"):
        drovik.from_pdf(lambda x: interrupting, IV)


@pytest.mark.skipif(signal.getsignal(signal.SIGINT) is not signal.default_int_handler,
                    reason="SIGINT is not handled by the default handler here")
def test_ctrl_c_while_sampling_raises_keyboard_interrupt():
    calls = []

    def density(x):
        calls.append(x)
        return signal.raise_signal(signal.SIGINT) if len(calls) == 3000 else 2.0 * x

    dist = drovik.from_pdf(density, IV)
    calls.clear()
    with pytest.raises(KeyboardInterrupt):
        dist.sample_n(1000, seed=1)
    assert len(calls) == 3000


# ---------------------------------------------------------------------------
# Re-entrance, composition, arguments and threads


def test_density_may_call_its_own_distribution_and_an_interrupt_there_unwinds():
    seen, state = [], {"dist": None, "depth": 0, "interrupt": False}

    def density(x):
        if state["dist"] is not None and state["depth"] == 0:
            state["depth"] = 1
            seen.append((state["dist"].cdf(0.3), state["dist"].pdf(0.2), state["dist"].ppf(0.5)))
            state["depth"] = 0
        if state["interrupt"] and state["depth"] == 1:
            raise KeyboardInterrupt("from the inner call")
        return 1.0

    state["dist"] = dist = drovik.from_pdf(density, IV)
    assert dist.cdf(0.5) == 0.5 and seen == [(0.3, 1.0, 0.5)] * len(exact_after_one_step(0.0, 0.5))
    state["interrupt"] = True
    with pytest.raises(KeyboardInterrupt, match="from the inner call"):
        dist.cdf(0.5)
    state.update(dist=None, interrupt=False)
    assert dist.cdf(0.5) == 0.5  # no borrow is left behind


def test_distributions_compose_and_interrupts_cross_them():
    inner = Switch(lambda x: 2.0 * x, lambda x: raise_(KeyboardInterrupt("inner")))
    base = drovik.from_pdf(inner, IV)
    from_density, from_cdf = drovik.from_pdf(base.pdf, IV), drovik.from_cdf(base.cdf, IV)
    assert [from_density.ppf(0.25), from_cdf.ppf(0.25)] == pytest.approx([0.5, 0.5], abs=1e-9)
    inner.on = True
    with pytest.raises(KeyboardInterrupt, match="inner"):
        from_density.cdf(0.5)
    # A None from a distribution function's pdf is a failure like any other.
    raises_exactly(drovik.BuildError, NORMALIZE, drovik.from_pdf, drovik.from_cdf(lambda x: x, IV).pdf, IV)


def test_each_call_gets_one_fresh_positional_float_that_nothing_keeps():
    kept = []
    dist = drovik.from_pdf(lambda *args, **kwargs: kept.append((args, kwargs)) or 1.0, Interval(0.0, 2.0))
    kept.clear()
    dist.cdf(1.0), dist.pdf(3)
    points = exact_after_one_step(0.0, 1.0) + [3.0]
    assert [a for a, _ in kept] == [(x,) for x in points]
    floats = [a[0] for a, k in kept if type(a[0]) is float and k == {}]
    assert len({id(x) for x in floats}) == len(points) and len({id(a) for a, _ in kept}) == len(points)
    del kept[:]
    # The adapter may hold the last argument until its next call, nothing else holds any.
    fresh = [float(str(i)) for i in range(len(floats))]
    assert [sys.getrefcount(x) for x in floats][:-1] == [sys.getrefcount(x) for x in fresh][:-1]


def test_argument_tuples_held_by_the_callable_keep_their_contents():
    held, seen = [], []

    def cdf(x):
        for ref in gc.get_referrers(x):
            if type(ref) is tuple and len(ref) == 1 and ref[0] is x and len(seen) % 2 == 0:
                held.append((ref, x, float(x)))
        seen.append(x)
        return x

    enabled = gc.isenabled()
    gc.disable()  # a collection could untrack a tuple of floats and hide it from get_referrers
    try:
        dist = drovik.from_cdf(cdf, IV)
        assert [dist.cdf(x) for x in (0.125, 0.25, 0.375, 0.5, 0.625)] == [0.125, 0.25, 0.375, 0.5, 0.625]
    finally:
        if enabled:
            gc.enable()
    assert len(held) >= 3 and all(ref[0] is x and ref[0] == value for ref, x, value in held)


def test_threads_sharing_a_distribution_see_their_own_arguments():
    dist = drovik.from_cdf(lambda x: time.sleep(0) or x * x, IV)  # sleep lets other threads run mid-call
    expected = {seed: dist.sample_n(6, seed=seed) for seed in range(4)}
    results = {}
    threads = [threading.Thread(target=lambda s=s: results.update({s: (dist.sample_n(6, seed=s), dist.cdf(0.3))}))
               for s in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == {s: (expected[s], 0.3 * 0.3) for s in range(4)}


def test_a_density_walking_the_heap_never_meets_a_half_filled_result():
    calls = []

    def cdf(x):
        calls.append(x)
        if len(calls) == 2 * 2100:  # inside the second chunk of draws
            [list(obj) for obj in gc.get_objects() if type(obj) is list]
        return x

    result = drovik.from_cdf_with_options(cdf, IV, BuildOptions(max_iterations=0)).sample_n(3000, seed=1)
    assert result == [0.5] * 3000 and gc.is_tracked(result)


# ---------------------------------------------------------------------------
# Reference counts and garbage collection


def density_fn(x):
    return 1.0 + x


def dpdf_fn(x):
    return 1.0


def none_fn(x):
    return None


def interrupt_fn(x):
    raise KeyboardInterrupt


FACTORIES = {
    "from_pdf": lambda f, g: drovik.from_pdf(f, IV),
    "from_pdf_dpdf_tdr": lambda f, g: drovik.from_pdf_dpdf(f, g, IV, BuildOptions.tdr("log", 4)),
    "from_pdf_hermite": lambda f, g: drovik.from_pdf_with_options(f, IV, BuildOptions.hermite(4)),
    "from_cdf": lambda f, g: drovik.from_cdf(f, IV),
    "from_cdf_with_tdr_options": lambda f, g: drovik.from_cdf_with_options(f, IV, BuildOptions.tdr("log")),
}


@pytest.mark.parametrize("name", FACTORIES)
@pytest.mark.parametrize("fn", [density_fn, none_fn, interrupt_fn], ids=["good", "failing", "interrupting"])
def test_building_and_dropping_returns_reference_counts(name, fn):
    gc.collect()
    start = sys.getrefcount(fn), sys.getrefcount(dpdf_fn)
    for _ in range(20):
        try:
            dist = FACTORIES[name](fn, dpdf_fn)
        except (drovik.BuildError, KeyboardInterrupt):
            continue
        dist.cdf(0.5), dist.pdf(0.25), dist.ppf(0.5), dist.sample_n(1, seed=1), dist.support()
        del dist
    gc.collect()
    assert (sys.getrefcount(fn), sys.getrefcount(dpdf_fn)) == start


@pytest.mark.parametrize("make_result", [FloatLike, BadFloat, object], ids=["converts", "conversion-raises", "none"])
def test_results_are_released(make_result):
    result = make_result()
    switch = Switch(lambda x: 1.0, lambda x: result)
    dist = drovik.from_pdf(switch, IV)
    switch.on = True
    start = sys.getrefcount(result)
    for _ in range(50):
        dist.cdf(0.5), dist.pdf(0.5), dist.logpdf(0.5)
    assert sys.getrefcount(result) == start


class Owner:
    pass


@pytest.mark.parametrize(
    "build",
    [lambda o: drovik.from_pdf(lambda x, o=o: 1.0, IV),
     lambda o: drovik.from_pdf_dpdf(density_fn, lambda x, o=o: 0.0, IV),
     lambda o: drovik.from_cdf_with_options(lambda x, o=o: x, IV, BuildOptions.hermite(4))],
    ids=["from_pdf", "through-the-derivative", "from_cdf_with_options"],
)
def test_cycle_through_a_callable_is_collected_only_by_the_collector(build):
    gc.collect()
    enabled = gc.isenabled()
    gc.disable()
    try:
        freed, owner = [], Owner()
        owner.dist = build(owner)  # the callable holds its owner: a cycle
        weakref.finalize(owner, freed.append, True)
        del owner
        assert freed == [], "the distribution does not hold its callable: there is no cycle"
        gc.collect()
        assert freed == [True]
    finally:
        if enabled:
            gc.enable()
