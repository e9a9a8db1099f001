// What every operation shares: the error class and the common checks.
#include "glue.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

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

void advise_huge_pages(u8 *data, Py_ssize_t len) noexcept
{
#ifdef MADV_HUGEPAGE
    if (len < huge_result)
        return;
    const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto start = reinterpret_cast<uintptr_t>(data), end = start + static_cast<uintptr_t>(len);
    const uintptr_t first = (start + page - 1) / page * page, last = end / page * page;
    // Only whole pages inside the result: the allocator's pages around it
    // are left as they are. Refusal (no THP support) changes nothing.
    if (first < last)
        (void)madvise(reinterpret_cast<void *>(first), last - first, MADV_HUGEPAGE);
#else
    (void)data;
    (void)len;
#endif
}

ext::Ref new_bytes(Py_ssize_t len, u8 **data) noexcept
{
    ext::Ref bytes = ext::steal(PyBytes_FromStringAndSize(nullptr, len));
    if (bytes) {
        *data = reinterpret_cast<u8 *>(PyBytes_AS_STRING(bytes.get()));
        advise_huge_pages(*data, len);
    }
    return bytes;
}

PyObject *no_memory_for_output() noexcept
{
    PyErr_SetString(PyExc_MemoryError, "not enough memory for output buffer");
    return nullptr;
}

} // namespace tamvox
