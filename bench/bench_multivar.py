"""Multivariate samplers, timed against the bare cost of their Python calls and
against peer libraries, in one process.

The bare cost of a run is the same Python function called with the arguments
the sampler passed it (recorded in a first run), driven from C with
itertools.starmap and nothing kept: the ratio shows what the sampler adds
around the user's calls.

Each such line is followed by the floor under it: the same calls replayed from
C with fresh argument objects (new floats, a tuple), which a sampler cannot
avoid and the bare loop does not pay, and nothing else.

1. Per density call, in 2 and 10 dimensions: a rejection trial, a
   Metropolis-Hastings step (step() driven from C, and sample_n), an HMC
   transition (2d(L+1)+1 calls). Goal: at most 1.10 times the bare calls in
   two dimensions; ten dimensions for the record, and where an MH step's time
   goes.
2. Effective samples per CPU second of adaptive Metropolis-Hastings on a 2-D
   standard normal density against OpenTURNS' random-walk Metropolis-Hastings
   and emcee's ensemble sampler, one ESS estimator (emcee's integrated time)
   for all. Goal: at least 3 times OpenTURNS; a chain with target_accept=0.35
   for the record.
3. A Gaussian copula point with Python quantile functions against its d bare
   quantile calls, in 2 and 10 dimensions. Goal: at most 1.25 times; an
   OpenTURNS normal copula over the same quantile functions for the record.
4. A Monte Carlo CDF estimate (normalization cached) and a Gibbs sweep against
   their bare calls. Goals: at most 1.10 and 1.20 times.

Times are medians of interleaved runs, in CPU time of the process; ratios are
the median of the per-round ratios, with their quartiles in brackets.
"""

import gc
import math
import random
import statistics
import time

import numpy as np

from timing import floor_calls, interleaved_times, paired_ratio, recording, repeated_calls, replayed_calls, verdict

import drovik

try:
    import emcee
except ImportError:
    emcee = None
try:
    import openturns
except ImportError:
    openturns = None

ROUNDS = 15
# CPU time of the process: on a shared machine the time spent waiting for a
# core would swamp the differences measured here.
CLOCK = time.process_time
CALLS_PER_RUN = 50_000  # user calls per timed run


def normal_density_2(x0, x1):
    return math.exp(-0.5 * (x0 * x0 + x1 * x1))


def normal_density_10(x0, x1, x2, x3, x4, x5, x6, x7, x8, x9):
    return math.exp(
        -0.5
        * (x0 * x0 + x1 * x1 + x2 * x2 + x3 * x3 + x4 * x4 + x5 * x5 + x6 * x6 + x7 * x7 + x8 * x8 + x9 * x9)
    )


NORMAL_DENSITY = {2: normal_density_2, 10: normal_density_10}


def cube(dim, half_width):
    return drovik.HyperRect([-half_width] * dim, [half_width] * dim)


def recorded_calls(f, run):
    """The argument tuples of f's calls during run(recording f)."""
    recorder = recording(f)
    run(recorder)
    return recorder.calls


def against_bare(label, unit, units, ours, f, calls, goal=None):
    """Times ours() against the replayed calls and prints one line per figure."""
    cases = {"ours": ours, "bare": replayed_calls(f, calls)}
    floor_run = floor_calls(f, calls)
    if floor_run is not None:
        cases["floor"] = floor_run
    times = interleaved_times(cases, ROUNDS, clock=CLOCK)
    ratio, low, high = paired_ratio(times, "ours", "bare")
    ours_ns = statistics.median(times["ours"]) / units * 1e9
    bare_ns = statistics.median(times["bare"]) / units * 1e9
    calls_per_unit = len(calls) / units
    calls_text = f"{calls_per_unit:g} call" + ("" if calls_per_unit == 1 else "s")
    goal_text = verdict(ratio, goal) if goal is not None else "for the record"
    print(
        f"  {label:36s} {ours_ns:9.1f} ns per {unit} ({calls_text}), bare {bare_ns:9.1f} ns: "
        f"ratio {ratio:.3f} [{low:.3f}-{high:.3f}] ({goal_text})"
    )
    if floor_run is not None:
        floor, floor_low, floor_high = paired_ratio(times, "floor", "bare")
        print(f"  {'':36s} floor: the same calls with fresh arguments from C, nothing else: "
              f"{floor:.3f} [{floor_low:.3f}-{floor_high:.3f}]")


# ---------------------------------------------------------------------------
# 1. Density-driven samplers against their bare density calls


