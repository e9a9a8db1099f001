// Hand-written AVX2 loops for the kernels the compiler does not vectorise
// well. Each processes a whole number of vectors and returns how many samples
// it consumed; the portable kernel finishes the rest. Only the AVX2 table
// (chosen at run time) calls these.
#pragma once

#include "samples.hpp"

#include <immintrin.h>

#define TAMVOX_AVX2_FN [[gnu::always_inline]] inline __attribute__((target("avx2,fma,bmi2")))
// The same for a lambda inside such a function.
#define TAMVOX_AVX2_LAMBDA __attribute__((always_inline, target("avx2,fma,bmi2")))

namespace tamvox::avx2v
{

TAMVOX_AVX2_FN __m256i loadv(const u8 *p)
{
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
}
TAMVOX_AVX2_FN void storev(u8 *p, __m256i v)
{
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(p), v);
}

// Saturating sums: 32 bytes (32, 16 or 8 samples) per step.
template <int W> TAMVOX_AVX2_FN ptrdiff_t add(const u8 *a, const u8 *b, ptrdiff_t n, u8 *out)
{
    constexpr ptrdiff_t step = 32 / W;
    ptrdiff_t i = 0;
    for (; i + step <= n; i += step) {
        __m256i x = loadv(a + i * W), y = loadv(b + i * W), s;
        if constexpr (W == 1) {
            s = _mm256_adds_epi8(x, y);
        } else if constexpr (W == 2) {
            s = _mm256_adds_epi16(x, y);
        } else {
            // Wrapped sum; it overflowed where its sign differs from both
            // addends', and then saturates toward the addends' sign.
            s = _mm256_add_epi32(x, y);
            __m256i over = _mm256_and_si256(_mm256_xor_si256(x, s), _mm256_xor_si256(y, s));
            __m256i sat = _mm256_xor_si256(_mm256_srai_epi32(x, 31), _mm256_set1_epi32(INT32_MAX));
            s = _mm256_castps_si256(
                _mm256_blendv_ps(_mm256_castsi256_ps(s), _mm256_castsi256_ps(sat), _mm256_castsi256_ps(over)));
        }
        storev(out + i * W, s);
    }
    return i;
}

// Single bytes in reverse order: reverse each 16-byte lane, then swap lanes.
TAMVOX_AVX2_FN ptrdiff_t reverse1(const u8 *p, ptrdiff_t n, u8 *out)
{
    const __m256i rev = _mm256_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10,
                                         9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    ptrdiff_t i = 0;
    for (; i + 32 <= n; i += 32) {
        __m256i x = _mm256_shuffle_epi8(loadv(p + n - i - 32), rev);
        storev(out + i, _mm256_permute4x64_epi64(x, 0x4E));
    }
    return i;
}

// Largest magnitude at widths 1 and 2: the absolute value of the most
// negative sample wraps to itself, which read unsigned is the right magnitude.
template <int W> TAMVOX_AVX2_FN ptrdiff_t max_abs(const u8 *p, ptrdiff_t n, uint32_t *best)
{
    static_assert(W == 1 || W == 2);
    constexpr ptrdiff_t step = 32 / W;
    __m256i acc = _mm256_setzero_si256();
    ptrdiff_t i = 0;
    for (; i + step <= n; i += step) {
        __m256i x = loadv(p + i * W);
        acc = W == 1 ? _mm256_max_epu8(acc, _mm256_abs_epi8(x)) : _mm256_max_epu16(acc, _mm256_abs_epi16(x));
    }
    alignas(32) uint8_t lanes[32];
    _mm256_store_si256(reinterpret_cast<__m256i *>(lanes), acc);
    uint32_t m = 0;
    for (int k = 0; k < 32 / W; k++) {
        uint32_t v;
        if constexpr (W == 1) {
            v = lanes[k];
        } else {
            uint16_t h;
            std::memcpy(&h, lanes + 2 * k, 2);
            v = h;
        }
        m = v > m ? v : m;
    }
    *best = m;
    return i;
}

