// Panels of the ncurses panel library over the window objects of the
// interpreter's own _curses module.
#pragma once

#include "compat.hpp"
#include "ref.hpp"

// Functions only: the library's macros (move, clear, timeout...) would rewrite
// ordinary C++ names.
#define NCURSES_NOMACROS
#include <panel.h>

namespace ventrol
{

// What _curses exports through its "_curses._C_API" capsule: an array whose
// entry 0 is the window type and entry 2 tells whether initscr() has run.
struct CursesApi {
    void **table = nullptr;

    PyTypeObject *window_type() const noexcept { return static_cast<PyTypeObject *>(table[0]); }
    // True when curses is initialised; false with _curses' exception set.
    bool initialised() const noexcept { return reinterpret_cast<int (*)()>(table[2])() != 0; }
};
// Set by every initialisation that finds the capsule (and only then); the
// table lives as long as _curses, which is never unloaded.
extern CursesApi curses_api;

// The start of a _curses window object, the same in every interpreter version
// built for: the library's WINDOW comes right after the object header.
struct WindowView {
    PyObject_HEAD WINDOW *win;
};

inline WINDOW *window_of(PyObject *window) noexcept
{
    return reinterpret_cast<WindowView *>(window)->win;
}

struct PanelObject {
    PyObject_HEAD PANEL *panel_handle;
    PyObject *shown_window; // strong; null only while a failed creation is undone
};

// The module's state: both references owned.
struct ModuleState {
    PyObject *error;
    PyObject *panel_type;
};

// The module's exception class, for code that has no module object at hand.
PyObject *error_class() noexcept;

// Raises "<name>() returned ERR" (or the generic text without a name) for
// ERR, returns None otherwise.
PyObject *report(int result, const char *name) noexcept;

PyObject *make_panel_type() noexcept;
// A new panel object of `type` over `window` (a _curses window), on top of
// the stack; null with an exception set on failure, the stack then unchanged.
PyObject *new_panel_object(PyTypeObject *type, PyObject *window) noexcept;
// The panel object (new reference) of a panel the library returned, or null
// without an exception when this module did not make it.
PyObject *find_panel_object(const PANEL *panel) noexcept;
// The object of `panel` as a result: None for no panel, RuntimeError naming
// `function` for a panel this module does not know.
PyObject *panel_result(PANEL *panel, const char *function) noexcept;

} // namespace ventrol
