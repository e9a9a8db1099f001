// _tamvox_kernels: every tamvox operation, built from the same sources, over
// a kernel table the caller chooses, so tests can run the baseline and the
// AVX2 table on the same inputs in one process. Test builds only; the
// shipped module picks its table once and offers no choice.
#include "glue.hpp"

#include <cstring>

namespace tamvox
{
namespace
{

const Kernels *current = nullptr;

// The tables this CPU can run, the baseline first.
int runnable(const Kernels **tables) noexcept
{
    int n = 0;
    tables[n++] = &baseline_kernels;
    if (&best_kernels() == &avx2_kernels)
        tables[n++] = &avx2_kernels;
    return n;
}

PyObject *isas(PyObject *, PyObject *) noexcept
{
    const Kernels *tables[2];
    int n = runnable(tables);
    ext::Ref result = ext::steal(PyTuple_New(n));
    if (!result)
        return nullptr;
    for (int i = 0; i < n; i++) {
        PyObject *name = PyUnicode_FromString(tables[i]->name);
        if (name == nullptr)
            return nullptr;
        PyTuple_SET_ITEM(result.get(), i, name);
    }
    return result.release();
}

PyObject *best(PyObject *, PyObject *) noexcept
{
    return PyUnicode_FromString(best_kernels().name);
}

PyObject *use(PyObject *, PyObject *arg) noexcept
{
    const char *name = PyUnicode_AsUTF8(arg);
    if (name == nullptr)
        return nullptr;
    const Kernels *tables[2];
    int n = runnable(tables);
    for (int i = 0; i < n; i++) {
        if (std::strcmp(tables[i]->name, name) == 0) {
            current = tables[i];
            Py_RETURN_NONE;
        }
    }
    PyErr_Format(PyExc_ValueError, "kernels %R cannot run on this CPU", arg);
    return nullptr;
}

#define TAMVOX_ENTRY(name) {#name, tamvox_##name, METH_VARARGS, tamvox_##name##__doc__},
PyMethodDef methods[] = {
    TAMVOX_FUNCTIONS(TAMVOX_ENTRY){"isas", isas, METH_NOARGS, "The kernel tables this CPU can run."},
    {"best", best, METH_NOARGS, "The kernel table tamvox itself runs on this CPU."},
    {"use", use, METH_O, "Run the operations through the named kernel table."},
    {nullptr, nullptr, 0, nullptr},
};
#undef TAMVOX_ENTRY

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_tamvox_kernels", nullptr, -1, methods, nullptr, nullptr, nullptr, nullptr,
};

} // namespace

const Kernels &kernels() noexcept
{
    if (current == nullptr)
        current = &best_kernels();
    return *current;
}

} // namespace tamvox

PyMODINIT_FUNC PyInit__tamvox_kernels()
{
    ext::Ref module = ext::steal(PyModule_Create2(&tamvox::module_def, PYTHON_API_VERSION));
    if (!module)
        return nullptr;
    if (tamvox::error == nullptr) {
        tamvox::error = PyErr_NewException("_tamvox_kernels.error", nullptr, nullptr);
        if (tamvox::error == nullptr)
            return nullptr;
    }
    if (PyModule_Add(module.get(), "error", Py_NewRef(tamvox::error)) < 0)
        return nullptr;
    return module.release();
}
