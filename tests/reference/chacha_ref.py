#!/usr/bin/env python3
"""Independent reference for the random source: prints the golden values used
by tests/cpp/test_random.cpp.

Written from the published ChaCha description (Bernstein's original layout:
four constant words, eight key words, a 64-bit block counter in words 12-13,
a 64-bit stream number in words 14-15) and the PCG32 step/output rule, in
plain Python integers so that it shares nothing with the C++ code.
"""

import math
import struct

MASK32 = 0xFFFFFFFF
MASK64 = 0xFFFFFFFFFFFFFFFF
SIGMA = (0x61707865, 0x3320646E, 0x79622D32, 0x6B206574)  # "expand 32-byte k"


def rotl32(x, n):
    return ((x << n) | (x >> (32 - n))) & MASK32


def quarter_round(s, a, b, c, d):
    s[a] = (s[a] + s[b]) & MASK32; s[d] = rotl32(s[d] ^ s[a], 16)
    s[c] = (s[c] + s[d]) & MASK32; s[b] = rotl32(s[b] ^ s[c], 12)
    s[a] = (s[a] + s[b]) & MASK32; s[d] = rotl32(s[d] ^ s[a], 8)
    s[c] = (s[c] + s[d]) & MASK32; s[b] = rotl32(s[b] ^ s[c], 7)


def chacha_permute_and_add(state, rounds):
    """The block function on a raw 16-word input state."""
    s = list(state)
    for _ in range(rounds // 2):
        quarter_round(s, 0, 4, 8, 12)
        quarter_round(s, 1, 5, 9, 13)
        quarter_round(s, 2, 6, 10, 14)
        quarter_round(s, 3, 7, 11, 15)
        quarter_round(s, 0, 5, 10, 15)
        quarter_round(s, 1, 6, 11, 12)
        quarter_round(s, 2, 7, 8, 13)
        quarter_round(s, 3, 4, 9, 14)
    return [(x + y) & MASK32 for x, y in zip(s, state)]


def chacha_block(key, counter, rounds, stream=0):
    """Sixteen output words of one block; `rounds` is 8, 12 or 20."""
    state = list(SIGMA) + list(key) + [
        counter & MASK32, (counter >> 32) & MASK32,
        stream & MASK32, (stream >> 32) & MASK32,
    ]
    return chacha_permute_and_add(state, rounds)


def key_from_bytes(b):
    return list(struct.unpack("<8I", bytes(b)))


def pcg32_key(seed):
    mul, inc = 6364136223846793005, 11634580027462260723
    state = seed & MASK64
    words = []
    for _ in range(8):
        state = (state * mul + inc) & MASK64
        x = (((state >> 18) ^ state) >> 27) & MASK32
        r = state >> 59
        words.append(((x >> r) | (x << ((32 - r) & 31))) & MASK32)
    return words


class Stream:
    """Draw rule: two keystream words per 64-bit value, low word first."""

    def __init__(self, key, rounds):
        self.key, self.rounds = key, rounds
        self.block = 0
        self.words = []

    def next_u64(self):
        if not self.words:
            self.words = chacha_block(self.key, self.block, self.rounds)
            self.block += 1
        lo, hi = self.words[0], self.words[1]
        self.words = self.words[2:]
        return lo | (hi << 32)

    def uniform(self):
        return (self.next_u64() >> 11) * 2.0**-53


def normal_from_uniforms(u1, u2):
    return math.sqrt(-2.0 * math.log(max(u1, 1e-300))) * math.cos(6.283185307179586 * u2)


def hexwords(ws):
    return ", ".join(f"0x{w:08x}" for w in ws)


def main():
    zero = [0] * 8
    print("# published zero-key vectors (first 8 bytes of each block, as words)")
    for rounds in (8, 12, 20):
        b = chacha_block(zero, 0, rounds)
        print(f"ChaCha{rounds} zero key block 0: {struct.pack('<16I', *b)[:32].hex()}")

    for seed in (0, 42):
        print(f"\n# seed {seed}")
        print("key:", hexwords(pcg32_key(seed)))
        print("ChaCha8 block 0 first words:", hexwords(chacha_block(pcg32_key(seed), 0, 8)[:4]))
        s = Stream(pcg32_key(seed), 8)
        draws = [s.uniform() for _ in range(8193)]
        for i in (1, 2, 3, 32, 33, 34, 64, 65, 129, 1000, 8192, 8193):
            print(f"draw {i}: {draws[i - 1]!r}")
        s = Stream(pcg32_key(seed), 8)
        normals = [normal_from_uniforms(s.uniform(), s.uniform()) for _ in range(3)]
        print("normals 1-3:", ", ".join(repr(z) for z in normals), "| next uniform:", repr(s.uniform()))

    print("\n# ChaCha blocks for the test key 0x00010203..., counter crossing 2^32")
    key = key_from_bytes(range(32))
    print("key words:", hexwords(key))
    for rounds in (8, 12):
        for counter in (0, 0xFFFFFFFF):
            print(f"ChaCha{rounds} counter 0x{counter:x}: {hexwords(chacha_block(key, counter, rounds))}")

    print("\n# normal rule")
    print("clamp factor:", repr(math.sqrt(-2.0 * math.log(1e-300))))
    for u1, u2 in ((0.0, 0.0), (0.0, 0.125), (0.0, 0.3), (2.0**-53, 0.0), (0.5, 0.25), (0.75, 0.5), (0.9, 0.9)):
        print(f"normal({u1!r}, {u2!r}) = {normal_from_uniforms(u1, u2)!r}")


if __name__ == "__main__":
    main()
