// The profiler object: once enabled, the interpreter calls its hook on every
// call and return in the enabling thread. Counts and times per function and
// per caller-callee pair live in rotating trees keyed by identity; they are
// turned into Python objects only when asked for.
#include "profiler.hpp"

#include "checked.hpp"
#include "ref.hpp"
#include "rotatingtree.hpp"

#include <sys/time.h>

#include <cmath>
#include <cstdint>

namespace quendle
{

PyObject *empty_args = nullptr;

namespace
{

enum : int {
    ENABLED = 0x1,
    SUBCALLS = 0x2,
    BUILTINS = 0x4,
    MEMORY_EXHAUSTED = 0x100,
};

struct StatEntry {
    RotatingTreeNode node; // key: the code object, or a built-in's PyMethodDef
    PyObject *code;        // label (owned)
    int64_t totaltime;
    int64_t inlinetime;
    long callcount;
    long reccallcount;
    long depth;
    RotatingTreeNode *calls; // StatSubEntry per callee
};

struct StatSubEntry {
    RotatingTreeNode node; // key: the callee's StatEntry
    int64_t totaltime;
    int64_t inlinetime;
    long callcount;
    long reccallcount;
    long depth;
};

struct CallContext {
    int64_t start;
    int64_t subcalls_time;
    CallContext *outer; // enclosing call, or the next spare record
    StatEntry *entry;
};

struct ProfilerObject {
    PyObject ob_base;
    RotatingTreeNode *entries;
    CallContext *current;
    CallContext *free_contexts;
    int flags;
    PyObject *timer;
    double timeunit;
    // Nonzero while the hook (or disable, or deallocation) works on the
    // records: Python code it runs meanwhile (a custom timer, an unraisable
    // hook, a repr) must not free them, and nested events are ignored.
    int busy;
};

ProfilerObject *as_profiler(PyObject *obj) noexcept
{
    return reinterpret_cast<ProfilerObject *>(obj);
}

// Marks the profiler busy while the hook runs Python code (a custom timer, a
// repr, an unraisable hook), which may try to free the records in use.
class BusyScope
{
  public:
    explicit BusyScope(ProfilerObject *self) noexcept : self_(self) { ++self->busy; }
    BusyScope(const BusyScope &) = delete;
    BusyScope &operator=(const BusyScope &) = delete;
    ~BusyScope() { --self_->busy; }

