"""Arrays and scale-out, timed in one process (medians of interleaved runs).

1. The Hermite table (1024 nodes) of a normal density: sample_array(10**6)
   beside sample_n(10**6) and numpy's random(10**6) (what one uniform a draw
   costs at least).
2. A discrete distribution over 1000 points: sample_array(10**6) against
   numpy's Generator.choice(points, p=p, size=10**6) (goal: at most 1.0 times).
3. TDR (log hat) of a Python density: sample_array(10**6) against the bare
   cost of its density calls (goal: at most 1.10 times).
4. Memory: peak resident memory of a process drawing 10**8 table draws with
   sample_array (goal: about 0.8 GB, the array itself).
5. Scaling: parallel.sample_array of 4*10**6 TDR draws from a Python density
   with 2 worker processes against 1 (goal: at least 1.7 times the
   throughput), on a process pool and on a Dask cluster.
"""

import functools
import math
import os
import subprocess
import sys
import time
from concurrent.futures import ProcessPoolExecutor

import numpy as np

from timing import counting, floor_calls, interleaved_medians, interleaved_times, paired_ratio, verdict

import drovik

N = 10**6
INTERVAL = drovik.Interval(-8.0, 8.0)


def normal_density(x):
    return math.exp(-0.5 * x * x)


build_tdr = functools.partial(drovik.from_pdf_with_options, normal_density, INTERVAL, drovik.BuildOptions.tdr("log"))


def table():
    dist = drovik.from_pdf_with_options(normal_density, INTERVAL, drovik.BuildOptions.hermite(1024))
    generator = np.random.default_rng(1)
    m = interleaved_medians({
        "sample_array": lambda: drovik.sample_array(dist, N, seed=1),
        "sample_n": lambda: dist.sample_n(N, seed=1),
        "numpy random": lambda: generator.random(N),
    }, rounds=15)
    print(f"Hermite table, 1024 nodes, {N} draws (median ms):")
    for name, seconds in m.items():
        print(f"  {name:14s} {seconds * 1e3:8.2f}")
    print(f"  sample_array / sample_n = {m['sample_array'] / m['sample_n']:.2f}")


def discrete():
    points = np.arange(1000, dtype=np.float64)
    masses = np.random.default_rng(3).random(1000) + 0.01
    p = masses / masses.sum()
    dist = drovik.from_pmf(points, masses)
    generator = np.random.default_rng(1)
    times = interleaved_times({
        "sample_array": lambda: drovik.sample_array(dist, N, seed=1),
        "numpy choice": lambda: generator.choice(points, p=p, size=N),
    }, rounds=15)
    ratio, low, high = paired_ratio(times, "sample_array", "numpy choice")
    print(f"Discrete, 1000 points, {N} draws: sample_array / numpy choice = {ratio:.2f} "
          f"(quartiles {low:.2f}-{high:.2f}; {verdict(ratio, 1.0)})")


def tdr():
    counted_density = counting(normal_density)
    counted = drovik.from_pdf_with_options(counted_density, INTERVAL, drovik.BuildOptions.tdr("log"))
    counted_density.calls = 0
    drovik.sample_array(counted, N, seed=1)
    per_draw = counted_density.calls / N
    dist = build_tdr()
    xs = np.random.default_rng(2).uniform(-3, 3, counted_density.calls).tolist()
    cases = {
        "sample_array": lambda: drovik.sample_array(dist, N, seed=1),
        "bare calls": lambda: list(map(normal_density, xs)),
    }
    floor_run = floor_calls(normal_density, [(x,) for x in xs])
    if floor_run is not None:
        cases["floor"] = floor_run
    times = interleaved_times(cases, rounds=9)
    ratio, low, high = paired_ratio(times, "sample_array", "bare calls")
    print(f"TDR (log), Python density, {N} draws: {per_draw:.4f} density calls per draw; "
          f"sample_array / bare calls = {ratio:.2f} (quartiles {low:.2f}-{high:.2f}; "
          f"{verdict(ratio, 1.10)})")
    if floor_run is not None:
        floor, floor_low, floor_high = paired_ratio(times, "floor", "bare calls")
        print(f"  floor: the same calls with a fresh float argument from C, nothing else = {floor:.2f} "
              f"(quartiles {floor_low:.2f}-{floor_high:.2f})")


