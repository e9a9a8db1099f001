// Item conversion: every value goes to and from bytes through the struct
// module, and items move between two buffer layouts with copy_array.
#include "delvane.hpp"

// The definitions of the exported handles (declared in delvane.hpp).
extern "C" {
__attribute__((visibility("default"))) PyObject *structmodule = nullptr;
__attribute__((visibility("default"))) PyObject *Struct = nullptr;
__attribute__((visibility("default"))) PyObject *calcsize = nullptr;
__attribute__((visibility("default"))) PyObject *simple_format = nullptr;
}

namespace delvane
{

namespace
{

// The number of values one item of Struct `s` packs, read as the length of
// what it unpacks from `target` (every format code accepts any bytes).
Py_ssize_t struct_nmemb(PyObject *s, PyObject *target)
{
    ext::Ref values = ext::steal(PyObject_CallMethod(s, "unpack_from", "O", target));
    if (!values)
        return -1;
    return PyTuple_Size(values.get());
}

// Arguments for pack_into: (target, offset, value...). Every slot holds its
// own reference, and list values are snapshot, so code run by the packing
// (an item's __index__) cannot free what the tuple points at.
PyObject *pack_arguments(PyObject *target, Py_ssize_t offset, PyObject *value, Py_ssize_t nmemb)
{
    ext::Ref args = ext::steal(PyTuple_New(2 + nmemb));
    ext::Ref pos = ext::steal(PyLong_FromSsize_t(offset));
    if (!args || !pos)
        return nullptr;
    PyTuple_SET_ITEM(args.get(), 0, Py_NewRef(target));
    PyTuple_SET_ITEM(args.get(), 1, pos.release());
    if ((PyBytes_Check(value) || PyLong_Check(value) || PyFloat_Check(value)) && nmemb == 1) {
        PyTuple_SET_ITEM(args.get(), 2, Py_NewRef(value));
        return args.release();
    }
    if (PyList_Check(value) || PyTuple_Check(value)) {
        ext::Ref parts = ext::steal(PySequence_Tuple(value));
        if (!parts)
            return nullptr;
        if (PyTuple_GET_SIZE(parts.get()) == nmemb) {
            for (Py_ssize_t k = 0; k < nmemb; k++)
                PyTuple_SET_ITEM(args.get(), 2 + k, Py_NewRef(PyTuple_GET_ITEM(parts.get(), k)));
            return args.release();
        }
    }
    PyErr_SetString(PyExc_ValueError, "mismatch between initializer element and format string");
    return nullptr;
}

// A one-element result tuple stands for its element.
PyObject *single_or_tuple(PyObject *values)
{
    if (values != nullptr && PyTuple_Check(values) && PyTuple_GET_SIZE(values) == 1) {
        PyObject *v = Py_NewRef(PyTuple_GET_ITEM(values, 0));
        Py_DECREF(values);
        return v;
    }
    return values;
}

const char *or_bytes(const char *format)
{
    return format ? format : "B";
}

struct Side {
    char *ptr;
    const Py_ssize_t *strides;
    const Py_ssize_t *suboffsets;
};

bool direct(const Side &s)
{
    return !(s.suboffsets && s.suboffsets[0] >= 0);
}

const char *item_at(const char *p, const Py_ssize_t *suboffsets)
{
    return suboffsets && suboffsets[0] >= 0 ? follow(p, suboffsets[0]) : p;
}

Side inner(const Side &s)
{
    return {const_cast<char *>(item_at(s.ptr, s.suboffsets)), s.strides + 1, s.suboffsets ? s.suboffsets + 1 : nullptr};
}

// Copies one level; a row that is not a plain run is gathered into scratch
// before any of it is written, so overlapping rows come out right.
void copy_level(const Py_ssize_t *shape, Py_ssize_t ndim, Py_ssize_t itemsize, Side dst, Side src, char *scratch)
{
    if (ndim == 1) {
        if (direct(dst) && direct(src) && dst.strides[0] == itemsize && src.strides[0] == itemsize) {
            std::memmove(dst.ptr, src.ptr, static_cast<size_t>(shape[0] * itemsize));
            return;
        }
        const char *s = src.ptr;
        for (Py_ssize_t i = 0; i < shape[0]; i++, s = advance(s, src.strides[0]))
            std::memcpy(scratch + i * itemsize, item_at(s, src.suboffsets), static_cast<size_t>(itemsize));
        char *d = dst.ptr;
        for (Py_ssize_t i = 0; i < shape[0]; i++, d = advance(d, dst.strides[0]))
            std::memcpy(const_cast<char *>(item_at(d, dst.suboffsets)), scratch + i * itemsize,
                        static_cast<size_t>(itemsize));
        return;
    }
    for (Py_ssize_t i = 0; i < shape[0]; i++) {
        copy_level(shape + 1, ndim - 1, itemsize, inner(dst), inner(src), scratch);
        dst.ptr = advance(dst.ptr, dst.strides[0]);
        src.ptr = advance(src.ptr, src.strides[0]);
    }
}

bool same_structure(const Py_buffer *dest, const Py_buffer *src)
{
    if (std::strcmp(or_bytes(dest->format), or_bytes(src->format)) != 0 || dest->itemsize != src->itemsize ||
        dest->ndim != src->ndim || dest->shape == nullptr || src->shape == nullptr)
        return false;
    for (int i = 0; i < dest->ndim; i++) {
        if (dest->shape[i] != src->shape[i])
            return false;
        if (dest->shape[i] == 0)
            break;
    }
    return true;
}

} // namespace

bool c_strides(const Py_ssize_t *shape, int ndim, Py_ssize_t itemsize, Py_ssize_t *out)
{
    bool overflow = false;
    bool empty = false;
    Py_ssize_t step = itemsize;
    for (int i = ndim - 1; i >= 0; i--) {
        out[i] = step;
        empty = empty || shape[i] == 0;
        if (!ext::checked_mul(step, shape[i], &step)) {
            overflow = true;
            step = 0;
        }
    }
    // Strides of an array without items address nothing; an overflowing one
    // only matters when every extent is real, and then the layout is bad.
    if (overflow && !empty) {
        PyErr_SetString(PyExc_ValueError, "invalid combination of buffer, shape and strides");
        return false;
    }
    return true;
}

int pack_items(PyObject *target, PyObject *items, PyObject *format, Py_ssize_t itemsize)
{
    ext::Ref s = ext::steal(PyObject_CallFunctionObjArgs(Struct, format, nullptr));
    if (!s)
        return -1;
    Py_ssize_t nmemb = struct_nmemb(s.get(), target);
    if (nmemb < 0)
        return -1;
    ext::Ref pack_into = ext::steal(PyObject_GetAttrString(s.get(), "pack_into"));
    // A snapshot: the items' own conversion code may change the sequence.
    ext::Ref values = ext::steal(PySequence_Tuple(items));
    if (!pack_into || !values)
        return -1;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(values.get()); i++) {
        ext::Ref args =
            ext::steal(pack_arguments(target, ext::wrap_mul(i, itemsize), PyTuple_GET_ITEM(values.get(), i), nmemb));
        if (!args)
            return -1;
        ext::Ref done = ext::steal(PyObject_Call(pack_into.get(), args.get(), nullptr));
        if (!done)
            return -1;
    }
    return 0;
}

