// The _delvane module: the ndarray and staticarray types, the functions that
// hand the interpreter's own buffer routines to Python code, and the constants.
#include "delvane.hpp"

// Type objects and slot tables are written with designated initialisers, so
// fields land by name whatever the interpreter version's layout; the fields
// left out are meant to be zero.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace delvane
{

namespace
{

// ---- staticarray: one fixed read-only buffer, whatever the request

struct StaticArrayObject {
    PyObject_HEAD int legacy_mode;
};

// Writable storage on purpose: a consumer that writes through the read-only
// view must not fault on a read-only page.
char static_mem[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
Py_ssize_t static_shape[1] = {12};
Py_ssize_t static_strides[1] = {1};

PyObject *staticarray_new(PyTypeObject *type, PyObject *, PyObject *)
{
    // tp_alloc zero-fills: an array whose initialiser never ran is not legacy.
    return type->tp_alloc(type, 0);
}

int staticarray_init(PyObject *op, PyObject *args, PyObject *kwds)
{
    static const char *kwlist[] = {"legacy_mode", nullptr};
    PyObject *legacy = Py_False;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O", const_cast<char **>(kwlist), &legacy))
        return -1;
    reinterpret_cast<StaticArrayObject *>(op)->legacy_mode = legacy != Py_False;
    return 0;
}

int staticarray_getbuf(PyObject *op, Py_buffer *view, int)
{
    view->buf = static_mem;
    view->len = sizeof static_mem;
    view->itemsize = 1;
    view->readonly = 1;
    view->ndim = 1;
    view->format = const_cast<char *>("B");
    view->shape = static_shape;
    view->strides = static_strides;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    view->obj = reinterpret_cast<StaticArrayObject *>(op)->legacy_mode ? nullptr : Py_NewRef(op);
    return 0;
}

void staticarray_dealloc(PyObject *op)
{
    Py_TYPE(op)->tp_free(op);
}

PyBufferProcs staticarray_as_buffer = {
    .bf_getbuffer = staticarray_getbuf,
    .bf_releasebuffer = nullptr,
};

PyTypeObject StaticArray_Type = {
    .ob_base = {PyObject_HEAD_INIT(nullptr) 0},
    .tp_name = "staticarray",
    .tp_basicsize = sizeof(StaticArrayObject),
    .tp_dealloc = staticarray_dealloc,
    .tp_getattro = PyObject_GenericGetAttr,
    .tp_as_buffer = &staticarray_as_buffer,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_init = staticarray_init,
    .tp_new = staticarray_new,
};

// ---- module functions

// 'C', 'F' or 'A' from the first character of a str.
int order_char(PyObject *order)
{
    if (!PyUnicode_Check(order)) {
        PyErr_SetString(PyExc_TypeError, "order must be a string");
        return -1;
    }
    ext::Ref ascii = ext::steal(PyUnicode_AsASCIIString(order));
    if (!ascii)
        return -1;
    char c = PyBytes_AS_STRING(ascii.get())[0];
    if (c != 'C' && c != 'F' && c != 'A') {
        PyErr_SetString(PyExc_ValueError, "invalid order, must be C, F or A");
        return -1;
    }
    return c;
}

PyObject *slice_indices(PyObject *, PyObject *args)
{
    PyObject *key;
    Py_ssize_t length, start, stop, step, slicelength;
    if (!PyArg_ParseTuple(args, "On", &key, &length))
        return nullptr;
    if (Py_TYPE(key) != &PySlice_Type) {
        PyErr_SetString(PyExc_TypeError, "first argument must be a slice object");
        return nullptr;
    }
    if (PySlice_GetIndicesEx(key, length, &start, &stop, &step, &slicelength) < 0)
        return nullptr;
    return Py_BuildValue("(nnnn)", start, stop, step, slicelength);
}

PyObject *get_pointer(PyObject *, PyObject *args)
{
    PyObject *obj, *seq;
    if (!PyArg_ParseTuple(args, "OO", &obj, &seq))
        return nullptr;
    if (!PyList_Check(seq) && !PyTuple_Check(seq)) {
        PyErr_SetString(PyExc_TypeError, "seq must be a list or a tuple");
        return nullptr;
    }
    ext::BufferView view;
    if (!view.get(obj, PyBUF_FULL_RO))
        return nullptr;
    if (view->ndim > ND_MAX_NDIM) {
        PyErr_Format(PyExc_ValueError, "get_pointer(): ndim > %d", ND_MAX_NDIM);
        return nullptr;
    }
    // Indices are converted from a snapshot: __index__ may change the list.
    ext::Ref indices = ext::steal(PySequence_Tuple(seq));
    if (!indices)
        return nullptr;
    if (PyTuple_GET_SIZE(indices.get()) != view->ndim) {
        PyErr_SetString(PyExc_ValueError, "get_pointer(): len(indices) != ndim");
        return nullptr;
    }
    if (view->ndim > 0 && (!view->shape || !view->strides)) {
        PyErr_SetString(PyExc_ValueError, "get_pointer(): exporter gives no shape and strides");
        return nullptr;
    }
    Py_ssize_t index[ND_MAX_NDIM];
    for (int i = 0; i < view->ndim; i++) {
        index[i] = PyLong_AsSsize_t(PyTuple_GET_ITEM(indices.get(), i));
        if (index[i] == -1 && PyErr_Occurred())
            return nullptr;
        if (index[i] < 0 || index[i] >= view->shape[i]) {
            PyErr_Format(PyExc_ValueError, "get_pointer(): invalid index %zd at position %d", index[i], i);
            return nullptr;
        }
    }
    char *ptr = static_cast<char *>(PyBuffer_GetPointer(&*view, index));
    return unpack_one(ptr, view->format, view->itemsize);
}

PyObject *get_sizeof_void_p(PyObject *, PyObject *)
{
    return PyLong_FromSize_t(sizeof(void *));
}

PyObject *get_contiguous(PyObject *, PyObject *args)
{
    PyObject *obj, *buffertype, *order;
    if (!PyArg_ParseTuple(args, "OOO", &obj, &buffertype, &order))
        return nullptr;
    if (!PyLong_Check(buffertype)) {
        PyErr_SetString(PyExc_TypeError, "buffertype must be PyBUF_READ or PyBUF_WRITE");
        return nullptr;
    }
    long type = PyLong_AsLong(buffertype);
    if (type == -1 && PyErr_Occurred())
        return nullptr;
    if (type != PyBUF_READ && type != PyBUF_WRITE) {
        PyErr_SetString(PyExc_ValueError, "invalid buffer type");
        return nullptr;
    }
    int ord = order_char(order);
    if (ord < 0)
        return nullptr;
    return PyMemoryView_GetContiguous(obj, static_cast<int>(type), static_cast<char>(ord));
}

PyObject *py_buffer_to_contiguous(PyObject *, PyObject *args)
{
    PyObject *obj, *order;
    int flags;
    if (!PyArg_ParseTuple(args, "OOi", &obj, &order, &flags))
        return nullptr;
    ext::BufferView view;
    if (!view.get(obj, flags))
        return nullptr;
    int ord = order_char(order);
    if (ord < 0)
        return nullptr;
    ext::Ref bytes = ext::steal(PyBytes_FromStringAndSize(nullptr, view->len));
    if (!bytes)
        return nullptr;
    if (PyBuffer_ToContiguous(PyBytes_AS_STRING(bytes.get()), &*view, view->len, static_cast<char>(ord)) < 0)
        return nullptr;
    return bytes.release();
}

PyObject *is_contiguous(PyObject *, PyObject *args)
{
    PyObject *obj, *order;
    if (!PyArg_ParseTuple(args, "OO", &obj, &order))
        return nullptr;
    int ord = order_char(order);
    if (ord < 0)
        return nullptr;
    if (Py_TYPE(obj) == &NDArray_Type) {
        ArrayBase *b = active_base(reinterpret_cast<NDArrayObject *>(obj));
        if (!b)
            return nullptr;
        return PyBool_FromLong(PyBuffer_IsContiguous(&b->view, static_cast<char>(ord)));
    }
    ext::BufferView view;
    if (!view.get(obj, PyBUF_FULL_RO)) {
        PyErr_SetString(PyExc_TypeError, "is_contiguous: object does not implement the buffer protocol");
        return nullptr;
    }
    return PyBool_FromLong(PyBuffer_IsContiguous(&*view, static_cast<char>(ord)));
}

bool same_arrays(const Py_ssize_t *a, const Py_ssize_t *b, int n)
{
    return std::memcmp(a, b, static_cast<size_t>(n) * sizeof(Py_ssize_t)) == 0;
}

bool equal_buffers(const Py_buffer &a, const Py_buffer &b)
{
    bool both_c = PyBuffer_IsContiguous(&a, 'C') && PyBuffer_IsContiguous(&b, 'C');
    bool both_f = PyBuffer_IsContiguous(&a, 'F') && PyBuffer_IsContiguous(&b, 'F');
    if (!(both_c || both_f) || a.len != b.len || a.itemsize != b.itemsize || a.ndim != b.ndim)
        return false;
    if (std::strcmp(a.format ? a.format : "B", b.format ? b.format : "B") != 0)
        return false;
    if (!a.shape != !b.shape || !a.strides != !b.strides || !a.suboffsets != !b.suboffsets)
        return false;
    if (a.shape && !same_arrays(a.shape, b.shape, a.ndim))
        return false;
    if (a.strides) {
        for (int i = 0; i < a.ndim; i++)
            if (a.strides[i] != b.strides[i] && !(a.shape && a.shape[i] < 2))
                return false;
    }
    if (a.suboffsets && !same_arrays(a.suboffsets, b.suboffsets, a.ndim))
        return false;
    return std::memcmp(a.buf, b.buf, static_cast<size_t>(a.len)) == 0;
}

PyObject *cmp_contig(PyObject *, PyObject *args)
{
    PyObject *b1, *b2;
    if (!PyArg_ParseTuple(args, "OO", &b1, &b2))
        return nullptr;
    ext::BufferView v1, v2;
    if (!v1.get(b1, PyBUF_FULL_RO)) {
        PyErr_SetString(PyExc_TypeError, "cmp_contig: first argument does not implement the buffer protocol");
        return nullptr;
    }
    if (!v2.get(b2, PyBUF_FULL_RO)) {
        PyErr_SetString(PyExc_TypeError, "cmp_contig: second argument does not implement the buffer protocol");
        return nullptr;
    }
    return PyBool_FromLong(equal_buffers(*v1, *v2));
}

PyMethodDef module_methods[] = {
    {"slice_indices", slice_indices, METH_VARARGS, nullptr},
    {"get_pointer", get_pointer, METH_VARARGS, nullptr},
    {"get_sizeof_void_p", get_sizeof_void_p, METH_NOARGS, nullptr},
    {"get_contiguous", get_contiguous, METH_VARARGS, nullptr},
    {"py_buffer_to_contiguous", py_buffer_to_contiguous, METH_VARARGS, nullptr},
    {"is_contiguous", is_contiguous, METH_VARARGS, nullptr},
    {"cmp_contig", cmp_contig, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---- the ndarray type object

PySequenceMethods ndarray_as_sequence = {
    .sq_item = ndarray_item,
};

PyMappingMethods ndarray_as_mapping = {
    .mp_length = nullptr,
    .mp_subscript = ndarray_subscript,
    .mp_ass_subscript = ndarray_assign,
};

PyBufferProcs ndarray_as_buffer = {
    .bf_getbuffer = ndarray_getbuf,
    .bf_releasebuffer = ndarray_releasebuf,
};

PyBufferProcs view_copy_as_buffer = {
    .bf_getbuffer = view_copy_getbuf,
    .bf_releasebuffer = nullptr,
};

PyMethodDef ndarray_methods[] = {
    {"tolist", ndarray_tolist, METH_NOARGS, nullptr},
    {"tobytes", ndarray_tobytes, METH_NOARGS, nullptr},
    {"push", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ndarray_push)), METH_VARARGS | METH_KEYWORDS,
     nullptr},
    {"pop", ndarray_pop, METH_NOARGS, nullptr},
    {"add_suboffsets", ndarray_add_suboffsets, METH_NOARGS, nullptr},
    {"memoryview_from_buffer", ndarray_memoryview_from_buffer, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef delvane_module = {
    PyModuleDef_HEAD_INIT, "_delvane", nullptr, -1, module_methods, nullptr, nullptr, nullptr, nullptr,
};

struct Constant {
    const char *name;
    long value;
};

const Constant constants[] = {
    {"ND_MAX_NDIM", ND_MAX_NDIM},
    {"ND_VAREXPORT", ND_VAREXPORT},
    {"ND_WRITABLE", ND_WRITABLE},
    {"ND_FORTRAN", ND_FORTRAN},
    {"ND_SCALAR", ND_SCALAR},
    {"ND_PIL", ND_PIL},
    {"ND_GETBUF_FAIL", ND_GETBUF_FAIL},
    {"ND_GETBUF_UNDEFINED", ND_GETBUF_UNDEFINED},
    {"ND_REDIRECT", ND_REDIRECT},
    {"PyBUF_SIMPLE", PyBUF_SIMPLE},
    {"PyBUF_WRITABLE", PyBUF_WRITABLE},
    {"PyBUF_FORMAT", PyBUF_FORMAT},
    {"PyBUF_ND", PyBUF_ND},
    {"PyBUF_STRIDES", PyBUF_STRIDES},
    {"PyBUF_INDIRECT", PyBUF_INDIRECT},
    {"PyBUF_C_CONTIGUOUS", PyBUF_C_CONTIGUOUS},
    {"PyBUF_F_CONTIGUOUS", PyBUF_F_CONTIGUOUS},
    {"PyBUF_ANY_CONTIGUOUS", PyBUF_ANY_CONTIGUOUS},
    {"PyBUF_FULL", PyBUF_FULL},
    {"PyBUF_FULL_RO", PyBUF_FULL_RO},
    {"PyBUF_RECORDS", PyBUF_RECORDS},
    {"PyBUF_RECORDS_RO", PyBUF_RECORDS_RO},
    {"PyBUF_STRIDED", PyBUF_STRIDED},
    {"PyBUF_STRIDED_RO", PyBUF_STRIDED_RO},
    {"PyBUF_CONTIG", PyBUF_CONTIG},
    {"PyBUF_CONTIG_RO", PyBUF_CONTIG_RO},
    {"PyBUF_READ", PyBUF_READ},
    {"PyBUF_WRITE", PyBUF_WRITE},
};

// The struct handles live for the process: a second initialisation (another
// interpreter loading the library again) keeps the first ones.
bool import_struct()
{
    if (structmodule)
        return true;
    ext::Ref mod = ext::steal(PyImport_ImportModule("struct"));
    if (!mod)
        return false;
    ext::Ref cls = ext::steal(PyObject_GetAttrString(mod.get(), "Struct"));
    ext::Ref size = ext::steal(PyObject_GetAttrString(mod.get(), "calcsize"));
    ext::Ref fmt = ext::steal(PyUnicode_FromString("B"));
    if (!cls || !size || !fmt)
        return false;
    structmodule = mod.release();
    Struct = cls.release();
    calcsize = size.release();
    simple_format = fmt.release();
    return true;
}

} // namespace

PyTypeObject NDArray_Type = {
    .ob_base = {PyObject_HEAD_INIT(nullptr) 0},
    .tp_name = "ndarray",
    .tp_basicsize = sizeof(NDArrayObject),
    .tp_dealloc = ndarray_dealloc,
    .tp_as_sequence = &ndarray_as_sequence,
    .tp_as_mapping = &ndarray_as_mapping,
    .tp_hash = ndarray_hash,
    .tp_getattro = PyObject_GenericGetAttr,
    .tp_as_buffer = &ndarray_as_buffer,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_methods = ndarray_methods,
    .tp_getset = ndarray_getset,
    .tp_init = ndarray_init,
    .tp_new = ndarray_new,
};

PyTypeObject ViewCopy_Type = {
    .ob_base = {PyObject_HEAD_INIT(nullptr) 0},
    .tp_name = "_delvane.view_copy",
    .tp_basicsize = sizeof(ViewCopy),
    .tp_dealloc = view_copy_dealloc,
    .tp_getattro = PyObject_GenericGetAttr,
    .tp_as_buffer = &view_copy_as_buffer,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "The copy of an ndarray's data and layout that a memoryview from memoryview_from_buffer() reads.",
};

} // namespace delvane

PyMODINIT_FUNC PyInit__delvane()
{
    using namespace delvane;
    Py_SET_TYPE(reinterpret_cast<PyObject *>(&NDArray_Type), &PyType_Type);
    Py_SET_TYPE(reinterpret_cast<PyObject *>(&StaticArray_Type), &PyType_Type);
    Py_SET_TYPE(reinterpret_cast<PyObject *>(&ViewCopy_Type), &PyType_Type);
    if (PyType_Ready(&NDArray_Type) < 0 || PyType_Ready(&StaticArray_Type) < 0 || PyType_Ready(&ViewCopy_Type) < 0)
        return nullptr;
    ext::Ref m = ext::steal(PyModule_Create2(&delvane_module, PYTHON_API_VERSION));
    if (!m)
        return nullptr;
    if (PyModule_Add(m.get(), "ndarray", Py_NewRef(reinterpret_cast<PyObject *>(&NDArray_Type))) < 0 ||
        PyModule_Add(m.get(), "staticarray", Py_NewRef(reinterpret_cast<PyObject *>(&StaticArray_Type))) < 0 ||
        !import_struct())
        return nullptr;
    for (const Constant &c : constants)
        if (PyModule_Add(m.get(), c.name, PyLong_FromLong(c.value)) < 0)
            return nullptr;
    return m.release();
}
