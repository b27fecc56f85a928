"""The multivariate samplers: box checks, seeded draws and estimates bit for bit against the reference, the two ways
a density is called, chain states, the in-place Gibbs scan, the normalization cache, interrupts, and the
distributions the chains and the copula follow. Junk from user functions, threads and references: test_callables."""

import math

import pytest
from scipy import stats

import drovik
import multivar_ref as ref
from _helpers import CORR, HI, LO, Boom, Calls, Float, Index, assert_follows, bump, same, same_outcome
from _reference import seeded_uniforms
from _replica import raises_exactly
from multivar_ref import seeded

INF, NAN = math.inf, math.nan
CORR3 = [[1.0, 0.7, -0.4], [0.7, 1.0, 0.2], [-0.4, 0.2, 1.0]]


def box(lo=LO, hi=HI):
    return drovik.HyperRect(list(lo), list(hi))


def wedge(a, b):  # 0 on part of the box, negative on another
    return 0.0 if a + b > 1.5 else 1.0 + a * b


def partly_raising(a, b):
    if b < 0.0:
        raise ValueError("outside")
    return math.exp(-a - b * b)


def odd(a, b):  # negative, infinite and unconvertible parts
    if a < 0.2:
        return -1.0
    if b > 1.7:
        return INF
    return None if a > 0.95 else 2.0 * a + b + 1.0


def plateau(a, b):  # usable only on a small square
    return 1.0 if abs(a - 0.5) < 0.05 and abs(b - 0.5) < 0.05 else NAN


def junky(a, b):  # the other values a guard must see, each on a strip of the box
    strip = min(int((a - LO[0]) / (HI[0] - LO[0]) * 9), 8)
    return [-INF, -0.0, bump(a, b), 1.7976931348623157e308, Index(3), bump(a, b), True, NAN, Float(Boom)][strip]


def listed(v):  # the list form only; it changes its list, which must not matter
    a, b = v  # a list passed twice would have grown
    v.append(1.0)
    return bump(a, b)


DENSITIES = [bump, wedge, partly_raising, odd, junky]
SAMPLERS = {  # kind: (sampler factory, replica factory)
    "rejection": (lambda f, **kw: drovik.rejection_sampler(f, box(), 1.6, **kw),
                  lambda f, **kw: ref.Rejection(f, LO, HI, 1.6, **kw)),
    "mh": (lambda f, **kw: drovik.metropolis_hastings(f, box(), **kw),
           lambda f, **kw: ref.MetropolisHastings(f, LO, HI, **kw)),
    "hmc": (lambda f, **kw: drovik.hmc_sampler(f, box(), **kw), lambda f, **kw: ref.Hmc(f, LO, HI, **kw)),
}


def started(kind, density, replica_density=None, **params):
    """A sampler and its replica in the same state: a chain's replica starts where init stopped."""
    make, make_replica = SAMPLERS[kind]
    calls = Calls(density)
    sampler, replica = make(calls, **params), make_replica(replica_density or density, **params)
    if kind != "rejection":
        sampler.init()
        replica.start(calls.point())
    calls.args.clear()
    return sampler, replica, calls


def params_id(params):
    return ",".join(f"{k}={v}" for k, v in params.items()) or "defaults"


# ---------------------------------------------------------------------------
# HyperRect


@pytest.mark.parametrize(
    "lo, hi, message",
    [([], [], ref.EMPTY_BOX), ([0.0], [], ref.EMPTY_BOX), ([], [NAN], ref.EMPTY_BOX),
     ([0.0, 0.0], [1.0], ref.DIMENSION_MISMATCH), ([NAN], [1.0, 2.0], ref.DIMENSION_MISMATCH),
     ([0.0, NAN], [1.0, 1.0], ref.NON_FINITE_BOUNDS), ([0.0, Float(NAN)], [1.0, 1.0], ref.NON_FINITE_BOUNDS),
     ([0.0, 0.0], [1.0, -INF], ref.NON_FINITE_BOUNDS),
     ([1.0, INF], [1.0, 2.0], ref.LO_NOT_BELOW_HI), ([0.0, 2.0], [NAN, 1.0], ref.NON_FINITE_BOUNDS),
     ([0.0], [0.0], ref.LO_NOT_BELOW_HI), ([-0.0], [0.0], ref.LO_NOT_BELOW_HI),
     ([0.0, 3.0], [1.0, -5.0], ref.LO_NOT_BELOW_HI),
     ([0.0, -1e308], [1.0, 1e308], ref.NON_FINITE_WIDTHS), ([-1e308, 2.0], [1e308, 1.0], ref.NON_FINITE_WIDTHS)],
)
def test_box_checks_in_order(lo, hi, message):
    raises_exactly(drovik.BuildError, message, drovik.HyperRect, lo, hi)