int pack_one(char *ptr, PyObject *value, const char *format, Py_ssize_t itemsize)
{
    // Packed into a private copy of the item and copied back: code run by the
    // packing never holds a view of the array's own memory.
    ext::Ref fmt = ext::steal(PyUnicode_FromString(or_bytes(format)));
    if (!fmt)
        return -1;
    ext::Ref s = ext::steal(PyObject_CallFunctionObjArgs(Struct, fmt.get(), nullptr));
    if (!s)
        return -1;
    ext::Ref scratch = ext::steal(PyByteArray_FromStringAndSize(ptr, itemsize));
    if (!scratch)
        return -1;
    Py_ssize_t nmemb = struct_nmemb(s.get(), scratch.get());
    if (nmemb < 0)
        return -1;
    ext::Ref pack_into = ext::steal(PyObject_GetAttrString(s.get(), "pack_into"));
    if (!pack_into)
        return -1;
    ext::Ref args = ext::steal(pack_arguments(scratch.get(), 0, value, nmemb));
    if (!args)
        return -1;
    ext::Ref done = ext::steal(PyObject_Call(pack_into.get(), args.get(), nullptr));
    if (!done)
        return -1;
    std::memcpy(ptr, PyByteArray_AS_STRING(scratch.get()), static_cast<size_t>(itemsize));
    return 0;
}

