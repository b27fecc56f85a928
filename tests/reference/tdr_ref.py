#!/usr/bin/env python3
"""Golden TDR draws for tests/cpp/test_tdr.cpp: a plain transcription of the
hat construction and the draw loop over the reference ChaCha stream."""
import math, sys
sys.path.insert(0, __import__("os").path.dirname(__import__("os").path.abspath(__file__)))
from chacha_ref import Stream, pcg32_key

INV = 1.0 / math.sqrt(2.0 * math.pi)
def phi(x): return math.exp(-0.5 * x * x) * INV
def dphi(x): return -x * phi(x)
LOG_SLACK, SLOPE_SLACK, BOX_SLACK = 1e-5, 1e-3, 1e-9  # what rounding and finite-difference slopes may explain

def ex(t):
    try: return math.exp(t)
    except OverflowError: return math.inf

def build(f, d, lo, hi, cp):
    w = hi - lo; n = max(4, cp)
    c = [lo + w * ((j + 0.5) / n) for j in range(n)] + [lo + w * 1e-12, hi - w * 1e-12]
    c = sorted(v for v in c if math.isfinite(v) and lo < v < hi)
    kept = []
    for v in c:
        if not kept or not abs(v - kept[-1]) < 1e-12: kept.append(v)
    X, Y, S = [], [], []
    for p in kept:
        v = f(p)
        if not (math.isfinite(v) and v > 0): continue
        dv = d(p)
        if not math.isfinite(dv): continue
        X.append(p); Y.append(math.log(v)); S.append(dv / v)
    k = len(X); assert k >= 4
    same = lambda a, b: max(1e-14, 1e-8 * (abs(a) + abs(b) + 1.0 / w))
    assert all(math.isfinite(s) for s in S) and all(S[i+1] - S[i] <= same(S[i], S[i+1]) for i in range(k - 1))
    def knots(ids):
        Z = [(Y[b] - Y[a] + S[a]*X[a] - S[b]*X[b]) / (S[a] - S[b]) for a, b in zip(ids, ids[1:])]
        assert all(math.isfinite(z) for z in Z)
        Z = [min(max(z, lo), hi) for z in Z]
        assert all(Z[i] <= Z[i+1] for i in range(len(Z) - 1))
        return Z
    def areas(ids, Z, mend):
        A, O = [], []
        for j, i in enumerate(ids):
            l = lo if j == 0 else Z[j-1]; r = hi if j == len(ids)-1 else Z[j]
            def area(o, scale):
                return (r - l) * scale if abs(S[i]) < 1e-12 else (ex(S[i]*(r - o)) - ex(S[i]*(l - o))) * (scale / S[i])
            a, o = area(0.0, ex(Y[i] - S[i]*X[i])), None
            if mend and not (math.isfinite(a) and a > 0): a, o = area(X[i], ex(Y[i])), X[i]
            if not (math.isfinite(a) and a > 0): return None
            A.append(a); O.append(o)
        return A, O
    ids = list(range(k))
    got = None
    if all(abs(S[i] - S[i+1]) >= 1e-14 for i in range(k - 1)):
        try: got = areas(ids, knots(ids), False)
        except AssertionError: got = None
    if got is None:  # mended: parallel neighbours (one line) keep the tangent above the other's point
        ids = []
        for j in range(k):
            while ids and abs(S[ids[-1]] - S[j]) <= same(S[ids[-1]], S[j]):
                a = ids[-1]; dx = X[j] - X[a]
                up, back = Y[a] + S[a]*dx - Y[j], Y[j] - S[j]*dx - Y[a]
                allow = LOG_SLACK + SLOPE_SLACK * max(abs(S[a]), abs(S[j])) * dx
                assert abs(up) <= allow and abs(back) <= allow
                if up >= back: break
                ids.pop()
            else: ids.append(j)
        while True:  # zero-width segments, then the steeper of two tangents missing each other at their knot
            Z = knots(ids); m = len(ids)
            wide = [p for j, p in enumerate(ids) if (hi if j == m-1 else Z[j]) > (lo if j == 0 else Z[j-1])]
            if len(wide) < m: ids = wide; continue
            steep = {(a if abs(S[a]) > abs(S[b]) else b) for a, b, z in zip(ids, ids[1:], Z)
                     if lo < z < hi and not abs((Y[a] + S[a]*(z - X[a])) - (Y[b] + S[b]*(z - X[b]))) <= LOG_SLACK}
            if not steep: break
            ids = [p for p in ids if p not in steep]
        got = areas(ids, Z, True); assert got is not None
    else: Z = knots(ids)
    A, O = got
    tot = 0.0
    for x in A: tot += x
    C = []; acc = 0.0
    for x in A:
        acc = acc + x / tot; C.append(acc)
    C[-1] = 1.0
    return dict(lo=lo, hi=hi, X=[X[i] for i in ids], Y=[Y[i] for i in ids], S=[S[i] for i in ids], Z=Z, C=C, O=O)

