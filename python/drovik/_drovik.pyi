"""Native core of drovik: random-variate generation from Python callables.

Every numeric routine runs in C++; Python is called back only to evaluate the
functions you pass. With ``seed`` given, results are reproducible to the last
bit on every x86-64 machine.
"""

from typing import Callable, List, Optional, Sequence, SupportsFloat, SupportsIndex, Tuple, Union, final

__all__ = [
    "BuildError",
    "SampleError",
    "Interval",
    "BuildOptions",
    "ContinuousDistribution",
    "from_pdf",
    "from_pdf_with_options",
    "from_pdf_dpdf",
    "from_cdf",
    "from_cdf_with_options",
    "from_histogram",
    "from_pdf_loc_scale",
    "truncated",
    "DiscreteDistribution",
    "from_pmf",
]

_Real = Union[SupportsFloat, SupportsIndex]

class BuildError(RuntimeError):
    """A distribution cannot be built from what was given (bad support, masses, normalization, ...).

    Its class name is BuildErrorPy; ``str(error)`` is the message.
    """

class SampleError(RuntimeError):
    """An evaluation, inversion, statistic or draw failed (quantile out of range, inversion failed, ...).

    Its class name is SampleErrorPy; ``str(error)`` is the message.
    """

class PanicException(BaseException):
    """Raised when native code hits an internal error (a broken invariant such as an index out of range).

    It derives from BaseException, like SystemExit, so that ``except Exception`` does not swallow it.
    """

@final
class Interval:
    """A finite support [lo, hi] with lo < hi; both bounds must be finite.

    Raises BuildError "non-finite value in support bounds" for an infinite or NaN bound, and
    "invalid support interval: lo must be strictly less than hi" when lo >= hi.
    """

    def __new__(cls, lo: _Real, hi: _Real) -> "Interval": ...
    @property
    def lo(self) -> float:
        """The lower bound."""
    @property
    def hi(self) -> float:
        """The upper bound."""

@final
class BuildOptions:
    """Build options of a continuous distribution and its one sampling mode.

    quad_tolerance (1e-10) is the absolute tolerance of every integral of the density;
    ppf_tolerance (1e-12) and max_iterations (128) drive numerical inversion; use_newton
    polishes bisection with Newton steps. hermite_grid_size selects a monotone cubic
    quantile table, tdr_transform ("log" or "inv_sqrt") transformed density rejection;
    with neither, draws invert the distribution function numerically.
    """

    def __new__(
        cls,
        quad_tolerance: Optional[_Real] = None,
        ppf_tolerance: Optional[_Real] = None,
        max_iterations: Optional[SupportsIndex] = None,
        use_newton: bool = True,
        hermite_grid_size: Optional[SupportsIndex] = None,
        tdr_transform: Optional[str] = None,
        tdr_construction_points: Optional[SupportsIndex] = None,
        tdr_dpdf_rel_step: Optional[_Real] = None,
    ) -> "BuildOptions": ...
    @staticmethod
    def hermite(grid_size: SupportsIndex) -> "BuildOptions":
        """Options for sampling from a monotone cubic quantile table with this grid size."""
    @staticmethod
    def tdr(transform: str, construction_points: Optional[SupportsIndex] = None) -> "BuildOptions":
        """Options for transformed density rejection with the "log" or "inv_sqrt" transform."""

