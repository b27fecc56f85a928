"""The Gibbs sampler, the conditional factorization, the Gaussian copula and the Monte Carlo distribution function:
how user functions are called, seeded results bit for bit against the reference, the normalization cache, threads,
garbage collection, and the distributions the draws and estimates follow."""

import gc
import math
import random
import sys
import weakref

import pytest
from scipy import stats

import drovik
import multivar_ref as ref
from _reference import seeded_uniforms
from _replica import raises_exactly
from chacha_ref import normal_from_uniforms
from multivar_ref import seeded
from test_multivar import run_on_thread

INF, NAN = math.inf, math.nan
LO, HI = [0.1, -1.3], [1.2, 1.9]  # inexact widths: every scaling rounds
CORR = [[1.0, 0.5], [0.5, 1.0]]
CORR3 = [[1.0, 0.7, -0.4], [0.7, 1.0, 0.2], [-0.4, 0.2, 1.0]]


def box(lo=LO, hi=HI):
    return drovik.HyperRect(list(lo), list(hi))


def same(a, b):  # equality that sees NaN
    return repr(a) == repr(b)


class Calls:
    """A user function recording copies of its arguments and keeping the objects it was given. At call `stop_at` it
    raises KeyboardInterrupt; past `limit` calls PanicException, which the module lets through: no hang."""

    def __init__(self, fn, stop_at=None, limit=500_000):
        self.fn, self.stop_at, self.limit, self.args, self.given = fn, stop_at, limit, [], []

    def __call__(self, *args):
        self.given.append(args)
        self.args.append(tuple(list(a) if isinstance(a, list) else a for a in args))
        if len(self.args) == self.stop_at:
            raise KeyboardInterrupt("stop")
        if len(self.args) > self.limit:
            raise drovik.PanicException("call budget exhausted: the computation does not end")
        return self.fn(*args)


def coord(i, xs):  # a deterministic "conditional draw"; it changes its list, which must not matter
    y = 0.5 * sum(xs) + i + 0.125
    xs[:] = [99.0] * 5
    return y


def factor(i, prefix):
    y = 0.25 + 0.5 * sum(prefix) + i
    prefix.append(-1.0)
    return y


def bump(a, b):
    return math.exp(-((a - 0.3) ** 2) - (b - 0.5) ** 2 / 0.5)


# ---------------------------------------------------------------------------
# How the conditional functions are called


@pytest.mark.parametrize("kind", ["gibbs", "factor"])
def test_conditionals_get_an_int_and_a_new_list_of_floats_each_call(kind):
    if kind == "gibbs":
        fn, twin = Calls(coord), Calls(coord)
        sampler, replica = drovik.gibbs_sampler(fn, box([0] * 3, [1] * 3), [0, 1, -2], 2), ref.Gibbs(
            twin, [0] * 3, [1] * 3, [0, 1, -2], 2)
        points, expected = [sampler.step(), sampler.sample(), sampler.step()], [replica.step() for _ in range(3)]
    else:
        fn, twin = Calls(factor), Calls(factor)
        sampler, replica = drovik.conditional_factorization_sampler(fn, 3), ref.ConditionalFactorization(twin, 3)
        points, expected = [sampler.sample()] + sampler.sample_n(2, seed=1), replica.sample_n(3)
    assert points == expected and all(type(v) is float for p in points for v in p)
    assert fn.args == twin.args and [a[0] for a in fn.args] == [0, 1, 2] * (6 if kind == "gibbs" else 3)
    assert [len(a[1]) for a in fn.args] == ([3] * 18 if kind == "gibbs" else [0, 1, 2] * 3)
    given = [a[1] for a in fn.given]  # all kept alive, so equal ids would mean a reused list
    assert all(type(i) is int and type(xs) is list for i, xs in fn.given) and len(set(map(id, given))) == len(given)
    assert all(type(v) is float for a in fn.args for v in a[1])


@pytest.mark.parametrize("bad", [lambda: 1 / 0, lambda: None, lambda: "1.5", lambda: NAN], ids=["raises", "none",
                                                                                                 "str", "nan"])