def test_box_accessors_return_new_lists():
    rect = drovik.HyperRect((-8e307, Float(-5e-324)), [8e307, True])  # huge boxes of finite width are boxes
    assert (rect.dim(), rect.lo(), rect.hi()) == (2, [-8e307, -5e-324], [8e307, 1.0])
    rect.lo()[0] = 5.0
    assert rect.lo() == [-8e307, -5e-324] and rect.lo() is not rect.lo()


# ---------------------------------------------------------------------------
# Rejection


@pytest.mark.parametrize("pdf_max", [0.0, -0.0, -1.0, -5e-324, NAN, INF, -INF])
def test_pdf_max_must_be_finite_and_positive(pdf_max):
    raises_exactly(drovik.BuildError, ref.BAD_PDF_MAX, drovik.rejection_sampler, bump, box(), pdf_max)


# A value above the bound was accepted with probability 1: 4ab under a bound of 1 drew a mean a of 0.60, not 2/3.
@pytest.mark.parametrize("pdf_max, fails", [(1.0, True), (4.0, False)])
def test_a_density_above_pdf_max_fails_the_draw(pdf_max, fails):
    sampler = drovik.rejection_sampler(lambda a, b: 4.0 * a * b, drovik.HyperRect([0.0, 0.0], [1.0, 1.0]), pdf_max)
    if fails:
        raises_exactly(drovik.SampleError, ref.ABOVE_PDF_MAX, sampler.sample_n, 100, seed=1)
    else:
        assert len(sampler.sample_n(100, seed=1)) == 100


@pytest.mark.parametrize(
    "density, pdf_max, max_trials",
    [(bump, 1.0, 100000), (wedge, 1.6, 100000), (partly_raising, 1.0, 100000), (odd, 3.0, 100000),
     (junky, 1.6, 100000), (wedge, 1.6, 2), (lambda a, b: INF if a < 0.5 else 0.25, 0.5, 100000),
     (listed, 1.0, 100000)],
    ids=["bump", "wedge", "partly-raising", "odd", "junky", "wedge-two-trials", "inf-never-accepted", "list-only"],
)
def test_rejection_seeded_draws_match_the_reference(density, pdf_max, max_trials):
    sampler = drovik.rejection_sampler(density, box(), pdf_max, max_trials)
    replica = ref.Rejection(density, LO, HI, pdf_max, max_trials)
    assert (sampler.dim(), sampler.pdf_max()) == (2, pdf_max)
    for seed in (0, 7, 2**64 - 1):
        points = same_outcome(lambda: sampler.sample_n(40, seed=seed), lambda: replica.sample_n(40, seeded(seed)))
        assert points is None or all(replica.box.contains(p) for p in points)


@pytest.mark.parametrize(
    "density, max_trials, calls",
    [(lambda *args: 1 / 0, 7, 14), (lambda a, b: NAN, 7, 7), (lambda a, b: 1.0, 0, 0)],
    ids=["always-raising", "always-nan", "no-trials"],
)
def test_spent_trials(density, max_trials, calls):
    fn = Calls(density)
    sampler = drovik.rejection_sampler(fn, box(), 1.0, max_trials)
    for call in (sampler.sample, lambda: sampler.sample_n(3, seed=1)):
        fn.args.clear()
        raises_exactly(drovik.SampleError, ref.REJECTION_FAILED, call)
        assert len(fn.args) == calls  # one draw: the first failure ends sample_n
    assert sampler.sample_n(0) == sampler.sample_n(0, seed=1) == []


