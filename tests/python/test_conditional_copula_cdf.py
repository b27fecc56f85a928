"""The Gibbs sampler, the conditional factorization, the Gaussian copula and the Monte Carlo distribution function:
the in-place scan, seeded results bit for bit against the reference, the normalization cache, interrupts, and the
distributions the copula's draws follow. Junk from user functions, threads and references: test_bad_input_multivar."""

import math
import random
from fractions import Fraction

import pytest
from scipy import stats

import drovik
import multivar_ref as ref
from _reference import seeded_uniforms
from _replica import raises_exactly
from multivar_ref import seeded
from test_multivar import Calls, bump, same

INF, NAN = math.inf, math.nan
LO, HI = [0.1, -1.3], [1.2, 1.9]  # inexact widths: every scaling rounds
CORR = [[1.0, 0.5], [0.5, 1.0]]
CORR3 = [[1.0, 0.7, -0.4], [0.7, 1.0, 0.2], [-0.4, 0.2, 1.0]]


def box(lo=LO, hi=HI):
    return drovik.HyperRect(list(lo), list(hi))


def factor(i, prefix):  # a deterministic "conditional draw"; it changes its list, which must not matter
    y = 0.25 + 0.5 * sum(prefix) + i
    prefix.append(-1.0)
    return y


def sum_plus_one(i, xs):
    return sum(xs) + 1


# ---------------------------------------------------------------------------
# Interrupts


INTERRUPTED = {  # user function, maker, interrupted call, replica maker, replica call (the call is repeated after)
    "gibbs": (lambda i, xs: 0.5 * sum(xs) + i, lambda fn: drovik.gibbs_sampler(fn, box([0] * 3, [1] * 3), [1, 2, 3], 2),
              lambda s, fn: s.step(), lambda fn: ref.Gibbs(fn, [0] * 3, [1] * 3, [1, 2, 3], 2), lambda r, fn: r.step()),
    "factor": (factor, lambda fn: drovik.conditional_factorization_sampler(fn, 3), lambda s, fn: s.sample_n(3, seed=1),
               lambda fn: ref.ConditionalFactorization(fn, 3), lambda r, fn: r.sample_n(3)),
    "copula": (lambda u: u, lambda fn: drovik.gaussian_copula(CORR3), lambda s, fn: s.sample([fn] * 3, seed=1),
               lambda fn: ref.GaussianCopula(CORR3), lambda r, fn: r.sample([fn] * 3, seeded(1))),
    "cdf_mc": (bump, lambda fn: drovik.cdf_mc_estimator(fn, box(), 10, 10), lambda s, fn: s.cdf([0.5, 0.5], seed=1),
               lambda fn: ref.CdfMc(fn, LO, HI, 10, 10), lambda r, fn: r.cdf([0.5, 0.5], seeded(1))),
}


# The second Gibbs sweep stops at coordinate 1 and keeps the coordinate 0 it replaced; an estimate of Z that
# finished before the interrupt stays cached.
@pytest.mark.parametrize("kind, stop_at", [("gibbs", 5), ("factor", 5), ("copula", 2), ("cdf_mc", 3),
                                           ("cdf_mc", 14)])
def test_keyboard_interrupt_stops_the_call_at_once(kind, stop_at):
    fn, make, call, make_replica, replica_call = INTERRUPTED[kind]
    calls, twin = Calls(fn, stop_at), Calls(fn, stop_at)
    sampler, replica = make(calls), make_replica(twin)
    for run in (lambda: call(sampler, calls), lambda: replica_call(replica, twin)):
        with pytest.raises(KeyboardInterrupt, match="^stop$"):
            run()
    assert len(calls.args) == stop_at
    calls.stop_at = twin.stop_at = None
    assert call(sampler, calls) == replica_call(replica, twin) and same(calls.args, twin.args)


# ---------------------------------------------------------------------------
# Gibbs and the conditional factorization


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
    assert fn.args == []


def test_factorization_of_dimension_zero():
    fn = Calls(lambda i, prefix: 1.0)
    empty = drovik.conditional_factorization_sampler(fn, 0)
    assert empty.sample_n(0) == empty.sample_n(0, seed=1) == []
    for call in (empty.sample, lambda: empty.sample_n(1), lambda: empty.sample_n(2, seed=1)):
        raises_exactly(drovik.SampleError, ref.MCMC_FAILED, call)
    assert fn.args == []


def test_a_seed_does_not_reach_the_users_randomness():
    own = random.Random(5)
    noisy = drovik.conditional_factorization_sampler(lambda i, prefix: own.random(), 2)
    first, second = noisy.sample_n(3, seed=7), noisy.sample_n(3, seed=7)
    assert first != second and len({v for p in first + second for v in p}) == 12
    plain = drovik.conditional_factorization_sampler(factor, 2)
    assert plain.sample_n(3, seed=7) == plain.sample_n(3, seed=7) == plain.sample_n(3) == [[0.25, 1.375]] * 3


