// Messages to the system logger through libc.
#include "compat.hpp"
#include "ref.hpp"

#include <syslog.h>

#include <climits>
#include <cstdint>
#include <cstring>

namespace
{

// libc keeps the identifier pointer it was given and uses it for every later
// message, so the string whose UTF-8 buffer it points into is held here until
// libc has been told about its successor (or the log is closed). Only touched
// with the interpreter lock held.
PyObject *log_ident = nullptr;
bool log_is_open = false;

// The UTF-8 form of `text` as a C string. An embedded NUL would silently cut
// the text short, so it is refused the same way on every interpreter version.
const char *c_string(PyObject *text) noexcept
{
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (utf8 == nullptr)
        return nullptr;
    if (std::strlen(utf8) != static_cast<size_t>(size)) {
        PyErr_SetString(PyExc_ValueError, "embedded null character");
        return nullptr;
    }
    return utf8;
}

// libc takes int for options, facilities and masks; a long beyond that range
// is refused rather than silently cut down to another value.
bool to_int(long value, int *out) noexcept
{
    if (value < INT_MIN || value > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
        return false;
    }
    *out = static_cast<int>(value);
    return true;
}

// The last path component of sys.argv[0], or nothing when argv is missing,
// odd, empty or not encodable: libc then names the program itself. Never
// leaves an exception pending.
ext::Ref default_ident() noexcept
{
    PyObject *argv = PySys_GetObject("argv");
    if (argv == nullptr)
        return {};
    Py_ssize_t count = PyList_Size(argv);
    if (count <= 0) {
        PyErr_Clear();
        return {};
    }
    PyObject *first = PyList_GetItem(argv, 0);
    if (first == nullptr || !PyUnicode_Check(first)) {
        PyErr_Clear();
        return {};
    }
    Py_ssize_t length = PyUnicode_GetLength(first);
    if (length <= 0) {
        PyErr_Clear();
        return {};
    }
    Py_ssize_t slash = PyUnicode_FindChar(first, '/', 0, length, -1);
    if (slash == -2) {
        PyErr_Clear();
        return {};
    }
    ext::Ref ident = slash == -1 ? ext::borrow(first) : ext::steal(PyUnicode_Substring(first, slash + 1, length));
    if (!ident || c_string(ident.get()) == nullptr) {
        PyErr_Clear();
        return {};
    }
    return ident;
}

// Opens (or re-opens) the log. The new identifier is encoded and handed to
// libc before the old one is dropped, so libc never holds a freed pointer,
// not even when encoding fails or another thread is inside syslog().
int open_log(PyObject *explicit_ident, int option, int facility) noexcept
{
    ext::Ref ident = explicit_ident != nullptr ? ext::borrow(explicit_ident) : default_ident();
    const char *utf8 = nullptr;
    if (ident) {
        utf8 = c_string(ident.get());
        if (utf8 == nullptr)
            return -1;
    }
    openlog(utf8, option, facility);
    // The state is complete before the old identifier goes: its finalizer
    // may call back into this module.
    log_is_open = true;
    PyObject *old = log_ident;
    log_ident = ident.release();
    Py_XDECREF(old);
    return 0;
}

PyObject *syslog_openlog(PyObject *, PyObject *args, PyObject *kwargs) noexcept
{
    static const char *keywords[] = {"ident", "logoption", "facility", nullptr};
    PyObject *ident = nullptr;
    long logoption = 0;
    long facility = LOG_USER;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|Ull:openlog", const_cast<char **>(keywords), &ident, &logoption,
                                     &facility))
        return nullptr;
    int option_value = 0;
    int facility_value = 0;
    if (!to_int(logoption, &option_value) || !to_int(facility, &facility_value))
        return nullptr;
    if (open_log(ident, option_value, facility_value) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *syslog_closelog(PyObject *, PyObject *) noexcept
{
    if (log_is_open) {
        closelog();
        log_is_open = false;
        Py_CLEAR(log_ident); // last: the identifier's finalizer may reopen the log
    }
    Py_RETURN_NONE;
}

PyObject *syslog_syslog(PyObject *, PyObject *args) noexcept
{
    int priority = LOG_INFO;
    PyObject *message = nullptr;
    if (!PyArg_ParseTuple(args, "iU;[priority,] message string", &priority, &message)) {
        PyErr_Clear();
        if (!PyArg_ParseTuple(args, "U;[priority,] message string", &message))
            return nullptr;
    }
    const char *text = c_string(message);
    if (text == nullptr)
        return nullptr;
    // The implicit open uses the defaults; it cannot fail, since a default
    // identifier that cannot be encoded counts as none.
    if (!log_is_open && open_log(nullptr, 0, LOG_USER) < 0)
        return nullptr;
    // Sending may block on a full logging socket. `message` lives in `args`;
    // the identifier cannot be dropped while the lock is released.
    Py_BEGIN_ALLOW_THREADS syslog(priority, "%s", text);
    Py_END_ALLOW_THREADS Py_RETURN_NONE;
}

PyObject *syslog_setlogmask(PyObject *, PyObject *args) noexcept
{
    long mask = 0;
    if (!PyArg_ParseTuple(args, "l;mask for priority", &mask))
        return nullptr;
    int mask_value = 0;
    if (!to_int(mask, &mask_value))
        return nullptr;
    return PyLong_FromLong(setlogmask(mask_value));
}

// The bit of priority p in a 32-bit mask; priorities outside 0..31 have none.
uint32_t mask_bit(long p) noexcept
{
    return p < 0 || p > 31 ? 0u : uint32_t{1} << p;
}

// Every priority from 0 up to p: none below 0, all 32 bits from 31 on.
uint32_t mask_upto(long p) noexcept
{
    if (p < 0)
        return 0u;
    if (p >= 31)
        return UINT32_MAX;
    return (uint32_t{1} << (p + 1)) - 1u;
}

PyObject *as_int32(uint32_t bits) noexcept
{
    return PyLong_FromLong(static_cast<int32_t>(bits));
}

PyObject *syslog_log_mask(PyObject *, PyObject *args) noexcept
{
    long priority = 0;
    if (!PyArg_ParseTuple(args, "l:LOG_MASK", &priority))
        return nullptr;
    return as_int32(mask_bit(priority));
}

PyObject *syslog_log_upto(PyObject *, PyObject *args) noexcept
{
    long priority = 0;
    if (!PyArg_ParseTuple(args, "l:LOG_UPTO", &priority))
        return nullptr;
    return as_int32(mask_upto(priority));
}

PyMethodDef syslog_methods[] = {
    {"openlog", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(syslog_openlog)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"closelog", syslog_closelog, METH_NOARGS, nullptr},
    {"syslog", syslog_syslog, METH_VARARGS, nullptr},
    {"setlogmask", syslog_setlogmask, METH_VARARGS, nullptr},
    {"LOG_MASK", syslog_log_mask, METH_VARARGS, nullptr},
    {"LOG_UPTO", syslog_log_upto, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef syslog_module = {
    PyModuleDef_HEAD_INIT, "syslog", nullptr, -1, syslog_methods, nullptr, nullptr, nullptr, nullptr,
};

struct IntConstant {
    const char *name;
    long value;
};

const IntConstant syslog_constants[] = {
    // Priorities, then options.
    {"LOG_EMERG", LOG_EMERG},
    {"LOG_ALERT", LOG_ALERT},
    {"LOG_CRIT", LOG_CRIT},
    {"LOG_ERR", LOG_ERR},
    {"LOG_WARNING", LOG_WARNING},
    {"LOG_NOTICE", LOG_NOTICE},
    {"LOG_INFO", LOG_INFO},
    {"LOG_DEBUG", LOG_DEBUG},
    {"LOG_PID", LOG_PID},
    {"LOG_CONS", LOG_CONS},
    {"LOG_NDELAY", LOG_NDELAY},
    {"LOG_ODELAY", LOG_ODELAY},
    {"LOG_NOWAIT", LOG_NOWAIT},
    {"LOG_PERROR", LOG_PERROR},
    // Facilities.
    {"LOG_KERN", LOG_KERN},
    {"LOG_USER", LOG_USER},
    {"LOG_MAIL", LOG_MAIL},
    {"LOG_DAEMON", LOG_DAEMON},
    {"LOG_AUTH", LOG_AUTH},
    {"LOG_LPR", LOG_LPR},
    {"LOG_LOCAL0", LOG_LOCAL0},
    {"LOG_LOCAL1", LOG_LOCAL1},
    {"LOG_LOCAL2", LOG_LOCAL2},
    {"LOG_LOCAL3", LOG_LOCAL3},
    {"LOG_LOCAL4", LOG_LOCAL4},
    {"LOG_LOCAL5", LOG_LOCAL5},
    {"LOG_LOCAL6", LOG_LOCAL6},
    {"LOG_LOCAL7", LOG_LOCAL7},
    {"LOG_SYSLOG", LOG_SYSLOG},
    {"LOG_CRON", LOG_CRON},
    {"LOG_UUCP", LOG_UUCP},
    {"LOG_NEWS", LOG_NEWS},
    {"LOG_AUTHPRIV", LOG_AUTHPRIV},
};

} // namespace

PyMODINIT_FUNC PyInit_syslog()
{
    ext::Ref module = ext::steal(PyModule_Create2(&syslog_module, PYTHON_API_VERSION));
    if (!module)
        return nullptr;
    for (const IntConstant &c : syslog_constants)
        if (PyModule_Add(module.get(), c.name, PyLong_FromLong(c.value)) < 0)
            return nullptr;
    return module.release();
}
