"""DiscreteDistribution and from_pmf: construction, evaluation, inversion,
moments, out-of-range indices and seeded sampling."""

import math
import random
from fractions import Fraction

import pytest

import drovik
from _reference import DiscreteModel, format_double, seeded_uniforms

NAN = float("nan")
INF = float("inf")

EMPTY = "discrete distribution has no support points"
LENGTH = "invalid support interval: points and pmf must have the same length"
MASS = "probability mass must be positive"
NORMALIZE = "failed to normalize PDF on support"


def below(x):
    return math.nextafter(x, -INF)


def above(x):
    return math.nextafter(x, INF)


def random_table(rng, n, zero_share=0.25):
    points = [rng.choice([rng.uniform(-50, 50), float(rng.randrange(-20, 20))]) for _ in range(n)]
    masses = [0.0 if rng.random() < zero_share else rng.choice([rng.random(), rng.randrange(1, 9), 0.1]) for _ in range(n)]
    if not any(masses):
        masses[rng.randrange(n)] = 1.0
    return points, masses


RNG = random.Random(20240601)
TABLES = [
    ([3.0, 1.0, 2.0], [1.0, 1.0, 2.0]),
    ([0.0, 1.0, 2.0], [0.1, 0.2, 0.7]),
    ([0.0, 1.0, 2.0], [3, 2, 7]),
    ([5.0], [0.3]),
    ([1.0, 2.0, 3.0, 4.0, 5.0, 6.0], [0, 1, 0, 0, 1, 0]),
    ([1.0, 1.0, 2.0, 2.0], [1, 3, 0, 2]),
    (list(range(7)), [1 / 3] * 7),
    ([-1e300, 1e300, 0.0], [1e-300, 1e-300, 5e-324]),
] + [random_table(RNG, n) for n in (2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 64, 100, 1000)]


# ---------------------------------------------------------------------------
# Construction


@pytest.mark.parametrize(
    "points, masses, message",
    [
        ([], [], EMPTY),
        ([1.0], [], EMPTY),
        ([], [1.0], EMPTY),
        ([1.0, 2.0], [], EMPTY),
        ([], [-1.0, NAN], EMPTY),
        ([1.0, 2.0], [1.0], LENGTH),
        ([1.0], [1.0, 2.0], LENGTH),
        ([1.0, 2.0], [-1.0], LENGTH),
        ([1.0, 2.0, 3.0], [NAN], LENGTH),
        ([1.0, 2.0], [-0.5, 1.0], MASS),
        ([1.0, 2.0], [1.0, -0.5], MASS),
        ([1.0, 2.0], [1.0, NAN], MASS),
        ([1.0, 2.0], [INF, 1.0], MASS),
        ([1.0, 2.0], [1.0, -INF], MASS),
        ([1.0, 2.0], [1.0, -5e-324], MASS),
        ([1.0, 2.0], [0.0, 0.0], NORMALIZE),
        ([1.0, 2.0], [-0.0, 0.0], NORMALIZE),
        ([1.0], [0.0], NORMALIZE),
        ([1.0, 2.0], [1e308, 1e308], NORMALIZE),
        ([1.0, 2.0, 3.0], [1.7e308, 1.7e308, 0.0], NORMALIZE),
        # Every mass is checked before anything is summed.
        ([1.0, 2.0, 3.0], [1e308, 1e308, -1.0], MASS),
        ([1.0, 2.0, 3.0], [0.0, 0.0, NAN], MASS),
    ],
)
def test_build_errors_in_order(points, masses, message):
    with pytest.raises(drovik.BuildError) as info:
        drovik.from_pmf(points, masses)
    assert info.value.args == (message,)


@pytest.mark.parametrize(
    "points, masses",
    [
        ([1.0, 2.0], [0.0, 1.0]),
        ([1.0, 2.0], [-0.0, 1.0]),
        ([1.0], [5e-324]),
        ([1.0, 2.0], [1e308, 7e307]),
        ([NAN, INF, -INF], [1.0, 1.0, 1.0]),
        ((1, 2), (1, 1)),
        (range(3), range(1, 4)),
        ([True, False], [True, True]),
        ([Fraction(1, 2)], [Fraction(3, 7)]),
    ],
)
def test_accepted_tables(points, masses):
    d = drovik.from_pmf(points, masses)
    assert d.len() == len(points)
    assert d.cdf_at(d.len() - 1) == 1.0


