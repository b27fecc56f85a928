"""Continuous distributions built from Python densities.

1. The cost the core adds around the user's function: building from_pdf (one
   normalizing integral) against calling the same function the same number of
   times with list(map(f, xs)). Target: at most 1.25 times the bare calls.
2. Plain inversion: time of sample_n(1000, seed=1) for a standard normal
   density on [-8, 8], and density calls per draw.
"""

import math
import time

from timing import counting, interleaved_medians

import drovik

ROUNDS = 9


def normal_density(x):
    return math.exp(-0.5 * x * x)


def adapter_overhead():
    counted = counting(normal_density)
    interval = drovik.Interval(-8.0, 8.0)
    drovik.from_pdf(counted, interval)
    n_calls = counted.calls
    # Many normalizations per timing so that each sample is long enough to measure.
    repeats = max(1, 200_000 // n_calls)
    xs = [(-8.0 + 16.0 * i / n_calls) for i in range(n_calls)] * repeats

    def build():
        for _ in range(repeats):
            drovik.from_pdf(normal_density, interval)

    def bare():
        list(map(normal_density, xs))

    medians = interleaved_medians({"from_pdf": build, "map": bare}, ROUNDS)
    ratio = medians["from_pdf"] / medians["map"]
    per_call_ns = medians["from_pdf"] / (n_calls * repeats) * 1e9
    print(f"from_pdf normalization: {n_calls} density calls per build, {repeats} builds per run")
    print(f"  from_pdf        {medians['from_pdf'] * 1e3:8.2f} ms  ({per_call_ns:.1f} ns per density call)")
    print(f"  list(map(f,xs)) {medians['map'] * 1e3:8.2f} ms")
    print(f"  ratio {ratio:.3f} (target <= 1.25: {'met' if ratio <= 1.25 else 'NOT met'})")


def inversion_sampling():
    counted = counting(normal_density)
    dist = drovik.from_pdf(counted, drovik.Interval(-8.0, 8.0))
    counted.calls = 0
    start = time.perf_counter()
    dist.sample_n(1000, seed=1)
    elapsed = time.perf_counter() - start
    calls = counted.calls
    print("plain inversion, standard normal density on [-8, 8]:")
    print(f"  sample_n(1000, seed=1): {elapsed:.2f} s, {calls / 1000:.0f} density calls per draw")


if __name__ == "__main__":
    adapter_overhead()
    inversion_sampling()