def draw_log(h, f, rng, T=100000):
    X, Y, S, Z, C, O, lo, hi = h["X"], h["Y"], h["S"], h["Z"], h["C"], h["O"], h["lo"], h["hi"]
    k = len(X)
    for _ in range(max(T, 1)):
        u1 = rng.uniform()
        i = next(j for j in range(k) if C[j] >= u1)  # no ties in these runs
        i = min(i, k - 1)
        u2 = rng.uniform()
        l = lo if i == 0 else Z[i-1]; r = hi if i == k-1 else Z[i]
        if abs(S[i]) < 1e-12: x = l + (r - l) * u2
        elif O[i] is None:
            e = math.exp(l * S[i]); x = math.log(e + (math.exp(r * S[i]) - e) * u2) / S[i]
        else:
            e = math.exp((l - O[i]) * S[i]); x = O[i] + math.log(e + (math.exp((r - O[i]) * S[i]) - e) * u2) / S[i]
        x = min(max(x, lo), hi)
        v = f(x)
        if math.isfinite(v) and v > 0:
            j = sum(1 for z in Z if z <= x)
            hl = x * S[j] + (Y[j] - S[j] * X[j]) if O[j] is None else Y[j] + S[j] * (x - O[j])
            if math.log(v) - hl > LOG_SLACK + SLOPE_SLACK * abs(S[j] * (x - X[j])): return None  # above the hat
            u3 = rng.uniform()
            if (math.log(u3) if u3 > 0 else -math.inf) <= math.log(v) - hl: return x
    return None

def box_max(f, lo, hi, m=32, calls=20):
    """The grid maximum; None where a golden-section search beside it finds a higher value."""
    g = [lo + (hi - lo) * ((j + 0.5) / m) for j in range(m)]
    best, at = 0.0, 0
    for j, x in enumerate(g):
        v = f(x)
        if math.isfinite(v) and v > best: best, at = v, j
    def search(a, b):
        val = lambda x: f(x) if math.isfinite(f(x)) else -math.inf
        r = 0.6180339887498949
        x1, x2 = b - r * (b - a), a + r * (b - a); f1, f2 = val(x1), val(x2); top = max(0.0, f1, f2)
        for _ in range(calls - 2):
            if f1 >= f2: b, x2, f2 = x2, x1, f1; x1 = b - r * (b - a); f1 = val(x1); top = max(top, f1)
            else: a, x1, f1 = x1, x2, f2; x2 = a + r * (b - a); f2 = val(x2); top = max(top, f2)
        return top
    higher = max(search(lo if at == 0 else g[at-1], g[at]), search(g[at], hi if at == m-1 else g[at+1]))
    return None if higher > best * (1.0 + BOX_SLACK) else best

def draw_box(lo, hi, bm, f, rng):
    while True:
        x = lo + (hi - lo) * rng.uniform()
        v = f(x)
        if math.isfinite(v) and v >= 0:
            if v > bm * (1.0 + BOX_SLACK): return None
            if bm * rng.uniform() <= v: return x

def show(name, h, f, seed=42):
    rng = Stream(pcg32_key(seed), 8)
    draws = ", ".join(repr(draw_log(h, f, rng)) for _ in range(5))
    print(name, "seed", seed, ":", draws, "| next uniform", repr(rng.uniform()))

show("log", build(phi, dphi, -8.0, 8.0, 30), phi)
# Mended hats: every tangent of exp(-x) is one line; the triangle's edge tangents are too steep for exp(s * x).
expo = lambda x: math.exp(-x) / (1.0 - math.exp(-5.0))
show("exponential", build(expo, lambda x: -expo(x), 0.0, 5.0, 30), expo)
tri = lambda x: 1.0 - abs(x)
show("triangle", build(tri, lambda x: -1.0 if x > 0 else 1.0, -1.0, 1.0, 30), tri)
near = lambda x: phi(x - 1000.0)
show("normal at 1000", build(near, lambda x: dphi(x - 1000.0), 992.0, 1008.0, 30), near)
print("normal box:", box_max(phi, -8.0, 8.0), "(no box: its peak lies between grid points)")
peaked = lambda x: phi(x - 0.25)  # the peak on grid point 16
bm = box_max(peaked, -8.0, 8.0)
rng = Stream(pcg32_key(42), 8)
print("box_max", repr(bm))
draws = ", ".join(repr(draw_box(-8.0, 8.0, bm, peaked, rng)) for _ in range(5))
print("box seed 42:", draws, "| next uniform", repr(rng.uniform()))
