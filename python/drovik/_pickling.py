"""Pickling of the extension's own functions, classes and values.

The extension's functions and classes name the module ``_drovik``, which no
fresh process can import by that name, and its objects have no pickle support
of their own. A build sent to worker processes is therefore pickled here, with
those objects referred to through this module, which every process can import.
"""

import io
import pickle
import types
from typing import Any, Callable, Tuple

from . import _drovik


def native(name: str) -> Any:
    return getattr(_drovik, name)


def interval(lo: float, hi: float) -> Any:
    return _drovik.Interval(lo, hi)


def hyper_rect(lo: Any, hi: Any) -> Any:
    return _drovik.HyperRect(lo, hi)


def build_options(*fields: Any) -> Any:
    return _drovik.BuildOptions(*fields)


_VALUES = {
    _drovik.Interval: lambda value: (interval, (value.lo, value.hi)),
    _drovik.HyperRect: lambda value: (hyper_rect, (value.lo(), value.hi())),
    _drovik.BuildOptions: lambda value: (build_options, value._fields()),
}


# By identity: an exception class's __name__ is not the name it is exported under.
_NAMES = {id(obj): name for name, obj in vars(_drovik).items() if isinstance(obj, (types.BuiltinFunctionType, type))}


def reduce_native(obj: Any) -> Any:
    """The reduction of one of the extension's functions, classes or values; NotImplemented for anything else."""
    if isinstance(obj, (types.BuiltinFunctionType, type)):
        name = _NAMES.get(id(obj))
        return (native, (name,)) if name is not None and native(name) is obj else NotImplemented
    reducer = _VALUES.get(type(obj))
    return reducer(obj) if reducer is not None else NotImplemented


class _Pickler(pickle.Pickler):
    def reducer_override(self, obj: Any) -> Any:
        return reduce_native(obj)


def _cloud_pickler() -> type:
    import cloudpickle

    class CloudPickler(cloudpickle.Pickler):  # type: ignore[misc,name-defined]
        def reducer_override(self, obj: Any) -> Any:
            reduced = reduce_native(obj)
            return super().reducer_override(obj) if reduced is NotImplemented else reduced

    return CloudPickler


def dumps(obj: Any, *, by_value: bool = False) -> bytes:
    """Pickles obj; with by_value, lambdas and closures too (cloudpickle)."""
    stream = io.BytesIO()
    pickler: Callable[..., Any] = _cloud_pickler() if by_value else _Pickler
    pickler(stream, protocol=pickle.HIGHEST_PROTOCOL).dump(obj)
    return stream.getvalue()


loads = pickle.loads
