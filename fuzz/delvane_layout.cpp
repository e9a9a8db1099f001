// libFuzzer target: _delvane's layout and stride checks, through the array
// constructor in an embedded interpreter. Any shape, strides, offset, format
// and flags the checks accept must keep every item the array then reads or
// copies inside its memory, which the sanitizer watches (the array's data is
// an exact-size heap block).
#include <Python.h>

#include <cstdint>
#include <cstring>

extern "C" PyObject *PyInit__delvane();

namespace
{

PyObject *ndarray_type = nullptr;

const char *const formats[] = {"B", "b", "h", "i", "q", "d", "?", "c", "2B", "3s", "x", "<h", ">q", "T{B:a:}", "Z"};

struct Input {
    const uint8_t *p;
    size_t n;
    uint8_t byte() { return n ? (n--, *p++) : 0; }
    int16_t i16() { return static_cast<int16_t>(byte() | byte() << 8); }
};

// Calls method `name` of `obj` and forgets the answer or the error.
void poke(PyObject *obj, const char *name)
{
    PyObject *r = PyObject_CallMethod(obj, name, nullptr);
    Py_XDECREF(r);
    PyErr_Clear();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    PyImport_AppendInittab("_delvane", PyInit__delvane);
    Py_InitializeEx(0);
    PyObject *m = PyImport_ImportModule("_delvane");
    if (m == nullptr) {
        PyErr_Print();
        __builtin_trap();
    }
    ndarray_type = PyObject_GetAttrString(m, "ndarray");
    return ndarray_type == nullptr ? 1 : 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Input in{data, size};
    const int ndim = in.byte() % 5;
    const char *format = formats[in.byte() % (sizeof formats / sizeof *formats)];
    const int flags = in.byte() & 0x3F;
    const long offset = in.i16();
    const bool with_strides = in.byte() & 1;
    PyObject *shape = PyTuple_New(ndim), *strides = PyTuple_New(ndim);
    long count = 1;
    for (int i = 0; i < ndim; i++) {
        long extent = in.byte() % 7;
        count *= extent;
        PyTuple_SET_ITEM(shape, i, PyLong_FromLong(extent));
        PyTuple_SET_ITEM(strides, i, PyLong_FromLong(in.i16()));
    }
    // Items for a memory of any length, from the shape's count or the input.
    long nitems = (in.byte() & 1) ? count : in.byte() % 64;
    PyObject *items = PyList_New(nitems > 0 ? nitems : 1);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); i++) {
        PyObject *item;
        if (std::strcmp(format, "2B") == 0)
            item = Py_BuildValue("(ii)", 1, 2);
        else if (format[0] == 'c' || format[0] == '3')
            item = PyBytes_FromStringAndSize("abc", format[0] == 'c' ? 1 : 3);
        else
            item = PyLong_FromLong(i % 2);
        PyList_SET_ITEM(items, i, item);
    }
    PyObject *kwargs =
        Py_BuildValue("{s:O,s:l,s:s,s:i}", "shape", shape, "offset", offset, "format", format, "flags", flags);
    if (with_strides)
        PyDict_SetItemString(kwargs, "strides", strides);
    PyObject *args = PyTuple_Pack(1, ndim ? items : PyList_GET_ITEM(items, 0));
    PyObject *nd = PyObject_Call(ndarray_type, args, kwargs);
    if (nd == nullptr) {
        PyErr_Clear();
    } else {
        poke(nd, "tolist");
        poke(nd, "tobytes");
        poke(nd, "add_suboffsets");
        poke(nd, "tolist");
        PyObject *view = PyMemoryView_FromObject(nd);
        if (view != nullptr) {
            poke(view, "tolist");
            poke(view, "tobytes");
            Py_DECREF(view);
        }
        PyErr_Clear();
        Py_DECREF(nd);
    }
    Py_DECREF(args);
    Py_DECREF(kwargs);
    Py_DECREF(items);
    Py_DECREF(shape);
    Py_DECREF(strides);
    return 0;
}
