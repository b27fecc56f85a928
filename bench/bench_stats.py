"""Statistics of a continuous distribution, and the distribution function of a
histogram: density calls and time of each, medians of several runs."""

import math
import statistics
import time

from timing import counting

import drovik


def median_time(fn, rounds=7):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main():
    density = counting(lambda x: math.exp(-0.5 * x * x))
    normal = drovik.from_pdf(density, drovik.Interval(-8.0, 8.0))
    print("statistics of a standard normal density on [-8, 8] (plain inversion for quantiles):")
    cases = {
        "mean": normal.mean,
        "var": normal.var,
        "std": normal.std,
        "entropy": normal.entropy,
        "median": normal.median,
        "interval(0.9)": lambda: normal.interval(0.9),
        "expect(x**4)": lambda: normal.expect(lambda x: x**4),
    }
    for name, fn in cases.items():
        density.calls = 0
        value = fn()
        calls = density.calls
        elapsed = median_time(fn)
        shown = value if isinstance(value, tuple) else round(value, 12)
        print(f"  {name:14s} {calls:8d} density calls  {elapsed * 1e3:8.3f} ms   = {shown}")

    counts = [float(i % 7 + 1) for i in range(100)]
    histogram = drovik.from_histogram([float(i) for i in range(101)], counts)
    print("cdf of a 100-bin histogram distribution:")
    for x in (0.5, 25.5, 50.5, 99.5):
        elapsed = median_time(lambda: [histogram.cdf(x) for _ in range(1000)]) / 1000
        print(f"  cdf({x:5.1f}) {elapsed * 1e6:8.2f} us")


if __name__ == "__main__":
    main()
