// The orvik module: argument conversion, the calling frames that turn errno
// into Python exceptions, the method table and the module's initialisation.
#include "compat.hpp"
#include "ref.hpp"

#include "core.hpp"
#include "exports.hpp"

#include <cerrno>
#include <cmath>

namespace
{

using orvik::Complex;

// The interpreter's floating-point guard. No interpreter this module is built
// for has floating-point exception control compiled in, so it does nothing;
// it stays as one named construct to mark what each computation runs under.
class FpeGuard
{
  public:
    explicit constexpr FpeGuard(const char *) noexcept {}
    template <class T> constexpr void end(const T &) const noexcept {}
};

Complex from_py(Py_complex z) noexcept
{
    return {z.real, z.imag};
}

Py_complex to_py(Complex z) noexcept
{
    Py_complex r;
    r.real = z.real;
    r.imag = z.imag;
    return r;
}

// Exact complex and float objects are read directly; that yields the very
// pair "D" would. Every other object goes through the interpreter's
// conversion, with its own errors.
bool read_exact(PyObject *arg, Complex *z) noexcept
{
    if (PyComplex_CheckExact(arg)) {
        *z = from_py(reinterpret_cast<PyComplexObject *>(arg)->cval);
        return true;
    }
    if (PyFloat_CheckExact(arg)) {
        *z = {PyFloat_AS_DOUBLE(arg), 0.0};
        return true;
    }
    return false;
}

bool convert(PyObject *arg, const char *format, Complex *z) noexcept
{
    if (read_exact(arg, z))
        return true;
    Py_complex value;
    if (!PyArg_Parse(arg, format, &value))
        return false;
    *z = from_py(value);
    return true;
}

PyObject *report_math_errno() noexcept
{
    if (errno == EDOM)
        PyErr_SetString(PyExc_ValueError, "math domain error");
    else if (errno == ERANGE)
        PyErr_SetString(PyExc_OverflowError, "math range error");
    else
        PyErr_SetFromErrno(PyExc_ValueError);
    return nullptr;
}

template <Complex (*core)(Complex) noexcept> PyObject *run_complex_function(PyObject *arg, const char *format) noexcept
{
    Complex z;
    if (!convert(arg, format, &z))
        return nullptr;
    errno = 0;
    const FpeGuard guard("complex function");
    const Complex r = core(z);
    guard.end(r);
    // Other errno values cannot come from the cores, which set it last.
    if (errno == EDOM) {
        PyErr_SetString(PyExc_ValueError, "math domain error");
        return nullptr;
    }
    if (errno == ERANGE) {
        PyErr_SetString(PyExc_OverflowError, "math range error");
        return nullptr;
    }
    return PyComplex_FromCComplex(to_py(r));
}

#define ORVIK_UNARY(name, core, text)                                                                                  \
    PyDoc_STRVAR(orvik_##name##__doc__, #name "($module, z, /)\n--\n\n" text);                                         \
    PyObject *orvik_##name(PyObject *, PyObject *arg) noexcept                                                         \
    {                                                                                                                  \
        return run_complex_function<orvik::core>(arg, "D:" #name);                                                     \
    }

ORVIK_UNARY(acos, acos_core, "Return the arc cosine of z.")
ORVIK_UNARY(acosh, acosh_core, "Return the inverse hyperbolic cosine of z.")
ORVIK_UNARY(asin, asin_core, "Return the arc sine of z.")
ORVIK_UNARY(asinh, asinh_core, "Return the inverse hyperbolic sine of z.")
ORVIK_UNARY(atan, atan_core, "Return the arc tangent of z.")
ORVIK_UNARY(atanh, atanh_core, "Return the inverse hyperbolic tangent of z.")
ORVIK_UNARY(cos, cos_core, "Return the cosine of z.")
ORVIK_UNARY(cosh, cosh_core, "Return the hyperbolic cosine of z.")
ORVIK_UNARY(exp, exp_core, "Return the exponential value e**z.")
ORVIK_UNARY(log10, log10_core, "Return the base-10 logarithm of z.")
ORVIK_UNARY(sin, sin_core, "Return the sine of z.")
ORVIK_UNARY(sinh, sinh_core, "Return the hyperbolic sine of z.")
ORVIK_UNARY(sqrt, sqrt_core, "Return the square root of z.")
ORVIK_UNARY(tan, tan_core, "Return the tangent of z.")
ORVIK_UNARY(tanh, tanh_core, "Return the hyperbolic tangent of z.")

#undef ORVIK_UNARY

PyDoc_STRVAR(orvik_log__doc__, "log($module, x, y_obj=None, /)\n--\n\n"
                               "The logarithm of z to the given base.\n\n"
                               "If the base not specified, returns the natural logarithm (base e) of z.");

// Arguments of log other than one or two with an exact complex or float
// first go through the interpreter's tuple parsing, so that every count and
// conversion error reads as "D|O:log" words it.
bool parse_log_arguments(PyObject *const *args, Py_ssize_t nargs, Complex *x, PyObject **base) noexcept
{
    if (nargs >= 1 && nargs <= 2 && read_exact(args[0], x)) {
        *base = nargs == 2 ? args[1] : nullptr;
        return true;
    }
    ext::Ref tuple = ext::steal(PyTuple_New(nargs));
    if (!tuple)
        return false;
    for (Py_ssize_t i = 0; i < nargs; ++i)
        PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
    Py_complex value;
    PyObject *parsed_base = nullptr;
    if (!PyArg_ParseTuple(tuple.get(), "D|O:log", &value, &parsed_base))
        return false;
    *x = from_py(value);
    // The tuple is about to go; the caller's own reference keeps the base.
    *base = parsed_base == nullptr ? nullptr : args[1];
    return true;
}

// The logarithm of the base sets errno afresh, so with a base only its
// domain error and that of the division are reported: log(0, 2) gives
// (-inf, nan) rather than raising, as callers have long seen it.
PyObject *orvik_log(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept
{
    // log takes its arguments by position only. The vectorcall protocol
    // would word this refusal with the qualified name; say it as the
    // interpreter does for the argument-tuple convention, before any
    // argument is converted.
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
        PyErr_SetString(PyExc_TypeError, "log() takes no keyword arguments");
        return nullptr;
    }
    Complex x;
    PyObject *base = nullptr;
    if (!parse_log_arguments(args, nargs, &x, &base))
        return nullptr;
    errno = 0;
    const FpeGuard guard("complex function");
    Complex r = orvik::log_core(x);
    if (base != nullptr) {
        const Py_complex b = PyComplex_AsCComplex(base);
        if (PyErr_Occurred()) {
            guard.end(r);
            return nullptr;
        }
        const Complex lb = orvik::log_core(from_py(b));
        r = from_py(_Py_c_quot(to_py(r), to_py(lb)));
    }
    guard.end(r);
    if (errno != 0)
        return report_math_errno();
    return PyComplex_FromCComplex(to_py(r));
}

PyDoc_STRVAR(orvik_phase__doc__, "phase($module, z, /)\n--\n\n"
                                 "Return argument, also known as the phase angle, of a complex.");

PyObject *orvik_phase(PyObject *, PyObject *arg) noexcept
{
    Complex z;
    if (!convert(arg, "D:phase", &z))
        return nullptr;
    errno = 0;
    const FpeGuard guard("arg function");
    const double phi = orvik::safe_atan2(z);
    guard.end(phi);
    // glibc's atan2 reports an underflowing result with ERANGE, yet a tiny
    // angle is a representable answer, not an overflow.
    if (errno == ERANGE && std::isfinite(phi))
        errno = 0;
    if (errno != 0)
        return report_math_errno();
    return PyFloat_FromDouble(phi);
}

PyDoc_STRVAR(orvik_polar__doc__, "polar($module, z, /)\n--\n\n"
                                 "Convert a complex from rectangular coordinates to polar coordinates.\n\n"
                                 "r is the distance from 0 and phi the phase angle.");

PyObject *orvik_polar(PyObject *, PyObject *arg) noexcept
{
    Complex z;
    if (!convert(arg, "D:polar", &z))
        return nullptr;
    errno = 0;
    const FpeGuard guard("polar function");
    const double phi = orvik::safe_atan2(z);
    // The interpreter's modulus sets errno itself for finite parts (ERANGE on
    // overflow, else 0), which also clears an underflow left by atan2.
    const double r = _Py_c_abs(to_py(z));
    guard.end(r);
    if (errno != 0)
        return report_math_errno();
    return Py_BuildValue("dd", r, phi);
}

PyDoc_STRVAR(orvik_rect__doc__, "rect($module, r, phi, /)\n--\n\n"
                                "Convert from polar coordinates to rectangular coordinates.");

PyObject *orvik_rect(PyObject *, PyObject *args) noexcept
{
    double r, phi;
    if (!PyArg_ParseTuple(args, "dd:rect", &r, &phi))
        return nullptr;
    errno = 0;
    const FpeGuard guard("rect function");
    const Complex z = orvik::rect_core(r, phi);
    guard.end(z);
    if (errno != 0)
        return report_math_errno();
    return PyComplex_FromCComplex(to_py(z));
}

PyDoc_STRVAR(orvik_isfinite__doc__, "isfinite($module, z, /)\n--\n\n"
                                    "Return True if both the real and imaginary parts of z are finite, else False.");

PyObject *orvik_isfinite(PyObject *, PyObject *arg) noexcept
{
    Complex z;
    if (!convert(arg, "D:isfinite", &z))
        return nullptr;
    return PyBool_FromLong(std::isfinite(z.real) && std::isfinite(z.imag));
}

PyDoc_STRVAR(orvik_isnan__doc__, "isnan($module, z, /)\n--\n\n"
                                 "Checks if the real or imaginary part of z not a number (NaN).");

PyObject *orvik_isnan(PyObject *, PyObject *arg) noexcept
{
    Complex z;
    if (!convert(arg, "D:isnan", &z))
        return nullptr;
    return PyBool_FromLong(std::isnan(z.real) || std::isnan(z.imag));
}

PyDoc_STRVAR(orvik_isinf__doc__, "isinf($module, z, /)\n--\n\n"
                                 "Checks if the real or imaginary part of z is infinite.");

PyObject *orvik_isinf(PyObject *, PyObject *arg) noexcept
{
    Complex z;
    if (!convert(arg, "D:isinf", &z))
        return nullptr;
    return PyBool_FromLong(std::isinf(z.real) || std::isinf(z.imag));
}

PyDoc_STRVAR(orvik_isclose__doc__, "isclose($module, /, a, b, *, rel_tol=1e-09, abs_tol=0.0)\n--\n\n"
                                   "Determine whether two complex numbers are close in value.\n\n"
                                   "  rel_tol\n"
                                   "    maximum difference for being considered \"close\", relative to the\n"
                                   "    magnitude of the input values\n"
                                   "  abs_tol\n"
                                   "    maximum difference for being considered \"close\", regardless of the\n"
                                   "    magnitude of the input values\n\n"
                                   "Return True if a is close in value to b, and False otherwise.\n\n"
                                   "For the values to be considered close, the difference between them must be\n"
                                   "smaller than at least one of the tolerances.\n\n"
                                   "-inf, inf and NaN behave similarly to the IEEE 754 Standard. That is, NaN is\n"
                                   "not close to anything, even itself. inf and -inf are only close to themselves.");

PyObject *orvik_isclose(PyObject *, PyObject *args, PyObject *kwargs) noexcept
{
    static const char *const keywords[] = {"a", "b", "rel_tol", "abs_tol", nullptr};
    Py_complex a, b;
    double rel_tol = 1e-09, abs_tol = 0.0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "DD|$dd:isclose", const_cast<char **>(keywords), &a, &b, &rel_tol,
                                     &abs_tol))
        return nullptr;
    // A NaN tolerance passes this test and then simply never admits a match.
    if (rel_tol < 0.0 || abs_tol < 0.0) {
        PyErr_SetString(PyExc_ValueError, "tolerances must be non-negative");
        return nullptr;
    }
    // Exact equality first: it settles equal infinities.
    if (a.real == b.real && a.imag == b.imag)
        Py_RETURN_TRUE;
    if (std::isinf(a.real) || std::isinf(a.imag) || std::isinf(b.real) || std::isinf(b.imag))
        Py_RETURN_FALSE;
    const double diff = _Py_c_abs(_Py_c_diff(a, b));
    const bool close = diff <= rel_tol * _Py_c_abs(b) || diff <= rel_tol * _Py_c_abs(a) || diff <= abs_tol;
    return PyBool_FromLong(close);
}

PyMethodDef orvik_methods[] = {
    {"acos", orvik_acos, METH_O, orvik_acos__doc__},
    {"acosh", orvik_acosh, METH_O, orvik_acosh__doc__},
    {"asin", orvik_asin, METH_O, orvik_asin__doc__},
    {"asinh", orvik_asinh, METH_O, orvik_asinh__doc__},
    {"atan", orvik_atan, METH_O, orvik_atan__doc__},
    {"atanh", orvik_atanh, METH_O, orvik_atanh__doc__},
    {"cos", orvik_cos, METH_O, orvik_cos__doc__},
    {"cosh", orvik_cosh, METH_O, orvik_cosh__doc__},
    {"exp", orvik_exp, METH_O, orvik_exp__doc__},
    {"isclose", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(orvik_isclose)),
     METH_VARARGS | METH_KEYWORDS, orvik_isclose__doc__},
    {"isfinite", orvik_isfinite, METH_O, orvik_isfinite__doc__},
    {"isinf", orvik_isinf, METH_O, orvik_isinf__doc__},
    {"isnan", orvik_isnan, METH_O, orvik_isnan__doc__},
    {"log", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(orvik_log)), METH_FASTCALL | METH_KEYWORDS,
     orvik_log__doc__},
    {"log10", orvik_log10, METH_O, orvik_log10__doc__},
    {"phase", orvik_phase, METH_O, orvik_phase__doc__},
    {"polar", orvik_polar, METH_O, orvik_polar__doc__},
    {"rect", orvik_rect, METH_VARARGS, orvik_rect__doc__},
    {"sin", orvik_sin, METH_O, orvik_sin__doc__},
    {"sinh", orvik_sinh, METH_O, orvik_sinh__doc__},
    {"sqrt", orvik_sqrt, METH_O, orvik_sqrt__doc__},
    {"tan", orvik_tan, METH_O, orvik_tan__doc__},
    {"tanh", orvik_tanh, METH_O, orvik_tanh__doc__},
    {nullptr, nullptr, 0, nullptr},
};