# ---------------------------------------------------------------------------
# Markov chains: seeded draws against the reference

MH_PARAMS = [
    {}, dict(step_size=0.8, burn_in=50, thin=3, adapt_steps=100), dict(step_size=100.0, burn_in=5, adapt_steps=10),
    dict(step_size=0.0, burn_in=3), dict(thin=0, burn_in=2, target_accept=0.9),
    dict(step_size=1e9, adapt_steps=0, burn_in=0), dict(step_size=1e300, adapt_steps=0, burn_in=0),
    dict(target_accept=INF, burn_in=2), dict(target_accept=-INF, step_size=5e-324, burn_in=2),
]


@pytest.mark.parametrize("params", MH_PARAMS, ids=params_id)
@pytest.mark.parametrize("density", DENSITIES + [plateau], ids=lambda f: f.__name__)
def test_mh_seeded_draws_match_the_reference(density, params):
    sampler, replica, _ = started("mh", density, **params)
    for seed in (1, 2):  # the chain, its counters and its step size carry over between calls
        points = sampler.sample_n(30, seed=seed)
        assert points == replica.sample_n(30, seeded(seed)) and all(replica.box.contains(p) for p in points)
        assert sampler.accept_rate() == replica.accept_rate()


HMC_PARAMS = [
    {}, dict(step_size=0.3, leapfrog_steps=5), dict(step_size=2.0, leapfrog_steps=3),
    dict(step_size=1e12, leapfrog_steps=2), dict(grad_eps=0.05, step_size=0.1), dict(step_size=0.2, leapfrog_steps=10),
]

# Within grad_eps of a wall beyond which f is 0 the central difference is infinite and every trajectory was
# rejected: the chain stood still for good once it came there (3000 points had 920 or 1 distinct values).
def test_hmc_moves_on_next_to_a_wall_where_the_density_ends():
    chain = drovik.hmc_sampler(lambda x: 1.0 + x if 0.0 <= x <= 1.0 else 0.0, drovik.HyperRect([0.0], [1.0]),
                               step_size=0.1, leapfrog_steps=5, grad_eps=0.3)
    chain.init()
    xs = [p[0] for p in chain.sample_n(3000, seed=1)]
    assert stats.kstest(xs[::3], lambda x: (x + x * x / 2) / 1.5).pvalue > 1e-3


STEP_POSITIVE, STEP_NOT_NEGATIVE = "step_size must be finite and positive", "step_size must be finite and not negative"
GRAD_EPS, LEAPFROG = "grad_eps must be finite and positive", "leapfrog_steps must be at least 1"


# Parameters with which a chain never moves, or moves to NaN outside its box (a NaN step size did, for a density
# that is finite at NaN): refused before f is called, in the order of the parameters.
@pytest.mark.parametrize("kind, params, message", [
    ("mh", dict(step_size=-0.5), STEP_NOT_NEGATIVE), ("mh", dict(step_size=INF), STEP_NOT_NEGATIVE),
    ("mh", dict(step_size=NAN, target_accept=NAN), STEP_NOT_NEGATIVE),
    ("mh", dict(step_size=0.0, adapt_steps=0), STEP_POSITIVE),
    ("mh", dict(step_size=-0.0, adapt_steps=0), STEP_POSITIVE),
    ("mh", dict(target_accept=NAN), "target_accept must not be NaN"),
    ("hmc", dict(step_size=0.0), STEP_POSITIVE), ("hmc", dict(step_size=NAN, leapfrog_steps=0), STEP_POSITIVE),
    ("hmc", dict(step_size=-0.1), STEP_POSITIVE), ("hmc", dict(step_size=INF), STEP_POSITIVE),
    ("hmc", dict(leapfrog_steps=0, grad_eps=NAN), LEAPFROG), ("hmc", dict(grad_eps=0.0), GRAD_EPS),
    ("hmc", dict(grad_eps=NAN), GRAD_EPS), ("hmc", dict(grad_eps=-1e-3), GRAD_EPS),
    ("hmc", dict(grad_eps=INF), GRAD_EPS)])
