"""DiscreteDistribution and from_pmf fed wrong arguments: exact exception types, texts and causes, no leaks."""

import collections.abc
import ctypes
import gc
import operator
import sys
from fractions import Fraction

import pytest

import drovik

D = drovik.DiscreteDistribution


class Boom(Exception):
    """A user exception that must pass through unchanged."""


class Returns:
    """Returns `value` from its conversion method, or raises it when it is an exception."""

    def __init__(self, value):
        self.value = value

    def _convert(self):
        if isinstance(self.value, BaseException) or isinstance(self.value, type):
            raise self.value
        return self.value


class Float(Returns):
    __float__ = Returns._convert


class Index(Returns):
    __index__ = Returns._convert


class FloatSubclassWithBadFloat(float):
    def __float__(self):
        raise Boom("never called: the float value is used directly")


def _c_api(name, restype):
    function = ctypes.pythonapi[name]
    function.argtypes, function.restype = [ctypes.py_object], restype
    return function


# The interpreter's own conversions: the errors they raise are the expected ones.
as_double = _c_api("PyFloat_AsDouble", ctypes.c_double)
as_u64 = _c_api("PyLong_AsUnsignedLongLong", ctypes.c_ulonglong)


def as_index(value):
    return as_u64(operator.index(value))


def _error(convert, value):
    """The exception convert(value) raises, or None."""
    try:
        convert(value)
    except Exception as error:
        return error


@pytest.fixture
def d():
    return drovik.from_pmf([1.0, 2.0, 3.0], [1.0, 1.0, 2.0])


CONVERSIONS = [("pmf", "x", as_double), ("ppf", "u", as_double), ("pmf_at", "index", as_index),
               ("cdf_at", "index", as_index), ("sample_n", "n", as_index)]  # seeds: test_random
BAD_VALUES = ["a", None, [1.0], 1j, 1.0, Fraction(1), Float("1.0"), Index(1.0), Float(TypeError("refused")),
              Index(TypeError("refused")), Float(Boom()), Index(Boom()), 2**1024, -1, 2**64, Index(-1)]


@pytest.mark.parametrize(
    "method, arg, convert, value",
    [(m, a, c, v) for m, a, c in CONVERSIONS for v in BAD_VALUES if _error(c, v) is not None],
)
def test_conversion_errors(d, method, arg, convert, value):
    inner = _error(convert, value)
    with pytest.raises(type(inner)) as info:
        getattr(d, method)(value)
    if type(inner) is TypeError:  # prefixed, the interpreter's error as its cause
        assert type(info.value) is TypeError and info.value.args == (f"argument '{arg}': {inner}",)
        assert type(info.value.__cause__) is TypeError and str(info.value.__cause__) == str(inner)
    else:  # OverflowError and user exceptions pass unchanged
        assert type(info.value) is type(inner) and str(info.value) == str(inner)
    if getattr(value, "value", None) is inner:  # the user's own exception
        assert inner is (info.value.__cause__ if type(inner) is TypeError else info.value)


@pytest.mark.parametrize(
    "value, pmf", [(Float(1.0), 0.25), (Index(3), 0.5), (Fraction(2), 0.25), (FloatSubclassWithBadFloat(2.0), 0.25),
                   (2**100, 0.0)],
)
def test_double_accepts_numeric_objects(d, value, pmf):
    assert d.pmf(value) == d.pmf(x=value) == pmf


def test_unsigned_and_numpy_arguments():
    np = pytest.importorskip("numpy")
    d = drovik.from_pmf([1.0, 2.0], [1.0, 3.0])
    assert d.pmf_at(Index(1)) == d.pmf_at(True) == d.pmf_at(np.int64(1)) == 0.75
    assert len(d.sample_n(Index(1))) == len(d.sample_n(True)) == 1
    assert d.ppf(np.float64(0.5)) == 2.0
    assert d.sample_n(np.uint64(2), seed=np.uint64(5)) == d.sample_n(2, seed=5)