PyDoc_STRVAR(orvik__doc__, "This module is always available. It provides access to mathematical\n"
                           "functions for complex numbers.");

PyModuleDef orvik_module = {
    PyModuleDef_HEAD_INIT, "orvik", orvik__doc__, -1, orvik_methods, nullptr, nullptr, nullptr, nullptr,
};

} // namespace

EXT_EXPORT double _Py_log1p(double x) noexcept
{
    return orvik::log1p_real(x);
}

EXT_EXPORT double _Py_acosh(double x) noexcept
{
    return orvik::acosh_real(x);
}

EXT_EXPORT double _Py_asinh(double x) noexcept
{
    return orvik::asinh_real(x);
}

EXT_EXPORT double _Py_atanh(double x) noexcept
{
    return orvik::atanh_real(x);
}

EXT_EXPORT double _Py_expm1(double x) noexcept
{
    return orvik::expm1_real(x);
}

// The special-value tables are constant data, so there is nothing to fill in
// here. A failed attribute add drops the module rather than returning one
// with an exception pending.
PyMODINIT_FUNC PyInit_orvik()
{
    PyObject *module = PyModule_Create2(&orvik_module, PYTHON_API_VERSION);
    if (module == nullptr)
        return nullptr;
    if (PyModule_Add(module, "pi", PyFloat_FromDouble(orvik::PI)) < 0 ||
        PyModule_Add(module, "e", PyFloat_FromDouble(orvik::E)) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
