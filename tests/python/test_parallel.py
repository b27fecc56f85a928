"""drovik.parallel: the chunk-seed rule, and results that depend only on (build, n, seed, chunk_size)."""

import functools
import math
import os
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor
from concurrent.futures.process import BrokenProcessPool

import numpy as np
import pytest

import drovik
import multivar_ref as ref
from _helpers import Calls
from drovik.parallel import chunk_seed, run_chains, sample_array
from multivar_ref import seeded

LO, HI = [0.1, -1.3], [1.2, 1.9]


def normal(x):
    return math.exp(-0.5 * x * x)


def bump(a, b):
    return math.exp(-((a - 0.3) ** 2) - (b - 0.5) ** 2 / 0.5)


# Module-level, so that a process pool can pickle them.
build_tdr = functools.partial(drovik.from_pdf_with_options, normal, drovik.Interval(-3.0, 4.0),
                              drovik.BuildOptions.tdr("log"))
build_rejection = functools.partial(drovik.rejection_sampler, bump, drovik.HyperRect(LO, HI), 1.6)


def build_dying_once(marker):
    """The first build anywhere (any process) kills its process; the others build normally."""
    try:
        os.close(os.open(marker, os.O_CREAT | os.O_EXCL))
    except FileExistsError:
        return build_tdr()
    os._exit(3)


def build_dying():
    os._exit(3)


@pytest.fixture(scope="module")
def pool():
    with ProcessPoolExecutor(2) as executor:
        yield executor


@pytest.fixture(scope="module")
def dask_client():
    dask = pytest.importorskip("dask")
    distributed = pytest.importorskip("distributed")
    # A worker death fails its task at once instead of after retries.
    with dask.config.set({"distributed.scheduler.allowed-failures": 0}):
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                                      silence_logs=50) as cluster, distributed.Client(cluster) as client:
            yield client


# SplitMix64's published outputs for the seeds 0 and 1234567.
@pytest.mark.parametrize("seed, outputs", [
    (0, [0xE220A8397B1DCDAF, 0x6E789E6AA1B965F4, 0x06C45D188009454F, 0xF88BB8A8724C81EC, 0x1B39896A51A8749B]),
    (1234567, [6457827717110365317, 3203168211198807973, 9817491932198370423, 4593380528125082431,
               16408922859458223821]),
])
def test_chunk_seeds_are_splitmix64_outputs(seed, outputs):
    assert [chunk_seed(seed, k) for k in range(5)] == outputs


def test_chunk_seed_arguments_are_checked():
    for seed, k in [(-1, 0), (2**64, 0), (0, -1), (0, 2**64)]:
        with pytest.raises(ValueError, match=r"must lie in \[0, 2\*\*64\)"):
            chunk_seed(seed, k)
    with pytest.raises(TypeError):
        chunk_seed(1.5, 0)


def by_the_rule(build, n, seed, chunk_size):
    obj = build()
    parts = [drovik.sample_array(obj, min(chunk_size, n - start), seed=chunk_seed(seed, k))
             for k, start in enumerate(range(0, n, chunk_size))]
    return np.concatenate(parts)


@pytest.mark.parametrize("build, n, chunk_size", [(build_tdr, 10_001, 2_500), (build_rejection, 301, 100),
                                                  (build_tdr, 5, 1_000_000)])
def test_serial_threads_and_processes_give_the_rule_bit_for_bit(pool, build, n, chunk_size):
    expected = by_the_rule(build, n, 99, chunk_size)
    builds = []
    counted = lambda: builds.append(1) or build()  # noqa: E731
    serial = sample_array(counted, n, seed=99, chunk_size=chunk_size)
    with ThreadPoolExecutor(3) as threads:
        threaded = sample_array(counted, n, seed=99, chunk_size=chunk_size, executor=threads)
    assert len(builds) == 2  # once per call in a process, however many chunks and threads
    pooled = sample_array(build, n, seed=99, chunk_size=chunk_size, executor=pool)
    assert serial.shape == expected.shape and serial.tobytes() == expected.tobytes()
    assert threaded.tobytes() == expected.tobytes() and pooled.tobytes() == expected.tobytes()


