// The cheapest complex function a module can offer: convert with "D" and
// build the result. What orvik's functions cost is read against it.
#include "compat.hpp"

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

PyMethodDef floor_methods[] = {
    {"identity", floor_identity, METH_O, nullptr},
    {"bare", floor_bare, METH_O, nullptr},
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