  private:
    ProfilerObject *self_;
};

// ---- Clock ---------------------------------------------------------------

// Float seconds in units of 2^-32 s, reduced modulo 2^64: differences, the
// only thing ever used, stay exact across the wrap, and no reading (2^31 s
// and beyond included) reaches an out-of-range conversion.
int64_t float_reading(double seconds) noexcept
{
    constexpr double two32 = 4294967296.0;
    constexpr double two64 = 18446744073709551616.0;
    double scaled = seconds * two32;
    if (!std::isfinite(scaled)) // |seconds| this large is an integer: exact
        scaled = std::fmod(seconds, two32) * two32;
    double wrapped = std::fmod(std::trunc(scaled), two64);
    uint64_t bits = wrapped < 0 ? 0 - static_cast<uint64_t>(-wrapped) : static_cast<uint64_t>(wrapped);
    return static_cast<int64_t>(bits);
}

int64_t timer_reading(ProfilerObject *self) noexcept
{
    BusyScope scope(self);
    // Held for the call: the timer may re-initialise the profiler.
    ext::Ref timer = ext::borrow(self->timer);
    PyObject *saved = PyErr_GetRaisedException();
    int64_t value = 0;
    ext::Ref result = ext::steal(PyObject_Call(timer.get(), empty_args, nullptr));
    if (result) {
        if (self->timeunit > 0.0) {
            value = PyLong_AsLongLong(result.get());
        } else {
            double seconds = PyFloat_AsDouble(result.get());
            if (!(seconds == -1.0 && PyErr_Occurred())) {
                if (std::isfinite(seconds))
                    value = float_reading(seconds);
                else
                    PyErr_SetString(PyExc_ValueError, "timer returned a non-finite time");
            }
        }
        result.reset();
    }
    if (PyErr_Occurred()) {
        PyErr_WriteUnraisable(timer.get());
        value = 0;
    }
    timer.reset(); // the last reference, if the call replaced the timer
    if (saved != nullptr)
        PyErr_SetRaisedException(saved);
    return value;
}

int64_t read_clock(ProfilerObject *self) noexcept
{
    if (self->timer != nullptr)
        return timer_reading(self);
    timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<int64_t>(static_cast<uint64_t>(tv.tv_sec) * 1000000u + static_cast<uint64_t>(tv.tv_usec));
}

// ---- Labels ----------------------------------------------------------------

PyObject *module_function_label(PyCFunctionObject *fn) noexcept
{
    PyObject *module = fn->m_module;
    ext::Ref name;
    if (module != nullptr && PyUnicode_Check(module)) {
        name = ext::borrow(module);
    } else if (module != nullptr && PyModule_Check(module)) {
        name = ext::steal(PyModule_GetNameObject(module));
        if (!name)
            PyErr_Clear();
    }
    if (name && PyUnicode_CompareWithASCIIString(name.get(), "builtins") != 0)
        return PyUnicode_FromFormat("<%U.%s>", name.get(), fn->m_ml->ml_name);
    return PyUnicode_FromFormat("<%s>", fn->m_ml->ml_name);
}

PyObject *bound_method_label(PyCFunctionObject *fn) noexcept
{
    ext::Ref name = ext::steal(PyUnicode_FromString(fn->m_ml->ml_name));
    if (name) {
        // Borrowed from the type's dictionary, which the repr may change.
        ext::Ref found = ext::borrow(_PyType_Lookup(Py_TYPE(fn->m_self), name.get()));
        if (found) {
            if (PyObject *label = PyObject_Repr(found.get()))
                return label;
        }
    }
    PyErr_Clear();
    if (fn->m_module != nullptr && PyUnicode_Check(fn->m_module))
        return PyUnicode_FromFormat("<built-in method %S.%s>", fn->m_module, fn->m_ml->ml_name);
    return PyUnicode_FromFormat("<built-in method %s>", fn->m_ml->ml_name);
}

// What getstats reports as `code`: a code object stands for itself, a
// built-in function gets a descriptive string.
PyObject *label_for(PyObject *source) noexcept
{
    if (!PyCFunction_Check(source))
        return Py_NewRef(source);
    auto *fn = reinterpret_cast<PyCFunctionObject *>(source);
    return fn->m_self == nullptr ? module_function_label(fn) : bound_method_label(fn);
}

// ---- Accounting ------------------------------------------------------------

StatEntry *new_entry(ProfilerObject *self, void *key, PyObject *label_source) noexcept
{
    auto *entry = static_cast<StatEntry *>(PyMem_Malloc(sizeof(StatEntry)));
    if (entry == nullptr)
        return nullptr;
    PyObject *label;
    {
        BusyScope scope(self);
        // A pending exception survives the Python code a label may run.
        PyObject *saved = PyErr_GetRaisedException();
        label = label_for(label_source);
        if (label == nullptr)
            PyErr_Clear();
        if (saved != nullptr)
            PyErr_SetRaisedException(saved);
    }
    if (label == nullptr) {
        PyMem_Free(entry);
        return nullptr;
    }
    *entry = StatEntry{};
    entry->node.key = key;
    entry->code = label;
    RotatingTree_Add(&self->entries, &entry->node);
    return entry;
}

StatSubEntry *new_subentry(StatEntry *caller, StatEntry *callee) noexcept
{
    auto *sub = static_cast<StatSubEntry *>(PyMem_Malloc(sizeof(StatSubEntry)));
    if (sub == nullptr)
        return nullptr;
    *sub = StatSubEntry{};
    sub->node.key = callee;
    RotatingTree_Add(&caller->calls, &sub->node);
    return sub;
}

// A pending exception is left untouched: only a new label and a custom
// timer run code that could disturb it, and both set it aside.
void begin_call(ProfilerObject *self, void *key, PyObject *label_source) noexcept
{
    auto *entry = reinterpret_cast<StatEntry *>(RotatingTree_Get(&self->entries, key));
    if (entry == nullptr)
        entry = new_entry(self, key, label_source);
    CallContext *ctx = nullptr;
    if (entry != nullptr) {
        ctx = self->free_contexts;
        if (ctx != nullptr)
            self->free_contexts = ctx->outer;
        else
            ctx = static_cast<CallContext *>(PyMem_Malloc(sizeof(CallContext)));
    }
    if (ctx == nullptr) {
        self->flags |= MEMORY_EXHAUSTED;
    } else {
        *ctx = CallContext{0, 0, self->current, entry};
        self->current = ctx;
        ++entry->depth;
        if ((self->flags & SUBCALLS) && ctx->outer != nullptr) {
            StatEntry *caller = ctx->outer->entry;
            auto *sub = reinterpret_cast<StatSubEntry *>(RotatingTree_Get(&caller->calls, entry));
            if (sub == nullptr && (sub = new_subentry(caller, entry)) == nullptr)
                self->flags |= MEMORY_EXHAUSTED;
            if (sub != nullptr)
                ++sub->depth;
        }
        // Read last, so the bookkeeping above is not charged to the call.
        ctx->start = read_clock(self);
    }
}

template <class Stats> void account(Stats *stats, int64_t tt, int64_t it) noexcept
{
    // Recursion counts once in the total: only the outermost activation adds.
    if (--stats->depth == 0)
        stats->totaltime = ext::wrap_add(stats->totaltime, tt);
    else
        ++stats->reccallcount;
    stats->inlinetime = ext::wrap_add(stats->inlinetime, it);
    ++stats->callcount;
}

void close_call(ProfilerObject *self, CallContext *ctx, StatEntry *entry) noexcept
{
    int64_t tt = ext::wrap_sub(read_clock(self), ctx->start);
    int64_t it = ext::wrap_sub(tt, ctx->subcalls_time);
    CallContext *outer = ctx->outer;
    if (outer != nullptr)
        outer->subcalls_time = ext::wrap_add(outer->subcalls_time, tt);
    self->current = outer;
    account(entry, tt, it);
    if ((self->flags & SUBCALLS) && outer != nullptr && outer->entry != nullptr) {
        auto *sub = reinterpret_cast<StatSubEntry *>(RotatingTree_Get(&outer->entry->calls, entry));
        if (sub != nullptr)
            account(sub, tt, it);
    }
}

void end_call(ProfilerObject *self, void *key) noexcept
{
    CallContext *ctx = self->current;
    if (ctx == nullptr)
        return;
    auto *entry = reinterpret_cast<StatEntry *>(RotatingTree_Get(&self->entries, key));
    if (entry != nullptr)
        close_call(self, ctx, entry);
    else
        self->current = ctx->outer;
    ctx->outer = self->free_contexts;
    self->free_contexts = ctx;
}

void *builtin_key(PyObject *fn) noexcept
{
    // Every function made from one method definition shares one record.
    return reinterpret_cast<PyCFunctionObject *>(fn)->m_ml;
}

int profile_hook(PyObject *obj, PyFrameObject *frame, int what, PyObject *arg) noexcept
{
    ProfilerObject *self = as_profiler(obj);
    if (self->busy)
        return 0;
    // Python code the event runs may remove this hook, and with it the
    // thread's reference to the profiler, while the event still uses it.
    Py_INCREF(obj);
    switch (what) {
    case PyTrace_CALL: {
        PyCodeObject *code = PyFrame_GetCode(frame);
        begin_call(self, code, reinterpret_cast<PyObject *>(code));
        Py_DECREF(code);
        break;
    }
    case PyTrace_RETURN: {
        PyCodeObject *code = PyFrame_GetCode(frame);
        end_call(self, code);
        Py_DECREF(code);
        break;
    }
    case PyTrace_C_CALL:
        if ((self->flags & BUILTINS) && PyCFunction_Check(arg))
            begin_call(self, builtin_key(arg), arg);
        break;
    case PyTrace_C_RETURN:
    case PyTrace_C_EXCEPTION:
        if ((self->flags & BUILTINS) && PyCFunction_Check(arg))
            end_call(self, builtin_key(arg));
        break;
    default:
        break;
    }
    Py_DECREF(obj);
    return 0;
}

// ---- Whole-profiler operations ---------------------------------------------

void close_open_calls(ProfilerObject *self) noexcept
{
    ++self->busy;
    while (CallContext *ctx = self->current) {
        if (ctx->entry != nullptr)
            close_call(self, ctx, ctx->entry);
        else
            self->current = ctx->outer;
        PyMem_Free(ctx);
    }
    --self->busy;
}

int free_subentry(RotatingTreeNode *node, void *) noexcept
{
    PyMem_Free(node);
    return 0;
}

int free_entry(RotatingTreeNode *node, void *) noexcept
{
    auto *entry = reinterpret_cast<StatEntry *>(node);
    RotatingTree_Enum(entry->calls, free_subentry, nullptr);
    Py_DECREF(entry->code);
    PyMem_Free(entry);
    return 0;
}

void free_contexts(CallContext *ctx) noexcept
{
    while (ctx != nullptr) {
        CallContext *outer = ctx->outer;
        PyMem_Free(ctx);
        ctx = outer;
    }
}

void drop_statistics(ProfilerObject *self) noexcept
{
    // Detached first: releasing a label may run Python code (a weak
    // reference callback) that profiles or clears this profiler again.
    RotatingTreeNode *entries = self->entries;
    CallContext *current = self->current;
    CallContext *spare = self->free_contexts;
    self->entries = nullptr;
    self->current = nullptr;
    self->free_contexts = nullptr;
    free_contexts(current);
    free_contexts(spare);
    RotatingTree_Enum(entries, free_entry, nullptr);
}

bool take_memory_error(ProfilerObject *self) noexcept
{
    if (!(self->flags & MEMORY_EXHAUSTED))
        return false;
    self->flags &= ~MEMORY_EXHAUSTED;
    PyErr_SetString(PyExc_MemoryError, "memory was exhausted while profiling");
    return true;
}

bool refuse_while_busy(ProfilerObject *self, const char *what) noexcept
{
    if (!self->busy)
        return false;
    PyErr_Format(PyExc_RuntimeError, "cannot %s the profiler from code its own hook is running", what);
    return true;
}

// For subcalls and builtins: 0 clears the option, a positive value sets it,
// a negative one leaves it as it is.
void apply_options(ProfilerObject *self, int subcalls, int builtins) noexcept
{
    if (subcalls == 0)
        self->flags &= ~SUBCALLS;
    else if (subcalls > 0)
        self->flags |= SUBCALLS;
    if (builtins == 0)
        self->flags &= ~BUILTINS;
    else if (builtins > 0)
        self->flags |= BUILTINS;
}

// ---- getstats ----------------------------------------------------------------

struct EntryCopy {
    PyObject *code; // owned
    long callcount;
    long reccallcount;
    int64_t totaltime;
    int64_t inlinetime;
    Py_ssize_t first_sub; // index into the subentry copies
    Py_ssize_t n_subs;
    bool has_calls;
};

struct SubCopy {
    PyObject *code; // owned
    long callcount;
    long reccallcount;
    int64_t totaltime;
    int64_t inlinetime;
};

// The statistics copied out of the trees before any Python object is made:
// making objects can run finalizers that profile, and so reshape or free
// the trees, while they are being walked.
class Snapshot
{
  public:
    Snapshot() = default;
    Snapshot(const Snapshot &) = delete;
    Snapshot &operator=(const Snapshot &) = delete;
    ~Snapshot()
    {
        for (Py_ssize_t i = 0; i < n_entries; ++i)
            Py_XDECREF(entries[i].code);
        for (Py_ssize_t i = 0; i < n_subs; ++i)
            Py_XDECREF(subs[i].code);
        PyMem_Free(entries);
        PyMem_Free(subs);
    }

