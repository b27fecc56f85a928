"""Samples as numpy arrays, written by the extension into one buffer."""

from typing import Any, Optional, SupportsIndex

from . import _drovik

# The classes whose samples come as arrays; GibbsSampler, GaussianCopula and
# CdfMcEstimator draw one point at a time and have no sample_n.
ARRAY_SAMPLERS = (
    _drovik.ContinuousDistribution,
    _drovik.DiscreteDistribution,
    _drovik.RejectionSampler,
    _drovik.MetropolisHastings,
    _drovik.HmcSampler,
    _drovik.ConditionalFactorizationSampler,
)


def numpy_module() -> Any:
    try:
        import numpy
    except ImportError as error:
        raise ImportError("drovik.sample_array needs numpy; install it with `pip install numpy`") from error
    return numpy


def sample_array(obj: Any, n: SupportsIndex, seed: Optional[SupportsIndex] = None) -> Any:
    """The draws of ``obj.sample_n(n, seed)`` as a ``numpy.ndarray`` of float64.

    Shape ``(n,)`` for a ``ContinuousDistribution`` or ``DiscreteDistribution``,
    ``(n, d)`` for a ``RejectionSampler``, ``MetropolisHastings``,
    ``HmcSampler`` or ``ConditionalFactorizationSampler``. The values, the
    errors, the generator consumption and the state a chain is left in are
    those of ``sample_n``, bit for bit; but no float object is made per draw:
    the draws are written into one buffer of n·d doubles that the array wraps
    without a copy (8 bytes a draw). A count too large to hold raises
    ``MemoryError`` before any draw; Ctrl-C stops the call between chunks.

        >>> dist = drovik.from_pdf(lambda x: math.exp(-0.5 * x * x), drovik.Interval(-8.0, 8.0))
        >>> drovik.sample_array(dist, 10**6, seed=1).mean()
    """
    numpy = numpy_module()
    if not isinstance(obj, ARRAY_SAMPLERS):
        names = ", ".join(cls.__name__ for cls in ARRAY_SAMPLERS)
        raise TypeError(f"sample_array() takes one of {names}, not '{type(obj).__name__}'")
    buffer, shape = obj._sample_buffer(n, seed)
    return numpy.frombuffer(buffer, dtype=numpy.float64).reshape(shape)
