"""DiscreteDistribution and from_pmf: construction, evaluation, inversion, moments, bad indices, seeded sampling."""

import math
import random
from fractions import Fraction

import pytest

import drovik
from _helpers import above, below
from _reference import DiscreteModel

NAN, INF = float("nan"), float("inf")
EMPTY = "discrete distribution has no support points"
LENGTH = "invalid support interval: points and pmf must have the same length"
MASS = "probability mass must be positive"
NORMALIZE = "failed to normalize PDF on support"


def random_table(rng, n):
    points = [rng.choice([rng.uniform(-50, 50), float(rng.randrange(-20, 20))]) for _ in range(n)]
    masses = [0.0 if rng.random() < 0.25 else rng.choice([rng.random(), rng.randrange(1, 9), 0.1]) for _ in range(n)]
    masses[rng.randrange(n)] = 1.0
    return points, masses


RNG = random.Random(20240601)
TABLES = [
    ([3.0, 1.0, 2.0], [1.0, 1.0, 2.0]), ([1.0, 2.0, 3.0, 4.0, 5.0, 6.0], [0, 1, 0, 0, 1, 0]),
    ([1.0, 1.0, 2.0, 2.0], [1, 3, 0, 2]), ([0, 1, 2], [0.1, 0.2, 0.7]), ([5.0], [0.3]), ([1.0], [5e-324]),
    ([1.0, 2.0], [-0.0, 1.0]), ([1.0, 2.0], [1e308, 7e307]), ([-1e300, 1e300, 0.0], [1e-300, 1e-300, 5e-324]),
    (range(7), [1 / 3] * 7), (range(49), [1] * 49),  # running sums overshoot 1.0: the last entry is forced
    (range(3), (True, Fraction(3, 7), 2)), ([1e9 + 1, 1e9 + 2], [1, 1]),  # a one-pass variance loses everything here
    ([0, 1, 2], [3, 2, 7]),  # each mass is divided before it is added: 3/12 + 2/12 rounds below 5/12
] + [random_table(RNG, n) for n in (2, 8, 9, 16, 17, 100, 1000)]


@pytest.mark.parametrize(
    "points, masses, message",
    [
        ([], [], EMPTY), ([1.0, 2.0], [], EMPTY),  # emptiness before length
        ([1.0, 2.0, 3.0], [NAN], LENGTH),  # length before masses
        ([1.0, 2.0], [-0.5, 1.0], MASS), ([1.0, 2.0], [1.0, NAN], MASS),
        ([1.0, 2.0], [INF, 1.0], MASS), ([1.0, 2.0], [1.0, -5e-324], MASS),
        ([1.0, 2.0], [-0.0, 0.0], NORMALIZE), ([1.0, 2.0], [1e308, 1e308], NORMALIZE),
        # Every mass is checked before anything is summed.
        ([1.0, 2.0, 3.0], [1e308, 1e308, -1.0], MASS), ([1.0, 2.0, 3.0], [0.0, 0.0, NAN], MASS),
    ],
)
def test_build_errors_in_order(points, masses, message):
    with pytest.raises(drovik.BuildError) as info:
        drovik.from_pmf(points, masses)
    assert info.value.args == (message,)


@pytest.mark.parametrize("table", range(len(TABLES)))
def test_table_matches_model(table):
    points, masses = TABLES[table]
    d, model = drovik.from_pmf(points, masses), DiscreteModel(points, masses)
    n = len(points)
    assert (d.len(), d.points()) == (n, [float(p) for p in points])
    assert [d.cdf_at(i) for i in range(n)] == model.cdf
    assert [d.pmf_at(i) for i in range(n)] == model.masses
    assert (d.mean(), d.var(), d.std()) == (model.mean(), model.var(), math.sqrt(model.var()))
    assert [d.pmf(p) for p in points[:50]] == [model.pmf(p) for p in points[:50]]
    # ppf at, just below and just above every cumulative value: a level at a tie gives the last point of the run,
    # a zero-mass one included.
    probes = {0.5, 5e-324, below(1.0)}
    for c in model.cdf[:200]:
        probes.update({c, below(c), above(c)})
    for u in sorted(u for u in probes if 0.0 < u < 1.0):
        assert d.ppf(u) == model.ppf(u), u