@pytest.mark.parametrize("kind", ["gibbs", "factor"])
def test_failed_conditional_draws_store_nan_and_pass_it_on(kind, bad):
    def fn(i, xs):  # fails for coordinate 1 while the value before it is positive
        return bad() if i == 1 and xs[0] > 0.0 else 0.5 * sum(xs) + 1.0

    calls, twin = Calls(fn), Calls(fn)
    if kind == "gibbs":
        sampler, replica = drovik.gibbs_sampler(calls, box([0] * 3, [1] * 3), [0.5, 0.5, 0.5]), ref.Gibbs(
            twin, [0] * 3, [1] * 3, [0.5, 0.5, 0.5])
        points, expected = [sampler.step(), sampler.step()], [replica.step(), replica.step()]
        assert same(points[0], [1.75, NAN, NAN]) and same(calls.args[3], (0, [1.75, NAN, NAN]))
    else:
        sampler, replica = drovik.conditional_factorization_sampler(calls, 3), ref.ConditionalFactorization(twin, 3)
        points, expected = sampler.sample_n(2, seed=3), replica.sample_n(2)
        assert same(points[0], [1.0, NAN, NAN]) and same(calls.args[2], (2, [1.0, NAN]))
    assert same(points, expected) and same(calls.args, twin.args)


COPULA_PPF = [0.0, NAN, INF, -1.0, 7]  # floats and ints pass unchanged, NaN and infinities included


@pytest.mark.parametrize("result", COPULA_PPF + [None, "0.5", ValueError("junk"), KeyboardInterrupt("stop")],
                         ids=repr)
def test_a_failing_quantile_function_ends_the_draw(result):
    def middle(u):
        if isinstance(result, BaseException):
            raise result
        return result

    first, second, third = Calls(lambda u: u), Calls(middle), Calls(lambda u: 2 * u)
    us = ref.GaussianCopula(CORR3).sample([lambda u: u] * 3, seeded(8))
    call = lambda: drovik.gaussian_copula(CORR3).sample([first, second, third], seed=8)  # noqa: E731
    if result in COPULA_PPF:
        assert same(call(), [us[0], float(result), 2 * us[2]]) and third.args == [(us[2],)]
    else:
        exc = KeyboardInterrupt if isinstance(result, KeyboardInterrupt) else drovik.SampleError
        error = raises_exactly(exc, str(result) if exc is KeyboardInterrupt else ref.INVERSION_FAILED, call)
        assert exc is drovik.SampleError or error is result
        assert third.args == []  # the later quantile functions are not called
    assert first.args == [(us[0],)] and second.args == [(us[1],)]


def test_gibbs_interrupted_half_way_keeps_the_coordinates_it_replaced():
    fn, twin = Calls(lambda i, xs: 0.5 * sum(xs) + i, stop_at=5), Calls(lambda i, xs: 0.5 * sum(xs) + i, stop_at=5)
    sampler, replica = drovik.gibbs_sampler(fn, box([0] * 3, [1] * 3), [1.0, 2.0, 3.0], 2), ref.Gibbs(
        twin, [0] * 3, [1] * 3, [1.0, 2.0, 3.0], 2)
    for call in (sampler.step, replica.step):
        with pytest.raises(KeyboardInterrupt, match="^stop$"):
            call()
    assert len(fn.args) == 5  # the second sweep stopped at coordinate 1
    # the first sweep gave [3, 5, 7.5]; the second replaced coordinate 0 only
    assert fn.args[3] == (0, [3.0, 5.0, 7.5]) and fn.args[4] == (1, [7.75, 5.0, 7.5])
    fn.stop_at = twin.stop_at = None
    assert sampler.step() == replica.step() and fn.args[5] == (0, [7.75, 5.0, 7.5]) and fn.args == twin.args