@pytest.mark.parametrize("n", [2**62, 2**64 - 1])
@pytest.mark.parametrize("seed", [None, 1])
def test_unallocatable_count_raises_memory_error_at_once(d, n, seed):
    with pytest.raises(MemoryError):
        d.sample_n(n, seed=seed)
    assert d.sample_n(3, seed=2) == d.sample_n(3, seed=2)


# ---------------------------------------------------------------------------
# Sequences


@pytest.mark.parametrize("value", [3, None, frozenset([1.0]), (x for x in [1.0]), {}.keys(), Float(1.0)])
@pytest.mark.parametrize("position", ["points", "pmf"])
def test_non_sequences_are_refused(value, position):
    with pytest.raises(TypeError) as info:
        drovik.from_pmf(*((value, [1.0]) if position == "points" else ([1.0], value)))
    name = type(value).__name__
    assert str(info.value) == f"argument '{position}': '{name}' object cannot be converted to 'Sequence'"
    assert info.value.__cause__ is None


class Logged(Float):
    log = []

    def __float__(self):
        Logged.log.append(self.value)
        return 1.0


def test_both_sequences_are_checked_then_points_read_first():
    Logged.log.clear()
    with pytest.raises(TypeError, match=r"^argument 'pmf': 'int' object cannot be converted to 'Sequence'$"):
        drovik.from_pmf([Logged("p0")], 3)
    drovik.from_pmf([Logged("p1"), Logged("p2")], [Logged("m1"), Logged("m2")])
    with pytest.raises(TypeError):
        drovik.from_pmf([Logged("p3"), "x", Logged("p4")], [Logged("m3")])
    assert Logged.log == ["p1", "p2", "m1", "m2", "p3"]


class ListRaisingMidway(list):
    def __iter__(self):
        yield 1.0
        raise Boom("iteration")


class TupleRaisingMidway(tuple):
    __iter__ = ListRaisingMidway.__iter__


class Seq:
    """Registered as a Sequence without inheriting; an exception item is raised when read."""

    def __init__(self, items, length=None):
        self.items, self.length = items, length

    def __len__(self):
        return self.length() if self.length else len(self.items)

    def __getitem__(self, i):
        if isinstance(self.items[i], BaseException):
            raise self.items[i]
        return self.items[i]


collections.abc.Sequence.register(Seq)


class IterNotIterator(Seq):
    def __iter__(self):
        return 5


@pytest.mark.parametrize(
    "bad",
    [[1.0, "a"], [1.0, None], [b"x"], [Float(Boom())], [Float(TypeError("item refuses"))], [Index(Boom())],
     [2**1024], "ab", ListRaisingMidway([1.0, 2.0]), TupleRaisingMidway((1.0, 2.0)), Seq([0.0, Boom()]),
     IterNotIterator([])],
)
@pytest.mark.parametrize("position", ["points", "pmf"])
def test_item_and_iteration_errors_pass_unchanged(bad, position):
    expected = _error(lambda items: [as_double(x) for x in items], bad)
    with pytest.raises(type(expected)) as info:
        drovik.from_pmf(*((bad, [1.0, 1.0]) if position == "points" else ([1.0, 2.0], bad)))
    assert type(info.value) is type(expected) and str(info.value) == str(expected)
    assert info.value.__cause__ is None


def test_an_empty_string_is_an_empty_sequence():
    with pytest.raises(drovik.BuildError, match="^discrete distribution has no support points$"):
        drovik.from_pmf("", [])


# Items come from iteration: the length is at most a hint.
@pytest.mark.parametrize(
    "points",
    [b"\x00\x01", range(2), Seq([0, 1]), Seq([0.0, 1.0], length=lambda: 0),
     Seq([0.0, 1.0], length=lambda: sys.maxsize), Seq([0.0, 1.0], length=lambda: 1 / 0)],
    ids=["bytes", "range", "registered", "len-0", "len-maxsize", "len-raises"],
)
def test_other_sequences_are_accepted(points):
    assert drovik.from_pmf(points, Seq([1, 3])).points() == [0.0, 1.0]


# ---------------------------------------------------------------------------
# Argument binding


