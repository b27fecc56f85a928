"""Polynomial inversion: setup cost, draw speed and u-error, and how it compares with the other modes.

1. Setup on every density of the test battery, at u_resolution 1e-10 and 1e-12: density calls
   (goal: at most 4,000 to 30,000), setup time, and the time beyond the bare cost of those calls
   (goal: a few milliseconds); the true u-error against the exact distribution function and the
   estimate of drovik.u_error.
2. sample_n(10**6, seed=1) of a standard normal table against the Hermite table mode with 1024 nodes
   (goal: no slower).
3. The modes side by side for a standard normal density on [-8, 8]: u-error, density calls to
   build, density calls and time per draw.
All times are medians of interleaved runs.
"""

import math
import pathlib
import sys
import time

import numpy as np
from scipy import stats

from timing import counting, interleaved_medians, recording, replayed_calls, verdict

import drovik
from drovik._inverse_polynomial import from_pdf_inverse_polynomial, u_error

TESTS = pathlib.Path(__file__).resolve().parents[1] / "tests"
sys.path[:0] = [str(TESTS / "python"), str(TESTS / "reference")]
from test_inverse_polynomial import BATTERY, levels  # noqa: E402

N = 10**6
NORMAL = drovik.Interval(-8.0, 8.0)


def normal_density(x):
    return math.exp(-0.5 * x * x)


def tolerant(f):
    """f with a failure as NaN, as the build sees it: the replay of a pole's end point must not raise."""

    def g(x):
        try:
            return f(x)
        except ArithmeticError:
            return math.nan

    return g


def true_u_error(dist, cdf):
    u = levels()
    return float(np.max(np.abs(cdf(np.array([dist.ppf(v) for v in u])) - u)))


def setup():
    print("Setup on the test battery (calls: density calls of one build; beyond: setup time less the bare calls)")
    print(f"  {'density':28s} {'u_res':>6s} {'calls':>7s} {'setup ms':>9s} {'beyond ms':>9s} {'true u-err':>10s} "
          f"{'estimate':>10s}")
    most_calls, most_beyond = 0, 0.0
    for case in BATTERY:
        pdf, support, cdf = case.values
        interval = drovik.Interval(*support)
        for resolution in (1e-10, 1e-12):
            recorded = recording(pdf)
            dist = from_pdf_inverse_polynomial(recorded, interval, u_resolution=resolution)
            calls = len(recorded.calls)
            m = interleaved_medians(
                {"setup": lambda: from_pdf_inverse_polynomial(pdf, interval, u_resolution=resolution),
                 "calls": replayed_calls(tolerant(pdf), recorded.calls)},
                rounds=7,
            )
            beyond = m["setup"] - m["calls"]
            most_calls, most_beyond = max(most_calls, calls), max(most_beyond, beyond)
            print(f"  {case.id:28s} {resolution:6.0e} {calls:7d} {m['setup'] * 1e3:9.2f} {beyond * 1e3:9.2f} "
                  f"{true_u_error(dist, cdf):10.2e} {u_error(dist)[0]:10.2e}")
    print(f"  most calls {most_calls} ({verdict(most_calls, 30000)}); most time beyond the calls "
          f"{most_beyond * 1e3:.2f} ms")


def draws():
    table = from_pdf_inverse_polynomial(normal_density, NORMAL)
    hermite = drovik.from_pdf_with_options(normal_density, NORMAL, drovik.BuildOptions.hermite(1024))
    # Thread time leaves out the waits for a core of a shared machine.
    m = interleaved_medians(
        {"polynomial": lambda: table.sample_n(N, seed=1), "hermite 1024": lambda: hermite.sample_n(N, seed=1)},
        rounds=31,
        clock=time.thread_time,
    )
    ratio = m["polynomial"] / m["hermite 1024"]
    print(f"sample_n({N}, seed=1), standard normal (median ms):")
    for name, t in m.items():
        print(f"  {name:14s} {t * 1e3:8.2f}")
    print(f"  polynomial / hermite = {ratio:.2f} ({verdict(ratio, 1.05)})")


def modes():
    norm = stats.norm()
    c_lo, c_hi = norm.cdf(-8.0), norm.cdf(8.0)

    def exact(x):
        return (norm.cdf(x) - c_lo) / (c_hi - c_lo)

    builds = {
        "plain inversion": lambda f: drovik.from_pdf(f, NORMAL),
        "hermite 1024": lambda f: drovik.from_pdf_with_options(f, NORMAL, drovik.BuildOptions.hermite(1024)),
        "tdr log": lambda f: drovik.from_pdf_with_options(f, NORMAL, drovik.BuildOptions.tdr("log")),
        # The box needs a grid point at the mode: 33 points put one at 0.
        "tdr box": lambda f: drovik.from_pdf_with_options(f, NORMAL, drovik.BuildOptions.tdr("inv_sqrt", 33)),
        "polynomial 1e-10": lambda f: from_pdf_inverse_polynomial(f, NORMAL),
        "polynomial 1e-12": lambda f: from_pdf_inverse_polynomial(f, NORMAL, u_resolution=1e-12),
    }
    print("The modes for a standard normal density on [-8, 8]:")
    print(f"  {'mode':18s} {'u-error':>9s} {'build calls':>12s} {'build ms':>9s} {'calls/draw':>11s} {'ns/draw':>9s}")
    for name, build in builds.items():
        f = counting(normal_density)
        start = time.perf_counter()
        dist = build(f)
        build_ms = (time.perf_counter() - start) * 1e3
        build_calls = f.calls
        n = 200 if name == "plain inversion" else 100_000
        f.calls = 0
        dist.sample_n(n, seed=1)
        per_draw = f.calls / n
        plain = build(normal_density)
        t = interleaved_medians({"draws": lambda: plain.sample_n(n, seed=1)}, rounds=5)["draws"]
        # Rejection draws are exact; the quantile function of a TDR mode is plain inversion.
        error = "exact" if name.startswith("tdr") else f"{true_u_error_sparse(dist, exact):.1e}"
        print(f"  {name:18s} {error:>9s} {build_calls:12d} {build_ms:9.1f} {per_draw:11.2f} {t / n * 1e9:9.0f}")


def true_u_error_sparse(dist, exact):
    # The outer cells of a Hermite table (1/1023 of the mass each at 1024 nodes) hold its largest error.
    outer = np.linspace(1e-4, 3e-3, 146)
    u = np.concatenate([np.linspace(1e-4, 1 - 1e-4, 401), np.logspace(-10, -4, 25), 1 - np.logspace(-10, -4, 25),
                        outer, 1 - outer])
    return float(np.max(np.abs(exact(np.array([dist.ppf(v) for v in u])) - u)))


if __name__ == "__main__":
    parts = {"setup": setup, "draws": draws, "modes": modes}
    for name in sys.argv[1:] or parts:
        parts[name]()
