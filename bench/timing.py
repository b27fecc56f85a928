"""Shared helpers of the Python benchmarks: call counting and interleaved timing."""

import statistics
import time


def counting(f):
    """f with a `calls` counter."""

    def wrapped(x):
        wrapped.calls += 1
        return f(x)

    wrapped.calls = 0
    return wrapped


def interleaved_medians(cases, rounds):
    """Median seconds per case, the cases run in turn so that drifts in machine load hit all alike."""
    times = {name: [] for name in cases}
    for _ in range(rounds):
        for name, fn in cases.items():
            start = time.perf_counter()
            fn()
            times[name].append(time.perf_counter() - start)
    return {name: statistics.median(ts) for name, ts in times.items()}
