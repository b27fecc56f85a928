"""A short tour of drovik: run it with `make demo`.

The plots of the multivariate part go to the directory given as the first argument, by
default build/tour/ in the source tree; without matplotlib they are skipped.
"""

import math
import pathlib
import sys

import drovik

ROOT = pathlib.Path(__file__).resolve().parents[1]
PLOT_DIR = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "build" / "tour"


def section(title):
    print()
    print(title)
    print("-" * len(title))


section("A discrete distribution from points and masses")
# Masses need not sum to one; they are normalized.
dice = drovik.from_pmf([1, 2, 3, 4, 5, 6], [1, 1, 1, 1, 1, 5])
print("points       ", dice.points())
print("P(X = 6)     ", dice.pmf(6.0))
print("P(X <= 3)    ", round(dice.cdf_at(2), 12))
print("ppf(0.75)    ", dice.ppf(0.75))
print("mean, std    ", round(dice.mean(), 6), round(dice.std(), 6))

section("Seeded sampling is reproducible")
first = dice.sample_n(10, seed=2024)
again = dice.sample_n(10, seed=2024)
print("seed=2024    ", first)
print("same again   ", first == again)
print("no seed      ", dice.sample_n(10))

section("Frequencies of a million draws")
draws = dice.sample_n(1_000_000, seed=1)
for face in range(1, 7):
    share = draws.count(float(face)) / len(draws)
    print(f"  {face}: {share:.4f} (exact {dice.pmf(face):.4f})")

section("Errors say what went wrong")
for points, masses in [([], []), ([1.0, 2.0], [1.0]), ([1.0, 2.0], [1.0, -0.5]), ([1.0], [0.0])]:
    try:
        drovik.from_pmf(points, masses)
    except drovik.BuildError as error:
        print(f"  from_pmf({points}, {masses}): {error}")
try:
    dice.ppf(1.0)
except drovik.SampleError as error:
    print(f"  ppf(1.0): {error}")


section("A continuous distribution from a Python density")
# Any positive function on a finite interval; it is normalized by quadrature.
calls = 0


def bell(x):
    global calls
    calls += 1
    return math.exp(-0.5 * x * x)