def test_points_are_stored_unvalidated_and_unsorted():
    d = drovik.from_pmf([NAN, INF, -INF, 3, 1], [1, 1, 1, 1, 1])
    pts = d.points()
    assert math.isnan(pts[0]) and pts[1:] == [INF, -INF, 3.0, 1.0]
    assert math.isnan(d.mean())


def test_masses_need_not_sum_to_one():
    d = drovik.from_pmf([0, 1], [2, 6])
    assert (d.pmf_at(0), d.pmf_at(1), d.cdf_at(0), d.cdf_at(1)) == (0.25, 0.75, 0.25, 1.0)


def test_each_mass_is_divided_before_it_is_added():
    # 3/12 + 2/12 rounds differently from 5/12.
    d = drovik.from_pmf([0, 1, 2], [3, 2, 7])
    assert d.cdf_at(0) == 0.25
    assert d.cdf_at(1) == 0.41666666666666663
    assert d.pmf_at(1) == 0.41666666666666663 - 0.25
    assert d.pmf_at(2) == 1.0 - 0.41666666666666663
    assert d.ppf(0.41666666666666663) == 1.0
    assert d.ppf(5 / 12) == 2.0


def test_masses_are_recomputed_from_the_cumulative_table():
    d = drovik.from_pmf([0, 1, 2], [0.1, 0.2, 0.7])
    assert [d.cdf_at(i) for i in range(3)] == [0.1, 0.30000000000000004, 1.0]
    assert [d.pmf_at(i) for i in range(3)] == [0.1, 0.20000000000000004, 0.7]


@pytest.mark.parametrize("masses", [[1] * 49, [0.7, 0.2, 0.1], [1 / 3] * 7])
def test_last_entry_is_exactly_one(masses):
    # The running sums of these tables end above 1.0; the last entry is forced.
    acc = 0.0
    for m in masses:
        acc += m / sum(masses)
    assert acc > 1.0
    n = len(masses)
    d = drovik.from_pmf(range(n), masses)
    assert d.cdf_at(n - 1) == 1.0
    assert d.pmf_at(n - 1) == 1.0 - d.cdf_at(n - 2)
    assert d.ppf(below(1.0)) == n - 1


@pytest.mark.parametrize("table", range(len(TABLES)))
def test_table_matches_model(table):
    points, masses = TABLES[table]
    d = drovik.from_pmf(points, masses)
    model = DiscreteModel(points, masses)
    n = len(points)
    assert d.len() == n
    assert d.points() == [float(p) for p in points]
    assert [d.cdf_at(i) for i in range(n)] == model.cdf
    assert [d.pmf_at(i) for i in range(n)] == [model.mass(i) for i in range(n)]
    assert d.mean() == model.mean()
    assert d.var() == model.var()
    assert d.std() == model.std()
    for p in points[:50]:
        assert d.pmf(p) == model.pmf(p)


# ---------------------------------------------------------------------------
# len, points, pmf


def test_points_returns_a_new_list_of_floats(dist):
    first = dist.points()
    assert first == [3.0, 1.0, 2.0]
    assert all(type(p) is float for p in first)
    first.append(9.0)
    first[0] = -1.0
    assert dist.points() == [3.0, 1.0, 2.0]
    assert dist.points() is not dist.points()


def test_duplicates_stay_separate():
    d = drovik.from_pmf([1, 1], [1, 1])
    assert d.len() == 2
    assert d.points() == [1.0, 1.0]
    assert d.pmf(1.0) == 0.5
    assert d.pmf_at(1) == 0.5


