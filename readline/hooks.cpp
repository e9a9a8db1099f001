// Python hooks and the completer, and the trampolines through which GNU
// Readline calls them. The library calls back from inside the line reader,
// which holds the interpreter lock; each trampoline takes it once more
// (re-entrantly), so none depends on who called the library. Errors raised by
// Python code here are cleared: a traceback in the middle of an edited line
// helps nobody.
#include "module.hpp"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace rl
{

namespace
{

// Shared by the four set_* functions: None (or nothing) removes the hook, a
// callable replaces it, anything else leaves it untouched.
PyObject *install_hook(const char *name, PyObject **field, PyObject *args) noexcept
{
    char format[80];
    PyOS_snprintf(format, sizeof(format), "|O:set_%.50s", name);
    PyObject *function = Py_None;
    if (!PyArg_ParseTuple(args, format, &function))
        return nullptr;
    if (function == Py_None) {
        Py_CLEAR(*field);
    } else if (PyCallable_Check(function)) {
        PyObject *old = *field;
        *field = Py_NewRef(function);
        Py_XDECREF(old);
    } else {
        PyErr_Format(PyExc_TypeError, "set_%.50s(func): argument not callable", name);
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *new_ref_or_zero(PyObject *value) noexcept
{
    return value != nullptr ? Py_NewRef(value) : PyLong_FromLong(0);
}

// A hook's result as the library's int: None and failures count as 0, a
// result that is no integer as -1.
int run_hook(PyObject *hook) noexcept
{
    if (hook == nullptr)
        return 0;
    ext::Ref function = ext::borrow(hook); // the hook may replace itself
    ext::Ref result = ext::steal(PyObject_CallObject(function.get(), nullptr));
    if (!result) {
        PyErr_Clear();
        return 0;
    }
    if (result.get() == Py_None)
        return 0;
    long value = PyLong_AsLong(result.get());
    if (value == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return -1;
    }
    return value < INT_MIN ? INT_MIN : value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

char *completion_generator(const char *text, int state) noexcept
{
    PyGILState_STATE gil = PyGILState_Ensure();
    char *match = nullptr;
    State *s = find_state();
    // Without a completer the library goes on to its own (file-name) completion.
    if (s != nullptr && s->completer != nullptr) {
        // The references below die with this block, before the lock goes.
        rl_attempted_completion_over = 1;
        ext::Ref completer = ext::borrow(s->completer);
        ext::Ref result = ext::steal(PyObject_CallFunction(completer.get(), "si", text, state));
        if (result && result.get() != Py_None) {
            const char *utf8 = PyUnicode_AsUTF8(result.get());
            if (utf8 != nullptr)
                match = strdup(utf8); // the library frees its matches
        }
        PyErr_Clear();
    }
    PyGILState_Release(gil);
    return match;
}

// The library's own display, for when the module that set the hook is gone.
void display_default(char **matches, int count, int longest) noexcept
{
    rl_display_match_list(matches, count, longest);
    rl_forced_update_display();
}

// Element 0 of `matches` is the common substitution, 1..count the matches.
// Needs the lock.
void call_display_hook(PyObject *hook, char **matches, int count, int longest) noexcept
{
    ext::Ref function = ext::borrow(hook); // the hook may replace itself
    ext::Ref list = ext::steal(PyList_New(count < 0 ? 0 : count));
    if (!list)
        return;
    for (int i = 0; i < count; ++i) {
        PyObject *item = PyUnicode_FromString(matches[i + 1]);
        if (item == nullptr)
            return;
        PyList_SET_ITEM(list.get(), i, item);
    }
    // Whatever the hook returns is of no use to the library.
    ext::Ref result = ext::steal(PyObject_CallFunction(function.get(), "sOi", matches[0], list.get(), longest));
}

void display_matches_trampoline(char **matches, int count, int longest) noexcept
{
    PyGILState_STATE gil = PyGILState_Ensure();
    State *s = find_state();
    bool shown = s != nullptr && s->completion_display_matches_hook != nullptr;
    if (shown) {
        call_display_hook(s->completion_display_matches_hook, matches, count, longest);
        PyErr_Clear();
    }
    PyGILState_Release(gil);
    if (!shown)
        display_default(matches, count, longest);
}

} // namespace

const char set_completer_doc[] = "set_completer([function]) -> None\n"
                                 "Set or remove the completer function.\n"
                                 "The function is called as function(text, state),\n"
                                 "for state in 0, 1, 2, ..., until it returns a non-string.\n"
                                 "It should return the next possible completion starting with 'text'.";

PyObject *set_completer(PyObject *module, PyObject *args) noexcept
{
    return install_hook("completer", &state_for(module)->completer, args);
}

const char get_completer_doc[] = "get_completer() -> function\n"
                                 "\n"
                                 "Returns current completer function.";

PyObject *get_completer(PyObject *module, PyObject *) noexcept
{
    PyObject *completer = state_for(module)->completer;
    return Py_NewRef(completer != nullptr ? completer : Py_None);
}

const char get_completion_type_doc[] = "get_completion_type() -> int\n"
                                       "Get the type of completion being attempted.";

PyObject *get_completion_type(PyObject *, PyObject *) noexcept
{
    return PyLong_FromLong(rl_completion_type);
}

const char get_begidx_doc[] = "get_begidx() -> int\n"
                              "get the beginning index of the readline tab-completion scope";

PyObject *get_begidx(PyObject *module, PyObject *) noexcept
{
    return new_ref_or_zero(state_for(module)->begidx);
}

const char get_endidx_doc[] = "get_endidx() -> int\n"
                              "get the ending index of the readline tab-completion scope";

PyObject *get_endidx(PyObject *module, PyObject *) noexcept
{
    return new_ref_or_zero(state_for(module)->endidx);
}

const char set_completion_display_matches_hook_doc[] = "set_completion_display_matches_hook([function]) -> None\n"
                                                       "Set or remove the completion display function.\n"
                                                       "The function is called as\n"
                                                       "  function(substitution, [matches], longest_match_length)\n"
                                                       "once each time matches need to be displayed.";

PyObject *set_completion_display_matches_hook(PyObject *module, PyObject *args) noexcept
{
    State *s = state_for(module);
    PyObject *result = install_hook("completion_display_matches_hook", &s->completion_display_matches_hook, args);
    // Without a Python hook the library displays matches its own way.
    rl_completion_display_matches_hook =
        s->completion_display_matches_hook != nullptr ? display_matches_trampoline : nullptr;
    return result;
}

const char set_startup_hook_doc[] = "set_startup_hook([function]) -> None\n"
                                    "Set or remove the startup_hook function.\n"
                                    "The function is called with no arguments just\n"
                                    "before readline prints the first prompt.";

PyObject *set_startup_hook(PyObject *module, PyObject *args) noexcept
{
    return install_hook("startup_hook", &state_for(module)->startup_hook, args);
}

const char set_pre_input_hook_doc[] = "set_pre_input_hook([function]) -> None\n"
                                      "Set or remove the pre_input_hook function.\n"
                                      "The function is called with no arguments after the first prompt\n"
                                      "has been printed and just before readline starts reading input\n"
                                      "characters.";

PyObject *set_pre_input_hook(PyObject *module, PyObject *args) noexcept
{
    return install_hook("pre_input_hook", &state_for(module)->pre_input_hook, args);
}

int startup_trampoline() noexcept
{
    PyGILState_STATE gil = PyGILState_Ensure();
    State *s = find_state();
    int rc = run_hook(s != nullptr ? s->startup_hook : nullptr);
    PyGILState_Release(gil);
    return rc;
}

int pre_input_trampoline() noexcept
{
    PyGILState_STATE gil = PyGILState_Ensure();
    State *s = find_state();
    int rc = run_hook(s != nullptr ? s->pre_input_hook : nullptr);
    PyGILState_Release(gil);
    return rc;
}

char **attempted_completion(const char *text, int start, int end) noexcept
{
    PyGILState_STATE gil = PyGILState_Ensure();
    rl_completion_append_character = '\0';
    rl_completion_suppress_append = 0;
    State *s = find_state();
    if (s != nullptr) {
        // Both new indices exist before either old one is dropped.
        ext::Ref begin = ext::steal(PyLong_FromLong(start));
        ext::Ref finish = ext::steal(PyLong_FromLong(end));
        if (begin && finish) {
            PyObject *old_begin = s->begidx;
            PyObject *old_end = s->endidx;
            s->begidx = begin.release();
            s->endidx = finish.release();
            Py_XDECREF(old_begin);
            Py_XDECREF(old_end);
        }
        PyErr_Clear();
    }
    char **matches = rl_completion_matches(text, completion_generator);
    PyGILState_Release(gil);
    return matches;
}

} // namespace rl
