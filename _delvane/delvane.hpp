// Shared declarations of the buffer-protocol test array: records, flags and
// the routines each source file offers the others.
#pragma once

#include "buffer.hpp"
#include "checked.hpp"
#include "compat.hpp"
#include "ref.hpp"

#include <cstdint>
#include <cstring>
#include <memory>

// Process-wide handles into the interpreter's struct module, set once at
// initialisation and never released. Exported so native test code can reach
// the same objects.
EXT_EXPORT PyObject *structmodule;
EXT_EXPORT PyObject *Struct;
EXT_EXPORT PyObject *calcsize;
EXT_EXPORT PyObject *simple_format;

namespace delvane
{

constexpr int ND_MAX_NDIM = 128;

// Flags published by the module, plus two internal bits.
constexpr int ND_VAREXPORT = 0x001;
constexpr int ND_WRITABLE = 0x002;
constexpr int ND_FORTRAN = 0x004;
constexpr int ND_SCALAR = 0x008;
constexpr int ND_PIL = 0x010;
constexpr int ND_REDIRECT = 0x020;
constexpr int ND_GETBUF_FAIL = 0x040;
constexpr int ND_GETBUF_UNDEFINED = 0x080;
constexpr int ND_CONTIG_C = 0x100;
constexpr int ND_ARRAYS_OWNED = 0x200;

// The initialiser's `getbuf` when the caller did not give one.
constexpr int REQUEST_UNSET = 0x10000;

inline bool flags_c_contiguous(int f)
{
    return (f & (ND_SCALAR | ND_CONTIG_C)) != 0;
}
inline bool flags_f_contiguous(int f)
{
    return (f & (ND_SCALAR | ND_FORTRAN)) != 0;
}
inline bool flags_contiguous(int f)
{
    return (f & (ND_SCALAR | ND_CONTIG_C | ND_FORTRAN)) != 0;
}

// One base buffer of an array's stack (or the consumed buffer of a consumer).
struct ArrayBase {
    ArrayBase *older;
    ArrayBase *newer;
    Py_ssize_t raw_len; // -1 in a consumer
    Py_ssize_t offset;  // -1 in a consumer
    char *data;         // owned; null in a consumer
    int flags;
    Py_ssize_t export_count;
    Py_buffer view;
    // Number of pointers at the start of `data` when the base was converted
    // to the indirect form: copies of the data must rebase them.
    Py_ssize_t table_entries;
    // Suboffsets added to a consumer whose other arrays belong to its exporter.
    Py_ssize_t *extra_suboffsets;
};

struct NDArrayObject {
    PyObject_HEAD int flags;
    ArrayBase embedded;
    ArrayBase *top;
};

extern PyTypeObject NDArray_Type;

inline bool is_consumer(const NDArrayObject *self)
{
    return self->top == &self->embedded;
}

// Pointer arithmetic that cannot be undefined: layouts with an extent of 0
// accept any stride, and the addresses computed for them are never used.
inline char *advance(const void *p, Py_ssize_t bytes)
{
    return reinterpret_cast<char *>(reinterpret_cast<std::uintptr_t>(p) + static_cast<std::uintptr_t>(bytes));
}
inline char *advance(const void *p, Py_ssize_t index, Py_ssize_t stride)
{
    return advance(p, ext::wrap_mul(index, stride));
}
// The pointer stored at `p` (an indirect table entry) plus `suboffset`.
inline char *follow(const void *p, Py_ssize_t suboffset)
{
    char *stored;
    std::memcpy(&stored, p, sizeof stored);
    return advance(stored, suboffset);
}

struct MemFree {
    void operator()(void *p) const noexcept { PyMem_Free(p); }
};
template <class T> using MemPtr = std::unique_ptr<T, MemFree>;

// ---- item conversion through struct (convert.cpp)
int pack_items(PyObject *target, PyObject *items, PyObject *format, Py_ssize_t itemsize);
int pack_one(char *ptr, PyObject *value, const char *format, Py_ssize_t itemsize);
PyObject *unpack_one(const char *ptr, const char *format, Py_ssize_t itemsize);
PyObject *unpack_nested(PyObject *unpack_from, const char *ptr, PyObject *mview, char *scratch, const Py_ssize_t *shape,
                        const Py_ssize_t *strides, const Py_ssize_t *suboffsets, Py_ssize_t ndim, Py_ssize_t itemsize);
int copy_array(const Py_buffer *dest, const Py_buffer *src);
// C-order strides of `shape` into `out` (ndim entries); false with ValueError
// when a stride overflows while every extent is non-zero.
bool c_strides(const Py_ssize_t *shape, int ndim, Py_ssize_t itemsize, Py_ssize_t *out);

// ---- records and construction (records.cpp)
ArrayBase *active_base(NDArrayObject *self);
PyObject *ndarray_alloc();
void derive_flags(ArrayBase *base);
int adopt_view(PyObject *exporter, NDArrayObject *self, int request);
void delete_base(NDArrayObject *self, ArrayBase *base);
// Ends one export (or pin) of `base`; an old base leaves the stack with its last.
void drop_export(NDArrayObject *self, ArrayBase *base);
PyObject *ndarray_new(PyTypeObject *, PyObject *, PyObject *);
int ndarray_init(PyObject *self, PyObject *args, PyObject *kwds);
void ndarray_dealloc(PyObject *self);
PyObject *ndarray_push(PyObject *self, PyObject *args, PyObject *kwds);
PyObject *ndarray_pop(PyObject *self, PyObject *);

// Holds an export on a base while Python code may run (an item's conversion,
// or a finalizer started by an allocation), so that code cannot pop the base
// whose memory or arrays are in use.
class Pin
{
  public:
    Pin(NDArrayObject *self, ArrayBase *base) : self_(self), base_(base) { base_->export_count++; }
    Pin(const Pin &) = delete;
    Pin &operator=(const Pin &) = delete;
    ~Pin() { drop_export(self_, base_); }

  private:
    NDArrayObject *self_;
    ArrayBase *base_;
};

// ---- export and attributes (export.cpp)
int ndarray_getbuf(PyObject *self, Py_buffer *view, int flags);
void ndarray_releasebuf(PyObject *self, Py_buffer *view);
extern PyGetSetDef ndarray_getset[];
PyObject *ndarray_add_suboffsets(PyObject *self, PyObject *);
PyObject *ndarray_memoryview_from_buffer(PyObject *self, PyObject *);

// The owner of a memoryview_from_buffer copy: it exports the recorded view,
// and the block holding the copy goes with the last view of it.
struct ViewCopy {
    PyObject_HEAD Py_buffer record;
    int flags; // the layout's ND_SCALAR, ND_PIL and contiguity bits
    char *block;
};
extern PyTypeObject ViewCopy_Type;
int view_copy_getbuf(PyObject *self, Py_buffer *view, int flags);
void view_copy_dealloc(PyObject *self);

// ---- indexing and contents (indexing.cpp)
PyObject *ndarray_item(PyObject *self, Py_ssize_t index);
PyObject *ndarray_subscript(PyObject *self, PyObject *key);
int ndarray_assign(PyObject *self, PyObject *key, PyObject *value);
PyObject *ndarray_tolist(PyObject *self, PyObject *);
PyObject *ndarray_tobytes(PyObject *self, PyObject *);
Py_hash_t ndarray_hash(PyObject *self);

} // namespace delvane