def test_pmf_takes_the_first_match_only():
    d = drovik.from_pmf([1.0, 1.0 + 5e-13, 1.0], [0.0, 1.0, 3.0])
    assert d.pmf(1.0) == 0.0
    d = drovik.from_pmf([2.0, 1.0, 1.0 + 5e-13], [1.0, 1.0, 2.0])
    assert d.pmf(1.0 + 5e-13) == 0.25
    assert d.pmf(1.0 + 2e-12) == 0.0


@pytest.mark.parametrize(
    "x, expected",
    [
        (0.0, 0.5),
        (-0.0, 0.5),
        (5e-13, 0.5),
        (below(1e-12), 0.5),
        (1e-12, 0.0),
        (-below(1e-12), 0.5),
        (-1e-12, 0.0),
        (1.0, 0.25),
        (1.0 + 5e-13, 0.25),
        (1.0 + 2e-12, 0.0),
        (NAN, 0.0),
        (INF, 0.0),
        (-INF, 0.0),
        (7, 0.25),
        (Fraction(7, 1), 0.25),
    ],
)
def test_pmf_tolerance(x, expected):
    d = drovik.from_pmf([0.0, 2.0, 1.0 + 5e-13, 7.0], [2.0, 0.0, 1.0, 1.0])
    assert d.pmf(x) == expected


def test_pmf_never_matches_non_finite_points():
    d = drovik.from_pmf([NAN, INF, -INF], [1.0, 1.0, 2.0])
    assert d.pmf(NAN) == 0.0
    assert d.pmf(INF) == 0.0
    assert d.pmf(-INF) == 0.0


# ---------------------------------------------------------------------------
# ppf


@pytest.mark.parametrize(
    "points, masses, u, expected",
    [
        ([10, 20, 30], [0.5, 0, 0.5], 0.5, 20.0),
        ([10, 20, 30], [0.5, 0, 0.5], 0.25, 10.0),
        ([10, 20, 30], [0.5, 0, 0.5], 0.75, 30.0),
        ([10, 20, 30], [0.5, 0, 0.5], below(0.5), 10.0),
        ([10, 20, 30], [0.5, 0, 0.5], above(0.5), 30.0),
        ([3, 1, 2], [1, 1, 2], 0.1, 3.0),
        ([3, 1, 2], [1, 1, 2], 0.25, 3.0),
        ([3, 1, 2], [1, 1, 2], above(0.25), 1.0),
        ([3, 1, 2], [1, 1, 2], 0.5, 1.0),
        ([3, 1, 2], [1, 1, 2], above(0.5), 2.0),
        # cdf = [0, .5, .5, .5, 1, 1]: a run of equal entries, zero masses at both ends.
        ([1, 2, 3, 4, 5, 6], [0, 1, 0, 0, 1, 0], 5e-324, 2.0),
        ([1, 2, 3, 4, 5, 6], [0, 1, 0, 0, 1, 0], below(0.5), 2.0),
        ([1, 2, 3, 4, 5, 6], [0, 1, 0, 0, 1, 0], 0.5, 4.0),
        ([1, 2, 3, 4, 5, 6], [0, 1, 0, 0, 1, 0], above(0.5), 5.0),
        ([1, 2, 3, 4, 5, 6], [0, 1, 0, 0, 1, 0], below(1.0), 5.0),
        ([7, 8], [1, 0], 0.5, 7.0),
        ([7, 8], [0, 1], 5e-324, 8.0),
        ([1, 1, 2], [1, 1, 2], 0.3, 1.0),
    ],
)
def test_ppf_ties_and_order(points, masses, u, expected):
    assert drovik.from_pmf(points, masses).ppf(u) == expected


@pytest.mark.parametrize("u", [5e-324, 1e-300, 0.5, 0.999, below(1.0)])
@pytest.mark.parametrize("p", [-3.5, 0.0, 1e300, INF])
def test_single_point(p, u):
    d = drovik.from_pmf([p], [0.25])
    assert d.ppf(u) == p
    assert d.cdf_at(0) == 1.0 and d.pmf_at(0) == 1.0
    if math.isfinite(p):
        assert (d.mean(), d.var(), d.std()) == (p, 0.0, 0.0)


