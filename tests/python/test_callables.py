"""User functions of every family: results converted or turned into NaN, junk the samplers must guard against, the
exceptions let through, re-entrance, threads, reference counts and cyclic garbage collection."""

import gc
import math
import sys
import weakref

import pytest

import drovik
import multivar_ref as ref
from _helpers import (CALLS, CORR, MAKE, Calls, Float, Index, as_double, collector_off, error_of, good, on_thread,
                      prepared, raise_, raising, same, unit_box, user)
from _replica import Recorder, Switch, raises_exactly
from multivar_ref import seeded

Interval = drovik.Interval
BuildOptions = drovik.BuildOptions
IV = Interval(0.0, 1.0)
NAN, INF = math.nan, math.inf
NORMALIZE = "failed to normalize PDF on support"
INVERT = "failed to invert CDF"
BOUND = ("mh", "hmc", "gibbs", "cdf_mc")  # usable only on the thread that made them


# ---------------------------------------------------------------------------
# Results: what converts, and failures seen as NaN


FAILING_RESULTS = [
    pytest.param(lambda x: 1 / 0, id="raises"), pytest.param(lambda x: None, id="none"),
    pytest.param(lambda x: 10**400, id="int-too-large"), pytest.param(lambda x: Float(ValueError), id="float-raises"),
    pytest.param(lambda x: raise_(SystemExit(1)), id="exit"), pytest.param(lambda: 1.0, id="wrong-arity"),
]  # an object that cannot be called fails like the wrong arity; a str like None


@pytest.mark.parametrize("bad", FAILING_RESULTS)
def test_failing_callable_fails_the_build_with_the_normalization_error(bad):
    for factory in (drovik.from_pdf, drovik.from_cdf, lambda f, iv: drovik.from_pdf_dpdf(f, f, iv)):
        error = raises_exactly(drovik.BuildError, NORMALIZE, factory, bad, IV)
        assert error.__context__ is None and error.__cause__ is None


@pytest.mark.parametrize("bad", FAILING_RESULTS)
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
    for call in calls + [dist.median, lambda: dist.interval(0.9)]:
        assert raises_exactly(drovik.SampleError, INVERT, call).__context__ is None
    f.on = False
    assert dist.cdf(0.5) == pytest.approx(0.25)
    try:  # a discarded error leaves the exception being handled alone
        raise LookupError("outer")
    except LookupError as outer:
        f.on = True
        assert math.isnan(dist.cdf(0.5)) and sys.exc_info()[1] is outer


# ---------------------------------------------------------------------------
# Junk from the conditional draws and the quantile functions (the densities' junk: test_multivar's replays)

# A failing call and a failing conversion (the adapters share one call path, pinned above; an object that cannot be
# called fails like the call), and every value a guard must see.
JUNK = {"none": None, "raises": raising, "nan": NAN, "inf": INF, "-inf": -INF, "negative": -1.0, "zero": 0.0,
        "-0.0": -0.0, "max": 1.7976931348623157e308, "index": Index(3), "float-like": Float(2.5)}
JUNK_PARAMS = [pytest.param(v, id=k) for k, v in JUNK.items()]


def junk_result(junk, *args):
    return junk(*args) if junk is raising else junk


def converted(junk):  # the double the module reads, or None when the call or the conversion fails
    return None if junk is raising or error_of(as_double, junk) else as_double(junk)


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
        sampler = drovik.gibbs_sampler(fn, unit_box(), [0.5, 0.25])
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


# ---------------------------------------------------------------------------
# Exceptions that are let through, at once

Stop = type("Stop", (KeyboardInterrupt,), {})
HOW = {"interrupt": lambda: KeyboardInterrupt("stop"), "panic": lambda: drovik.PanicException("internal"),
       "subclass": lambda: Stop("sub")}
MOMENTS = ("mean", "var", "std", "entropy")  # a distribution function alone has none, nor a density
ARGS = {"sample_n": (3, 1), "interval": (0.5,), **dict.fromkeys(("sample", "median", *MOMENTS), ())}
EVERY_CALL = {kind: {name: lambda d, fn, name=name: getattr(d, name)(*ARGS.get(name, (0.3,)))
                     for name in ("cdf", "sf", "logcdf", "logsf", "pdf", "logpdf", "ppf", "isf", "sample", "sample_n",
                                  "median", "interval", *MOMENTS)
                     if not (kind == "cdf" and ("pdf" in name or name in MOMENTS))}
              for kind in ("pdf", "cdf")}
EVERY_CALL.update(CALLS)
EVERY_MAKE = {"pdf": lambda fn: drovik.from_pdf(fn, IV), "cdf": lambda fn: drovik.from_cdf(fn, IV)}
GOOD_UNIVARIATE = {"pdf": lambda x: 2.0 * x, "cdf": lambda x: x * x}


