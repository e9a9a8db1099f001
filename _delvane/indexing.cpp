// Reading and writing an array by index, slice or tuple of slices, and
// reading its whole contents (tolist, tobytes, hash).
#include "delvane.hpp"

namespace delvane
{

namespace
{

NDArrayObject *as_nd(PyObject *op)
{
    return reinterpret_cast<NDArrayObject *>(op);
}

// A view without shape is a flat run of items of `itemsize` bytes: counting
// its `len` in items, not bytes, keeps every access inside the buffer.
Py_ssize_t flat_itemsize(const Py_buffer *v)
{
    return v->itemsize > 0 ? v->itemsize : 1;
}

char *item_pointer(const Py_buffer *v, Py_ssize_t index)
{
    Py_ssize_t n, step;
    if (v->shape) {
        n = v->shape[0];
        step = v->strides ? v->strides[0] : (n > 0 ? v->len / n : v->itemsize);
    } else {
        step = flat_itemsize(v);
        n = v->len / step;
    }
    if (index < 0)
        index += n;
    if (index < 0 || index >= n) {
        PyErr_SetString(PyExc_IndexError, "index out of bounds");
        return nullptr;
    }
    char *ptr = advance(v->buf, index, step);
    if (v->shape && v->suboffsets && v->suboffsets[0] >= 0)
        ptr = follow(ptr, v->suboffsets[0]);
    return ptr;
}

bool empty_tuple(PyObject *key)
{
    return PyTuple_Check(key) && PyTuple_GET_SIZE(key) == 0;
}

int invalid_scalar_index()
{
    PyErr_SetString(PyExc_TypeError, "invalid indexing of scalar");
    return -1;
}

int slice_dimension(Py_buffer *v, PyObject *slice, int d)
{
    Py_ssize_t start, stop, step, length;
    if (PySlice_GetIndicesEx(slice, v->shape[d], &start, &stop, &step, &length) < 0)
        return -1;
    const Py_ssize_t move = ext::wrap_mul(v->strides[d], start);
    int n = d - 1;
    if (v->suboffsets && d > 0)
        while (n >= 0 && v->suboffsets[n] < 0)
            n--;
    // In an indirect array the start of a later dimension moves the offset
    // applied after the nearest pointer, not the pointer table itself.
    if (v->suboffsets && d > 0 && n >= 0)
        v->suboffsets[n] = ext::wrap_add(v->suboffsets[n], move);
    else
        v->buf = advance(v->buf, move);
    v->shape[d] = length;
    v->strides[d] = ext::wrap_mul(v->strides[d], step);
    return 0;
}

// Gives a consumer its own copies of shape, strides and suboffsets to slice.
bool own_arrays(ArrayBase *b)
{
    Py_buffer *v = &b->view;
    const size_t size = static_cast<size_t>(v->ndim) * sizeof(Py_ssize_t);
    MemPtr<Py_ssize_t> shape(PyMem_New(Py_ssize_t, v->ndim));
    MemPtr<Py_ssize_t> strides(PyMem_New(Py_ssize_t, v->ndim));
    MemPtr<Py_ssize_t> suboffsets(v->suboffsets ? PyMem_New(Py_ssize_t, v->ndim) : nullptr);
    if (!shape || !strides || (v->suboffsets && !suboffsets)) {
        PyErr_NoMemory();
        return false;
    }
    std::memcpy(shape.get(), v->shape, size);
    std::memcpy(strides.get(), v->strides, size);
    if (v->suboffsets)
        std::memcpy(suboffsets.get(), v->suboffsets, size);
    v->shape = shape.release();
    v->strides = strides.release();
    v->suboffsets = suboffsets.release();
    b->flags |= ND_ARRAYS_OWNED;
    return true;
}

PyObject *slice_view(NDArrayObject *self, PyObject *key)
{
    ext::Ref result = ext::steal(ndarray_alloc());
    if (!result || adopt_view(reinterpret_cast<PyObject *>(self), as_nd(result.get()), PyBUF_FULL_RO) < 0)
        return nullptr;
    ArrayBase *b = &as_nd(result.get())->embedded;
    Py_buffer *v = &b->view;
    if (v->ndim < 1 || !v->shape || !v->strides) {
        PyErr_SetString(PyExc_TypeError, "ndarray cannot be sliced without shape and strides");
        return nullptr;
    }
    if (!own_arrays(b))
        return nullptr;
    if (Py_TYPE(key) == &PySlice_Type) {
        if (slice_dimension(v, key, 0) < 0)
            return nullptr;
    } else if (PyTuple_Check(key)) {
        const Py_ssize_t count = PyTuple_GET_SIZE(key);
        // More slices than dimensions would reach past shape and strides.
        if (count > v->ndim) {
            PyErr_Format(PyExc_TypeError, "cannot index %d-dimension view with %zd-element tuple", v->ndim, count);
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < count; i++) {
            PyObject *part = PyTuple_GET_ITEM(key, i);
            if (Py_TYPE(part) != &PySlice_Type) {
                PyErr_Format(PyExc_TypeError, "cannot index memory using \"%.200s\"", Py_TYPE(part)->tp_name);
                return nullptr;
            }
            if (slice_dimension(v, part, static_cast<int>(i)) < 0)
                return nullptr;
        }
    } else {
        PyErr_Format(PyExc_TypeError, "cannot index memory using \"%.200s\"", Py_TYPE(key)->tp_name);
        return nullptr;
    }
    Py_ssize_t len = v->itemsize;
    for (int i = 0; i < v->ndim; i++)
        len = ext::wrap_mul(len, v->shape[i]);
    v->len = len;
    derive_flags(b);
    return result.release();
}

int assign_sub_array(PyObject *op, PyObject *key, PyObject *value)
{
    // Released on every path, the failing ones included.
    ext::BufferView src;
    if (!src.get(value, PyBUF_FULL_RO))
        return -1;
    ext::Ref dest = ext::steal(ndarray_subscript(op, key));
    if (!dest)
        return -1;
    // Getting the value's buffer may have run code that changed this array.
    if (Py_TYPE(dest.get()) != &NDArray_Type || as_nd(dest.get())->top->view.readonly) {
        PyErr_SetString(PyExc_TypeError, "ndarray is not writable");
        return -1;
    }
    return copy_array(&as_nd(dest.get())->top->view, &*src);
}

} // namespace

PyObject *ndarray_item(PyObject *op, Py_ssize_t index)
{
    NDArrayObject *self = as_nd(op);
    ArrayBase *b = active_base(self);
    if (!b)
        return nullptr;
    const Py_buffer *v = &b->view;
    if (v->ndim == 0) {
        invalid_scalar_index();
        return nullptr;
    }
    char *ptr = item_pointer(v, index);
    if (!ptr)
        return nullptr;
    if (v->ndim == 1 || !v->shape)
        return unpack_one(ptr, v->format, v->itemsize);

    ext::Ref result = ext::steal(ndarray_alloc());
    if (!result || adopt_view(op, as_nd(result.get()), PyBUF_FULL_RO) < 0)
        return nullptr;
    ArrayBase *nb = &as_nd(result.get())->embedded;
    Py_buffer *nv = &nb->view;
    // A forwarding consumer hands out its exporter's current buffer, which
    // after a push is not the one this array holds: the item must come from
    // the buffer the new view adopted, the only memory it keeps alive.
    if (nv->ndim != v->ndim || !nv->shape) {
        PyErr_SetString(PyExc_BufferError, "ndarray: forwarded buffer no longer matches this array");
        return nullptr;
    }
    if (!(ptr = item_pointer(nv, index)))
        return nullptr;
    nv->buf = ptr;
    nv->len /= nv->shape[0];
    nv->ndim--;
    nv->shape++;
    if (nv->strides)
        nv->strides++;
    if (nv->suboffsets)
        nv->suboffsets++;
    derive_flags(nb);
    return result.release();
}

PyObject *ndarray_subscript(PyObject *op, PyObject *key)
{
    NDArrayObject *self = as_nd(op);
    ArrayBase *b = active_base(self);
    if (!b)
        return nullptr;
    const Py_buffer *v = &b->view;
    if (v->ndim == 0) {
        if (empty_tuple(key))
            return unpack_one(static_cast<char *>(v->buf), v->format, v->itemsize);
        if (key == Py_Ellipsis)
            return Py_NewRef(op);
        invalid_scalar_index();
        return nullptr;
    }
    if (PyIndex_Check(key)) {
        // Converted first and looked at again: __index__ may change the array.
        if (!PyLong_Check(key)) {
            ext::Ref index = ext::steal(PyNumber_Index(key));
            return index ? ndarray_subscript(op, index.get()) : nullptr;
        }
        Py_ssize_t i = PyLong_AsSsize_t(key);
        if (i == -1 && PyErr_Occurred())
            return nullptr;
        return ndarray_item(op, i);
    }
    return slice_view(self, key);
}

int ndarray_assign(PyObject *op, PyObject *key, PyObject *value)
{
    NDArrayObject *self = as_nd(op);
    ArrayBase *b = active_base(self);
    if (!b)
        return -1;
    const Py_buffer *v = &b->view;
    if (v->readonly) {
        PyErr_SetString(PyExc_TypeError, "ndarray is not writable");
        return -1;
    }
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "ndarray data cannot be deleted");
        return -1;
    }
    if (v->ndim == 0) {
        if (key != Py_Ellipsis && !empty_tuple(key))
            return invalid_scalar_index();
        Pin pin(self, b);
        return pack_one(static_cast<char *>(v->buf), value, v->format, v->itemsize);
    }
    if ((v->ndim == 1 || !v->shape) && PyIndex_Check(key)) {
        if (!PyLong_Check(key)) {
            ext::Ref index = ext::steal(PyNumber_Index(key));
            return index ? ndarray_assign(op, index.get(), value) : -1;
        }
        Py_ssize_t i = PyLong_AsSsize_t(key);
        char *ptr = (i == -1 && PyErr_Occurred()) ? nullptr : item_pointer(v, i);
        if (!ptr)
            return -1;
        Pin pin(self, b);
        return pack_one(ptr, value, v->format, v->itemsize);
    }
    return assign_sub_array(op, key, value);
}