# ---------------------------------------------------------------------------
# Gaussian copula


# With a 1 x 1 matrix [[c]], y = sqrt(c) z and the identity quantile function returns normal_cdf(y) itself: y near
# 0, y spread over both clamps (c = 1e6), or in between.
@pytest.mark.parametrize("c", [1e-300, 1.0, 1e6])
def test_normal_cdf_bit_for_bit(c):
    copula, replica, received = drovik.gaussian_copula([[c]]), ref.GaussianCopula([[c]]), set()
    for seed in range(300):
        u = copula.sample([lambda u: u], seed=seed)
        assert u == replica.sample([lambda u: u], seeded(seed)), seed
        received.update(u)
    assert c != 1e6 or {1e-12, 0.999999999999} <= received


TRIANGLE = drovik.from_pdf(lambda x: x * (2.0 - x), drovik.Interval(0.0, 2.0))
MARGINALS = {1: [stats.expon.ppf], 2: [stats.norm(2.0, 3.0).ppf, TRIANGLE.ppf],
             3: [stats.beta(2.0, 5.0).ppf, TRIANGLE.ppf, lambda u: u]}


@pytest.mark.parametrize("corr", [[[2.5]], CORR, [[1.0, 99.0], [0.5, 1.0]], [[1.0, NAN], [0.5, 1.0]],
                                  [[4.0, 1.0], [1.0, 9.0]], CORR3, [[1.0, 0.0, 0.0], [0.7, 1.0, 0.0], [-0.4, 0.2, 1.0]]],
                         ids=["1d", "2d", "upper-99", "upper-nan", "covariance", "3d", "3d-lower-only"])
def test_copula_draws_golden(corr):
    ppfs = MARGINALS[len(corr)]
    copula, replica = drovik.gaussian_copula(corr), ref.GaussianCopula(corr)
    assert copula.dim() == len(corr)
    for seed in (0, 1, 42, 2**64 - 1):
        assert copula.sample(ppfs, seed=seed) == replica.sample(ppfs, seeded(seed))
    if len(corr) == 2 and corr[1][0] == 0.5:  # only the lower triangle is read
        assert ref.cholesky(corr) == [[1.0, 0.0], [0.5, math.sqrt(0.75)]]
        assert all(copula.sample(ppfs, seed=s) == drovik.gaussian_copula(CORR).sample(ppfs, seed=s) for s in range(5))


def test_a_scaled_normal_keeps_its_scale():
    copula = drovik.gaussian_copula([[4.0]])
    xs = [copula.sample([stats.norm.ppf])[0] for _ in range(2000)]
    assert abs(stats.tstd(xs) - 2.0) < 0.15 and abs(sum(xs) / len(xs)) < 0.2
    assert stats.kstest(xs, stats.norm(0.0, 2.0).cdf).pvalue > 1e-4


def test_copula_rank_correlations_and_marginals():
    n, ppfs = 3000, [stats.expon.ppf, lambda u: u, stats.norm.ppf]
    copula = drovik.gaussian_copula(CORR3)
    columns = list(zip(*[copula.sample(ppfs, seed=s) for s in range(n)]))
    for i, j in ((0, 1), (0, 2), (1, 2)):
        rho = stats.spearmanr(columns[i], columns[j])[0]
        assert abs(rho - 6.0 / math.pi * math.asin(CORR3[i][j] / 2.0)) < 4.0 / math.sqrt(n), (i, j, rho)
    for column, exact in zip(columns, (stats.expon.cdf, stats.uniform.cdf, stats.norm.cdf)):
        assert stats.kstest(column, exact).pvalue > 1e-4


# ---------------------------------------------------------------------------
# Monte Carlo distribution function


def test_uniform_unit_square_is_exact():
    estimator = drovik.cdf_mc_estimator(lambda a, b: 1.0, box([0, 0], [1, 1]), 300, 200)
    assert estimator.estimate_normalization() == 1.0
    assert (estimator.cdf([0.5, 0.5]), estimator.cdf([2.0, 2.0]), estimator.cdf([0.5, 5.0])) == (0.25, 1.0, 0.5)
    assert all(estimator.cdf([a, b]) == (1.0 * a) * b for a, b in ((0.3, 0.6), (0.1, 0.7), (0.9, 1.0 / 3.0)))


