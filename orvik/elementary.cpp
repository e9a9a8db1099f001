// Square root, exponential, logarithms and the hyperbolic functions, with the
// circular ones obtained from the hyperbolic ones by rotating the argument.
// Every routine ends by assigning errno itself, so whatever the maths library
// left there on the way (an underflow, say) never reaches the caller.
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

const Complex &cell(const SpecialTable &table, Complex z) noexcept
{
    return table[classify_component(z.real)][classify_component(z.imag)];
}

// The argument z*i of the hyperbolic routine that gives a circular one.
Complex rotate(Complex z) noexcept
{
    return {-z.imag, z.real};
}

// -i*s: back from the rotated hyperbolic result.
Complex unrotate(Complex s) noexcept
{
    return {s.imag, -s.real};
}

} // namespace

double log1p_real(double x) noexcept
{
    // log1p(-0.0) is -0.0 in glibc too, but the sign of a zero must survive
    // whatever library this is linked with.
    if (x == 0.0)
        return x;
    return std::log1p(x);
}

Complex sqrt_core(Complex z) noexcept
{
    const double x = z.real, y = z.imag;
    if (!both_finite(z))
        return special_value(sqrt_table, z);
    if (x == 0.0 && y == 0.0)
        return {0.0, y};

    const double ax = std::fabs(x), ay = std::fabs(y);
    double s;
    if (ax < MIN_NORMAL && ay < MIN_NORMAL && (ax > 0.0 || ay > 0.0)) {
        // Subnormal parts would lose bits inside hypot: scale up by 2^53
        // and take back half of that after the square root.
        const double a = std::ldexp(ax, SUBNORMAL_SCALE_UP);
        s = std::ldexp(std::sqrt(a + std::hypot(a, std::ldexp(ay, SUBNORMAL_SCALE_UP))), SUBNORMAL_SCALE_DOWN);
    } else {
        // Dividing by 8 keeps a + hypot(a, b) finite for every finite z.
        const double a = ax / 8.0;
        s = 2.0 * std::sqrt(a + std::hypot(a, ay / 8.0));
    }
    const double d = ay / (2.0 * s);
    Complex r;
    if (x >= 0.0)
        r = {s, std::copysign(d, y)};
    else
        r = {d, std::copysign(s, y)};
    errno = 0;
    return r;
}

Complex exp_core(Complex z) noexcept
{
    const double x = z.real, y = z.imag;
    Complex r;
    if (!both_finite(z)) {
        if (std::isinf(x) && std::isfinite(y) && y != 0.0) {
            double s, c;
            ::sincos(y, &s, &c);
            if (x > 0.0)
                r = {std::copysign(INF, c), std::copysign(INF, s)};
            else
                r = {std::copysign(0.0, c), std::copysign(0.0, s)};
        } else {
            r = cell(exp_table, z);
        }
        errno = (std::isinf(y) && (std::isfinite(x) || x > 0.0)) ? EDOM : 0;
        return r;
    }
    double s, c;
    ::sincos(y, &s, &c);
    if (x > LOG_HUGE_LIMIT) {
        // exp(x) alone would overflow where the product need not.
        const double l = std::exp(x - 1.0);
        r = {l * c * E, l * s * E};
    } else {
        const double l = std::exp(x);
        r = {l * c, l * s};
    }
    errno = (std::isinf(r.real) || std::isinf(r.imag)) ? ERANGE : 0;
    return r;
}

Complex log_core(Complex z) noexcept
{
    const double x = z.real, y = z.imag;
    if (!both_finite(z))
        return special_value(log_table, z);

    const double ax = std::fabs(x), ay = std::fabs(y);
    double real;
    if (ax > HUGE_LIMIT || ay > HUGE_LIMIT) {
        // Halved so that hypot cannot overflow.
        real = std::log(std::hypot(ax / 2.0, ay / 2.0)) + LN2;
    } else if (ax < MIN_NORMAL && ay < MIN_NORMAL) {
        if (ax > 0.0 || ay > 0.0) {
            real = std::log(std::hypot(std::ldexp(ax, SUBNORMAL_SCALE_UP), std::ldexp(ay, SUBNORMAL_SCALE_UP))) -
                   SCALE_UP_LN2;
        } else {
            const double imag = std::atan2(y, x);
            errno = EDOM;
            return {-INF, imag};
        }
    } else {
        const double h = std::hypot(ax, ay);
        if (0.71 <= h && h <= 1.73) {
            // Near the unit circle log(h) cancels; log1p of h^2 - 1 formed
            // without rounding h first does not.
            const double am = ax > ay ? ax : ay;
            const double an = ax > ay ? ay : ax;
            real = log1p_real((am - 1.0) * (am + 1.0) + an * an) / 2.0;
        } else {
            real = std::log(h);
        }
    }
    const double imag = std::atan2(y, x);
    errno = 0;
    return {real, imag};
}

