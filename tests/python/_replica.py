"""Slow re-implementations of the numeric loops, written from the published algorithm descriptions and never from
the extension's sources (IEEE doubles make them agree to the last bit), and shared test helpers."""

import bisect
import math
import sys

import pytest

import drovik
from _reference import format_double


def raises_exactly(exc_type, message, call, *args, **kwargs):
    with pytest.raises(exc_type) as info:
        call(*args, **kwargs)
    assert type(info.value) is exc_type and str(info.value) == message
    return info.value


def quantile_message(u):
    return f"quantile u={format_double(u)} not in (0, 1)"


class Recorder:
    """Records every argument; past `limit` calls it raises PanicException, which is let through: no hang."""

    def __init__(self, fn, limit=2_000_000):
        self.fn, self.args, self.limit = fn, [], limit

    @property
    def calls(self):
        return len(self.args)

    def __call__(self, x):
        self.args.append(x)
        if len(self.args) > self.limit:
            raise drovik.PanicException("call budget exhausted: the computation does not end")
        return self.fn(x)


class Switch:
    """Behaves like `good` until `on` is set, then like `bad`."""

    def __init__(self, good, bad):
        self.good, self.bad, self.on = good, bad, False

    def __call__(self, x):
        return self.bad(x) if self.on else self.good(x)


# Adaptive Simpson with an explicit stack from sixteen first panels, accepting once more than 48 records wait.
def simpson(f, a, b):
    return ((b - a) / 6) * ((f(a) + 4 * f((a + b) * 0.5)) + f(b))  # evaluated left to right


def panel_edges(a, b):
    """The ends of the sixteen first panels: no interval is accepted before four rounds of halving."""
    edges = [a, b]
    for _ in range(4):
        edges = [edges[0]] + [x for lo, hi in zip(edges, edges[1:]) for x in ((lo + hi) * 0.5, hi)]
    return edges


def exact_after_one_step(a, b):
    """The points at which an integrand that the rule integrates exactly is evaluated: each panel's estimate,
    then each panel halved once and accepted, left to right."""
    edges = panel_edges(a, b)
    first = [x for lo, hi in zip(edges, edges[1:]) for x in (lo, (lo + hi) * 0.5, hi)]
    halves = [x for lo, hi in zip(edges, edges[1:]) for m in [(lo + hi) * 0.5]
              for x in (lo, (lo + m) * 0.5, m, m, (m + hi) * 0.5, hi)]
    return first + halves


def integrate(f, a, b, tol):
    if a == b:
        return 0.0
    if b < a:
        return -integrate(f, b, a, tol)
    edges = panel_edges(a, b)
    panels = [(lo, hi, simpson(f, lo, hi)) for lo, hi in zip(edges, edges[1:])]
    stack, total = panels[::-1], 0.0
    while stack:
        lo, hi, whole = stack.pop()
        m = (lo + hi) * 0.5
        left, right = simpson(f, lo, m), simpson(f, m, hi)
        s = left + right
        err = abs(s - whole)  # accepted also once it is down to the rounding of s
        if err <= 15 * tol or len(stack) > 48 or err <= 4 * sys.float_info.epsilon * abs(s):
            total += s + (s - whole) / 15
        else:
            stack += [(m, hi, right), (lo, m, left)]
    return total


