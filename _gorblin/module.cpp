// One library, many multi-phase modules: the loader picks the init function by
// the name the file is imported under. Besides a working module there are
// definitions whose export, create or exec step is faulty in each way the
// loader must detect; they present the fault and nothing else.
#include "gorblin.hpp"

#include "attr_object.hpp"
#include "ref.hpp"

namespace
{

// -- The Example type -------------------------------------------------------

constexpr char Example_delete_message[] = "delete non-existing Example attribute";
using ExampleSlots = ext::AttrObjectSlots<Example_delete_message>;

PyDoc_STRVAR(Example_demo__doc__, "demo() -> None");

PyMethodDef Example_methods[] = {
    {"demo", ExampleSlots::demo, METH_VARARGS, Example_demo__doc__},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot Example_slots[] = {
    {Py_tp_doc, const_cast<char *>("The Example type")},
    {Py_tp_finalize, reinterpret_cast<void *>(ExampleSlots::finalize)},
    {Py_tp_traverse, reinterpret_cast<void *>(ExampleSlots::traverse)},
    {Py_tp_getattro, reinterpret_cast<void *>(ExampleSlots::getattro)},
    {Py_tp_setattr, reinterpret_cast<void *>(ExampleSlots::setattr)},
    {Py_tp_methods, Example_methods},
    {0, nullptr},
};

PyType_Spec Example_spec = {
    "_testimportexec.Example",
    sizeof(ext::AttrObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_FINALIZE,
    Example_slots,
};

// The base is filled in by the exec function.
PyType_Slot Str_slots[] = {
    {Py_tp_base, nullptr},
    {0, nullptr},
};

PyType_Spec Str_spec = {"_testimportexec.Str", 0, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, Str_slots};

// -- Functions of the main module ---------------------------------------------

PyDoc_STRVAR(gorblin_foo__doc__, "foo(i,j)\n\nReturn the sum of i and j.");

PyObject *gorblin_foo(PyObject *, PyObject *args) noexcept
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

PyDoc_STRVAR(gorblin_call_state_registration_func__doc__, "register_state(0): call PyState_FindModule()\n"
                                                          "register_state(1): call PyState_AddModule()\n"
                                                          "register_state(2): call PyState_RemoveModule()");

// Hands the module to the interpreter's registry of single-instance modules;
// whether the registry accepts a multi-phase module is the interpreter's call.
PyObject *gorblin_call_state_registration_func(PyObject *module, PyObject *args) noexcept
{
    int i = 0;
    if (!PyArg_ParseTuple(args, "i:call_state_registration_func", &i))
        return nullptr;
    PyModuleDef *def = PyModule_GetDef(module);
    if (def == nullptr) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "module has no definition");
        return nullptr;
    }
    switch (i) {
    case 0: {
        PyObject *found = PyState_FindModule(def); // borrowed
        if (found == nullptr) {
            if (PyErr_Occurred())
                return nullptr;
            Py_RETURN_NONE;
        }
        return Py_NewRef(found);
    }
    case 1:
        if (PyState_AddModule(module, def) < 0)
            return nullptr;
        break;
    case 2:
        if (PyState_RemoveModule(def) < 0)
            return nullptr;
        break;
    default:
        break;
    }
    Py_RETURN_NONE;
}

PyMethodDef main_methods[] = {
    {"foo", gorblin_foo, METH_VARARGS, gorblin_foo__doc__},
    {"call_state_registration_func", gorblin_call_state_registration_func, METH_VARARGS,
     gorblin_call_state_registration_func__doc__},
    {nullptr, nullptr, 0, nullptr},
};

// Everything is made afresh for each module object; nothing is process-wide.
int main_exec(PyObject *module) noexcept
{
    Str_slots[0].pfunc = &PyUnicode_Type;
    if (PyModule_Add(module, "Example", PyType_FromSpec(&Example_spec)) < 0)
        return -1;
    if (PyModule_Add(module, "error", PyErr_NewException("_testimportexec.error", nullptr, nullptr)) < 0)
        return -1;
    if (PyModule_Add(module, "Str", PyType_FromSpec(&Str_spec)) < 0)
        return -1;
    if (PyModule_AddIntConstant(module, "int_const", 1969) < 0)
        return -1;
    if (PyModule_AddStringConstant(module, "str_const", "something different") < 0)
        return -1;
    return 0;
}

// -- Definitions ----------------------------------------------------------------

constexpr PyModuleDef make_def(const char *name, const char *doc, Py_ssize_t size, PyMethodDef *methods,
                               PyModuleDef_Slot *slots) noexcept
{
    return {PyModuleDef_HEAD_INIT, name, doc, size, methods, slots, nullptr, nullptr, nullptr};
}

PyModuleDef main_def = make_def("main", "Test module main", 0, main_methods, main_slots);
PyModuleDef imp_dummy_def = make_def("imp_dummy", "Test module imp_dummy", 0, main_methods, main_slots);
// Never passed through PyModuleDef_Init: its object header stays blank.
PyModuleDef uninitialized_def = make_def("main", "Test module main", 0, main_methods, main_slots);

// Defined below, beside their slots; the create function checks for them.
extern PyModuleDef nonmodule_def;
extern PyModuleDef nonmodule_with_exec_slots_def;
extern PyModuleDef create_with_state_def;
extern PyModuleDef negative_size_def;

// Returns a plain namespace {three: 3}, which is not a module object. Only the
// definitions that name this function may use it; each presents the loader
// with its own fault (exec slots, or module state, on a non-module).
PyObject *nonmodule_create(PyObject *, PyModuleDef *def) noexcept
{
    if (def != &nonmodule_def && def != &nonmodule_with_exec_slots_def && def != &create_with_state_def &&
        def != &negative_size_def) {
        PyErr_SetString(PyExc_SystemError, "def does not match");
        return nullptr;
    }
    ext::Ref kwargs = ext::steal(PyDict_New());
    if (!kwargs)
        return nullptr;
    ext::Ref three = ext::steal(PyLong_FromLong(3));
    if (!three || PyDict_SetItemString(kwargs.get(), "three", three.get()) < 0)
        return nullptr;
    // The public namespace type, rather than the interpreter's internal
    // constructor for it.
    ext::Ref types = ext::steal(PyImport_ImportModule("types"));
    if (!types)
        return nullptr;
    ext::Ref ns_type = ext::steal(PyObject_GetAttrString(types.get(), "SimpleNamespace"));
    if (!ns_type)
        return nullptr;
    ext::Ref no_args = ext::steal(PyTuple_New(0));
    if (!no_args)
        return nullptr;
    return PyObject_Call(ns_type.get(), no_args.get(), kwargs.get());
}

PyModuleDef_Slot nonmodule_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(nonmodule_create)},
    {0, nullptr},
};

