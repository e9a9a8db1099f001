// Classification of doubles and the special-value tables: the answer for
// every argument with an infinite or NaN part, row by the class of the real
// part, column by the class of the imaginary part.
#include "core.hpp"

#include <cerrno>
#include <cmath>

namespace orvik
{

int classify_component(double x) noexcept
{
    if (!std::isfinite(x)) {
        if (std::isnan(x))
            return CLASS_NAN;
        return std::signbit(x) ? CLASS_NEG_INF : CLASS_POS_INF;
    }
    if (x != 0.0)
        return std::signbit(x) ? CLASS_NEG_FINITE : CLASS_POS_FINITE;
    return std::signbit(x) ? CLASS_NEG_ZERO : CLASS_POS_ZERO;
}

// A table answer never raises, whatever errno held before.
Complex special_value(const SpecialTable &table, Complex z) noexcept
{
    errno = 0;
    return table[classify_component(z.real)][classify_component(z.imag)];
}

namespace
{
constexpr double N = NAN_VALUE;
constexpr double I = INF;
constexpr double P = PI;
constexpr double P2 = PI_2;
constexpr double P4 = PI_4;
constexpr double P34 = PI_3_4;
// Cells whose two classes are finite (and, for the functions computed by
// formula there, infinite real with finite nonzero imaginary part) are
// never looked up.
constexpr Complex U = {N, N};
} // namespace

// clang-format off
// Columns: imaginary part -inf, neg, -0, +0, pos, +inf, nan.
const SpecialTable sqrt_table = {
    /* -inf */ {{I, -I}, {0., -I}, {0., -I}, {0., I}, {0., I}, {I, I}, {N, I}},
    /* neg  */ {{I, -I}, U, U, U, U, {I, I}, {N, N}},
    /* -0   */ {{I, -I}, U, U, U, U, {I, I}, {N, N}},
    /* +0   */ {{I, -I}, U, U, U, U, {I, I}, {N, N}},
    /* pos  */ {{I, -I}, U, U, U, U, {I, I}, {N, N}},
    /* +inf */ {{I, -I}, {I, -0.}, {I, -0.}, {I, 0.}, {I, 0.}, {I, I}, {I, N}},
    /* nan  */ {{I, -I}, {N, N}, {N, N}, {N, N}, {N, N}, {I, I}, {N, N}},
};

const SpecialTable exp_table = {
    /* -inf */ {{0., 0.}, U, {0., -0.}, {0., 0.}, U, {0., 0.}, {0., 0.}},
    /* neg  */ {{N, N}, U, U, U, U, {N, N}, {N, N}},
    /* -0   */ {{N, N}, U, U, U, U, {N, N}, {N, N}},
    /* +0   */ {{N, N}, U, U, U, U, {N, N}, {N, N}},
    /* pos  */ {{N, N}, U, U, U, U, {N, N}, {N, N}},
    /* +inf */ {{I, N}, U, {I, -0.}, {I, 0.}, U, {I, N}, {I, N}},
    /* nan  */ {{N, N}, {N, N}, {N, -0.}, {N, 0.}, {N, N}, {N, N}, {N, N}},
};

const SpecialTable log_table = {
    /* -inf */ {{I, -P34}, {I, -P}, {I, -P}, {I, P}, {I, P}, {I, P34}, {I, N}},
    /* neg  */ {{I, -P2}, U, U, U, U, {I, P2}, {N, N}},
    /* -0   */ {{I, -P2}, U, U, U, U, {I, P2}, {N, N}},
    /* +0   */ {{I, -P2}, U, U, U, U, {I, P2}, {N, N}},
    /* pos  */ {{I, -P2}, U, U, U, U, {I, P2}, {N, N}},
    /* +inf */ {{I, -P4}, {I, -0.}, {I, -0.}, {I, 0.}, {I, 0.}, {I, P4}, {I, N}},
    /* nan  */ {{I, N}, {N, N}, {N, N}, {N, N}, {N, N}, {I, N}, {N, N}},
};

const SpecialTable cosh_table = {
    /* -inf */ {{I, N}, U, {I, 0.}, {I, -0.}, U, {I, N}, {I, N}},
    /* neg  */ {{N, N}, U, U, U, U, {N, N}, {N, N}},
    /* -0   */ {{N, 0.}, U, U, U, U, {N, 0.}, {N, 0.}},
    /* +0   */ {{N, 0.}, U, U, U, U, {N, 0.}, {N, 0.}},
    /* pos  */ {{N, N}, U, U, U, U, {N, N}, {N, N}},
    /* +inf */ {{I, N}, U, {I, -0.}, {I, 0.}, U, {I, N}, {I, N}},
    /* nan  */ {{N, N}, {N, N}, {N, 0.}, {N, 0.}, {N, N}, {N, N}, {N, N}},
};

const SpecialTable sinh_table = {
    /* -inf */ {{I, N}, U, {-I, -0.}, {-I, 0.}, U, {I, N}, {I, N}},
    /* neg  */ {{N, N}, U, U, U, U, {N, N}, {N, N}},
    /* -0   */ {{0., N}, U, U, U, U, {0., N}, {0., N}},
    /* +0   */ {{0., N}, U, U, U, U, {0., N}, {0., N}},
    /* pos  */ {{N, N}, U, U, U, U, {N, N}, {N, N}},
    /* +inf */ {{I, N}, U, {I, -0.}, {I, 0.}, U, {I, N}, {I, N}},
    /* nan  */ {{N, N}, {N, N}, {N, -0.}, {N, 0.}, {N, N}, {N, N}, {N, N}},
};

const SpecialTable tanh_table = {
    /* -inf */ {{-1., 0.}, U, {-1., -0.}, {-1., 0.}, U, {-1., 0.}, {-1., 0.}},
    /* neg  */ {{N, N}, U, U, U, U, {N, N}, {N, N}},
    /* -0   */ {{N, N}, U, U, U, U, {N, N}, {N, N}},
    /* +0   */ {{N, N}, U, U, U, U, {N, N}, {N, N}},
    /* pos  */ {{N, N}, U, U, U, U, {N, N}, {N, N}},
    /* +inf */ {{1., 0.}, U, {1., -0.}, {1., 0.}, U, {1., 0.}, {1., 0.}},
    /* nan  */ {{N, N}, {N, N}, {N, -0.}, {N, 0.}, {N, N}, {N, N}, {N, N}},
};

const SpecialTable acos_table = {
    /* -inf */ {{P34, I}, {P, I}, {P, I}, {P, -I}, {P, -I}, {P34, -I}, {N, I}},
    /* neg  */ {{P2, I}, U, U, U, U, {P2, -I}, {N, N}},
    /* -0   */ {{P2, I}, U, U, U, U, {P2, -I}, {P2, N}},
    /* +0   */ {{P2, I}, U, U, U, U, {P2, -I}, {P2, N}},
    /* pos  */ {{P2, I}, U, U, U, U, {P2, -I}, {N, N}},
    /* +inf */ {{P4, I}, {0., I}, {0., I}, {0., -I}, {0., -I}, {P4, -I}, {N, I}},
    /* nan  */ {{N, I}, {N, N}, {N, N}, {N, N}, {N, N}, {N, -I}, {N, N}},
};

const SpecialTable acosh_table = {
    /* -inf */ {{I, -P34}, {I, -P}, {I, -P}, {I, P}, {I, P}, {I, P34}, {I, N}},
    /* neg  */ {{I, -P2}, U, U, U, U, {I, P2}, {N, N}},
    /* -0   */ {{I, -P2}, U, U, U, U, {I, P2}, {N, N}},
    /* +0   */ {{I, -P2}, U, U, U, U, {I, P2}, {N, N}},
    /* pos  */ {{I, -P2}, U, U, U, U, {I, P2}, {N, N}},
    /* +inf */ {{I, -P4}, {I, -0.}, {I, -0.}, {I, 0.}, {I, 0.}, {I, P4}, {I, N}},
    /* nan  */ {{I, N}, {N, N}, {N, N}, {N, N}, {N, N}, {I, N}, {N, N}},
};

const SpecialTable asinh_table = {
    /* -inf */ {{-I, -P4}, {-I, -0.}, {-I, -0.}, {-I, 0.}, {-I, 0.}, {-I, P4}, {-I, N}},
    /* neg  */ {{-I, -P2}, U, U, U, U, {-I, P2}, {N, N}},
    /* -0   */ {{-I, -P2}, U, U, U, U, {-I, P2}, {N, N}},
    /* +0   */ {{I, -P2}, U, U, U, U, {I, P2}, {N, N}},
    /* pos  */ {{I, -P2}, U, U, U, U, {I, P2}, {N, N}},
    /* +inf */ {{I, -P4}, {I, -0.}, {I, -0.}, {I, 0.}, {I, 0.}, {I, P4}, {I, N}},
    /* nan  */ {{I, N}, {N, N}, {N, -0.}, {N, 0.}, {N, N}, {I, N}, {N, N}},
};

const SpecialTable atanh_table = {
    /* -inf */ {{-0., -P2}, {-0., -P2}, {-0., -P2}, {-0., P2}, {-0., P2}, {-0., P2}, {-0., N}},
    /* neg  */ {{-0., -P2}, U, U, U, U, {-0., P2}, {N, N}},
    /* -0   */ {{-0., -P2}, U, U, U, U, {-0., P2}, {-0., N}},
    /* +0   */ {{0., -P2}, U, U, U, U, {0., P2}, {0., N}},
    /* pos  */ {{0., -P2}, U, U, U, U, {0., P2}, {N, N}},
    /* +inf */ {{0., -P2}, {0., -P2}, {0., -P2}, {0., P2}, {0., P2}, {0., P2}, {0., N}},
    /* nan  */ {{0., -P2}, {N, N}, {N, N}, {N, N}, {N, N}, {0., P2}, {N, N}},
};

// Rows: class of the modulus; columns: class of the angle.
const SpecialTable rect_table = {
    /* -inf */ {{I, N}, U, {-I, 0.}, {-I, -0.}, U, {I, N}, {I, N}},
    /* neg  */ {{N, N}, U, U, U, U, {N, N}, {N, N}},
    /* -0   */ {{0., 0.}, U, U, U, U, {0., 0.}, {0., 0.}},
    /* +0   */ {{0., 0.}, U, U, U, U, {0., 0.}, {0., 0.}},
    /* pos  */ {{N, N}, U, U, U, U, {N, N}, {N, N}},
    /* +inf */ {{I, N}, U, {I, -0.}, {I, 0.}, U, {I, N}, {I, N}},
    /* nan  */ {{N, N}, {N, N}, {N, 0.}, {N, 0.}, {N, N}, {N, N}, {N, N}},
};
// clang-format on

} // namespace orvik