INTERRUPTED = {  # user function, maker, interrupted call, replica maker, replica call (the call is repeated after)
    "factor": (factor, lambda fn: drovik.conditional_factorization_sampler(fn, 3), lambda s, fn: s.sample_n(3, seed=1),
               lambda fn: ref.ConditionalFactorization(fn, 3), lambda r, fn: r.sample_n(3)),
    "copula": (lambda u: u, lambda fn: drovik.gaussian_copula(CORR3), lambda s, fn: s.sample([fn] * 3, seed=1),
               lambda fn: ref.GaussianCopula(CORR3), lambda r, fn: r.sample([fn] * 3, seeded(1))),
    "cdf_mc": (bump, lambda fn: drovik.cdf_mc_estimator(fn, box(), 10, 10), lambda s, fn: s.cdf([0.5, 0.5], seed=1),
               lambda fn: ref.CdfMc(fn, LO, HI, 10, 10), lambda r, fn: r.cdf([0.5, 0.5], seeded(1))),
}


@pytest.mark.parametrize("kind, stop_at", [("factor", 5), ("copula", 2), ("cdf_mc", 3), ("cdf_mc", 14)])
def test_keyboard_interrupt_stops_the_call_at_once(kind, stop_at):
    fn, make, call, make_replica, replica_call = INTERRUPTED[kind]
    calls, twin = Calls(fn, stop_at), Calls(fn, stop_at)
    sampler, replica = make(calls), make_replica(twin)
    for run in (lambda: call(sampler, calls), lambda: replica_call(replica, twin)):
        with pytest.raises(KeyboardInterrupt, match="^stop$"):
            run()
    assert len(calls.args) == stop_at
    calls.stop_at = twin.stop_at = None
    # a normalization estimate that finished before the interrupt stays cached
    assert call(sampler, calls) == replica_call(replica, twin) and same(calls.args, twin.args)


# ---------------------------------------------------------------------------
# Gibbs


def sum_plus_one(i, xs):
    return sum(xs) + 1


@pytest.mark.parametrize("init, sweeps, steps", [
    ([0, 0], 1, [[1.0, 2.0], [4.0, 7.0], [12.0, 20.0]]), ([0, 0], 2, [[4.0, 7.0], [33.0, 54.0]]),
    ([5.0, -7.0], 1, [[-1.0, -7.0]]),  # outside the box, and stored there: nothing folds the values back
    ([0.25, NAN], 0, [[0.25, NAN]] * 3),  # no sweep: the start is returned and the function never called
    ([NAN, 1.0], 1, [[NAN, NAN]]),
])
def test_gibbs_scans_in_place(init, sweeps, steps):
    fn = Calls(sum_plus_one)
    sampler, replica = drovik.gibbs_sampler(fn, box(), init, sweeps), ref.Gibbs(sum_plus_one, LO, HI, init, sweeps)
    moves = [sampler.step, sampler.sample]
    points = [moves[k % 2]() for k in range(len(steps))]
    assert same(points, steps) and same(points, [replica.step() for _ in steps])
    assert len(fn.args) == 2 * sweeps * len(steps) and [a[0] for a in fn.args] == [0, 1] * sweeps * len(steps)
    if sweeps == 1 and init == [0, 0]:
        assert fn.args[:4] == [(0, [0.0, 0.0]), (1, [1.0, 0.0]), (0, [1.0, 2.0]), (1, [4.0, 2.0])]


@pytest.mark.parametrize("init", [[0.5], [0.5, 0.5, 0.5], []])
def test_gibbs_start_of_the_wrong_length(init):
    fn = Calls(sum_plus_one)
    raises_exactly(drovik.SampleError, ref.MCMC_FAILED, drovik.gibbs_sampler, fn, box(), init)
    with pytest.raises(ref.SampleFailure, match=f"^{ref.MCMC_FAILED}$"):
        ref.Gibbs(fn, LO, HI, init)
    assert fn.args == []


# ---------------------------------------------------------------------------
# Conditional factorization


def test_factorization_builds_each_point_from_its_prefix():
    fn = Calls(lambda i, prefix: len(prefix))
    sampler = drovik.conditional_factorization_sampler(fn, 3)
    assert sampler.sample() == [0.0, 1.0, 2.0] and fn.args == [(0, []), (1, [0.0]), (2, [0.0, 1.0])]
    assert sampler.sample_n(2) == [[0.0, 1.0, 2.0]] * 2 and len(fn.args) == 9


