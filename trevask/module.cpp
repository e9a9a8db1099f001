// A template module: three types made at run time from PyType_Spec records, an
// exception class and plain functions, written against the limited API alone
// so that one binary serves every interpreter.
#include "compat.hpp"
#include "attr_object.hpp"
#include "ref.hpp"

namespace
{

constexpr char Xxo_delete_message[] = "delete non-existing Xxo attribute";
using XxoSlots = ext::AttrObjectSlots<Xxo_delete_message>;

// Shared by every module object made from the definition: the type new()
// instantiates (replaced by each execution) and the exception class (made once).
PyObject *xxo_type = nullptr;
PyObject *error_class = nullptr;

PyDoc_STRVAR(Xxo_demo__doc__, "demo() -> None");

PyMethodDef Xxo_methods[] = {
    {"demo", XxoSlots::demo, METH_VARARGS, Xxo_demo__doc__},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot Xxo_slots[] = {
    {Py_tp_doc, const_cast<char *>("The Xxo type")},
    {Py_tp_traverse, reinterpret_cast<void *>(XxoSlots::traverse)},
    {Py_tp_finalize, reinterpret_cast<void *>(XxoSlots::finalize)},
    {Py_tp_getattro, reinterpret_cast<void *>(XxoSlots::getattro)},
    {Py_tp_setattr, reinterpret_cast<void *>(XxoSlots::setattr)},
    {Py_tp_methods, Xxo_methods},
    {0, nullptr},
};

PyType_Spec Xxo_spec = {
    "trevask.Xxo", sizeof(ext::AttrObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_FINALIZE,
    Xxo_slots,
};

// The base is filled in by the exec function.
PyType_Slot Str_slots[] = {
    {Py_tp_base, nullptr},
    {0, nullptr},
};

PyType_Spec Str_spec = {"trevask.Str", 0, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, Str_slots};

PyObject *Null_richcompare(PyObject *, PyObject *, int) noexcept
{
    Py_RETURN_NOTIMPLEMENTED;
}

// Base and constructor are filled in by the exec function.
PyType_Slot Null_slots[] = {
    {Py_tp_base, nullptr},
    {Py_tp_new, nullptr},
    {Py_tp_richcompare, reinterpret_cast<void *>(Null_richcompare)},
    {0, nullptr},
};

PyType_Spec Null_spec = {"trevask.Null", 0, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, Null_slots};

PyDoc_STRVAR(trevask_roj__doc__, "roj(a,b) -> None");

// The parser rejects "O#" as a bad format, so this only ever reports that.
PyObject *trevask_roj(PyObject *, PyObject *args) noexcept
{
    PyObject *a = nullptr;
    Py_ssize_t b = 0;
    if (!PyArg_ParseTuple(args, "O#:roj", &a, &b))
        return nullptr;
    Py_RETURN_NONE;
}

PyDoc_STRVAR(trevask_foo__doc__, "foo(i,j)\n\nReturn the sum of i and j.");

PyObject *trevask_foo(PyObject *, PyObject *args) noexcept
{
    long i = 0;
    long j = 0;
    if (!PyArg_ParseTuple(args, "ll:foo", &i, &j))
        return nullptr;
    long sum = 0;
    if (!__builtin_add_overflow(i, j, &sum))
        return PyLong_FromLong(sum);
    // Past the range of long the exact sum is still an integer.
    ext::Ref a = ext::steal(PyLong_FromLong(i));
    ext::Ref b = ext::steal(PyLong_FromLong(j));
    if (!a || !b)
        return nullptr;
    return PyNumber_Add(a.get(), b.get());
}

PyDoc_STRVAR(trevask_new__doc__, "new() -> new Xx object");

PyObject *trevask_new(PyObject *, PyObject *args) noexcept
{
    if (!PyArg_ParseTuple(args, ":new"))
        return nullptr;
    if (xxo_type == nullptr) {
        PyErr_SetString(PyExc_SystemError, "trevask: Xxo type is not ready");
        return nullptr;
    }
    // Through the type's own allocator: it zeroes the record (attr_dict is
    // null), takes the reference an instance holds on its heap type, and
    // tracks the object for the collector.
    auto type = reinterpret_cast<PyTypeObject *>(xxo_type);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    if (alloc == nullptr) {
        PyErr_SetString(PyExc_SystemError, "trevask: Xxo type has no allocator");
        return nullptr;
    }
    return alloc(type, 0);
}

PyMethodDef trevask_methods[] = {
    {"roj", trevask_roj, METH_VARARGS, trevask_roj__doc__},
    {"foo", trevask_foo, METH_VARARGS, trevask_foo__doc__},
    {"new", trevask_new, METH_VARARGS, trevask_new__doc__},
    {nullptr, nullptr, 0, nullptr},
};

int trevask_exec(PyObject *module) noexcept
{
    Null_slots[0].pfunc = &PyBaseObject_Type;
    Null_slots[1].pfunc = reinterpret_cast<void *>(PyType_GenericNew);
    Str_slots[0].pfunc = &PyUnicode_Type;

    PyObject *type = PyType_FromSpec(&Xxo_spec);
    if (type == nullptr)
        return -1;
    ext::Ref previous = ext::steal(xxo_type); // instances keep their own type alive
    xxo_type = type;

    if (error_class == nullptr) {
        error_class = PyErr_NewException("trevask.error", nullptr, nullptr);
        if (error_class == nullptr)
            return -1;
    }
    if (PyModule_Add(module, "error", Py_NewRef(error_class)) < 0)
        return -1;
    // A second type from the same PyType_Spec: not the one new() uses.
    if (PyModule_Add(module, "Xxo", PyType_FromSpec(&Xxo_spec)) < 0)
        return -1;
    if (PyModule_Add(module, "Str", PyType_FromSpec(&Str_spec)) < 0)
        return -1;
    if (PyModule_Add(module, "Null", PyType_FromSpec(&Null_spec)) < 0)
        return -1;
    return 0;
}

PyModuleDef_Slot trevask_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(trevask_exec)},
    {0, nullptr},
};

PyDoc_STRVAR(trevask__doc__, "This is a template module just for instruction.");

PyModuleDef trevask_module = {
    PyModuleDef_HEAD_INIT, "trevask", trevask__doc__, 0, trevask_methods, trevask_slots, nullptr, nullptr, nullptr,
};

} // namespace

PyMODINIT_FUNC PyInit_trevask()
{
    return PyModuleDef_Init(&trevask_module);
}
