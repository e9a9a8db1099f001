// Opening, reading and writing file descriptors the way the interpreter's own
// file objects do. The interpreter's helpers for this are private and not
// exported by every version (3.13 hides its read helper), so modules use these.
//
// All three run with the interpreter lock held and release it around the
// system call; a call interrupted by a signal runs the Python signal handlers
// and is retried unless a handler raised. On failure they return -1 with
// OSError set and errno still holding the system's error number.
#pragma once

#include <Python.h>

#include <cerrno>
#include <cstddef>
#include <fcntl.h>
#include <unistd.h>

namespace ext
{

// Opens `path` with `flags` plus close-on-exec, after the "open" audit event
// that the interpreter's own opens raise. The OSError carries the file name.
inline int open_fd(const char *path, int flags) noexcept
{
    flags |= O_CLOEXEC;
    PyObject *name = PyUnicode_DecodeFSDefault(path);
    if (name == nullptr)
        return -1;
#if PY_VERSION_HEX >= 0x03080000 // audit hooks came with 3.8
    if (PySys_Audit("open", "OOi", name, Py_None, flags) < 0) {
        Py_DECREF(name);
        return -1;
    }
#endif
    int fd = -1;
    int err = 0;
    bool handler_failed = false;
    for (;;) {
        PyThreadState *state = PyEval_SaveThread();
        fd = ::open(path, flags);
        err = errno;
        PyEval_RestoreThread(state);
        if (fd >= 0 || err != EINTR)
            break;
        if (PyErr_CheckSignals() < 0) {
            handler_failed = true;
            break;
        }
    }
    if (fd < 0) {
        if (!handler_failed) {
            errno = err;
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name);
        }
        Py_DECREF(name);
        errno = err;
        return -1;
    }
    Py_DECREF(name);
    return fd;
}

namespace detail
{
// One of read/write, retried on EINTR after the signal handlers ran.
template <typename Call> Py_ssize_t retry_io(Call call) noexcept
{
    Py_ssize_t n = -1;
    int err = 0;
    for (;;) {
        PyThreadState *state = PyEval_SaveThread();
        n = call();
        err = errno;
        PyEval_RestoreThread(state);
        if (n >= 0)
            return n;
        if (err != EINTR)
            break;
        if (PyErr_CheckSignals() < 0) {
            errno = err;
            return -1;
        }
    }
    errno = err;
    PyErr_SetFromErrno(PyExc_OSError);
    errno = err;
    return -1;
}
} // namespace detail

// Reads at most `count` bytes (no more than PY_SSIZE_T_MAX at once).
inline Py_ssize_t read_fd(int fd, void *buf, size_t count) noexcept
{
    if (count > static_cast<size_t>(PY_SSIZE_T_MAX))
        count = static_cast<size_t>(PY_SSIZE_T_MAX);
    return detail::retry_io([&]() noexcept { return static_cast<Py_ssize_t>(::read(fd, buf, count)); });
}

// Writes at most `count` bytes once (the count written may be smaller).
inline Py_ssize_t write_fd(int fd, const void *buf, size_t count) noexcept
{
    if (count > static_cast<size_t>(PY_SSIZE_T_MAX))
        count = static_cast<size_t>(PY_SSIZE_T_MAX);
    return detail::retry_io([&]() noexcept { return static_cast<Py_ssize_t>(::write(fd, buf, count)); });
}

} // namespace ext