def _call(target, *args, **kwargs):
    if target == "from_pmf":
        return drovik.from_pmf(*args, **kwargs)
    return getattr(drovik.from_pmf([1.0, 2.0], [1.0, 1.0]), target)(*args, **kwargs)


SN = "DiscreteDistribution.sample_n()"
BINDING_ERRORS = [  # the other texts are pinned for the continuous factories
    ("from_pmf", (), {}, "from_pmf() missing 2 required positional arguments: 'points' and 'pmf'"),
    ("from_pmf", (3,), {}, "from_pmf() missing 1 required positional argument: 'pmf'"),  # before conversion
    ("sample_n", ("a", -1, 2.0), {}, f"{SN} takes from 1 to 2 positional arguments but 3 were given"),
    ("sample_n", (1, 2), {"seed": 3}, f"{SN} got multiple values for argument 'seed'"),
    ("sample_n", ("a",), {"self": 3}, f"{SN} got an unexpected keyword argument 'self'"),
    ("pmf", (1.0, 2.0), {}, "DiscreteDistribution.pmf() takes 1 positional arguments but 2 were given"),
    ("ppf", (), {"\udc80": 0.5}, "DiscreteDistribution.ppf() got an unexpected keyword argument '\udc80'"),
    ("cdf_at", (-1,), {"index": -1}, "DiscreteDistribution.cdf_at() got multiple values for argument 'index'"),
]