normal = drovik.from_pdf(bell, drovik.Interval(-8.0, 8.0))
print("support      ", normal.support())
print("pdf(0)       ", normal.pdf(0.0), "(exact", 1 / math.sqrt(2 * math.pi), ")")
print("cdf(1.96)    ", normal.cdf(1.96))
print("ppf(0.975)   ", normal.ppf(0.975))
print("sf, logsf    ", normal.sf(3.0), normal.logsf(3.0))
calls = 0
draws = normal.sample_n(5, seed=42)
print("5 draws      ", [round(x, 6) for x in draws])
print("calls/draw   ", calls // 5, "(plain inversion integrates the density at every bisection step)")

section("Fast sampling: a quantile table or transformed density rejection")


def standard_normal(x):
    return math.exp(-0.5 * x * x)


# The table pays one inversion per node once; then each draw is one lookup.
table = drovik.from_pdf_with_options(standard_normal, drovik.Interval(-8.0, 8.0), drovik.BuildOptions.hermite(128))
print("table?       ", table.uses_hermite_table(), " ppf(0.975) from the table:", table.ppf(0.975))
# TDR draws from a hat of exponential tangents and corrects by rejection.
calls = 0
tdr = drovik.from_pdf_with_options(bell, drovik.Interval(-8.0, 8.0), drovik.BuildOptions.tdr("log"))
calls = 0
sample = tdr.sample_n(100_000, seed=7)
print("tdr?         ", tdr.uses_tdr(), f" {calls / len(sample):.4f} density calls per draw")
mean = sum(sample) / len(sample)
var = sum((x - mean) ** 2 for x in sample) / len(sample)
print(f"sample mean and variance of 100000 TDR draws: {mean:.4f} {var:.4f}")

section("Arrays: the same draws without a float object each")
try:
    import time

    import numpy

    started = time.perf_counter()
    as_list = table.sample_n(10**6, seed=3)
    list_seconds = time.perf_counter() - started
    started = time.perf_counter()
    as_array = drovik.sample_array(table, 10**6, seed=3)
    array_seconds = time.perf_counter() - started
    print(f"10**6 table draws: sample_n {list_seconds * 1e3:.1f} ms, sample_array {array_seconds * 1e3:.1f} ms,"
          f" the same values: {numpy.array(as_list).tobytes() == as_array.tobytes()}")
    print("share of the array below 1.96:", round(float((as_array < 1.96).mean()), 4), "(exact 0.975)")
except ImportError:
    print("skipped: numpy is not installed")

section("Statistics")
print("mean, std    ", round(normal.mean(), 9), round(normal.std(), 9))
print("entropy      ", normal.entropy(), "(exact", 0.5 * math.log(2 * math.pi * math.e), ")")
print("median       ", normal.median())
print("90% interval ", normal.interval(0.9))
print("E[X^4]       ", normal.expect(lambda x: x**4), "(exact 3 up to the truncation)")

section("Histograms, location-scale and truncation")
hist = drovik.from_histogram([0.0, 1.0, 3.0], [1, 1])
print("histogram pdf(0.5), pdf(2)", hist.pdf(0.5), hist.pdf(2.0), " cdf(2)", hist.cdf(2.0))
shifted = drovik.from_pdf_loc_scale(lambda z: 1.0, drovik.Interval(0.0, 1.0), 2.0, 3.0)
print("loc 2, scale 3 of U(0, 1):", shifted.support(), " median", shifted.median())
window = drovik.truncated(standard_normal, drovik.Interval(-8.0, 8.0), drovik.Interval(0.0, 8.0))
print("normal truncated to [0, 8]: mean", round(window.mean(), 9), "(exact", math.sqrt(2 / math.pi), ")")

section("From a distribution function")
# The logistic distribution function, rescaled to the interval.
logistic = drovik.from_cdf(lambda x: 1 / (1 + math.exp(-x)), drovik.Interval(-10.0, 10.0))
print("cdf(0)       ", logistic.cdf(0.0))
print("ppf(0.9)     ", logistic.ppf(0.9), "(exact", math.log(9), "up to the truncation)")
print("pdf          ", logistic.pdf(0.0), "(no density was given)")

section("A density that fails is reported, never raised through")
try:
    drovik.from_pdf(lambda x: 1 / 0, drovik.Interval(0.0, 1.0))
except drovik.BuildError as error:
    print("  from_pdf(lambda x: 1 / 0, ...):", error)


def pyplot():
    """matplotlib's pyplot drawing into files, or None when matplotlib is not installed."""
    try:
        import matplotlib
    except ImportError:
        return None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def save(figure, name):
    PLOT_DIR.mkdir(parents=True, exist_ok=True)
    figure.savefig(PLOT_DIR / name, dpi=110)
    print("plot written to", PLOT_DIR / name)


plt = pyplot()


def mean_point(points):
    return [round(sum(p[i] for p in points) / len(points), 3) for i in range(len(points[0]))]


section("Three samplers for one density on a box")
# An unnormalized density of a point (x, y): x is standard normal and y bends around x^2 / 2.
# It is called with the coordinates as separate floats; its maximum is 1, at the origin.
density_calls = 0


def banana(x, y):
    global density_calls
    density_calls += 1
    return math.exp(-0.5 * x * x - 2.0 * (y - 0.5 * x * x) ** 2)


box = drovik.HyperRect([-3.0, -1.5], [3.0, 5.0])
N = 2000

# Rejection: exact, independent points; a uniform point of the box is kept with probability f / pdf_max.
rejection = drovik.rejection_sampler(banana, box, pdf_max=1.0)
density_calls = 0
by_rejection = rejection.sample_n(N, seed=1)
rejection_rate = N / density_calls
print(f"rejection    accepted {N} of {density_calls} proposals: {rejection_rate:.3f}")
print("             (expected 0.080: the density's integral, 3.13, over pdf_max times the box volume, 39)")

# Metropolis-Hastings: one density call per step; the step size adapts toward 25% acceptance.
# init() picks the starting point from this thread's generator, so the chain differs between runs.
chain = drovik.metropolis_hastings(banana, box, step_size=0.5, thin=5)
chain.init()
density_calls = 0
by_chain = chain.sample_n(N, seed=2)  # 1000 burn-in steps, then every fifth point
print(f"Metropolis   acceptance {chain.accept_rate():.3f} over {density_calls} steps")

# HMC: leapfrog trajectories on the numerical gradient of ln f; a rejected transition repeats the point.
hmc = drovik.hmc_sampler(banana, box)
hmc.init()
density_calls = 0
by_hmc = hmc.sample_n(N, seed=3)
moved = sum(a != b for a, b in zip(by_hmc, by_hmc[1:])) / (N - 1)
print(f"HMC          acceptance {moved:.3f} (points that moved), {density_calls / N:.0f} density calls per point")
for name, drawn in [("rejection", by_rejection), ("Metropolis", by_chain), ("HMC", by_hmc)]:
    print(f"  mean (x, y) by {name:<11}{mean_point(drawn)}  (about [0, 0.5])")

if plt is not None:
    figure, axes = plt.subplots(1, 3, figsize=(12, 4.2), sharex=True, sharey=True)
    grid_x = [-3.0 + 6.0 * i / 120 for i in range(121)]
    grid_y = [-1.5 + 6.5 * j / 120 for j in range(121)]
    levels = [[banana(x, y) for x in grid_x] for y in grid_y]
    titles = [f"rejection: {rejection_rate:.1%} accepted",
              f"Metropolis-Hastings: {chain.accept_rate():.1%} accepted", f"HMC: {moved:.1%} accepted"]
    for ax, drawn, title in zip(axes, [by_rejection, by_chain, by_hmc], titles):
        ax.contour(grid_x, grid_y, levels, levels=[0.05, 0.3, 0.7], colors="0.6", linewidths=0.8)
        ax.scatter([p[0] for p in drawn], [p[1] for p in drawn], s=3, alpha=0.5)
        ax.set_title(title, fontsize=10)
        ax.set_xlim(-3.0, 3.0)
        ax.set_ylim(-1.5, 5.0)
        ax.set_xlabel("x")
    axes[0].set_ylabel("y")
    figure.suptitle(f"{N} points of exp(-x²/2 - 2(y - x²/2)²) on [-3, 3] × [-1.5, 5]")
    figure.tight_layout()
    save(figure, "multivariate.png")
    plt.close(figure)
else:
    print("plot skipped: matplotlib is not installed")

section("A Gaussian copula with gamma and beta marginals")
# Marginal quantile functions from quantile tables: one inversion per node to build, then a lookup.
gamma2 = drovik.from_pdf_with_options(lambda x: x * math.exp(-x), drovik.Interval(0.0, 12.0),
                                      drovik.BuildOptions.hermite(128))
beta25 = drovik.from_pdf_with_options(lambda x: x * (1.0 - x) ** 4, drovik.Interval(0.0, 1.0),
                                      drovik.BuildOptions.hermite(128))
copula = drovik.gaussian_copula([[1.0, 0.7], [0.7, 1.0]])
marginals = [gamma2.ppf, beta25.ppf]
pairs = [copula.sample(marginals) for _ in range(5000)]
print("seeded point ", copula.sample(marginals, seed=5), "again:", copula.sample(marginals, seed=5))
print("means        ", mean_point(pairs), "(exact [2, 0.286]: gamma(2) and beta(2, 5))")


def ranks(values):
    order = sorted(range(len(values)), key=values.__getitem__)
    result = [0] * len(values)
    for rank, index in enumerate(order):
        result[index] = rank
    return result


rx, ry = ranks([p[0] for p in pairs]), ranks([p[1] for p in pairs])
M = len(pairs)
spearman = 1 - 6 * sum((a - b) ** 2 for a, b in zip(rx, ry)) / (M * (M * M - 1))
print(f"rank corr.    {spearman:.3f} (exact {6 / math.pi * math.asin(0.7 / 2):.3f} for correlation 0.7)")

if plt is not None:
    figure = plt.figure(figsize=(6.4, 6.4))
    layout = figure.add_gridspec(2, 2, width_ratios=(4, 1), height_ratios=(1, 4), wspace=0.05, hspace=0.05)
    main = figure.add_subplot(layout[1, 0])
    top = figure.add_subplot(layout[0, 0], sharex=main)
    right = figure.add_subplot(layout[1, 1], sharey=main)
    xs, ys = [p[0] for p in pairs], [p[1] for p in pairs]
    main.scatter(xs, ys, s=2, alpha=0.35)
    main.set_xlabel("gamma(2) marginal")
    main.set_ylabel("beta(2, 5) marginal")
    top.hist(xs, bins=50, density=True, alpha=0.6)
    curve_x = [8.0 * i / 200 for i in range(201)]
    top.plot(curve_x, [gamma2.pdf(x) for x in curve_x], color="k", linewidth=1)
    right.hist(ys, bins=50, density=True, alpha=0.6, orientation="horizontal")
    curve_y = [i / 200 for i in range(201)]
    right.plot([beta25.pdf(y) for y in curve_y], curve_y, color="k", linewidth=1)
    top.tick_params(labelbottom=False)
    right.tick_params(labelleft=False)
    main.set_xlim(0.0, 8.0)
    main.set_ylim(0.0, 1.0)
    top.set_title(f"Gaussian copula, correlation 0.7: {M} points")
    save(figure, "copula.png")
    plt.close(figure)
else:
    print("plot skipped: matplotlib is not installed")

section("A multivariate distribution function by Monte Carlo")
# The density x + y on the unit square has the distribution function F(a, b) = ab(a + b) / 2.
estimator = drovik.cdf_mc_estimator(lambda x, y: x + y, drovik.HyperRect([0.0, 0.0], [1.0, 1.0]))
print(f"normalization {estimator.estimate_normalization(seed=1):.4f} (exact 1, the integral of x + y)")
for a, b in [(0.5, 0.5), (0.3, 0.8), (0.9, 0.2)]:
    print(f"  F({a}, {b}) = {estimator.cdf([a, b], seed=2):.4f}  (exact {a * b * (a + b) / 2:.4f})")
