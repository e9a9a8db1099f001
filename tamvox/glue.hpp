// What the argument-handling files share: the error class, the common
// checks and the entry points each file defines for the method table.
#pragma once

#include "buffer.hpp"
#include "compat.hpp"
#include "kernels.hpp"
#include "ref.hpp"

namespace tamvox
{

// The module's exception class, set once by initialisation.
extern PyObject *error;

// Width between 1 and 4, else `error` "Size should be 1, 2, 3 or 4".
bool check_size(int width) noexcept;
// check_size, then a length that is a whole number of samples.
bool check_frames(const ext::BufferView &view, int width) noexcept;
// Results this large are fresh pages from the system, and faulting them in
// one 4 KiB page at a time costs several times the filling; transparent huge
// pages, asked for before the first write, cut that cost.
inline constexpr Py_ssize_t huge_result = Py_ssize_t(32) << 20;
void advise_huge_pages(u8 *data, Py_ssize_t len) noexcept;
// A new bytes object of `len` bytes, uninitialised, to be filled through *data
// (huge pages advised for a result of huge_result bytes or more).
ext::Ref new_bytes(Py_ssize_t len, u8 **data) noexcept;
PyObject *no_memory_for_output() noexcept;

// clang-format off: one entry per line, which it would reflow differently on each run
#define TAMVOX_FUNCTIONS(X)                                                                                            \
    X(max)                                                                                                             \
    X(minmax)                                                                                                          \
    X(avg)                                                                                                             \
    X(maxpp)                                                                                                           \
    X(avgpp)                                                                                                           \
    X(rms)                                                                                                             \
    X(findfit)                                                                                                         \
    X(findmax)                                                                                                         \
    X(findfactor)                                                                                                      \
    X(cross)                                                                                                           \
    X(mul)                                                                                                             \
    X(add)                                                                                                             \
    X(bias)                                                                                                            \
    X(ulaw2lin)                                                                                                        \
    X(lin2ulaw)                                                                                                        \
    X(alaw2lin)                                                                                                        \
    X(lin2alaw)                                                                                                        \
    X(lin2lin)                                                                                                         \
    X(adpcm2lin)                                                                                                       \
    X(lin2adpcm)                                                                                                       \
    X(tomono)                                                                                                          \
    X(tostereo)                                                                                                        \
    X(getsample)                                                                                                       \
    X(reverse)                                                                                                         \
    X(byteswap)                                                                                                        \
    X(ratecv)
// clang-format on

#define TAMVOX_DECLARE(name)                                                                                           \
    PyObject *tamvox_##name(PyObject *, PyObject *args) noexcept;                                                      \
    extern const char tamvox_##name##__doc__[];
TAMVOX_FUNCTIONS(TAMVOX_DECLARE)
#undef TAMVOX_DECLARE

} // namespace tamvox
