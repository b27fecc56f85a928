"""Per-call overhead of the binding: methods called positionally and by keyword,
and a method without arguments, in ns per call, beside builtins that do
little for reference: pow parses the interpreter's vector of arguments, while
complex, like drovik's methods, gets them as a tuple and a keyword dict that
the interpreter builds for the call. The empty timing loop is taken off.

Measures the drovik module found on the path; run it with another build on
PYTHONPATH to compare builds.
"""

import functools
import statistics
import time
import timeit

from timing import interleaved_times

import drovik

CALLS = 200_000
ROUNDS = 21
# CPU time of the process, so that waiting for a core on a shared machine is left out.
CLOCK = time.process_time

DISTRIBUTION = drovik.from_pmf([1.0, 2.0, 3.0], [1.0, 2.0, 1.0])
VALUE = 2.5

# (label, statement by position, statement by keyword or None)
STATEMENTS = [
    ("DiscreteDistribution.pmf", "dist.pmf(2.0)", "dist.pmf(x=2.0)"),
    ("DiscreteDistribution.sample_n", "dist.sample_n(1, 1)", "dist.sample_n(n=1, seed=1)"),
    ("DiscreteDistribution.sample_n, no seed", "dist.sample_n(1)", "dist.sample_n(n=1)"),
    ("DiscreteDistribution.len (no arguments)", "dist.len()", None),
    # Builtins parsing vector-call arguments, and arguments as a tuple and a dict like ours.
    ("builtin pow (vector call)", "pow(value, 2)", "pow(base=value, exp=2)"),
    ("builtin complex (tuple and dict)", "complex(value)", "complex(real=value)"),
    ("builtin float.is_integer (no arguments)", "value.is_integer()", None),
]


def run_of(statement):
    timer = timeit.Timer(statement, timer=CLOCK, globals={"dist": DISTRIBUTION, "value": VALUE})
    return functools.partial(timer.timeit, CALLS)


def main():
    print(f"per-call cost of {drovik._drovik.__file__}")
    print(f"(ns of CPU time per call, median of {ROUNDS} interleaved runs of {CALLS} calls, empty loop taken off)")
    cases = {"empty loop": run_of("pass")}
    for _, positional, keyword in STATEMENTS:
        cases[positional] = run_of(positional)
        if keyword is not None:
            cases[keyword] = run_of(keyword)
    times = interleaved_times(cases, ROUNDS, clock=CLOCK)
    empty = statistics.median(times["empty loop"])

    def ns(statement):
        per_round = sorted((t - e) / CALLS * 1e9 for t, e in zip(times[statement], times["empty loop"]))
        return statistics.median(per_round), per_round[len(per_round) // 4], per_round[-1 - len(per_round) // 4]

    print(f"  empty loop {empty / CALLS * 1e9:.1f} ns per iteration")
    for label, positional, keyword in STATEMENTS:
        by_position, low, high = ns(positional)
        line = f"  {label:42s} {positional:22s} {by_position:7.1f} ns [{low:.1f}-{high:.1f}]"
        if keyword is not None:
            by_keyword, low, high = ns(keyword)
            line += f"   {keyword:28s} {by_keyword:7.1f} ns [{low:.1f}-{high:.1f}]"
            line += f"  keyword +{by_keyword - by_position:.1f} ns"
        print(line)


if __name__ == "__main__":
    main()