template <int W> TAMVOX_AVX2_FN ptrdiff_t minmax(const u8 *p, ptrdiff_t n, int32_t *lo, int32_t *hi)
{
    static_assert(W == 1 || W == 2);
    constexpr ptrdiff_t step = 32 / W;
    __m256i mn, mx;
    if constexpr (W == 1) {
        mn = _mm256_set1_epi8(127);
        mx = _mm256_set1_epi8(-128);
    } else {
        mn = _mm256_set1_epi16(32767);
        mx = _mm256_set1_epi16(-32768);
    }
    ptrdiff_t i = 0;
    for (; i + step <= n; i += step) {
        __m256i x = loadv(p + i * W);
        if constexpr (W == 1) {
            mn = _mm256_min_epi8(mn, x);
            mx = _mm256_max_epi8(mx, x);
        } else {
            mn = _mm256_min_epi16(mn, x);
            mx = _mm256_max_epi16(mx, x);
        }
    }
    if (i == 0) {
        *lo = INT32_MAX;
        *hi = INT32_MIN;
        return 0;
    }
    alignas(32) u8 a[32], b[32];
    _mm256_store_si256(reinterpret_cast<__m256i *>(a), mn);
    _mm256_store_si256(reinterpret_cast<__m256i *>(b), mx);
    int32_t l = INT32_MAX, h = INT32_MIN;
    for (int k = 0; k < 32 / W; k++) {
        int32_t u = tamvox::load<W>(a + k * W), v = tamvox::load<W>(b + k * W);
        l = u < l ? u : l;
        h = v > h ? v : h;
    }
    *lo = l;
    *hi = h;
    return i;
}

TAMVOX_AVX2_FN int64_t hsum64(__m256i v)
{
    alignas(32) int64_t t[4];
    _mm256_store_si256(reinterpret_cast<__m256i *>(t), v);
    return t[0] + t[1] + t[2] + t[3];
}

TAMVOX_AVX2_FN __m256i widen_add(__m256i acc64, __m256i v32)
{
    acc64 = _mm256_add_epi64(acc64, _mm256_cvtepi32_epi64(_mm256_castsi256_si128(v32)));
    return _mm256_add_epi64(acc64, _mm256_cvtepi32_epi64(_mm256_extracti128_si256(v32, 1)));
}

// Exact sums over at most 2^32 samples (the caller's block).
TAMVOX_AVX2_FN ptrdiff_t sum1(const u8 *p, ptrdiff_t n, int64_t *total)
{
    // Bytes biased to unsigned and summed eight at a time by psadbw.
    const __m256i bias = _mm256_set1_epi8(-128), zero = _mm256_setzero_si256();
    __m256i acc = zero;
    ptrdiff_t i = 0;
    for (; i + 32 <= n; i += 32)
        acc = _mm256_add_epi64(acc, _mm256_sad_epu8(_mm256_xor_si256(loadv(p + i), bias), zero));
    *total = hsum64(acc) - 128 * int64_t(i);
    return i;
}

TAMVOX_AVX2_FN ptrdiff_t sum2(const u8 *p, ptrdiff_t n, int64_t *total)
{
    // Pairs summed to 32 bits (at most 2^16 each); 4096 steps stay below 2^29.
    const __m256i ones = _mm256_set1_epi16(1);
    __m256i acc64 = _mm256_setzero_si256();
    ptrdiff_t i = 0;
    while (i + 16 <= n) {
        __m256i acc32 = _mm256_setzero_si256();
        for (int k = 0; k < 4096 && i + 16 <= n; k++, i += 16)
            acc32 = _mm256_add_epi32(acc32, _mm256_madd_epi16(loadv(p + 2 * i), ones));
        acc64 = widen_add(acc64, acc32);
    }
    *total = hsum64(acc64);
    return i;
}

TAMVOX_AVX2_FN ptrdiff_t sumsq1(const u8 *p, ptrdiff_t n, uint64_t *total)
{
    // Squares of pairs summed to 32 bits (at most 2^15 each); 4096 steps
    // stay below 2^27.
    __m256i acc64 = _mm256_setzero_si256();
    ptrdiff_t i = 0;
    while (i + 16 <= n) {
        __m256i acc32 = _mm256_setzero_si256();
        for (int k = 0; k < 4096 && i + 16 <= n; k++, i += 16) {
            __m256i x = _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i)));
            acc32 = _mm256_add_epi32(acc32, _mm256_madd_epi16(x, x));
        }
        acc64 = widen_add(acc64, acc32);
    }
    *total = static_cast<uint64_t>(hsum64(acc64));
    return i;
}