# Every method with an interrupt; a panic and an interrupt from a conversion take the same path in the one adapter
# call, so the first method of each kind is enough for them.
@pytest.mark.parametrize("kind, name, how", [
    pytest.param(k, n, how, id=f"{k}.{n}-{how}") for k in EVERY_CALL for i, n in enumerate(EVERY_CALL[k])
    for how in ("interrupt", "panic", "interrupt-from-float")[:3 if i == 0 else 1]])
def test_let_through_exceptions_leave_every_method_at_once(kind, name, how):
    exc, ok = HOW[how.split("-")[0]](), GOOD_UNIVARIATE.get(kind) or good(kind)
    fn = Calls(ok)
    obj = EVERY_MAKE[kind](fn) if kind in EVERY_MAKE else MAKE[kind](fn) if name == "init" else prepared(kind, fn)
    fn.fn, fn.args[:] = ((lambda *a: Float(exc)) if how.endswith("float") else (lambda *a: raise_(exc))), []
    with pytest.raises(type(exc)) as info:
        EVERY_CALL[kind][name](obj, fn)
    assert info.value is exc and len(fn.args) == 1  # no second try with a list
    fn.fn = ok
    for call in EVERY_CALL[kind].values():  # usable again: no borrow is left behind
        call(obj, fn)


BUILDS = {"from_pdf_with_options": lambda f: drovik.from_pdf_with_options(f, IV, BuildOptions.hermite(4)),
          "from_pdf_dpdf": lambda f: drovik.from_pdf_dpdf(f, lambda x: 0.0, IV, BuildOptions.tdr("log")),
          "from_cdf_with_options": lambda f: drovik.from_cdf_with_options(f, IV, BuildOptions.tdr("log")),
          "loc_scale": lambda f: drovik.from_pdf_loc_scale(f, IV, 1.0, 2.0),
          "truncated": lambda f: drovik.truncated(f, Interval(-1.0, 2.0), IV)}


# Every build algorithm with an interrupt; the other kinds take the adapter's one path, shown on the first.
@pytest.mark.parametrize("build, how", [
    pytest.param(b, how, id=f"{b}-{how}") for i, b in enumerate(BUILDS)
    for how in ("interrupt", "panic", "subclass", "interrupt-from-float")[:4 if i == 0 else 1]])
def test_let_through_exceptions_leave_the_build_at_once(build, how):
    exc = HOW[how.split("-")[0]]()
    f = Recorder(lambda x: Float(exc) if how.endswith("float") else raise_(exc))
    with pytest.raises(type(exc)) as info:
        BUILDS[build](f)
    assert info.value is exc and f.calls == 1


# ---------------------------------------------------------------------------
# Re-entrance


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
        return good(kind)(*args)

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


@pytest.mark.parametrize("kind", CALLS)  # every method holds its instance through the one trampoline
def test_user_function_dropping_the_last_reference_to_its_sampler(kind):
    holder, ppfs, armed = {}, [], []

    def dropping(*args):
        if armed:  # once: the collector runs while the sampler is in use
            armed.clear(), holder.clear(), ppfs.clear()
            gc.collect()
        return good(kind)(*args)

    holder["s"] = prepared(kind, dropping)
    ppfs[:] = [dropping, dropping]
    alive = weakref.ref(dropping)
    del dropping
    armed.append(True)
    result = holder["s"].sample(ppfs, seed=1) if kind == "copula" else list(CALLS[kind].values())[-1](holder["s"], None)
    assert holder == {} and alive() is None  # the sampler went when the call returned, and its function with it
    assert result is None or type(result) in (list, float)


# ---------------------------------------------------------------------------
# Arguments passed to user functions, and threads


def test_argument_tuples_held_by_the_callable_keep_their_contents():
    held, seen = [], []

    def cdf(x):
        for holder in gc.get_referrers(x):
            if type(holder) is tuple and len(holder) == 1 and holder[0] is x and len(seen) % 2 == 0:
                held.append((holder, x, float(x)))
        seen.append(x)
        return x

    with collector_off():  # a collection could untrack a tuple of floats and hide it from get_referrers
        dist = drovik.from_cdf(cdf, IV)
        assert [dist.cdf(x) for x in (0.125, 0.25, 0.375, 0.5, 0.625)] == [0.125, 0.25, 0.375, 0.5, 0.625]
    assert len(held) >= 3 and all(t[0] is x and t[0] == value for t, x, value in held)


def test_a_density_walking_the_heap_never_meets_a_half_filled_result():
    calls = []

    def cdf(x):
        calls.append(x)
        if len(calls) == 2 * 2100:  # inside the second chunk of draws
            [list(obj) for obj in gc.get_objects() if type(obj) is list]
        return x

    result = drovik.from_cdf_with_options(cdf, IV, BuildOptions(max_iterations=0)).sample_n(3000, seed=1)
    assert result == [0.5] * 3000 and gc.is_tracked(result)


