"""A short tour of drovik: run it with `make demo`."""

import math

import drovik


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
