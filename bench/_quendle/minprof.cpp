// A minimal deterministic profiler, the yardstick for _quendle: the same
// clock (gettimeofday, read once per event), the same records (per function
// and per caller-callee pair: calls, total time counted once through
// recursion, inline time), but kept in one flat open-addressing hash table
// with fixed capacity and no labels. Whatever _quendle costs beyond this is
// the price of its own data structures.
#include "compat.hpp"

#include <sys/time.h>

#include <cstdint>
#include <cstring>

namespace
{

struct Stat {
    const void *key;    // code object or method definition; null: free slot
    const void *caller; // null for the function's own record
    int64_t calls, total, inline_time;
    long depth;
};

struct Frame {
    Stat *fn, *pair;
    int64_t start, subcalls;
};

constexpr size_t table_size = size_t(1) << 16; // a power of two
constexpr size_t stack_size = size_t(1) << 15;
Stat table[table_size];
Frame stack[stack_size];
size_t used = 0, depth = 0, overflow = 0;

int64_t now() noexcept
{
    timeval tv;
    gettimeofday(&tv, nullptr);
    return int64_t(tv.tv_sec) * 1000000 + tv.tv_usec;
}

Stat *find(const void *key, const void *caller) noexcept
{
    // Hashed in 64 bits whatever the pointer width, so 32-bit builds spread too.
    uint64_t h =
        (uint64_t(reinterpret_cast<uintptr_t>(key)) ^ (uint64_t(reinterpret_cast<uintptr_t>(caller)) * 31)) >> 4;
    h *= 0x9E3779B97F4A7C15u;
    for (size_t i = size_t(h >> 48) & (table_size - 1);; i = (i + 1) & (table_size - 1)) {
        Stat *s = &table[i];
        if (s->key == key && s->caller == caller)
            return s;
        if (s->key == nullptr) {
            if (used >= table_size / 2)
                return nullptr; // full enough: stop recording new keys
            ++used;
            s->key = key;
            s->caller = caller;
            return s;
        }
    }
}

void begin(const void *key) noexcept
{
    if (depth == stack_size) {
        ++overflow;
        return;
    }
    Frame &f = stack[depth];
    f.fn = find(key, nullptr);
    f.pair = depth > 0 && stack[depth - 1].fn != nullptr ? find(key, stack[depth - 1].fn->key) : nullptr;
    if (f.fn != nullptr)
        ++f.fn->depth;
    if (f.pair != nullptr)
        ++f.pair->depth;
    f.subcalls = 0;
    ++depth;
    f.start = now();
}

void account(Stat *s, int64_t tt, int64_t it) noexcept
{
    if (s == nullptr)
        return;
    if (--s->depth == 0)
        s->total += tt;
    s->inline_time += it;
    ++s->calls;
}

void end() noexcept
{
    if (overflow > 0) {
        --overflow;
        return;
    }
    if (depth == 0)
        return; // returns from calls that began before enable()
    Frame &f = stack[--depth];
    const int64_t tt = now() - f.start;
    if (depth > 0)
        stack[depth - 1].subcalls += tt;
    account(f.fn, tt, tt - f.subcalls);
    account(f.pair, tt, tt - f.subcalls);
}

int hook(PyObject *, PyFrameObject *frame, int what, PyObject *arg) noexcept
{
    switch (what) {
    case PyTrace_CALL: {
        PyCodeObject *code = PyFrame_GetCode(frame);
        begin(code);
        Py_DECREF(code);
        break;
    }
    case PyTrace_RETURN:
        end();
        break;
    case PyTrace_C_CALL:
        if (PyCFunction_Check(arg))
            begin(reinterpret_cast<PyCFunctionObject *>(arg)->m_ml);
        break;
    case PyTrace_C_RETURN:
    case PyTrace_C_EXCEPTION:
        if (PyCFunction_Check(arg))
            end();
        break;
    default:
        break;
    }
    return 0;
}

PyObject *minprof_enable(PyObject *, PyObject *) noexcept
{
    std::memset(table, 0, sizeof table);
    used = depth = overflow = 0;
    PyEval_SetProfile(hook, nullptr);
    Py_RETURN_NONE;
}

// Removes the hook; returns the calls recorded in the functions' own records.
PyObject *minprof_disable(PyObject *, PyObject *) noexcept
{
    PyEval_SetProfile(nullptr, nullptr);
    long long calls = 0;
    for (const Stat &s : table)
        if (s.key != nullptr && s.caller == nullptr)
            calls += s.calls;
    return PyLong_FromLongLong(calls);
}

PyMethodDef minprof_methods[] = {
    {"enable", minprof_enable, METH_NOARGS, "enable()\n--\n\nStart profiling this thread, from empty records."},
    {"disable", minprof_disable, METH_NOARGS, "disable()\n--\n\nStop; return the number of calls recorded."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef minprof_module = {
    PyModuleDef_HEAD_INIT, "minprof", nullptr, -1, minprof_methods, nullptr, nullptr, nullptr, nullptr,
};

} // namespace

PyMODINIT_FUNC PyInit_minprof()
{
    return PyModule_Create2(&minprof_module, PYTHON_API_VERSION);
}
