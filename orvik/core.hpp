// The computing routines of orvik: plain C++ on pairs of doubles, no
// interpreter calls, so the module's frames, its exported real functions and
// benchmarks all reach them. Failures are reported through errno only
// (EDOM or ERANGE), exactly as the maths library does.
#pragma once

#include <bit>
#include <cstdint>

namespace orvik
{

// Same layout as the interpreter's Py_complex (two doubles, real first).
struct Complex {
    double real;
    double imag;
};

// Row and column index of every special-value table; the numbering is part of
// the tables' layout.
enum ComponentClass : int {
    CLASS_NEG_INF = 0,
    CLASS_NEG_FINITE = 1,
    CLASS_NEG_ZERO = 2,
    CLASS_POS_ZERO = 3,
    CLASS_POS_FINITE = 4,
    CLASS_POS_INF = 5,
    CLASS_NAN = 6,
};
constexpr int CLASS_COUNT = 7;

using SpecialTable = Complex[CLASS_COUNT][CLASS_COUNT];

// The one NaN the module makes itself: quiet, sign bit clear.
inline constexpr double NAN_VALUE = std::bit_cast<double>(std::uint64_t{0x7ff8000000000000});
inline constexpr double INF = std::bit_cast<double>(std::uint64_t{0x7ff0000000000000});

// Beyond these magnitudes the plain formulas would overflow or lose bits to
// subnormals, so the routines switch to scaled ones.
inline constexpr double HUGE_LIMIT = std::bit_cast<double>(std::uint64_t{0x7fcfffffffffffff});
inline constexpr double SQRT_HUGE_LIMIT = std::bit_cast<double>(std::uint64_t{0x5fdfffffffffffff});
inline constexpr double LOG_HUGE_LIMIT = std::bit_cast<double>(std::uint64_t{0x4086232bdd7abcd2});
inline constexpr double MIN_NORMAL = std::bit_cast<double>(std::uint64_t{0x0010000000000000});
inline constexpr double SQRT_MIN_NORMAL = std::bit_cast<double>(std::uint64_t{0x2000000000000000});
inline constexpr int SUBNORMAL_SCALE_UP = 53;    // 2*26 + 1 for a 53-bit significand
inline constexpr int SUBNORMAL_SCALE_DOWN = -27; // -(53 + 1)/2

inline constexpr double LN2 = 0.6931471805599453;
inline constexpr double TWO_LN2 = 1.3862943611198906;
inline constexpr double SCALE_UP_LN2 = 36.7368005696771; // 53 * ln 2
inline constexpr double LN10 = 2.302585092994046;
inline constexpr double E = 2.718281828459045;
inline constexpr double PI = 3.141592653589793;
inline constexpr double PI_2 = 1.5707963267948966;
inline constexpr double PI_4 = 0.7853981633974483;
inline constexpr double PI_3_4 = 2.356194490192345;

// tables.cpp
int classify_component(double x) noexcept;
Complex special_value(const SpecialTable &table, Complex z) noexcept;
extern const SpecialTable acos_table, acosh_table, asinh_table, atanh_table, cosh_table, exp_table, log_table,
    sinh_table, sqrt_table, tanh_table, rect_table;

// elementary.cpp
Complex sqrt_core(Complex z) noexcept;
Complex exp_core(Complex z) noexcept;
Complex log_core(Complex z) noexcept;
Complex log10_core(Complex z) noexcept;
Complex cosh_core(Complex z) noexcept;
Complex sinh_core(Complex z) noexcept;
Complex tanh_core(Complex z) noexcept;
Complex cos_core(Complex z) noexcept;
Complex sin_core(Complex z) noexcept;
Complex tan_core(Complex z) noexcept;

// inverse.cpp
Complex acos_core(Complex z) noexcept;
Complex acosh_core(Complex z) noexcept;
Complex asinh_core(Complex z) noexcept;
Complex atanh_core(Complex z) noexcept;
Complex asin_core(Complex z) noexcept;
Complex atan_core(Complex z) noexcept;

// coordinates.cpp
double safe_atan2(Complex z) noexcept;
Complex rect_core(double r, double phi) noexcept;

// The real helpers. The exported _Py_* names forward here; calls inside the
// library use these hidden ones so that no other library can interpose.
double log1p_real(double x) noexcept;
double acosh_real(double x) noexcept;
double asinh_real(double x) noexcept;
double atanh_real(double x) noexcept;
double expm1_real(double x) noexcept;

} // namespace orvik
