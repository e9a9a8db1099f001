// Sample access shared by every tamvox kernel: plain C++, no interpreter types.
// Kernels are templates on the sample width W (1..4), so each width gets its
// own loop and nothing switches on the width per sample.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "wide.hpp"

#define TAMVOX_INLINE [[gnu::always_inline]] inline

namespace tamvox
{

using u8 = unsigned char;

template <int W> inline constexpr int32_t max_of = W == 4 ? INT32_MAX : (int32_t(1) << (8 * W - 1)) - 1;
template <int W> inline constexpr int32_t min_of = W == 4 ? INT32_MIN : -(int32_t(1) << (8 * W - 1));
// Bits between a raw sample and its 32-bit scaled form.
template <int W> inline constexpr int shift_of = 32 - 8 * W;

// The raw value of the sample at p. Widths 2 and 4 use the host's byte order;
// width 3 is always least significant byte first.
template <int W> TAMVOX_INLINE int32_t load(const u8 *p) noexcept
{
    static_assert(W >= 1 && W <= 4);
    if constexpr (W == 1) {
        return static_cast<int8_t>(p[0]);
    } else if constexpr (W == 2) {
        int16_t v;
        std::memcpy(&v, p, 2);
        return v;
    } else if constexpr (W == 3) {
        return int32_t(static_cast<int8_t>(p[2])) * 65536 + int32_t(p[1]) * 256 + int32_t(p[0]);
    } else {
        int32_t v;
        std::memcpy(&v, p, 4);
        return v;
    }
}

// Stores the low W bytes of v.
template <int W> TAMVOX_INLINE void store(u8 *p, int32_t v) noexcept
{
    static_assert(W >= 1 && W <= 4);
    if constexpr (W == 1) {
        p[0] = static_cast<u8>(v);
    } else if constexpr (W == 2) {
        auto s = static_cast<int16_t>(v);
        std::memcpy(p, &s, 2);
    } else if constexpr (W == 3) {
        p[0] = static_cast<u8>(v);
        p[1] = static_cast<u8>(v >> 8);
        p[2] = static_cast<u8>(v >> 16);
    } else {
        std::memcpy(p, &v, 4);
    }
}

// The sample stretched over the full 32-bit range. The shift is done on the
// unsigned pattern: shifting a negative value left is not defined before C++20.
template <int W> TAMVOX_INLINE int32_t load_scaled(const u8 *p) noexcept
{
    return static_cast<int32_t>(static_cast<uint32_t>(load<W>(p)) << shift_of<W>);
}

// Writes a 32-bit scaled value back at width W, dropping low-order bits
// (an arithmetic shift, so it rounds toward minus infinity).
template <int W> TAMVOX_INLINE void store_scaled(u8 *p, int32_t v) noexcept
{
    store<W>(p, v >> shift_of<W>);
}

// floor(x) limited to the sample range of W. A NaN (a NaN factor, or 0 * inf)
// carries no amplitude, so it becomes silence (0) rather than a full-scale
// click; converting NaN to an integer directly would be undefined.
template <int W> TAMVOX_INLINE int32_t clamp_floor(double x) noexcept
{
    double y = std::floor(x);
    y = y > double(max_of<W>) ? double(max_of<W>) : y;
    y = y < double(min_of<W>) ? double(min_of<W>) : y;
    y = x == x ? y : 0.0;
    return static_cast<int32_t>(y);
}

} // namespace tamvox