PyObject *unpack_one(const char *ptr, const char *format, Py_ssize_t itemsize)
{
    if (format == nullptr)
        itemsize = 1;
    // The item and its format are copied before any Python code can run:
    // `unpack_from` is looked up in the module on each call, so replaced code
    // (or a module __getattr__) may pop the array or keep the memoryview.
    ext::Ref fmt = ext::steal(PyUnicode_FromString(or_bytes(format)));
    ext::Ref copy = ext::steal(PyBytes_FromStringAndSize(ptr, itemsize));
    if (!fmt || !copy)
        return nullptr;
    ext::Ref unpack_from = ext::steal(PyObject_GetAttrString(structmodule, "unpack_from"));
    if (!unpack_from)
        return nullptr;
    ext::Ref mview = ext::steal(PyMemoryView_FromObject(copy.get()));
    if (!mview)
        return nullptr;
    return single_or_tuple(PyObject_CallFunctionObjArgs(unpack_from.get(), fmt.get(), mview.get(), nullptr));
}

PyObject *unpack_nested(PyObject *unpack_from, const char *ptr, PyObject *mview, char *scratch, const Py_ssize_t *shape,
                        const Py_ssize_t *strides, const Py_ssize_t *suboffsets, Py_ssize_t ndim, Py_ssize_t itemsize)
{
    if (ndim == 0) {
        std::memcpy(scratch, ptr, static_cast<size_t>(itemsize));
        return single_or_tuple(PyObject_CallFunctionObjArgs(unpack_from, mview, nullptr));
    }
    ext::Ref list = ext::steal(PyList_New(shape[0]));
    if (!list)
        return nullptr;
    for (Py_ssize_t i = 0; i < shape[0]; i++, ptr = advance(ptr, strides[0])) {
        PyObject *item = unpack_nested(unpack_from, item_at(ptr, suboffsets), mview, scratch, shape + 1, strides + 1,
                                       suboffsets ? suboffsets + 1 : nullptr, ndim - 1, itemsize);
        if (item == nullptr)
            return nullptr;
        PyList_SET_ITEM(list.get(), i, item);
    }
    return list.release();
}

int copy_array(const Py_buffer *dest, const Py_buffer *src)
{
    if (!same_structure(dest, src) || dest->ndim < 1 || dest->ndim > ND_MAX_NDIM) {
        PyErr_SetString(PyExc_ValueError, "ndarray assignment: lvalue and rvalue have different structures");
        return -1;
    }
    const int ndim = dest->ndim;
    const Py_ssize_t itemsize = dest->itemsize;
    for (int i = 0; i < ndim; i++)
        if (dest->shape[i] == 0)
            return 0; // nothing to copy, however large the other extents
    // A side without strides is laid out in C order.
    Py_ssize_t dstrides[ND_MAX_NDIM], sstrides[ND_MAX_NDIM];
    if ((dest->strides == nullptr && !c_strides(dest->shape, ndim, itemsize, dstrides)) ||
        (src->strides == nullptr && !c_strides(src->shape, ndim, itemsize, sstrides)))
        return -1;
    Side dst{static_cast<char *>(dest->buf), dest->strides ? dest->strides : dstrides, dest->suboffsets};
    Side srcs{static_cast<char *>(src->buf), src->strides ? src->strides : sstrides, src->suboffsets};

    const int last = ndim - 1;
    bool plain_rows = !(dst.suboffsets && dst.suboffsets[last] >= 0) &&
                      !(srcs.suboffsets && srcs.suboffsets[last] >= 0) && dst.strides[last] == itemsize &&
                      srcs.strides[last] == itemsize;
    MemPtr<char> scratch;
    if (!plain_rows) {
        Py_ssize_t size;
        if (!ext::checked_mul(dest->shape[last], itemsize, &size) ||
            !(scratch = MemPtr<char>(static_cast<char *>(PyMem_Malloc(static_cast<size_t>(size ? size : 1)))))) {
            PyErr_NoMemory();
            return -1;
        }
    }
    copy_level(dest->shape, ndim, itemsize, dst, srcs, scratch.get());
    return 0;
}

} // namespace delvane
