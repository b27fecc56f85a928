"""Helpers shared by the tests: hostile argument objects, a recording user function, leak and reference checks, a
child interpreter, another thread and the goodness-of-fit check."""

import collections.abc
import contextlib
import ctypes
import gc
import math
import operator
import os
import subprocess
import sys
import textwrap
import threading

import pytest

import drovik
import multivar_ref
from _replica import raises_exactly

PACKAGE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(drovik.__file__)))


class Boom(Exception):
    """A user exception that must pass through unchanged."""


class Returns:
    """Returns `value` from its conversion method, or raises it when it is an exception (class)."""

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


def _c_api(name, restype):
    function = ctypes.pythonapi[name]
    function.argtypes, function.restype = [ctypes.py_object], restype
    return function


# The interpreter's own conversions: the errors they raise are the expected ones.
as_double = _c_api("PyFloat_AsDouble", ctypes.c_double)
_as_u64 = _c_api("PyLong_AsUnsignedLongLong", ctypes.c_ulonglong)


def as_index(value):
    return _as_u64(operator.index(value))


def error_of(convert, value):
    """The exception convert(value) raises, or None."""
    try:
        convert(value)
    except Exception as error:
        return error


# Sequences that misbehave.
class ListRaisingMidway(list):
    def __iter__(self):
        yield 1.0
        raise Boom("iteration")


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


class IterRaises(Seq):
    def __iter__(self):
        raise Boom("no iterator")


class Calls:
    """A user function recording a copy of the arguments of every call; `fn` may be swapped between calls. At call
    `stop_at` it raises KeyboardInterrupt; past `limit` calls PanicException, which the module lets through, so a
    loop that never ends fails the test instead of hanging it."""

    def __init__(self, fn, stop_at=None, limit=500_000):
        self.fn, self.stop_at, self.limit, self.args = fn, stop_at, limit, []

    def __call__(self, *args):
        self.args.append(tuple(list(a) if isinstance(a, list) else a for a in args))
        if len(self.args) == self.stop_at:
            raise KeyboardInterrupt("stop")
        if len(self.args) > self.limit:
            raise drovik.PanicException("call budget exhausted: the computation does not end")
        return self.fn(*args)

    def point(self, k=-1):  # the coordinates of call k, from either calling form of a density
        args = self.args[k]
        return list(args[0]) if len(args) == 1 else list(args)


def same(a, b):  # equality that sees NaN and the sign of zero
    return repr(a) == repr(b)


def same_outcome(call, replica_call):
    """Equal results, or the same SampleError text."""
    try:
        expected = replica_call()
    except multivar_ref.SampleFailure as failure:
        raises_exactly(drovik.SampleError, failure.args[0], call)
        return None
    assert call() == expected
    return expected


def raise_(exc):
    raise exc


def raising(*args):
    raise ValueError("junk")


def below(x):
    return math.nextafter(x, -math.inf)


def above(x):
    return math.nextafter(x, math.inf)


def expect(exc, fn, *args, **kwargs):
    """A call that must raise exc, as a function of no arguments."""

    def run():
        with pytest.raises(exc):
            fn(*args, **kwargs)

    return run


def assert_no_growth(fn, watched, rounds=400):
    """Repeated calls of fn leave the reference counts of `watched` and the interpreter's allocations alone.

    A leak grows the allocations in every window of calls; a one-off growth (a cache filled, a thread left
    running by an earlier test) does not repeat, so a window that grew is measured again, twice at most."""
    for _ in range(20):
        fn()
    gc.collect()
    before_refs = [sys.getrefcount(o) for o in watched]
    total = getattr(sys, "gettotalrefcount", None)
    before_total = total() if total else None
    growth = []
    for _ in range(3):
        before_blocks = sys.getallocatedblocks()
        for _ in range(rounds):
            fn()
        gc.collect()
        if len(growth) == 0:
            assert [sys.getrefcount(o) for o in watched] == before_refs
            if total:
                assert total() - before_total < rounds // 4
        if not before_blocks:  # zero under the system allocator
            return
        growth.append(sys.getallocatedblocks() - before_blocks)
        if growth[-1] < rounds // 4:
            return
    raise AssertionError(f"allocated blocks grew by {growth} over three windows of {rounds} calls")


