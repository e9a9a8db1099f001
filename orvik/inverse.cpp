// Inverse circular and hyperbolic functions. The sides of each branch cut are
// told apart by signed zeros: every square root and atan2 below sees the sign
// of a zero part, so no branch needs a test of its own.
#include "core.hpp"

#include <cerrno>
#include <cmath>

namespace orvik
{

namespace
{

bool both_finite(Complex z) noexcept
{
    return std::isfinite(z.real) && std::isfinite(z.imag);
}

bool is_huge(Complex z) noexcept
{
    return std::fabs(z.real) > HUGE_LIMIT || std::fabs(z.imag) > HUGE_LIMIT;
}

// log|z| + ln 2 + ln 2 for |z| near the top of the range: halving first keeps
// hypot finite. Here log|2z| is the whole answer to within rounding.
double log_twice_modulus(Complex z) noexcept
{
    return std::log(std::hypot(z.real / 2.0, z.imag / 2.0)) + TWO_LN2;
}

} // namespace

Complex acos_core(Complex z) noexcept
{
    const double x = z.real, y = z.imag;
    if (!both_finite(z))
        return special_value(acos_table, z);
    Complex r;
    if (is_huge(z)) {
        r.real = std::atan2(std::fabs(y), x);
        r.imag = std::copysign(log_twice_modulus(z), -y);
    } else {
        const Complex s1 = sqrt_core({1.0 - x, -y});
        const Complex s2 = sqrt_core({1.0 + x, y});
        r.real = 2.0 * std::atan2(s1.real, s2.real);
        r.imag = std::asinh(s2.real * s1.imag - s1.real * s2.imag);
    }
    errno = 0;
    return r;
}

Complex acosh_core(Complex z) noexcept
{
    const double x = z.real, y = z.imag;
    if (!both_finite(z))
        return special_value(acosh_table, z);
    Complex r;
    if (is_huge(z)) {
        r.real = log_twice_modulus(z);
        r.imag = std::atan2(y, x);
    } else {
        const Complex s1 = sqrt_core({x - 1.0, y});
        const Complex s2 = sqrt_core({x + 1.0, y});
        r.real = std::asinh(s1.real * s2.real + s1.imag * s2.imag);
        r.imag = 2.0 * std::atan2(s1.imag, s2.real);
    }
    errno = 0;
    return r;
}

Complex asinh_core(Complex z) noexcept
{
    const double x = z.real, y = z.imag;
    if (!both_finite(z))
        return special_value(asinh_table, z);
    Complex r;
    if (is_huge(z)) {
        r.real = std::copysign(log_twice_modulus(z), x);
        r.imag = std::atan2(y, std::fabs(x));
    } else {
        const Complex s1 = sqrt_core({1.0 + y, -x});
        const Complex s2 = sqrt_core({1.0 - y, x});
        r.real = std::asinh(s1.real * s2.imag - s2.real * s1.imag);
        r.imag = std::atan2(y, s1.real * s2.real - s1.imag * s2.imag);
    }
    errno = 0;
    return r;
}

Complex atanh_core(Complex z) noexcept
{
    if (!both_finite(z))
        return special_value(atanh_table, z);
    // atanh is odd: work in the right half-plane only (-0 stays here, so the
    // recursion is one level deep at most).
    if (z.real < 0.0) {
        const Complex r = atanh_core({-z.real, -z.imag});
        return {-r.real, -r.imag};
    }
    const double x = z.real, y = z.imag;
    const double ay = std::fabs(y);
    Complex r;
    if (x > SQRT_HUGE_LIMIT || ay > SQRT_HUGE_LIMIT) {
        // atanh z ~ 1/z +- i pi/2; dividing by h twice never overflows.
        const double h = std::hypot(x / 2.0, y / 2.0);
        r = {x / 4.0 / h / h, std::copysign(PI_2, y)};
        errno = 0;
    } else if (x == 1.0 && ay < SQRT_MIN_NORMAL) {
        if (ay == 0.0) {
            r = {INF, y};
            errno = EDOM;
        } else {
            // ay*ay would underflow in the general formula.
            r.real = -std::log(std::sqrt(ay) / std::sqrt(std::hypot(ay, 2.0)));
            r.imag = std::copysign(std::atan2(2.0, -ay) / 2.0, y);
            errno = 0;
        }
    } else {
        r.real = log1p_real(4.0 * x / ((1.0 - x) * (1.0 - x) + ay * ay)) / 4.0;
        r.imag = -std::atan2(-2.0 * y, (1.0 - x) * (1.0 + x) - ay * ay) / 2.0;
        errno = 0;
    }
    return r;
}

Complex asin_core(Complex z) noexcept
{
    const Complex s = asinh_core({-z.imag, z.real});
    return {s.imag, -s.real};
}

Complex atan_core(Complex z) noexcept
{
    const Complex s = atanh_core({-z.imag, z.real});
    return {s.imag, -s.real};
}

} // namespace orvik
