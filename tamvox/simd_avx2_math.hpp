// AVX2 loops for the kernels that compute per sample: scaling, G.711 coding,
// stereo mixing, rate conversion and the energy search. Each gives exactly
// the portable kernel's result (the reasoning is next to each), handles a
// leading part of the input and returns how much; the portable kernel
// finishes the rest.
#pragma once

#include "ratecv.hpp"
#include "search.hpp"
#include "simd_avx2.hpp"

namespace tamvox::avx2v
{

TAMVOX_AVX2_FN __m128i load128(const u8 *p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}

// The lowest 64-bit lane. Through memory, since the instructions that move
// 64 bits straight to a register exist on x86_64 only.
TAMVOX_AVX2_FN int64_t low_i64(__m256i v)
{
    int64_t lane = 0;
    _mm_storel_epi64(reinterpret_cast<__m128i *>(&lane), _mm256_castsi256_si128(v));
    return lane;
}

// How much of clamp_floor mul's products need, by the factor.
enum class Products {
    any,     // the full rule, NaN included
    finite,  // never NaN (a finite factor): no NaN mask
    in_int32 // |product| < 2^31 (a small factor): no clamp either, because
             // packing to the width saturates exactly as the clamp would
};

// clamp_floor4 of x * f: the product rounded once, as the scalar loop does.
template <Products P> TAMVOX_AVX2_FN __m128i scale4(__m128i v, __m256d f, __m256d lo, __m256d hi)
{
    __m256d x = _mm256_mul_pd(_mm256_cvtepi32_pd(v), f);
    if constexpr (P == Products::in_int32)
        return _mm256_cvttpd_epi32(_mm256_floor_pd(x));
    else if constexpr (P == Products::finite)
        return _mm256_cvttpd_epi32(_mm256_max_pd(_mm256_min_pd(_mm256_floor_pd(x), hi), lo));
    else
        return clamp_floor4(x, lo, hi);
}

template <int W, Products P> TAMVOX_AVX2_FN ptrdiff_t mul16(const u8 *p, ptrdiff_t n, double factor, u8 *out)
{
    const __m256d f = _mm256_set1_pd(factor), lo = _mm256_set1_pd(min_of<W>), hi = _mm256_set1_pd(max_of<W>);
    ptrdiff_t i = 0;
    for (; i + 16 <= n; i += 16) {
        __m128i r0, r1, r2, r3;
        if constexpr (W == 1) {
            r0 = scale4<P>(load4<1>(p + i), f, lo, hi);
            r1 = scale4<P>(load4<1>(p + i + 4), f, lo, hi);
            r2 = scale4<P>(load4<1>(p + i + 8), f, lo, hi);
            r3 = scale4<P>(load4<1>(p + i + 12), f, lo, hi);
        } else {
            __m256i a, b;
            if constexpr (W == 2) {
                a = _mm256_cvtepi16_epi32(load128(p + 2 * i));
                b = _mm256_cvtepi16_epi32(load128(p + 2 * i + 16));
            } else {
                a = loadv(p + 4 * i);
                b = loadv(p + 4 * i + 32);
            }
            r0 = scale4<P>(_mm256_castsi256_si128(a), f, lo, hi);
            r1 = scale4<P>(_mm256_extracti128_si256(a, 1), f, lo, hi);
            r2 = scale4<P>(_mm256_castsi256_si128(b), f, lo, hi);
            r3 = scale4<P>(_mm256_extracti128_si256(b, 1), f, lo, hi);
        }
        // Signed packing saturates to the width's range (only needed for in_int32).
        if constexpr (W == 1) {
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i),
                             _mm_packs_epi16(_mm_packs_epi32(r0, r1), _mm_packs_epi32(r2, r3)));
        } else if constexpr (W == 2) {
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 2 * i), _mm_packs_epi32(r0, r1));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 2 * i + 16), _mm_packs_epi32(r2, r3));
        } else {
            storev(out + 4 * i, _mm256_setr_m128i(r0, r1));
            storev(out + 4 * i + 32, _mm256_setr_m128i(r2, r3));
        }
    }
    return i;
}

// mul at widths 1, 2 and 4, sixteen samples per step with every group of
// four in registers (a loop over the groups would spill them at width 1).
template <int W> TAMVOX_AVX2_FN ptrdiff_t mul_wide(const u8 *p, ptrdiff_t n, double factor, u8 *out)
{
    // Products of samples below 2^(8W - 1) in magnitude stay below 2^31.
    if constexpr (W <= 2) {
        if (std::fabs(factor) < (W == 1 ? 0x1p23 : 0x1p15))
            return mul16<W, Products::in_int32>(p, n, factor, out);
    }
    if (std::isfinite(factor))
        return mul16<W, Products::finite>(p, n, factor, out);
    return mul16<W, Products::any>(p, n, factor, out);
}

