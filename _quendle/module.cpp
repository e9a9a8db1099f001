// The module frame: the Profiler type and the two record types getstats
// returns. No module-level functions.
#include "profiler.hpp"

#include "ref.hpp"

namespace
{

// Module initialisation may run more than once in a process; the static
// record types and the timer's argument tuple are made only the first time.
bool entry_ready = false;
bool subentry_ready = false;

bool ready_record_types() noexcept
{
    if (!entry_ready) {
        if (PyStructSequence_InitType2(&quendle::EntryType, &quendle::entry_desc) < 0)
            return false;
        entry_ready = true;
    }
    if (!subentry_ready) {
        if (PyStructSequence_InitType2(&quendle::SubEntryType, &quendle::subentry_desc) < 0)
            return false;
        subentry_ready = true;
    }
    if (quendle::empty_args == nullptr && (quendle::empty_args = PyTuple_New(0)) == nullptr)
        return false;
    return true;
}

PyModuleDef quendle_module = {
    PyModuleDef_HEAD_INIT, "_quendle", "Fast profiler", -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject *as_object(PyTypeObject *type) noexcept
{
    return reinterpret_cast<PyObject *>(type);
}

} // namespace

PyMODINIT_FUNC PyInit__quendle()
{
    ext::Ref module = ext::steal(PyModule_Create2(&quendle_module, PYTHON_API_VERSION));
    if (!module)
        return nullptr;
    // What a profiler needs (the record types getstats makes, the timer's
    // argument tuple) is ready before the type is: once readied, the type is
    // reachable through object.__subclasses__() even if this import fails.
    if (!ready_record_types())
        return nullptr;
    if (PyType_Ready(&quendle::ProfilerType) < 0)
        return nullptr;
    if (PyModule_Add(module.get(), "Profiler", Py_NewRef(as_object(&quendle::ProfilerType))) < 0)
        return nullptr;
    if (PyModule_Add(module.get(), "profiler_entry", Py_NewRef(as_object(&quendle::EntryType))) < 0 ||
        PyModule_Add(module.get(), "profiler_subentry", Py_NewRef(as_object(&quendle::SubEntryType))) < 0)
        return nullptr;
    return module.release();
}
