"""Seeded sampling cut into chunks and drawn on many cores or many machines.

A sample of n draws is cut into chunks of ``chunk_size`` draws (the last one
shorter). Chunk k is drawn from a generator seeded with ``chunk_seed(seed, k)``,
on whatever worker the executor picks, and the chunks are joined in order. The
result therefore depends only on ``build``, ``n``, ``seed`` and
``chunk_size``: never on the executor, the number of workers or how they were
scheduled. Without an executor the chunks are drawn here, one after another,
and give the same array.

The executor is any ``concurrent.futures.Executor`` (a ``ProcessPoolExecutor``
on one machine) or a ``dask.distributed.Client`` (a cluster). ``build`` travels
to worker processes pickled, so for a ``ProcessPoolExecutor`` it must be a
module-level function or a ``functools.partial`` of one (this library's
functions and its ``Interval``, ``BuildOptions`` and ``HyperRect`` values may
be among its arguments); for a Dask client it is pickled with cloudpickle,
which takes lambdas and closures too. A ``ThreadPoolExecutor`` gets it as it
is. Each worker process builds
its object once per call and reuses it for every chunk it draws.

    >>> from concurrent.futures import ProcessPoolExecutor
    >>> from functools import partial
    >>> build = partial(drovik.from_pdf_with_options, density, drovik.Interval(-8.0, 8.0),
    ...                 drovik.BuildOptions.tdr("log"))
    >>> with ProcessPoolExecutor(2) as pool:
    ...     draws = drovik.parallel.sample_array(build, 4 * 10**6, seed=7, executor=pool)
"""

import operator
import threading
import uuid
from concurrent.futures import Executor, ThreadPoolExecutor
from typing import Any, Callable, Dict, List, Optional, SupportsIndex, Tuple

from . import _drovik, _pickling
from ._arrays import numpy_module, sample_array as _sample_array

__all__ = ["chunk_seed", "sample_array", "run_chains", "DEFAULT_CHUNK_SIZE"]

DEFAULT_CHUNK_SIZE = 1_000_000

_MASK64 = (1 << 64) - 1
_GOLDEN_GAMMA = 0x9E3779B97F4A7C15

_STATELESS = (
    _drovik.ContinuousDistribution,
    _drovik.DiscreteDistribution,
    _drovik.RejectionSampler,
    _drovik.ConditionalFactorizationSampler,
)
_CHAINS = (_drovik.MetropolisHastings, _drovik.HmcSampler)


def _unsigned64(value: SupportsIndex, name: str) -> int:
    number = operator.index(value)
    if not 0 <= number <= _MASK64:
        raise ValueError(f"{name} must lie in [0, 2**64), got {number}")
    return number


def chunk_seed(seed: SupportsIndex, k: SupportsIndex) -> int:
    """The 64-bit seed of chunk k under ``seed``: output k of SplitMix64 started at ``seed``.

    z = (seed + (k + 1) * 0x9E3779B97F4A7C15) mod 2**64, then
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9, z = (z ^ (z >> 27)) * 0x94D049BB133111EB
    (each mod 2**64), and the seed is z ^ (z >> 31). Both steps are one-to-one,
    so distinct k under one seed give distinct seeds. The rule is part of the
    stream promise: it does not change within a major version.
    """
    z = (_unsigned64(seed, "seed") + (_unsigned64(k, "k") + 1) * _GOLDEN_GAMMA) & _MASK64
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & _MASK64
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & _MASK64
    return z ^ (z >> 31)


# --------------------------------------------------------------------------
# What runs on a worker

_built: Dict[str, Any] = {}
_built_lock = threading.RLock()  # a build may itself use this module
_KEEP_BUILT = 4  # objects of the last few calls stay; older ones are dropped


class Packed:
    """A build pickled in the calling process, unpickled once per worker process."""

    def __init__(self, data: bytes):
        self.data = data


def _build_here(build: Any) -> Callable[[], Any]:
    return _pickling.loads(build.data) if isinstance(build, Packed) else build


def _checked(obj: Any, kinds: Tuple[type, ...], what: str) -> Any:
    if not isinstance(obj, kinds):
        names = ", ".join(kind.__name__ for kind in kinds)
        message = f"build() must return {what} ({names}), not '{type(obj).__name__}'"
        # The traceback must not keep a thread-bound object alive into another thread's collection.
        obj = None
        raise TypeError(message)
    return obj


def _built_object(build: Any, token: str, kinds: Tuple[type, ...], what: str) -> Any:
    # Built under the lock: threads of one process share one object.
    with _built_lock:
        obj = _built.get(token)
        if obj is None:
            obj = _checked(_build_here(build)(), kinds, what)
            while len(_built) >= _KEEP_BUILT:
                del _built[next(iter(_built))]
            _built[token] = obj
    return obj


def _draw_chunk(build: Any, token: str, length: int, seed: int) -> Any:
    obj = _built_object(build, token, _STATELESS, "a distribution or a stateless sampler")
    return _sample_array(obj, length, seed)


def _run_chain(build: Any, n: int, seed: int) -> Tuple[Any, float]:
    chain = _checked(_build_here(build)(), _CHAINS, "a Markov chain")
    chain.init()
    draws = _sample_array(chain, n, seed)
    rate = chain.accept_rate() if isinstance(chain, _drovik.MetropolisHastings) else chain._accept_rate()
    return draws, rate


# --------------------------------------------------------------------------
# What runs here


def _is_dask_client(executor: Any) -> bool:
    return type(executor).__module__.split(".")[0] == "distributed" and hasattr(executor, "gather")