def test_chain_parameters_that_cannot_move_are_refused(kind, params, message):
    fn = Calls(bump)
    raises_exactly(drovik.BuildError, message, SAMPLERS[kind][0], fn, **params)
    assert fn.args == []


@pytest.mark.parametrize("params", HMC_PARAMS, ids=params_id)
@pytest.mark.parametrize("density", DENSITIES, ids=lambda f: f.__name__)
def test_hmc_seeded_draws_match_the_reference(density, params):
    twin = Calls(density)
    sampler, replica, fn = started("hmc", density, twin, **params)
    twin.args.clear()
    for seed in (3, 4):
        points = sampler.sample_n(15, seed=seed)
        assert points == replica.sample_n(15, seeded(seed)) and all(replica.box.contains(p) for p in points)
    assert same(fn.args, twin.args)  # and nothing more is evaluated, also after a trajectory turned NaN


# ---------------------------------------------------------------------------
# Markov chains: states and edge cases


@pytest.mark.parametrize(
    "kind, call",
    [("mh", lambda s: s.step()), ("mh", lambda s: s.sample()), ("mh", lambda s: s.sample_n(0)),
     ("hmc", lambda s: s.sample()), ("hmc", lambda s: s.sample_n(1, seed=1))],
)
def test_chains_must_be_initialized(kind, call):
    fn = Calls(bump)
    sampler = SAMPLERS[kind][0](fn)
    raises_exactly(drovik.SampleError, ref.NOT_INITIALIZED, call, sampler)
    assert fn.args == []
    if kind == "mh":
        assert sampler.accept_rate() == 0.0
    else:
        assert sampler.sample_n(0) == sampler.sample_n(0, seed=1) == []


@pytest.mark.parametrize("kind", ["mh", "hmc"])
@pytest.mark.parametrize("bad, calls", [(lambda a, b: 0.0, 100000), (lambda *a: 1 / 0, 200000),
                                        (lambda a, b: INF, 100000)], ids=["zero", "raising", "infinite"])
def test_failed_init_tries_100000_points_and_keeps_the_state(kind, bad, calls):
    sampler, replica, fn = started(kind, bump)
    fn.fn = bad
    raises_exactly(drovik.SampleError, ref.MCMC_FAILED, sampler.init)
    assert len(fn.args) == calls
    fn.fn = bump
    assert sampler.sample_n(3, seed=5) == replica.sample_n(3, seeded(5))


def test_reinit_restarts_the_counters_but_keeps_the_adapted_step():
    sampler, replica, fn = started("mh", bump, burn_in=20, adapt_steps=15)
    assert sampler.sample_n(5, seed=1) == replica.sample_n(5, seeded(1)) and replica.step_size != 0.25
    sampler.init()
    replica.start(fn.point())
    assert sampler.accept_rate() == 0.0
    assert sampler.sample_n(5, seed=2) == replica.sample_n(5, seeded(2))
    assert sampler.accept_rate() == replica.accept_rate()


@pytest.mark.parametrize("kind", ["mh", "hmc"])
def test_step_and_sample_return_the_chain_point(kind):
    sampler, replica, _ = started(kind, bump, **(dict(adapt_steps=0, burn_in=0) if kind == "mh" else {}))
    for move in ([sampler.step, sampler.sample] if kind == "mh" else [sampler.sample]):
        point = move()
        assert type(point) is list and len(point) == 2 and replica.box.contains(point)
        replica.start(point)
        assert sampler.sample_n(4, seed=8) == replica.sample_n(4, seeded(8))


# Trajectories hit the walls of [-1, 2] often; folding the position without turning the momentum around gave
# HMC a mean near 0.09 instead of 0.23 here.
@pytest.mark.parametrize("kind, params", [("mh", dict(step_size=1.0, burn_in=500, thin=5)),
                                          ("hmc", dict(step_size=0.2, leapfrog_steps=8))])
def test_chains_sample_a_truncated_normal(kind, params):
    make = {"mh": drovik.metropolis_hastings, "hmc": drovik.hmc_sampler}[kind]
    sampler = make(lambda x: math.exp(-0.5 * x * x), drovik.HyperRect([-1.0], [2.0]), **params)
    sampler.init()
    assert_follows([p[0] for p in sampler.sample_n(4000, seed=11)], stats.truncnorm(-1.0, 2.0).cdf)