def _semantic_index(cdf, u):
    ties = [i for i, c in enumerate(cdf) if c == u]
    if ties:
        return ties[-1]
    return next(i for i, c in enumerate(cdf) if c > u)


@pytest.mark.parametrize("table", range(len(TABLES)))
def test_ppf_at_and_around_every_cumulative_value(table):
    points, masses = TABLES[table]
    d = drovik.from_pmf(points, masses)
    model = DiscreteModel(points, masses)
    probes = {0.5, 5e-324, below(1.0)}
    for c in model.cdf[:200]:
        probes.update({c, below(c), above(c)})
    for u in sorted(u for u in probes if 0.0 < u < 1.0):
        assert d.ppf(u) == points[_semantic_index(model.cdf, u)] == model.ppf(u), u


OUT_OF_RANGE = [
    (0.0, "0"),
    (-0.0, "-0"),
    (1.0, "1"),
    (NAN, "NaN"),
    (INF, "inf"),
    (-INF, "-inf"),
    (1.5, "1.5"),
    (-0.1, "-0.1"),
    (-1e-7, "-0.0000001"),
    (-2.5e-5, "-0.000025"),
    (1.0000000000000002, "1.0000000000000002"),
    (123456.789, "123456.789"),
    (1e21, "1000000000000000000000"),
    (1e23, "100000000000000000000000"),
    (2.0**70, "1180591620717411300000"),
    (1e100, "1" + "0" * 100),
    (-5e-324, "-0." + "0" * 323 + "5"),
    (1.7976931348623157e308, "17976931348623157" + "0" * 292),
    (0, "0"),
    (1, "1"),
    (True, "1"),
    (-3, "-3"),
]


@pytest.mark.parametrize("u, shown", OUT_OF_RANGE, ids=[repr(u) for u, _ in OUT_OF_RANGE])
def test_ppf_out_of_range_message(u, shown):
    assert format_double(float(u)) == shown
    d = drovik.from_pmf([1.0, 2.0], [1.0, 1.0])
    with pytest.raises(drovik.SampleError) as info:
        d.ppf(u)
    assert info.value.args == (f"quantile u={shown} not in (0, 1)",)


# ---------------------------------------------------------------------------
# Indices out of range


@pytest.mark.parametrize(
    "n, method, index, reported",
    [
        (3, "cdf_at", 3, 3),
        (3, "cdf_at", 4, 4),
        (3, "cdf_at", 2**63, 2**63),
        (3, "cdf_at", 2**64 - 1, 2**64 - 1),
        (3, "pmf_at", 3, 3),
        (3, "pmf_at", 4, 3),
        (3, "pmf_at", 10, 9),
        (3, "pmf_at", 2**64 - 1, 2**64 - 2),
        (1, "cdf_at", 1, 1),
        (1, "pmf_at", 1, 1),
        (1, "pmf_at", 2, 1),
    ],
)
def test_index_out_of_bounds_panics_and_object_stays_usable(n, method, index, reported):
    d = drovik.from_pmf(range(n), range(1, n + 1))
    before = (d.points(), d.mean(), d.sample_n(5, seed=3))
    with pytest.raises(drovik.PanicException) as info:
        getattr(d, method)(index)
    assert type(info.value) is drovik.PanicException
    assert info.value.args == (f"index out of bounds: the len is {n} but the index is {reported}",)
    assert (d.points(), d.mean(), d.sample_n(5, seed=3)) == before
    assert getattr(d, method)(n - 1) == (1.0 if method == "cdf_at" else n / (n * (n + 1) / 2))


@pytest.mark.parametrize("method", ["pmf_at", "cdf_at"])
def test_last_valid_index(method):
    d = drovik.from_pmf([1.0, 2.0], [1.0, 3.0])
    assert getattr(d, method)(1) == (0.75 if method == "pmf_at" else 1.0)
    assert getattr(d, method)(0) == 0.25


# ---------------------------------------------------------------------------
# Moments