def test_factorization_of_dimension_zero():
    fn = Calls(lambda i, prefix: 1.0)
    empty = drovik.conditional_factorization_sampler(fn, 0)
    assert empty.sample_n(0) == empty.sample_n(0, seed=1) == []
    for call in (empty.sample, lambda: empty.sample_n(1), lambda: empty.sample_n(2, seed=1)):
        raises_exactly(drovik.SampleError, ref.MCMC_FAILED, call)
    with pytest.raises(MemoryError):
        drovik.conditional_factorization_sampler(fn, 2).sample_n(2**62, seed=1)
    assert fn.args == []


def test_a_seed_does_not_reach_the_users_randomness():
    own = random.Random(5)
    noisy = drovik.conditional_factorization_sampler(lambda i, prefix: own.random(), 2)
    first, second = noisy.sample_n(3, seed=7), noisy.sample_n(3, seed=7)
    assert first != second and len({v for p in first + second for v in p}) == 12
    plain = drovik.conditional_factorization_sampler(factor, 2)
    assert plain.sample_n(3, seed=7) == plain.sample_n(3, seed=7) == plain.sample_n(3) == [[0.25, 1.375]] * 3


# ---------------------------------------------------------------------------
# Threads and garbage collection

MAKERS = {
    "gibbs": (lambda fn: drovik.gibbs_sampler(fn, box(), [0.5, 0.5]), lambda i, xs: 0.5),
    "factor": (lambda fn: drovik.conditional_factorization_sampler(fn, 2), lambda i, prefix: 0.5),
    "cdf_mc": (lambda fn: drovik.cdf_mc_estimator(fn, box(), 20, 20), lambda a, b: 1.0),
    "copula": (lambda fn: drovik.gaussian_copula(CORR), lambda u: u),
}
METHODS = {
    "gibbs": {"step": lambda s, fn: s.step(), "sample": lambda s, fn: s.sample()},
    "factor": {"sample": lambda s, fn: s.sample(), "sample_n": lambda s, fn: s.sample_n(2, seed=1)},
    "cdf_mc": {"estimate_normalization": lambda s, fn: s.estimate_normalization(seed=1),
               "cdf": lambda s, fn: s.cdf([0.5, 0.5], seed=1)},
    "copula": {"dim": lambda s, fn: s.dim(), "sample": lambda s, fn: s.sample([fn, fn], seed=1)},
}
BOUND = ("gibbs", "cdf_mc")


@pytest.mark.parametrize("kind, name", [(k, n) for k in METHODS for n in METHODS[k]])
def test_thread_binding(kind, name):
    make, good = MAKERS[kind]
    fn = Calls(good)
    sampler, call = make(fn), METHODS[kind][name]
    outcome = run_on_thread(lambda: call(sampler, fn))
    error = outcome.pop("error", None)  # breaks the cycle through its traceback: no drop on a collector's thread
    if kind in BOUND:
        assert type(error) is drovik.PanicException and fn.args == []
    else:
        assert outcome == {"value": call(sampler, fn)}
    for other in METHODS[kind].values():  # still usable on its own thread
        other(sampler, fn)


@pytest.mark.parametrize("kind", METHODS)
def test_dropped_on_another_thread(kind, monkeypatch):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", lambda info: reported.append((info.exc_type, str(info.exc_value))))
    make, good = MAKERS[kind]
    fn = lambda *args: good(*args)  # noqa: E731
    alive = weakref.ref(fn)
    holder = [make(fn)]
    del fn
    run_on_thread(holder.clear)
    gc.collect()
    if kind in BOUND:  # leaked, with its function, and reported
        assert [t for t, _ in reported] == [RuntimeError] and alive() is not None
    else:
        assert reported == [] and alive() is None


@pytest.mark.parametrize("kind", ["gibbs", "factor", "cdf_mc"])
def test_function_holding_its_sampler_is_collected(kind):
    make, good = MAKERS[kind]
    gc.collect()
    enabled = gc.isenabled()
    gc.disable()
    try:
        owner = {}
        fn = lambda *args, owner=owner: good(*args)  # noqa: E731 - holds the dict that holds the sampler
        owner["sampler"] = make(fn)
        METHODS[kind][next(iter(METHODS[kind]))](owner["sampler"], fn)
        alive = weakref.ref(fn)
        del fn, owner
        assert alive() is not None, "the sampler does not hold its function: there is no cycle"
        gc.collect()
        assert alive() is None
    finally:
        if enabled:
            gc.enable()