def rejection(dim):
    f = NORMAL_DENSITY[dim]
    # Box half-widths that keep the acceptance rate reasonable: about 0.17 and 0.006.
    box = cube(dim, 3.0 if dim == 2 else 2.0)
    draws = {2: 8_000, 10: 280}[dim]
    calls = recorded_calls(f, lambda g: drovik.rejection_sampler(g, box, 1.0).sample_n(draws, seed=1))
    sampler = drovik.rejection_sampler(f, box, 1.0)
    gc.freeze()  # keep the recorded arguments out of the collector's passes
    against_bare(
        f"rejection, d={dim}",
        "trial",
        len(calls),
        lambda: sampler.sample_n(draws, seed=1),
        f,
        calls,
        goal=1.10 if dim == 2 else None,
    )


def metropolis(dim):
    f = NORMAL_DENSITY[dim]
    box = cube(dim, 10.0)
    steps = CALLS_PER_RUN
    # Short calls keep their result points in cache; one long call does not.
    short_call = 1000

    def chain_of(g):
        chain = drovik.metropolis_hastings(g, box, burn_in=0)
        chain.init()
        return chain

    def record_sample_n(g):
        chain = chain_of(g)
        g.calls.clear()  # drop the init draw
        chain.sample_n(steps, seed=1)

    def record_steps(g):
        chain = chain_of(g)
        g.calls.clear()
        repeated_calls(chain.step, steps)()

    goal = 1.10 if dim == 2 else None
    sample_n_calls = recorded_calls(f, record_sample_n)
    step_calls = recorded_calls(f, record_steps)
    chain = chain_of(f)
    gc.freeze()
    against_bare(f"MH step() from C, d={dim}", "step", steps, repeated_calls(chain.step, steps), f, step_calls, goal)
    against_bare(
        f"MH sample_n({short_call}) x {steps // short_call}, d={dim}",
        "step",
        steps,
        repeated_calls(chain.sample_n, steps // short_call, (short_call, 1)),
        f,
        sample_n_calls,
        goal,
    )
    against_bare(
        f"MH sample_n({steps}), d={dim}", "step", steps, lambda: chain.sample_n(steps, seed=1), f, sample_n_calls, goal
    )


def hmc(dim):
    f = NORMAL_DENSITY[dim]
    box = cube(dim, 10.0)
    leapfrog_steps = 20
    per_transition = 2 * dim * (leapfrog_steps + 1) + 1
    transitions = CALLS_PER_RUN // per_transition

    def chain_of(g):
        chain = drovik.hmc_sampler(g, box, leapfrog_steps=leapfrog_steps)
        chain.init()
        return chain

    def record(g):
        chain = chain_of(g)
        g.calls.clear()
        chain.sample_n(transitions, seed=1)

    calls = recorded_calls(f, record)
    if len(calls) != transitions * per_transition:
        print(f"  HMC, d={dim}: {len(calls) / transitions:g} calls per transition, expected {per_transition}")
    chain = chain_of(f)
    gc.freeze()
    against_bare(
        f"HMC transition, d={dim}",
        "transition",
        transitions,
        lambda: chain.sample_n(transitions, seed=1),
        f,
        calls,
        goal=1.10 if dim == 2 else None,
    )


def without_collector(run):
    def run_without_collector():
        gc.disable()
        try:
            run()
        finally:
            gc.enable()

    return run_without_collector


def constant_density(*x):
    return 1e-3


def where_the_time_goes(dim):
    """Splits an MH step's extra cost into the density call, the step's own work and its result point."""
    f = NORMAL_DENSITY[dim]
    steps = CALLS_PER_RUN // 2
    # At acceptance 1e-3 a rejection draw is almost only trials: d uniforms and one call each.
    trials_box = cube(dim, 1.0)
    trial_calls = recorded_calls(
        constant_density, lambda g: drovik.rejection_sampler(g, trials_box, 1.0).sample_n(20, seed=1)
    )
    trials = drovik.rejection_sampler(constant_density, trials_box, 1.0)
    box = cube(dim, 10.0)

    def record(g):
        chain = drovik.metropolis_hastings(g, box, burn_in=0)
        chain.init()
        g.calls.clear()
        chain.sample_n(steps, seed=1)

    step_calls = recorded_calls(f, record)
    burning = drovik.metropolis_hastings(f, box, burn_in=steps)
    burning.init()
    sampling = drovik.metropolis_hastings(f, box, burn_in=0)
    sampling.init()
    sampled_steps = repeated_calls(sampling.sample_n, steps // 1000, (1000, 1))
    gc.freeze()
    times = interleaved_times(
        {
            "trials": lambda: trials.sample_n(20, seed=1),
            "bare constant": replayed_calls(constant_density, trial_calls),
            "burn-in steps": lambda: burning.sample_n(0, seed=1),
            "sampled steps": sampled_steps,
            "sampled steps, collector off": without_collector(sampled_steps),
            "bare density": replayed_calls(f, step_calls),
        },
        ROUNDS,
        clock=CLOCK,
    )
    ns = {name: statistics.median(ts) * 1e9 for name, ts in times.items()}
    per_trial = (ns["trials"] - ns["bare constant"]) / len(trial_calls)
    step_work = (ns["burn-in steps"] - ns["bare density"]) / steps
    point = (ns["sampled steps"] - ns["burn-in steps"]) / steps
    collector = (ns["sampled steps"] - ns["sampled steps, collector off"]) / steps
    print(
        f"  where an MH step's time goes, d={dim}: density call {ns['bare density'] / steps:.0f} ns bare; "
        f"calling it through the adapter with {dim} uniforms drawn +{per_trial:.0f} ns; "
        f"the whole step without its result +{step_work:.0f} ns; its result point in sample_n(1000) +{point:.0f} ns, "
        f"{collector:.0f} ns of which in the cycle collector"
    )


def density_samplers():
    print("1. Samplers over a Python density against the bare density calls (standard normal density):")
    for dim in (2, 10):
        rejection(dim)
        metropolis(dim)
        hmc(dim)
        gc.unfreeze()
        where_the_time_goes(dim)
        gc.unfreeze()


# ---------------------------------------------------------------------------
# 2. Effective samples per second of adaptive Metropolis-Hastings


HALF_WIDTH = 10.0
ESS_SAMPLES = 40_000
BURN_IN = 1_000  # density calls spent before the kept samples, for each sampler


def log_normal_density(point):
    """The same 2-D standard normal, as the log density of a point sequence; -inf outside the box."""
    x0, x1 = point
    if abs(x0) > HALF_WIDTH or abs(x1) > HALF_WIDTH:
        return -math.inf
    return -0.5 * (x0 * x0 + x1 * x1)


def effective_samples(chains):
    """n / tau of the worse coordinate, and that tau; chains has the shape (steps, walkers, dim)."""
    tau = float(np.max(emcee.autocorr.integrated_time(chains, quiet=True)))
    return chains.shape[0] * chains.shape[1] / tau, tau


def single_chain(points):
    return np.asarray(points)[:, None, :]


# Each run returns its samples as the library gives them; the conversion to
# an array happens after the timing.
def drovik_chain(**options):
    chain = drovik.metropolis_hastings(normal_density_2, cube(2, HALF_WIDTH), burn_in=BURN_IN, **options)
    chain.init()
    return single_chain, chain.sample_n(ESS_SAMPLES)


def openturns_chain():
    log_density = openturns.PythonFunction(2, 1, lambda point: [log_normal_density(point)])
    support = openturns.Interval([-HALF_WIDTH] * 2, [HALF_WIDTH] * 2)
    # The same starting step as drovik's default; it adapts during the burn-in.
    proposal = openturns.Normal([0.0, 0.0], [0.25, 0.25], openturns.IdentityMatrix(2))
    start = [random.uniform(-HALF_WIDTH, HALF_WIDTH) for _ in range(2)]
    sampler = openturns.RandomWalkMetropolisHastings(log_density, support, start, proposal)
    sampler.setBurnIn(BURN_IN)
    return single_chain, sampler.getSample(ESS_SAMPLES)


EMCEE_WALKERS = 16


def emcee_chain():
    steps = ESS_SAMPLES // EMCEE_WALKERS
    burn_steps = BURN_IN // EMCEE_WALKERS
    sampler = emcee.EnsembleSampler(EMCEE_WALKERS, 2, log_normal_density)
    start = np.random.default_rng().uniform(-1.0, 1.0, (EMCEE_WALKERS, 2))
    sampler.run_mcmc(start, burn_steps + steps, progress=False)
    return np.asarray, sampler.get_chain(discard=burn_steps)


def effective_sample_rates():
    print(f"2. Effective samples per CPU second, 2-D standard normal density on [-{HALF_WIDTH:g}, {HALF_WIDTH:g}]^2,")
    print(
        f"   {ESS_SAMPLES} kept samples after {BURN_IN} density calls of burn-in;"
        " ESS = n / tau of the worse coordinate:"
    )
    if emcee is None:
        print("   emcee is not installed: its ensemble sampler is skipped and drovik's ESS cannot be estimated")
        return
    ours = "drovik metropolis_hastings"
    tuned = "drovik, target_accept=0.35"
    emcee_name = f"emcee EnsembleSampler ({EMCEE_WALKERS} walkers)"
    # Every peer runs next to a drovik chain, so that a ratio compares runs made under the same load;
    # the slow emcee runs in a set of its own with fewer rounds.
    fast_set = {ours: drovik_chain}
    if openturns is not None:
        fast_set["openturns RandomWalkMH"] = openturns_chain
    else:
        print("   openturns is not installed: its random-walk Metropolis-Hastings is skipped")
    # The default adaptation overshoots on this density (acceptance near 0.14): for the record, one that does not.
    fast_set[tuned] = lambda: drovik_chain(target_accept=0.35)
    slow_set = {ours: drovik_chain, emcee_name: emcee_chain}

    estimates = {name: [] for name in (*fast_set, *slow_set)}

    def estimate(name, result):
        as_chains, samples = result
        estimates[name].append(effective_samples(as_chains(samples)))

    fast_times = interleaved_times(fast_set, rounds=31, after=estimate, clock=CLOCK)
    slow_times = interleaved_times(slow_set, rounds=5, after=estimate, clock=CLOCK)
    times = {**slow_times, **fast_times}
    median_ess = {}
    for name in estimates:
        median_ess[name] = statistics.median(ess for ess, _ in estimates[name])
        tau = statistics.median(tau for _, tau in estimates[name])
        seconds = statistics.median(times[name])
        print(
            f"   {name:34s} {seconds * 1e3:8.1f} ms, tau {tau:6.2f}, ESS {median_ess[name]:7.0f}, "
            f"ESS/s {median_ess[name] / seconds:9.0f}"
        )

    def rate_ratio(set_times, name, peer):
        # Median ESS ratio times the ratio of run times taken in the same rounds.
        time_ratio, low, high = paired_ratio(set_times, peer, name)
        ess_ratio = median_ess[name] / median_ess[peer]
        return ess_ratio * time_ratio, ess_ratio * low, ess_ratio * high

    comparisons = [
        (fast_times, name, peer) for peer in fast_set if not peer.startswith("drovik") for name in (ours, tuned)
    ]
    comparisons.append((slow_times, ours, emcee_name))
    for set_times, name, peer in comparisons:
        ratio, low, high = rate_ratio(set_times, name, peer)
        goal_text = (
            verdict(ratio, 3.0, higher_is_better=True)
            if name == ours and peer.startswith("openturns")
            else "for the record"
        )
        print(f"   ESS/s of {name} / {peer}: {ratio:.1f} [{low:.1f}-{high:.1f}] ({goal_text})")


# ---------------------------------------------------------------------------
# 3. Gaussian copula with Python quantile functions


def exponential_ppf(u):
    return -math.log(1.0 - u)


def equicorrelation(dim, rho):
    return [[1.0 if i == j else rho for j in range(dim)] for i in range(dim)]


def openturns_copula_points(dim, rho, n):
    """A run of n points of an OpenTURNS normal copula joined with Python exponential marginals, and the
    number of Python calls per point; None when it cannot be set up."""
    calls = [0]

    class PythonExponential(openturns.PythonDistribution):
        def __init__(self):
            super().__init__(1)

        def computeCDF(self, x):
            calls[0] += 1
            return -math.expm1(-x[0]) if x[0] > 0.0 else 0.0

        # The joint distribution samples through the scalar quantile; without
        # it, it would invert computeCDF numerically.
        def computeScalarQuantile(self, prob, tail=False):
            calls[0] += 1
            return exponential_ppf(1.0 - prob if tail else prob)

        def computeQuantile(self, prob, tail=False):
            calls[0] += 1
            return [exponential_ppf(1.0 - prob if tail else prob)]

        def getRange(self):
            return openturns.Interval([0.0], [60.0])

    try:
        marginal = openturns.Distribution(PythonExponential())
        correlation = openturns.CorrelationMatrix(dim)
        for i in range(dim):
            for j in range(i):
                correlation[i, j] = rho
        joint_type = getattr(openturns, "JointDistribution", None) or openturns.ComposedDistribution
        joint = joint_type([marginal] * dim, openturns.NormalCopula(correlation))
        joint.getSample(2)
        calls[0] = 0
        joint.getSample(n)
    except Exception as error:  # a version without these classes, or a different signature
        print(f"   openturns normal copula skipped: {error}")
        return None
    return (lambda: joint.getSample(n)), calls[0] / n


def copula(dim):
    rho = 0.5 if dim == 2 else 0.3
    corr = equicorrelation(dim, rho)
    points = CALLS_PER_RUN // dim
    sampler = drovik.gaussian_copula(corr)
    ppfs = [exponential_ppf] * dim

    def record(g):
        repeated_calls(sampler.sample, points, ([g] * dim,))()

    calls = recorded_calls(exponential_ppf, record)
    gc.freeze()
    ours = repeated_calls(sampler.sample, points, (ppfs,))
    against_bare(f"copula point, d={dim}", "point", points, ours, exponential_ppf, calls, goal=1.25)
    if openturns is None:
        print("   openturns is not installed: its normal copula is skipped")
        return
    peer_points = max(1, points // 5)
    set_up = openturns_copula_points(dim, rho, peer_points)
    if set_up is None:
        return
    peer, peer_calls = set_up
    times = interleaved_times({"ours": ours, "openturns": peer}, rounds=5, clock=CLOCK)
    ours_ns = statistics.median(times["ours"]) / points * 1e9
    peer_ns = statistics.median(times["openturns"]) / peer_points * 1e9
    print(
        f"  {'openturns NormalCopula, d=' + str(dim):36s} {peer_ns:9.1f} ns per point ({peer_calls:g} calls) "
        f"against drovik's {ours_ns:.1f} ns: {peer_ns / ours_ns:.2f} times drovik's time (for the record)"
    )


def copulas():
    print("3. Gaussian copula point with Python exponential quantile functions against the bare quantile calls:")
    if not hasattr(drovik, "gaussian_copula"):
        print("   skipped: this build of drovik has no gaussian_copula")
        return
    for dim in (2, 10):
        copula(dim)
        gc.unfreeze()


# ---------------------------------------------------------------------------
# 4. Monte Carlo CDF estimate and Gibbs sweep


def cdf_estimate(dim):
    f = NORMAL_DENSITY[dim]
    box = cube(dim, 3.0)
    point = [0.5] * dim

    def estimator_of(g):
        estimator = drovik.cdf_mc_estimator(g, box, normalization_samples=1000, cdf_samples=CALLS_PER_RUN)
        estimator.estimate_normalization(seed=1)
        return estimator

    def record(g):
        estimator = estimator_of(g)
        g.calls.clear()
        estimator.cdf(point, seed=2)

    calls = recorded_calls(f, record)
    estimator = estimator_of(f)
    gc.freeze()
    against_bare(
        f"CDF estimate, d={dim}", "sample", len(calls), lambda: estimator.cdf(point, seed=2), f, calls, goal=1.10
    )


def uniform_on_simplex_coord(i, x):
    """Coordinate i of the uniform distribution on {x >= 0, sum(x) <= 1} given the others."""
    return (1.0 - (sum(x) - x[i])) * random.random()


def gibbs_sweep(dim):
    box = drovik.HyperRect([0.0] * dim, [1.0] * dim)
    sweeps = CALLS_PER_RUN // dim

    def record(g):
        repeated_calls(drovik.gibbs_sampler(g, box, [0.0] * dim).step, sweeps)()

    calls = recorded_calls(uniform_on_simplex_coord, record)
    sampler = drovik.gibbs_sampler(uniform_on_simplex_coord, box, [0.0] * dim)
    gc.freeze()
    against_bare(
        f"Gibbs sweep step() from C, d={dim}",
        "sweep",
        sweeps,
        repeated_calls(sampler.step, sweeps),
        uniform_on_simplex_coord,
        calls,
        goal=1.20,
    )


def estimators():
    print("4. Monte Carlo CDF estimate and Gibbs sweep against their bare Python calls:")
    if hasattr(drovik, "cdf_mc_estimator"):
        for dim in (2, 10):
            cdf_estimate(dim)
            gc.unfreeze()
    else:
        print("   CDF estimate skipped: this build of drovik has no cdf_mc_estimator")
    if hasattr(drovik, "gibbs_sampler"):
        for dim in (2, 10):
            gibbs_sweep(dim)
            gc.unfreeze()
    else:
        print("   Gibbs sweep skipped: this build of drovik has no gibbs_sampler")


if __name__ == "__main__":
    start = time.perf_counter()
    density_samplers()
    effective_sample_rates()
    copulas()
    estimators()
    print(f"({time.perf_counter() - start:.0f} s)")
