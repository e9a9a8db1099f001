// Handing the active base out through the buffer protocol, with a distinct
// refusal for every request the layout cannot serve, and the attributes that
// describe the active base.
#include "delvane.hpp"

namespace delvane
{

namespace
{

NDArrayObject *as_nd(PyObject *op)
{
    return reinterpret_cast<NDArrayObject *>(op);
}

bool asks(int request, int what)
{
    return (request & what) == what;
}

int refuse(const char *message)
{
    PyErr_SetString(PyExc_BufferError, message);
    return -1;
}

// The checks after the copy of the description, in their fixed order.
int shape_request(Py_buffer *view, const Py_buffer *own, int request, int flags)
{
    if (asks(request, PyBUF_WRITABLE) && view->readonly)
        return refuse("ndarray is not writable");
    if (!asks(request, PyBUF_FORMAT))
        view->format = nullptr;
    if (asks(request, PyBUF_C_CONTIGUOUS) && !flags_c_contiguous(flags))
        return refuse("ndarray is not C-contiguous");
    if (asks(request, PyBUF_F_CONTIGUOUS) && !flags_f_contiguous(flags))
        return refuse("ndarray is not Fortran contiguous");
    if (asks(request, PyBUF_ANY_CONTIGUOUS) && !flags_contiguous(flags))
        return refuse("ndarray is not contiguous");
    if (!asks(request, PyBUF_INDIRECT) && (flags & ND_PIL))
        return refuse("ndarray cannot be represented without suboffsets");
    if (!asks(request, PyBUF_STRIDES)) {
        if (!flags_c_contiguous(flags))
            return refuse("ndarray is not C-contiguous");
        view->strides = nullptr;
    }
    if (!asks(request, PyBUF_ND)) {
        if (view->format)
            return refuse("ndarray: cannot cast to unsigned bytes if the format flag is present");
        view->ndim = 1;
        view->shape = nullptr;
    }
    bool c = PyBuffer_IsContiguous(view, 'C') != 0;
    bool consistent = c == flags_c_contiguous(flags);
    if (view->format && view->shape)
        consistent = consistent && (PyBuffer_IsContiguous(view, 'F') != 0) == flags_f_contiguous(flags);
    if (!view->format && !view->shape)
        consistent = consistent && PyBuffer_IsContiguous(view, 'F');
    // The contiguity bits can be given at construction. Trusted blindly, a
    // request without strides would then hand out `len` bytes from `buf` as
    // one run, past the memory a strided layout covers.
    consistent = consistent && (PyBuffer_IsContiguous(own, 'C') != 0) == flags_c_contiguous(flags) &&
                 (PyBuffer_IsContiguous(own, 'F') != 0) == flags_f_contiguous(flags);
    if (!consistent)
        return refuse("ndarray: contiguity mismatch in getbuf()");
    return 0;
}

// The tuple's allocation may run finalizers: callers pin the base.
PyObject *ssize_tuple(const Py_ssize_t *values, int n)
{
    if (values == nullptr)
        return PyTuple_New(0);
    ext::Ref t = ext::steal(PyTuple_New(n));
    if (!t)
        return nullptr;
    for (int i = 0; i < n; i++) {
        PyObject *x = PyLong_FromSsize_t(values[i]);
        if (x == nullptr)
            return nullptr;
        PyTuple_SET_ITEM(t.get(), i, x);
    }
    return t.release();
}

PyObject *contiguity(PyObject *op, char order, bool (*by_flags)(int))
{
    ArrayBase *b = active_base(as_nd(op));
    if (!b)
        return nullptr;
    bool real = PyBuffer_IsContiguous(&b->view, order) != 0;
    if (real != by_flags(b->flags)) {
        PyErr_SetString(PyExc_RuntimeError, "results from PyBuffer_IsContiguous() and flags differ");
        return nullptr;
    }
    return PyBool_FromLong(real);
}

#define BASE_OR_NULL(op)                                                                                               \
    ArrayBase *b = active_base(as_nd(op));                                                                             \
    if (!b)                                                                                                            \
        return nullptr;

PyObject *get_flags(PyObject *op, void *)
{
    BASE_OR_NULL(op)
    return PyLong_FromLong(b->flags);
}
PyObject *get_offset(PyObject *op, void *)
{
    BASE_OR_NULL(op)
    return PyLong_FromSsize_t(b->offset);
}
PyObject *get_obj(PyObject *op, void *)
{
    BASE_OR_NULL(op)
    return Py_NewRef(b->view.obj ? b->view.obj : Py_None);
}
PyObject *get_nbytes(PyObject *op, void *)
{
    BASE_OR_NULL(op)
    return PyLong_FromSsize_t(b->view.len);
}
PyObject *get_readonly(PyObject *op, void *)
{
    BASE_OR_NULL(op)
    return PyLong_FromLong(b->view.readonly);
}
PyObject *get_itemsize(PyObject *op, void *)
{
    BASE_OR_NULL(op)
    return PyLong_FromSsize_t(b->view.itemsize);
}
PyObject *get_format(PyObject *op, void *)
{
    BASE_OR_NULL(op)
    return PyUnicode_FromString(b->view.format ? b->view.format : "");
}
PyObject *get_ndim(PyObject *op, void *)
{
    BASE_OR_NULL(op)
    return PyLong_FromLong(b->view.ndim);
}
PyObject *get_shape(PyObject *op, void *)
{
    BASE_OR_NULL(op)
    Pin pin(as_nd(op), b);
    return ssize_tuple(b->view.shape, b->view.ndim);
}
PyObject *get_strides(PyObject *op, void *)
{
    BASE_OR_NULL(op)
    Pin pin(as_nd(op), b);
    return ssize_tuple(b->view.strides, b->view.ndim);
}
PyObject *get_suboffsets(PyObject *op, void *)
{
    BASE_OR_NULL(op)
    Pin pin(as_nd(op), b);
    return ssize_tuple(b->view.suboffsets, b->view.ndim);
}
PyObject *get_c_contiguous(PyObject *op, void *)
{
    return contiguity(op, 'C', flags_c_contiguous);
}
PyObject *get_f_contiguous(PyObject *op, void *)
{
    return contiguity(op, 'F', flags_f_contiguous);
}
PyObject *get_contiguous(PyObject *op, void *)
{
    return contiguity(op, 'A', flags_contiguous);
}

// The base whose raw data a memoryview copy is taken from: the array's own
// top, or, for a consumer of an original exporter, the base that exported the
// consumed view (reached through `internal`, so it is right even after the
// exporter pushed newer bases).
ArrayBase *source_base(NDArrayObject *self)
{
    if (!is_consumer(self))
        return self->top;
    PyObject *obj = self->embedded.view.obj;
    if (obj && Py_TYPE(obj) == &NDArray_Type && as_nd(obj)->top && !is_consumer(as_nd(obj)))
        return static_cast<ArrayBase *>(self->embedded.view.internal);
    PyErr_SetString(PyExc_TypeError, "memoryview_from_buffer(): ndarray must be original exporter or consumer from "
                                     "ndarray/original exporter");
    return nullptr;
}

// Where a view starts within its base's data; -1 when it lies outside,
// which only a view without items can do.
Py_ssize_t offset_in_base(const Py_buffer &v, const ArrayBase *src)
{
    const Py_ssize_t d = ext::wrap_sub(static_cast<Py_ssize_t>(reinterpret_cast<std::uintptr_t>(v.buf)),
                                       static_cast<Py_ssize_t>(reinterpret_cast<std::uintptr_t>(src->data)));
    return d >= 0 && d <= src->raw_len ? d : -1;
}

// Lays out [shape | strides | suboffsets | data | format] in `block`, the
// data 16-byte aligned at `data_at`, and points `record` at the copies.
void fill_block(char *block, size_t data_at, const Py_buffer &v, const ArrayBase *src, Py_ssize_t distance,
                Py_buffer *record)
{
    char *data = block + data_at;
    std::memcpy(data, src->data, static_cast<size_t>(src->raw_len));
    // An indirect table points into the source: make it point into the copy.
    const Py_ssize_t shift = ext::wrap_sub(static_cast<Py_ssize_t>(reinterpret_cast<std::uintptr_t>(data)),
                                           static_cast<Py_ssize_t>(reinterpret_cast<std::uintptr_t>(src->data)));
    for (Py_ssize_t n = 0; n < src->table_entries; n++) {
        char *entry = follow(data + n * Py_ssize_t(sizeof(char *)), shift);
        std::memcpy(data + n * Py_ssize_t(sizeof(char *)), &entry, sizeof entry);
    }
    record->buf = data + (distance < 0 ? 0 : distance);
    if (v.format) {
        char *format = data + src->raw_len;
        std::memcpy(format, v.format, std::strlen(v.format) + 1);
        record->format = format;
    }
    Py_ssize_t *arrays = reinterpret_cast<Py_ssize_t *>(block);
    const Py_ssize_t *parts[3] = {v.shape, v.strides, v.suboffsets};
    Py_ssize_t **targets[3] = {&record->shape, &record->strides, &record->suboffsets};
    for (int k = 0; k < 3; k++) {
        if (parts[k]) {
            std::memcpy(arrays + k * v.ndim, parts[k], static_cast<size_t>(v.ndim) * sizeof(Py_ssize_t));
            *targets[k] = arrays + k * v.ndim;
        }
    }
}

// Owns `block` from the start, so it is freed whatever happens.
PyObject *view_copy_new(char *block, const Py_buffer &record)
{
    ViewCopy *self = PyObject_New(ViewCopy, &ViewCopy_Type);
    if (!self) {
        PyMem_Free(block);
        return nullptr;
    }
    self->block = block;
    self->record = record;
    self->record.obj = nullptr;
    self->record.internal = nullptr;
    ArrayBase layout{};
    layout.view = self->record;
    derive_flags(&layout);
    self->flags = layout.flags;
    return reinterpret_cast<PyObject *>(self);
}

} // namespace

int view_copy_getbuf(PyObject *op, Py_buffer *view, int request)
{
    ViewCopy *self = reinterpret_cast<ViewCopy *>(op);
    *view = self->record;
    view->obj = nullptr;
    if (shape_request(view, &self->record, request, self->flags) < 0)
        return -1;
    view->obj = Py_NewRef(op);
    return 0;
}

void view_copy_dealloc(PyObject *op)
{
    PyMem_Free(reinterpret_cast<ViewCopy *>(op)->block);
    Py_TYPE(op)->tp_free(op);
}

int ndarray_getbuf(PyObject *op, Py_buffer *view, int request)
{
    NDArrayObject *self = as_nd(op);
    ArrayBase *b = active_base(self);
    view->obj = nullptr;
    if (!b)
        return -1;
    const int flags = b->flags;
    if (b->view.obj && (flags & ND_REDIRECT))
        return PyObject_GetBuffer(b->view.obj, view, request);

    *view = b->view;
    view->obj = nullptr;
    if (!view->format)
        view->format = const_cast<char *>("B");
    if (b->view.ndim != 0 &&
        ((asks(request, PyBUF_ND) && !b->view.shape) || (asks(request, PyBUF_STRIDES) && !b->view.strides)))
        return refuse("re-exporter does not provide format, shape or strides");
    if (flags & ND_GETBUF_FAIL) {
        // A deliberately broken failure: the marker tests that consumers
        // never release a view whose request failed.
        if (flags & ND_GETBUF_UNDEFINED)
            view->obj = reinterpret_cast<PyObject *>(1);
        return refuse("ND_GETBUF_FAIL: forced test exception");
    }
    if (shape_request(view, &b->view, request, flags) < 0)
        return -1;
    view->obj = Py_NewRef(op);
    b->export_count++;
    return 0;
}

void ndarray_releasebuf(PyObject *op, Py_buffer *view)
{
    NDArrayObject *self = as_nd(op);
    // A consumer's exported view carries its exporter's `internal`: count on
    // the embedded base instead.
    if (is_consumer(self)) {
        self->embedded.export_count--;
        return;
    }
    drop_export(self, static_cast<ArrayBase *>(view->internal));
}

PyGetSetDef ndarray_getset[] = {
    {"flags", get_flags, nullptr, nullptr, nullptr},
    {"offset", get_offset, nullptr, nullptr, nullptr},
    {"obj", get_obj, nullptr, nullptr, nullptr},
    {"nbytes", get_nbytes, nullptr, nullptr, nullptr},
    {"readonly", get_readonly, nullptr, nullptr, nullptr},
    {"itemsize", get_itemsize, nullptr, nullptr, nullptr},
    {"format", get_format, nullptr, nullptr, nullptr},
    {"ndim", get_ndim, nullptr, nullptr, nullptr},
    {"shape", get_shape, nullptr, nullptr, nullptr},
    {"strides", get_strides, nullptr, nullptr, nullptr},
    {"suboffsets", get_suboffsets, nullptr, nullptr, nullptr},
    {"c_contiguous", get_c_contiguous, nullptr, nullptr, nullptr},
    {"f_contiguous", get_f_contiguous, nullptr, nullptr, nullptr},
    {"contiguous", get_contiguous, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject *ndarray_add_suboffsets(PyObject *op, PyObject *)
{
    NDArrayObject *self = as_nd(op);
    BASE_OR_NULL(op)
    Py_buffer &v = b->view;
    if (v.suboffsets) {
        PyErr_SetString(PyExc_TypeError, "cannot add suboffsets to PIL-style array");
        return nullptr;
    }
    if (!v.strides) {
        PyErr_SetString(PyExc_TypeError, "cannot add suboffsets to array without strides");
        return nullptr;
    }
    Py_ssize_t *suboffsets = PyMem_New(Py_ssize_t, v.ndim ? v.ndim : 1);
    if (!suboffsets)
        return PyErr_NoMemory();
    for (int i = 0; i < v.ndim; i++)
        suboffsets[i] = -1;
    v.suboffsets = suboffsets;
    // Bases and slice views free their suboffsets; a plain consumer's other
    // arrays belong to its exporter, so this one is remembered apart.
    if (is_consumer(self) && !(b->flags & ND_ARRAYS_OWNED))
        b->extra_suboffsets = suboffsets;
    b->flags &= ~(ND_CONTIG_C | ND_FORTRAN);
    Py_RETURN_NONE;
}

PyObject *ndarray_memoryview_from_buffer(PyObject *op, PyObject *)
{
    NDArrayObject *self = as_nd(op);
    BASE_OR_NULL(op)
    ArrayBase *src = source_base(self);
    if (!src)
        return nullptr;
    const Py_buffer &v = b->view;
    const size_t flen = v.format ? std::strlen(v.format) : 0;
    if (flen > ND_MAX_NDIM) {
        PyErr_Format(PyExc_TypeError, "memoryview_from_buffer: format is limited to %d characters", ND_MAX_NDIM);
        return nullptr;
    }
    if (v.ndim > ND_MAX_NDIM) {
        PyErr_Format(PyExc_TypeError, "memoryview_from_buffer: ndim is limited to %d", ND_MAX_NDIM);
        return nullptr;
    }
    const Py_ssize_t distance = offset_in_base(v, src);
    if (distance < 0 && v.len != 0) {
        PyErr_SetString(PyExc_SystemError, "memoryview_from_buffer(): view lies outside its base");
        return nullptr;
    }
    // Every call gets a block of its own, owned by an object the memoryview
    // holds: a memoryview from an earlier call stays readable, and the block
    // goes with the last view of it.
    const size_t arrays = 3 * static_cast<size_t>(v.ndim) * sizeof(Py_ssize_t);
    const size_t data_at = (arrays + 15) & ~size_t(15);
    char *block = static_cast<char *>(PyMem_Malloc(data_at + static_cast<size_t>(src->raw_len) + flen + 1));
    if (!block)
        return PyErr_NoMemory();
    Py_buffer record = v;
    fill_block(block, data_at, v, src, distance, &record);
    ext::Ref copy = ext::steal(view_copy_new(block, record));
    if (!copy)
        return nullptr;
    return PyMemoryView_FromObject(copy.get());
}

} // namespace delvane
