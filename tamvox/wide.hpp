// Exact totals over a whole fragment. With 64-bit sizes a fragment may hold
// up to 2^63 bytes, so sums, dot products and sums of squares take 128 bits.
// With 32-bit sizes (i386, which has no 128-bit integer type) a fragment holds
// below 2^31 bytes: 64 bits hold every total there but the sum of squares of
// 3- and 4-byte samples (up to 2^91), which is kept as two 64-bit halves.
#pragma once

#include <algorithm>
#include <compare>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace tamvox
{

// Samples per 64-bit partial sum: 2^32 keep it exact; 32-bit sizes never get there.
inline constexpr ptrdiff_t total_block = static_cast<ptrdiff_t>(std::min<int64_t>(int64_t(1) << 32, PTRDIFF_MAX));

#if defined(__SIZEOF_INT128__)

using Sum = __int128;              // sums of samples, dot products
using PeakSum = unsigned __int128; // sums of peak-to-peak distances
using SquareSum = unsigned __int128;

inline SquareSum mul_wide(uint64_t a, uint64_t b) noexcept
{
    return static_cast<SquareSum>(a) * b;
}

// hi * 2^32 + lo
inline SquareSum halves_sum(uint64_t hi, uint64_t lo) noexcept
{
    return (static_cast<SquareSum>(hi) << 32) + lo;
}

#else

static_assert(PTRDIFF_MAX <= INT32_MAX, "sizes wider than 32 bits need a 128-bit integer type");

using Sum = int64_t;      // 2^29 samples of 2^31 at most: under 2^61
using PeakSum = uint64_t; // 2^29 distances below 2^32 at most: under 2^61

class SquareSum
{
  public:
    constexpr SquareSum(uint64_t v = 0) noexcept : lo_(v) {}
    constexpr SquareSum(uint64_t hi, uint64_t lo) noexcept : hi_(hi), lo_(lo) {}

    constexpr SquareSum &operator+=(SquareSum o) noexcept
    {
        lo_ += o.lo_;
        hi_ += o.hi_ + (lo_ < o.lo_);
        return *this;
    }
    friend constexpr SquareSum operator+(SquareSum a, SquareSum b) noexcept { return a += b; }
    // Declared high half first, so the default ordering is the numeric one.
    friend constexpr auto operator<=>(const SquareSum &, const SquareSum &) noexcept = default;
    explicit operator double() const noexcept
    {
        return std::ldexp(static_cast<double>(hi_), 64) + static_cast<double>(lo_);
    }

  private:
    uint64_t hi_ = 0;
    uint64_t lo_ = 0;
};

inline SquareSum mul_wide(uint64_t a, uint64_t b) noexcept
{
    const uint64_t a0 = a & 0xFFFFFFFF, a1 = a >> 32, b0 = b & 0xFFFFFFFF, b1 = b >> 32;
    const uint64_t mid1 = a1 * b0, mid2 = a0 * b1;
    return SquareSum(a1 * b1, a0 * b0) + SquareSum(mid1 >> 32, mid1 << 32) + SquareSum(mid2 >> 32, mid2 << 32);
}

inline SquareSum halves_sum(uint64_t hi, uint64_t lo) noexcept
{
    return SquareSum(hi >> 32, hi << 32) + lo;
}

#endif

} // namespace tamvox
