// Times orvik's core routines alone, without the interpreter around them, so
// the benchmark can show how much of a call is the computation itself.
#include "compat.hpp"
#include "ref.hpp"

#include "c99.hpp"
#include "core.hpp"

#include <chrono>
#include <string>

namespace
{

using orvik::Complex;

struct Core {
    const char *name;
    Complex (*function)(Complex) noexcept;
};

const Core cores[] = {
    {"sqrt", orvik::sqrt_core},   {"exp", orvik::exp_core},     {"log", orvik::log_core},
    {"log10", orvik::log10_core}, {"sin", orvik::sin_core},     {"cos", orvik::cos_core},
    {"tan", orvik::tan_core},     {"sinh", orvik::sinh_core},   {"cosh", orvik::cosh_core},
    {"tanh", orvik::tanh_core},   {"asin", orvik::asin_core},   {"acos", orvik::acos_core},
    {"atan", orvik::atan_core},   {"asinh", orvik::asinh_core}, {"acosh", orvik::acosh_core},
    {"atanh", orvik::atanh_core},
};

struct C99Function {
    const char *name;
    __complex__ double (*function)(__complex__ double) noexcept;
};

// The C library's function for each of orvik's, by orvik's name.
const C99Function c99_functions[] = {
    {"sqrt", csqrt}, {"exp", cexp},     {"log", clog},     {"log10", clog10}, {"sin", csin},   {"cos", ccos},
    {"tan", ctan},   {"sinh", csinh},   {"cosh", ccosh},   {"tanh", ctanh},   {"asin", casin}, {"acos", cacos},
    {"atan", catan}, {"asinh", casinh}, {"acosh", cacosh}, {"atanh", catanh},
};

// Each argument depends on the previous result (by a vanishing amount), so
// calls run one after another as they do from Python: latency, not throughput.
double nanoseconds_per_call(Complex (*function)(Complex) noexcept, Complex z, long count) noexcept
{
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < count; ++i) {
        const Complex r = function(z);
        z.real += r.real * 1e-300;
    }
    const auto stop = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::nano>(stop - start).count() / static_cast<double>(count);
}

double c99_nanoseconds_per_call(__complex__ double (*function)(__complex__ double) noexcept, Complex z,
                                long count) noexcept
{
    __complex__ double w;
    __real__ w = z.real;
    __imag__ w = z.imag;
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < count; ++i) {
        const __complex__ double r = function(w);
        __real__ w += __real__ r * 1e-300;
    }
    const auto stop = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::nano>(stop - start).count() / static_cast<double>(count);
}

PyObject *cores_time(PyObject *, PyObject *args) noexcept
{
    Py_complex z;
    long count;
    if (!PyArg_ParseTuple(args, "Dl:time", &z, &count))
        return nullptr;
    if (count < 1) {
        PyErr_SetString(PyExc_ValueError, "count must be positive");
        return nullptr;
    }
    ext::Ref result = ext::steal(PyDict_New());
    if (!result)
        return nullptr;
    for (const Core &core : cores) {
        const double ns = nanoseconds_per_call(core.function, {z.real, z.imag}, count);
        ext::Ref value = ext::steal(PyFloat_FromDouble(ns));
        if (!value || PyDict_SetItemString(result.get(), core.name, value.get()) < 0)
            return nullptr;
    }
    // The C library's functions under the names "c" + orvik's.
    for (const C99Function &f : c99_functions) {
        const double ns = c99_nanoseconds_per_call(f.function, {z.real, z.imag}, count);
        ext::Ref value = ext::steal(PyFloat_FromDouble(ns));
        if (!value || PyDict_SetItemString(result.get(), (std::string("c") + f.name).c_str(), value.get()) < 0)
            return nullptr;
    }
    return result.release();
}

PyMethodDef cores_methods[] = {
    {"time", cores_time, METH_VARARGS, "time(z, count) -> {name: ns per call of the core routine at z}"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef cores_module = {
    PyModuleDef_HEAD_INIT, "orvik_cores", nullptr, -1, cores_methods, nullptr, nullptr, nullptr, nullptr,
};

} // namespace

PyMODINIT_FUNC PyInit_orvik_cores()
{
    return PyModule_Create2(&cores_module, PYTHON_API_VERSION);
}
