"""Shared helpers of the Python benchmarks: call counting, recorded calls replayed
from C, and interleaved timing."""

import collections
import itertools
import statistics
import time

try:
    import call_floor  # built beside the benchmarks by `make bench`
except ImportError:
    call_floor = None


def counting(f):
    """f with a `calls` counter."""

    def wrapped(x):
        wrapped.calls += 1
        return f(x)

    wrapped.calls = 0
    return wrapped


def recording(f):
    """f of any arguments that keeps the argument tuple of every call in `calls`."""

    def wrapped(*args):
        wrapped.calls.append(args)
        return f(*args)

    wrapped.calls = []
    return wrapped


def drain(iterator):
    """Runs an iterator to its end from C, keeping nothing."""
    collections.deque(iterator, maxlen=0)


def replayed_calls(f, argument_tuples):
    """A run of f over recorded argument tuples with no Python loop: the bare cost of those calls."""
    return lambda: drain(itertools.starmap(f, argument_tuples))


def floor_calls(f, argument_tuples):
    """A run of the same calls with fresh argument objects made in C and nothing else: the least a
    sampler pays for them, since it cannot reuse argument objects (None without the call_floor module)."""
    if call_floor is None:
        return None
    packed = call_floor.pack(argument_tuples)
    return lambda: call_floor.replay(f, packed)


def repeated_calls(f, n, arguments=()):
    """A run of n calls f(*arguments) with no Python loop."""
    return lambda: drain(itertools.starmap(f, itertools.repeat(arguments, n)))


def interleaved_times(cases, rounds, after=None, clock=time.perf_counter):
    """Seconds of every run per case, the cases run in turn so that drifts in machine load hit all alike.

    Without `after` a run's result is dropped inside its timed span; with it, after(name, result)
    gets the result once the span has ended. With clock=time.thread_time the time this thread
    spends waiting for a core on a shared machine is left out."""
    times = {name: [] for name in cases}
    for _ in range(rounds):
        for name, fn in cases.items():
            if after is None:
                start = clock()
                fn()
                times[name].append(clock() - start)
            else:
                start = clock()
                result = fn()
                times[name].append(clock() - start)
                after(name, result)
                del result
    return times


def interleaved_medians(cases, rounds, clock=time.perf_counter):
    """Median seconds per case, the cases run in turn so that drifts in machine load hit all alike."""
    return {name: statistics.median(ts) for name, ts in interleaved_times(cases, rounds, clock=clock).items()}


def paired_ratio(times, name, reference):
    """Median and quartiles of the ratio of two cases' times taken in the same round."""
    ratios = sorted(a / b for a, b in zip(times[name], times[reference]))
    low, middle, high = statistics.quantiles(ratios, n=4, method="inclusive")
    return middle, low, high


def verdict(value, goal, higher_is_better=False):
    met = value >= goal if higher_is_better else value <= goal
    sign = ">=" if higher_is_better else "<="
    return f"goal {sign} {goal:g}: {'met' if met else 'NOT met'}"