# ---------------------------------------------------------------------------
# Gaussian copula


def exact_phi(y):
    return 0.5 * math.erfc(-y / math.sqrt(2.0))


def test_reference_normal_cdf_follows_the_rules():
    assert ref.normal_cdf(0.0) == 0.49999998499999965  # not exact at 0
    assert ref.normal_cdf(-0.0) == 0.49999998499999965 and ref.normal_cdf(-1e-200) == 0.5000000150000004
    assert abs(ref.normal_cdf(1.0) - exact_phi(1.0)) < 1e-7 and abs(ref.normal_cdf(-1.0) - exact_phi(-1.0)) < 1e-7
    assert [ref.normal_cdf(y) for y in (10.0, -10.0, 1e300)] == [0.999999999999, 1e-12, 0.999999999999]
    assert math.isnan(ref.normal_cdf(NAN))
    assert max(abs(ref.normal_cdf(k / 256) - exact_phi(k / 256)) for k in range(-2560, 2561)) < 1.5e-7


def drawn_normal(seed):
    u = seeded_uniforms(seed, 2)
    return normal_from_uniforms(u[0], u[1])


@pytest.mark.parametrize("scale", ["unit", "tiny", "one", "ten", "huge"])
def test_normal_cdf_bit_for_bit(scale):
    # With a 1 x 1 matrix [[c]], y = sqrt(c) * z: the identity quantile function receives normal_cdf(y) itself.
    seeds = range(300) if scale == "unit" else range(40)
    target, received = {"one": 1.0, "ten": 10.0}.get(scale), set()
    for seed in seeds:
        z = drawn_normal(seed)
        c = {"unit": 1.0, "tiny": 1e-300, "huge": 1e6}.get(scale) or (target / z) ** 2  # y is +-target up to rounding
        seen = Calls(lambda u: u)
        assert drovik.gaussian_copula([[c]]).sample([seen], seed=seed) == [seen.args[0][0]]
        y = math.sqrt(c) * z
        assert seen.args == [(ref.normal_cdf(y),)], (seed, y)
        assert abs(seen.args[0][0] - exact_phi(y)) < 1.5e-7 and 1e-12 <= seen.args[0][0] <= 0.999999999999
        if scale == "huge" and abs(y) > 7.5:  # clamped
            assert seen.args[0][0] == (1e-12 if y < 0 else 0.999999999999)
        if target:
            assert abs(abs(y) - target) < 1e-14
        received.add(seen.args[0][0])
    if scale in ("ten", "huge"):
        assert {1e-12, 0.999999999999} <= received


def by_hand(corr, seed, ppfs):
    """One draw from the first 2d uniforms of the seeded stream: Box-Muller per pair, the Cholesky rows of the lower
    triangle, normal_cdf, the quantile functions."""
    d, u = len(corr), seeded_uniforms(seed, 2 * len(corr))
    z = [normal_from_uniforms(u[2 * k], u[2 * k + 1]) for k in range(d)]
    low = ref.cholesky(corr)
    ys = [sum((low[i][j] * z[j] for j in range(i + 1)), 0.0) for i in range(d)]
    return [ppf(ref.normal_cdf(y)) for ppf, y in zip(ppfs, ys)]


TRIANGLE = drovik.from_pdf(lambda x: x * (2.0 - x), drovik.Interval(0.0, 2.0))
MARGINALS = {
    1: [stats.expon.ppf], 2: [stats.norm(2.0, 3.0).ppf, TRIANGLE.ppf],
    3: [stats.beta(2.0, 5.0).ppf, TRIANGLE.ppf, lambda u: u],
}


LOWER3 = [[1.0, 0.0, 0.0], [0.7, 1.0, 0.0], [-0.4, 0.2, 1.0]]


