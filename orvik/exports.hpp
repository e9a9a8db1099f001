// Real functions this library exports by their plain names for other native
// code. Each takes and returns a double; _Py_acosh and _Py_atanh set errno to
// EDOM outside their domain, and none raises a Python exception.
#pragma once

#include "compat.hpp"

EXT_EXPORT double _Py_log1p(double x) noexcept;
EXT_EXPORT double _Py_acosh(double x) noexcept;
EXT_EXPORT double _Py_asinh(double x) noexcept;
EXT_EXPORT double _Py_atanh(double x) noexcept;
EXT_EXPORT double _Py_expm1(double x) noexcept;
