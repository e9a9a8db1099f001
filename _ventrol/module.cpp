// The _ventrol module: its state, its functions and its initialisation.
#include "ventrol.hpp"

namespace ventrol
{

CursesApi curses_api;

namespace
{

ModuleState *state_of(PyObject *module) noexcept
{
    return static_cast<ModuleState *>(PyModule_GetState(module));
}

PyObject *ventrol_bottom_panel(PyObject *, PyObject *) noexcept
{
    if (!curses_api.initialised())
        return nullptr;
    return panel_result(panel_above(nullptr), "panel_above");
}

PyObject *ventrol_new_panel(PyObject *module, PyObject *args) noexcept
{
    PyObject *window = nullptr;
    if (!PyArg_ParseTuple(args, "O!", curses_api.window_type(), &window))
        return nullptr;
    auto *type = reinterpret_cast<PyTypeObject *>(state_of(module)->panel_type);
    return new_panel_object(type, window);
}

PyObject *ventrol_top_panel(PyObject *, PyObject *) noexcept
{
    if (!curses_api.initialised())
        return nullptr;
    return panel_result(panel_below(nullptr), "panel_below");
}

PyObject *ventrol_update_panels(PyObject *, PyObject *) noexcept
{
    if (!curses_api.initialised())
        return nullptr;
    update_panels();
    Py_RETURN_NONE;
}

PyMethodDef ventrol_functions[] = {
    {"bottom_panel", ventrol_bottom_panel, METH_NOARGS, nullptr},
    {"new_panel", ventrol_new_panel, METH_VARARGS, nullptr},
    {"top_panel", ventrol_top_panel, METH_NOARGS, nullptr},
    {"update_panels", ventrol_update_panels, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

int ventrol_traverse(PyObject *module, visitproc visit, void *arg) noexcept
{
    ModuleState *state = state_of(module);
    Py_VISIT(state->error);
    Py_VISIT(state->panel_type);
    return 0;
}

int ventrol_clear(PyObject *module) noexcept
{
    ModuleState *state = state_of(module);
    Py_CLEAR(state->error);
    Py_CLEAR(state->panel_type);
    return 0;
}

void ventrol_free(void *module) noexcept
{
    ventrol_clear(static_cast<PyObject *>(module));
}

PyModuleDef ventrol_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_ventrol",
    .m_doc = nullptr,
    .m_size = sizeof(ModuleState),
    .m_methods = ventrol_functions,
    .m_slots = nullptr,
    .m_traverse = ventrol_traverse,
    .m_clear = ventrol_clear,
    .m_free = ventrol_free,
};

// Takes _curses' table from its capsule (importing _curses if need be). The
// table is kept only once found, so a failed import leaves earlier modules
// and their panels working.
bool import_curses_api() noexcept
{
    void *table = PyCapsule_Import("_curses._C_API", 1);
    if (table == nullptr) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_ImportError, "_curses._C_API holds no function table");
        return false;
    }
    curses_api.table = static_cast<void **>(table);
    return true;
}

} // namespace

PyObject *error_class() noexcept
{
    // Panel methods have no module at hand; the module last initialised is
    // the one whose error Python code sees. Late in interpreter shutdown it
    // may be gone already.
    PyObject *module = PyState_FindModule(&ventrol_module);
    if (module != nullptr && state_of(module)->error != nullptr)
        return state_of(module)->error;
    return PyExc_RuntimeError;
}

PyObject *report(int result, const char *name) noexcept
{
    if (result != ERR)
        Py_RETURN_NONE;
    if (name != nullptr)
        PyErr_Format(error_class(), "%s() returned ERR", name);
    else
        PyErr_SetString(error_class(), "curses function returned ERR");
    return nullptr;
}

} // namespace ventrol

PyMODINIT_FUNC PyInit__ventrol()
{
    using namespace ventrol;
    ext::Ref module = ext::steal(PyModule_Create2(&ventrol_module, PYTHON_API_VERSION));
    if (!module)
        return nullptr;
    ModuleState *state = state_of(module.get());
    state->panel_type = make_panel_type();
    if (state->panel_type == nullptr || !import_curses_api())
        return nullptr;
    state->error = PyErr_NewException("_ventrol.error", nullptr, nullptr);
    if (state->error == nullptr || PyModule_AddObjectRef(module.get(), "error", state->error) < 0)
        return nullptr;
    ext::Ref version = ext::steal(PyUnicode_FromString("2.1"));
    if (!version || PyModule_AddObjectRef(module.get(), "version", version.get()) < 0 ||
        PyModule_AddObjectRef(module.get(), "__version__", version.get()) < 0)
        return nullptr;
    return module.release();
}