@pytest.mark.parametrize("corr", [[[2.5]], CORR, [[1.0, 99.0], [0.5, 1.0]], [[1.0, NAN], [0.5, 1.0]],
                                  [[4.0, 1.0], [1.0, 9.0]], CORR3, LOWER3],
                         ids=["1d", "2d", "upper-99", "upper-nan", "covariance", "3d", "3d-lower-only"])
def test_copula_draws_golden(corr):
    ppfs = MARGINALS[len(corr)]
    copula, replica = drovik.gaussian_copula(corr), ref.GaussianCopula(corr)
    assert copula.dim() == len(corr)
    for seed in (0, 1, 42, 2**64 - 1):
        point = copula.sample(ppfs, seed=seed)
        assert point == replica.sample(ppfs, seeded(seed)) == by_hand(corr, seed, ppfs)
    if len(corr) == 2 and corr[1][0] == 0.5:  # only the lower triangle is read
        assert ref.cholesky(corr) == [[1.0, 0.0], [0.5, math.sqrt(0.75)]]
        assert all(copula.sample(ppfs, seed=s) == drovik.gaussian_copula(CORR).sample(ppfs, seed=s) for s in range(5))


@pytest.mark.parametrize("corr", [[], [[1.0], [0.5]], [[1.0, 2.0], [2.0, 1.0]], [[0.0]], [[-1.0]], [[NAN]],
                                  [[1.0, 0.0], [NAN, 1.0]], [[1.0, 0.0], [-INF, 1.0]], [[1.0, 0.0], [0.0, INF]]])
def test_invalid_correlation(corr):
    raises_exactly(ValueError, "InvalidCorrelation", drovik.gaussian_copula, corr)
    with pytest.raises(ref.InvalidCorrelation):
        ref.cholesky(corr)


@pytest.mark.parametrize("count", [0, 1, 3])
def test_wrong_number_of_quantile_functions(count):
    fn = Calls(lambda u: u)
    for seed in (None, 1):
        raises_exactly(drovik.SampleError, ref.MCMC_FAILED, drovik.gaussian_copula(CORR).sample, [fn] * count, seed)
    assert fn.args == []


def test_a_scaled_normal_keeps_its_scale():
    copula = drovik.gaussian_copula([[4.0]])
    xs = [copula.sample([stats.norm.ppf])[0] for _ in range(2000)]
    assert abs(stats.tstd(xs) - 2.0) < 0.15 and abs(sum(xs) / len(xs)) < 0.2
    assert stats.kstest(xs, stats.norm(0.0, 2.0).cdf).pvalue > 1e-4


def test_copula_rank_correlations_and_marginals():
    n, ppfs = 3000, [stats.expon.ppf, lambda u: u, stats.norm.ppf]
    copula = drovik.gaussian_copula(CORR3)
    points = [copula.sample(ppfs, seed=s) for s in range(n)]
    columns = list(zip(*points))
    for i, j in ((0, 1), (0, 2), (1, 2)):
        rho = stats.spearmanr(columns[i], columns[j])[0]
        assert abs(rho - 6.0 / math.pi * math.asin(CORR3[i][j] / 2.0)) < 4.0 / math.sqrt(n), (i, j, rho)
    for column, exact in zip(columns, (stats.expon.cdf, stats.uniform.cdf, stats.norm.cdf)):
        assert stats.kstest(column, exact).pvalue > 1e-4


# ---------------------------------------------------------------------------
# Monte Carlo distribution function


class Switch:
    def __init__(self, fn):
        self.fn, self.calls = fn, 0

    def __call__(self, *x):
        self.calls += 1
        return self.fn(*x)


def test_uniform_unit_square_is_exact():
    estimator = drovik.cdf_mc_estimator(lambda a, b: 1.0, box([0, 0], [1, 1]), 300, 200)
    assert estimator.estimate_normalization() == 1.0
    assert (estimator.cdf([0.5, 0.5]), estimator.cdf([2.0, 2.0]), estimator.cdf([0.5, 5.0])) == (0.25, 1.0, 0.5)
    assert all(estimator.cdf([a, b]) == (1.0 * a) * b for a, b in ((0.3, 0.6), (0.1, 0.7), (0.9, 1.0 / 3.0)))


