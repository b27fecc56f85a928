"""Slow reference of the multivariate samplers over a box, written from the published rules of each algorithm and
never from the extension's sources, so that a golden value cannot agree with a shared mistake.

Every sampler takes its randomness from a source with a `uniform()` method: `seeded(seed)` gives the stream a seeded
call of the extension uses, `Uniforms([...])` replays given values. User functions are called the way the extension
calls them (`nd_value`, `coord_value`, `ppf_value`), so the same Python callable can drive both.
"""

import math

from chacha_ref import Stream, normal_from_uniforms, pcg32_key

INF, NAN = math.inf, math.nan
NOT_INITIALIZED = "mcmc sampler not initialized (call init)"
MCMC_FAILED = "mcmc sampler failed"
REJECTION_FAILED = "rejection sampler failed to accept"
ABOVE_PDF_MAX = "rejection sampler met the density above pdf_max"
BAD_PDF_MAX = "pdf_max must be finite and positive"
INTEGRATION_FAILED = "numerical integration failed"
INVERSION_FAILED = "failed to invert CDF"
EMPTY_BOX = "invalid support interval: hyper-rect cannot be empty"
DIMENSION_MISMATCH = "invalid support interval: hyper-rect lo/hi must have same dimension"
NON_FINITE_BOUNDS = "non-finite value in hyper-rect bounds"
NON_FINITE_WIDTHS = "non-finite value in hyper-rect widths"
LO_NOT_BELOW_HI = "invalid support interval: each lo must be < hi"
FAR_OUT_PERIODS = 1048576.0  # beyond this many periods a coordinate loses whole periods before the reflections


class BuildFailure(Exception):
    """What the extension raises as BuildError; args == (message,)."""


class SampleFailure(Exception):
    """What the extension raises as SampleError; args == (message,)."""


class InvalidCorrelation(ValueError):
    def __init__(self):
        super().__init__("InvalidCorrelation")


# ---------------------------------------------------------------------------
# Uniform sources and C-like arithmetic

def seeded(seed):
    return Stream(pcg32_key(seed), 8)


class Uniforms:
    """Replays the given uniforms and counts the draws; running out is an error of the test."""

    def __init__(self, values):
        self.values, self.drawn = list(values), 0

    def uniform(self):
        value = self.values[self.drawn]
        self.drawn += 1
        return value


def standard_normal(rng):
    u1 = rng.uniform()
    u2 = rng.uniform()
    return normal_from_uniforms(u1, u2)


def c_log(x):  # the C library's log: no exceptions
    if x > 0.0:
        return math.log(x)
    return -INF if x == 0.0 else NAN


def c_exp(x):
    try:
        return math.exp(x)
    except OverflowError:
        return INF


def c_div(a, b):
    if b != 0.0:
        return a / b
    if a != a or a == 0.0:
        return NAN
    return math.copysign(INF, a) * math.copysign(1.0, b)


def clamp(x, lo, hi):  # NaN stays NaN
    return lo if x < lo else hi if x > hi else x


def log_density(y):
    return math.log(y) if y > 0.0 else -INF


def counts(y):
    return math.isfinite(y) and y >= 0.0


# ---------------------------------------------------------------------------
# Calling user functions

def is_let_through(exc):
    return isinstance(exc, KeyboardInterrupt) or type(exc).__name__ == "PanicException"


def to_double(result):
    """The C-API float conversion: __float__, else __index__; no strings."""
    kind = type(result)
    if hasattr(kind, "__float__"):
        value = kind.__float__(result)
        if not isinstance(value, float):
            raise TypeError("__float__ returned non-float")
        return float(value)
    if hasattr(kind, "__index__"):
        return float(kind.__index__(result))
    raise TypeError(f"must be real number, not {kind.__name__}")


def _attempt(call):
    try:
        return to_double(call())
    except BaseException as exc:  # noqa: B036 - failures are values, only interrupts and panics pass
        if is_let_through(exc):
            raise
        return None


def nd_value(f, x):
    """f(x0, ..., x_{d-1}), else f([x0, ..., x_{d-1}]) with a fresh list, else NaN."""
    value = _attempt(lambda: f(*[float(v) for v in x]))
    if value is None:
        value = _attempt(lambda: f([float(v) for v in x]))
    return NAN if value is None else value


def coord_value(fn, i, values):
    """fn(i, [values...]) with a fresh list, else NaN."""
    value = _attempt(lambda: fn(i, [float(v) for v in values]))
    return NAN if value is None else value


def ppf_value(ppf, u):
    value = _attempt(lambda: ppf(u))
    if value is None:
        raise SampleFailure(INVERSION_FAILED)
    return value