@pytest.mark.parametrize("x, as_if", [
    ([LO[0], 0.5], None), ([0.5, -2.0], None), ([-INF, 1.0], None), ([0.0, LO[1]], None), ([LO[0], LO[1]], None),
    ([-0.0, NAN], None),  # below the box: 0, after M evaluations with that coordinate at lo
    ([NAN, 0.4], [HI[0], 0.4]), ([7.0, 0.4], [HI[0], 0.4]), ([INF, Fraction(1, 4)], [HI[0], 0.25]),
    ([True, NAN], [1.0, HI[1]]), ([NAN, NAN], HI),  # a NaN coordinate acts as the upper bound
])
def test_cdf_point_coordinates(x, as_if):
    fn, twin = Calls(bump), Calls(bump)
    estimator, replica = drovik.cdf_mc_estimator(fn, box(), 7, 9), ref.CdfMc(twin, LO, HI, 7, 9)
    value = estimator.cdf(x, seed=4)
    assert value == replica.cdf(as_if or x, seeded(4)) and fn.args == twin.args and len(fn.args) == 7 + 9
    if as_if is None:
        low = [i for i in (0, 1) if x[i] <= LO[i]]
        assert value == 0.0 and all(p[i] == LO[i] for p in fn.args[7:] for i in low)
    else:
        assert 0.0 < value <= 1.0


def test_an_overflowing_volume_fails_the_estimate():
    estimator = drovik.cdf_mc_estimator(lambda x: 1.0, drovik.HyperRect([-1e308], [1e308]), 3, 3)
    raises_exactly(drovik.SampleError, ref.INTEGRATION_FAILED, estimator.estimate_normalization)


def test_cdf_point_of_the_wrong_length_is_refused_before_any_call():
    fn = Calls(bump)
    estimator = drovik.cdf_mc_estimator(fn, box(), 4, 4)
    for x in ([], [0.5], [0.5, 0.5, 0.5]):
        raises_exactly(drovik.SampleError, ref.INTEGRATION_FAILED, estimator.cdf, x)
    assert fn.args == []


@pytest.mark.parametrize("bad, calls_per_point", [
    (lambda a, b: 0.0, 1), (lambda a, b: -1.0, 1), (lambda a, b: NAN, 1), (lambda a, b: INF, 1),
    (lambda a, b: 1 / 0, 2), (lambda a, b: None, 2)], ids=["zero", "negative", "nan", "inf", "raises", "none"])
def test_a_density_that_never_counts(bad, calls_per_point):
    fn = Calls(bad)
    estimator = drovik.cdf_mc_estimator(fn, box(), 5, 3)
    for call in (estimator.estimate_normalization, lambda: estimator.cdf([0.5, 0.5]), estimator.estimate_normalization,
                 lambda: estimator.cdf([0.5, 0.5], seed=2)):
        raises_exactly(drovik.SampleError, ref.INTEGRATION_FAILED, call)
    assert len(fn.args) == 4 * 5 * calls_per_point  # every call tries the normalization again, and only that
    fn.fn = bump
    assert estimator.cdf([0.5, 0.5], seed=2) == ref.CdfMc(bump, LO, HI, 5, 3).cdf([0.5, 0.5], seeded(2))


def test_no_samples_act_as_one():
    fn, twin = Calls(bump), Calls(bump)
    estimator, replica = drovik.cdf_mc_estimator(fn, box(), 0, 0), ref.CdfMc(twin, LO, HI, 0, 0)
    assert estimator.estimate_normalization(seed=3) == replica.estimate_normalization(seeded(3)) and len(fn.args) == 1
    assert estimator.cdf([0.5, 0.5], seed=3) == replica.cdf([0.5, 0.5], seeded(3)) and len(fn.args) == 2
    assert fn.args == twin.args


def test_normalization_cache_with_seeds():
    fn = Calls(bump)
    estimator, replica = drovik.cdf_mc_estimator(fn, box(), 40, 30), ref.CdfMc(bump, LO, HI, 40, 30)
    first = estimator.cdf([0.6, 0.4], seed=3)  # Z and then F from one generator
    assert first == replica.cdf([0.6, 0.4], seeded(3)) and len(fn.args) == 70
    z3 = replica.normalization
    second = estimator.cdf([0.6, 0.4], seed=3)  # the cached Z: the points are the first 30 of the stream
    assert second == replica.cdf([0.6, 0.4], seeded(3)) != first and len(fn.args) == 100
    assert estimator.estimate_normalization(seed=3) == z3  # always recomputed, from the first 40 points
    z5 = estimator.estimate_normalization(seed=5)
    assert z5 == replica.estimate_normalization(seeded(5)) != z3
    replaced = estimator.cdf([0.6, 0.4], seed=3)
    assert replaced == replica.cdf([0.6, 0.4], seeded(3)) != second
    fn.fn = lambda a, b: 0.0
    raises_exactly(drovik.SampleError, ref.INTEGRATION_FAILED, estimator.estimate_normalization, 5)
    assert estimator.cdf([0.6, 0.4], seed=3) == 0.0  # a zero sum over the cached Z is no failure
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
