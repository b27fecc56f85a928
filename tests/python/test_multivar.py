"""HyperRect, the rejection sampler, Metropolis-Hastings and HMC: box checks, seeded draws bit for bit against the
reference, the two ways a density is called, chain states, interrupts and the distributions the chains follow."""

import math

import pytest
from scipy import stats

import drovik
import multivar_ref as ref
from _reference import seeded_uniforms
from _replica import raises_exactly
from multivar_ref import seeded
from test_bad_input import Float

INF, NAN = math.inf, math.nan
LO, HI = [0.1, -1.3], [1.2, 1.9]  # inexact widths: a reflection rounds


def box():
    return drovik.HyperRect(LO, HI)


def same(a, b):  # equality that sees NaN and the sign of zero
    return repr(a) == repr(b)


class Calls:
    """A user function recording a copy of the arguments of every call; `fn` may be swapped between calls. At call
    `stop_at` it raises KeyboardInterrupt; past `limit` calls PanicException, which the module lets through, so a
    loop that never ends fails the test instead of hanging it."""

    def __init__(self, fn, stop_at=None, limit=500_000):
        self.fn, self.stop_at, self.limit, self.args = fn, stop_at, limit, []

    def __call__(self, *args):
        self.args.append(tuple(list(a) if isinstance(a, list) else a for a in args))
        if len(self.args) == self.stop_at:
            raise KeyboardInterrupt("stop")
        if len(self.args) > self.limit:
            raise drovik.PanicException("call budget exhausted: the computation does not end")
        return self.fn(*args)

    def point(self, k=-1):
        return point(self.args[k])


def point(args):  # the coordinates, from either calling form of a density
    return list(args[0]) if len(args) == 1 else list(args)


def bump(a, b):
    return math.exp(-((a - 0.3) ** 2) - (b - 0.5) ** 2 / 0.5)


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


DENSITIES = [bump, wedge, partly_raising, odd]
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


def same_outcome(call, replica_call):
    """Equal results, or the same SampleError text."""
    try:
        expected = replica_call()
    except ref.SampleFailure as failure:
        raises_exactly(drovik.SampleError, failure.args[0], call)
        return None
    assert call() == expected
    return expected


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
     ([0.0, 3.0], [1.0, -5.0], ref.LO_NOT_BELOW_HI)],
)
def test_box_checks_in_order(lo, hi, message):
    raises_exactly(drovik.BuildError, message, drovik.HyperRect, lo, hi)


def test_box_accessors_return_new_lists():
    rect = drovik.HyperRect((-1e308, Float(-5e-324)), [1e308, True])  # huge finite boxes are boxes
    assert (rect.dim(), rect.lo(), rect.hi()) == (2, [-1e308, -5e-324], [1e308, 1.0])
    rect.lo()[0] = 5.0
    assert rect.lo() == [-1e308, -5e-324] and rect.lo() is not rect.lo()


# ---------------------------------------------------------------------------
# Rejection


@pytest.mark.parametrize("pdf_max", [0.0, -0.0, -1.0, -5e-324, NAN, INF, -INF])
def test_pdf_max_must_be_finite_and_positive(pdf_max):
    raises_exactly(drovik.BuildError, ref.BAD_PDF_MAX, drovik.rejection_sampler, bump, box(), pdf_max)


@pytest.mark.parametrize(
    "density, pdf_max, max_trials",
    [(bump, 1.0, 100000), (wedge, 1.6, 100000), (partly_raising, 1.0, 100000), (odd, 3.0, 100000),
     (wedge, 1.6, 2), (lambda a, b: INF if a < 0.5 else 0.25, 0.5, 100000)],
    ids=["bump", "wedge", "partly-raising", "odd", "wedge-two-trials", "inf-never-accepted"],
)
def test_rejection_seeded_draws_match_the_reference(density, pdf_max, max_trials):
    sampler = drovik.rejection_sampler(density, box(), pdf_max, max_trials)
    replica = ref.Rejection(density, LO, HI, pdf_max, max_trials)
    assert (sampler.dim(), sampler.pdf_max()) == (2, pdf_max)
    for seed in (0, 7, 2**64 - 1):
        points = same_outcome(lambda: sampler.sample_n(40, seed=seed), lambda: replica.sample_n(40, seeded(seed)))
        assert points is None or all(replica.box.contains(p) for p in points)