def ppf(cdf, iterations, lo, hi, u, tol, pdf=None):
    """Bisection, then up to eight Newton updates inside the final bracket when `pdf` is given; None when the
    bracket's span is not finite and positive or a distribution value is NaN."""
    f_lo, f_hi = cdf(lo), cdf(hi)
    if not 0.0 < f_hi - f_lo < math.inf:
        return None
    target, a, b = f_lo + u * (f_hi - f_lo), lo, hi
    for _ in range(iterations):
        x = (a + b) * 0.5
        value = cdf(x)
        if math.isnan(value):
            return None
        if abs(value - target) <= tol or x in (a, b):  # met, or the bracket no longer shrinks
            break
        a, b = (x, b) if value < target else (a, x)
    else:
        x = (a + b) * 0.5
    if pdf is None:
        return x
    best, best_error = x, math.inf
    for _ in range(8):
        value = cdf(x)
        if math.isnan(value):
            return None
        if abs(value - target) <= tol:
            return x
        if abs(value - target) < best_error:
            best, best_error = x, abs(value - target)
        p = pdf(x)
        if abs(p) < 1e-300:
            return x
        step = x - (value - target) / p
        if math.isnan(step):
            return x
        if not a <= step <= b:  # out of the bracket that holds the quantile: the best point seen
            return best
        x = step
    return x


class PdfModel:
    """A density normalized by quadrature, its distribution function integrated from lo."""

    def __init__(self, f, lo, hi, quad_tolerance=1e-10):
        self.f, self.lo, self.hi, self.tol = f, lo, hi, quad_tolerance
        self.norm = integrate(f, lo, hi, quad_tolerance)

    def cdf(self, x):
        if x <= self.lo:
            return 0.0
        if x >= self.hi:
            return 1.0
        return integrate(self.f, self.lo, x, self.tol) / self.norm

    def pdf(self, x):
        return self.f(x) / self.norm

    def ppf(self, u, iterations=128, tol=1e-12, newton=True):
        return ppf(self.cdf, iterations, self.lo, self.hi, u, tol, self.pdf if newton else None)


class CdfModel:
    """A distribution function rescaled to its support."""

    def __init__(self, c, lo, hi):
        self.c, self.lo, self.hi = c, lo, hi
        self.c_lo = c(lo)
        self.span = c(hi) - self.c_lo

    def cdf(self, x):
        return (self.c(x) - self.c_lo) / self.span

    def ppf(self, u, iterations=128, tol=1e-12):
        return ppf(self.cdf, iterations, self.lo, self.hi, u, tol)


# Monotone cubic Hermite table of the quantile function.
def monotone_slopes(xs, ys):
    n = len(xs)
    d = []
    for i in range(n - 1):
        h = xs[i + 1] - xs[i]
        d.append((ys[i + 1] - ys[i]) / h if abs(h) > 1e-300 else 0.0)
    m = [d[0]] + [0.0 if d[i - 1] * d[i] <= 0 else 2 / (1 / d[i - 1] + 1 / d[i]) for i in range(1, n - 1)] + [d[-1]]
    for i in range(n - 1):
        if abs(d[i]) < 1e-300:
            continue
        a, b = m[i] / d[i], m[i + 1] / d[i]
        s = a * a + b * b
        if s > 9:
            m[i] *= 3 / math.sqrt(s)
            m[i + 1] *= 3 / math.sqrt(s)
    return m


class HermiteTable:
    def __init__(self, cdf, grid_size, lo, hi, iterations=128, tol=1e-12):
        n = max(grid_size, 4)
        self.lo, self.hi, self.us, self.xs = lo, hi, [], []
        for j in range(n):
            t = j / (n - 1)
            u = t * 0.999999999998 + 1e-12
            x = ppf(cdf, iterations, lo, hi, u, tol)
            self.us.append(u)
            self.xs.append(lo + (hi - lo) * t if x is None else x)
        self.ms = monotone_slopes(self.us, self.xs)

    def __call__(self, u):
        us, xs, ms = self.us, self.xs, self.ms
        if u <= us[0]:
            return xs[0]
        if u >= us[-1]:
            return xs[-1]
        # The first node at or above u closes the interval: u_i < u <= u_{i+1}.
        i = min(len(us) - 2, max(bisect.bisect_left(us, u) - 1, 0))
        h = us[i + 1] - us[i]
        if abs(h) < 1e-300:
            return min(max(xs[i], self.lo), self.hi)
        t = (u - us[i]) / h
        t2, t3 = t * t, t * t * t
        value = ((2 * t3 - 3 * t2 + 1) * xs[i] + h * (t3 - 2 * t2 + t) * ms[i]
                 + (3 * t2 - 2 * t3) * xs[i + 1] + h * (t3 - t2) * ms[i + 1])
        return min(max(value, self.lo), self.hi)


