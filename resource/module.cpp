// Resource usage and limits of this process and of others.
#include "compat.hpp"
#include "ref.hpp"

#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace
{

PyStructSequence_Field rusage_fields[] = {
    {"ru_utime", "user time used"},
    {"ru_stime", "system time used"},
    {"ru_maxrss", "max. resident set size"},
    {"ru_ixrss", "shared memory size"},
    {"ru_idrss", "unshared data size"},
    {"ru_isrss", "unshared stack size"},
    {"ru_minflt", "page faults not requiring I/O"},
    {"ru_majflt", "page faults requiring I/O"},
    {"ru_nswap", "number of swap outs"},
    {"ru_inblock", "block input operations"},
    {"ru_oublock", "block output operations"},
    {"ru_msgsnd", "IPC messages sent"},
    {"ru_msgrcv", "IPC messages received"},
    {"ru_nsignals", "signals received"},
    {"ru_nvcsw", "voluntary context switches"},
    {"ru_nivcsw", "involuntary context switches"},
    {nullptr, nullptr},
};

PyStructSequence_Desc rusage_desc = {
    "resource.struct_rusage",
    "struct_rusage: Result from getrusage.\n\n"
    "This object may be accessed either as a tuple of\n"
    "    (utime,stime,maxrss,ixrss,idrss,isrss,minflt,majflt,\n"
    "    nswap,inblock,oublock,msgsnd,msgrcv,nsignals,nvcsw,nivcsw)\n"
    "or via the attributes ru_utime, ru_stime, ru_maxrss, and so on.",
    rusage_fields,
    16,
};

PyTypeObject rusage_type;
bool rusage_type_ready = false;

// The kernel numbers resources 0 to RLIM_NLIMITS - 1; a negative number,
// taken as unsigned, is out of range as well.
bool check_resource(int resource) noexcept
{
    if (static_cast<unsigned>(resource) >= RLIM_NLIMITS) {
        PyErr_SetString(PyExc_ValueError, "invalid resource specified");
        return false;
    }
    return true;
}

// Python -1 means "no limit" (all bits set); other negative values keep their
// two's-complement bit pattern, as the 64-bit limit type always has.
bool to_limit(PyObject *obj, rlim64_t *out) noexcept
{
    long long value = PyLong_AsLongLong(obj);
    if (value == -1 && PyErr_Occurred())
        return false;
    *out = static_cast<rlim64_t>(value);
    return true;
}

bool to_limits(PyObject *soft, PyObject *hard, rlimit64 *out) noexcept
{
    return to_limit(soft, &out->rlim_cur) && to_limit(hard, &out->rlim_max);
}

PyObject *limits_to_tuple(const rlimit64 &limits) noexcept
{
    return Py_BuildValue("LL", static_cast<long long>(limits.rlim_cur), static_cast<long long>(limits.rlim_max));
}

double seconds(const timeval &tv) noexcept
{
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6;
}

PyObject *resource_getrusage(PyObject *, PyObject *args) noexcept
{
    int who = 0;
    if (!PyArg_ParseTuple(args, "i:getrusage", &who))
        return nullptr;
    rusage ru{};
    if (getrusage(static_cast<__rusage_who_t>(who), &ru) == -1) {
        if (errno == EINVAL) {
            PyErr_SetString(PyExc_ValueError, "invalid who parameter");
            return nullptr;
        }
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    ext::Ref result = ext::steal(PyStructSequence_New(&rusage_type));
    if (!result)
        return nullptr;
    PyObject *const values[] = {
        PyFloat_FromDouble(seconds(ru.ru_utime)),
        PyFloat_FromDouble(seconds(ru.ru_stime)),
        PyLong_FromLong(ru.ru_maxrss),
        PyLong_FromLong(ru.ru_ixrss),
        PyLong_FromLong(ru.ru_idrss),
        PyLong_FromLong(ru.ru_isrss),
        PyLong_FromLong(ru.ru_minflt),
        PyLong_FromLong(ru.ru_majflt),
        PyLong_FromLong(ru.ru_nswap),
        PyLong_FromLong(ru.ru_inblock),
        PyLong_FromLong(ru.ru_oublock),
        PyLong_FromLong(ru.ru_msgsnd),
        PyLong_FromLong(ru.ru_msgrcv),
        PyLong_FromLong(ru.ru_nsignals),
        PyLong_FromLong(ru.ru_nvcsw),
        PyLong_FromLong(ru.ru_nivcsw),
    };
    // The structure takes each value (a null one stays empty); a failed
    // creation still leaves its exception pending, checked once at the end.
    Py_ssize_t i = 0;
    for (PyObject *value : values)
        PyStructSequence_SetItem(result.get(), i++, value);
    if (PyErr_Occurred())
        return nullptr;
    return result.release();
}

PyObject *resource_getrlimit(PyObject *, PyObject *args) noexcept
{
    int resource = 0;
    if (!PyArg_ParseTuple(args, "i:getrlimit", &resource))
        return nullptr;
    if (!check_resource(resource))
        return nullptr;
    rlimit64 limits{};
    if (getrlimit64(static_cast<__rlimit_resource_t>(resource), &limits) == -1)
        return PyErr_SetFromErrno(PyExc_OSError);
    return limits_to_tuple(limits);
}

PyObject *resource_setrlimit(PyObject *, PyObject *args) noexcept
{
    int resource = 0;
    PyObject *limits_obj = nullptr;
    if (!PyArg_ParseTuple(args, "iO:setrlimit", &resource, &limits_obj))
        return nullptr;
    if (!check_resource(resource))
        return nullptr;
    ext::Ref pair = ext::steal(PySequence_Tuple(limits_obj));
    if (!pair)
        return nullptr;
    if (PyTuple_GET_SIZE(pair.get()) != 2) {
        PyErr_SetString(PyExc_ValueError, "expected a tuple of 2 integers");
        return nullptr;
    }
    rlimit64 limits{};
    if (!to_limits(PyTuple_GET_ITEM(pair.get(), 0), PyTuple_GET_ITEM(pair.get(), 1), &limits))
        return nullptr;
    if (setrlimit64(static_cast<__rlimit_resource_t>(resource), &limits) == -1) {
        if (errno == EINVAL)
            PyErr_SetString(PyExc_ValueError, "current limit exceeds maximum limit");
        else if (errno == EPERM)
            PyErr_SetString(PyExc_ValueError, "not allowed to raise maximum limit");
        else
            PyErr_SetFromErrno(PyExc_OSError);
        return nullptr;
    }
    Py_RETURN_NONE;
}

// Keeps a strong reference to an item of the limits pair. The parser fetches
// the items of a list or other sequence one by one and drops its own reference
// right away, so a plain "O" would leave them owned by the sequence alone,
// which the conversion of the soft limit (__index__) may empty or free.
int hold_item(PyObject *item, void *out) noexcept
{
    auto slot = static_cast<PyObject **>(out);
    if (item == nullptr) { // the parser cleaning up after a later failure
        Py_CLEAR(*slot);
        return 0;
    }
    *slot = Py_NewRef(item);
    return Py_CLEANUP_SUPPORTED;
}

PyObject *resource_prlimit(PyObject *, PyObject *args) noexcept
{
    int pid = 0;
    int resource = 0;
    PyObject *soft_item = nullptr;
    PyObject *hard_item = nullptr;
    if (!PyArg_ParseTuple(args, "ii|(O&O&):prlimit", &pid, &resource, hold_item, &soft_item, hold_item, &hard_item))
        return nullptr;
    ext::Ref soft = ext::steal(soft_item);
    ext::Ref hard = ext::steal(hard_item);
    if (!check_resource(resource))
        return nullptr;
    rlimit64 new_limits{};
    const bool setting = static_cast<bool>(soft);
    if (setting && !to_limits(soft.get(), hard.get(), &new_limits))
        return nullptr;
    rlimit64 old_limits{};
    if (prlimit64(pid, static_cast<enum __rlimit_resource>(resource), setting ? &new_limits : nullptr, &old_limits) ==
        -1) {
        // Unlike setrlimit, a refusal to raise the hard limit stays an OSError
        // (EPERM), as does a missing process (ESRCH).
        if (errno == EINVAL)
            PyErr_SetString(PyExc_ValueError, "current limit exceeds maximum limit");
        else
            PyErr_SetFromErrno(PyExc_OSError);
        return nullptr;
    }
    return limits_to_tuple(old_limits);
}

PyObject *resource_getpagesize(PyObject *, PyObject *) noexcept
{
    return Py_BuildValue("i", getpagesize());
}

PyMethodDef resource_methods[] = {
    {"getrusage", resource_getrusage, METH_VARARGS, nullptr},
    {"getrlimit", resource_getrlimit, METH_VARARGS, nullptr},
    {"prlimit", resource_prlimit, METH_VARARGS, nullptr},
    {"setrlimit", resource_setrlimit, METH_VARARGS, nullptr},
    {"getpagesize", resource_getpagesize, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef resource_module = {
    PyModuleDef_HEAD_INIT, "resource", nullptr, -1, resource_methods, nullptr, nullptr, nullptr, nullptr,
};

struct IntConstant {
    const char *name;
    long value;
};

const IntConstant resource_constants[] = {
    {"RLIMIT_CPU", RLIMIT_CPU},         {"RLIMIT_FSIZE", RLIMIT_FSIZE},
    {"RLIMIT_DATA", RLIMIT_DATA},       {"RLIMIT_STACK", RLIMIT_STACK},
    {"RLIMIT_CORE", RLIMIT_CORE},       {"RLIMIT_NOFILE", RLIMIT_NOFILE},
    {"RLIMIT_OFILE", RLIMIT_OFILE},     {"RLIMIT_AS", RLIMIT_AS},
    {"RLIMIT_RSS", RLIMIT_RSS},         {"RLIMIT_NPROC", RLIMIT_NPROC},
    {"RLIMIT_MEMLOCK", RLIMIT_MEMLOCK}, {"RLIMIT_MSGQUEUE", RLIMIT_MSGQUEUE},
    {"RLIMIT_NICE", RLIMIT_NICE},       {"RLIMIT_RTPRIO", RLIMIT_RTPRIO},
    {"RLIMIT_RTTIME", RLIMIT_RTTIME},   {"RLIMIT_SIGPENDING", RLIMIT_SIGPENDING},
    {"RUSAGE_SELF", RUSAGE_SELF},       {"RUSAGE_CHILDREN", RUSAGE_CHILDREN},
    {"RUSAGE_THREAD", RUSAGE_THREAD},
};

int add_contents(PyObject *module) noexcept
{
    if (PyModule_Add(module, "error", Py_NewRef(PyExc_OSError)) < 0)
        return -1;
    if (PyModule_Add(module, "struct_rusage", Py_NewRef(reinterpret_cast<PyObject *>(&rusage_type))) < 0)
        return -1;
    for (const IntConstant &c : resource_constants)
        if (PyModule_Add(module, c.name, PyLong_FromLong(c.value)) < 0)
            return -1;
    return PyModule_Add(module, "RLIM_INFINITY", PyLong_FromLongLong(static_cast<long long>(RLIM64_INFINITY)));
}

} // namespace

PyMODINIT_FUNC PyInit_resource()
{
    ext::Ref module = ext::steal(PyModule_Create2(&resource_module, PYTHON_API_VERSION));
    if (!module)
        return nullptr;
    // Once per process. Marked ready as soon as the type is, so a retried
    // import after a later failure never re-initialises a type in use.
    if (!rusage_type_ready) {
        if (PyStructSequence_InitType2(&rusage_type, &rusage_desc) < 0)
            return nullptr;
        rusage_type_ready = true;
    }
    if (add_contents(module.get()) < 0)
        return nullptr;
    return module.release();
}
