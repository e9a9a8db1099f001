// Overflow-checked integer arithmetic and range-checked float conversion.
// Plain C++: no interpreter types, so kernels and tests can use it directly.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <type_traits>

namespace ext
{

// Each returns false (leaving *out unspecified) when the exact result does not
// fit the type; otherwise stores it.
template <class T> constexpr bool checked_add(T a, T b, T *out) noexcept
{
    return !__builtin_add_overflow(a, b, out);
}
template <class T> constexpr bool checked_sub(T a, T b, T *out) noexcept
{
    return !__builtin_sub_overflow(a, b, out);
}
template <class T> constexpr bool checked_mul(T a, T b, T *out) noexcept
{
    return !__builtin_mul_overflow(a, b, out);
}

// Two's-complement wrapping arithmetic on signed values, done in the unsigned
// type of the same width so it is never undefined.
template <class T> constexpr T wrap_add(T a, T b) noexcept
{
    using U = std::make_unsigned_t<T>;
    return static_cast<T>(static_cast<U>(a) + static_cast<U>(b));
}
template <class T> constexpr T wrap_sub(T a, T b) noexcept
{
    using U = std::make_unsigned_t<T>;
    return static_cast<T>(static_cast<U>(a) - static_cast<U>(b));
}
template <class T> constexpr T wrap_mul(T a, T b) noexcept
{
    using U = std::make_unsigned_t<T>;
    return static_cast<T>(static_cast<U>(a) * static_cast<U>(b));
}
// Left shift of a possibly negative value, as the bit pattern would shift.
template <class T> constexpr T wrap_shl(T a, unsigned n) noexcept
{
    using U = std::make_unsigned_t<T>;
    return n >= sizeof(T) * 8 ? T(0) : static_cast<T>(static_cast<U>(a) << n);
}

// The integer part of d (truncated toward zero) when it fits I; nothing for
// NaN, infinities and values out of range, where a plain cast is undefined.
template <class I> constexpr std::optional<I> double_to_int(double d) noexcept
{
    static_assert(std::is_integral_v<I>);
    if (!(d == d))
        return std::nullopt;
    // Bounds as doubles: min is a power of two (exact); max + 1 likewise.
    constexpr double lo = static_cast<double>(std::numeric_limits<I>::min());
    constexpr double hi_excl = static_cast<double>(std::numeric_limits<I>::max() / 2 + 1) * 2.0;
    if constexpr (std::is_signed_v<I>) {
        if (!(d > lo - 1.0) && !(d >= lo))
            return std::nullopt;
    } else {
        if (!(d > -1.0))
            return std::nullopt;
    }
    if (!(d < hi_excl))
        return std::nullopt;
    return static_cast<I>(d);
}

// Like double_to_int but saturating: NaN gives `nan_value`, out-of-range
// values the nearest bound.
template <class I> constexpr I double_to_int_clamped(double d, I nan_value = 0) noexcept
{
    if (!(d == d))
        return nan_value;
    if (auto v = double_to_int<I>(d))
        return *v;
    return d < 0 ? std::numeric_limits<I>::min() : std::numeric_limits<I>::max();
}

} // namespace ext