    bool take(RotatingTreeNode *root) noexcept
    {
        RotatingTree_Enum(root, count_entry, this);
        Py_ssize_t want_entries = n_entries, want_subs = n_subs;
        n_entries = n_subs = 0;
        if (want_entries == 0)
            return true;
        entries = PyMem_New(EntryCopy, want_entries);
        subs = want_subs > 0 ? PyMem_New(SubCopy, want_subs) : nullptr;
        if (entries == nullptr || (want_subs > 0 && subs == nullptr)) {
            PyErr_NoMemory();
            return false;
        }
        RotatingTree_Enum(root, copy_entry, this);
        return true;
    }

    EntryCopy *entries = nullptr;
    SubCopy *subs = nullptr;
    Py_ssize_t n_entries = 0;
    Py_ssize_t n_subs = 0;

  private:
    static int count_sub(RotatingTreeNode *, void *arg) noexcept
    {
        ++static_cast<Snapshot *>(arg)->n_subs;
        return 0;
    }
    static int count_entry(RotatingTreeNode *node, void *arg) noexcept
    {
        auto *entry = reinterpret_cast<StatEntry *>(node);
        if (entry->callcount != 0) {
            ++static_cast<Snapshot *>(arg)->n_entries;
            RotatingTree_Enum(entry->calls, count_sub, arg);
        }
        return 0;
    }
    static int copy_sub(RotatingTreeNode *node, void *arg) noexcept
    {
        auto *snap = static_cast<Snapshot *>(arg);
        auto *sub = reinterpret_cast<StatSubEntry *>(node);
        auto *callee = static_cast<StatEntry *>(sub->node.key);
        snap->subs[snap->n_subs++] =
            SubCopy{Py_NewRef(callee->code), sub->callcount, sub->reccallcount, sub->totaltime, sub->inlinetime};
        return 0;
    }
    static int copy_entry(RotatingTreeNode *node, void *arg) noexcept
    {
        auto *snap = static_cast<Snapshot *>(arg);
        auto *entry = reinterpret_cast<StatEntry *>(node);
        if (entry->callcount == 0)
            return 0;
        Py_ssize_t first = snap->n_subs;
        RotatingTree_Enum(entry->calls, copy_sub, arg);
        snap->entries[snap->n_entries++] =
            EntryCopy{Py_NewRef(entry->code), entry->callcount,       entry->reccallcount,
                      entry->totaltime,       entry->inlinetime,      first,
                      snap->n_subs - first,   entry->calls != nullptr};
        return 0;
    }
};

double seconds_per_unit(ProfilerObject *self) noexcept
{
    if (self->timer == nullptr)
        return 0.000001;
    if (self->timeunit > 0.0)
        return self->timeunit;
    return 1.0 / 4294967296.0;
}

PyObject *make_calls(const Snapshot &snap, const EntryCopy &entry, double factor) noexcept
{
    if (!entry.has_calls)
        return Py_NewRef(Py_None);
    ext::Ref calls = ext::steal(PyList_New(0));
    if (!calls)
        return nullptr;
    for (Py_ssize_t i = entry.first_sub; i < entry.first_sub + entry.n_subs; ++i) {
        const SubCopy &sub = snap.subs[i];
        ext::Ref record = ext::steal(PyObject_CallFunction(
            reinterpret_cast<PyObject *>(&SubEntryType), "((Olldd))", sub.code, sub.callcount, sub.reccallcount,
            factor * static_cast<double>(sub.totaltime), factor * static_cast<double>(sub.inlinetime)));
        if (!record || PyList_Append(calls.get(), record.get()) < 0)
            return nullptr;
    }
    return calls.release();
}

// ---- Methods -----------------------------------------------------------------

PyDoc_STRVAR(profiler_getstats__doc__, "getstats() -> list of profiler_entry objects\n"
                                       "\n"
                                       "Return the statistics gathered so far, one profiler_entry per function\n"
                                       "that has completed at least one call:\n"
                                       "\n"
                                       "    code          code object, or a string naming a built-in function\n"
                                       "    callcount     how many times it was called\n"
                                       "    reccallcount  how many of those calls were recursive\n"
                                       "    totaltime     seconds spent in it, callees included\n"
                                       "    inlinetime    seconds spent in it, callees excluded\n"
                                       "    calls         None, or a list of profiler_subentry, one per callee\n"
                                       "\n"
                                       "Each profiler_subentry describes the calls this function made to one\n"
                                       "callee:\n"
                                       "\n"
                                       "    code          the callee's code object or built-in function name\n"
                                       "    callcount     how many times this function called it\n"
                                       "    reccallcount  how many of those calls were recursive\n"
                                       "    totaltime     seconds spent in those calls, their callees included\n"
                                       "    inlinetime    seconds spent in those calls, their callees excluded\n");

PyObject *profiler_getstats(PyObject *obj, PyObject *) noexcept
{
    ProfilerObject *self = as_profiler(obj);
    if (take_memory_error(self))
        return nullptr;
    double factor = seconds_per_unit(self);
    Snapshot snap;
    if (!snap.take(self->entries))
        return nullptr;
    ext::Ref result = ext::steal(PyList_New(0));
    if (!result)
        return nullptr;
    for (Py_ssize_t i = 0; i < snap.n_entries; ++i) {
        const EntryCopy &entry = snap.entries[i];
        ext::Ref calls = ext::steal(make_calls(snap, entry, factor));
        if (!calls)
            return nullptr;
        ext::Ref record = ext::steal(
            PyObject_CallFunction(reinterpret_cast<PyObject *>(&EntryType), "((OllddO))", entry.code, entry.callcount,
                                  entry.reccallcount, factor * static_cast<double>(entry.totaltime),
                                  factor * static_cast<double>(entry.inlinetime), calls.get()));
        if (!record || PyList_Append(result.get(), record.get()) < 0)
            return nullptr;
    }
    return result.release();
}

PyDoc_STRVAR(profiler_enable__doc__, "enable(subcalls=True, builtins=True)\n"
                                     "\n"
                                     "Start collecting profiling information.\n"
                                     "If 'subcalls' is True, also records for each function\n"
                                     "statistics separated according to its current caller.\n"
                                     "If 'builtins' is True, records the time spent in\n"
                                     "built-in functions separately from their caller.\n");

PyObject *profiler_enable(PyObject *obj, PyObject *args, PyObject *kwds) noexcept
{
    static const char *kwlist[] = {"subcalls", "builtins", nullptr};
    ProfilerObject *self = as_profiler(obj);
    int subcalls = -1;
    int builtins = -1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|ii:enable", const_cast<char **>(kwlist), &subcalls, &builtins))
        return nullptr;
    if (refuse_while_busy(self, "enable"))
        return nullptr;
    apply_options(self, subcalls, builtins);
    PyEval_SetProfile(profile_hook, obj);
    self->flags |= ENABLED;
    Py_RETURN_NONE;
}

PyDoc_STRVAR(profiler_disable__doc__, "disable()\n\nStop collecting profiling information.\n");

PyObject *profiler_disable(PyObject *obj, PyObject *) noexcept
{
    ProfilerObject *self = as_profiler(obj);
    if (refuse_while_busy(self, "disable"))
        return nullptr;
    self->flags &= ~ENABLED;
    PyEval_SetProfile(nullptr, nullptr);
    close_open_calls(self);
    if (take_memory_error(self))
        return nullptr;
    Py_RETURN_NONE;
}

PyDoc_STRVAR(profiler_clear__doc__, "clear()\n\nClear all profiling information collected so far.\n");

PyObject *profiler_clear(PyObject *obj, PyObject *) noexcept
{
    ProfilerObject *self = as_profiler(obj);
    if (refuse_while_busy(self, "clear"))
        return nullptr;
    drop_statistics(self);
    Py_RETURN_NONE;
}

int profiler_init(PyObject *obj, PyObject *args, PyObject *kwds) noexcept
{
    static const char *kwlist[] = {"timer", "timeunit", "subcalls", "builtins", nullptr};
    ProfilerObject *self = as_profiler(obj);
    PyObject *timer = nullptr;
    double timeunit = 0.0;
    int subcalls = 1;
    int builtins = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|Odii:Profiler", const_cast<char **>(kwlist), &timer, &timeunit,
                                     &subcalls, &builtins))
        return -1;
    apply_options(self, subcalls, builtins);
    self->timeunit = timeunit;
    Py_XINCREF(timer);
    Py_XSETREF(self->timer, timer);
    return 0;
}

