// tamvox: operations on fragments of raw linear audio samples.
#include "glue.hpp"

namespace tamvox
{

PyObject *error = nullptr;

bool check_size(int width) noexcept
{
    if (width < 1 || width > 4) {
        PyErr_SetString(error, "Size should be 1, 2, 3 or 4");
        return false;
    }
    return true;
}

bool check_frames(const ext::BufferView &view, int width) noexcept
{
    if (!check_size(width))
        return false;
    if (view.size() % width != 0) {
        PyErr_SetString(error, "not a whole number of frames");
        return false;
    }
    return true;
}

ext::Ref new_bytes(Py_ssize_t len, u8 **data) noexcept
{
    ext::Ref bytes = ext::steal(PyBytes_FromStringAndSize(nullptr, len));
    if (bytes)
        *data = reinterpret_cast<u8 *>(PyBytes_AS_STRING(bytes.get()));
    return bytes;
}

PyObject *no_memory_for_output() noexcept
{
    PyErr_SetString(PyExc_MemoryError, "not enough memory for output buffer");
    return nullptr;
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

// Which kernel table this process runs ("avx2" or "baseline"), for tests and
// benchmarks that must know which code they measured.
EXT_EXPORT const char *tamvox_kernel_isa(void)
{
    return tamvox::kernels().name;
}

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