@contextlib.contextmanager
def collector_off():
    """Only an explicit gc.collect() frees cycles inside the block."""
    gc.collect()
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


def run_python(*args, python=sys.executable, timeout=300):
    """Runs an interpreter that imports this package, so that a crash is a failed test and not a dead run."""
    env = dict(os.environ, PYTHONPATH=PACKAGE_DIR)
    env.pop("PYTHONHOME", None)
    return subprocess.run([python, "-B", *args], cwd="/", env=env, capture_output=True, text=True, timeout=timeout)


def run_child(code, **kwargs):
    return run_python("-c", textwrap.dedent(code), **kwargs)


def on_thread(fn):
    """fn() run on a new thread: {"value": result} or {"error": what escaped}."""
    outcome = {}

    def target():
        try:
            outcome["value"] = fn()
        except BaseException as exc:  # noqa: B036 - the test looks at what escaped
            outcome["error"] = exc

    thread = threading.Thread(target=target)
    thread.start()
    thread.join()
    return outcome


def assert_follows(sample, cdf, alpha=1e-3):
    """Kolmogorov-Smirnov: the sample is not told apart from the exact distribution function."""
    from scipy import stats

    assert stats.kstest(sample, cdf).pvalue > alpha


LO, HI = [0.1, -1.3], [1.2, 1.9]  # a box of inexact widths: a reflection rounds


def bump(a, b):  # positive on every box
    return math.exp(-((a - 0.3) ** 2) - (b - 0.5) ** 2 / 0.5)


# The multivariate kinds over the unit square: a user function that behaves, the factory, every method that runs
# user code.
CORR = [[1.0, 0.5], [0.5, 1.0]]


def unit_box(lo=(0.0, 0.0), hi=(1.0, 1.0)):
    return drovik.HyperRect(list(lo), list(hi))


GOOD = {"rejection": lambda *x: 1.0 + 0.5 * x[0], "gibbs": lambda i, xs: 0.25 * (i + 1),
        "factor": lambda i, prefix: 0.5 + len(prefix), "copula": lambda u: u}
MAKE = {
    "rejection": lambda fn: drovik.rejection_sampler(fn, unit_box(), 2.0, 50),
    "mh": lambda fn: drovik.metropolis_hastings(fn, unit_box(), burn_in=3),
    "hmc": lambda fn: drovik.hmc_sampler(fn, unit_box(), leapfrog_steps=2),
    "gibbs": lambda fn: drovik.gibbs_sampler(fn, unit_box(), [0.5, 0.5]),
    "factor": lambda fn: drovik.conditional_factorization_sampler(fn, 2),
    "copula": lambda fn: drovik.gaussian_copula(CORR),
    "cdf_mc": lambda fn: drovik.cdf_mc_estimator(fn, unit_box(), 20, 20),
}
CALLS = {
    "rejection": {"sample": lambda s, fn: s.sample(), "sample_n": lambda s, fn: s.sample_n(3, seed=1)},
    "mh": {"init": lambda s, fn: s.init(), "step": lambda s, fn: s.step(), "sample": lambda s, fn: s.sample(),
           "sample_n": lambda s, fn: s.sample_n(3, seed=1)},
    "hmc": {"init": lambda s, fn: s.init(), "sample": lambda s, fn: s.sample(),
            "sample_n": lambda s, fn: s.sample_n(3, seed=1)},
    "gibbs": {"step": lambda s, fn: s.step(), "sample": lambda s, fn: s.sample()},
    "factor": {"sample": lambda s, fn: s.sample(), "sample_n": lambda s, fn: s.sample_n(3, seed=1)},
    "copula": {"sample": lambda s, fn: s.sample([fn, fn], seed=1)},
    "cdf_mc": {"estimate_normalization": lambda s, fn: s.estimate_normalization(seed=1),
               "cdf": lambda s, fn: s.cdf([0.5, 0.5], seed=1)},
}


def good(kind):
    return GOOD.get(kind, GOOD["rejection"])


def user(kind, **kwargs):
    return Calls(good(kind), **kwargs)


def prepared(kind, fn):
    """The sampler of `kind` over fn, a chain initialised."""
    sampler = MAKE[kind](fn)
    if kind in ("mh", "hmc"):
        sampler.init()
    return sampler
