"""drovik: fast random-variate generation from plain Python callables.

Every name of the native module ``drovik._drovik`` is re-exported here, beside
what the package adds over it: ``from_pdf_inverse_polynomial`` and ``u_error``
(an accurate fast quantile table built from a density), ``sample_array``
(samples as numpy arrays) and the module ``drovik.parallel`` (seeded sampling
on many cores or machines).
"""

from . import _drovik
from ._drovik import *  # noqa: F401,F403
from ._drovik import PanicException  # noqa: F401
from ._arrays import sample_array
from ._inverse_polynomial import from_pdf_inverse_polynomial, u_error
from . import parallel

__all__ = list(_drovik.__all__)