def test_constant_density_accepts_the_first_proposal():
    sampler = drovik.rejection_sampler(lambda a, b: 2, box(), 2)
    u = seeded_uniforms(5, 9)
    assert type(sampler.pdf_max()) is float
    expected = [[LO[i] + u[k + i] * (HI[i] - LO[i]) for i in (0, 1)] for k in (0, 3, 6)]  # d + 1 draws each
    assert sampler.sample_n(3, seed=5) == expected


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
    dict(step_size=0.0, burn_in=3), dict(step_size=-0.5, burn_in=0), dict(thin=0, burn_in=2, target_accept=0.9),
    dict(step_size=1e9, adapt_steps=0, burn_in=0), dict(step_size=1e300, adapt_steps=0, burn_in=0),
    dict(step_size=INF, burn_in=0), dict(step_size=NAN, burn_in=2), dict(target_accept=NAN, burn_in=2),
    dict(target_accept=INF, burn_in=2), dict(target_accept=-INF, step_size=5e-324, burn_in=2),  # taken unchecked
]


@pytest.mark.parametrize("params", MH_PARAMS, ids=params_id)
@pytest.mark.parametrize("density", DENSITIES + [plateau], ids=lambda f: f.__name__)
def test_mh_seeded_draws_match_the_reference(density, params):
    sampler, replica, _ = started("mh", density, **params)
    for seed in (1, 2):  # the chain, its counters and its step size carry over between calls
        points = sampler.sample_n(30, seed=seed)
        assert points == replica.sample_n(30, seeded(seed)) and all(replica.box.contains(p) for p in points)
        assert sampler.accept_rate() == replica.accept_rate()
    if density is plateau and not params:
        assert 0.0 < sampler.accept_rate() < 0.1


HMC_PARAMS = [
    {}, dict(step_size=0.3, leapfrog_steps=5), dict(step_size=2.0, leapfrog_steps=3),
    dict(step_size=1e12, leapfrog_steps=2), dict(grad_eps=0.0, leapfrog_steps=2), dict(grad_eps=0.05, step_size=0.1),
    dict(step_size=NAN, leapfrog_steps=3), dict(step_size=-0.1, leapfrog_steps=3), dict(step_size=INF, leapfrog_steps=3),
    dict(grad_eps=NAN, leapfrog_steps=3), dict(grad_eps=INF, leapfrog_steps=3), dict(grad_eps=-1e-3, leapfrog_steps=3),
]


@pytest.mark.parametrize("params", HMC_PARAMS, ids=params_id)
@pytest.mark.parametrize("density", DENSITIES, ids=lambda f: f.__name__)
def test_hmc_seeded_draws_match_the_reference(density, params):
    sampler, replica, _ = started("hmc", density, **params)
    for seed in (3, 4):
        points = sampler.sample_n(15, seed=seed)
        assert points == replica.sample_n(15, seeded(seed)) and all(replica.box.contains(p) for p in points)


@pytest.mark.parametrize("kind", SAMPLERS)
def test_list_and_positional_densities_agree_and_lists_are_fresh(kind):
    def mutating(v):
        kept.append(v)
        y = bump(*v)
        v[0] = 99.0
        v.append(1.0)
        return y

    kept, evaluations = [], []
    counted = lambda a, b: evaluations.append(1) or bump(a, b)  # noqa: E731
    params = {"mh": dict(burn_in=10), "hmc": dict(leapfrog_steps=3)}.get(kind, {})
    for density in (lambda v: bump(*v), mutating):
        sampler, replica, fn = started(kind, density, counted, **params)
        evaluations.clear()
        assert sampler.sample_n(12, seed=9) == replica.sample_n(12, seeded(9))
        assert [len(args) for args in fn.args] == [2, 1] * len(evaluations)  # d floats first, then one list
    assert len({id(v) for v in kept}) == len(kept) and all(len(v) == 3 for v in kept)


# ---------------------------------------------------------------------------
# Markov chains: states and edge cases


