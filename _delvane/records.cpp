// Array records: building a base from item values, the indirect form, the
// base stack (push, pop), consumers of other exporters, and destruction.
#include "delvane.hpp"

namespace delvane
{

namespace
{

void free_base(ArrayBase *base)
{
    PyMem_Free(base->data);
    PyMem_Free(base->view.format);
    PyMem_Free(base->view.shape);
    PyMem_Free(base->view.strides);
    PyMem_Free(base->view.suboffsets);
    PyMem_Free(base);
}

struct BaseFree {
    void operator()(ArrayBase *b) const noexcept { free_base(b); }
};
using BasePtr = std::unique_ptr<ArrayBase, BaseFree>;

void set_invalid_layout()
{
    PyErr_SetString(PyExc_ValueError, "invalid combination of buffer, shape and strides");
}

// The elements of a shape or strides tuple as signed sizes.
Py_ssize_t *ssize_array(PyObject *seq, const char *name, bool non_negative)
{
    Py_ssize_t n = PyTuple_GET_SIZE(seq);
    MemPtr<Py_ssize_t> out(PyMem_New(Py_ssize_t, n ? n : 1));
    if (!out) {
        PyErr_NoMemory();
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *x = PyTuple_GET_ITEM(seq, i);
        if (!PyLong_Check(x)) {
            PyErr_Format(PyExc_ValueError, "elements of %s must be integers", name);
            return nullptr;
        }
        Py_ssize_t v = PyLong_AsSsize_t(x);
        if (v == -1 && PyErr_Occurred())
            return nullptr;
        if (non_negative && v < 0) {
            PyErr_SetString(PyExc_ValueError, "elements of shape must be integers >= 0");
            return nullptr;
        }
        out.get()[i] = v;
    }
    return out.release();
}

// Strides computed from the base's shape, column-major when `order` has ND_FORTRAN.
Py_ssize_t *compute_strides(const ArrayBase *base, int order)
{
    const Py_buffer &v = base->view;
    MemPtr<Py_ssize_t> strides(PyMem_New(Py_ssize_t, v.ndim ? v.ndim : 1));
    if (!strides) {
        PyErr_NoMemory();
        return nullptr;
    }
    if (!(order & ND_FORTRAN)) {
        if (!c_strides(v.shape, v.ndim, v.itemsize, strides.get()))
            return nullptr;
        return strides.release();
    }
    bool overflow = false, empty = false;
    Py_ssize_t step = v.itemsize;
    for (int i = 0; i < v.ndim; i++) {
        strides.get()[i] = step;
        empty = empty || v.shape[i] == 0;
        if (!ext::checked_mul(step, v.shape[i], &step)) {
            overflow = true;
            step = 0;
        }
    }
    if (overflow && !empty) {
        set_invalid_layout();
        return nullptr;
    }
    return strides.release();
}

// Every item the layout can address must lie inside the raw memory. All sums
// are checked: a wrapped one would let a bad layout pass.
bool layout_ok(const Py_buffer &v, Py_ssize_t offset, Py_ssize_t raw_len)
{
    for (int n = 0; n < v.ndim; n++) {
        if (v.strides[n] % v.itemsize != 0) {
            PyErr_SetString(PyExc_ValueError, "strides must be a multiple of itemsize");
            return false;
        }
    }
    for (int n = 0; n < v.ndim; n++)
        if (v.shape[n] == 0)
            return true;
    Py_ssize_t imin = 0, imax = 0, x, lo, hi;
    for (int n = 0; n < v.ndim; n++) {
        Py_ssize_t &sum = v.strides[n] <= 0 ? imin : imax;
        if (!ext::checked_mul(v.shape[n] - 1, v.strides[n], &x) || !ext::checked_add(sum, x, &sum)) {
            set_invalid_layout();
            return false;
        }
    }
    if (!ext::checked_add(offset, imin, &lo) || lo < 0 || !ext::checked_add(offset, imax, &hi) ||
        !ext::checked_add(hi, v.itemsize, &hi) || hi > raw_len) {
        set_invalid_layout();
        return false;
    }
    return true;
}

// Rewrites the base into the indirect form: a table of pointers to the
// sub-arrays of dimension 0 in front of the data, and suboffsets.
bool convert_to_indirect(ArrayBase *base)
{
    Py_buffer &v = base->view;
    constexpr Py_ssize_t psize = sizeof(char *);
    Py_ssize_t table, total;
    if (!ext::checked_mul(v.shape[0], psize, &table) || !ext::checked_add(table, base->raw_len, &total)) {
        PyErr_NoMemory();
        return false;
    }
    MemPtr<Py_ssize_t> suboffsets(PyMem_New(Py_ssize_t, v.ndim));
    char *data = static_cast<char *>(PyMem_Malloc(static_cast<size_t>(total)));
    if (!suboffsets || !data) {
        PyMem_Free(data);
        PyErr_NoMemory();
        return false;
    }
    std::memcpy(data + table, base->data, static_cast<size_t>(base->raw_len));
    PyMem_Free(base->data);
    base->data = data;
    base->raw_len = total;
    v.buf = data;

    // Wrapping sums: only layouts with an extent of 0 could overflow here, and
    // then no pointer of the table is ever followed to an item.
    Py_ssize_t imin = 0, sub0 = 0;
    for (int n = 0; n < v.ndim && v.shape[n] != 0; n++) {
        if (v.strides[n] <= 0) {
            Py_ssize_t x = ext::wrap_mul(v.shape[n] - 1, v.strides[n]);
            imin = ext::wrap_add(imin, x);
            if (n >= 1)
                sub0 = ext::wrap_sub(sub0, x);
        }
    }
    Py_ssize_t start = ext::wrap_add(ext::wrap_add(table, base->offset), imin);
    Py_ssize_t step = v.strides[0] < 0 ? ext::wrap_sub(Py_ssize_t(0), v.strides[0]) : v.strides[0];
    for (Py_ssize_t n = 0; n < v.shape[0]; n++) {
        char *entry = advance(data, ext::wrap_add(start, ext::wrap_mul(n, step)));
        std::memcpy(data + n * psize, &entry, sizeof entry);
    }
    base->table_entries = v.shape[0];

    suboffsets.get()[0] = sub0;
    for (int n = 1; n < v.ndim; n++)
        suboffsets.get()[n] = -1;
    v.suboffsets = suboffsets.release();
    if (v.strides[0] >= 0) {
        v.strides[0] = psize;
    } else {
        v.strides[0] = -psize;
        if (v.shape[0] > 0)
            v.buf = data + (v.shape[0] - 1) * psize;
    }
    base->flags &= ~(ND_CONTIG_C | ND_FORTRAN);
    base->offset = 0;
    return true;
}

// Shape, strides and layout of a new base whose raw memory is filled.
bool shape_base(ArrayBase *base, PyObject *shape, PyObject *strides)
{
    Py_buffer &v = base->view;
    if (!(v.shape = ssize_array(shape, "shape", true)))
        return false;
    if (strides) {
        if (!(v.strides = ssize_array(strides, "strides", false)))
            return false;
    } else if (!(v.strides = compute_strides(base, base->flags))) {
        return false;
    }
    if (!layout_ok(v, base->offset, base->raw_len))
        return false;
    v.buf = base->data + base->offset;
    // With an extent of 0 anywhere the product is 0, however large the
    // extents before it.
    Py_ssize_t len = v.itemsize;
    for (int n = 0; n < v.ndim; n++)
        if (v.shape[n] == 0)
            len = 0;
    for (int n = 0; n < v.ndim && len != 0; n++) {
        if (!ext::checked_mul(len, v.shape[n], &len)) {
            set_invalid_layout();
            return false;
        }
    }
    v.len = len;
    if (PyBuffer_IsContiguous(&v, 'C'))
        base->flags |= ND_CONTIG_C;
    if (PyBuffer_IsContiguous(&v, 'F'))
        base->flags |= ND_FORTRAN;
    return !(base->flags & ND_PIL) || convert_to_indirect(base);
}

// A snapshot of a list or tuple; null with `message` as TypeError otherwise.
PyObject *list_or_tuple(PyObject *seq, const char *message)
{
    if (!PyList_Check(seq) && !PyTuple_Check(seq)) {
        PyErr_SetString(PyExc_TypeError, message);
        return nullptr;
    }
    return PySequence_Tuple(seq);
}

// What the arguments of a construction come to once checked. Shape, strides
// and items are snapshots: the struct module and the items' conversion code
// may run code that changes the caller's lists.
struct BaseRequest {
    ext::Ref shape;
    ext::Ref strides; // null when not given or empty
    ext::Ref values;
    Py_ssize_t ndim = 0;
    Py_ssize_t itemsize = 0;
    Py_ssize_t raw_len = 0;
};

bool check_shape_and_strides(BaseRequest &r, PyObject *shape, PyObject *strides, int flags)
{
    if (!(r.shape = ext::steal(list_or_tuple(shape, "shape must be a list or a tuple"))))
        return false;
    r.ndim = PyTuple_GET_SIZE(r.shape.get());
    if (r.ndim > ND_MAX_NDIM) {
        PyErr_Format(PyExc_ValueError, "ndim must not exceed %d", ND_MAX_NDIM);
        return false;
    }
    if (!strides)
        return true;
    if (!(r.strides = ext::steal(list_or_tuple(strides, "strides must be a list or a tuple"))))
        return false;
    if (PyTuple_GET_SIZE(r.strides.get()) == 0) {
        r.strides.reset();
    } else if (flags & ND_FORTRAN) {
        PyErr_SetString(PyExc_TypeError, "ND_FORTRAN cannot be used together with strides");
        return false;
    } else if (PyTuple_GET_SIZE(r.strides.get()) != r.ndim) {
        PyErr_SetString(PyExc_ValueError, "len(shape) != len(strides)");
        return false;
    }
    return true;
}

bool check_items(BaseRequest &r, PyObject *items, Py_ssize_t offset, PyObject *format)
{
    ext::Ref size = ext::steal(PyObject_CallFunctionObjArgs(calcsize, format, nullptr));
    if (!size)
        return false;
    r.itemsize = PyLong_AsSsize_t(size.get());
    if (r.itemsize == 0) {
        PyErr_SetString(PyExc_ValueError, "itemsize must not be zero");
        return false;
    }
    if (r.itemsize < 0)
        return false;
    if (r.ndim == 0)
        r.values = ext::steal(PyTuple_Pack(1, items));
    else
        r.values = ext::steal(list_or_tuple(items, "items must be a list or a tuple"));
    if (!r.values)
        return false;
    const Py_ssize_t count = PyTuple_GET_SIZE(r.values.get());
    if (count == 0) {
        PyErr_SetString(PyExc_ValueError, "initializer list or tuple must not be empty");
        return false;
    }
    Py_ssize_t end;
    if (!ext::checked_mul(count, r.itemsize, &r.raw_len)) {
        PyErr_NoMemory();
        return false;
    }
    if (offset % r.itemsize != 0) {
        PyErr_SetString(PyExc_ValueError, "offset must be a multiple of itemsize");
        return false;
    }
    if (offset < 0 || !ext::checked_add(offset, r.itemsize, &end) || end > r.raw_len) {
        PyErr_SetString(PyExc_ValueError, "offset out of bounds");
        return false;
    }
    return true;
}

// A base holding the packed items, described as a flat run of bytes.
ArrayBase *packed_base(const BaseRequest &r, Py_ssize_t offset, PyObject *format, int flags)
{
    BasePtr base(PyMem_New(ArrayBase, 1));
    if (base)
        std::memset(base.get(), 0, sizeof(ArrayBase));
    char *data = base ? static_cast<char *>(PyMem_Calloc(static_cast<size_t>(r.raw_len), 1)) : nullptr;
    if (!data) {
        PyErr_NoMemory();
        return nullptr;
    }
    ArrayBase *b = base.get();
    b->raw_len = r.raw_len;
    b->offset = offset;
    b->data = data;
    b->flags = flags;
    Py_buffer &v = b->view;
    v.buf = data;
    v.len = r.raw_len;
    v.itemsize = 1;
    v.ndim = 1;
    v.internal = b;

    // Packed into a private bytearray and copied in: the items' conversion
    // code never sees a view of memory this array owns.
    ext::Ref scratch = ext::steal(PyByteArray_FromStringAndSize(nullptr, r.raw_len));
    if (!scratch)
        return nullptr;
    std::memset(PyByteArray_AS_STRING(scratch.get()), 0, static_cast<size_t>(r.raw_len));
    if (pack_items(scratch.get(), r.values.get(), format, r.itemsize) < 0)
        return nullptr;
    std::memcpy(data, PyByteArray_AS_STRING(scratch.get()), static_cast<size_t>(r.raw_len));
    return base.release();
}

bool copy_format(Py_buffer &v, PyObject *format)
{
    ext::Ref ascii = ext::steal(PyUnicode_AsASCIIString(format));
    if (!ascii)
        return false;
    const size_t size = static_cast<size_t>(PyBytes_GET_SIZE(ascii.get())) + 1;
    if (!(v.format = static_cast<char *>(PyMem_Malloc(size)))) {
        PyErr_NoMemory();
        return false;
    }
    std::memcpy(v.format, PyBytes_AS_STRING(ascii.get()), size);
    return true;
}

ArrayBase *build_base(PyObject *items, PyObject *shape, PyObject *strides, Py_ssize_t offset, PyObject *format,
                      int flags)
{
    BaseRequest r;
    if (!check_shape_and_strides(r, shape, strides, flags) || !check_items(r, items, offset, format))
        return nullptr;
    BasePtr base(packed_base(r, offset, format, flags));
    if (!base)
        return nullptr;
    Py_buffer &v = base->view;
    v.readonly = (flags & ND_WRITABLE) ? 0 : 1;
    v.itemsize = r.itemsize;
    if (!copy_format(v, format))
        return nullptr;
    v.ndim = static_cast<int>(r.ndim);
    if (r.ndim == 0) {
        if (flags & ND_PIL) {
            PyErr_SetString(PyExc_TypeError, "ndim = 0 cannot be used in conjunction with ND_PIL");
            return nullptr;
        }
        base->flags |= ND_SCALAR | ND_CONTIG_C | ND_FORTRAN;
        return base.release();
    }
    if (!shape_base(base.get(), r.shape.get(), r.strides.get()))
        return nullptr;
    return base.release();
}

struct PushArgs {
    PyObject *items = nullptr;
    PyObject *shape = nullptr;
    PyObject *strides = nullptr;
    Py_ssize_t offset = 0;
    PyObject *format = simple_format;
    int flags = 0;
};

void set_exports_error(Py_ssize_t count)
{
    PyErr_Format(PyExc_BufferError, "cannot change structure: %zd exported buffer%s", count, count == 1 ? "" : "s");
}

// Checks that hold before a push; run again after building, since building
// runs the items' code, which may export buffers from this array.
bool push_allowed(NDArrayObject *self)
{
    if (is_consumer(self)) {
        PyErr_SetString(PyExc_BufferError, "structure of re-exporting object is immutable");
        return false;
    }
    if (!(self->flags & ND_VAREXPORT) && self->top->export_count > 0) {
        set_exports_error(self->top->export_count);
        return false;
    }
    return true;
}

void link_on_top(NDArrayObject *self, ArrayBase *base)
{
    base->older = self->top;
    base->newer = nullptr;
    if (self->top)
        self->top->newer = base;
    self->top = base;
}

int init_consumer(NDArrayObject *self, PyObject *obj, const PushArgs &a, int getbuf)
{
    if (a.strides || a.offset != 0 || a.format != simple_format || !(a.flags == 0 || a.flags == ND_REDIRECT)) {
        PyErr_SetString(PyExc_TypeError, "construction from exporter object only takes 'obj', 'getbuf' and 'flags' "
                                         "arguments");
        return -1;
    }
    if (adopt_view(obj, self, getbuf == REQUEST_UNSET ? PyBUF_FULL_RO : getbuf) < 0)
        return -1;
    derive_flags(&self->embedded);
    self->embedded.flags |= a.flags;
    return 0;
}

int init_exporter(NDArrayObject *self, const PushArgs &a, int getbuf)
{
    if (getbuf != REQUEST_UNSET) {
        PyErr_SetString(PyExc_TypeError, "getbuf argument only valid for construction from exporter object");
        return -1;
    }
    if (!a.shape) {
        PyErr_SetString(PyExc_TypeError, "shape is a required argument when constructing from list, tuple or scalar");
        return -1;
    }
    BasePtr base(build_base(a.items, a.shape, a.strides, a.offset, a.format, a.flags & ~ND_VAREXPORT));
    if (!base)
        return -1;
    // Building ran the items' code, which could have initialised this array.
    if (self->top) {
        PyErr_SetString(PyExc_TypeError, "ndarray is already initialised");
        return -1;
    }
    self->flags |= a.flags & ND_VAREXPORT;
    link_on_top(self, base.release());
    return 0;
}

template <class T> T *moved_with(T *p, const Py_buffer *from, Py_buffer *to)
{
    const auto at = reinterpret_cast<std::uintptr_t>(p), start = reinterpret_cast<std::uintptr_t>(from);
    if (at < start || at >= start + sizeof *from)
        return p;
    return reinterpret_cast<T *>(reinterpret_cast<char *>(to) + (at - start));
}

} // namespace

ArrayBase *active_base(NDArrayObject *self)
{
    if (self->top == nullptr)
        PyErr_SetString(PyExc_TypeError, "ndarray is not initialised");
    return self->top;
}

void derive_flags(ArrayBase *base)
{
    Py_buffer *v = &base->view;
    if (v->ndim == 0)
        base->flags |= ND_SCALAR;
    if (v->suboffsets)
        base->flags |= ND_PIL;
    if (PyBuffer_IsContiguous(v, 'C'))
        base->flags |= ND_CONTIG_C;
    if (PyBuffer_IsContiguous(v, 'F'))
        base->flags |= ND_FORTRAN;
}

int adopt_view(PyObject *exporter, NDArrayObject *self, int request)
{
    Py_buffer view;
    if (PyObject_GetBuffer(exporter, &view, request) < 0)
        return -1; // the failed view's obj may be a test marker: never release it
    // The exporter may run code that initialised this array meanwhile.
    if (self->top) {
        PyBuffer_Release(&view);
        PyErr_SetString(PyExc_TypeError, "ndarray is already initialised");
        return -1;
    }
    // numpy answers a request without PyBUF_ND with ndim 0 whatever its
    // size. Read as a scalar, a view of fewer bytes than one item (an empty
    // array) would be read and written past its end, here and by consumers.
    if (view.ndim == 0 && view.len < (view.itemsize > 1 ? view.itemsize : 1)) {
        PyBuffer_Release(&view);
        PyErr_SetString(PyExc_BufferError, "ndarray: zero-dimensional buffer is smaller than one item");
        return -1;
    }
    ArrayBase *b = &self->embedded;
    std::memset(b, 0, sizeof *b);
    b->view = view;
    // Exporters may point shape and strides at the view's own fields (bytes
    // and bytearray use its len and itemsize): follow the view to its home.
    b->view.format = moved_with(view.format, &view, &b->view);
    b->view.shape = moved_with(view.shape, &view, &b->view);
    b->view.strides = moved_with(view.strides, &view, &b->view);
    b->view.suboffsets = moved_with(view.suboffsets, &view, &b->view);
    b->raw_len = -1;
    b->offset = -1;
    b->flags = view.readonly ? 0 : ND_WRITABLE;
    self->top = b;
    return 0;
}

void delete_base(NDArrayObject *self, ArrayBase *base)
{
    if (base->newer)
        base->newer->older = base->older;
    else
        self->top = base->older;
    if (base->older)
        base->older->newer = base->newer;
    free_base(base);
}

void drop_export(NDArrayObject *self, ArrayBase *base)
{
    base->export_count--;
    if (base->export_count == 0 && base != self->top && base != &self->embedded)
        delete_base(self, base);
}

PyObject *ndarray_alloc()
{
    NDArrayObject *self = PyObject_New(NDArrayObject, &NDArray_Type);
    if (self == nullptr)
        return nullptr;
    self->flags = 0;
    std::memset(&self->embedded, 0, sizeof self->embedded);
    self->top = nullptr;
    return reinterpret_cast<PyObject *>(self);
}

PyObject *ndarray_new(PyTypeObject *, PyObject *, PyObject *)
{
    return ndarray_alloc();
}

int ndarray_init(PyObject *op, PyObject *args, PyObject *kwds)
{
    auto *self = reinterpret_cast<NDArrayObject *>(op);
    // A second run would put a consumer's embedded base into a stack, or lose bases.
    if (self->top) {
        PyErr_SetString(PyExc_TypeError, "ndarray is already initialised");
        return -1;
    }
    static const char *kwlist[] = {"obj", "shape", "strides", "offset", "format", "flags", "getbuf", nullptr};
    PushArgs a;
    int getbuf = REQUEST_UNSET;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|OOnOii", const_cast<char **>(kwlist), &a.items, &a.shape,
                                     &a.strides, &a.offset, &a.format, &a.flags, &getbuf))
        return -1;
    if (PyObject_CheckBuffer(a.items) && !a.shape)
        return init_consumer(self, a.items, a, getbuf);
    return init_exporter(self, a, getbuf);
}