PyModuleDef_Slot nonmodule_with_exec_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(nonmodule_create)},
    {Py_mod_exec, reinterpret_cast<void *>(main_exec)},
    {0, nullptr},
};

PyModuleDef nonmodule_def =
    make_def("_gorblin_nonmodule", "Test module _gorblin_nonmodule", 0, nullptr, nonmodule_slots);
PyModuleDef nonmodule_with_exec_slots_def =
    make_def("_gorblin_nonmodule_with_exec_slots", "Test module _gorblin_nonmodule_with_exec_slots", 0, nullptr,
             nonmodule_with_exec_slots);
PyModuleDef create_with_state_def = make_def(
    "create_with_state", "Not a PyModuleObject object, but requests per-module state", 10, nullptr, nonmodule_slots);
PyModuleDef negative_size_def =
    make_def("negative_size", "PyModuleDef with negative m_size", -1, nullptr, nonmodule_slots);

// One past the highest slot number the interpreter defines, so that it stays
// unknown on every version (later versions defined slots 3 and 4).
PyModuleDef_Slot bad_slot_large_slots[] = {
    {_Py_mod_LAST_SLOT + 1, nullptr},
    {0, nullptr},
};

PyModuleDef_Slot bad_slot_negative_slots[] = {
    {-1, nullptr},
    {0, nullptr},
};

PyObject *create_null(PyObject *, PyModuleDef *) noexcept
{
    return nullptr;
}

PyObject *create_raise(PyObject *, PyModuleDef *) noexcept
{
    PyErr_SetString(PyExc_SystemError, "bad create function");
    return nullptr;
}

PyObject *create_unreported_exception(PyObject *, PyModuleDef *) noexcept
{
    PyErr_SetString(PyExc_SystemError, "bad create function");
    return PyModule_New("foo");
}

int exec_err(PyObject *) noexcept
{
    return -1;
}

int exec_raise(PyObject *) noexcept
{
    PyErr_SetString(PyExc_SystemError, "bad exec function");
    return -1;
}

int exec_unreported_exception(PyObject *) noexcept
{
    PyErr_SetString(PyExc_SystemError, "bad exec function");
    return 0;
}

PyModuleDef_Slot create_raise_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(create_raise)},
    {0, nullptr},
};
PyModuleDef_Slot create_unreported_exception_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(create_unreported_exception)},
    {0, nullptr},
};
PyModuleDef_Slot exec_err_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec_err)},
    {0, nullptr},
};
PyModuleDef_Slot exec_raise_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec_raise)},
    {0, nullptr},
};
PyModuleDef_Slot exec_unreported_exception_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec_unreported_exception)},
    {0, nullptr},
};

PyModuleDef null_slots_def = make_def("_gorblin_null_slots", "Test module _gorblin_null_slots", 0, nullptr, nullptr);
PyModuleDef bad_slot_large_def =
    make_def("_gorblin_bad_slot_large", "Test module _gorblin_bad_slot_large", 0, nullptr, bad_slot_large_slots);
PyModuleDef bad_slot_negative_def = make_def("_gorblin_bad_slot_negative", "Test module _gorblin_bad_slot_negative", 0,
                                             nullptr, bad_slot_negative_slots);
PyModuleDef create_null_def =
    make_def("_gorblin_create_null", "Test module _gorblin_create_null", 0, nullptr, slots_create_null);