# ---------------------------------------------------------------------------
# Gibbs and the conditional factorization


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


@pytest.mark.parametrize("init", [[0.5], [0.5, 0.5, 0.5], []])
def test_gibbs_start_of_the_wrong_length(init):
    fn = Calls(sum_plus_one)
    raises_exactly(drovik.SampleError, ref.MCMC_FAILED, drovik.gibbs_sampler, fn, box(), init)
    assert fn.args == []


# ---------------------------------------------------------------------------
# Gaussian copula


TRIANGLE = drovik.from_pdf(lambda x: x * (2.0 - x), drovik.Interval(0.0, 2.0))
MARGINALS = {1: [stats.expon.ppf], 2: [stats.norm(2.0, 3.0).ppf, TRIANGLE.ppf],
             3: [stats.beta(2.0, 5.0).ppf, TRIANGLE.ppf, lambda u: u]}


@pytest.mark.parametrize("corr", [[[2.5]], CORR, [[1.0, 99.0], [0.5, 1.0]], [[1.0, NAN], [0.5, 1.0]],
                                  [[4.0, 1.0], [1.0, 9.0]], CORR3,
                                  [[1.0, 0.0, 0.0], [0.7, 1.0, 0.0], [-0.4, 0.2, 1.0]]],
                         ids=["1d", "2d", "upper-99", "upper-nan", "covariance", "3d", "3d-lower-only"])
def test_copula_draws_golden(corr):
    ppfs = MARGINALS[len(corr)]
    copula, replica = drovik.gaussian_copula(corr), ref.GaussianCopula(corr)
    assert copula.dim() == len(corr)
    for seed in (*range(32), 2**64 - 1):  # enough seeds that a changed summation order shows in d = 3
        assert copula.sample(ppfs, seed=seed) == replica.sample(ppfs, seeded(seed))


# A covariance matrix is the correlation matrix it scales: its marginals are still those of the quantile functions
# (each coordinate was Phi(sigma z), far from uniform).
def test_covariance_matrix_keeps_the_marginals():
    copula = drovik.gaussian_copula([[1e6, 10.0], [10.0, 9.0]])
    columns = list(zip(*[copula.sample([lambda u: u] * 2, seed=s) for s in range(2000)]))
    assert min(stats.kstest(column, "uniform").pvalue for column in columns) > 1e-3


def test_copula_rank_correlations_and_marginals():
    n, ppfs = 3000, [stats.expon.ppf, lambda u: u, stats.norm.ppf]
    copula = drovik.gaussian_copula(CORR3)
    columns = list(zip(*[copula.sample(ppfs, seed=s) for s in range(n)]))
    for i, j in ((0, 1), (0, 2), (1, 2)):
        rho = stats.spearmanr(columns[i], columns[j])[0]
        assert abs(rho - 6.0 / math.pi * math.asin(CORR3[i][j] / 2.0)) < 4.0 / math.sqrt(n), (i, j, rho)
    for column, exact in zip(columns, (stats.expon.cdf, stats.uniform.cdf, stats.norm.cdf)):
        assert_follows(column, exact, 1e-4)


# ---------------------------------------------------------------------------
# Monte Carlo distribution function


@pytest.mark.parametrize("density", DENSITIES, ids=lambda f: f.__name__)
def test_estimates_match_the_reference(density):
    fn, twin = Calls(density), Calls(density)
    estimator, replica = drovik.cdf_mc_estimator(fn, box(), 300, 200), ref.CdfMc(twin, LO, HI, 300, 200)
    same_outcome(lambda: estimator.estimate_normalization(seed=5), lambda: replica.estimate_normalization(seeded(5)))
    same_outcome(lambda: estimator.cdf([0.7, 0.9], seed=6), lambda: replica.cdf([0.7, 0.9], seeded(6)))
    assert same(fn.args, twin.args)