// Eight samples as 32-bit values.
template <int W> TAMVOX_AVX2_FN __m256i load8(const u8 *p)
{
    static_assert(W != 3);
    if constexpr (W == 1)
        return _mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)));
    else if constexpr (W == 2)
        return _mm256_cvtepi16_epi32(load128(p));
    else
        return loadv(p);
}

// u-law without segment search. With m = |p| + 33 (33 .. 8225) held as a
// float, bits 19 and up of its pattern are the biased exponent e and the
// four leading fraction bits: for m >= 64, e - 132 is the segment and the
// fraction bits are m >> (segment + 1); for m < 64 the difference is 0 and
// the fraction bits are m >> 1, segment 0's quantisation. So the code is
// (bits >> 19) - 0x840, and m >= 8192 (no segment) gives 0x80 or more, which
// the limit to 0x7F turns into the "no segment" byte.
template <int W> TAMVOX_AVX2_FN __m256i ulaw8(__m256i s)
{
    // The 32-bit scaled value >> 18.
    __m256i p = W == 1 ? _mm256_slli_epi32(s, 6) : _mm256_srai_epi32(s, W == 2 ? 2 : 18);
    __m256i sign = _mm256_srai_epi32(p, 31);
    __m256i m = _mm256_add_epi32(_mm256_abs_epi32(p), _mm256_set1_epi32(33));
    __m256i bits = _mm256_castps_si256(_mm256_cvtepi32_ps(m));
    __m256i code = _mm256_min_epi32(_mm256_sub_epi32(_mm256_srli_epi32(bits, 19), _mm256_set1_epi32(0x840)),
                                    _mm256_set1_epi32(0x7F));
    __m256i mask = _mm256_xor_si256(_mm256_set1_epi32(0xFF), _mm256_and_si256(sign, _mm256_set1_epi32(0x80)));
    return _mm256_xor_si256(code, mask);
}

// A-law the same way. v = p, or ~p for negative p (0 .. 4095); as a float,
// (bits >> 19) - 0x830 is the code of segments 1 to 7 (v >= 32), whose
// quantisation bits are v >> segment. Segment 0 (v < 32) quantises to
// v >> 1, at most 15, which is then larger than the float term; from v = 32
// on the float term is 0x10 or more and wins.
template <int W> TAMVOX_AVX2_FN __m256i alaw8(__m256i s)
{
    // The 32-bit scaled value >> 19.
    __m256i p = W == 1 ? _mm256_slli_epi32(s, 5) : _mm256_srai_epi32(s, W == 2 ? 3 : 19);
    __m256i sign = _mm256_srai_epi32(p, 31);
    __m256i v = _mm256_xor_si256(p, sign);
    __m256i bits = _mm256_castps_si256(_mm256_cvtepi32_ps(v));
    __m256i seg_code = _mm256_sub_epi32(_mm256_srli_epi32(bits, 19), _mm256_set1_epi32(0x830));
    __m256i low_code = _mm256_min_epi32(_mm256_srli_epi32(v, 1), _mm256_set1_epi32(15));
    __m256i mask = _mm256_xor_si256(_mm256_set1_epi32(0xD5), _mm256_and_si256(sign, _mm256_set1_epi32(0x80)));
    return _mm256_xor_si256(_mm256_max_epi32(seg_code, low_code), mask);
}

// Thirty-two code bytes per step from four vectors of eight codes.
template <int W, bool Ulaw> TAMVOX_AVX2_FN ptrdiff_t g711_encode(const u8 *p, ptrdiff_t n, u8 *out)
{
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    ptrdiff_t i = 0;
    for (; i + 32 <= n; i += 32) {
        __m256i c[4];
        for (int q = 0; q < 4; q++) {
            __m256i s = load8<W>(p + (i + 8 * q) * W);
            c[q] = Ulaw ? ulaw8<W>(s) : alaw8<W>(s);
        }
        // Codes are 0..255: neither pack saturates. The packs work per
        // 128-bit half; the permutation restores sample order.
        __m256i b = _mm256_packus_epi16(_mm256_packs_epi32(c[0], c[1]), _mm256_packs_epi32(c[2], c[3]));
        storev(out + i, _mm256_permutevar8x32_epi32(b, order));
    }
    return i;
}

