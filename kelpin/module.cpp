// Read access to the shadow password database through libc.
#include "compat.hpp"
#include "ref.hpp"

#include <shadow.h>

#include <cerrno>
#include <cstring>

namespace
{

PyStructSequence_Field entry_fields[] = {
    {"sp_namp", "login name"},
    {"sp_pwdp", "encrypted password"},
    {"sp_lstchg", "date of last change"},
    {"sp_min", "min #days between changes"},
    {"sp_max", "max #days between changes"},
    {"sp_warn", "#days before pw expires to warn user about it"},
    {"sp_inact", "#days after pw expires until account is disabled"},
    {"sp_expire", "#days since 1970-01-01 when account expires"},
    {"sp_flag", "reserved"},
    {"sp_nam", "login name; deprecated"},
    {"sp_pwd", "encrypted password; deprecated"},
    {nullptr, nullptr},
};

PyStructSequence_Desc entry_desc = {
    "kelpin.struct_kelpin",
    "kelpin.struct_kelpin: Results from getsp*() routines.\n\n"
    "This object may be accessed either as a 9-tuple of\n"
    "  (sp_namp,sp_pwdp,sp_lstchg,sp_min,sp_max,sp_warn,sp_inact,sp_expire,sp_flag)\n"
    "or via the object attributes as named in the above tuple.",
    entry_fields,
    9,
};

PyTypeObject entry_type;
bool entry_type_ready = false;

PyObject *text_or_none(const char *text) noexcept
{
    if (text == nullptr)
        Py_RETURN_NONE;
    return PyUnicode_DecodeFSDefault(text);
}

PyObject *make_entry(const spwd &entry) noexcept
{
    ext::Ref result = ext::steal(PyStructSequence_New(&entry_type));
    if (!result)
        return nullptr;
    PyObject *const values[] = {
        text_or_none(entry.sp_namp),
        text_or_none(entry.sp_pwdp),
        PyLong_FromLong(entry.sp_lstchg),
        PyLong_FromLong(entry.sp_min),
        PyLong_FromLong(entry.sp_max),
        PyLong_FromLong(entry.sp_warn),
        PyLong_FromLong(entry.sp_inact),
        PyLong_FromLong(entry.sp_expire),
        // The flag word is unsigned; all bits set (libc's "empty") reads as -1.
        PyLong_FromLong(static_cast<long>(entry.sp_flag)),
        text_or_none(entry.sp_namp),
        text_or_none(entry.sp_pwdp),
    };
    // A failed creation leaves its slot empty and its exception pending.
    Py_ssize_t i = 0;
    for (PyObject *value : values)
        PyStructSequence_SetItem(result.get(), i++, value);
    if (PyErr_Occurred())
        return nullptr;
    return result.release();
}

// Memory for libc's reentrant lookups: getspnam() and getspent() keep their
// result in static storage, which a nested call (from a finalizer or a
// collector callback run while the result is converted) overwrites.
struct MemBuffer {
    MemBuffer() noexcept = default;
    MemBuffer(const MemBuffer &) = delete;
    MemBuffer &operator=(const MemBuffer &) = delete;
    ~MemBuffer() { PyMem_Free(data); }
    char *data = nullptr;
};

constexpr size_t first_buffer_size = 1024;
constexpr size_t largest_buffer_size = size_t{1} << 24;

// One entry through `read` (getspnam_r or getspent_r) into `entry`, its
// strings in `buffer`, which grows while libc finds it too small. Returns 1
// for an entry, 0 for none (missing, or the database unreadable), -1 with
// MemoryError.
template <typename Read> int read_entry(Read read, spwd *entry, MemBuffer *buffer) noexcept
{
    for (size_t size = first_buffer_size; size <= largest_buffer_size; size *= 2) {
        auto grown = static_cast<char *>(PyMem_Realloc(buffer->data, size));
        if (grown == nullptr)
            break;
        buffer->data = grown;
        spwd *result = nullptr;
        int rc = read(entry, grown, size, &result);
        if (rc != ERANGE)
            return rc == 0 && result != nullptr ? 1 : 0;
    }
    PyErr_NoMemory();
    return -1;
}

PyDoc_STRVAR(kelpin_getspnam__doc__, "getspnam($module, arg, /)\n"
                                     "--\n"
                                     "\n"
                                     "Return the shadow password database entry for the given user name.\n"
                                     "\n"
                                     "See `help(kelpin)` for more on shadow password database entries.");

PyObject *kelpin_getspnam(PyObject *, PyObject *arg) noexcept
{
    PyObject *name = nullptr;
    if (!PyArg_Parse(arg, "U:getspnam", &name))
        return nullptr;
    ext::Ref encoded = ext::steal(PyUnicode_EncodeFSDefault(name));
    if (!encoded)
        return nullptr;
    // Without a length, embedded NUL bytes are refused before any lookup.
    char *c_name = nullptr;
    if (PyBytes_AsStringAndSize(encoded.get(), &c_name, nullptr) < 0)
        return nullptr;
    spwd entry{};
    MemBuffer buffer;
    int found =
        read_entry([c_name](spwd *e, char *b, size_t n, spwd **r) noexcept { return getspnam_r(c_name, e, b, n, r); },
                   &entry, &buffer);
    if (found < 0)
        return nullptr;
    if (found == 0) {
        PyErr_SetString(PyExc_KeyError, "getspnam(): name not found");
        return nullptr;
    }
    return make_entry(entry);
}

PyDoc_STRVAR(kelpin_getspall__doc__, "getspall($module, /)\n"
                                     "--\n"
                                     "\n"
                                     "Return a list of all available shadow password database entries, in arbitrary "
                                     "order.\n"
                                     "\n"
                                     "See `help(kelpin)` for more on shadow password database entries.");

// libc's cursor is process-wide: rewound first and closed on every path.
struct ShadowCursor {
    ShadowCursor() noexcept { setspent(); }
    ~ShadowCursor() { endspent(); }
    ShadowCursor(const ShadowCursor &) = delete;
    ShadowCursor &operator=(const ShadowCursor &) = delete;
};

// Entries copied out of libc with their strings, kept until converted.
class EntryStore
{
  public:
    EntryStore() noexcept = default;
    EntryStore(const EntryStore &) = delete;
    EntryStore &operator=(const EntryStore &) = delete;
    ~EntryStore()
    {
        for (size_t i = 0; i < count_; ++i)
            PyMem_Free(items_[i].strings);
        PyMem_Free(items_);
    }