Complex log10_core(Complex z) noexcept
{
    Complex r = log_core(z);
    const int saved = errno;
    r = {r.real / LN10, r.imag / LN10};
    errno = saved;
    return r;
}

Complex cosh_core(Complex z) noexcept
{
    const double x = z.real, y = z.imag;
    Complex r;
    if (!both_finite(z)) {
        if (std::isinf(x) && std::isfinite(y) && y != 0.0) {
            double s, c;
            ::sincos(y, &s, &c);
            if (x > 0.0)
                r = {std::copysign(INF, c), std::copysign(INF, s)};
            else
                r = {std::copysign(INF, c), -std::copysign(INF, s)};
        } else {
            r = cell(cosh_table, z);
        }
        errno = (std::isinf(y) && !std::isnan(x)) ? EDOM : 0;
        return r;
    }
    double s, c;
    ::sincos(y, &s, &c);
    if (std::fabs(x) > LOG_HUGE_LIMIT) {
        // cosh(x) = cosh(x - 1) * e closely enough here, without overflowing.
        const double x1 = x - std::copysign(1.0, x);
        r = {c * std::cosh(x1) * E, s * std::sinh(x1) * E};
    } else {
        r = {c * std::cosh(x), s * std::sinh(x)};
    }
    errno = (std::isinf(r.real) || std::isinf(r.imag)) ? ERANGE : 0;
    return r;
}

Complex sinh_core(Complex z) noexcept
{
    const double x = z.real, y = z.imag;
    Complex r;
    if (!both_finite(z)) {
        if (std::isinf(x) && std::isfinite(y) && y != 0.0) {
            double s, c;
            ::sincos(y, &s, &c);
            if (x > 0.0)
                r = {std::copysign(INF, c), std::copysign(INF, s)};
            else
                r = {-std::copysign(INF, c), std::copysign(INF, s)};
        } else {
            r = cell(sinh_table, z);
        }
        errno = (std::isinf(y) && !std::isnan(x)) ? EDOM : 0;
        return r;
    }
    double s, c;
    ::sincos(y, &s, &c);
    if (std::fabs(x) > LOG_HUGE_LIMIT) {
        const double x1 = x - std::copysign(1.0, x);
        r = {c * std::sinh(x1) * E, s * std::cosh(x1) * E};
    } else {
        r = {c * std::sinh(x), s * std::cosh(x)};
    }
    errno = (std::isinf(r.real) || std::isinf(r.imag)) ? ERANGE : 0;
    return r;
}

Complex tanh_core(Complex z) noexcept
{
    const double x = z.real, y = z.imag;
    Complex r;
    if (!both_finite(z)) {
        if (std::isinf(x) && std::isfinite(y) && y != 0.0) {
            double s, c;
            ::sincos(y, &s, &c);
            r = {x > 0.0 ? 1.0 : -1.0, std::copysign(0.0, 2.0 * s * c)};
        } else {
            r = cell(tanh_table, z);
        }
        errno = (std::isinf(y) && std::isfinite(x)) ? EDOM : 0;
        return r;
    }
    if (std::fabs(x) > LOG_HUGE_LIMIT) {
        // cosh(x) would overflow; the imaginary part is then below any
        // double's precision relative to 1, but still has a value.
        double s, c;
        ::sincos(y, &s, &c);
        r = {std::copysign(1.0, x), 4.0 * s * c * std::exp(-2.0 * std::fabs(x))};
    } else {
        // 1 - tanh(x)^2 is formed as 1/cosh(x)^2, which does not cancel.
        const double tx = std::tanh(x);
        const double ty = std::tan(y);
        const double cx = 1.0 / std::cosh(x);
        const double txty = tx * ty;
        const double denom = 1.0 + txty * txty;
        r = {tx * (1.0 + ty * ty) / denom, ((ty / denom) * cx) * cx};
    }
    errno = 0;
    return r;
}

Complex cos_core(Complex z) noexcept
{
    return cosh_core(rotate(z));
}

Complex sin_core(Complex z) noexcept
{
    return unrotate(sinh_core(rotate(z)));
}

Complex tan_core(Complex z) noexcept
{
    return unrotate(tanh_core(rotate(z)));
}

} // namespace orvik