def _for_executor(executor: Any, build: Callable[[], Any]) -> Any:
    """What the executor's workers get of build: itself for threads, else a pickle of it."""
    dask = _is_dask_client(executor)
    if not dask and not isinstance(executor, Executor):
        raise TypeError(
            "executor must be a concurrent.futures.Executor or a dask.distributed.Client, "
            f"not '{type(executor).__name__}'"
        )
    if isinstance(executor, ThreadPoolExecutor):
        return build
    try:
        return Packed(_pickling.dumps(build, by_value=dask))
    except Exception as error:
        if dask:
            raise TypeError(f"build cannot be sent to the Dask workers ({error})") from error
        raise TypeError(
            f"build cannot be sent to the worker processes ({error}): they receive it pickled, so pass a "
            "module-level function or a functools.partial of one with picklable arguments (this library's "
            "functions and its Interval, BuildOptions and HyperRect values may be among them); a "
            "dask.distributed.Client also takes lambdas and closures"
        ) from error


def _submit_all(executor: Any, function: Callable[..., Any], tasks: List[Tuple[Any, ...]]) -> List[Any]:
    if _is_dask_client(executor):
        # pure=False: equal arguments must still run; each chunk's seed differs anyway.
        return [executor.submit(function, *task, pure=False) for task in tasks]
    return [executor.submit(function, *task) for task in tasks]


def _at_least(value: SupportsIndex, minimum: int, name: str) -> int:
    number = operator.index(value)
    if number < minimum:
        raise ValueError(f"{name} must be at least {minimum}, got {number}")
    return number


def _run_all(executor: Any, function: Callable[..., Any], build: Callable[[], Any], tasks: List[Tuple[Any, ...]]) -> Any:
    """Yields function(build, *task) for each task in order: here without an executor, else on its workers."""
    if executor is None:
        return (function(build, *task) for task in tasks)
    sent = _for_executor(executor, build)
    return _results_in_order(_submit_all(executor, function, [(sent, *task) for task in tasks]))


def _results_in_order(futures: List[Any]) -> Any:
    """Yields each future's result in submission order; on a failure the rest are cancelled."""
    try:
        for future in futures:
            yield future.result()
    except BaseException:
        for future in futures:
            future.cancel()
        raise


def sample_array(
    build: Callable[[], Any],
    n: SupportsIndex,
    *,
    seed: SupportsIndex,
    chunk_size: SupportsIndex = DEFAULT_CHUNK_SIZE,
    executor: Optional[Any] = None,
) -> Any:
    """n draws of the object ``build()`` returns, as one numpy array, drawn chunk by chunk.

    ``build`` is a zero-argument callable returning a ``ContinuousDistribution``,
    ``DiscreteDistribution``, ``RejectionSampler`` or
    ``ConditionalFactorizationSampler`` (Markov chains go through
    ``run_chains``). Chunk k holds draws k·chunk_size up to
    (k+1)·chunk_size and is ``drovik.sample_array(build(), len_k,
    seed=chunk_seed(seed, k))``; the array has shape (n,) or (n, d). A chunk
    that fails, or a worker that dies, makes the call raise (the remaining
    chunks are cancelled); a short or reordered array is never returned.
    """
    numpy = numpy_module()
    count = _at_least(n, 0, "n")
    size = _at_least(chunk_size, 1, "chunk_size")
    base_seed = _unsigned64(seed, "seed")
    lengths = [min(size, count - start) for start in range(0, count, size)]
    token = uuid.uuid4().hex
    tasks = [(token, length, chunk_seed(base_seed, k)) for k, length in enumerate(lengths)]
    results = _run_all(executor, _draw_chunk, build, tasks)
    try:
        out = None
        start = 0
        for length, part in zip(lengths, results):
            if part.shape[0] != length:
                raise RuntimeError(f"a chunk came back with {part.shape[0]} draws instead of {length}")
            if out is None:
                out = numpy.empty((count,) + part.shape[1:], dtype=numpy.float64)
            out[start : start + length] = part
            start += length
    finally:
        with _built_lock:
            _built.pop(token, None)
    if out is None:  # n == 0: the shape of one draw is still wanted
        obj = build()
        return _sample_array(obj, 0, base_seed)
    return out


def run_chains(
    build: Callable[[], Any],
    chains: SupportsIndex,
    n: SupportsIndex,
    *,
    seed: SupportsIndex,
    executor: Optional[Any] = None,
) -> Tuple[Any, Any]:
    """Runs ``chains`` independent Markov chains of n points each.

    ``build`` returns a ``MetropolisHastings`` or ``HmcSampler``. Chain k is
    built on a worker, started with ``init()`` and draws its n points as
    ``drovik.sample_array(chain, n, seed=chunk_seed(seed, k))``. Returns the
    points as an array of shape (chains, n, d) and each chain's acceptance
    rate as an array of shape (chains,). ``init()`` picks the starting point
    from the worker thread's own generator, not from ``seed``: the chains are
    reproducible only from their starting points on.
    """
    numpy = numpy_module()
    count = _at_least(chains, 0, "chains")
    length = _at_least(n, 0, "n")
    base_seed = _unsigned64(seed, "seed")
    tasks = [(length, chunk_seed(base_seed, k)) for k in range(count)]
    results = _run_all(executor, _run_chain, build, tasks)
    draws = []
    rates = []
    for points, rate in results:
        draws.append(points)
        rates.append(rate)
    if not draws:
        return numpy.empty((0, length, 0)), numpy.empty(0)
    return numpy.stack(draws), numpy.array(rates, dtype=numpy.float64)