def test_points_are_a_fresh_list_of_the_unvalidated_floats():
    d = drovik.from_pmf([NAN, INF, -INF, 3, 1], [1, 1, 2, 2, 2])
    pts = d.points()
    assert math.isnan(pts[0]) and pts[1:] == [INF, -INF, 3.0, 1.0] and all(type(p) is float for p in pts)
    pts[1] = 0.0
    assert d.points()[1] == INF and math.isnan(d.mean())
    assert [d.pmf(x) for x in (NAN, INF, -INF, 3.0)] == [0.0, 0.0, 0.0, 0.25]  # non-finite points never match


@pytest.mark.parametrize(
    "x, expected",
    [
        (0.0, 0.25), (-0.0, 0.25), (below(1e-12), 0.25), (1e-12, 0.0), (-1e-12, 0.0),
        (1.0, 0.125),  # the first match within 1e-12 wins over the exact one later
        (1.0 + 2e-12, 0.0),
        (2.0, 0.0),  # a zero-mass first match: later duplicates are not added
        (7, 0.125), (NAN, 0.0), (INF, 0.0),
    ],
)
def test_pmf_tolerance_and_first_match(x, expected):
    d = drovik.from_pmf([0.0, 2.0, 1.0 + 5e-13, 7.0, 1.0, 2.0], [2, 0, 1, 1, 2, 2])
    assert d.pmf(x) == expected


OUT_OF_RANGE = [
    (0.0, "0"), (-0.0, "-0"), (1.0, "1"), (NAN, "NaN"), (INF, "inf"), (-INF, "-inf"),
    (-1e-7, "-0.0000001"), (1.0000000000000002, "1.0000000000000002"),
    (1e21, "1000000000000000000000"), (1e23, "100000000000000000000000"), (2.0**70, "1180591620717411300000"),
    (-5e-324, "-0." + "0" * 323 + "5"), (0, "0"), (True, "1"),
]


@pytest.mark.parametrize("u, shown", OUT_OF_RANGE, ids=[repr(u) for u, _ in OUT_OF_RANGE])
def test_ppf_out_of_range_message(u, shown):
    with pytest.raises(drovik.SampleError) as info:
        drovik.from_pmf([1.0, 2.0], [1.0, 1.0]).ppf(u)
    assert info.value.args == (f"quantile u={shown} not in (0, 1)",)


@pytest.mark.parametrize(
    "method, index, reported",
    [("cdf_at", 3, 3), ("cdf_at", 2**64 - 1, 2**64 - 1), ("pmf_at", 3, 3), ("pmf_at", 4, 3),
     ("pmf_at", 2**64 - 1, 2**64 - 2)],
)
def test_index_out_of_bounds_panics_and_object_stays_usable(method, index, reported):
    d = drovik.from_pmf(range(3), range(1, 4))
    before = (d.points(), d.mean(), d.sample_n(5, seed=3))
    with pytest.raises(drovik.PanicException) as info:
        getattr(d, method)(index)
    assert type(info.value) is drovik.PanicException
    assert info.value.args == (f"index out of bounds: the len is 3 but the index is {reported}",)
    assert (d.points(), d.mean(), d.sample_n(5, seed=3)) == before


GOLDEN_TABLE = (
    [4.5, -1.0, 10.0, 3.0, 3.0, 0.25, 7.0, -8.0, 2.0, 100.0],
    [0.05, 0.2, 0.0, 0.125, 0.1, 0.3, 0.025, 0.05, 0.1, 0.05],
)


@pytest.mark.parametrize("seed", [0, 42, 2**32, 2**64 - 1])
def test_seeded_draws_match_the_reference(seed):
    d = drovik.from_pmf(*GOLDEN_TABLE)
    # 100 draws use 200 keystream words: several refills of the buffer.
    assert d.sample_n(100, seed=seed) == DiscreteModel(*GOLDEN_TABLE).seeded_sample(seed, 100)


def test_seeded_prefixes_agree_and_ignore_unseeded_calls(wide):
    long = wide.sample_n(3000, seed=77)
    assert [wide.sample_n(k, seed=77) for k in (1, 33, 2049)] == [long[:1], long[:33], long[:2049]]
    wide.sample_n(17)
    wide.sample()
    assert wide.sample_n(3000, seed=77) == long != wide.sample_n(3000, seed=78)