@pytest.mark.parametrize("kind", CALLS)  # every entry point of an instance takes the one borrow that checks the thread
def test_thread_binding(kind):
    fn = user(kind)
    sampler = prepared(kind, fn)
    shared = {"accept_rate": lambda s, fn: s.accept_rate()} if kind == "mh" else {}  # a bound class, a shared borrow
    for name, call in {**CALLS[kind], **shared}.items():
        fn.args.clear()
        outcome = on_thread(lambda call=call: call(sampler, fn))
        error = outcome.pop("error", None)  # breaks the cycle through its traceback: no drop on a collector's thread
        if kind in BOUND:
            assert type(error) is drovik.PanicException and fn.args == []
        else:  # rejection's sample() draws from each thread's own generator
            assert error is None and (outcome["value"] == call(sampler, fn) or (kind, name) == ("rejection", "sample"))
        call(sampler, fn)  # still usable on its own thread


@pytest.mark.parametrize("kind", ["mh", "rejection"])  # which classes are bound: test_thread_binding
def test_dropped_on_another_thread(kind, monkeypatch):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", lambda info: reported.append(info.exc_type))
    fn = user(kind)
    alive, holder = weakref.ref(fn), [MAKE[kind](fn)]
    del fn
    on_thread(holder.clear)
    gc.collect()
    if kind in BOUND:  # leaked, with its function, and reported
        assert reported == [RuntimeError] and alive() is not None
    else:
        assert reported == [] and alive() is None


# ---------------------------------------------------------------------------
# Reference counts and garbage collection


def density(x):
    return 1.0 + x


HOLDERS = {  # every factory that holds a user function (its options never change which), built on fn
    "from_pdf": lambda fn: drovik.from_pdf(fn, IV),
    "from_pdf_dpdf-tdr": lambda fn: drovik.from_pdf_dpdf(fn, lambda x: 1.0, IV, BuildOptions.tdr("log", 4)),
    "from_pdf_dpdf-derivative": lambda fn: drovik.from_pdf_dpdf(density, fn, IV),
    "from_cdf": lambda fn: drovik.from_cdf(fn, IV),
    "loc_scale": lambda fn: drovik.from_pdf_loc_scale(fn, IV, 2.0, 3.0),
    "truncated": lambda fn: drovik.truncated(fn, Interval(0.0, 10.0), Interval(2.0, 4.0)),
}
UNIVARIATE = list(HOLDERS)
HOLDERS.update({kind: lambda fn, kind=kind: prepared(kind, fn) for kind in MAKE})


def use(kind, obj, fn):
    if kind in UNIVARIATE:
        obj.cdf(0.5), obj.pdf(0.25), obj.ppf(0.5), obj.sample_n(1, seed=1), obj.support(), obj.interval(0.5)
        if "cdf" not in kind:
            obj.var(), obj.entropy()
    else:
        for name, call in CALLS[kind].items():
            if name != "init":
                call(obj, fn)


@pytest.mark.parametrize("kind", HOLDERS)
def test_user_functions_are_held_once_and_released(kind):
    fn = Calls(density if kind in UNIVARIATE else good(kind), limit=INF)
    before = sys.getrefcount(fn)
    obj = HOLDERS[kind](fn)
    use(kind, obj, fn)
    held, ok = sys.getrefcount(fn), fn.fn
    assert held == before + (kind != "copula")  # one handle shared by every part; a copula holds none
    for _ in range(10):
        for bad in (ok, raising):
            fn.fn = bad
            try:
                use(kind, obj, fn)
            except drovik.SampleError:
                assert bad is raising
    assert sys.getrefcount(fn) == held
    del obj
    assert sys.getrefcount(fn) == before


@pytest.mark.parametrize("make_result", [lambda: Float(1.0), lambda: Float(ValueError), object],
                         ids=["converts", "conversion-raises", "none"])
def test_results_are_released(make_result):
    result = make_result()
    switch = Switch(lambda x: 1.0, lambda x: result)
    dist = drovik.from_pdf(switch, IV)
    switch.on = True
    start = sys.getrefcount(result)
    for _ in range(50):
        dist.cdf(0.5), dist.pdf(0.5), dist.logpdf(0.5)
    assert sys.getrefcount(result) == start


@pytest.mark.parametrize("kind", [k for k in HOLDERS if k != "copula"])  # a copula holds no user function
def test_function_holding_its_owner_is_collected_only_by_the_collector(kind):
    with collector_off():
        fn = Calls(density if kind in UNIVARIATE else good(kind))
        fn.owner = HOLDERS[kind](fn)
        use(kind, fn.owner, fn)
        alive = weakref.ref(fn)
        del fn
        assert alive() is not None, "the object does not hold its function: there is no cycle"
        gc.collect()
        assert alive() is None
