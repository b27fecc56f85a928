#!/usr/bin/env python3
"""Golden TDR draws for tests/cpp/test_tdr.cpp: a plain transcription of the
hat construction and the draw loop over the reference ChaCha stream."""
import math, sys
sys.path.insert(0, __import__("os").path.dirname(__import__("os").path.abspath(__file__)))
from chacha_ref import Stream, pcg32_key

INV = 1.0 / math.sqrt(2.0 * math.pi)
def phi(x): return math.exp(-0.5 * x * x) * INV
def dphi(x): return -x * phi(x)

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
    Z = []
    for i in range(k - 1):
        assert abs(S[i] - S[i+1]) >= 1e-14
        Z.append((Y[i+1] - Y[i] + S[i]*X[i] - S[i+1]*X[i+1]) / (S[i] - S[i+1]))
    Z = [min(max(z, lo), hi) for z in Z]
    A = []
    for i in range(k):
        l = lo if i == 0 else Z[i-1]; r = hi if i == k-1 else Z[i]
        a = Y[i] - S[i]*X[i]
        A.append((r - l) * math.exp(a) if abs(S[i]) < 1e-12 else (math.exp(S[i]*r) - math.exp(S[i]*l)) * (math.exp(a) / S[i]))
    tot = 0.0
    for x in A: tot += x
    C = []; acc = 0.0
    for x in A:
        acc = acc + x / tot; C.append(acc)
    C[-1] = 1.0
    return dict(lo=lo, hi=hi, X=X, Y=Y, S=S, Z=Z, C=C)

def draw_log(h, f, rng, T=100000):
    X, Y, S, Z, C, lo, hi = h["X"], h["Y"], h["S"], h["Z"], h["C"], h["lo"], h["hi"]
    k = len(X)
    for _ in range(max(T, 1)):
        u1 = rng.uniform()
        i = next(j for j in range(k) if C[j] >= u1)  # no ties in these runs
        i = min(i, k - 1)
        u2 = rng.uniform()
        l = lo if i == 0 else Z[i-1]; r = hi if i == k-1 else Z[i]
        if abs(S[i]) < 1e-12: x = l + (r - l) * u2
        else:
            e = math.exp(l * S[i]); x = math.log(e + (math.exp(r * S[i]) - e) * u2) / S[i]
        x = min(max(x, lo), hi)
        v = f(x)
        if math.isfinite(v) and v > 0:
            j = sum(1 for z in Z if z <= x)
            hl = x * S[j] + (Y[j] - S[j] * X[j])
            u3 = rng.uniform()
            if (math.log(u3) if u3 > 0 else -math.inf) <= math.log(v) - hl: return x
    return None

def draw_box(lo, hi, bm, f, rng):
    while True:
        x = lo + (hi - lo) * rng.uniform()
        v = f(x)
        if math.isfinite(v) and v >= 0 and bm * rng.uniform() <= v: return x

h = build(phi, dphi, -8.0, 8.0, 30)
rng = Stream(pcg32_key(42), 8)
print("log seed 42:", ", ".join(repr(draw_log(h, phi, rng)) for _ in range(5)), "| next uniform", repr(rng.uniform()))
bm = max(v for v in (phi(-8.0 + 16.0 * ((j + 0.5) / 32)) for j in range(32)))
rng = Stream(pcg32_key(42), 8)
print("box_max", repr(bm))
print("box seed 42:", ", ".join(repr(draw_box(-8.0, 8.0, bm, phi, rng)) for _ in range(5)), "| next uniform", repr(rng.uniform()))