// tomono at widths 1 and 2: a frame is one 16- or 32-bit word, left in its
// low half, widened to a 32-bit lane; two shifts split it. Products and sum
// are rounded one at a time, never fused.
template <int W, Products P>
TAMVOX_AVX2_FN ptrdiff_t tomono8(const u8 *p, ptrdiff_t frames, double lf, double rf, u8 *out)
{
    static_assert(W == 1 || W == 2);
    constexpr int bits = 8 * W;
    const __m256d l = _mm256_set1_pd(lf), r = _mm256_set1_pd(rf);
    const __m256d lo = _mm256_set1_pd(min_of<W>), hi = _mm256_set1_pd(max_of<W>);
    auto finish = [](__m256d x, __m256d lo, __m256d hi) TAMVOX_AVX2_LAMBDA {
        if constexpr (P == Products::in_int32)
            return _mm256_cvttpd_epi32(_mm256_floor_pd(x));
        else if constexpr (P == Products::finite)
            return _mm256_cvttpd_epi32(_mm256_max_pd(_mm256_min_pd(_mm256_floor_pd(x), hi), lo));
        else
            return clamp_floor4(x, lo, hi);
    };
    ptrdiff_t i = 0;
    for (; i + 8 <= frames; i += 8) {
        __m256i x = W == 1 ? _mm256_cvtepi16_epi32(load128(p + 2 * i)) : loadv(p + 4 * i);
        __m256i left = _mm256_srai_epi32(_mm256_slli_epi32(x, 32 - bits), 32 - bits);
        __m256i right = _mm256_srai_epi32(_mm256_slli_epi32(x, 32 - 2 * bits), 32 - bits);
        __m256d a0 = _mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_castsi256_si128(left)), l);
        __m256d b0 = _mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_castsi256_si128(right)), r);
        __m256d a1 = _mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_extracti128_si256(left, 1)), l);
        __m256d b1 = _mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_extracti128_si256(right, 1)), r);
        __m128i y0 = finish(_mm256_add_pd(a0, b0), lo, hi);
        __m128i y1 = finish(_mm256_add_pd(a1, b1), lo, hi);
        // Signed packing saturates to the width's range (only needed for in_int32).
        __m128i y = _mm_packs_epi32(y0, y1);
        if constexpr (W == 1)
            _mm_storel_epi64(reinterpret_cast<__m128i *>(out + i), _mm_packs_epi16(y, y));
        else
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 2 * i), y);
    }
    return i;
}

template <int W> TAMVOX_AVX2_FN ptrdiff_t tomono_split(const u8 *p, ptrdiff_t frames, double lf, double rf, u8 *out)
{
    // |l * lf + r * rf| stays below 2^31 when the factors' magnitudes add up
    // to less than 2^(31 - 8W), with room to spare for rounding; below 2^1000
    // each no product overflows, so the sum is never NaN.
    const double sum = std::fabs(lf) + std::fabs(rf);
    if (sum < (W == 1 ? 0x1p22 : 0x1p14))
        return tomono8<W, Products::in_int32>(p, frames, lf, rf, out);
    if (std::fabs(lf) < 0x1p1000 && std::fabs(rf) < 0x1p1000)
        return tomono8<W, Products::finite>(p, frames, lf, rf, out);
    return tomono8<W, Products::any>(p, frames, lf, rf, out);
}

// Mono width-2 rate conversion in closed form, for pass-through weights and
// a phase d < 0 on entry (every state ratecv returns, and None). With the
// history as frames -2 (prev) and -1 (cur) before the input, output j is
// made after c_j = ceil((j * inrate - d) / outrate) input frames, from frames
// c_j - 2 and c_j - 1 at phase d_j = d + c_j * outrate - j * inrate; c_j
// grows by inrate and d_j repeats every outrate outputs, so one period of
// both is tabulated per call. The scalar loop's value is
// trunc(65536 * q) >> 16 with q = (P * d + C * (outrate - d)) / outrate for
// 16-bit P and C; for outrate <= 65536 that is floor(q) (the fractional part
// of q is at most 1 - 1 / outrate, so 65536 times it never rounds up to a
// whole step). Outputs that read the history, which a state may set to any
// 32-bit value, go through the scalar formula.
inline constexpr int32_t ratecv_period_max = 2048;