PyObject *ndarray_tolist(PyObject *op, PyObject *)
{
    ArrayBase *b = active_base(as_nd(op));
    if (!b)
        return nullptr;
    // Building the lists can run a collection, and finalizers can pop.
    Pin pin(as_nd(op), b);
    const Py_buffer *v = &b->view;
    if (!v->format) {
        PyErr_SetString(PyExc_ValueError, "ndarray: tolist() does not support format=NULL, use tobytes()");
        return nullptr;
    }
    const Py_ssize_t *shape = v->shape, *strides = v->strides, *suboffsets = v->suboffsets;
    Py_ssize_t ndim = v->ndim;
    Py_ssize_t flat_shape, flat_stride, computed[ND_MAX_NDIM];
    if (ndim != 0 && !shape) {
        flat_stride = flat_itemsize(v);
        flat_shape = v->len / flat_stride;
        shape = &flat_shape;
        strides = &flat_stride;
        suboffsets = nullptr;
        ndim = 1;
    } else if (ndim != 0 && !strides) {
        if (ndim > ND_MAX_NDIM) {
            PyErr_Format(PyExc_ValueError, "ndim must not exceed %d", ND_MAX_NDIM);
            return nullptr;
        }
        if (!c_strides(shape, static_cast<int>(ndim), v->itemsize, computed))
            return nullptr;
        strides = computed;
    }
    ext::Ref format = ext::steal(PyUnicode_FromString(v->format));
    if (!format)
        return nullptr;
    ext::Ref s = ext::steal(PyObject_CallFunctionObjArgs(Struct, format.get(), nullptr));
    if (!s)
        return nullptr;
    ext::Ref unpack_from = ext::steal(PyObject_GetAttrString(s.get(), "unpack_from"));
    // The scratch item is a bytearray, so the memoryview over it owns it.
    ext::Ref scratch = ext::steal(PyByteArray_FromStringAndSize(nullptr, v->itemsize));
    if (!unpack_from || !scratch)
        return nullptr;
    ext::Ref mview = ext::steal(PyMemoryView_FromObject(scratch.get()));
    if (!mview)
        return nullptr;
    return unpack_nested(unpack_from.get(), static_cast<char *>(v->buf), mview.get(),
                         PyByteArray_AS_STRING(scratch.get()), shape, strides, suboffsets, ndim, v->itemsize);
}

