"""Slow, obvious re-implementations for expected values, written from the published descriptions and never from the
extension's sources, so that a shared mistake cannot make a golden value agree with itself."""

import math
from bisect import bisect_right
from decimal import Decimal
from functools import reduce

from chacha_ref import SIGMA, Stream, chacha_block, chacha_permute_and_add, pcg32_key  # noqa: F401


def seeded_uniforms(seed, n):
    stream = Stream(pcg32_key(seed), 8)
    return [stream.uniform() for _ in range(n)]


def _add(values):  # plain left-to-right sum (sum() compensates since 3.12)
    return reduce(lambda a, b: a + b, values, 0.0)


class DiscreteModel:
    """Running sum of mass/total, last entry forced to 1.0, masses re-derived from that table."""

    def __init__(self, points, masses):
        self.points = [float(p) for p in points]
        total, acc, self.cdf = _add(float(m) for m in masses), 0.0, []
        for m in masses:
            acc += float(m) / total
            self.cdf.append(acc)
        self.cdf[-1] = 1.0
        self.masses = [c - p for p, c in zip([0.0] + self.cdf, self.cdf)]

    def ppf(self, u):  # the last point of a run equal to u, else the first point whose cdf exceeds u
        assert 0.0 < u < 1.0
        i = bisect_right(self.cdf, u)
        return self.points[i - 1 if i and self.cdf[i - 1] == u else i]

    def pmf(self, x):
        return next((m for p, m in zip(self.points, self.masses) if abs(p - x) < 1e-12), 0.0)

    def mean(self):
        return _add(p * m for p, m in zip(self.points, self.masses))

    def var(self):
        mu = self.mean()
        return _add(m * ((p - mu) * (p - mu)) for p, m in zip(self.points, self.masses))

    def seeded_sample(self, seed, n):
        return [self.ppf(u) for u in seeded_uniforms(seed, n)]


def format_double(x):
    """Shortest round-trip digits written positionally; '-0', 'NaN', 'inf', '-inf'."""
    if math.isnan(x) or math.isinf(x):
        return "NaN" if math.isnan(x) else ("inf" if x > 0 else "-inf")
    text = format(Decimal(repr(x)), "f")
    return text.rstrip("0").rstrip(".") if "." in text else text
