"""DiscreteDistribution.sample_n against numpy, in one process.

Prints medians of interleaved runs and their ratios. Target: sampling 10**6
draws over 1000 points is no slower than numpy's choice(...).tolist().
"""

import statistics
import time

import numpy as np

import drovik

N = 10**6
POINTS = 1000
ROUNDS = 15


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def main():
    weights = np.random.default_rng(0).random(POINTS) + 0.01
    p = weights / weights.sum()
    points = np.arange(POINTS, dtype=float)
    dist = drovik.from_pmf(points.tolist(), weights.tolist())
    gen = np.random.default_rng(1)

    cases = {
        "drovik sample_n(10**6, seed=1)": lambda: dist.sample_n(N, seed=1),
        "numpy choice(points, p).tolist()": lambda: gen.choice(points, p=p, size=N).tolist(),
        "numpy random(10**6).tolist()": lambda: gen.random(N).tolist(),
    }
    times = {name: [] for name in cases}
    for _ in range(ROUNDS):
        for name, fn in cases.items():
            times[name].append(timed(fn))
    medians = {name: statistics.median(ts) for name, ts in times.items()}
    ours = medians["drovik sample_n(10**6, seed=1)"]
    print(f"discrete sampling, {N} draws over {POINTS} points, median of {ROUNDS} interleaved runs")
    for name, median in medians.items():
        print(f"  {name:36s} {median * 1e3:8.2f} ms   drovik / this = {ours / median:5.2f}")
    choice = medians["numpy choice(points, p).tolist()"]
    print(f"target: drovik / numpy choice <= 1.0 -> {ours / choice:.2f} ({'met' if ours <= choice else 'NOT met'})")


if __name__ == "__main__":
    main()
