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