# ---------------------------------------------------------------------------
# The box

class Box:
    def __init__(self, lo, hi):
        lo, hi = [float(v) for v in lo], [float(v) for v in hi]
        if not lo or not hi:
            raise BuildFailure(EMPTY_BOX)
        if len(lo) != len(hi):
            raise BuildFailure(DIMENSION_MISMATCH)
        for a, b in zip(lo, hi):
            if not (math.isfinite(a) and math.isfinite(b)):
                raise BuildFailure(NON_FINITE_BOUNDS)
            if a >= b:
                raise BuildFailure(LO_NOT_BELOW_HI)
            if not math.isfinite(b - a):
                raise BuildFailure(NON_FINITE_WIDTHS)
        self.lo, self.hi = lo, hi

    @property
    def dim(self):
        return len(self.lo)

    def uniform_point(self, rng):
        return [a + rng.uniform() * (b - a) for a, b in zip(self.lo, self.hi)]

    def reflect_into(self, i, y):
        return self.reflect(i, y)[0]

    def reflect(self, i, y):
        """The folded value and whether it took an odd number of reflections."""
        lo, hi = self.lo[i], self.hi[i]
        if hi - lo <= 0.0:
            return lo, False
        if not math.isfinite(y) or not math.isfinite(y - lo):
            return NAN, False
        period = 2.0 * (hi - lo)
        if abs(y - lo) / FAR_OUT_PERIODS > period:
            folded = math.fmod(y - lo, period)
            if folded < 0.0:
                folded += period
            y = lo + folded
        odd = False
        while True:
            if y < lo:
                y = lo + (lo - y)
            elif y > hi:
                y = hi - (y - hi)
            else:
                return y, odd
            if not math.isfinite(y):
                return NAN, False
            odd = not odd

    def volume(self):
        v = 1.0
        for a, b in zip(self.lo, self.hi):
            v *= b - a
        return v

    def contains(self, x):
        return all(a <= v <= b for a, v, b in zip(self.lo, x, self.hi))


# ---------------------------------------------------------------------------
# Rejection

class Rejection:
    def __init__(self, f, lo, hi, pdf_max, max_trials=100000):
        if not (math.isfinite(pdf_max) and pdf_max > 0.0):
            raise BuildFailure(BAD_PDF_MAX)
        self.box, self.f, self.pdf_max, self.max_trials = Box(lo, hi), f, float(pdf_max), max_trials

    def sample(self, rng):
        for _ in range(self.max_trials):
            x = self.box.uniform_point(rng)
            y = nd_value(self.f, x)
            if not counts(y):
                continue
            if y > self.pdf_max:
                raise SampleFailure(ABOVE_PDF_MAX)
            if self.pdf_max * rng.uniform() <= y:
                return x
        raise SampleFailure(REJECTION_FAILED)

    def sample_n(self, n, rng):
        return [self.sample(rng) for _ in range(n)]


# ---------------------------------------------------------------------------
# Markov chains

def find_start(f, box, rng, tries=100000):
    for _ in range(tries):
        x = box.uniform_point(rng)
        log_y = log_density(nd_value(f, x))
        if math.isfinite(log_y):
            return x, log_y
    raise SampleFailure(MCMC_FAILED)


class MetropolisHastings:
    MIN_STEP, MAX_STEP = 1e-4, 10.0

    def __init__(self, f, lo, hi, step_size=0.25, burn_in=1000, thin=1, target_accept=0.25, adapt_steps=2000):
        self.box, self.f = Box(lo, hi), f
        self.step_size, self.burn_in, self.thin = float(step_size), burn_in, thin
        self.target_accept, self.adapt_steps = float(target_accept), adapt_steps
        self.current, self.current_log_pdf, self.n_steps, self.n_accepted = None, -INF, 0, 0

    def init(self, rng):
        self.start(*find_start(self.f, self.box, rng))

    def start(self, point, log_pdf=None):
        """Restart the chain at `point`, as a successful init that drew it would."""
        self.current = [float(v) for v in point]
        self.current_log_pdf = log_density(nd_value(self.f, self.current)) if log_pdf is None else log_pdf
        self.n_steps = self.n_accepted = 0

    def accept_rate(self):
        return self.n_accepted / self.n_steps if self.n_steps else 0.0

    def step(self, rng):
        if self.current is None:
            raise SampleFailure(NOT_INITIALIZED)
        proposal = list(self.current)
        for i in range(self.box.dim):
            y = proposal[i] + self.step_size * standard_normal(rng)
            proposal[i] = self.box.reflect_into(i, y)
        log_y = log_density(nd_value(self.f, proposal))
        self.n_steps += 1  # after the evaluation: an interrupted step is not counted
        if not math.isfinite(log_y):
            return self.current
        u = rng.uniform()
        if c_log(u) < log_y - self.current_log_pdf:
            self.current, self.current_log_pdf = proposal, log_y
            self.n_accepted += 1
        if self.adapt_steps != 0 and self.n_steps <= self.adapt_steps:
            rate = self.n_accepted / self.n_steps
            gain = 1.0 / math.sqrt(self.n_steps + 10.0)
            delta = clamp(rate - self.target_accept, -0.2, 0.2)
            self.step_size = clamp(c_exp(c_log(self.step_size) + gain * delta), self.MIN_STEP, self.MAX_STEP)
        return self.current

    def sample(self, rng):
        return list(self.step(rng))

    def sample_n(self, n, rng):
        if self.current is None:
            raise SampleFailure(NOT_INITIALIZED)
        for _ in range(self.burn_in):
            self.step(rng)
        points = []
        for _ in range(n):
            for _ in range(self.thin or 1):
                self.step(rng)
            points.append(list(self.current))
        return points


