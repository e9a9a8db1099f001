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
// A new bytes object of `len` bytes, uninitialised, to be filled through *data.
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
