"""DiscreteDistribution.sample_n against numpy, in one process.

Prints medians of interleaved runs and their ratios. Target: sampling 10**6
draws over 1000 points is no slower than numpy's choice(...).tolist().
"""

import numpy as np

from timing import interleaved_medians

import drovik

N = 10**6
POINTS = 1000
ROUNDS = 15


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
    medians = interleaved_medians(cases, ROUNDS)
    ours = medians["drovik sample_n(10**6, seed=1)"]
    print(f"discrete sampling, {N} draws over {POINTS} points, median of {ROUNDS} interleaved runs")
    for name, median in medians.items():
        print(f"  {name:36s} {median * 1e3:8.2f} ms   drovik / this = {ours / median:5.2f}")
    choice = medians["numpy choice(points, p).tolist()"]
    print(f"target: drovik / numpy choice <= 1.0 -> {ours / choice:.2f} ({'met' if ours <= choice else 'NOT met'})")


if __name__ == "__main__":
    main()
