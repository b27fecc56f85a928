// ChaCha block function: a one-block reference and a four-block version that
// keeps one state word of all four blocks in each 128-bit vector.
#include "random/chacha.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <emmintrin.h>
#define DROVIK_CHACHA_X86 1
#endif

namespace drovik {
namespace {

// "expand 32-byte k"
constexpr std::uint32_t sigma[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};

void quarter_round(std::uint32_t* x, int a, int b, int c, int d) {
    x[a] += x[b]; x[d] = std::rotl(x[d] ^ x[a], 16);
    x[c] += x[d]; x[b] = std::rotl(x[b] ^ x[c], 12);
    x[a] += x[b]; x[d] = std::rotl(x[d] ^ x[a], 8);
    x[c] += x[d]; x[b] = std::rotl(x[b] ^ x[c], 7);
}

#ifdef DROVIK_CHACHA_X86

// The four-block kernel is written with GCC vector types rather than
// intrinsics so that one body compiles for every target below: an intrinsic
// such as pshufb cannot be inlined into a function without that target.
using u32x4 = std::uint32_t __attribute__((vector_size(16)));
using u8x16 = std::uint8_t __attribute__((vector_size(16)));

// Rotations by 16 and 8 are byte permutations; on SSE2 there is no byte
// shuffle, so they stay shift-shift-or like the others.
template <bool byte_shuffle>
struct Rotate {
    template <int n>
    [[gnu::always_inline]] static inline u32x4 left(u32x4 v) {
        if constexpr (byte_shuffle && n == 16) {
            const auto b = reinterpret_cast<u8x16>(v);
            return reinterpret_cast<u32x4>(__builtin_shufflevector(
                b, b, 2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13));
        } else if constexpr (byte_shuffle && n == 8) {
            const auto b = reinterpret_cast<u8x16>(v);
            return reinterpret_cast<u32x4>(__builtin_shufflevector(
                b, b, 3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14));
        } else {
            // With AVX-512VL the compiler turns this into a single vprold.
            return (v << n) | (v >> (32 - n));
        }
    }
};

template <class Rot>
[[gnu::always_inline]] inline void quarter_round4(u32x4& a, u32x4& b, u32x4& c, u32x4& d) {
    a += b; d = Rot::template left<16>(d ^ a);
    c += d; b = Rot::template left<12>(b ^ c);
    a += b; d = Rot::template left<8>(d ^ a);
    c += d; b = Rot::template left<7>(b ^ c);
}

// Rows r0..r3 hold words w..w+3 of blocks 0..3 (lane = block); writes the
// four words of each block to its place in the keystream.
[[gnu::always_inline]] inline void transpose_store(u32x4 r0, u32x4 r1, u32x4 r2, u32x4 r3,
                                                   std::uint32_t* out) {
    const __m128i a = reinterpret_cast<__m128i>(r0), b = reinterpret_cast<__m128i>(r1);
    const __m128i c = reinterpret_cast<__m128i>(r2), d = reinterpret_cast<__m128i>(r3);
    const __m128i ab_lo = _mm_unpacklo_epi32(a, b);  // a0 b0 a1 b1
    const __m128i ab_hi = _mm_unpackhi_epi32(a, b);  // a2 b2 a3 b3
    const __m128i cd_lo = _mm_unpacklo_epi32(c, d);
    const __m128i cd_hi = _mm_unpackhi_epi32(c, d);
    auto* o = reinterpret_cast<__m128i*>(out);
    _mm_storeu_si128(o + 0, _mm_unpacklo_epi64(ab_lo, cd_lo));   // block 0
    _mm_storeu_si128(o + 4, _mm_unpackhi_epi64(ab_lo, cd_lo));   // block 1
    _mm_storeu_si128(o + 8, _mm_unpacklo_epi64(ab_hi, cd_hi));   // block 2
    _mm_storeu_si128(o + 12, _mm_unpackhi_epi64(ab_hi, cd_hi));  // block 3
}

template <class Rot>
[[gnu::always_inline]] inline void blocks4_kernel(const ChachaKey& key, std::uint64_t counter,
                                                  int double_rounds, std::uint32_t* out) {
    u32x4 in[16];
    for (int i = 0; i < 4; ++i) in[i] = u32x4{} + sigma[i];
    for (int i = 0; i < 8; ++i) in[4 + i] = u32x4{} + key[i];
    // Each lane carries its own 64-bit counter, so a carry into word 13 can
    // happen between lanes.
    for (int lane = 0; lane < 4; ++lane) {
        const std::uint64_t c = counter + static_cast<std::uint64_t>(lane);
        in[12][lane] = static_cast<std::uint32_t>(c);
        in[13][lane] = static_cast<std::uint32_t>(c >> 32);
    }
    in[14] = u32x4{};
    in[15] = u32x4{};

    u32x4 x0 = in[0], x1 = in[1], x2 = in[2], x3 = in[3];
    u32x4 x4 = in[4], x5 = in[5], x6 = in[6], x7 = in[7];
    u32x4 x8 = in[8], x9 = in[9], x10 = in[10], x11 = in[11];
    u32x4 x12 = in[12], x13 = in[13], x14 = in[14], x15 = in[15];
    for (int i = 0; i < double_rounds; ++i) {
        quarter_round4<Rot>(x0, x4, x8, x12);
        quarter_round4<Rot>(x1, x5, x9, x13);
        quarter_round4<Rot>(x2, x6, x10, x14);
        quarter_round4<Rot>(x3, x7, x11, x15);
        quarter_round4<Rot>(x0, x5, x10, x15);
        quarter_round4<Rot>(x1, x6, x11, x12);
        quarter_round4<Rot>(x2, x7, x8, x13);
        quarter_round4<Rot>(x3, x4, x9, x14);
    }
    transpose_store(x0 + in[0], x1 + in[1], x2 + in[2], x3 + in[3], out);
    transpose_store(x4 + in[4], x5 + in[5], x6 + in[6], x7 + in[7], out + 4);
    transpose_store(x8 + in[8], x9 + in[9], x10 + in[10], x11 + in[11], out + 8);
    transpose_store(x12 + in[12], x13 + in[13], x14 + in[14], x15 + in[15], out + 12);
}

void blocks4_sse2(const ChachaKey& key, std::uint64_t counter, int double_rounds,
                  std::uint32_t* out) {
    blocks4_kernel<Rotate<false>>(key, counter, double_rounds, out);
}

// Three-operand VEX forms and pshufb for the byte rotations.
__attribute__((target("avx2"))) void blocks4_avx2(const ChachaKey& key, std::uint64_t counter,
                                                  int double_rounds, std::uint32_t* out) {
    blocks4_kernel<Rotate<true>>(key, counter, double_rounds, out);
}

// One-instruction rotations and 32 vector registers, so nothing spills.
__attribute__((target("avx512f,avx512vl"))) void blocks4_avx512vl(
    const ChachaKey& key, std::uint64_t counter, int double_rounds, std::uint32_t* out) {
    blocks4_kernel<Rotate<false>>(key, counter, double_rounds, out);
}

using Blocks4 = void (*)(const ChachaKey&, std::uint64_t, int, std::uint32_t*);

Blocks4 kernel_function(ChachaKernel kernel) {
    switch (kernel) {
        case ChachaKernel::avx512vl: return blocks4_avx512vl;
        case ChachaKernel::avx2: return blocks4_avx2;
        case ChachaKernel::sse2: break;
    }
    return blocks4_sse2;
}

Blocks4 select_kernel() {
    for (ChachaKernel k : {ChachaKernel::avx512vl, ChachaKernel::avx2}) {
        if (chacha_kernel_supported(k)) return kernel_function(k);
    }
    return blocks4_sse2;
}

#else  // no vector kernels for this architecture yet

using Blocks4 = void (*)(const ChachaKey&, std::uint64_t, int, std::uint32_t*);

void blocks4_scalar(const ChachaKey& key, std::uint64_t counter, int double_rounds,
                    std::uint32_t* out) {
    for (std::uint64_t b = 0; b < 4; ++b) chacha_block_scalar(key, counter + b, double_rounds, out + 16 * b);
}

Blocks4 kernel_function(ChachaKernel) { return blocks4_scalar; }
Blocks4 select_kernel() { return blocks4_scalar; }

#endif

}  // namespace

void chacha_block_scalar(const ChachaKey& key, std::uint64_t counter, int double_rounds,
                         std::uint32_t* out) {
    std::uint32_t in[16];
    std::memcpy(in, sigma, sizeof sigma);
    std::memcpy(in + 4, key.data(), sizeof(std::uint32_t) * 8);
    in[12] = static_cast<std::uint32_t>(counter);
    in[13] = static_cast<std::uint32_t>(counter >> 32);
    in[14] = 0;
    in[15] = 0;
    std::uint32_t x[16];
    std::memcpy(x, in, sizeof in);
    for (int i = 0; i < double_rounds; ++i) {
        quarter_round(x, 0, 4, 8, 12);
        quarter_round(x, 1, 5, 9, 13);
        quarter_round(x, 2, 6, 10, 14);
        quarter_round(x, 3, 7, 11, 15);
        quarter_round(x, 0, 5, 10, 15);
        quarter_round(x, 1, 6, 11, 12);
        quarter_round(x, 2, 7, 8, 13);
        quarter_round(x, 3, 4, 9, 14);
    }
    for (int i = 0; i < 16; ++i) out[i] = x[i] + in[i];
}

bool chacha_kernel_supported([[maybe_unused]] ChachaKernel kernel) {
#ifndef DROVIK_CHACHA_X86
    return false;
#else
    __builtin_cpu_init();
    switch (kernel) {
        case ChachaKernel::sse2: return true;
        case ChachaKernel::avx2: return __builtin_cpu_supports("avx2");
        case ChachaKernel::avx512vl:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
    }
    return false;
#endif
}

void chacha_blocks4_using(ChachaKernel kernel, const ChachaKey& key, std::uint64_t counter,
                          int double_rounds, std::uint32_t* out) {
    kernel_function(kernel)(key, counter, double_rounds, out);
}

void chacha_blocks4(const ChachaKey& key, std::uint64_t counter, int double_rounds,
                    std::uint32_t* out) {
    static const Blocks4 kernel = select_kernel();
    kernel(key, counter, double_rounds, out);
}

}  // namespace drovik
