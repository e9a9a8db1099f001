// A profile hook that does nothing but count its events: what the
// interpreter's hook mechanism costs by itself.
#include "compat.hpp"

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

PyMethodDef barehook_methods[] = {
    {"enable", barehook_enable, METH_NOARGS, "enable()\n--\n\nInstall the counting hook in this thread."},
    {"disable", barehook_disable, METH_NOARGS, "disable()\n--\n\nRemove it; return the number of events seen."},
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