    // Copies `entry` and its two strings; false with MemoryError set.
    bool push(const spwd &entry) noexcept
    {
        if (count_ == capacity_) {
            size_t capacity = capacity_ == 0 ? 16 : capacity_ * 2;
            auto grown = static_cast<Stored *>(PyMem_Realloc(items_, capacity * sizeof(Stored)));
            if (grown == nullptr) {
                PyErr_NoMemory();
                return false;
            }
            items_ = grown;
            capacity_ = capacity;
        }
        size_t name_size = entry.sp_namp != nullptr ? std::strlen(entry.sp_namp) + 1 : 0;
        size_t password_size = entry.sp_pwdp != nullptr ? std::strlen(entry.sp_pwdp) + 1 : 0;
        auto strings = static_cast<char *>(PyMem_Malloc(name_size + password_size + 1));
        if (strings == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        Stored &stored = items_[count_++];
        stored.entry = entry;
        stored.strings = strings;
        if (entry.sp_namp != nullptr)
            stored.entry.sp_namp = static_cast<char *>(std::memcpy(strings, entry.sp_namp, name_size));
        if (entry.sp_pwdp != nullptr)
            stored.entry.sp_pwdp = static_cast<char *>(std::memcpy(strings + name_size, entry.sp_pwdp, password_size));
        return true;
    }

    size_t size() const noexcept { return count_; }
    const spwd &operator[](size_t i) const noexcept { return items_[i].entry; }

  private:
    struct Stored {
        spwd entry;
        char *strings;
    };
    Stored *items_ = nullptr;
    size_t count_ = 0;
    size_t capacity_ = 0;
};

// The whole walk runs before any object is made: making one may start the
// collector, whose callbacks and finalizers could move the same cursor.
PyObject *kelpin_getspall(PyObject *, PyObject *) noexcept
{
    ext::Ref entries = ext::steal(PyList_New(0));
    if (!entries)
        return nullptr;
    EntryStore store;
    {
        ShadowCursor cursor;
        spwd entry{};
        MemBuffer buffer;
        auto next = [](spwd *e, char *b, size_t n, spwd **r) noexcept { return getspent_r(e, b, n, r); };
        for (;;) {
            int found = read_entry(next, &entry, &buffer);
            if (found < 0)
                return nullptr;
            if (found == 0)
                break;
            if (!store.push(entry))
                return nullptr;
        }
    }
    for (size_t i = 0; i < store.size(); ++i) {
        ext::Ref item = ext::steal(make_entry(store[i]));
        if (!item || PyList_Append(entries.get(), item.get()) < 0)
            return nullptr;
    }
    return entries.release();
}

PyMethodDef kelpin_methods[] = {
    {"getspnam", kelpin_getspnam, METH_O, kelpin_getspnam__doc__},
    {"getspall", kelpin_getspall, METH_NOARGS, kelpin_getspall__doc__},
    {nullptr, nullptr, 0, nullptr},
};

PyDoc_STRVAR(kelpin__doc__, "This module provides access to the Unix shadow password database.\n"
                            "It is available on various Unix versions.\n"
                            "\n"
                            "Shadow password database entries are reported as 9-tuples of type struct_kelpin,\n"
                            "containing the following items from the password database (see `<shadow.h>'):\n"
                            "sp_namp, sp_pwdp, sp_lstchg, sp_min, sp_max, sp_warn, sp_inact, sp_expire, sp_flag.\n"
                            "The sp_namp and sp_pwdp are strings, the rest are integers.\n"
                            "An exception is raised if the entry asked for cannot be found.\n"
                            "You have to be root to be able to use this module.");

PyModuleDef kelpin_module = {
    PyModuleDef_HEAD_INIT, "kelpin", kelpin__doc__, -1, kelpin_methods, nullptr, nullptr, nullptr, nullptr,
};

} // namespace

PyMODINIT_FUNC PyInit_kelpin()
{
    ext::Ref module = ext::steal(PyModule_Create2(&kelpin_module, PYTHON_API_VERSION));
    if (!module)
        return nullptr;
    // Once per process. Marked ready as soon as the type is, so a retried
    // import after a later failure never re-initialises a type in use.
    if (!entry_type_ready) {
        if (PyStructSequence_InitType2(&entry_type, &entry_desc) < 0)
            return nullptr;
        entry_type_ready = true;
    }
    if (PyModule_Add(module.get(), "struct_kelpin", Py_NewRef(reinterpret_cast<PyObject *>(&entry_type))) < 0)
        return nullptr;
    return module.release();
}