PyObject *ndarray_tobytes(PyObject *op, PyObject *)
{
    ArrayBase *b = active_base(as_nd(op));
    if (!b)
        return nullptr;
    const Py_buffer *v = &b->view;
    // Flags can be forced at construction; only a layout that really is one
    // run of `len` bytes may be read as one.
    if (flags_c_contiguous(b->flags) && PyBuffer_IsContiguous(v, 'C'))
        return PyBytes_FromStringAndSize(static_cast<char *>(v->buf), v->len);
    if (!v->shape || v->ndim > ND_MAX_NDIM) {
        PyErr_SetString(PyExc_ValueError, "ndarray: cannot copy this layout");
        return nullptr;
    }
    Py_ssize_t strides[ND_MAX_NDIM], len = v->itemsize;
    for (int i = 0; i < v->ndim; i++)
        if (!ext::checked_mul(len, v->shape[i], &len))
            len = -1;
    if (len != v->len) {
        PyErr_SetString(PyExc_ValueError, "ndarray: len does not match shape and itemsize");
        return nullptr;
    }
    if (!c_strides(v->shape, v->ndim, v->itemsize, strides))
        return nullptr;
    ext::Ref bytes = ext::steal(PyBytes_FromStringAndSize(nullptr, v->len));
    if (!bytes)
        return nullptr;
    Py_buffer dest = *v;
    dest.buf = PyBytes_AS_STRING(bytes.get());
    dest.readonly = 0;
    dest.strides = strides;
    dest.suboffsets = nullptr;
    if (copy_array(&dest, v) < 0)
        return nullptr;
    return bytes.release();
}

Py_hash_t ndarray_hash(PyObject *op)
{
    ArrayBase *b = active_base(as_nd(op));
    if (!b)
        return -1;
    if (!b->view.readonly) {
        PyErr_SetString(PyExc_ValueError, "cannot hash writable ndarray object");
        return -1;
    }
    if (b->view.obj) {
        // A consumer of a consumer hashes down the whole chain.
        if (Py_EnterRecursiveCall(" while hashing an ndarray"))
            return -1;
        Py_hash_t h = PyObject_Hash(b->view.obj);
        Py_LeaveRecursiveCall();
        if (h == -1)
            return -1;
    }
    ext::Ref bytes = ext::steal(ndarray_tobytes(op, nullptr));
    return bytes ? PyObject_Hash(bytes.get()) : -1;
}

} // namespace delvane
