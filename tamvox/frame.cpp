// What every operation shares: the error class and the common checks.
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

} // namespace tamvox