@pytest.mark.parametrize(
    "kind, call",
    [("mh", lambda s: s.step()), ("mh", lambda s: s.sample()), ("mh", lambda s: s.sample_n(0)),
     ("mh", lambda s: s.sample_n(2, seed=1)), ("hmc", lambda s: s.sample()), ("hmc", lambda s: s.sample_n(1)),
     ("hmc", lambda s: s.sample_n(3, seed=1))],
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


def test_sample_n_of_zero_still_burns_in():
    sampler, replica, fn = started("mh", bump, burn_in=37)
    assert sampler.sample_n(0, seed=5) == replica.sample_n(0, seeded(5)) == []
    assert len(fn.args) == 37 and sampler.accept_rate() == replica.accept_rate()
    assert sampler.sample_n(3, seed=6) == replica.sample_n(3, seeded(6))


@pytest.mark.parametrize("kind", ["mh", "hmc"])
def test_step_and_sample_return_the_chain_point(kind):
    sampler, replica, _ = started(kind, bump, **(dict(adapt_steps=0, burn_in=0) if kind == "mh" else {}))
    for move in ([sampler.step, sampler.sample] if kind == "mh" else [sampler.sample]):
        point = move()
        assert type(point) is list and len(point) == 2 and replica.box.contains(point)
        replica.start(point)
        assert sampler.sample_n(4, seed=8) == replica.sample_n(4, seeded(8))


def test_hmc_without_leapfrog_steps_stays_put():
    sampler, replica, fn = started("hmc", wedge, leapfrog_steps=0)
    assert sampler.sample_n(6, seed=2) == [replica.current] * 6
    assert len(fn.args) == 6 * (2 * 2 + 1)


def test_hmc_infinite_gradient_rejects_promptly():
    # A trajectory that meets the edge where f drops to 0 gets an infinite gradient, then a NaN position.
    evaluations = []
    cliff = lambda a, b: 1.0 if a < 0.5 else 0.0  # noqa: E731
    sampler, replica, fn = started("hmc", cliff, lambda a, b: evaluations.append(1) or cliff(a, b),
                                   step_size=0.2, leapfrog_steps=10)
    evaluations.clear()
    points = sampler.sample_n(20, seed=6)
    assert points == replica.sample_n(20, seeded(6)) and len(set(map(tuple, points))) < 20
    assert len(fn.args) <= len(evaluations)


@pytest.mark.parametrize("kind, at_call", [("rejection", 5), ("mh", 25), ("hmc", 100)])
def test_keyboard_interrupt_stops_the_call_and_the_chain_stays_consistent(kind, at_call):
    params = {"mh": dict(burn_in=0, adapt_steps=40), "hmc": dict(leapfrog_steps=4)}.get(kind, {})
    twin = Calls(bump)
    sampler, replica, fn = started(kind, bump, twin, **params)
    fn.stop_at, twin.stop_at, twin.args = at_call, at_call, []
    with pytest.raises(KeyboardInterrupt):
        replica.sample_n(30, seeded(3))
    with pytest.raises(KeyboardInterrupt, match="^stop$"):
        sampler.sample_n(30, seed=3)
    assert len(fn.args) == at_call  # no second try with a list
    fn.stop_at = twin.stop_at = None
    if kind == "mh":
        assert sampler.accept_rate() == replica.accept_rate()
    assert sampler.sample_n(10, seed=4) == replica.sample_n(10, seeded(4))


# Trajectories hit the walls of [-1, 2] often; folding the position without turning the momentum around gave
# HMC a mean near 0.09 instead of 0.23 here.
@pytest.mark.parametrize("kind, params", [("mh", dict(step_size=1.0, burn_in=500, thin=5)),
                                          ("hmc", dict(step_size=0.2, leapfrog_steps=8))])
def test_chains_sample_a_truncated_normal(kind, params):
    make = {"mh": drovik.metropolis_hastings, "hmc": drovik.hmc_sampler}[kind]
    sampler = make(lambda x: math.exp(-0.5 * x * x), drovik.HyperRect([-1.0], [2.0]), **params)
    sampler.init()
    xs = [p[0] for p in sampler.sample_n(4000, seed=11)]
    exact = stats.truncnorm(-1.0, 2.0)
    assert stats.kstest(xs, exact.cdf).pvalue > 1e-3
    assert abs(sum(xs) / len(xs) - exact.mean()) < 0.05
    assert abs(stats.tvar(xs) / exact.var() - 1.0) < 0.1
