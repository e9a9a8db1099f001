// Statistics and sample-wise arithmetic on linear fragments. Each kernel is
// written as a plain loop that the compiler can vectorise; dispatch.cpp
// instantiates them once for baseline x86-64 and once for AVX2.
#pragma once

#include "samples.hpp"

#include <bit>

namespace tamvox::k
{

template <int W> TAMVOX_INLINE uint32_t max_abs(const u8 *p, ptrdiff_t n) noexcept
{
    uint32_t best = 0;
    for (ptrdiff_t i = 0; i < n; i++) {
        int32_t s = load<W>(p + i * W);
        // Unsigned negation, so that -2147483648 has magnitude 2147483648.
        uint32_t m = s < 0 ? 0u - static_cast<uint32_t>(s) : static_cast<uint32_t>(s);
        best = m > best ? m : best;
    }
    return best;
}

template <int W> TAMVOX_INLINE void minmax(const u8 *p, ptrdiff_t n, int32_t *lo_out, int32_t *hi_out) noexcept
{
    int32_t lo = INT32_MAX, hi = INT32_MIN;
    for (ptrdiff_t i = 0; i < n; i++) {
        int32_t s = load<W>(p + i * W);
        lo = s < lo ? s : lo;
        hi = s > hi ? s : hi;
    }
    *lo_out = lo;
    *hi_out = hi;
}

// Exact sum of the samples; n at most 2^32 so the 64-bit total cannot overflow.
template <int W> TAMVOX_INLINE int64_t sum_block(const u8 *p, ptrdiff_t n) noexcept
{
    int64_t total = 0;
    for (ptrdiff_t i = 0; i < n; i++)
        total += load<W>(p + i * W);
    return total;
}

// Exact sum of squares. Up to width 2 a square is below 2^31 and a 64-bit
// total holds 2^32 of them; wider squares need a 128-bit total.
template <int W> TAMVOX_INLINE SquareSum sumsq_block(const u8 *p, ptrdiff_t n) noexcept
{
    if constexpr (W <= 2) {
        uint64_t total = 0;
        for (ptrdiff_t i = 0; i < n; i++) {
            int32_t s = load<W>(p + i * W);
            total += static_cast<uint32_t>(s * s);
        }
        return total;
    } else {
        SquareSum total = 0;
        for (ptrdiff_t i = 0; i < n; i++) {
            int64_t s = load<W>(p + i * W);
            total += static_cast<uint64_t>(s * s);
        }
        return total;
    }
}

// Number of sign changes between neighbours (zero counts as positive).
template <int W> TAMVOX_INLINE ptrdiff_t sign_changes(const u8 *p, ptrdiff_t n) noexcept
{
    ptrdiff_t count = 0;
    for (ptrdiff_t i = 1; i < n; i++)
        count += (load<W>(p + i * W) < 0) != (load<W>(p + (i - 1) * W) < 0);
    return count;
}

struct Peaks {
    uint32_t max = 0;
    PeakSum sum = 0;
    ptrdiff_t count = 0;
};

// Peak-to-peak walk: every reversal of the slope marks an extreme, and each
// extreme after the first yields the distance to the one before it.
template <int W> TAMVOX_INLINE Peaks peaks(const u8 *p, ptrdiff_t n) noexcept
{
    Peaks r;
    if (n <= 1)
        return r;
    int32_t prev = load<W>(p);
    int direction = 2; // neither rising (0) nor falling (1) yet
    bool have_extreme = false;
    int32_t extreme = 0;
    for (ptrdiff_t i = 1; i < n; i++) {
        int32_t v = load<W>(p + i * W);
        if (v == prev)
            continue;
        int d = v < prev ? 1 : 0;
        if (direction != 2 && d != direction) {
            if (have_extreme) {
                uint32_t a = static_cast<uint32_t>(prev), b = static_cast<uint32_t>(extreme);
                uint32_t diff = prev > extreme ? a - b : b - a;
                r.max = diff > r.max ? diff : r.max;
                r.sum += diff;
                r.count++;
            }
            extreme = prev;
            have_extreme = true;
        }
        prev = v;
        direction = d;
    }
    return r;
}

template <int W> TAMVOX_INLINE void mul(const u8 *p, ptrdiff_t n, double factor, u8 *out) noexcept
{
    for (ptrdiff_t i = 0; i < n; i++)
        store<W>(out + i * W, clamp_floor<W>(static_cast<double>(load<W>(p + i * W)) * factor));
}

// out item i (O bytes) = table item k, k being the K bytes of input item i
// read low byte first. A per-call table of results by input value replaces
// the arithmetic when the fragment holds many more items than there are
// values (mul at widths 1 and 2, tomono at width 1).
template <int K, int O> TAMVOX_INLINE void lookup(const u8 *p, ptrdiff_t n, const u8 *table, u8 *out) noexcept
{
    static_assert(K == 1 || K == 2);
    for (ptrdiff_t i = 0; i < n; i++) {
        uint32_t key;
        if constexpr (K == 1) {
            key = p[i];
        } else if constexpr (std::endian::native == std::endian::little) {
            uint16_t k16;
            std::memcpy(&k16, p + 2 * i, 2);
            key = k16;
        } else {
            key = uint32_t(p[2 * i]) | uint32_t(p[2 * i + 1]) << 8;
        }
        // Kept scalar: a vectorised lookup needs element-by-element inserts.
        asm("" : "+r"(key));
        std::memcpy(out + i * O, table + key * O, O);
    }
}

template <int W> TAMVOX_INLINE void tomono(const u8 *p, ptrdiff_t frames, double lf, double rf, u8 *out) noexcept
{
    for (ptrdiff_t i = 0; i < frames; i++) {
        double l = load<W>(p + 2 * i * W), r = load<W>(p + (2 * i + 1) * W);
        store<W>(out + i * W, clamp_floor<W>(l * lf + r * rf));
    }
}

template <int W> TAMVOX_INLINE void tostereo(const u8 *p, ptrdiff_t n, double lf, double rf, u8 *out) noexcept
{
    for (ptrdiff_t i = 0; i < n; i++) {
        double s = load<W>(p + i * W);
        store<W>(out + 2 * i * W, clamp_floor<W>(s * lf));
        store<W>(out + (2 * i + 1) * W, clamp_floor<W>(s * rf));
    }
}

// Saturating sum. A 64-bit sum of two 32-bit samples is exact, so width 4
// saturates the same way the real-valued sum would.
template <int W> TAMVOX_INLINE void add(const u8 *a, const u8 *b, ptrdiff_t n, u8 *out) noexcept
{
    for (ptrdiff_t i = 0; i < n; i++) {
        if constexpr (W == 4) {
            int64_t s = int64_t(load<W>(a + i * W)) + load<W>(b + i * W);
            s = s > INT32_MAX ? INT32_MAX : s;
            s = s < INT32_MIN ? INT32_MIN : s;
            store<W>(out + i * W, static_cast<int32_t>(s));
        } else {
            int32_t s = load<W>(a + i * W) + load<W>(b + i * W);
            s = s > max_of<W> ? max_of<W> : s;
            s = s < min_of<W> ? min_of<W> : s;
            store<W>(out + i * W, s);
        }
    }
}

// Wraps modulo 2^(8W): the sum is formed on unsigned values, where overflow
// is defined, and only its low W bytes are stored.
template <int W> TAMVOX_INLINE void bias(const u8 *p, ptrdiff_t n, int32_t bias, u8 *out) noexcept
{
    const uint32_t b = static_cast<uint32_t>(bias);
    for (ptrdiff_t i = 0; i < n; i++)
        store<W>(out + i * W, static_cast<int32_t>(static_cast<uint32_t>(load<W>(p + i * W)) + b));
}

template <int W> TAMVOX_INLINE void reverse(const u8 *p, ptrdiff_t n, u8 *out) noexcept
{
    for (ptrdiff_t i = 0; i < n; i++) {
        if constexpr (W == 3) {
            std::memcpy(out + i * W, p + (n - 1 - i) * W, 3);
        } else {
            store<W>(out + i * W, load<W>(p + (n - 1 - i) * W));
        }
    }
}

template <int W> TAMVOX_INLINE void byteswap(const u8 *p, ptrdiff_t n, u8 *out) noexcept
{
    if constexpr (W == 1) {
        std::memcpy(out, p, static_cast<size_t>(n));
    } else if constexpr (W == 2) {
        for (ptrdiff_t i = 0; i < n; i++) {
            uint16_t v;
            std::memcpy(&v, p + 2 * i, 2);
            v = __builtin_bswap16(v);
            std::memcpy(out + 2 * i, &v, 2);
        }
    } else if constexpr (W == 3) {
        for (ptrdiff_t i = 0; i < n; i++) {
            out[3 * i] = p[3 * i + 2];
            out[3 * i + 1] = p[3 * i + 1];
            out[3 * i + 2] = p[3 * i];
        }
    } else {
        for (ptrdiff_t i = 0; i < n; i++) {
            uint32_t v;
            std::memcpy(&v, p + 4 * i, 4);
            v = __builtin_bswap32(v);
            std::memcpy(out + 4 * i, &v, 4);
        }
    }
}

// Through the 32-bit scaled value: widening appends zero bits, narrowing drops
// the low-order bits.
template <int W, int NW> TAMVOX_INLINE void lin2lin(const u8 *p, ptrdiff_t n, u8 *out) noexcept
{
    if constexpr (W == NW) {
        std::memcpy(out, p, static_cast<size_t>(n) * W);
    } else {
        for (ptrdiff_t i = 0; i < n; i++)
            store_scaled<NW>(out + i * NW, load_scaled<W>(p + i * W));
    }
}

} // namespace tamvox::k
