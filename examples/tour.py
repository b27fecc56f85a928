"""A short tour of drovik: run it with `make demo`."""

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