void profiler_dealloc(PyObject *obj) noexcept
{
    ProfilerObject *self = as_profiler(obj);
    // While its hook is installed the thread holds a reference to the
    // profiler, so a profiler being freed is no longer the thread's hook:
    // removing the thread's profile function here would remove someone else's.
    self->flags &= ~ENABLED;
    close_open_calls(self);
    drop_statistics(self);
    Py_CLEAR(self->timer);
    // Subclasses made in Python are collected objects with their own free.
    Py_TYPE(obj)->tp_free(obj);
}

PyMethodDef profiler_methods[] = {
    {"getstats", profiler_getstats, METH_NOARGS, profiler_getstats__doc__},
    {"enable", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(profiler_enable)),
     METH_VARARGS | METH_KEYWORDS, profiler_enable__doc__},
    {"disable", profiler_disable, METH_NOARGS, profiler_disable__doc__},
    {"clear", profiler_clear, METH_NOARGS, profiler_clear__doc__},
    {nullptr, nullptr, 0, nullptr},
};

PyDoc_STRVAR(profiler__doc__, "Profiler(custom_timer=None, time_unit=None, subcalls=True, builtins=True)\n"
                              "\n"
                              "    A profiler that measures the calls made in the thread that enables it.\n"
                              "    The default timer is a fast built-in one based on real time.\n"
                              "    A custom timer is a callable taking no arguments; when it returns\n"
                              "    integers, time_unit is a float giving the length of one integer unit\n"
                              "    in seconds, and when it returns float seconds, leave time_unit out.\n");