def test_dask_gives_the_rule_bit_for_bit(dask_client):
    build = functools.partial(drovik.from_pdf_with_options, lambda x: math.exp(-abs(x)), drovik.Interval(-5.0, 5.0),
                              drovik.BuildOptions.hermite(32))  # a lambda: cloudpickle sends it by value
    expected = by_the_rule(build, 7_000, 5, 1_500)
    drawn = sample_array(build, 7_000, seed=5, chunk_size=1_500, executor=dask_client)
    assert drawn.tobytes() == expected.tobytes()


def test_a_dead_worker_makes_the_call_raise(tmp_path, dask_client):
    build = functools.partial(build_dying_once, str(tmp_path / "died"))
    with ProcessPoolExecutor(2) as executor, pytest.raises(BrokenProcessPool):
        sample_array(build, 10_000, seed=1, chunk_size=1_000, executor=executor)
    distributed = pytest.importorskip("distributed")
    with pytest.raises(distributed.KilledWorker):
        sample_array(build_dying, 4_000, seed=1, chunk_size=1_000, executor=dask_client)


def test_what_a_process_pool_cannot_pickle_is_explained(pool):
    with pytest.raises(TypeError, match="module-level function or a functools.partial of one"):
        sample_array(lambda: build_tdr(), 10, seed=1, executor=pool)


@pytest.mark.parametrize("call, error, message", [
    (lambda: sample_array(build_tdr, -1, seed=1), ValueError, "n must be at least 0, got -1"),
    (lambda: sample_array(build_tdr, 9, seed=1, chunk_size=0), ValueError, "chunk_size must be at least 1, got 0"),
    (lambda: sample_array(build_tdr, 9, seed=2**64), ValueError, "seed must lie in [0, 2**64), got"),
    (lambda: sample_array(build_tdr, 9, seed=1, executor=object()), TypeError,
     "executor must be a concurrent.futures.Executor or a dask.distributed.Client, not 'object'"),
    (lambda: sample_array(lambda: drovik.metropolis_hastings(bump, drovik.HyperRect(LO, HI)), 9, seed=1), TypeError,
     "build() must return a distribution or a stateless"),
    (lambda: run_chains(build_tdr, 2, 5, seed=1), TypeError, "build() must return a Markov chain"),
])
def test_bad_arguments(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert str(info.value).startswith(message)


CHAINS = {"mh": (drovik.metropolis_hastings, ref.MetropolisHastings, dict(burn_in=5)),
          "hmc": (drovik.hmc_sampler, ref.Hmc, dict(leapfrog_steps=3))}


@pytest.mark.parametrize("kind", CHAINS)
def test_chain_k_runs_from_its_start_with_seed_k(kind):
    make, make_replica, params = CHAINS[kind]
    box = drovik.HyperRect(LO, HI)
    densities = []  # init() starts a chain at the first point it asks about: bump is positive on the whole box
    build = lambda: make(densities.append(Calls(bump)) or densities[-1], box, **params)  # noqa: E731
    draws, rates = run_chains(build, 3, 40, seed=8)
    assert draws.shape == (3, 40, 2) and rates.shape == (3,)
    for k, density in enumerate(densities):
        replica = make_replica(bump, LO, HI, **params)
        replica.start(density.point(0))
        assert draws[k].tolist() == replica.sample_n(40, seeded(chunk_seed(8, k)))
        if kind == "mh":
            assert rates[k] == replica.accept_rate()
        else:  # each HMC draw is one transition, and an accepted one moves the point
            points = [density.point(0)] + draws[k].tolist()
            assert rates[k] == sum(p != q for p, q in zip(points, points[1:])) / 40


def test_chains_on_a_process_pool(pool):
    build = functools.partial(drovik.metropolis_hastings, bump, drovik.HyperRect(LO, HI))
    draws, rates = run_chains(build, 3, 50, seed=4, executor=pool)
    assert draws.shape == (3, 50, 2) and np.all((rates > 0.0) & (rates <= 1.0))
    assert np.all((draws >= LO) & (draws <= HI))
