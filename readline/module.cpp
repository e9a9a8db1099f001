// The readline module: GNU Readline as the interpreter's line editor.
#include "module.hpp"

#include <clocale>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

namespace rl
{

namespace
{

State *state_of(PyObject *module) noexcept
{
    return static_cast<State *>(PyModule_GetState(module));
}

int module_traverse(PyObject *module, visitproc visit, void *arg)
{
    State *s = state_of(module);
    if (s == nullptr)
        return 0;
    Py_VISIT(s->completion_display_matches_hook);
    Py_VISIT(s->startup_hook);
    Py_VISIT(s->pre_input_hook);
    Py_VISIT(s->completer);
    Py_VISIT(s->begidx);
    Py_VISIT(s->endidx);
    return 0;
}

int module_clear(PyObject *module)
{
    State *s = state_of(module);
    if (s == nullptr)
        return 0;
    Py_CLEAR(s->completion_display_matches_hook);
    Py_CLEAR(s->startup_hook);
    Py_CLEAR(s->pre_input_hook);
    Py_CLEAR(s->completer);
    Py_CLEAR(s->begidx);
    Py_CLEAR(s->endidx);
    return 0;
}

void module_free(void *module)
{
    module_clear(static_cast<PyObject *>(module));
}

PyMethodDef module_methods[] = {
    {"parse_and_bind", parse_and_bind, METH_VARARGS, parse_and_bind_doc},
    {"get_line_buffer", get_line_buffer, METH_NOARGS, get_line_buffer_doc},
    {"insert_text", insert_text, METH_VARARGS, insert_text_doc},
    {"redisplay", redisplay, METH_NOARGS, redisplay_doc},
    {"read_init_file", read_init_file, METH_VARARGS, read_init_file_doc},
    {"read_history_file", read_history_file, METH_VARARGS, read_history_file_doc},
    {"write_history_file", write_history_file, METH_VARARGS, write_history_file_doc},
    {"append_history_file", append_history_file, METH_VARARGS, append_history_file_doc},
    {"get_history_item", get_history_item, METH_VARARGS, get_history_item_doc},
    {"get_current_history_length", get_current_history_length, METH_NOARGS, get_current_history_length_doc},
    {"set_history_length", set_history_length, METH_VARARGS, set_history_length_doc},
    {"get_history_length", get_history_length, METH_NOARGS, get_history_length_doc},
    {"set_completer", set_completer, METH_VARARGS, set_completer_doc},
    {"get_completer", get_completer, METH_NOARGS, get_completer_doc},
    {"get_completion_type", get_completion_type, METH_NOARGS, get_completion_type_doc},
    {"get_begidx", get_begidx, METH_NOARGS, get_begidx_doc},
    {"get_endidx", get_endidx, METH_NOARGS, get_endidx_doc},
    {"set_completer_delims", set_completer_delims, METH_VARARGS, set_completer_delims_doc},
    {"add_history", add_history, METH_VARARGS, add_history_doc},
    {"remove_history_item", remove_history_item, METH_VARARGS, remove_history_item_doc},
    {"replace_history_item", replace_history_item, METH_VARARGS, replace_history_item_doc},
    {"get_completer_delims", get_completer_delims, METH_NOARGS, get_completer_delims_doc},
    {"set_completion_display_matches_hook", set_completion_display_matches_hook, METH_VARARGS,
     set_completion_display_matches_hook_doc},
    {"set_startup_hook", set_startup_hook, METH_VARARGS, set_startup_hook_doc},
    {"set_pre_input_hook", set_pre_input_hook, METH_VARARGS, set_pre_input_hook_doc},
    {"clear_history", clear_history, METH_NOARGS, clear_history_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyDoc_STRVAR(module_doc, "Importing this module enables command line editing using GNU readline.");

// Every printable ASCII character but letters, digits, '.' and '_', so that a
// dotted name is completed as one word.
constexpr char initial_delimiters[] = " \t\n`~!@#$%^&*()-=+[{]}\\|;:'\",<>/?";
static_assert(sizeof(initial_delimiters) == 34);

// Sets GNU Readline up for the interpreter. Runs with LC_CTYPE as the caller
// left it; the bindings come before rl_initialize so the user's inputrc can
// override every one of them.
bool setup_library(PyObject *module) noexcept
{
    using_history();
    rl_readline_name = "python";
    // TAB inserts itself; ESC TAB and ESC ESC complete.
    rl_bind_key('\t', rl_insert);
    rl_bind_key_in_map('\t', rl_complete, emacs_meta_keymap);
    rl_bind_key_in_map('\033', rl_complete, emacs_meta_keymap);
    rl_startup_hook = startup_trampoline;
    rl_pre_input_hook = pre_input_trampoline;
    rl_attempted_completion_function = attempted_completion;
    rl_getc_function = read_byte;
    rl_input_available_hook = input_available;

    // A second initialisation (the module loaded again) starts afresh too.
    char *old_delimiters = word_break_buffer;
    word_break_buffer = static_cast<char *>(malloc(sizeof(initial_delimiters)));
    if (word_break_buffer != nullptr)
        memcpy(word_break_buffer, initial_delimiters, sizeof(initial_delimiters));
    rl_completer_word_break_characters = word_break_buffer;
    free(old_delimiters);

    State *s = state_of(module);
    s->begidx = PyLong_FromLong(0);
    s->endidx = PyLong_FromLong(0);
    if (s->begidx == nullptr || s->endidx == nullptr)
        return false;

    if (!isatty(STDOUT_FILENO))
        rl_variable_bind("enable-meta-key", "off");
    // Readline 8.1 turned bracketed paste on by default; the interpreter
    // expects a pasted block line by line. An inputrc may still turn it on.
    rl_variable_bind("enable-bracketed-paste", "off");
    rl_initialize();
    return true;
}

} // namespace

char *word_break_buffer = nullptr;
int history_file_limit = -1;

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "readline",   module_doc,  sizeof(State), module_methods, nullptr,
    module_traverse,       module_clear, module_free,
};

State *find_state() noexcept
{
    PyObject *module = PyState_FindModule(&module_def);
    return module == nullptr ? nullptr : state_of(module);
}

State *state_for(PyObject *module) noexcept
{
    State *s = find_state();
    return s != nullptr ? s : state_of(module);
}

} // namespace rl

PyMODINIT_FUNC PyInit_readline()
{
    ext::Ref module = ext::steal(PyModule_Create2(&rl::module_def, PYTHON_API_VERSION));
    if (!module)
        return nullptr;
    PyOS_ReadlineFunctionPointer = rl::interactive_readline;

    // The library's set-up may consult the locale; the interpreter's own
    // LC_CTYPE is put back afterwards.
    const char *current = setlocale(LC_CTYPE, nullptr);
    char *saved = strdup(current != nullptr ? current : "C");
    if (saved == nullptr)
        return PyErr_NoMemory();
    bool ok = rl::setup_library(module.get());
    setlocale(LC_CTYPE, saved);
    free(saved);
    if (!ok)
        return nullptr;

    if (PyModule_Add(module.get(), "_READLINE_VERSION", PyLong_FromLong(RL_READLINE_VERSION)) < 0 ||
        PyModule_Add(module.get(), "_READLINE_RUNTIME_VERSION", PyLong_FromLong(rl_readline_version)) < 0)
        return nullptr;
    return module.release();
}