def grad_log_pdf_numeric(f, x, h):
    plus, minus, g, at_x = list(x), list(x), [], None
    for i in range(len(x)):
        plus[i] = h + x[i]
        minus[i] = x[i] - h
        l_plus = log_density(nd_value(f, plus))
        l_minus = log_density(nd_value(f, minus))
        gi = c_div(l_plus - l_minus, h + h)
        # one side beyond where f ends: the other side's one-sided difference
        if not math.isfinite(gi) and (math.isfinite(l_plus) or math.isfinite(l_minus)):
            if at_x is None:
                at_x = log_density(nd_value(f, list(x)))
            if math.isfinite(at_x):
                gi = c_div(l_plus - at_x, h) if math.isfinite(l_plus) else c_div(at_x - l_minus, h)
        g.append(gi)
        plus[i] = minus[i] = x[i]
    return g


def half_square_sum(p):
    s = 0.0
    for v in p:
        s += v * v
    return 0.5 * s


class Hmc:
    def __init__(self, f, lo, hi, step_size=0.05, leapfrog_steps=20, grad_eps=1e-6):
        self.box, self.f = Box(lo, hi), f
        self.step_size, self.leapfrog_steps, self.grad_eps = float(step_size), leapfrog_steps, float(grad_eps)
        self.current, self.current_log_pdf = None, -INF

    def init(self, rng):
        self.start(*find_start(self.f, self.box, rng))

    def start(self, point, log_pdf=None):
        self.current = [float(v) for v in point]
        self.current_log_pdf = log_density(nd_value(self.f, self.current)) if log_pdf is None else log_pdf

    def sample(self, rng):
        if self.current is None:
            raise SampleFailure(NOT_INITIALIZED)
        eps, d = self.step_size, self.box.dim
        q, log_p0 = list(self.current), self.current_log_pdf
        p = [standard_normal(rng) for _ in range(d)]
        k0 = half_square_sum(p)
        g = grad_log_pdf_numeric(self.f, q, self.grad_eps)
        p = [p[i] + (eps * 0.5) * g[i] for i in range(d)]
        for _ in range(self.leapfrog_steps):
            for i in range(d):  # a wall turns the momentum component around
                q[i], odd = self.box.reflect(i, q[i] + eps * p[i])
                if odd:
                    p[i] = -p[i]
            g = grad_log_pdf_numeric(self.f, q, self.grad_eps)
            p = [p[i] + eps * g[i] for i in range(d)]
        p = [-(p[i] - (eps * 0.5) * g[i]) for i in range(d)]
        log_p1 = log_density(nd_value(self.f, q))
        if not math.isfinite(log_p1):
            return list(self.current)
        k1 = half_square_sum(p)
        if c_log(rng.uniform()) < (k0 - log_p0) - (k1 - log_p1):
            self.current, self.current_log_pdf = q, log_p1
        return list(self.current)

    def sample_n(self, n, rng):
        return [self.sample(rng) for _ in range(n)]


# ---------------------------------------------------------------------------
# Samplers driven by user conditionals

class Gibbs:
    def __init__(self, sample_coord, lo, hi, init, sweeps_per_sample=1):
        if len(init) != len(lo):
            raise SampleFailure(MCMC_FAILED)
        self.sample_coord, self.sweeps = sample_coord, sweeps_per_sample
        self.state = [float(v) for v in init]

    def step(self):
        for _ in range(self.sweeps):
            for i in range(len(self.state)):
                self.state[i] = coord_value(self.sample_coord, i, self.state)
        return list(self.state)

    sample = step