// Squares of 32-bit samples are below 2^62; their low and high 32-bit halves
// are summed apart, so 64-bit lanes hold 2^31 of them.
TAMVOX_AVX2_FN ptrdiff_t sumsq4(const u8 *p, ptrdiff_t n, SquareSum *total)
{
    const __m256i low = _mm256_set1_epi64x(0xFFFFFFFF);
    __m256i lo = _mm256_setzero_si256(), hi = _mm256_setzero_si256();
    ptrdiff_t i = 0;
    for (; i + 8 <= n; i += 8) {
        __m256i x = loadv(p + 4 * i);
        __m256i even = _mm256_mul_epi32(x, x);
        __m256i xo = _mm256_srli_epi64(x, 32);
        __m256i odd = _mm256_mul_epi32(xo, xo);
        lo = _mm256_add_epi64(lo, _mm256_add_epi64(_mm256_and_si256(even, low), _mm256_and_si256(odd, low)));
        hi = _mm256_add_epi64(hi, _mm256_add_epi64(_mm256_srli_epi64(even, 32), _mm256_srli_epi64(odd, 32)));
    }
    *total = halves_sum(static_cast<uint64_t>(hsum64(hi)), static_cast<uint64_t>(hsum64(lo)));
    return i;
}

// Sign changes between neighbouring bytes: the sign bit of x ^ previous.
// Returns the index up to which pairs (i - 1, i) have been counted.
TAMVOX_AVX2_FN ptrdiff_t sign_changes1(const u8 *p, ptrdiff_t n, ptrdiff_t *count)
{
    ptrdiff_t c = 0, i = 1;
    for (; i + 32 <= n; i += 32)
        c += __builtin_popcount(
            static_cast<unsigned>(_mm256_movemask_epi8(_mm256_xor_si256(loadv(p + i), loadv(p + i - 1)))));
    *count = c;
    return i;
}

// floor(x) limited to [lo, hi]; NaN gives 0, as clamp_floor.
TAMVOX_AVX2_FN __m128i clamp_floor4(__m256d x, __m256d lo, __m256d hi)
{
    __m256d y = _mm256_max_pd(_mm256_min_pd(_mm256_floor_pd(x), hi), lo);
    y = _mm256_and_pd(y, _mm256_cmp_pd(x, x, _CMP_ORD_Q));
    return _mm256_cvttpd_epi32(y);
}

TAMVOX_AVX2_FN __m256d to_pd(__m128i v)
{
    return _mm256_cvtepi32_pd(v);
}

// Four samples widened to 32 bits.
template <int W> TAMVOX_AVX2_FN __m128i load4(const u8 *p)
{
    if constexpr (W == 1) {
        int32_t v;
        std::memcpy(&v, p, 4);
        return _mm_cvtepi8_epi32(_mm_cvtsi32_si128(v));
    } else if constexpr (W == 2) {
        return _mm_cvtepi16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)));
    } else {
        return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    }
}

// Four 32-bit values already inside the range of W, stored at width W.
template <int W> TAMVOX_AVX2_FN void store4(u8 *p, __m128i v)
{
    if constexpr (W == 1) {
        int32_t b = _mm_cvtsi128_si32(_mm_packs_epi16(_mm_packs_epi32(v, v), v));
        std::memcpy(p, &b, 4);
    } else if constexpr (W == 2) {
        _mm_storel_epi64(reinterpret_cast<__m128i *>(p), _mm_packs_epi32(v, v));
    } else {
        _mm_storeu_si128(reinterpret_cast<__m128i *>(p), v);
    }
}

template <int W> TAMVOX_AVX2_FN ptrdiff_t mul(const u8 *p, ptrdiff_t n, double factor, u8 *out)
{
    const __m256d f = _mm256_set1_pd(factor), lo = _mm256_set1_pd(min_of<W>), hi = _mm256_set1_pd(max_of<W>);
    ptrdiff_t i = 0;
    for (; i + 4 <= n; i += 4)
        store4<W>(out + i * W, clamp_floor4(_mm256_mul_pd(to_pd(load4<W>(p + i * W)), f), lo, hi));
    return i;
}