@final
class ContinuousDistribution:
    """A univariate continuous distribution over a finite support, built by a factory function.

    Evaluates the distribution function, density and their log forms, inverts the
    distribution function, and samples with the per-thread generator or a seed.
    """

    def support(self) -> Interval:
        """The support as a new Interval."""
    def sample(self) -> float:
        """One draw from this thread's generator."""
    def sample_n(self, n: SupportsIndex, seed: Optional[SupportsIndex] = None) -> List[float]:
        """n draws as a list; with a seed (0 to 2**64 - 1) the list is reproducible."""
    def cdf(self, x: _Real) -> float:
        """The distribution function at x (0 below the support, 1 above it for densities)."""
    def pdf(self, x: _Real) -> Optional[float]:
        """The normalized density at x; None for a distribution built from a distribution function."""
    def ppf(self, u: _Real) -> float:
        """The quantile at u in (0, 1); SampleError outside that range."""
    def sf(self, x: _Real) -> float:
        """The survival function max(1 - cdf(x), 0)."""
    def isf(self, q: _Real) -> float:
        """The inverse survival function, ppf(1 - q)."""
    def logpdf(self, x: _Real) -> Optional[float]:
        """The log density; None where the density is zero or absent."""
    def logcdf(self, x: _Real) -> float:
        """The log of the distribution function (-inf where it is 0)."""
    def logsf(self, x: _Real) -> float:
        """The log of the survival function (-inf where it is 0)."""
    def mean(self) -> float:
        """The mean, by quadrature of x * pdf(x) (absolute tolerance 1e-10)."""
    def var(self) -> float:
        """The variance E[X^2] - E[X]^2, never negative."""
    def std(self) -> float:
        """The standard deviation."""
    def median(self) -> float:
        """The 0.5-quantile."""
    def entropy(self) -> float:
        """The differential entropy in nats; SampleError without a density."""
    def interval(self, confidence: _Real) -> Tuple[float, float]:
        """The central interval (ppf(a), ppf(1 - a)) with a = (1 - confidence) / 2."""
    def expect(self, func: Callable[[float], float]) -> float:
        """E[func(X)] by quadrature; SampleError "numerical integration failed" if func fails."""
    def uses_hermite_table(self) -> bool:
        """Whether quantiles and draws come from a Hermite quantile table."""
    def uses_tdr(self) -> bool:
        """Whether draws come from transformed density rejection."""

def from_pdf(f: Callable[[float], float], interval: Interval) -> ContinuousDistribution:
    """A distribution from a density f (not necessarily normalized) on interval, sampled by inversion."""

def from_pdf_with_options(f: Callable[[float], float], interval: Interval, options: BuildOptions) -> ContinuousDistribution:
    """A distribution from a density f on interval, built and sampled as options say."""

def from_pdf_dpdf(
    f: Callable[[float], float],
    dpdf: Callable[[float], float],
    interval: Interval,
    options: Optional[BuildOptions] = None,
) -> ContinuousDistribution:
    """A distribution from a density f and its derivative dpdf (used by transformed density rejection)."""

def from_cdf(f: Callable[[float], float], interval: Interval) -> ContinuousDistribution:
    """A distribution from a distribution function f, rescaled to interval, sampled by inversion."""

def from_cdf_with_options(f: Callable[[float], float], interval: Interval, options: BuildOptions) -> ContinuousDistribution:
    """A distribution from a distribution function f on interval, built as options say."""

def from_histogram(
    edges: Sequence[_Real], counts: Sequence[_Real], density: bool = False, options: Optional[BuildOptions] = None
) -> ContinuousDistribution:
    """A step density over the bins [edges[i], edges[i+1]) with heights from counts (or densities when density=True)."""

def from_pdf_loc_scale(
    f: Callable[[float], float], interval: Interval, loc: _Real, scale: _Real, options: Optional[BuildOptions] = None
) -> ContinuousDistribution:
    """The distribution of loc + scale * Z where Z has density f on interval; scale must be positive."""

def truncated(
    f: Callable[[float], float], interval: Interval, trunc_interval: Interval, options: Optional[BuildOptions] = None
) -> ContinuousDistribution:
    """The density f on interval restricted to trunc_interval (which must lie inside it) and renormalized."""

@final
class DiscreteDistribution:
    """A finite discrete distribution over the points given to from_pmf, in their given order."""

    def len(self) -> int:
        """The number of stored points, duplicates counted."""
    def points(self) -> List[float]:
        """The points in stored order."""
    def pmf(self, x: _Real) -> float:
        """The mass of the first point within 1e-12 of x, else 0."""
    def pmf_at(self, index: SupportsIndex) -> float:
        """The mass of the point at index."""
    def cdf_at(self, index: SupportsIndex) -> float:
        """The cumulative mass up to and including the point at index."""
    def ppf(self, u: _Real) -> float:
        """The first point whose cumulative mass exceeds u (the last of a tie), u in (0, 1)."""
    def mean(self) -> float:
        """The mean."""
    def var(self) -> float:
        """The variance."""
    def std(self) -> float:
        """The standard deviation."""
    def sample(self) -> float:
        """One draw from this thread's generator."""
    def sample_n(self, n: SupportsIndex, seed: Optional[SupportsIndex] = None) -> List[float]:
        """n draws as a list; with a seed (0 to 2**64 - 1) the list is reproducible."""

def from_pmf(points: Sequence[_Real], pmf: Sequence[_Real]) -> DiscreteDistribution:
    """A discrete distribution from points and non-negative masses (normalized by their sum)."""
