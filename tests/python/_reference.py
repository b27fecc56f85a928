"""Slow, obvious re-implementations used to compute expected values.

Written from the published descriptions (the ChaCha block function in
Bernstein's layout, the PCG32 output permutation), never from the extension's
sources, so that a shared mistake cannot make a golden value agree with
itself.
"""

import math
from decimal import Decimal

MASK32 = 0xFFFFFFFF
MASK64 = 0xFFFFFFFFFFFFFFFF

# "expand 32-byte k" as four little-endian words.
SIGMA = (0x61707865, 0x3320646E, 0x79622D32, 0x6B206574)


def _rotl32(x, n):
    return ((x << n) | (x >> (32 - n))) & MASK32


def _quarter_round(s, a, b, c, d):
    s[a] = (s[a] + s[b]) & MASK32
    s[d] = _rotl32(s[d] ^ s[a], 16)
    s[c] = (s[c] + s[d]) & MASK32
    s[b] = _rotl32(s[b] ^ s[c], 12)
    s[a] = (s[a] + s[b]) & MASK32
    s[d] = _rotl32(s[d] ^ s[a], 8)
    s[c] = (s[c] + s[d]) & MASK32
    s[b] = _rotl32(s[b] ^ s[c], 7)


def chacha_permute_and_add(state, rounds):
    """The block function on a raw 16-word input state."""
    assert len(state) == 16 and rounds % 2 == 0
    s = list(state)
    for _ in range(rounds // 2):
        _quarter_round(s, 0, 4, 8, 12)
        _quarter_round(s, 1, 5, 9, 13)
        _quarter_round(s, 2, 6, 10, 14)
        _quarter_round(s, 3, 7, 11, 15)
        _quarter_round(s, 0, 5, 10, 15)
        _quarter_round(s, 1, 6, 11, 12)
        _quarter_round(s, 2, 7, 8, 13)
        _quarter_round(s, 3, 4, 9, 14)
    return [(x + y) & MASK32 for x, y in zip(s, state)]


def chacha_block(key_words, counter, rounds, stream=0):
    """One block: 64-bit counter in words 12-13, 64-bit stream in 14-15."""
    state = list(SIGMA) + list(key_words) + [
        counter & MASK32,
        counter >> 32,
        stream & MASK32,
        stream >> 32,
    ]
    return chacha_permute_and_add(state, rounds)


def pcg32_key(seed):
    """Eight key words from a 64-bit seed by PCG32 (XSH-RR output)."""
    state = seed & MASK64
    words = []
    for _ in range(8):
        state = (state * 6364136223846793005 + 11634580027462260723) & MASK64
        x = (((state >> 18) ^ state) >> 27) & MASK32
        r = state >> 59
        words.append(((x >> r) | (x << ((32 - r) & 31))) & MASK32)
    return words


def keystream_words(key_words, rounds):
    counter = 0
    while True:
        yield from chacha_block(key_words, counter, rounds)
        counter += 1


def seeded_u64(seed, n):
    """The first n 64-bit outputs of the seeded generator (ChaCha8)."""
    words = keystream_words(pcg32_key(seed), 8)
    out = []
    for _ in range(n):
        lo = next(words)
        hi = next(words)
        out.append(lo | (hi << 32))
    return out


def seeded_uniforms(seed, n):
    return [(x >> 11) * 2.0**-53 for x in seeded_u64(seed, n)]


class DiscreteModel:
    """A finite distribution exactly as documented: running sum of
    mass/total, last entry forced to 1.0, masses recomputed from the table."""

    def __init__(self, points, masses):
        self.points = [float(p) for p in points]
        masses = [float(m) for m in masses]
        total = 0.0
        for m in masses:
            total += m
        self.cdf = []
        acc = 0.0
        for m in masses:
            acc += m / total
            self.cdf.append(acc)
        self.cdf[-1] = 1.0

    def mass(self, i):
        return self.cdf[0] if i == 0 else self.cdf[i] - self.cdf[i - 1]

    def ppf_index(self, u):
        size, base = len(self.cdf), 0
        while size > 1:
            half = size // 2
            mid = base + half
            if self.cdf[mid] <= u:
                base = mid
            size -= half
        if self.cdf[base] == u:
            return base
        if self.cdf[base] < u:
            return base + 1
        return base

    def ppf(self, u):
        assert 0.0 < u < 1.0
        return self.points[self.ppf_index(u)]

    def pmf(self, x):
        for i, p in enumerate(self.points):
            if abs(p - x) < 1e-12:
                return self.mass(i)
        return 0.0

    def mean(self):
        total = 0.0
        for i, p in enumerate(self.points):
            total += p * self.mass(i)
        return total

    def var(self):
        mu = self.mean()
        total = 0.0
        for i, p in enumerate(self.points):
            total += self.mass(i) * ((p - mu) * (p - mu))
        return total

    def std(self):
        return math.sqrt(self.var())

    def seeded_sample(self, seed, n):
        return [self.ppf(u) for u in seeded_uniforms(seed, n)]


def format_double(x):
    """Shortest round-trip digits, written positionally: no exponent, no
    trailing '.0', '-0' for negative zero, 'NaN', 'inf', '-inf'."""
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    text = format(Decimal(repr(x)), "f")
    if "." in text:
        text = text.rstrip("0").rstrip(".")
    return text