PyModuleDef create_raise_def =
    make_def("_gorblin_create_raise", "Test module _gorblin_create_raise", 0, nullptr, create_raise_slots);
PyModuleDef create_unreported_exception_def =
    make_def("_gorblin_create_unreported_exception", "Test module _gorblin_create_unreported_exception", 0, nullptr,
             create_unreported_exception_slots);
PyModuleDef exec_err_def = make_def("_gorblin_exec_err", "Test module _gorblin_exec_err", 0, nullptr, exec_err_slots);
PyModuleDef exec_raise_def =
    make_def("_gorblin_exec_raise", "Test module _gorblin_exec_raise", 0, nullptr, exec_raise_slots);
PyModuleDef exec_unreported_exception_def =
    make_def("_gorblin_exec_unreported_exception", "Test module _gorblin_exec_unreported_exception", 0, nullptr,
             exec_unreported_exception_slots);
PyModuleDef nonascii_latin_def = make_def("_gorblin_nonascii_latin", "Module named in Czech", 0, nullptr, nullptr);
PyModuleDef nonascii_kana_def = make_def("_gorblin_nonascii_kana", "Module named in Japanese", 0, nullptr, nullptr);

} // namespace

PyModuleDef_Slot main_slots[2] = {
    {Py_mod_exec, reinterpret_cast<void *>(main_exec)},
    {0, nullptr},
};

PyModuleDef_Slot slots_create_null[2] = {
    {Py_mod_create, reinterpret_cast<void *>(create_null)},
    {0, nullptr},
};

// -- Initialisation functions ----------------------------------------------------

PyMODINIT_FUNC PyInit__gorblin()
{
    return PyModuleDef_Init(&main_def);
}
PyMODINIT_FUNC PyInit_x()
{
    return PyModuleDef_Init(&main_def);
}
PyMODINIT_FUNC PyInit_imp_dummy()
{
    return PyModuleDef_Init(&imp_dummy_def);
}
PyMODINIT_FUNC PyInit__gorblin_nonmodule()
{
    return PyModuleDef_Init(&nonmodule_def);
}
PyMODINIT_FUNC PyInit__gorblin_nonmodule_with_exec_slots()
{
    return PyModuleDef_Init(&nonmodule_with_exec_slots_def);
}
PyMODINIT_FUNC PyInit__gorblin_create_int_with_state()
{
    return PyModuleDef_Init(&create_with_state_def);
}
PyMODINIT_FUNC PyInit__gorblin_negative_size()
{
    return PyModuleDef_Init(&negative_size_def);
}
PyMODINIT_FUNC PyInit__gorblin_null_slots()
{
    return PyModuleDef_Init(&null_slots_def);
}
PyMODINIT_FUNC PyInit__gorblin_bad_slot_large()
{
    return PyModuleDef_Init(&bad_slot_large_def);
}
PyMODINIT_FUNC PyInit__gorblin_bad_slot_negative()
{
    return PyModuleDef_Init(&bad_slot_negative_def);
}
PyMODINIT_FUNC PyInit__gorblin_create_null()
{
    return PyModuleDef_Init(&create_null_def);
}
PyMODINIT_FUNC PyInit__gorblin_create_raise()
{
    return PyModuleDef_Init(&create_raise_def);
}
PyMODINIT_FUNC PyInit__gorblin_create_unreported_exception()
{
    return PyModuleDef_Init(&create_unreported_exception_def);
}
PyMODINIT_FUNC PyInit__gorblin_exec_err()
{
    return PyModuleDef_Init(&exec_err_def);
}
PyMODINIT_FUNC PyInit__gorblin_exec_raise()
{
    return PyModuleDef_Init(&exec_raise_def);
}
PyMODINIT_FUNC PyInit__gorblin_exec_unreported_exception()
{
    return PyModuleDef_Init(&exec_unreported_exception_def);
}
PyMODINIT_FUNC PyInit__gorblin_export_null()
{
    return nullptr;
}
PyMODINIT_FUNC PyInit__gorblin_export_raise()
{
    PyErr_SetString(PyExc_SystemError, "bad export function");
    return nullptr;
}
PyMODINIT_FUNC PyInit__gorblin_export_unreported_exception()
{
    PyErr_SetString(PyExc_SystemError, "bad export function");
    return PyModuleDef_Init(&main_def);
}
PyMODINIT_FUNC PyInit__gorblin_export_uninitialized()
{
    return reinterpret_cast<PyObject *>(&uninitialized_def);
}
// Non-ASCII module names: "PyInitU_" and the name's Punycode, "-" made "_".
// "_gorblin_zkouška_načtení"
PyMODINIT_FUNC PyInitU__gorblin_zkouka_naten_e8b64e06d()
{
    return PyModuleDef_Init(&nonascii_latin_def);
}
// "＿インポートテスト"
PyMODINIT_FUNC PyInitU_eckzbwbhc6jpgzcx415x()
{
    return PyModuleDef_Init(&nonascii_kana_def);
}