@pytest.mark.parametrize("target, args, kwargs, message", BINDING_ERRORS, ids=[repr(m) for *_, m in BINDING_ERRORS])
def test_binding_errors(target, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        _call(target, *args, **kwargs)
    assert type(info.value) is TypeError and info.value.args == (message,)


def test_keywords_bind_like_positions(d):
    assert drovik.from_pmf(pmf=[1.0, 3.0], points=[5.0, 6.0]).points() == [5.0, 6.0]
    assert d.sample_n(seed=3, n=2) == d.sample_n(2, 3) == d.sample_n(2, seed=3)
    assert (d.ppf(u=0.5), d.pmf(x=1.0), d.pmf_at(index=0), d.cdf_at(index=1)) == (2.0, 0.25, 0.25, 0.5)


@pytest.mark.parametrize(
    "kwargs, expected, arg",
    [({"seed": "b", "n": "a"}, TypeError, "n"), ({"n": -1, "seed": "b"}, OverflowError, None),
     ({"n": 1, "seed": "b"}, TypeError, "seed"), ({"n": 1.0, "seed": -1}, TypeError, "n")],
)
def test_arguments_are_converted_in_parameter_order(d, kwargs, expected, arg):
    with pytest.raises(expected) as info:
        d.sample_n(**kwargs)
    assert type(info.value) is expected and str(info.value).startswith(f"argument '{arg}': ") == bool(arg)


@pytest.mark.parametrize("method", ["len", "points", "mean", "var", "std", "sample"])
@pytest.mark.parametrize("args, kwargs", [((None,), {}), ((), {"x": 1})])
def test_methods_without_parameters_refuse_arguments(d, method, args, kwargs):
    with pytest.raises(TypeError, match=rf"{method}\(\) takes no (keyword )?arguments"):
        getattr(d, method)(*args, **kwargs)


def test_unbound_methods_check_self():
    for call in (lambda: D.mean(5), lambda: D.ppf(None, 0.5), lambda: D.sample_n("x", 3), D.points,
                 lambda: D.len(drovik.BuildError("x"))):
        with pytest.raises(TypeError):
            call()


# ---------------------------------------------------------------------------
# Failing paths must not leak


def _iterations_without_growth(fn, watched, rounds=400):
    for _ in range(20):
        fn()
    gc.collect()
    before_refs = [sys.getrefcount(o) for o in watched]
    total = getattr(sys, "gettotalrefcount", None)
    before_total, before_blocks = total() if total else None, sys.getallocatedblocks()
    for _ in range(rounds):
        fn()
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == before_refs
    if total:
        assert total() - before_total < rounds // 4
    if before_blocks:  # zero under the system allocator
        assert sys.getallocatedblocks() - before_blocks < rounds // 4


def _expect(exc, fn, *args, **kwargs):
    def run():
        with pytest.raises(exc):
            fn(*args, **kwargs)

    return run


def _leak_cases():
    dist = drovik.from_pmf([1.0, 2.0, 3.0], [1.0, 1.0, 2.0])
    big, text, seed = 2**64 + 12345, "not a number" + "!" * 3, 2**64 - 1 - 77
    bad_float = Float(Boom)  # an exception class: a fresh instance each time, no growing traceback
    bad_type, bad_index = Float(TypeError), Index(Boom)
    points, short, mid, items = [1.0, 2.0, 3.0], [1.0], ListRaisingMidway([1.0, 2.0]), [1.0, text, 2.0]
    return [
        ("ppf-str", _expect(TypeError, dist.ppf, text), [dist, text]),
        ("ppf-float-raises", _expect(Boom, dist.ppf, bad_float), [dist, bad_float]),
        ("pmf-float-type-error", _expect(TypeError, dist.pmf, bad_type), [dist, bad_type]),
        ("ppf-out-of-range", _expect(drovik.SampleError, dist.ppf, 1.5), [dist]),
        ("cdf_at-panic", _expect(drovik.PanicException, dist.cdf_at, 3), [dist]),
        ("pmf_at-overflow", _expect(OverflowError, dist.pmf_at, big), [dist, big]),
        ("pmf_at-index-raises", _expect(Boom, dist.pmf_at, bad_index), [dist, bad_index]),
        ("sample_n-memory", _expect(MemoryError, dist.sample_n, 2**62, seed=seed), [dist, seed]),
        ("sample_n-keyword", _expect(TypeError, dist.sample_n, 1, sed=seed), [dist, seed]),
        ("from_pmf-length", _expect(drovik.BuildError, drovik.from_pmf, points, short), [points, short]),
        ("from_pmf-not-sequence", _expect(TypeError, drovik.from_pmf, points, big), [points, big]),
        ("from_pmf-item", _expect(TypeError, drovik.from_pmf, items, points), [items, text, points]),
        ("from_pmf-midway", _expect(Boom, drovik.from_pmf, points, mid), [points, mid]),
        ("ok", lambda: (drovik.from_pmf(points, points), dist.sample_n(50, seed=seed)), [dist, points, seed]),
    ]


LEAK_CASES = _leak_cases()


@pytest.mark.parametrize("name, fn, watched", LEAK_CASES, ids=[c[0] for c in LEAK_CASES])
def test_repeated_calls_do_not_leak(name, fn, watched):
    _iterations_without_growth(fn, watched)


class LenInterrupts(collections.abc.Sequence):
    """A sequence whose length hint raises what must stop the call."""

    def __init__(self, error):
        self.error = error

    def __len__(self):
        raise self.error

    def __getitem__(self, i):
        if i >= 2:
            raise IndexError
        return float(i + 1)


def test_a_length_hint_that_raises_costs_only_the_hint_unless_it_must_stop():
    assert drovik.from_pmf(LenInterrupts(ValueError("no length")), [1.0, 1.0]).points() == [1.0, 2.0]
    for error in (KeyboardInterrupt("stop"), SystemExit(3)):
        with pytest.raises(type(error)) as info:
            drovik.from_pmf(LenInterrupts(error), [1.0, 1.0])
        assert info.value is error


@pytest.mark.parametrize("options", [lambda: drovik.BuildOptions.hermite(2**60),
                                     lambda: drovik.BuildOptions.tdr("log", 2**60),
                                     lambda: drovik.BuildOptions.tdr("inv_sqrt", 2**64 - 1)],
                         ids=["hermite", "tdr-log", "tdr-box"])
def test_an_impossible_table_size_is_a_memory_error_before_any_density_call(options):
    calls = []
    with pytest.raises(MemoryError):
        drovik.from_pdf_with_options(lambda x: calls.append(x) or 1.0, drovik.Interval(0.0, 1.0), options())
    assert calls == []