# Transformed density rejection over the normalized density f with derivative d.
def tdr_log_hat(f, d, lo, hi, points=30):
    """The Log hat, or None where it cannot be built. Where the plain tangent construction fails it is mended:
    parallel neighbours and zero-width segments drop a point, out-of-range exponentials become relative."""
    log_slack, slope_slack = 1e-5, 1e-3  # what rounding and a finite-difference slope may explain
    n = max(4, points)
    w = hi - lo
    candidates = sorted(x for x in [lo + w * ((j + 0.5) / n) for j in range(n)] + [lo + w * 1e-12, hi - w * 1e-12]
                        if math.isfinite(x) and lo < x < hi)
    kept = []
    for x in candidates:
        if not kept or not abs(x - kept[-1]) < 1e-12:
            kept.append(x)
    usable, asked = [], []  # asked: where the derivative is evaluated
    for x in kept:
        v = f(x)
        if math.isfinite(v) and v > 0:
            asked.append(x)
            dv = d(x)
            if math.isfinite(dv):
                usable.append((x, math.log(v), dv / v))
    if len(usable) < 4:
        return None
    xs, ys, ss = (list(column) for column in zip(*usable))

    def slope_tolerance(a, b):
        return max(1e-14, 1e-8 * (abs(a) + abs(b) + 1.0 / w))

    def exp(t):
        try:
            return math.exp(t)
        except OverflowError:
            return math.inf

    def knots_of(ids):  # None where a knot is not finite or the knots are out of order
        knots = []
        for a, b in zip(ids, ids[1:]):
            z = (ys[b] - ys[a] + ss[a] * xs[a] - ss[b] * xs[b]) / (ss[a] - ss[b])
            if not math.isfinite(z):
                return None
            knots.append(min(max(z, lo), hi))
            if len(knots) > 1 and knots[-1] < knots[-2]:
                return None
        return knots

    def assemble(ids, knots, mend):
        k = len(ids)
        ends = [(lo if i == 0 else knots[i - 1], hi if i == k - 1 else knots[i]) for i in range(k)]

        def area_of(i, left, right, origin, scale):  # the exponentials are of s * (x - origin)
            if abs(ss[i]) < 1e-12:
                return (right - left) * scale
            return (exp(ss[i] * (right - origin)) - exp(ss[i] * (left - origin))) * (scale / ss[i])

        areas, origins = [], []
        for i, (left, right) in zip(ids, ends):
            area, origin = area_of(i, left, right, 0.0, exp(ys[i] - ss[i] * xs[i])), None
            if mend and not (math.isfinite(area) and area > 0):
                area, origin = area_of(i, left, right, xs[i], exp(ys[i])), xs[i]
            if not (math.isfinite(area) and area > 0):
                return None
            areas.append(area)
            origins.append(origin)
        total = 0.0
        for area in areas:
            total += area
        if not (math.isfinite(total) and total > 0):
            return None
        cum, acc = [], 0.0
        for area in areas:
            acc = acc + area / total
            cum.append(acc)
        cum[-1] = 1.0
        return dict(lo=lo, hi=hi, xs=[xs[i] for i in ids], ys=[ys[i] for i in ids], ss=[ss[i] for i in ids],
                    knots=knots, ends=ends, cum=cum, origins=origins, slack=(log_slack, slope_slack), asked=asked)

    k = len(xs)
    # Slopes that increase: not log-concave, no hat.
    if not all(math.isfinite(s) for s in ss):
        return None
    if any(ss[i + 1] - ss[i] > slope_tolerance(ss[i], ss[i + 1]) for i in range(k - 1)):
        return None
    if all(abs(ss[i] - ss[i + 1]) >= 1e-14 for i in range(k - 1)):
        knots = knots_of(list(range(k)))
        hat = None if knots is None else assemble(list(range(k)), knots, False)
        if hat is not None:
            return hat
    # Parallel neighbours are one line; keep the tangent that passes above the other's point.
    ids = []
    for j in range(k):
        while ids and abs(ss[ids[-1]] - ss[j]) <= slope_tolerance(ss[ids[-1]], ss[j]):
            a = ids[-1]
            dx = xs[j] - xs[a]
            above_new, above_old = ys[a] + ss[a] * dx - ys[j], ys[j] - ss[j] * dx - ys[a]
            allowance = log_slack + slope_slack * max(abs(ss[a]), abs(ss[j])) * dx
            if not (abs(above_new) <= allowance and abs(above_old) <= allowance):
                return None
            if above_new >= above_old:
                break
            ids.pop()
        else:
            ids.append(j)
    # Drop zero-width segments, then the steeper of two tangents that miss each other at their knot.
    while True:
        knots = knots_of(ids)
        if knots is None:
            return None
        n = len(ids)
        wide = [p for i, p in enumerate(ids) if (hi if i == n - 1 else knots[i]) > (lo if i == 0 else knots[i - 1])]
        if len(wide) < n:
            ids = wide
            continue
        steep = set()
        for i, z in enumerate(knots):
            a, b = ids[i], ids[i + 1]
            if lo < z < hi and not abs((ys[a] + ss[a] * (z - xs[a])) - (ys[b] + ss[b] * (z - xs[b]))) <= log_slack:
                steep.add(a if abs(ss[a]) > abs(ss[b]) else b)
        if not steep:
            return assemble(ids, knots, True)
        ids = [p for p in ids if p not in steep]