class ConditionalFactorization:
    def __init__(self, sample_i, dim):
        self.sample_i, self.dim = sample_i, dim

    def sample(self):
        if self.dim == 0:
            raise SampleFailure(MCMC_FAILED)
        values = []
        for i in range(self.dim):
            values.append(coord_value(self.sample_i, i, values))
        return values

    def sample_n(self, n):
        return [self.sample() for _ in range(n)]


# ---------------------------------------------------------------------------
# Gaussian copula

def cholesky(corr):
    d = len(corr)
    if d == 0 or any(len(row) != d for row in corr):
        raise InvalidCorrelation()
    low = [[0.0] * d for _ in range(d)]
    for i in range(d):
        for j in range(i + 1):
            s = float(corr[i][j])
            for k in range(j):
                s -= low[i][k] * low[j][k]
            if j == i:
                if not (math.isfinite(s) and s > 0.0):
                    raise InvalidCorrelation()
                low[i][i] = math.sqrt(s)
            else:
                low[i][j] = s / low[j][j]
    return low


def normal_cdf(y):
    a = y / 1.4142135623730951
    t = 1.0 / (1.0 + 0.5 * abs(a))
    t2 = t * t
    t4 = t2 * t2
    t8 = t4 * t4
    # each power the product of the factors t, t2, t4, t8 its exponent's binary digits name, smallest first, left
    # to right: t7 = (t * t2) * t4 (not (t4 * t2) * t, which rounds differently about one time in eleven)
    t3, t5, t6 = t * t2, t * t4, t2 * t4
    t7, t9 = t3 * t4, t * t8
    e_arg = (-a * a - 1.26551223 + 1.00002368 * t + 0.37409196 * t2 + 0.09678418 * t3 - 0.18628806 * t4
             + 0.27886807 * t5 - 1.13520398 * t6 + 1.48851587 * t7 - 0.82215223 * t8 + 0.17087277 * t9)
    e = 1.0 - t * c_exp(e_arg)
    if a < 0.0:
        e = -e
    return clamp((e + 1.0) * 0.5, 1e-12, 0.999999999999)


class GaussianCopula:
    def __init__(self, corr):
        self.chol = cholesky(corr)
        self.scale = [math.sqrt(corr[i][i]) for i in range(len(self.chol))]  # a covariance matrix's standard deviations

    @property
    def dim(self):
        return len(self.chol)

    def sample(self, ppfs, rng):
        d = self.dim
        if len(ppfs) != d:
            raise SampleFailure(MCMC_FAILED)
        z = [standard_normal(rng) for _ in range(d)]
        y = []
        for i in range(d):
            s = 0.0
            for j in range(i + 1):
                s += self.chol[i][j] * z[j]
            y.append(s)
        return [ppf_value(ppfs[i], normal_cdf(y[i] / self.scale[i])) for i in range(d)]


# ---------------------------------------------------------------------------
# Monte Carlo distribution function

class CdfMc:
    def __init__(self, f, lo, hi, normalization_samples=50000, cdf_samples=50000):
        self.box, self.f = Box(lo, hi), f
        self.normalization_samples, self.cdf_samples = normalization_samples, cdf_samples
        self.normalization = None

    def estimate_normalization(self, rng):
        n = self.normalization_samples or 1
        s = 0.0
        for _ in range(n):
            y = nd_value(self.f, self.box.uniform_point(rng))
            if counts(y):
                s += y
        z = (s / n) * self.box.volume()
        if not (math.isfinite(z) and z > 0.0):
            raise SampleFailure(INTEGRATION_FAILED)
        self.normalization = z
        return z

    def cdf(self, x, rng):
        lo, hi = self.box.lo, self.box.hi
        if len(x) != len(lo):
            raise SampleFailure(INTEGRATION_FAILED)
        z = self.normalization if self.normalization is not None else self.estimate_normalization(rng)
        m = self.cdf_samples or 1
        upper = [h if v != v else min(h, v) for h, v in zip(hi, (float(v) for v in x))]
        s = 0.0
        for _ in range(m):
            p = [a if b <= a else a + (b - a) * rng.uniform() for a, b in zip(lo, upper)]
            y = nd_value(self.f, p)
            if counts(y):
                s += y
        v = 1.0
        for a, b in zip(lo, upper):
            v *= max(b - a, 0.0)
        return clamp(((s / m) * v) / z, 0.0, 1.0)