@pytest.mark.parametrize("x", [[LO[0], 0.5], [0.5, -2.0], [-INF, 1.0], [0.0, LO[1]], [LO[0], LO[1]], [-0.0, NAN]])
def test_point_below_the_box(x):
    fn, twin = Calls(bump), Calls(bump)
    estimator, replica = drovik.cdf_mc_estimator(fn, box(), 7, 9), ref.CdfMc(twin, LO, HI, 7, 9)
    assert estimator.cdf(x, seed=4) == 0.0 == replica.cdf(x, seeded(4))
    assert fn.args == twin.args and len(fn.args) == 7 + 9
    low = [i for i in (0, 1) if x[i] <= LO[i]]
    assert all(p[i] == LO[i] for p in fn.args[7:] for i in low)


@pytest.mark.parametrize("bad, calls_per_point", [
    (lambda a, b: 0.0, 1), (lambda a, b: -1.0, 1), (lambda a, b: NAN, 1), (lambda a, b: INF, 1),
    (lambda a, b: 1 / 0, 2), (lambda a, b: None, 2)], ids=["zero", "negative", "nan", "inf", "raises", "none"])
def test_a_density_that_never_counts(bad, calls_per_point):
    fn = Switch(bad)
    estimator = drovik.cdf_mc_estimator(fn, box(), 5, 3)
    for call in (estimator.estimate_normalization, lambda: estimator.cdf([0.5, 0.5]), estimator.estimate_normalization,
                 lambda: estimator.cdf([0.5, 0.5], seed=2)):
        raises_exactly(drovik.SampleError, ref.INTEGRATION_FAILED, call)
    assert fn.calls == 4 * 5 * calls_per_point  # every call tries the normalization again, and only that
    fn.fn, fn.calls = bump, 0
    raises_exactly(drovik.SampleError, ref.INTEGRATION_FAILED, estimator.cdf, [0.5, 0.5, 0.5])  # before any call
    raises_exactly(drovik.SampleError, ref.INTEGRATION_FAILED, estimator.cdf, [0.5])
    assert fn.calls == 0
    assert estimator.cdf([0.5, 0.5], seed=2) == ref.CdfMc(bump, LO, HI, 5, 3).cdf([0.5, 0.5], seeded(2))


def test_no_samples_act_as_one():
    fn, twin = Calls(bump), Calls(bump)
    estimator, replica = drovik.cdf_mc_estimator(fn, box(), 0, 0), ref.CdfMc(twin, LO, HI, 0, 0)
    assert estimator.estimate_normalization(seed=3) == replica.estimate_normalization(seeded(3)) and len(fn.args) == 1
    assert estimator.cdf([0.5, 0.5], seed=3) == replica.cdf([0.5, 0.5], seeded(3)) and len(fn.args) == 2
    assert fn.args == twin.args


def test_nan_coordinate_acts_as_the_upper_bound():
    estimator, replica = drovik.cdf_mc_estimator(bump, box(), 50, 50), ref.CdfMc(bump, LO, HI, 50, 50)
    estimator.estimate_normalization(seed=1)
    replica.estimate_normalization(seeded(1))
    values = [estimator.cdf(x, seed=2) for x in ([NAN, 0.4], [HI[0], 0.4], [7.0, 0.4], [INF, 0.4])]
    assert values == [replica.cdf([HI[0], 0.4], seeded(2))] * 4 and 0.0 < values[0] < 1.0


def test_normalization_cache_with_seeds():
    fn = Switch(bump)
    estimator, replica = drovik.cdf_mc_estimator(fn, box(), 40, 30), ref.CdfMc(bump, LO, HI, 40, 30)
    first = estimator.cdf([0.6, 0.4], seed=3)  # Z and then F from one generator
    assert first == replica.cdf([0.6, 0.4], seeded(3)) and fn.calls == 70
    z3 = replica.normalization
    second = estimator.cdf([0.6, 0.4], seed=3)  # the cached Z: the points are the first 30 of the stream
    assert second == replica.cdf([0.6, 0.4], seeded(3)) != first and fn.calls == 100
    assert estimator.estimate_normalization(seed=3) == z3  # always recomputed, from the first 40 points
    z5 = estimator.estimate_normalization(seed=5)
    assert z5 == replica.estimate_normalization(seeded(5)) != z3
    replaced = estimator.cdf([0.6, 0.4], seed=3)
    assert replaced == replica.cdf([0.6, 0.4], seeded(3)) != second
    fn.fn = lambda a, b: 0.0
    raises_exactly(drovik.SampleError, ref.INTEGRATION_FAILED, estimator.estimate_normalization, 5)
    fn.fn = bump
    assert estimator.cdf([0.6, 0.4], seed=3) == replaced  # the failed estimate left z5 in place