// Eight outputs from their (prev, cur) pairs (prev in the low half of each
// 32-bit word) and weights (d, R - d) alike, inv being 1 / R.
TAMVOX_AVX2_FN void ratecv_store8(__m256i pairs, __m256i w, __m256d inv, u8 *out)
{
    const __m256d nudge = _mm256_set1_pd(0x1p-20);
    __m256i num = _mm256_madd_epi16(pairs, w); // |num| <= 32768 * R: exact
    // floor(num / R) from num times 1/R: the product is within 2^-37 of
    // num / R (|num / R| <= 32768), and a quotient that is not a whole
    // number is at least 1/R >= 2^-11 from one, so adding 2^-20 before
    // the floor gives the exact result either way.
    __m256d q0 = _mm256_add_pd(_mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_castsi256_si128(num)), inv), nudge);
    __m256d q1 = _mm256_add_pd(_mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_extracti128_si256(num, 1)), inv), nudge);
    __m128i y0 = _mm256_cvttpd_epi32(_mm256_floor_pd(q0)), y1 = _mm256_cvttpd_epi32(_mm256_floor_pd(q1));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm_packs_epi32(y0, y1));
}

TAMVOX_AVX2_FN ptrdiff_t ratecv_mono16(const u8 *in, ptrdiff_t frames, int32_t inrate, int32_t outrate, int32_t *d_io,
                                       int32_t *prev, int32_t *cur, u8 *out)
{
    const int64_t I = inrate, R = outrate, d0 = *d_io;
    // Outputs j with c_j <= frames: j * I <= frames * R + d0.
    const int64_t reach = int64_t(frames) * R + d0;
    const int64_t total = reach < 0 ? 0 : reach / I + 1;
    auto ceil_div = [](int64_t a, int64_t b) { return a >= 0 ? (a + b - 1) / b : -((-a) / b); };
    auto frame = [&](int64_t k) -> int64_t { // scaled value of virtual frame k >= -2
        if (k == -2)
            return prev[0];
        if (k == -1)
            return cur[0];
        return load_scaled<2>(in + 2 * k);
    };
    auto scalar = [&](int64_t j) {
        int64_t c = ceil_div(j * I - d0, R), d = d0 + c * R - j * I;
        int64_t v = trunc_div(frame(c - 2) * d + frame(c - 1) * (R - d), R);
        v = v > INT32_MAX ? INT32_MAX : v;
        v = v < INT32_MIN ? INT32_MIN : v;
        store_scaled<2>(out + 2 * j, static_cast<int32_t>(v));
    };

    // One period plus a vector's worth: lane t reads frames base + first[t]
    // and the one after, with weights (d_t, R - d_t) as a pair of int16.
    alignas(32) int32_t first[ratecv_period_max + 8];
    alignas(32) int32_t weights[ratecv_period_max + 8];
    for (int64_t t = 0; t < R + 8; t++) {
        int64_t c = ceil_div(t * I - d0, R), d = d0 + c * R - t * I;
        first[t] = static_cast<int32_t>(c - 2);
        weights[t] = static_cast<int32_t>(uint32_t(d) | uint32_t(R - d) << 16);
    }
    // The earliest outputs may read the history.
    int64_t j = 0;
    while (j < total && ceil_div(j * I - d0, R) < 2)
        scalar(j++);
    // first[] holds offsets from c for the table's own period: output
    // j = q * R + t reads from frame q * I + first[t].
    int64_t q = j / R, t = j % R;
    const u8 *base = in + 2 * q * I;
    const __m256d inv = _mm256_set1_pd(1.0 / double(R));
    // When eight outputs in a row never read more than 17 frames, one load
    // of 16 frames and one of the 16 after the first make every pair a
    // 32-bit word of one or the other, chosen by a permutation: no gather.
    bool near = true;
    for (int64_t u = 0; u < R && near; u++)
        near = first[u + 7] - first[u] <= 15;
    const u8 *end = in + 2 * frames;
    if (near) {
        for (; j + 8 <= total; j += 8) {
            const u8 *src = base + 2 * int64_t(first[t]);
            if (src + 34 > end)
                break;
            __m256i idx = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(first + t));
            __m256i rel = _mm256_sub_epi32(idx, _mm256_set1_epi32(first[t]));
            __m256i half = _mm256_srli_epi32(rel, 1);
            __m256 even = _mm256_castsi256_ps(_mm256_permutevar8x32_epi32(loadv(src), half));
            __m256 odd = _mm256_castsi256_ps(_mm256_permutevar8x32_epi32(loadv(src + 2), half));
            __m256i pairs =
                _mm256_castps_si256(_mm256_blendv_ps(even, odd, _mm256_castsi256_ps(_mm256_slli_epi32(rel, 31))));
            ratecv_store8(pairs, _mm256_loadu_si256(reinterpret_cast<const __m256i *>(weights + t)), inv, out + 2 * j);
            for (t += 8; t >= R; t -= R)
                base += 2 * I;
        }
    }
    for (; j + 8 <= total; j += 8) {
        __m256i idx = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(first + t));
        // (prev, cur) as one 32-bit word: prev in the low half.
        __m256i pairs = _mm256_i32gather_epi32(reinterpret_cast<const int *>(base), idx, 2);
        ratecv_store8(pairs, _mm256_loadu_si256(reinterpret_cast<const __m256i *>(weights + t)), inv, out + 2 * j);
        // A period shorter than a vector is crossed more than once.
        for (t += 8; t >= R; t -= R)
            base += 2 * I;
    }
    while (j < total)
        scalar(j++);
    // The scalar loop ends with every frame read, having emitted `total`.
    const int64_t d_end = d0 + int64_t(frames) * R - total * I;
    if (frames >= 2) {
        prev[0] = load_scaled<2>(in + 2 * (frames - 2));
        cur[0] = load_scaled<2>(in + 2 * (frames - 1));
    } else if (frames == 1) {
        prev[0] = cur[0];
        cur[0] = load_scaled<2>(in);
    }
    *d_io = static_cast<int32_t>(d_end);
    return 2 * total;
}