@pytest.mark.parametrize("x, as_if", [
    ([LO[0], 0.5], None), ([0.5, -2.0], None), ([-INF, 1.0], None), ([-0.0, NAN], None),  # below the box: 0, after
    # M evaluations with that coordinate at lo; a NaN coordinate acts as the upper bound
    ([NAN, 0.4], [HI[0], 0.4]), ([INF, 0.25], [HI[0], 0.25]), ([True, NAN], [1.0, HI[1]]), ([NAN, NAN], HI)])
def test_cdf_point_coordinates(x, as_if):
    fn, twin = Calls(bump), Calls(bump)
    estimator, replica = drovik.cdf_mc_estimator(fn, box(), 7, 9), ref.CdfMc(twin, LO, HI, 7, 9)
    assert estimator.cdf(x, seed=4) == replica.cdf(as_if or x, seeded(4))
    assert fn.args == twin.args and len(fn.args) == 7 + 9


def test_an_overflowing_volume_fails_the_estimate():
    estimator = drovik.cdf_mc_estimator(lambda x, y: 1.0, drovik.HyperRect([-1e300] * 2, [1e300] * 2), 3, 3)
    raises_exactly(drovik.SampleError, ref.INTEGRATION_FAILED, estimator.estimate_normalization)


# Which values count, and the second call of a failed one: the replays above.
@pytest.mark.parametrize("bad, calls_per_point", [(lambda a, b: 0.0, 1), (lambda a, b: 1 / 0, 2)],
                         ids=["zero", "raises"])
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


# ---------------------------------------------------------------------------
# Interrupts


def pair(kind, **params):
    return (lambda fn: SAMPLERS[kind][0](fn, **params)), (lambda fn: SAMPLERS[kind][1](fn, **params))


SAMPLE_30 = (lambda s: s.sample_n(30, seed=3), lambda r: r.sample_n(30, seeded(3)))
INTERRUPTED = {  # user function, maker, replica maker, interrupted call, replica call (the call is repeated after)
    "mh": (bump, *pair("mh", burn_in=0, adapt_steps=40), *SAMPLE_30),
    "hmc": (bump, *pair("hmc", leapfrog_steps=4), *SAMPLE_30),
    "gibbs": (lambda i, xs: 0.5 * sum(xs) + i, lambda fn: drovik.gibbs_sampler(fn, box([0] * 3, [1] * 3), [1, 2, 3], 2),
              lambda fn: ref.Gibbs(fn, [0] * 3, [1] * 3, [1, 2, 3], 2), lambda s: s.step(), lambda r: r.step()),
    "cdf_mc": (bump, lambda fn: drovik.cdf_mc_estimator(fn, box(), 10, 10), lambda fn: ref.CdfMc(fn, LO, HI, 10, 10),
               lambda s: s.cdf([0.5, 0.5], seed=1), lambda r: r.cdf([0.5, 0.5], seeded(1))),
}


# The samplers with state (the stateless ones let an interrupt through at once: test_callables). The second Gibbs
# sweep stops at coordinate 1 and keeps the coordinate 0 it replaced; a chain's counters stay those of the moves
# made; an estimate of Z that finished before the interrupt stays cached.
@pytest.mark.parametrize("kind, stop_at", [("mh", 25), ("hmc", 100), ("gibbs", 5), ("cdf_mc", 3), ("cdf_mc", 14)])
def test_keyboard_interrupt_stops_the_call_at_once_and_the_state_stays_consistent(kind, stop_at):
    fn, make, make_replica, call, replica_call = INTERRUPTED[kind]
    calls, twin = Calls(fn), Calls(fn)
    sampler, replica = make(calls), make_replica(twin)
    if kind in ("mh", "hmc"):
        sampler.init()
        replica.start(calls.point())
    calls.args[:], twin.args[:] = [], []
    calls.stop_at = twin.stop_at = stop_at
    for run in (lambda: call(sampler), lambda: replica_call(replica)):
        with pytest.raises(KeyboardInterrupt, match="^stop$"):
            run()
    assert len(calls.args) == stop_at  # no second try with a list
    calls.stop_at = twin.stop_at = None
    assert call(sampler) == replica_call(replica) and same(calls.args, twin.args)
    if kind == "mh":
        assert sampler.accept_rate() == replica.accept_rate()
