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
    "HyperRect",
    "RejectionSampler",
    "MetropolisHastings",
    "HmcSampler",
    "GibbsSampler",
    "ConditionalFactorizationSampler",
    "GaussianCopula",
    "CdfMcEstimator",
    "rejection_sampler",
    "metropolis_hastings",
    "hmc_sampler",
    "gibbs_sampler",
    "conditional_factorization_sampler",
    "gaussian_copula",
    "cdf_mc_estimator",
]

_Real = Union[SupportsFloat, SupportsIndex]
# A density of a point: called as f(x0, ..., x_{d-1}) and, if that fails, as f([x0, ..., x_{d-1}]).
_NdDensity = Callable[..., _Real]

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
        """The mean, by quadrature of x * pdf(x); on a support further from 0 than it is wide,
        of (x - middle) * pdf(x), the middle of the support added back."""
    def var(self) -> float:
        """The variance, by quadrature of (x - mean)^2 * pdf(x), never negative."""
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
    """A step density over the bins [edges[i], edges[i+1]) with heights counts[i] / width[i], normalized.

    density=True leaves out the division by the total count, which the normalization makes up for: both
    give the same distribution. To pass densities (numpy's histogram(..., density=True)), multiply each
    by its bin width first.
    """

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

@final
class HyperRect:
    """An axis-aligned box [lo[0], hi[0]] x ... x [lo[d-1], hi[d-1]], the support of the multivariate samplers.

    lo and hi must have the same length d >= 1, finite bounds and lo[i] < hi[i]; otherwise
    BuildError. Factories copy the bounds, so a sampler never shares the box with its caller.
    """

    def __new__(cls, lo: Sequence[_Real], hi: Sequence[_Real]) -> "HyperRect": ...
    def dim(self) -> int:
        """The dimension d."""
    def lo(self) -> List[float]:
        """The lower bounds as a new list."""
    def hi(self) -> List[float]:
        """The upper bounds as a new list."""

@final
class RejectionSampler:
    """Exact draws from an unnormalized density on a box by uniform proposals, built by rejection_sampler.

    A uniform point x of the box is accepted with probability f(x) / pdf_max. Each draw tries at most
    max_trials proposals and raises SampleError "rejection sampler failed to accept" when all fail.
    A density value that is negative, NaN (also from a failing f) or infinite loses its trial; a
    finite value above pdf_max raises SampleError "rejection sampler met the density above pdf_max".
    """

    def dim(self) -> int:
        """The dimension of the box."""
    def pdf_max(self) -> float:
        """The bound on the density given to the factory."""
    def sample(self) -> List[float]:
        """One point from this thread's generator."""
    def sample_n(self, n: SupportsIndex, seed: Optional[SupportsIndex] = None) -> List[List[float]]:
        """n points; with a seed the list is reproducible, for a deterministic f."""

@final
class MetropolisHastings:
    """A random-walk Metropolis-Hastings chain on a box, built by metropolis_hastings.

    Call init() first: it starts the chain at a uniform point with positive density, always drawn
    from this thread's generator. Each step moves every coordinate by a normal step of the current
    step size, reflects it into the box and accepts by the Metropolis rule; during the first
    adapt_steps steps after init the step size is steered toward target_accept. The chain's point,
    step size and counters carry over from call to call, so a seed makes one call's draws
    reproducible from a given chain state, not from the chain's creation. Bound to the thread that
    created it.
    """

    def init(self) -> None:
        """Start (or restart) the chain at a uniform point of positive density; SampleError if none is found."""
    def step(self) -> List[float]:
        """One step; the chain's point after it."""
    def sample(self) -> List[float]:
        """One step, as step(); no burn-in, no thinning."""
    def sample_n(self, n: SupportsIndex, seed: Optional[SupportsIndex] = None) -> List[List[float]]:
        """burn_in steps, then n points thin steps apart; with a seed, reproducible from the same chain state."""
    def accept_rate(self) -> float:
        """Accepted proposals / steps since the last init (0.0 before any step)."""

@final
class HmcSampler:
    """A Hamiltonian Monte Carlo chain on a box with a numerical gradient of ln f, built by hmc_sampler.

    Call init() first (a uniform point of positive density from this thread's generator). Each
    transition draws a normal momentum, runs leapfrog_steps leapfrog steps of size step_size with
    central differences of half-width grad_eps (f may be evaluated up to grad_eps outside the box),
    reflects positions into the box, and accepts by the total energy; a rejected transition returns
    the previous point again. A seed makes one call's draws reproducible from a given chain state.
    Bound to the thread that created it.
    """

    def init(self) -> None:
        """Start (or restart) the chain at a uniform point of positive density; SampleError if none is found."""
    def sample(self) -> List[float]:
        """One transition; the chain's point after it."""
    def sample_n(self, n: SupportsIndex, seed: Optional[SupportsIndex] = None) -> List[List[float]]:
        """n transitions, one point each, no burn-in; with a seed, reproducible from the same chain state."""

@final
class GibbsSampler:
    """A Gibbs chain driven by a user conditional sampler, built by gibbs_sampler.

    Each sweep replaces coordinates 0, 1, ..., d-1 in place by sample_coord(i, point), so coordinate
    i sees the ones before it already updated. The returned values are stored as they are (not
    folded into the box; a failing call stores NaN). sample_coord draws its own randomness, so
    there is no seed. A sweep interrupted by KeyboardInterrupt keeps the coordinates it already
    replaced. Bound to the thread that created it.
    """

    def sample(self) -> List[float]:
        """sweeps_per_sample sweeps; the chain's point after them."""
    def step(self) -> List[float]:
        """The same as sample()."""

