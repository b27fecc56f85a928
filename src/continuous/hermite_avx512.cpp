// The AVX-512 kernel of HermitePpfTable::eval_batch, in a file of its own:
// only this function is compiled for AVX-512 (by its target attribute; the
// file has the flags of every other), and eval_batch calls it only on a
// processor that has the instructions.
#include "continuous/hermite.hpp"

#ifdef DROVIK_HERMITE_AVX512

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

namespace drovik {

// GCC 12 takes the deliberately undefined vectors inside the AVX-512 headers
// for uninitialised reads.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

// eval on eight lanes at once. Every step is the same IEEE operation in the same
// order as in eval, so each lane rounds exactly as the scalar code does; a run
// holding a NaN, or a level whose guessed interval is off, goes through eval
// instead.
__attribute__((target("avx512f"))) void HermitePpfTable::eval_batch_avx512(std::span<double> inout) const {
    static_assert(sizeof(Segment) == 8 * sizeof(double));
    const double* base = &segments_.front().u_lo;
    const __m512d first = _mm512_set1_pd(u_first_);
    const __m512d last = _mm512_set1_pd(u_last_);
    const __m512d scale = _mm512_set1_pd(index_scale_);
    const __m512d top = _mm512_set1_pd(last_index_);
    const __m512d lo = _mm512_set1_pd(lo_);
    const __m512d hi = _mm512_set1_pd(hi_);
    const __m512d tiny = _mm512_set1_pd(negligible);
    const __m512d one = _mm512_set1_pd(1.0);
    const __m512d two = _mm512_set1_pd(2.0);
    const __m512d three = _mm512_set1_pd(3.0);
    const __m512i magnitude = _mm512_set1_epi64(0x7fffffffffffffff);

    double* data = inout.data();
    const std::size_t n = inout.size();
    std::size_t k = 0;
    for (; k + 8 <= n; k += 8) {
        const __m512d u = _mm512_loadu_pd(data + k);
        if (_mm512_cmp_pd_mask(u, u, _CMP_UNORD_Q) != 0) {
            eval_batch_scalar(inout.subspan(k, 8));
            continue;
        }
        const __mmask8 below = _mm512_cmp_pd_mask(u, first, _CMP_LE_OQ);
        const __mmask8 above = _mm512_cmp_pd_mask(u, last, _CMP_GE_OQ);
        const __mmask8 inside = static_cast<__mmask8>(~(below | above));

        // locate(): the guess truncated, n - 2 from the last index on; lanes
        // outside the grid get a valid index and are replaced at the end.
        const __m512d guess =
            _mm512_min_pd(_mm512_max_pd(_mm512_mul_pd(_mm512_sub_pd(u, first), scale), _mm512_setzero_pd()), top);
        alignas(32) std::int32_t index[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(index), _mm512_cvttpd_epi32(guess));
        // Each lane's segment is one row; transpose the eight rows into fields.
        __m512d r[8];
        for (int j = 0; j < 8; ++j) r[j] = _mm512_load_pd(base + 8 * static_cast<std::ptrdiff_t>(index[j]));
        __m512d p[8];
        for (int j = 0; j < 4; ++j) {
            p[2 * j] = _mm512_unpacklo_pd(r[2 * j], r[2 * j + 1]);      // fields 0 2 4 6 of rows 2j, 2j+1
            p[2 * j + 1] = _mm512_unpackhi_pd(r[2 * j], r[2 * j + 1]);  // fields 1 3 5 7
        }
        const __m512i low_pairs = _mm512_set_epi64(13, 12, 5, 4, 9, 8, 1, 0);
        const __m512i high_pairs = _mm512_set_epi64(15, 14, 7, 6, 11, 10, 3, 2);
        // q: fields {0,4}, {2,6}, {1,5}, {3,7} of rows 0-3, then of rows 4-7.
        const __m512d q04a = _mm512_permutex2var_pd(p[0], low_pairs, p[2]);
        const __m512d q26a = _mm512_permutex2var_pd(p[0], high_pairs, p[2]);
        const __m512d q15a = _mm512_permutex2var_pd(p[1], low_pairs, p[3]);
        const __m512d q37a = _mm512_permutex2var_pd(p[1], high_pairs, p[3]);
        const __m512d q04b = _mm512_permutex2var_pd(p[4], low_pairs, p[6]);
        const __m512d q26b = _mm512_permutex2var_pd(p[4], high_pairs, p[6]);
        const __m512d q15b = _mm512_permutex2var_pd(p[5], low_pairs, p[7]);
        const __m512d q37b = _mm512_permutex2var_pd(p[5], high_pairs, p[7]);
        const __m512i low_quads = _mm512_set_epi64(11, 10, 9, 8, 3, 2, 1, 0);
        const __m512i high_quads = _mm512_set_epi64(15, 14, 13, 12, 7, 6, 5, 4);
        const __m512d u_lo = _mm512_permutex2var_pd(q04a, low_quads, q04b);
        const __m512d x_hi = _mm512_permutex2var_pd(q04a, high_quads, q04b);
        const __m512d m_hi = _mm512_permutex2var_pd(q26a, high_quads, q26b);
        const __m512d u_hi = _mm512_permutex2var_pd(q15a, low_quads, q15b);
        const __m512d m_lo = _mm512_permutex2var_pd(q15a, high_quads, q15b);
        const __m512d x_lo = _mm512_permutex2var_pd(q37a, low_quads, q37b);
        // locate() moves a guess that rounding put one interval off; that is
        // rare enough to leave to eval.
        if ((_mm512_mask_cmp_pd_mask(inside, u, u_lo, _CMP_LE_OQ) |
             _mm512_mask_cmp_pd_mask(inside, u, u_hi, _CMP_GT_OQ)) != 0) {
            eval_batch_scalar(inout.subspan(k, 8));
            continue;
        }
        // The stored width is this same difference of the two levels.
        const __m512d h = _mm512_sub_pd(u_hi, u_lo);
        const __m512d t = _mm512_div_pd(_mm512_sub_pd(u, u_lo), h);
        const __m512d t2 = _mm512_mul_pd(t, t);
        const __m512d t3 = _mm512_mul_pd(t2, t);
        const __m512d two_t3 = _mm512_mul_pd(two, t3);
        const __m512d three_t2 = _mm512_mul_pd(three, t2);
        const __m512d two_t2 = _mm512_mul_pd(two, t2);
        const __m512d a = _mm512_add_pd(_mm512_sub_pd(two_t3, three_t2), one);
        const __m512d b = _mm512_add_pd(_mm512_sub_pd(t3, two_t2), t);
        const __m512d c = _mm512_sub_pd(three_t2, two_t3);
        const __m512d d = _mm512_sub_pd(t3, t2);
        __m512d value = _mm512_mul_pd(a, x_lo);
        value = _mm512_add_pd(value, _mm512_mul_pd(_mm512_mul_pd(h, b), m_lo));
        value = _mm512_add_pd(value, _mm512_mul_pd(c, x_hi));
        value = _mm512_add_pd(value, _mm512_mul_pd(_mm512_mul_pd(h, d), m_hi));

        // std::clamp: lo if value < lo, else hi if hi < value, else value.
        const __mmask8 low = _mm512_cmp_pd_mask(value, lo, _CMP_LT_OQ);
        const __mmask8 high = static_cast<__mmask8>(_mm512_cmp_pd_mask(hi, value, _CMP_LT_OQ) & ~low);
        value = _mm512_mask_blend_pd(low, value, lo);
        value = _mm512_mask_blend_pd(high, value, hi);
        const __m512d width = _mm512_castsi512_pd(_mm512_and_epi64(_mm512_castpd_si512(h), magnitude));
        value = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(width, tiny, _CMP_LT_OQ), value, x_lo);
        value = _mm512_mask_blend_pd(above, value, _mm512_set1_pd(x_last_));
        value = _mm512_mask_blend_pd(below, value, _mm512_set1_pd(x_first_));
        _mm512_storeu_pd(data + k, value);
    }
    eval_batch_scalar(inout.subspan(k));
}
#pragma GCC diagnostic pop

}  // namespace drovik

#endif
