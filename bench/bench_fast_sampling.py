"""The two fast sampling modes, timed against numpy and scipy in one process.

1. Hermite quantile table (1024 nodes) of a standard normal density on
   [-8, 8]: sample_n(10**6, seed=1) against numpy's random(10**6).tolist()
   (target: at most 1.5 times) and scipy's NumericalInverseHermite
   rvs(10**6).tolist() (target: no slower).
2. Transformed density rejection (Log) of the same density: density calls per
   draw and time per draw against the bare cost of that many calls
   (target: at most 1.5 times), and the floor under that ratio: the same
   calls with a fresh float argument made in C and nothing else.
3. Construction cost of the table, in density calls, for 64, 256, 1024 nodes.
All times are medians of interleaved runs.
"""

import math
import statistics
import time

import numpy as np
import scipy.stats
from scipy.stats.sampling import NumericalInverseHermite

from timing import counting, floor_calls, interleaved_medians, interleaved_times, paired_ratio, verdict

import drovik

N = 10**6
INTERVAL = drovik.Interval(-8.0, 8.0)


def normal_density(x):
    return math.exp(-0.5 * x * x)


def hermite():
    table = drovik.from_pdf_with_options(normal_density, INTERVAL, drovik.BuildOptions.hermite(1024))
    gen = np.random.default_rng(1)
    scipy_table = NumericalInverseHermite(scipy.stats.norm(), domain=(-8.0, 8.0), random_state=1)
    m = interleaved_medians(
        {
            "drovik table": lambda: table.sample_n(N, seed=1),
            "numpy random": lambda: gen.random(N).tolist(),
            "scipy hermite": lambda: scipy_table.rvs(N).tolist(),
        },
        rounds=21,
    )
    ours = m["drovik table"]
    print(f"Hermite table, 1024 nodes, {N} draws (median ms):")
    for name, t in m.items():
        print(f"  {name:14s} {t * 1e3:8.2f}")
    r_numpy = ours / m["numpy random"]
    r_scipy = ours / m["scipy hermite"]
    print(f"  drovik / numpy random+tolist = {r_numpy:.2f} (target <= 1.5: {'met' if r_numpy <= 1.5 else 'NOT met'})")
    print(f"  drovik / scipy hermite+tolist = {r_scipy:.2f} (target <= 1.0: {'met' if r_scipy <= 1.0 else 'NOT met'})")


def tdr():
    # Count calls with a wrapper, but time a distribution over the bare density.
    f = counting(normal_density)
    counted = drovik.from_pdf_with_options(f, INTERVAL, drovik.BuildOptions.tdr("log"))
    draws = 200_000
    f.calls = 0
    counted.sample_n(draws, seed=1)
    per_draw = f.calls / draws
    dist = drovik.from_pdf_with_options(normal_density, INTERVAL, drovik.BuildOptions.tdr("log"))
    xs = np.random.default_rng(2).uniform(-3, 3, int(draws * per_draw)).tolist()
    cases = {"tdr": lambda: dist.sample_n(draws, seed=1), "bare calls": lambda: list(map(normal_density, xs))}
    floor_run = floor_calls(normal_density, [(x,) for x in xs])
    if floor_run is not None:
        cases["floor"] = floor_run
    times = interleaved_times(cases, rounds=9)
    m = {name: statistics.median(ts) for name, ts in times.items()}
    ratio, low, high = paired_ratio(times, "tdr", "bare calls")
    print(f"TDR (Log), {draws} draws: {per_draw:.4f} density calls per draw")
    print(f"  tdr        {m['tdr'] / draws * 1e9:8.1f} ns per draw")
    print(f"  bare calls {m['bare calls'] / draws * 1e9:8.1f} ns per draw's worth of calls")
    print(f"  ratio {ratio:.2f} (quartiles {low:.2f}-{high:.2f}; {verdict(ratio, 1.5)})")
    if floor_run is not None:
        floor, floor_low, floor_high = paired_ratio(times, "floor", "bare calls")
        print(f"  floor: the same calls with a fresh float argument from C, nothing else = {floor:.2f} "
              f"(quartiles {floor_low:.2f}-{floor_high:.2f})")


def construction():
    print("Table construction (standard normal density on [-8, 8]):")
    for grid in (64, 256, 1024):
        f = counting(normal_density)
        start = time.perf_counter()
        drovik.from_pdf_with_options(f, INTERVAL, drovik.BuildOptions.hermite(grid))
        elapsed = time.perf_counter() - start
        print(f"  grid {grid:5d}: {f.calls:10d} density calls, {elapsed:6.2f} s")


if __name__ == "__main__":
    hermite()
    tdr()
    construction()
