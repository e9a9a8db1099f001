// A profile hook that does nothing but count its events: what the
// interpreter's hook mechanism costs by itself.
#include "compat.hpp"

#include <sys/time.h>

#include <chrono>

namespace
{

unsigned long long events = 0;

int bare_hook(PyObject *, PyFrameObject *, int, PyObject *) noexcept
{
    ++events;
    return 0;
}

PyObject *barehook_enable(PyObject *, PyObject *) noexcept
{
    events = 0;
    PyEval_SetProfile(bare_hook, nullptr);
    Py_RETURN_NONE;
}

// Removes the hook and returns how many events it saw.
PyObject *barehook_disable(PyObject *, PyObject *) noexcept
{
    PyEval_SetProfile(nullptr, nullptr);
    return PyLong_FromUnsignedLongLong(events);
}

// What one reading of the profiler's built-in clock costs on this machine:
// the part of every event that no bookkeeping can win back.
PyObject *barehook_clock_ns(PyObject *, PyObject *arg) noexcept
{
    const long count = PyLong_AsLong(arg);
    if (count == -1 && PyErr_Occurred())
        return nullptr;
    if (count < 1) {
        PyErr_SetString(PyExc_ValueError, "count must be positive");
        return nullptr;
    }
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < count; ++i) {
        timeval tv;
        gettimeofday(&tv, nullptr);
    }
    const auto stop = std::chrono::steady_clock::now();
    return PyFloat_FromDouble(std::chrono::duration<double, std::nano>(stop - start).count() /
                              static_cast<double>(count));
}

PyMethodDef barehook_methods[] = {
    {"enable", barehook_enable, METH_NOARGS, "enable()\n--\n\nInstall the counting hook in this thread."},
    {"disable", barehook_disable, METH_NOARGS, "disable()\n--\n\nRemove it; return the number of events seen."},
    {"clock_ns", barehook_clock_ns, METH_O, "clock_ns(count)\n--\n\nns per gettimeofday reading, over count readings."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef barehook_module = {
    PyModuleDef_HEAD_INIT, "barehook", nullptr, -1, barehook_methods, nullptr, nullptr, nullptr, nullptr,
};

} // namespace

PyMODINIT_FUNC PyInit_barehook()
{
    return PyModule_Create2(&barehook_module, PYTHON_API_VERSION);
}
