// tamvox: operations on fragments of raw linear audio samples.
#include "glue.hpp"

namespace tamvox
{

const Kernels &kernels() noexcept
{
    static const Kernels *chosen = &best_kernels();
    return *chosen;
}

namespace
{

#define TAMVOX_ENTRY(name) {#name, tamvox_##name, METH_VARARGS, tamvox_##name##__doc__},
PyMethodDef methods[] = {TAMVOX_FUNCTIONS(TAMVOX_ENTRY){nullptr, nullptr, 0, nullptr}};
#undef TAMVOX_ENTRY

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "tamvox", nullptr, -1, methods, nullptr, nullptr, nullptr, nullptr,
};

} // namespace
} // namespace tamvox

PyMODINIT_FUNC PyInit_tamvox()
{
    ext::Ref module = ext::steal(PyModule_Create2(&tamvox::module_def, PYTHON_API_VERSION));
    if (!module)
        return nullptr;
    // Every function raises this class; without it the module must not load.
    if (tamvox::error == nullptr) {
        tamvox::error = PyErr_NewException("tamvox.error", nullptr, nullptr);
        if (tamvox::error == nullptr)
            return nullptr;
    }
    if (PyModule_Add(module.get(), "error", Py_NewRef(tamvox::error)) < 0)
        return nullptr;
    tamvox::kernels(); // choose the instruction set once, up front
    return module.release();
}
