"""Every function and method fed wrong arguments: exact exception types and
texts, nothing that crashes, nothing that leaks references."""

import collections.abc
import ctypes
import gc
import operator
import sys
from decimal import Decimal
from fractions import Fraction

import pytest

import drovik

D = drovik.DiscreteDistribution


class Boom(Exception):
    """A user exception that must pass through unchanged."""


class FloatRaises:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc() if isinstance(self.exc, type) else self.exc


class IndexRaises:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc() if isinstance(self.exc, type) else self.exc


class FloatReturns:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class IndexReturns:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FloatSubclassWithBadFloat(float):
    def __float__(self):
        raise Boom("never called: the float value is used directly")


def float_error(obj):
    """The exception the interpreter's float conversion raises for obj."""
    convert = ctypes.pythonapi.PyFloat_AsDouble
    convert.argtypes = [ctypes.py_object]
    convert.restype = ctypes.c_double
    with pytest.raises(BaseException) as info:
        convert(obj)
    return info.value


def index_error(obj):
    with pytest.raises(BaseException) as info:
        operator.index(obj)
    return info.value


def unsigned_error(value):
    convert = ctypes.pythonapi.PyLong_AsUnsignedLongLong
    convert.argtypes = [ctypes.py_object]
    convert.restype = ctypes.c_ulonglong
    with pytest.raises(OverflowError) as info:
        convert(value)
    return info.value


@pytest.fixture
def d():
    return drovik.from_pmf([1.0, 2.0, 3.0], [1.0, 1.0, 2.0])


# Double arguments: (method, argument name).
DOUBLE_ARGS = [("pmf", "x"), ("ppf", "u")]
# Unsigned arguments: (method, argument name, call building the arguments).
UNSIGNED_ARGS = [
    ("pmf_at", "index", lambda v: ((v,), {})),
    ("cdf_at", "index", lambda v: ((v,), {})),
    ("sample_n", "n", lambda v: ((v,), {})),
    ("sample_n", "seed", lambda v: ((1,), {"seed": v})),
]
NO_ARG_METHODS = ["len", "points", "mean", "var", "std", "sample"]

NOT_REAL = ["a", "", b"1", bytearray(b"1"), None, [1.0], (1.0,), {}, {1.0}, object(), 1j, FloatReturns("1.0"), FloatReturns(1)]
NOT_INTEGER = [1.0, 0.5, float("nan"), float("inf"), "1", b"1", None, [1], (1,), 1j, Fraction(1), Decimal(1), object(), IndexReturns(1.0)]


# ---------------------------------------------------------------------------
# Doubles


@pytest.mark.parametrize("method, arg", DOUBLE_ARGS)
@pytest.mark.parametrize("value", NOT_REAL, ids=repr)
def test_double_conversion_type_error_is_prefixed_with_cause(d, method, arg, value):
    inner = float_error(value)
    assert type(inner) is TypeError
    with pytest.raises(TypeError) as info:
        getattr(d, method)(value)
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument '{arg}': {inner}"
    assert info.value.args == (str(info.value),)
    assert type(info.value.__cause__) is TypeError
    assert str(info.value.__cause__) == str(inner)


def test_double_conversion_example(d):
    with pytest.raises(TypeError) as info:
        d.pmf("a")
    assert str(info.value) == "argument 'x': must be real number, not str"


@pytest.mark.parametrize("method, arg", DOUBLE_ARGS)
def test_type_error_raised_by_float_is_prefixed_and_chained(d, method, arg):
    original = TypeError("custom refusal")
    with pytest.raises(TypeError) as info:
        getattr(d, method)(FloatRaises(original))
    assert str(info.value) == f"argument '{arg}': custom refusal"
    assert info.value.__cause__ is original


