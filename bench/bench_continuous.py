"""Continuous distributions built from Python densities.

1. The cost the core adds around the user's function: building from_pdf (one
   normalizing integral) against calling the same function the same number of
   times with list(map(f, xs)). Target: at most 1.25 times the bare calls.
2. Plain inversion: time of sample_n(1000, seed=1) for a standard normal
   density on [-8, 8], and density calls per draw.
"""

import math
import statistics
import time

import drovik

ROUNDS = 9


def median_of_interleaved(cases, rounds=ROUNDS):
    times = {name: [] for name in cases}
    for _ in range(rounds):
        for name, fn in cases.items():
            start = time.perf_counter()
            fn()
            times[name].append(time.perf_counter() - start)
    return {name: statistics.median(ts) for name, ts in times.items()}


def normal_density(x):
    return math.exp(-0.5 * x * x)


def adapter_overhead():
    calls = 0

    def counting(x):
        nonlocal calls
        calls += 1
        return math.exp(-0.5 * x * x)

    interval = drovik.Interval(-8.0, 8.0)
    drovik.from_pdf(counting, interval)
    n_calls = calls
    # Many normalizations per timing so that each sample is long enough to measure.
    repeats = max(1, 200_000 // n_calls)
    xs = [(-8.0 + 16.0 * i / n_calls) for i in range(n_calls)] * repeats

    def build():
        for _ in range(repeats):
            drovik.from_pdf(normal_density, interval)

    def bare():
        list(map(normal_density, xs))

    medians = median_of_interleaved({"from_pdf": build, "map": bare})
    ratio = medians["from_pdf"] / medians["map"]
    per_call_ns = medians["from_pdf"] / (n_calls * repeats) * 1e9
    print(f"from_pdf normalization: {n_calls} density calls per build, {repeats} builds per run")
    print(f"  from_pdf        {medians['from_pdf'] * 1e3:8.2f} ms  ({per_call_ns:.1f} ns per density call)")
    print(f"  list(map(f,xs)) {medians['map'] * 1e3:8.2f} ms")
    print(f"  ratio {ratio:.3f} (target <= 1.25: {'met' if ratio <= 1.25 else 'NOT met'})")


def inversion_sampling():
    calls = 0

    def counting(x):
        nonlocal calls
        calls += 1
        return math.exp(-0.5 * x * x)

    dist = drovik.from_pdf(counting, drovik.Interval(-8.0, 8.0))
    calls = 0
    start = time.perf_counter()
    dist.sample_n(1000, seed=1)
    elapsed = time.perf_counter() - start
    print("plain inversion, standard normal density on [-8, 8]:")
    print(f"  sample_n(1000, seed=1): {elapsed:.2f} s, {calls / 1000:.0f} density calls per draw")


if __name__ == "__main__":
    adapter_overhead()
    inversion_sampling()