PyStructSequence_Field entry_fields[] = {
    {"code", "code object or built-in function name"},
    {"callcount", "how many times this was called"},
    {"reccallcount", "how many times called recursively"},
    {"totaltime", "total time in this entry"},
    {"inlinetime", "inline time in this entry (not in subcalls)"},
    {"calls", "details of the calls"},
    {nullptr, nullptr},
};

PyStructSequence_Field subentry_fields[] = {
    {"code", "called code object or built-in function name"},      {"callcount", "how many times this is called"},
    {"reccallcount", "how many times this is called recursively"}, {"totaltime", "total time spent in this call"},
    {"inlinetime", "inline time (not in further subcalls)"},       {nullptr, nullptr},
};

} // namespace

// Only the slots this type fills are named; the rest, which differ between
// interpreter versions, are zero.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
// clang-format off
PyTypeObject ProfilerType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "_quendle.Profiler",
    .tp_basicsize = sizeof(ProfilerObject),
    .tp_dealloc = profiler_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = profiler__doc__,
    .tp_methods = profiler_methods,
    .tp_init = profiler_init,
    .tp_alloc = PyType_GenericAlloc,
    .tp_new = PyType_GenericNew,
    .tp_free = PyObject_Free,
};
// clang-format on
#pragma GCC diagnostic pop

PyTypeObject EntryType;
PyTypeObject SubEntryType;

PyStructSequence_Desc entry_desc = {"_quendle.profiler_entry", nullptr, entry_fields, 6};
PyStructSequence_Desc subentry_desc = {"_quendle.profiler_subentry", nullptr, subentry_fields, 5};

} // namespace quendle
