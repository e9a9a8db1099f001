// The library doubles as an extension module, so the interpreter can import
// it by name; its two functions take arguments and ignore them.
#include "compat.hpp"

namespace
{

PyObject *zanthor_func_si(PyObject *, PyObject *args) noexcept
{
    const char *s = nullptr;
    int i = 0;
    if (!PyArg_ParseTuple(args, "si", &s, &i))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *zanthor_func(PyObject *, PyObject *) noexcept
{
    Py_RETURN_NONE;
}

PyMethodDef zanthor_methods[] = {
    {"func_si", zanthor_func_si, METH_VARARGS, nullptr},
    {"func", zanthor_func, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef zanthor_module = {
    PyModuleDef_HEAD_INIT, "_zanthor", nullptr, -1, zanthor_methods, nullptr, nullptr, nullptr, nullptr,
};

} // namespace

PyMODINIT_FUNC PyInit__zanthor()
{
    return PyModule_Create2(&zanthor_module, PYTHON_API_VERSION);
}
