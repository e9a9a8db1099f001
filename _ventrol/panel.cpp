// The panel objects, and the list that maps a panel the library hands back to
// the object that owns it.
#include <limits>

#include "ventrol.hpp"

namespace ventrol
{
namespace
{

// Every live panel object made by new_panel, newest first. Borrowed pointers:
// an object takes itself out when it is deallocated. Guarded by the
// interpreter lock, which no function here releases.
struct PanelNode {
    PanelObject *object;
    PanelNode *next;
};
PanelNode *panel_list = nullptr;

bool link_panel(PanelObject *object) noexcept
{
    auto *node = static_cast<PanelNode *>(PyMem_Malloc(sizeof(PanelNode)));
    if (node == nullptr)
        return false;
    node->object = object;
    node->next = panel_list;
    panel_list = node;
    return true;
}

// An object whose creation failed before it was linked is simply not found.
void unlink_panel(const PanelObject *object) noexcept
{
    for (PanelNode **link = &panel_list; *link != nullptr; link = &(*link)->next) {
        if ((*link)->object == object) {
            PanelNode *node = *link;
            *link = node->next;
            PyMem_Free(node);
            return;
        }
    }
}

PanelObject *as_panel(PyObject *self) noexcept
{
    return reinterpret_cast<PanelObject *>(self);
}

PANEL *handle(PyObject *self) noexcept
{
    return as_panel(self)->panel_handle;
}

// Nothing here raises: a deallocator that left an exception behind would
// clobber one already in flight. The window and the user object are dropped
// last, once the panel no longer refers to the window and the object is gone,
// since dropping them may run arbitrary code.
void panel_dealloc(PyObject *self) noexcept
{
    PanelObject *object = as_panel(self);
    PyTypeObject *type = Py_TYPE(self);
    unlink_panel(object);
    PyObject *user = nullptr;
    if (object->panel_handle != nullptr) {
        // Only set_userptr stores a user pointer, and it holds a reference.
        user = static_cast<PyObject *>(const_cast<void *>(panel_userptr(object->panel_handle)));
        del_panel(object->panel_handle);
    }
    PyObject *window = object->shown_window;
    PyObject_Free(self);
    // PyObject_Init took a reference to the heap type (every version from 3.8).
    Py_DECREF(type);
    Py_XDECREF(window);
    Py_XDECREF(user);
}

PyObject *panel_above_method(PyObject *self, PyObject *) noexcept
{
    return panel_result(panel_above(handle(self)), "panel_above");
}

PyObject *panel_below_method(PyObject *self, PyObject *) noexcept
{
    return panel_result(panel_below(handle(self)), "panel_below");
}

PyObject *panel_bottom(PyObject *self, PyObject *) noexcept
{
    return report(bottom_panel(handle(self)), "bottom_panel");
}

PyObject *panel_hidden_method(PyObject *self, PyObject *) noexcept
{
    return PyBool_FromLong(panel_hidden(handle(self)) != 0);
}

PyObject *panel_hide(PyObject *self, PyObject *) noexcept
{
    return report(hide_panel(handle(self)), "hide_panel");
}

PyObject *panel_move(PyObject *self, PyObject *args) noexcept
{
    int y = 0, x = 0;
    if (!PyArg_ParseTuple(args, "ii;y,x", &y, &x))
        return nullptr;
    // The library keeps a window's origin in a short but checks a new one in
    // int arithmetic that overflows near INT_MAX: such an origin would pass,
    // wrap to a negative one, and crash the next update. No screen has a line
    // or column past the short's range, so it is refused like any origin off
    // the screen.
    using Coordinate = NCURSES_SIZE_T;
    if (y > std::numeric_limits<Coordinate>::max() || x > std::numeric_limits<Coordinate>::max())
        return report(ERR, "move_panel");
    return report(move_panel(handle(self), y, x), "move_panel");
}

PyObject *panel_replace(PyObject *self, PyObject *args) noexcept
{
    if (PyTuple_GET_SIZE(args) != 1) {
        PyErr_SetString(PyExc_TypeError, "replace requires one argument");
        return nullptr;
    }
    PyObject *window = nullptr;
    if (!PyArg_ParseTuple(args, "O!;window object", curses_api.window_type(), &window))
        return nullptr;
    ext::Ref found = ext::steal(find_panel_object(handle(self)));
    if (!found) {
        PyErr_SetString(PyExc_RuntimeError, "replace_panel: can't find Panel Object");
        return nullptr;
    }
    PanelObject *object = as_panel(found.get());
    if (replace_panel(object->panel_handle, window_of(window)) == ERR) {
        PyErr_SetString(error_class(), "replace_panel() returned ERR");
        return nullptr;
    }
    // The new reference is taken before the old one goes, so replacing a
    // window with itself keeps it alive.
    Py_XSETREF(object->shown_window, Py_NewRef(window));
    Py_RETURN_NONE;
}

PyObject *panel_set_userptr(PyObject *self, PyObject *user) noexcept
{
    if (!curses_api.initialised())
        return nullptr;
    Py_INCREF(user);
    auto *previous = static_cast<PyObject *>(const_cast<void *>(panel_userptr(handle(self))));
    int result = set_panel_userptr(handle(self), user);
    // Whichever object the panel does not hold any more loses its reference.
    if (result == ERR)
        Py_DECREF(user);
    else
        Py_XDECREF(previous);
    return report(result, "set_panel_userptr");
}

PyObject *panel_show(PyObject *self, PyObject *) noexcept
{
    return report(show_panel(handle(self)), "show_panel");
}

PyObject *panel_top(PyObject *self, PyObject *) noexcept
{
    return report(top_panel(handle(self)), "top_panel");
}

PyObject *panel_userptr_method(PyObject *self, PyObject *) noexcept
{
    if (!curses_api.initialised())
        return nullptr;
    auto *user = static_cast<PyObject *>(const_cast<void *>(panel_userptr(handle(self))));
    if (user == nullptr) {
        PyErr_SetString(error_class(), "no userptr set");
        return nullptr;
    }
    return Py_NewRef(user);
}

PyObject *panel_window(PyObject *self, PyObject *) noexcept
{
    return Py_NewRef(as_panel(self)->shown_window);
}

PyMethodDef panel_methods[] = {
    {"above", panel_above_method, METH_NOARGS, nullptr},
    {"below", panel_below_method, METH_NOARGS, nullptr},
    {"bottom", panel_bottom, METH_NOARGS, nullptr},
    {"hidden", panel_hidden_method, METH_NOARGS, nullptr},
    {"hide", panel_hide, METH_NOARGS, nullptr},
    {"move", panel_move, METH_VARARGS, nullptr},
    {"replace", panel_replace, METH_VARARGS, nullptr},
    {"set_userptr", panel_set_userptr, METH_O, nullptr},
    {"show", panel_show, METH_NOARGS, nullptr},
    {"top", panel_top, METH_NOARGS, nullptr},
    {"userptr", panel_userptr_method, METH_NOARGS, nullptr},
    {"window", panel_window, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot panel_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(panel_dealloc)},
    {Py_tp_methods, panel_methods},
    {0, nullptr},
};

PyType_Spec panel_spec = {
    "_ventrol.curses panel", sizeof(PanelObject), 0, Py_TPFLAGS_DEFAULT, panel_slots,
};

} // namespace

PyObject *make_panel_type() noexcept
{
    PyObject *type = PyType_FromSpec(&panel_spec);
    if (type == nullptr)
        return nullptr;
    // A type made by PyType_FromSpec inherits object.__new__, which would
    // let Python code make a panel with neither panel nor window behind it.
    // Only new_panel makes them.
    reinterpret_cast<PyTypeObject *>(type)->tp_new = nullptr;
    return type;
}

PyObject *new_panel_object(PyTypeObject *type, PyObject *window) noexcept
{
    PANEL *panel = new_panel(window_of(window));
    if (panel == nullptr) {
        PyErr_SetString(error_class(), "curses function returned NULL");
        return nullptr;
    }
    // From here on every failure gives the panel back to the library: left in
    // its stack, it would outlive the window it draws.
    auto *object = static_cast<PanelObject *>(PyObject_Malloc(type->tp_basicsize));
    if (object == nullptr) {
        del_panel(panel);
        return PyErr_NoMemory();
    }
    PyObject *self = PyObject_Init(reinterpret_cast<PyObject *>(object), type);
    object->panel_handle = panel;
    object->shown_window = nullptr;
    if (!link_panel(object)) {
        PyErr_NoMemory();
        Py_DECREF(self); // its deallocation releases the panel
        return nullptr;
    }
    object->shown_window = Py_NewRef(window);
    return self;
}

PyObject *find_panel_object(const PANEL *panel) noexcept
{
    for (const PanelNode *node = panel_list; node != nullptr; node = node->next)
        if (node->object->panel_handle == panel)
            return Py_NewRef(reinterpret_cast<PyObject *>(node->object));
    return nullptr;
}

PyObject *panel_result(PANEL *panel, const char *function) noexcept
{
    if (panel == nullptr)
        Py_RETURN_NONE;
    PyObject *object = find_panel_object(panel);
    if (object == nullptr)
        PyErr_Format(PyExc_RuntimeError, "%s: can't find Panel Object", function);
    return object;
}

} // namespace ventrol