// Eight squares of 16-bit samples as 32-bit values: zero-extended halves
// make vpmaddwd add s * s and 0 * 0.
TAMVOX_AVX2_FN __m256i squares8(const u8 *p)
{
    __m256i x = _mm256_cvtepu16_epi32(load128(p));
    return _mm256_madd_epi16(x, x);
}

// Inclusive prefix sums of four 64-bit lanes.
TAMVOX_AVX2_FN __m256i prefix4(__m256i x)
{
    const __m256i zero = _mm256_setzero_si256();
    x = _mm256_add_epi64(x, _mm256_blend_epi32(_mm256_permute4x64_epi64(x, 0x90), zero, 0x03));
    return _mm256_add_epi64(x, _mm256_blend_epi32(_mm256_permute4x64_epi64(x, 0x40), zero, 0x0F));
}

// findmax from offset 1: eight window energies per step from their deltas
// a[j + len - 1]^2 - a[j - 1]^2 and prefix sums, all exact in 64 bits. A
// step whose energies hold one above the best so far is redone one offset
// at a time, so the first offset of a tie wins as in the scalar loop.
TAMVOX_AVX2_FN ptrdiff_t find_max(const u8 *a, ptrdiff_t n, ptrdiff_t len, k::MaxScan *scan)
{
    int64_t best = scan->best;
    ptrdiff_t best_j = scan->best_j;
    __m256i e = _mm256_set1_epi64x(scan->energy), top = _mm256_set1_epi64x(best);
    ptrdiff_t j = 1;
    for (; j + 7 <= n - len; j += 8) {
        __m256i delta = _mm256_sub_epi32(squares8(a + 2 * (j + len - 1)), squares8(a + 2 * (j - 1)));
        __m256i lo = prefix4(_mm256_cvtepi32_epi64(_mm256_castsi256_si128(delta)));
        __m256i hi = prefix4(_mm256_cvtepi32_epi64(_mm256_extracti128_si256(delta, 1)));
        lo = _mm256_add_epi64(lo, e);
        hi = _mm256_add_epi64(hi, _mm256_permute4x64_epi64(lo, 0xFF));
        __m256i above = _mm256_or_si256(_mm256_cmpgt_epi64(lo, top), _mm256_cmpgt_epi64(hi, top));
        if (!_mm256_testz_si256(above, above)) {
            int64_t en = low_i64(e);
            for (ptrdiff_t i = j; i < j + 8; i++) {
                en += k::s16(a, i + len - 1) * k::s16(a, i + len - 1) - k::s16(a, i - 1) * k::s16(a, i - 1);
                if (en > best) {
                    best = en;
                    best_j = i;
                }
            }
            top = _mm256_set1_epi64x(best);
        }
        e = _mm256_permute4x64_epi64(hi, 0xFF);
    }
    *scan = {low_i64(e), best, best_j};
    return j;
}

} // namespace tamvox::avx2v
