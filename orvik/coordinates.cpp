// Argument and polar-to-rectangular conversion, and the real helper
// functions that other native code may call.
#include "core.hpp"

#include <cerrno>
#include <cmath>

namespace orvik
{

namespace
{
constexpr double TWO_POW_28 = 268435456.0;
constexpr double TWO_POW_MINUS_28 = 3.725290298461914e-09;
} // namespace

// atan2 with the special cases settled here rather than by the maths
// library, whose treatment of infinities and NaNs varies between systems.
double safe_atan2(Complex z) noexcept
{
    const double x = z.real, y = z.imag;
    if (std::isnan(x) || std::isnan(y))
        return NAN_VALUE;
    if (std::isinf(y)) {
        if (std::isinf(x))
            return std::copysign(std::signbit(x) ? PI_3_4 : PI_4, y);
        return std::copysign(PI_2, y);
    }
    if (std::isinf(x) || y == 0.0)
        return std::copysign(std::signbit(x) ? PI : 0.0, y);
    return std::atan2(y, x);
}

Complex rect_core(double r, double phi) noexcept
{
    Complex z;
    if (!std::isfinite(r) || !std::isfinite(phi)) {
        if (std::isinf(r) && std::isfinite(phi) && phi != 0.0) {
            double s, c;
            ::sincos(phi, &s, &c);
            if (r > 0.0)
                z = {std::copysign(INF, c), std::copysign(INF, s)};
            else
                z = {-std::copysign(INF, c), -std::copysign(INF, s)};
        } else {
            z = rect_table[classify_component(r)][classify_component(phi)];
        }
        errno = (r != 0.0 && !std::isnan(r) && std::isinf(phi)) ? EDOM : 0;
        return z;
    }
    if (phi == 0.0) {
        // r * phi gives the zero the sign of the product of the signs.
        z = {r, r * phi};
    } else {
        double s, c;
        ::sincos(phi, &s, &c);
        z = {r * c, r * s};
    }
    errno = 0;
    return z;
}

double acosh_real(double x) noexcept
{
    if (std::isnan(x))
        return x + x;
    if (x < 1.0) {
        errno = EDOM;
        return NAN_VALUE;
    }
    if (x >= TWO_POW_28) {
        if (std::isinf(x))
            return x + x;
        return std::log(x) + LN2; // x*x - 1 == x*x here
    }
    if (x == 1.0)
        return 0.0;
    if (x > 2.0)
        return std::log(2.0 * x - 1.0 / (x + std::sqrt(x * x - 1.0)));
    const double t = x - 1.0;
    return log1p_real(t + std::sqrt(2.0 * t + t * t));
}

double asinh_real(double x) noexcept
{
    if (!std::isfinite(x))
        return x + x;
    const double ax = std::fabs(x);
    if (ax < TWO_POW_MINUS_28)
        return x;
    double w;
    if (ax > TWO_POW_28) {
        w = std::log(ax) + LN2;
    } else if (ax > 2.0) {
        w = std::log(2.0 * ax + 1.0 / (std::sqrt(x * x + 1.0) + ax));
    } else {
        const double t = x * x;
        w = log1p_real(ax + t / (1.0 + std::sqrt(1.0 + t)));
    }
    return std::copysign(w, x);
}

double atanh_real(double x) noexcept
{
    if (std::isnan(x))
        return x + x;
    const double ax = std::fabs(x);
    if (ax >= 1.0) {
        errno = EDOM;
        return NAN_VALUE;
    }
    if (ax < TWO_POW_MINUS_28)
        return x;
    double t;
    if (ax < 0.5) {
        t = ax + ax;
        t = 0.5 * log1p_real(t + t * ax / (1.0 - ax));
    } else {
        t = 0.5 * log1p_real((ax + ax) / (1.0 - ax));
    }
    return std::copysign(t, x);
}

double expm1_real(double x) noexcept
{
    if (std::fabs(x) < 0.7) {
        // Kahan: the rounding error of u cancels between u - 1 and log(u).
        const double u = std::exp(x);
        if (u == 1.0)
            return x;
        return (u - 1.0) * x / std::log(u);
    }
    return std::exp(x) - 1.0;
}

} // namespace orvik