def test_estimates_are_clamped_to_one():
    left = lambda a, b: 1.0 if a < 0.5 else 0.0  # noqa: E731 - integral 1/2 on the unit square
    # a seed whose four normalization points have one a below 0.5: Z = 0.25, half the true value
    seed = next(s for s in range(100) if sum(u < 0.5 for u in seeded_uniforms(s, 8)[::2]) == 1)
    estimator = drovik.cdf_mc_estimator(left, box([0, 0], [1, 1]), 4, 2000)
    replica = ref.CdfMc(left, [0, 0], [1, 1], 4, 2000)
    inside = estimator.cdf([0.2, 2.0], seed=seed)
    assert inside == replica.cdf([0.2, 2.0], seeded(seed)) and 0.79 < inside < 0.81  # 0.2 / 0.25
    assert estimator.cdf([1.0, 1.0], seed=seed) == 1.0 == replica.cdf([1.0, 1.0], seeded(seed))  # about 2 unclamped


def test_values_that_do_not_count_still_count_as_samples():
    def odd(a, b):
        if a < 0.3:
            return -1.0 if b < 0.0 else NAN
        if a < 0.5:
            return INF if b < 0.5 else 1 / 0
        return None if b > 1.5 else 2.0

    fn, twin = Calls(odd), Calls(odd)
    estimator, replica = drovik.cdf_mc_estimator(fn, box(), 200, 150), ref.CdfMc(twin, LO, HI, 200, 150)
    z = estimator.estimate_normalization(seed=6)
    assert z == replica.estimate_normalization(seeded(6)) and same(fn.args, twin.args)
    points = [a for a in fn.args if len(a) == 2]  # a failed call or conversion is retried with a list
    failing = sum(1 for a, b in points if (0.3 <= a < 0.5 and b >= 0.5) or (a >= 0.5 and b > 1.5))
    assert len(points) == 200 and len(fn.args) == 200 + failing and failing > 0
    good = sum(1 for a, b in points if a >= 0.5 and b <= 1.5)
    assert 0 < good < 200 and z == ((2.0 * good) / 200) * ((HI[0] - LO[0]) * (HI[1] - LO[1]))
    assert estimator.cdf([0.9, 1.0], seed=7) == replica.cdf([0.9, 1.0], seeded(7)) and same(fn.args, twin.args)


def test_estimates_of_a_product_of_truncated_exponentials():
    n = 20000
    estimator = drovik.cdf_mc_estimator(lambda a, b: math.exp(-a - b), box([0, 0], [2, 3]), n, n)
    estimator.estimate_normalization(seed=1)

    def moments(edges):  # mean of f and of f^2 over uniform points in [0, edges]
        m = s2 = 1.0
        for c in edges:
            m, s2 = m * -math.expm1(-c) / c, s2 * -math.expm1(-2 * c) / (2 * c)
        return m, s2 / (m * m) - 1.0

    _, cv2_z = moments([2.0, 3.0])
    for k, x in enumerate([[0.5, 0.5], [1.0, 2.5], [1.9, 0.2], [3.0, 1.0], [0.05, 3.0]]):
        exact = (math.expm1(-min(x[0], 2.0)) / math.expm1(-2.0)) * (math.expm1(-min(x[1], 3.0)) / math.expm1(-3.0))
        cv2_f = moments([min(x[0], 2.0), min(x[1], 3.0)])[1]
        sigma = exact * math.sqrt((cv2_z + cv2_f) / n)
        assert abs(estimator.cdf(x, seed=10 + k) - exact) < 5 * sigma, x