@pytest.mark.parametrize("method", [m for m, _ in DOUBLE_ARGS])
@pytest.mark.parametrize(
    "value, expected",
    [
        (FloatRaises(Boom("float")), Boom),
        (FloatRaises(ValueError("float")), ValueError),
        (FloatRaises(ZeroDivisionError("float")), ZeroDivisionError),
        (IndexRaises(Boom("index")), Boom),
        (2**1024, OverflowError),
        (-(2**5000), OverflowError),
    ],
    ids=["float-boom", "float-value-error", "float-zero-division", "index-boom", "int-too-large", "negative-too-large"],
)
def test_other_conversion_errors_pass_unchanged(d, method, value, expected):
    with pytest.raises(expected) as info:
        getattr(d, method)(value)
    assert type(info.value) is expected
    if isinstance(value, (FloatRaises, IndexRaises)):
        assert info.value is value.exc
    else:
        assert str(info.value) == str(float_error(value))
    assert not str(info.value).startswith("argument")


@pytest.mark.parametrize(
    "value, pmf",
    [
        (FloatReturns(1.0), 1 / 4),
        (IndexReturns(3), 1 / 2),
        (Fraction(2), 1 / 4),
        (Decimal("3"), 1 / 2),
        (True, 1 / 4),
        (FloatSubclassWithBadFloat(2.0), 1 / 4),
        (2**100, 0.0),
        (float("nan"), 0.0),
        (float("inf"), 0.0),
        (-float("inf"), 0.0),
    ],
    ids=repr,
)
def test_double_accepts_numbers_and_numeric_objects(d, value, pmf):
    assert d.pmf(value) == pmf
    assert d.pmf(x=value) == pmf


@pytest.mark.parametrize("u, shown", [(float("nan"), "NaN"), (float("inf"), "inf"), (-float("inf"), "-inf"), (2**100, "1267650600228229400000000000000")])
def test_ppf_of_non_finite_and_huge_values(d, u, shown):
    with pytest.raises(drovik.SampleError) as info:
        d.ppf(u)
    assert str(info.value) == f"quantile u={shown} not in (0, 1)"


# ---------------------------------------------------------------------------
# Unsigned integers


# None is the seed's default, not an error.
UNSIGNED_TYPE_CASES = [
    pytest.param(m, a, b, v, id=f"{m}-{a}-{v!r}")
    for m, a, b in UNSIGNED_ARGS
    for v in NOT_INTEGER
    if not (v is None and a == "seed")
]