@pytest.mark.parametrize(
    "points, masses, mean, var",
    [
        ([0, 1], [2, 6], 0.75, 0.1875),
        ([3, 1, 2], [1, 1, 2], 2.0, 0.5),
        ([-1, 1], [1, 1], 0.0, 1.0),
        # Two passes: a one-pass formula loses everything here.
        ([1e9 + 1, 1e9 + 2], [1, 1], 1e9 + 1.5, 0.25),
        ([1, 1, 1], [1, 2, 3], 1.0, 0.0),
    ],
)
def test_moments_by_hand(points, masses, mean, var):
    d = drovik.from_pmf(points, masses)
    assert d.mean() == mean
    assert d.var() == var
    assert d.std() == math.sqrt(var)


# ---------------------------------------------------------------------------
# Sampling


@pytest.mark.parametrize("seed", [None, 0, 5, 2**64 - 1])
def test_sample_n_zero(dist, seed):
    assert dist.sample_n(0, seed=seed) == []
    assert dist.sample_n(0) == []


def test_unseeded_draws_come_from_the_support(dist):
    draws = dist.sample_n(3000)
    assert len(draws) == 3000
    assert all(type(x) is float for x in draws)
    assert set(draws) == {1.0, 2.0, 3.0}
    single = dist.sample()
    assert type(single) is float and single in (1.0, 2.0, 3.0)


def test_zero_mass_interior_point_is_not_drawn():
    d = drovik.from_pmf([1.0, 2.0, 3.0], [1.0, 0.0, 1.0])
    assert set(d.sample_n(4000)) == {1.0, 3.0}
    assert set(d.sample_n(4000, seed=11)) == {1.0, 3.0}


GOLDEN_TABLE = (
    [4.5, -1.0, 10.0, 3.0, 3.0, 0.25, 7.0, -8.0, 2.0, 100.0],
    [0.05, 0.2, 0.0, 0.125, 0.1, 0.3, 0.025, 0.05, 0.1, 0.05],
)


@pytest.mark.parametrize("seed", [0, 1, 7, 42, 2**32, 2**63, 2**64 - 1])
def test_seeded_draws_match_the_reference(seed):
    d = drovik.from_pmf(*GOLDEN_TABLE)
    model = DiscreteModel(*GOLDEN_TABLE)
    # 100 draws use 200 keystream words: several refills of the buffer.
    expected = model.seeded_sample(seed, 100)
    assert d.sample_n(100, seed=seed) == expected
    assert d.sample_n(100, seed) == expected


def test_seed_zero_first_draws_by_hand():
    # First uniforms for seed 0: 0.7090754154265618, 0.46592172228961015,
    # 0.6991432426747317; with ten equal masses the draw is floor(10 u).
    d = drovik.from_pmf(range(10), [1] * 10)
    assert d.sample_n(3, seed=0) == [7.0, 4.0, 6.0]


def test_long_seeded_call_matches_the_reference():
    rng = random.Random(99)
    points = [rng.uniform(-1, 1) for _ in range(1000)]
    masses = [rng.random() for _ in range(1000)]
    d = drovik.from_pmf(points, masses)
    assert d.sample_n(4500, seed=123456789) == DiscreteModel(points, masses).seeded_sample(123456789, 4500)


@pytest.mark.parametrize("k", [1, 2, 31, 32, 33, 64, 65, 2047, 2048, 2049])
def test_seeded_prefixes_agree(k):
    d = drovik.from_pmf(range(1000), [1.0] * 1000)
    assert d.sample_n(k, seed=77) == d.sample_n(3000, seed=77)[:k]


def test_seeded_calls_ignore_unseeded_ones(wide):
    first = wide.sample_n(50, seed=5)
    wide.sample_n(17)
    wide.sample()
    assert wide.sample_n(50, seed=5) == first
    assert wide.sample_n(50, seed=6) != first


def test_seeded_draws_equal_ppf_of_the_reference_uniforms():
    d = drovik.from_pmf(*GOLDEN_TABLE)
    assert d.sample_n(40, seed=31337) == [d.ppf(u) for u in seeded_uniforms(31337, 40)]
