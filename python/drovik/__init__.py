"""drovik: fast random-variate generation from plain Python callables.

Every name of the native module ``drovik._drovik`` is re-exported here.
"""

from . import _drovik
from ._drovik import *  # noqa: F401,F403
from ._drovik import PanicException  # noqa: F401

__all__ = list(_drovik.__all__)
