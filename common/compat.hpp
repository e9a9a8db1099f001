// What some interpreter versions between 3.8 and 3.13 lack. Each shim keeps the
// real function's name and contract and sits behind a version test, so module
// code never tests the version itself.
#pragma once

#include <Python.h>
#if PY_VERSION_HEX < 0x03090000 && !defined(Py_LIMITED_API)
#include <frameobject.h>
#endif

// The interpreter a library is built for: with the limited API (one binary for
// several versions) the stable-ABI level asked for, which newer headers use to
// hide what that level lacks; otherwise the headers' own version.
#if defined(Py_LIMITED_API)
#define EXT_API_VERSION (Py_LIMITED_API + 0)
#else
#define EXT_API_VERSION PY_VERSION_HEX
#endif

// Symbols other native code may call by name. Libraries are built with hidden
// visibility; these are the only ones that leave them.
#define EXT_EXPORT extern "C" __attribute__((visibility("default")))

// Before 3.9 PyMODINIT_FUNC carries no visibility, so with hidden visibility
// the interpreter would not find PyInit_* at all.
#undef PyMODINIT_FUNC
#define PyMODINIT_FUNC extern "C" __attribute__((visibility("default"))) PyObject *

// Added in 3.9.
#if PY_VERSION_HEX < 0x03090000
static inline void Py_SET_TYPE(PyObject *ob, PyTypeObject *type)
{
    ob->ob_type = type;
}
static inline void Py_SET_SIZE(PyVarObject *ob, Py_ssize_t size)
{
    ob->ob_size = size;
}
static inline PyObject *PyObject_CallOneArg(PyObject *callable, PyObject *arg)
{
    return PyObject_CallFunctionObjArgs(callable, arg, nullptr);
}
#ifndef Py_LIMITED_API // frames are opaque to the limited API
static inline PyCodeObject *PyFrame_GetCode(PyFrameObject *frame)
{
    Py_INCREF(frame->f_code);
    return frame->f_code;
}
#endif
#endif

// Added in 3.10.
#if PY_VERSION_HEX < 0x030A0000
static inline PyObject *Py_NewRef(PyObject *o)
{
    Py_INCREF(o);
    return o;
}
static inline PyObject *Py_XNewRef(PyObject *o)
{
    Py_XINCREF(o);
    return o;
}
#endif

// Added in 3.10 (to the limited API too). Some headers declare it whatever the
// limited level asked for, so there the shim takes another symbol name.
#if EXT_API_VERSION < 0x030A0000
#if PY_VERSION_HEX >= 0x030A0000
#define PyModule_AddObjectRef ext_PyModule_AddObjectRef
#endif
static inline int PyModule_AddObjectRef(PyObject *mod, const char *name, PyObject *value)
{
    if (value == nullptr) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError,
                            "PyModule_AddObjectRef() must be called with an exception raised if value is NULL");
        return -1;
    }
    Py_INCREF(value);
    if (PyModule_AddObject(mod, name, value) < 0) {
        Py_DECREF(value);
        return -1;
    }
    return 0;
}
#endif

// Added in 3.13: adds `value` (a new reference, or null with an exception set)
// and always consumes it, so a failed add neither leaks nor leaves a module
// with an exception pending.
#if EXT_API_VERSION < 0x030D0000
static inline int PyModule_Add(PyObject *mod, const char *name, PyObject *value)
{
    int rc = PyModule_AddObjectRef(mod, name, value);
    Py_XDECREF(value);
    return rc;
}
#endif

// Added in 3.12 (which deprecates PyErr_Fetch and PyErr_Restore): takes the
// pending exception as one normalized object (a new reference), or null.
// Keyed to the headers, not the limited API level: from 3.12 on, the old pair
// would warn as deprecated even where the limited API still offers it.
#if PY_VERSION_HEX < 0x030C0000
static inline PyObject *PyErr_GetRaisedException(void)
{
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr)
        return nullptr;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr)
        PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
}
// Makes `exc` (consumed; null clears) the pending exception.
static inline void PyErr_SetRaisedException(PyObject *exc)
{
    if (exc == nullptr) {
        PyErr_Clear();
        return;
    }
    PyObject *type = (PyObject *)Py_TYPE(exc);
    Py_INCREF(type);
    PyErr_Restore(type, exc, PyException_GetTraceback(exc));
}
#endif