def tdr_log_draw(hat, f, uniform):
    """One draw, or None where the draw fails: a candidate not finite, or a density value above the hat."""
    xs, ys, ss, cum, origins = hat["xs"], hat["ys"], hat["ss"], hat["cum"], hat["origins"]
    log_slack, slope_slack = hat["slack"]

    def tangent(j, x):
        if origins[j] is None:
            return x * ss[j] + (ys[j] - ss[j] * xs[j])
        return ys[j] + ss[j] * (x - origins[j])

    for _ in range(100000):
        # bisect_left is the documented search when cum strictly increases.
        i = min(bisect.bisect_left(cum, uniform()), len(cum) - 1)
        left, right = hat["ends"][i]
        u2 = uniform()
        if abs(ss[i]) < 1e-12:
            x = left + (right - left) * u2
        else:
            origin = 0.0 if origins[i] is None else origins[i]
            e = math.exp(ss[i] * (left - origin))
            w = e + (math.exp(ss[i] * (right - origin)) - e) * u2
            x = (math.log(w) if w > 0 else -math.inf) / ss[i]
            if origins[i] is not None:
                x = origin + x
        if not math.isfinite(x):
            return None
        x = min(max(x, hat["lo"]), hat["hi"])
        v = f(x)
        if math.isfinite(v) and v > 0:
            j = bisect.bisect_right(hat["knots"], x)
            margin = math.log(v) - tangent(j, x)
            if margin > log_slack + slope_slack * abs(ss[j] * (x - xs[j])):
                return None
            u3 = uniform()
            if (math.log(u3) if u3 > 0 else -math.inf) <= margin:
                return x
    raise AssertionError("no draw accepted")


def tdr_box_draw(lo, hi, box_max, f, uniform):
    """One draw, or None where a density value rises above the box."""
    while True:
        x = lo + (hi - lo) * uniform()
        v = f(x)
        if math.isfinite(v) and v >= 0:
            if v > box_max * (1.0 + 1e-9):
                return None
            if box_max * uniform() <= v:
                return x
