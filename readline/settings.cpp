// Library settings: init-file lines and files, the line buffer, and the set
// of characters that delimit the word being completed.
#include "module.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace rl
{

const char parse_and_bind_doc[] = "parse_and_bind(string) -> None\n"
                                  "Parse and execute single line of a readline init file.";

PyObject *parse_and_bind(PyObject *, PyObject *args) noexcept
{
    const char *text = nullptr;
    if (!PyArg_ParseTuple(args, "s:parse_and_bind", &text))
        return nullptr;
    // rl_parse_and_bind writes into its argument.
    size_t size = strlen(text) + 1;
    char *copy = static_cast<char *>(PyMem_Malloc(size));
    if (copy == nullptr)
        return PyErr_NoMemory();
    memcpy(copy, text, size);
    // "set history-size" stifles the list, dropping its oldest entries.
    HistoryChange change;
    rl_parse_and_bind(copy);
    change.settle(change.length_before() - history_length);
    PyMem_Free(copy);
    Py_RETURN_NONE;
}

const char get_line_buffer_doc[] = "get_line_buffer() -> string\n"
                                   "return the current contents of the line buffer.";

PyObject *get_line_buffer(PyObject *, PyObject *) noexcept
{
    return PyUnicode_FromString(rl_line_buffer != nullptr ? rl_line_buffer : "");
}

const char insert_text_doc[] = "insert_text(string) -> None\n"
                               "Insert text into the command line.";

PyObject *insert_text(PyObject *, PyObject *args) noexcept
{
    const char *text = nullptr;
    if (!PyArg_ParseTuple(args, "s:insert_text", &text))
        return nullptr;
    rl_insert_text(text);
    Py_RETURN_NONE;
}

const char redisplay_doc[] = "redisplay() -> None\n"
                             "Change what's displayed on the screen to reflect the current\n"
                             "contents of the line buffer.";

PyObject *redisplay(PyObject *, PyObject *) noexcept
{
    rl_redisplay();
    Py_RETURN_NONE;
}

const char read_init_file_doc[] = "read_init_file([filename]) -> None\n"
                                  "Parse a readline initialization file.\n"
                                  "The default filename is the last filename used.";

PyObject *read_init_file(PyObject *, PyObject *args) noexcept
{
    PyObject *name = Py_None;
    if (!PyArg_ParseTuple(args, "|O:read_init_file", &name))
        return nullptr;
    ext::Ref path;
    if (!file_name(name, path))
        return nullptr;
    HistoryChange change;
    int rc = rl_read_init_file(path_or_null(path));
    change.settle(change.length_before() - history_length);
    errno = rc;
    if (errno != 0)
        return PyErr_SetFromErrno(PyExc_OSError);
    Py_RETURN_NONE;
}

const char set_completer_delims_doc[] = "set_completer_delims(string) -> None\n"
                                        "set the readline word delimiters for tab-completion";

PyObject *set_completer_delims(PyObject *, PyObject *args) noexcept
{
    const char *delimiters = nullptr;
    if (!PyArg_ParseTuple(args, "s:set_completer_delims", &delimiters))
        return nullptr;
    // Copy first: on failure both the old set and the library's pointer to
    // it stay as they were.
    char *copy = strdup(delimiters);
    if (copy == nullptr)
        return PyErr_NoMemory();
    rl_completer_word_break_characters = copy;
    free(word_break_buffer);
    word_break_buffer = copy;
    Py_RETURN_NONE;
}

const char get_completer_delims_doc[] = "get_completer_delims() -> string\n"
                                        "get the readline word delimiters for tab-completion";

PyObject *get_completer_delims(PyObject *, PyObject *) noexcept
{
    // Null means the library falls back to its basic set; say so.
    const char *delimiters = rl_completer_word_break_characters;
    if (delimiters == nullptr)
        delimiters = rl_basic_word_break_characters;
    return PyUnicode_FromString(delimiters != nullptr ? delimiters : "");
}

} // namespace rl