// Frames (left, right) at any of widths 1, 2, 4: four frames per step.
template <int W> TAMVOX_AVX2_FN ptrdiff_t tomono(const u8 *p, ptrdiff_t frames, double lf, double rf, u8 *out)
{
    const __m256d l = _mm256_set1_pd(lf), r = _mm256_set1_pd(rf);
    const __m256d lo = _mm256_set1_pd(min_of<W>), hi = _mm256_set1_pd(max_of<W>);
    const __m256i split = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
    ptrdiff_t i = 0;
    for (; i + 4 <= frames; i += 4) {
        __m256i v = _mm256_setr_m128i(load4<W>(p + 2 * i * W), load4<W>(p + (2 * i + 4) * W));
        v = _mm256_permutevar8x32_epi32(v, split);
        __m256d x = _mm256_add_pd(_mm256_mul_pd(to_pd(_mm256_castsi256_si128(v)), l),
                                  _mm256_mul_pd(to_pd(_mm256_extracti128_si256(v, 1)), r));
        store4<W>(out + i * W, clamp_floor4(x, lo, hi));
    }
    return i;
}

template <int W> TAMVOX_AVX2_FN ptrdiff_t tostereo(const u8 *p, ptrdiff_t n, double lf, double rf, u8 *out)
{
    const __m256d l = _mm256_set1_pd(lf), r = _mm256_set1_pd(rf);
    const __m256d lo = _mm256_set1_pd(min_of<W>), hi = _mm256_set1_pd(max_of<W>);
    ptrdiff_t i = 0;
    for (; i + 4 <= n; i += 4) {
        __m256d x = to_pd(load4<W>(p + i * W));
        __m128i a = clamp_floor4(_mm256_mul_pd(x, l), lo, hi), b = clamp_floor4(_mm256_mul_pd(x, r), lo, hi);
        store4<W>(out + 2 * i * W, _mm_unpacklo_epi32(a, b));
        store4<W>(out + (2 * i + 4) * W, _mm_unpackhi_epi32(a, b));
    }
    return i;
}

// lookup<2, 2> eight keys at a time with a gather. Each lane reads four
// bytes at table + 2 * key, so the table must be followed by two spare bytes.
TAMVOX_AVX2_FN ptrdiff_t lookup22(const u8 *p, ptrdiff_t n, const u8 *table, u8 *out)
{
    const __m256i low_halves = _mm256_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1, 0, 1, 4, 5, 8,
                                                9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1);
    ptrdiff_t i = 0;
    for (; i + 8 <= n; i += 8) {
        __m256i key = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 2 * i)));
        __m256i v = _mm256_i32gather_epi32(reinterpret_cast<const int *>(table), key, 2);
        v = _mm256_permute4x64_epi64(_mm256_shuffle_epi8(v, low_halves), 0x08);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 2 * i), _mm256_castsi256_si128(v));
    }
    return i;
}

// findfit's blocked dot products with fused multiply-adds; every product and
// partial sum is an integer below 2^53, so fusing changes no result.
TAMVOX_AVX2_FN void fit_dots(const double *a, const double *r, ptrdiff_t m, ptrdiff_t count, double *dots,
                             ptrdiff_t block)
{
    for (ptrdiff_t j0 = 0; j0 < count; j0 += block) {
        __m256d acc[8];
        for (auto &v : acc)
            v = _mm256_setzero_pd();
        for (ptrdiff_t i = 0; i < m; i++) {
            const __m256d ri = _mm256_broadcast_sd(r + i);
            const double *ai = a + j0 + i;
            for (int q = 0; q < 8; q++)
                acc[q] = _mm256_fmadd_pd(_mm256_loadu_pd(ai + 4 * q), ri, acc[q]);
        }
        for (int q = 0; q < 8; q++)
            _mm256_storeu_pd(dots + j0 + 4 * q, acc[q]);
    }
}

} // namespace tamvox::avx2v
