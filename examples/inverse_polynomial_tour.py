"""Polynomial inversion next to the Hermite table: run it with
`PYTHONPATH=python python3 examples/inverse_polynomial_tour.py`.

The u-error plot goes to the directory given as the first argument, by default build/tour/ in
the source tree; without matplotlib it is skipped.
"""

import math
import pathlib
import sys

import drovik

ROOT = pathlib.Path(__file__).resolve().parents[1]
PLOT_DIR = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "build" / "tour"
SUPPORT = drovik.Interval(-8.0, 8.0)


def section(title):
    print()
    print(title)
    print("-" * len(title))


calls = 0


def bell(x):  # the standard normal density, unnormalized, counting its calls
    global calls
    calls += 1
    return math.exp(-0.5 * x * x)


def phi(x):
    return 0.5 * math.erfc(-x / math.sqrt(2.0))


def exact_cdf(x):  # the standard normal truncated to [-8, 8]
    return (phi(x) - phi(-8.0)) / (phi(8.0) - phi(-8.0))


def built(make):
    global calls
    calls = 0
    dist = make()
    return dist, calls


section("Quantile tables of a standard normal density")
tables = {
    "polynomial, u_resolution 1e-10": built(lambda: drovik.from_pdf_inverse_polynomial(bell, SUPPORT)),
    "polynomial, u_resolution 1e-12": built(
        lambda: drovik.from_pdf_inverse_polynomial(bell, SUPPORT, u_resolution=1e-12)),
    "Hermite, 64 nodes": built(lambda: drovik.from_pdf_with_options(bell, SUPPORT, drovik.BuildOptions.hermite(64))),
}
# A Hermite table of 1024 nodes from the density takes tens of millions of calls; from the
# distribution function it is cheap, and as accurate as a Hermite table of that size gets.
tables["Hermite, 1024 nodes (from the cdf)"] = (
    drovik.from_cdf_with_options(exact_cdf, SUPPORT, drovik.BuildOptions.hermite(1024)), 0)

# Levels spread evenly on the logit scale: both tails as finely as the middle.
levels = [1.0 / (1.0 + math.exp(-t / 40.0)) for t in range(-920, 921)]
errors = {}
for name, (dist, build_calls) in tables.items():
    errors[name] = [abs(exact_cdf(dist.ppf(u)) - u) for u in levels]
    print(f"{name:36s} {build_calls:8d} density calls, largest u-error {max(errors[name]):.1e}")
for name in ("polynomial, u_resolution 1e-10", "polynomial, u_resolution 1e-12"):
    largest, mean = drovik.u_error(tables[name][0])
    print(f"u_error() of {name}: max {largest:.1e}, mean {mean:.1e}")

section("Draws, quantiles and the distribution function")
fast = tables["polynomial, u_resolution 1e-10"][0]
print("ppf(0.975)      ", fast.ppf(0.975), "(exact 1.959963984540054)")
print("cdf(1.959964)   ", fast.cdf(1.959963984540054))
print("sample_n(3, 42) ", fast.sample_n(3, seed=42))
calls = 0
fast.sample_n(100_000, seed=1)
print("density calls for 100000 draws:", calls)

section("What the build refuses, and why")
for pdf, text in [(lambda x: 1.0 / x, "1 / x on [0, 1]"), (lambda x: -1.0, "-1 on [0, 1]")]:
    try:
        drovik.from_pdf_inverse_polynomial(pdf, drovik.Interval(0.0, 1.0))
    except drovik.BuildError as error:
        print(f"  {text}: {error}")

try:
    import matplotlib
except ImportError:
    print("plot skipped: matplotlib is not installed")
else:
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, ax = plt.subplots(figsize=(8, 4.5))
    for name, values in errors.items():
        ax.plot(levels, [max(e, 1e-17) for e in values], label=name, linewidth=0.9)
    for resolution in (1e-10, 1e-12):
        ax.axhline(resolution, color="0.5", linewidth=0.6, linestyle="--")
    ax.set_xscale("logit")
    ax.set_yscale("log")
    ax.set_ylim(1e-17, 1e-2)
    ax.set_xlabel("u")
    ax.set_ylabel("|F(ppf(u)) - u|")
    ax.set_title("u-error of quantile tables of a standard normal density on [-8, 8]")
    ax.legend(fontsize=8, loc="lower center", ncol=2)
    figure.tight_layout()
    PLOT_DIR.mkdir(parents=True, exist_ok=True)
    figure.savefig(PLOT_DIR / "inverse_polynomial.png", dpi=110)
    plt.close(figure)
    print("plot written to", PLOT_DIR / "inverse_polynomial.png")