@final
class ConditionalFactorizationSampler:
    """Independent points built coordinate by coordinate, built by conditional_factorization_sampler.

    Coordinate i of each point is sample_i(i, [x0, ..., x_{i-1}]); a failing call gives NaN.
    sample_i draws its own randomness, so a seed does not make the points reproducible.
    """

    def sample(self) -> List[float]:
        """One point; SampleError "mcmc sampler failed" when the dimension is 0."""
    def sample_n(self, n: SupportsIndex, seed: Optional[SupportsIndex] = None) -> List[List[float]]:
        """n points; the seed is accepted but sample_i's own randomness decides the values."""

@final
class GaussianCopula:
    """Dependent points with given marginals from a correlated normal vector, built by gaussian_copula.

    A draw takes d standard normals, correlates them with the Cholesky factor of the matrix,
    maps each coordinate to u in [1e-12, 1 - 1e-12] by the normal distribution function and
    returns ppfs[i](u) for each i.
    """

    def dim(self) -> int:
        """The dimension d, the number of rows of the matrix."""
    def sample(self, ppfs: Sequence[Callable[[float], _Real]], seed: Optional[SupportsIndex] = None) -> List[float]:
        """One point through the d quantile functions; with a seed the point is reproducible.

        SampleError "mcmc sampler failed" unless len(ppfs) == d, "failed to invert CDF" when one fails.
        """

@final
class CdfMcEstimator:
    """Monte Carlo estimates of the distribution function P(X1 <= x1, ..., Xd <= xd), built by cdf_mc_estimator.

    The density need not be normalized: its integral over the box is estimated from uniform points
    once and kept; each cdf call averages f over the box below x. A density value that is negative,
    NaN (also from a failing f) or infinite counts as 0. Bound to the thread that created it.
    """

    def estimate_normalization(self, seed: Optional[SupportsIndex] = None) -> float:
        """A new estimate of the integral of f over the box, kept for later cdf calls; reproducible with a seed.

        SampleError "numerical integration failed" unless it is finite and positive.
        """
    def cdf(self, x: Sequence[_Real], seed: Optional[SupportsIndex] = None) -> float:
        """The estimate of P(X <= x), in [0, 1].

        Without a kept normalization, the call first estimates it from the same generator; with a
        seed the call is reproducible from the same state (normalization kept or not).
        """

def rejection_sampler(
    f: _NdDensity, support: HyperRect, pdf_max: _Real, max_trials: SupportsIndex = 100000
) -> RejectionSampler:
    """A rejection sampler for the unnormalized density f on support; pdf_max must bound f there.

    BuildError "pdf_max must be finite and positive" for a bad bound; a draw that meets f above it
    raises SampleError "rejection sampler met the density above pdf_max".
    """

def metropolis_hastings(
    f: _NdDensity,
    support: HyperRect,
    step_size: _Real = 0.25,
    burn_in: SupportsIndex = 1000,
    thin: SupportsIndex = 1,
    target_accept: _Real = 0.25,
    adapt_steps: SupportsIndex = 2000,
) -> MetropolisHastings:
    """An uninitialized Metropolis-Hastings chain for the unnormalized density f on support; call init() next.

    BuildError unless step_size is finite and not negative (positive when adapt_steps is 0), or when
    target_accept is NaN.
    """

def hmc_sampler(
    f: _NdDensity,
    support: HyperRect,
    step_size: _Real = 0.05,
    leapfrog_steps: SupportsIndex = 20,
    grad_eps: _Real = 1e-6,
) -> HmcSampler:
    """An uninitialized HMC chain for the unnormalized density f on support; call init() next.

    BuildError unless step_size and grad_eps are finite and positive and leapfrog_steps is at least 1.
    """

def gibbs_sampler(
    sample_coord: Callable[[int, List[float]], _Real],
    support: HyperRect,
    init: Sequence[_Real],
    sweeps_per_sample: SupportsIndex = 1,
) -> GibbsSampler:
    """A Gibbs chain starting at init, of dimension support.dim(); sample_coord(i, point) draws coordinate i.

    SampleError "mcmc sampler failed" when len(init) differs from the dimension.
    """

def conditional_factorization_sampler(
    sample_i: Callable[[int, List[float]], _Real], dim: SupportsIndex
) -> ConditionalFactorizationSampler:
    """A sampler of dim-dimensional points; sample_i(i, prefix) draws coordinate i given the ones before it."""

def gaussian_copula(corr: Sequence[Sequence[_Real]]) -> GaussianCopula:
    """A Gaussian copula from a d x d positive definite matrix (only its lower triangle is read).

    A covariance matrix gives the copula of the correlation matrix it scales: every marginal
    is still the one its quantile function gives.
    ValueError "InvalidCorrelation" for an empty, ragged or not positive definite matrix.
    """

def cdf_mc_estimator(
    f: _NdDensity, support: HyperRect, normalization_samples: SupportsIndex = 50000, cdf_samples: SupportsIndex = 50000
) -> CdfMcEstimator:
    """A Monte Carlo distribution-function estimator for the unnormalized density f on support."""
