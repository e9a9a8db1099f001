// A test-only extension that drives the shared layer through the interpreter,
// so the suite can watch reference counts and buffer exports. Never installed.
#include "buffer.hpp"
#include "compat.hpp"
#include "ref.hpp"

namespace
{

// Takes and drops references every way the owner allows; the caller checks
// that obj's count is unchanged afterwards and that release() handed one back.
PyObject *layer_ref_moves(PyObject *, PyObject *obj) noexcept
{
    ext::Ref a = ext::borrow(obj);
    ext::Ref b = std::move(a);
    ext::Ref c;
    c = std::move(b);
    c = ext::borrow(obj); // replaces, dropping the old reference
    if (a || b || !c)
        return PyErr_Format(PyExc_AssertionError, "moved-from owners must be empty");
    ext::Ref d = ext::borrow(obj);
    d.reset();
    return c.release();
}

// Holds a writable view of obj while calling fn(obj) (which may try to resize
// it), then returns fn's result; the view is released on every way out.
PyObject *layer_hold_view(PyObject *, PyObject *args) noexcept
{
    PyObject *obj = nullptr;
    PyObject *fn = nullptr;
    ext::BufferView view;
    if (!PyArg_ParseTuple(args, "OO:hold_view", &obj, &fn))
        return nullptr;
    if (!view.get(obj, PyBUF_WRITABLE))
        return nullptr;
    return PyObject_CallOneArg(fn, obj);
}

// Parses "y*" straight into a view and returns its length.
PyObject *layer_parse_view(PyObject *, PyObject *args) noexcept
{
    ext::BufferView view;
    if (!PyArg_ParseTuple(args, "y*:parse_view", view.out()))
        return nullptr;
    return PyLong_FromSsize_t(view.size());
}

// Allocates n bytes and drops them without freeing, so the suite can prove
// the sanitizer run's leak check finds our leaks.
PyObject *layer_leak(PyObject *, PyObject *arg) noexcept
{
    Py_ssize_t n = PyLong_AsSsize_t(arg);
    if (n == -1 && PyErr_Occurred())
        return nullptr;
    if (PyMem_Malloc(n > 0 ? static_cast<size_t>(n) : 1) == nullptr)
        return PyErr_NoMemory();
    Py_RETURN_NONE;
}

PyMethodDef layer_methods[] = {
    {"ref_moves", layer_ref_moves, METH_O, nullptr},
    {"hold_view", layer_hold_view, METH_VARARGS, nullptr},
    {"parse_view", layer_parse_view, METH_VARARGS, nullptr},
    {"leak", layer_leak, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef layer_module = {
    PyModuleDef_HEAD_INIT, "_layer_test", nullptr, -1, layer_methods, nullptr, nullptr, nullptr, nullptr,
};

} // namespace

PyMODINIT_FUNC PyInit__layer_test()
{
    PyObject *m = PyModule_Create2(&layer_module, PYTHON_API_VERSION);
    if (m == nullptr)
        return nullptr;
    if (PyModule_Add(m, "answer", PyLong_FromLong(42)) < 0) {
        Py_DECREF(m);
        return nullptr;
    }
    return m;
}
