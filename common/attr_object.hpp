// An object whose instance attributes live in a dictionary made on the first
// store, for heap types built from a PyType_Spec. Uses the limited API only,
// so a limited-API module can include it.
#pragma once

#include "compat.hpp"
#include "ref.hpp"

namespace ext
{

struct AttrObject {
    PyObject_HEAD PyObject *attr_dict; // null until the first attribute is set
};

// The slot functions; `DeleteMessage` is the AttributeError text for deleting
// an attribute that is not there.
template <const char *DeleteMessage> struct AttrObjectSlots {
    static AttrObject *as(PyObject *self) noexcept { return reinterpret_cast<AttrObject *>(self); }

    static int traverse(PyObject *self, visitproc visit, void *arg) noexcept
    {
        // The allocator gave the instance a reference to its heap type.
        Py_VISIT(Py_TYPE(self));
        Py_VISIT(as(self)->attr_dict);
        return 0;
    }

    // Breaks cycles through attr_dict: the collector finalizes unreachable
    // instances before freeing them.
    static void finalize(PyObject *self) noexcept { Py_CLEAR(as(self)->attr_dict); }

    static PyObject *getattro(PyObject *self, PyObject *name) noexcept
    {
        if (as(self)->attr_dict != nullptr) {
            // A str subclass as the name runs its own __hash__ and __eq__, which
            // may clear the dictionary (the finalizer is reachable as __del__).
            Ref dict = borrow(as(self)->attr_dict);
            PyObject *value = PyDict_GetItemWithError(dict.get(), name); // borrowed
            if (value != nullptr)
                return Py_NewRef(value);
            if (PyErr_Occurred())
                return nullptr;
        }
        return PyObject_GenericGetAttr(self, name);
    }

    static int setattr(PyObject *self, char *name, PyObject *value) noexcept
    {
        AttrObject *obj = as(self);
        if (obj->attr_dict == nullptr) {
            obj->attr_dict = PyDict_New();
            if (obj->attr_dict == nullptr)
                return -1;
        }
        // A replaced or deleted value's finalizer may clear attr_dict mid-call.
        Ref dict = borrow(obj->attr_dict);
        if (value != nullptr)
            return PyDict_SetItemString(dict.get(), name, value);
        int rc = PyDict_DelItemString(dict.get(), name);
        if (rc < 0 && PyErr_ExceptionMatches(PyExc_KeyError))
            PyErr_SetString(PyExc_AttributeError, DeleteMessage);
        return rc;
    }

    // demo([o]): o itself when it is a str, else None.
    static PyObject *demo(PyObject *, PyObject *args) noexcept
    {
        PyObject *o = nullptr;
        if (!PyArg_ParseTuple(args, "|O:demo", &o))
            return nullptr;
        if (o != nullptr && PyUnicode_Check(o))
            return Py_NewRef(o);
        Py_RETURN_NONE;
    }
};

} // namespace ext