namespace
{

// Releasing a consumer's buffer can free its exporter, itself a consumer of
// another, and so on down a chain of any length. Past a small depth arrays
// are queued instead, linked through the `older` field a consumer never
// uses, and the outermost deallocation finishes them one by one, so the C
// stack stays flat.
constexpr int DEALLOC_DEPTH = 50;
int dealloc_depth = 0;
NDArrayObject *deferred = nullptr;

void finish_dealloc(NDArrayObject *self)
{
    if (is_consumer(self)) {
        ArrayBase *b = &self->embedded;
        // The exporter gets its view back before the copies it points at go.
        Py_ssize_t *shape = b->view.shape, *strides = b->view.strides, *suboffsets = b->view.suboffsets;
        PyBuffer_Release(&b->view);
        if (b->flags & ND_ARRAYS_OWNED) {
            PyMem_Free(shape);
            PyMem_Free(strides);
            PyMem_Free(suboffsets);
        }
        PyMem_Free(b->extra_suboffsets);
    } else {
        while (self->top)
            delete_base(self, self->top);
    }
    PyObject_Free(self);
}

} // namespace

void ndarray_dealloc(PyObject *op)
{
    auto *self = reinterpret_cast<NDArrayObject *>(op);
    if (is_consumer(self) && dealloc_depth >= DEALLOC_DEPTH) {
        self->embedded.older = reinterpret_cast<ArrayBase *>(deferred);
        deferred = self;
        return;
    }
    dealloc_depth++;
    finish_dealloc(self);
    while (dealloc_depth == 1 && deferred) {
        NDArrayObject *next = deferred;
        deferred = reinterpret_cast<NDArrayObject *>(next->embedded.older);
        next->embedded.older = nullptr;
        finish_dealloc(next);
    }
    dealloc_depth--;
}