MEMORY_PROBE = """
import math, resource, drovik
dist = drovik.from_pdf_with_options(lambda x: math.exp(-0.5 * x * x), drovik.Interval(-8.0, 8.0),
                                    drovik.BuildOptions.hermite(1024))
import numpy
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
draws = drovik.sample_array(dist, 10**8, seed=1)
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(base * 1024, peak * 1024, draws.nbytes)
"""


def memory():
    out = subprocess.run([sys.executable, "-c", MEMORY_PROBE], capture_output=True, text=True, check=True)
    base, peak, nbytes = map(int, out.stdout.split())
    print(f"10**8 table draws: peak resident memory {peak / 1e9:.3f} GB ({(peak - base) / 1e9:.3f} GB above the "
          f"process before the call; the array holds {nbytes / 1e9:.3f} GB; goal about 0.8 GB)")


SCALING_DRAWS, SCALING_CHUNK, SCALING_ROUNDS = 4 * 10**6, drovik.parallel.DEFAULT_CHUNK_SIZE, 15
RESCALE_SETTLE_SECONDS = 2.0


def scaled_run(executor):
    return drovik.parallel.sample_array(build_tdr, SCALING_DRAWS, seed=1, chunk_size=SCALING_CHUNK, executor=executor)


def warm_up(executor):
    """Workers started and their imports done before anything is timed."""
    drovik.parallel.sample_array(build_tdr, 2 * SCALING_CHUNK, seed=0, chunk_size=SCALING_CHUNK, executor=executor)


def report_scaling(times, label):
    speedup, low, high = paired_ratio(times, 1, 2)
    print(f"  {label}: 2 workers against 1 = {speedup:.2f} times the throughput (quartiles {low:.2f}-{high:.2f}; "
          f"{verdict(speedup, 1.7, higher_is_better=True)})")


def process_pool_scaling():
    with ProcessPoolExecutor(1) as one, ProcessPoolExecutor(2) as two:
        pools = {1: one, 2: two}
        for pool in pools.values():
            warm_up(pool)
        times = interleaved_times({k: (lambda p=pool: scaled_run(p)) for k, pool in pools.items()},
                                  rounds=SCALING_ROUNDS)
    report_scaling(times, "process pool")


def dask_scaling():
    """One cluster, rescaled between 1 and 2 workers before each timed run.

    Two clusters alive at once would not measure either: an idle Dask worker
    and its scheduler still take about 7 % of a core each (heartbeats and
    monitors), which the busy cluster then lacks on a 2-core machine. After a
    rescale the cluster is left alone for a while: a worker that has just
    registered, or just been retired, still starts up or tears down, and a
    2-core machine would time that instead of the workers' steady state."""
    from distributed import Client, LocalCluster

    times = {1: [], 2: []}
    with LocalCluster(n_workers=1, threads_per_worker=1, dashboard_address=":0", silence_logs=50) as cluster, \
            Client(cluster) as client:
        for _ in range(SCALING_ROUNDS):
            for workers in (1, 2):
                cluster.scale(workers)
                deadline = time.monotonic() + 120
                while len(client.scheduler_info()["workers"]) != workers:
                    if time.monotonic() > deadline:
                        raise RuntimeError(f"the Dask cluster did not reach {workers} workers")
                    time.sleep(0.05)
                time.sleep(RESCALE_SETTLE_SECONDS)
                warm_up(client)
                start = time.perf_counter()
                scaled_run(client)
                times[workers].append(time.perf_counter() - start)
    report_scaling(times, "Dask LocalCluster")


def scaling():
    print(f"Scaling, {SCALING_DRAWS} TDR draws from a Python density ({os.cpu_count()} cores):")
    process_pool_scaling()
    try:
        import distributed  # noqa: F401
    except ImportError:
        print("  dask.distributed is not installed: the Dask case is skipped")
        return
    dask_scaling()


if __name__ == "__main__":
    started = time.perf_counter()
    table()
    discrete()
    tdr()
    memory()
    scaling()
    print(f"({time.perf_counter() - started:.0f} s)")