@pytest.mark.parametrize("method, arg, build, value", UNSIGNED_TYPE_CASES)
def test_unsigned_conversion_type_error_is_prefixed_with_cause(d, method, arg, build, value):
    inner = index_error(value)
    assert type(inner) is TypeError
    args, kwargs = build(value)
    with pytest.raises(TypeError) as info:
        getattr(d, method)(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument '{arg}': {inner}"
    assert type(info.value.__cause__) is TypeError
    assert str(info.value.__cause__) == str(inner)


@pytest.mark.parametrize("method, arg, build", UNSIGNED_ARGS, ids=[f"{m}-{a}" for m, a, _ in UNSIGNED_ARGS])
@pytest.mark.parametrize("value", [-1, -(2**63), -(2**64), -(2**100), 2**64, 2**100, IndexReturns(-1), IndexReturns(2**64)], ids=repr)
def test_unsigned_out_of_range_raises_overflow_error_unchanged(d, method, arg, build, value):
    expected = unsigned_error(operator.index(value))
    args, kwargs = build(value)
    with pytest.raises(OverflowError) as info:
        getattr(d, method)(*args, **kwargs)
    assert type(info.value) is OverflowError
    assert str(info.value) == str(expected)


@pytest.mark.parametrize("method, arg, build", UNSIGNED_ARGS, ids=[f"{m}-{a}" for m, a, _ in UNSIGNED_ARGS])
@pytest.mark.parametrize(
    "value, expected",
    [(IndexRaises(Boom("index")), Boom), (IndexRaises(ValueError("index")), ValueError), (IndexRaises(ArithmeticError("x")), ArithmeticError)],
    ids=["boom", "value-error", "arithmetic-error"],
)
def test_index_errors_pass_unchanged(d, method, arg, build, value, expected):
    args, kwargs = build(value)
    with pytest.raises(expected) as info:
        getattr(d, method)(*args, **kwargs)
    assert info.value is value.exc


@pytest.mark.parametrize("method, arg, build", UNSIGNED_ARGS, ids=[f"{m}-{a}" for m, a, _ in UNSIGNED_ARGS])
def test_type_error_raised_by_index_is_prefixed_and_chained(d, method, arg, build):
    original = TypeError("no index today")
    args, kwargs = build(IndexRaises(original))
    with pytest.raises(TypeError) as info:
        getattr(d, method)(*args, **kwargs)
    assert str(info.value) == f"argument '{arg}': no index today"
    assert info.value.__cause__ is original


@pytest.mark.parametrize("value", [IndexReturns(1), True, 1])
def test_unsigned_accepts_index_objects(d, value):
    assert d.pmf_at(value) == 0.25
    assert d.cdf_at(index=value) == 0.5
    assert len(d.sample_n(value)) == 1


def test_numpy_scalars():
    np = pytest.importorskip("numpy")
    d = drovik.from_pmf([1.0, 2.0], [1.0, 3.0])
    assert d.ppf(np.float64(0.5)) == 2.0
    assert d.pmf_at(np.int64(1)) == 0.75
    assert d.sample_n(np.uint64(2), seed=np.uint64(5)) == d.sample_n(2, seed=5)
    with pytest.raises(TypeError, match=r"^argument 'n': "):
        d.sample_n(np.float64(2.0))
    with pytest.raises(TypeError) as info:
        drovik.from_pmf(np.array([1.0, 2.0]), [1.0, 1.0])
    assert str(info.value) == "argument 'points': 'ndarray' object cannot be converted to 'Sequence'"


@pytest.mark.parametrize("n", [2**61, 2**62, 2**63 - 1, 2**63, 2**64 - 1])
@pytest.mark.parametrize("seed", [None, 1])
def test_unallocatable_count_raises_memory_error_at_once(d, n, seed):
    with pytest.raises(MemoryError):
        d.sample_n(n, seed=seed)
    assert d.sample_n(3, seed=2) == d.sample_n(3, seed=2)
    assert len(d.sample_n(3)) == 3


# ---------------------------------------------------------------------------
# Sequences


@pytest.mark.parametrize(
    "value",
    [3, 1.5, None, object(), {1: 2}, {1.0}, frozenset([1.0]), iter([1.0]), (x for x in [1.0]), {}.keys(), FloatReturns(1.0)],
    ids=repr,
)
@pytest.mark.parametrize("position", ["points", "pmf"])
def test_non_sequences_are_refused(value, position):
    args = (value, [1.0]) if position == "points" else ([1.0], value)
    with pytest.raises(TypeError) as info:
        drovik.from_pmf(*args)
    assert str(info.value) == f"argument '{position}': '{type(value).__name__}' object cannot be converted to 'Sequence'"
    assert info.value.__cause__ is None


def test_both_arguments_are_checked_before_either_is_read():
    touched = []

    class Spy:
        def __float__(self):
            touched.append(1)
            return 1.0

    with pytest.raises(TypeError, match=r"^argument 'pmf': 'int' object cannot be converted to 'Sequence'$"):
        drovik.from_pmf([Spy(), Spy()], 3)
    assert touched == []


def test_points_are_read_completely_before_pmf():
    log = []

    class Logged:
        def __init__(self, tag):
            self.tag = tag

        def __float__(self):
            log.append(self.tag)
            return 1.0

    drovik.from_pmf([Logged("p0"), Logged("p1")], [Logged("m0"), Logged("m1")])
    assert log == ["p0", "p1", "m0", "m1"]
    log.clear()
    with pytest.raises(TypeError):
        drovik.from_pmf([Logged("p0"), "x", Logged("p2")], [Logged("m0")])
    assert log == ["p0"]


@pytest.mark.parametrize(
    "item, expected",
    [
        ("a", TypeError),
        (None, TypeError),
        ([1.0], TypeError),
        (b"x", TypeError),
        (1j, TypeError),
        (FloatRaises(Boom("item")), Boom),
        (FloatRaises(TypeError("item refuses")), TypeError),
        (IndexRaises(Boom("item index")), Boom),
        (2**1024, OverflowError),
    ],
    ids=repr,
)
@pytest.mark.parametrize("position", ["points", "pmf"])
def test_item_conversion_errors_are_raised_unchanged(item, expected, position):
    bad = [1.0, item, 2.0]
    args = (bad, [1.0, 1.0, 1.0]) if position == "points" else ([1.0, 2.0, 3.0], bad)
    with pytest.raises(expected) as info:
        drovik.from_pmf(*args)
    assert type(info.value) is expected
    if isinstance(item, (FloatRaises, IndexRaises)):
        assert info.value is item.exc
    else:
        assert str(info.value) == str(float_error(item))
    assert not str(info.value).startswith("argument")


def test_a_string_is_a_sequence_but_not_of_numbers():
    with pytest.raises(TypeError) as info:
        drovik.from_pmf("ab", [1, 1])
    assert str(info.value) == "must be real number, not str"
    assert info.value.__cause__ is None
    with pytest.raises(drovik.BuildError, match="^discrete distribution has no support points$"):
        drovik.from_pmf("", [])


@pytest.mark.parametrize("points", [b"\x01\x02", bytearray(b"\x01\x02"), range(1, 3), (1, 2), [1, 2]], ids=repr)
def test_other_sequences_of_numbers_are_accepted(points):
    assert drovik.from_pmf(points, (1, 3)).points() == [1.0, 2.0]


class ListRaisingMidway(list):
    def __iter__(self):
        yield 1.0
        raise Boom("list iteration")


class TupleRaisingMidway(tuple):
    def __iter__(self):
        yield 1.0
        yield 2.0
        raise Boom("tuple iteration")


class SeqIterRaises(collections.abc.Sequence):
    def __len__(self):
        return 2

    def __getitem__(self, i):
        return 1.0

    def __iter__(self):
        raise Boom("no iterator")


class SeqGetitemRaises(collections.abc.Sequence):
    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i == 1:
            raise Boom("item 1")
        if i > 2:
            raise IndexError(i)
        return float(i)


class SeqIterNotIterator(collections.abc.Sequence):
    def __len__(self):
        return 1

    def __getitem__(self, i):
        raise IndexError(i)

    def __iter__(self):
        return 5


@pytest.mark.parametrize(
    "make, expected",
    [
        (lambda: ListRaisingMidway([1.0, 2.0]), Boom),
        (lambda: TupleRaisingMidway((1.0, 2.0, 3.0)), Boom),
        (SeqIterRaises, Boom),
        (SeqGetitemRaises, Boom),
        (SeqIterNotIterator, TypeError),
    ],
    ids=["list-subclass", "tuple-subclass", "iter-raises", "getitem-raises", "iter-not-iterator"],
)
@pytest.mark.parametrize("position", ["points", "pmf"])
def test_iteration_errors_pass_unchanged(make, expected, position):
    bad = make()
    args = (bad, [1.0, 1.0]) if position == "points" else ([1.0, 2.0], bad)
    with pytest.raises(expected) as info:
        drovik.from_pmf(*args)
    assert type(info.value) is expected
    assert not str(info.value).startswith("argument")


class Virtual:
    """Registered as a Sequence without inheriting from it."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


collections.abc.Sequence.register(Virtual)


def test_registered_sequences_are_accepted():
    assert drovik.from_pmf(Virtual([4, 5]), Virtual([1, 1])).points() == [4.0, 5.0]


class LyingLength(collections.abc.Sequence):
    def __init__(self, length):
        self.length = length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        if i >= 2:
            raise IndexError(i)
        return float(i)


class LengthRaises(LyingLength):
    def __len__(self):
        raise Boom("len")


@pytest.mark.parametrize(
    "make",
    [lambda: LyingLength(0), lambda: LyingLength(1), lambda: LyingLength(sys.maxsize), lambda: LengthRaises(2)],
    ids=["zero", "one", "maxsize", "raises"],
)
def test_items_come_from_iteration_not_from_len(make):
    # The length is at most a hint: what iteration yields is what counts.
    assert drovik.from_pmf(make(), [1.0, 3.0]).points() == [0.0, 1.0]


# ---------------------------------------------------------------------------
# Argument binding


def _call(target, *args, **kwargs):
    if target == "from_pmf":
        return drovik.from_pmf(*args, **kwargs)
    dist = drovik.from_pmf([1.0, 2.0], [1.0, 1.0])
    return getattr(dist, target)(*args, **kwargs)


BINDING_ERRORS = [
    ("from_pmf", (), {}, "from_pmf() missing 2 required positional arguments: 'points' and 'pmf'"),
    ("from_pmf", ([1.0],), {}, "from_pmf() missing 1 required positional argument: 'pmf'"),
    ("from_pmf", (), {"pmf": [1.0]}, "from_pmf() missing 1 required positional argument: 'points'"),
    ("from_pmf", ([1.0], [1.0], [1.0]), {}, "from_pmf() takes 2 positional arguments but 3 were given"),
    ("from_pmf", ([1.0],) * 4, {}, "from_pmf() takes 2 positional arguments but 4 were given"),
    ("from_pmf", ([1.0], [1.0]), {"x": 1}, "from_pmf() got an unexpected keyword argument 'x'"),
    ("from_pmf", (), {"points": [1.0], "pmf": [1.0], "seed": 1}, "from_pmf() got an unexpected keyword argument 'seed'"),
    ("from_pmf", ([1.0],), {"points": [1.0]}, "from_pmf() got multiple values for argument 'points'"),
    ("from_pmf", ([1.0], [1.0]), {"pmf": [1.0]}, "from_pmf() got multiple values for argument 'pmf'"),
    ("sample_n", (), {}, "DiscreteDistribution.sample_n() missing 1 required positional argument: 'n'"),
    ("sample_n", (), {"seed": 1}, "DiscreteDistribution.sample_n() missing 1 required positional argument: 'n'"),
    ("sample_n", (1, 2, 3), {}, "DiscreteDistribution.sample_n() takes from 1 to 2 positional arguments but 3 were given"),
    ("sample_n", ("a", "b", "c", "d"), {}, "DiscreteDistribution.sample_n() takes from 1 to 2 positional arguments but 4 were given"),
    ("sample_n", (1,), {"n": 2}, "DiscreteDistribution.sample_n() got multiple values for argument 'n'"),
    ("sample_n", (1, 2), {"seed": 3}, "DiscreteDistribution.sample_n() got multiple values for argument 'seed'"),
    ("sample_n", (1,), {"sed": 3}, "DiscreteDistribution.sample_n() got an unexpected keyword argument 'sed'"),
    ("sample_n", ("a",), {"self": 3}, "DiscreteDistribution.sample_n() got an unexpected keyword argument 'self'"),
    ("pmf", (), {}, "DiscreteDistribution.pmf() missing 1 required positional argument: 'x'"),
    ("pmf", (1.0, 2.0), {}, "DiscreteDistribution.pmf() takes 1 positional arguments but 2 were given"),
    ("pmf", (), {"y": 1.0}, "DiscreteDistribution.pmf() got an unexpected keyword argument 'y'"),
    ("ppf", ("a",), {"u": "b"}, "DiscreteDistribution.ppf() got multiple values for argument 'u'"),
    ("ppf", (), {"x": 0.5}, "DiscreteDistribution.ppf() got an unexpected keyword argument 'x'"),
    ("pmf_at", (), {}, "DiscreteDistribution.pmf_at() missing 1 required positional argument: 'index'"),
    ("pmf_at", (0, 1), {}, "DiscreteDistribution.pmf_at() takes 1 positional arguments but 2 were given"),
    ("cdf_at", (), {"i": 0}, "DiscreteDistribution.cdf_at() got an unexpected keyword argument 'i'"),
    ("cdf_at", (-1,), {"index": -1}, "DiscreteDistribution.cdf_at() got multiple values for argument 'index'"),
]


@pytest.mark.parametrize("target, args, kwargs, message", BINDING_ERRORS, ids=[m for *_, m in BINDING_ERRORS])
def test_binding_errors(target, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        _call(target, *args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)


@pytest.mark.parametrize(
    "target, args, kwargs",
    [
        ("from_pmf", (), {"points": [1.0], "pmf": [1.0]}),
        ("from_pmf", (), {"pmf": [1.0], "points": [1.0]}),
        ("sample_n", (), {"n": 2, "seed": 3}),
        ("sample_n", (), {"seed": 3, "n": 2}),
        ("sample_n", (2,), {"seed": None}),
        ("ppf", (), {"u": 0.5}),
        ("pmf", (), {"x": 1.0}),
        ("pmf_at", (), {"index": 0}),
        ("cdf_at", (), {"index": 1}),
    ],
)
def test_keywords_bind_like_positions(target, args, kwargs):
    _call(target, *args, **kwargs)


def test_keyword_that_is_not_valid_utf8():
    name = "\udc80"
    with pytest.raises(TypeError) as info:
        _call("ppf", **{name: 0.5})
    assert str(info.value) == f"DiscreteDistribution.ppf() got an unexpected keyword argument '{name}'"


@pytest.mark.parametrize(
    "kwargs, expected, arg",
    [
        ({"n": "a", "seed": "b"}, TypeError, "n"),
        ({"seed": "b", "n": "a"}, TypeError, "n"),
        ({"n": -1, "seed": "b"}, OverflowError, None),
        ({"n": 1, "seed": "b"}, TypeError, "seed"),
        ({"n": 1.0, "seed": -1}, TypeError, "n"),
        ({"n": 1, "seed": -1}, OverflowError, None),
    ],
)
def test_arguments_are_converted_in_parameter_order(d, kwargs, expected, arg):
    with pytest.raises(expected) as info:
        d.sample_n(**kwargs)
    assert type(info.value) is expected
    if arg:
        assert str(info.value).startswith(f"argument '{arg}': ")


def test_binding_is_checked_before_conversion(d):
    with pytest.raises(TypeError, match=r"takes from 1 to 2 positional arguments but 3 were given$"):
        d.sample_n("a", -1, 2.0)
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'pmf'$"):
        drovik.from_pmf(3)


@pytest.mark.parametrize("method", NO_ARG_METHODS)
@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((None,), {}), ((), {"x": 1}), ((1, 2), {})])
def test_methods_without_parameters_refuse_arguments(d, method, args, kwargs):
    with pytest.raises(TypeError, match=rf"{method}\(\) takes no (keyword )?arguments"):
        getattr(d, method)(*args, **kwargs)


@pytest.mark.parametrize(
    "call",
    [
        lambda: D.mean(5),
        lambda: D.mean(None),
        lambda: D.ppf(5, 0.5),
        lambda: D.sample_n("x", 3),
        lambda: D.points(),
        lambda: D.pmf_at(),
        lambda: D.len(drovik.BuildError("x")),
    ],
)
def test_unbound_methods_check_self(call):
    with pytest.raises(TypeError):
        call()


# ---------------------------------------------------------------------------
# References: failing paths must not leak


def _iterations_without_growth(fn, watched, rounds=400):
    for _ in range(20):
        fn()
    gc.collect()
    before_refs = [sys.getrefcount(o) for o in watched]
    total = getattr(sys, "gettotalrefcount", None)
    before_total = total() if total else None
    before_blocks = sys.getallocatedblocks()
    for _ in range(rounds):
        fn()
    gc.collect()
    after_blocks = sys.getallocatedblocks()
    assert [sys.getrefcount(o) for o in watched] == before_refs
    if total:
        assert total() - before_total < rounds // 4
    if before_blocks:  # zero when the interpreter uses the system allocator
        assert after_blocks - before_blocks < rounds // 4


def _expect(exc, fn, *args, **kwargs):
    def run():
        try:
            fn(*args, **kwargs)
        except exc:
            pass
        else:
            raise AssertionError(f"{fn} did not raise {exc}")

    return run


def _leak_cases():
    dist = drovik.from_pmf([1.0, 2.0, 3.0], [1.0, 1.0, 2.0])
    big = 2**64 + 12345
    text = "not a number" + "!" * 3
    # Fresh exceptions each time: a re-raised instance keeps growing its traceback.
    bad_float = FloatRaises(Boom)
    bad_type = FloatRaises(TypeError)
    bad_index = IndexRaises(Boom)
    points = [1.0, 2.0, 3.0]
    short = [1.0]
    mid = ListRaisingMidway([1.0, 2.0])
    items = [1.0, text, 2.0]
    seed = 2**64 - 1 - 77
    huge_index = 2**64 - 1
    return [
        ("ppf-str", _expect(TypeError, dist.ppf, text), [dist, text]),
        ("ppf-float-raises", _expect(Boom, dist.ppf, bad_float), [dist, bad_float]),
        ("pmf-float-type-error", _expect(TypeError, dist.pmf, bad_type), [dist, bad_type]),
        ("ppf-out-of-range", _expect(drovik.SampleError, dist.ppf, 1.5), [dist]),
        ("cdf_at-panic", _expect(drovik.PanicException, dist.cdf_at, 3), [dist]),
        ("pmf_at-panic", _expect(drovik.PanicException, dist.pmf_at, huge_index), [dist, huge_index]),
        ("pmf_at-overflow", _expect(OverflowError, dist.pmf_at, big), [dist, big]),
        ("pmf_at-index-raises", _expect(Boom, dist.pmf_at, bad_index), [dist, bad_index]),
        ("sample_n-seed-str", _expect(TypeError, dist.sample_n, 2, seed=text), [dist, text]),
        ("sample_n-memory", _expect(MemoryError, dist.sample_n, 2**62, seed=seed), [dist, seed]),
        ("sample_n-binding", _expect(TypeError, dist.sample_n, 1, 2, 3), [dist]),
        ("sample_n-keyword", _expect(TypeError, dist.sample_n, 1, sed=seed), [dist, seed]),
        ("sample_n-duplicate", _expect(TypeError, dist.sample_n, seed, n=seed), [dist, seed]),
        ("from_pmf-length", _expect(drovik.BuildError, drovik.from_pmf, points, short), [points, short]),
        ("from_pmf-not-sequence", _expect(TypeError, drovik.from_pmf, points, big), [points, big]),
        ("from_pmf-item", _expect(TypeError, drovik.from_pmf, items, points), [items, text, points]),
        ("from_pmf-midway", _expect(Boom, drovik.from_pmf, points, mid), [points, mid]),
        ("from_pmf-ok", lambda: drovik.from_pmf(points, points), [points]),
        ("sample_n-ok", lambda: dist.sample_n(50, seed=seed), [dist, seed]),
        ("points-ok", dist.points, [dist]),
    ]


LEAK_CASES = _leak_cases()


@pytest.mark.parametrize("name, fn, watched", LEAK_CASES, ids=[c[0] for c in LEAK_CASES])
def test_repeated_calls_do_not_leak(name, fn, watched):
    _iterations_without_growth(fn, watched)