PyObject *ndarray_push(PyObject *op, PyObject *args, PyObject *kwds)
{
    auto *self = reinterpret_cast<NDArrayObject *>(op);
    static const char *kwlist[] = {"items", "shape", "strides", "offset", "format", "flags", nullptr};
    PushArgs a;
    if (!active_base(self) || !PyArg_ParseTupleAndKeywords(args, kwds, "OO|OnOi", const_cast<char **>(kwlist), &a.items,
                                                           &a.shape, &a.strides, &a.offset, &a.format, &a.flags))
        return nullptr;
    if (a.flags & ND_VAREXPORT) {
        PyErr_SetString(PyExc_ValueError, "ND_VAREXPORT flag can only be used during object creation");
        return nullptr;
    }
    if (!push_allowed(self))
        return nullptr;
    BasePtr base(build_base(a.items, a.shape, a.strides, a.offset, a.format, a.flags));
    if (!base || !push_allowed(self))
        return nullptr;
    link_on_top(self, base.release());
    Py_RETURN_NONE;
}

PyObject *ndarray_pop(PyObject *op, PyObject *)
{
    auto *self = reinterpret_cast<NDArrayObject *>(op);
    ArrayBase *top = active_base(self);
    if (!top)
        return nullptr;
    if (is_consumer(self)) {
        PyErr_SetString(PyExc_BufferError, "structure of re-exporting object is immutable");
        return nullptr;
    }
    if (top->export_count > 0) {
        set_exports_error(top->export_count);
        return nullptr;
    }
    if (top->older == nullptr) {
        PyErr_SetString(PyExc_BufferError, "list only has a single base");
        return nullptr;
    }
    delete_base(self, top);
    Py_RETURN_NONE;
}

} // namespace delvane
