// The cheapest complex function a module can offer: convert with "D" and
// build the result. What orvik's functions cost is read against it. Beside
// it, the C library's C99 complex functions, each behind a function framed
// exactly as orvik's are (same conversion, errno cleared and checked, a new
// complex returned), so that a ratio between the two compares the
// computations alone.
#include "c99.hpp"
#include "compat.hpp"

#include <cerrno>
#include <cmath>

namespace
{

PyObject *floor_identity(PyObject *, PyObject *arg) noexcept
{
    Py_complex z;
    if (!PyArg_Parse(arg, "D:identity", &z))
        return nullptr;
    return PyComplex_FromCComplex(z);
}

// What an orvik call costs before any computation: an exact complex read
// directly, a new complex returned. The rest of a call is its core routine.
PyObject *floor_bare(PyObject *, PyObject *arg) noexcept
{
    if (!PyComplex_CheckExact(arg)) {
        PyErr_SetString(PyExc_TypeError, "bare() needs a complex");
        return nullptr;
    }
    return PyComplex_FromCComplex(reinterpret_cast<PyComplexObject *>(arg)->cval);
}

// orvik's argument conversion: exact complex and float objects read
// directly, everything else through "D".
bool convert(PyObject *arg, const char *format, __complex__ double *z) noexcept
{
    Py_complex v;
    if (PyComplex_CheckExact(arg)) {
        v = reinterpret_cast<PyComplexObject *>(arg)->cval;
    } else if (PyFloat_CheckExact(arg)) {
        v = {PyFloat_AS_DOUBLE(arg), 0.0};
    } else if (!PyArg_Parse(arg, format, &v)) {
        return false;
    }
    __real__ *z = v.real;
    __imag__ *z = v.imag;
    return true;
}

bool errno_failed() noexcept
{
    if (errno == EDOM) {
        PyErr_SetString(PyExc_ValueError, "math domain error");
        return true;
    }
    if (errno == ERANGE) {
        PyErr_SetString(PyExc_OverflowError, "math range error");
        return true;
    }
    return false;
}

template <__complex__ double (*f)(__complex__ double) noexcept> PyObject *c99(PyObject *arg) noexcept
{
    __complex__ double z;
    if (!convert(arg, "D:c99", &z))
        return nullptr;
    errno = 0;
    const __complex__ double r = f(z);
    if (errno_failed())
        return nullptr;
    return PyComplex_FromDoubles(__real__ r, __imag__ r);
}

#define C99(name) {"c" #name, [](PyObject *, PyObject *arg) noexcept { return c99<c##name>(arg); }, METH_O, nullptr},

PyObject *c99_carg(PyObject *, PyObject *arg) noexcept
{
    __complex__ double z;
    if (!convert(arg, "D:carg", &z))
        return nullptr;
    errno = 0;
    const double r = carg(z);
    if (errno_failed())
        return nullptr;
    return PyFloat_FromDouble(r);
}

PyObject *c99_polar(PyObject *, PyObject *arg) noexcept
{
    __complex__ double z;
    if (!convert(arg, "D:polar", &z))
        return nullptr;
    errno = 0;
    const double r = cabs(z), phi = carg(z);
    if (errno_failed())
        return nullptr;
    return Py_BuildValue("dd", r, phi);
}

// No C99 function classifies a complex; the test on both parts is the C form.
PyObject *c99_isfinite(PyObject *, PyObject *arg) noexcept
{
    __complex__ double z;
    if (!convert(arg, "D:isfinite", &z))
        return nullptr;
    return PyBool_FromLong(std::isfinite(__real__ z) && std::isfinite(__imag__ z));
}

PyMethodDef floor_methods[] = {
    {"identity", floor_identity, METH_O, nullptr},
    {"bare", floor_bare, METH_O, nullptr},
    C99(sqrt) C99(exp) C99(log) C99(log10) C99(sin) C99(cos) C99(tan) C99(sinh) C99(cosh) C99(tanh) C99(asin) C99(acos)
        C99(atan) C99(asinh) C99(acosh) C99(atanh){"carg", c99_carg, METH_O, nullptr},
    {"cpolar", c99_polar, METH_O, nullptr},
    {"cisfinite", c99_isfinite, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT, "orvik_floor", nullptr, -1, floor_methods, nullptr, nullptr, nullptr, nullptr,
};

} // namespace

PyMODINIT_FUNC PyInit_orvik_floor()
{
    return PyModule_Create2(&floor_module, PYTHON_API_VERSION);
}
