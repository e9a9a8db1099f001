// The history list and history files.
#include "module.hpp"

#include <cerrno>
#include <cstdlib>

namespace rl
{

bool file_name(PyObject *name, ext::Ref &path) noexcept
{
    if (name == Py_None)
        return true;
    PyObject *converted = nullptr;
    if (!PyUnicode_FSConverter(name, &converted))
        return false;
    path = ext::steal(converted);
    return true;
}

namespace
{

// The library reports failures as an errno value in its result.
PyObject *file_result(int rc, const ext::Ref &path) noexcept
{
    errno = rc;
    if (errno != 0)
        return PyErr_SetFromErrno(PyExc_OSError);
    if (history_file_limit >= 0)
        history_truncate_file(path_or_null(path), history_file_limit);
    errno = 0;
    Py_RETURN_NONE;
}

// History positions counted from 0, as remove and replace take them.
bool check_position(int position) noexcept
{
    if (position >= 0)
        return true;
    PyErr_SetString(PyExc_ValueError, "History index cannot be negative");
    return false;
}

// Whether `list` is part of the live undo list. The line being edited took
// its entry's list as the live one and pushes new records in front of it, so
// the entry's list may be the live list's tail, not only its head.
bool in_live_undo_list(const UNDO_LIST *list) noexcept
{
    for (const UNDO_LIST *record = rl_undo_list; record != nullptr; record = record->next)
        if (record == list)
            return true;
    return false;
}

// The only data the library itself attaches to an entry is the undo list of
// a history line edited but not yet accepted. The line being edited uses its
// entry's list as the live one, so that one stays with the library; any other
// goes through the library's own release, which frees every record of it.
void release_undo_list(histdata_t data) noexcept
{
    auto *list = static_cast<UNDO_LIST *>(data);
    if (list == nullptr || in_live_undo_list(list))
        return;
    UNDO_LIST *live = rl_undo_list;
    rl_undo_list = list;
    rl_free_undo_list();
    rl_undo_list = live;
}

PyObject *release_entry(HIST_ENTRY *entry, int position) noexcept
{
    if (entry == nullptr) {
        PyErr_Format(PyExc_ValueError, "No history item at position %d", position);
        return nullptr;
    }
    release_undo_list(free_history_entry(entry));
    Py_RETURN_NONE;
}

} // namespace

HistoryChange::HistoryChange() noexcept
{
    // The search's own clean-up reads the lines it holds, so it runs while
    // they are still there; the line it found stays shown.
    if (RL_ISSTATE(RL_STATE_ISEARCH))
        rl_callback_sigcleanup();
    offset_ = where_history();
    length_ = history_length;
    base_ = history_base;
}

// The library writes the line being edited back into whatever entry is at its
// position when the user moves on. So it follows the entry it was on; on a new
// line (past the last entry), or when its entry is gone, it stays past the
// last one, where the line belongs to no entry.
void HistoryChange::move_to(int offset) noexcept
{
    history_set_pos(offset >= 0 && offset < history_length ? offset : history_length);
}

void HistoryChange::settle(int dropped) noexcept
{
    if (dropped < 0)
        dropped = 0;
    bool on_entry = offset_ < length_ && offset_ >= dropped;
    move_to(on_entry ? offset_ - dropped : -1);
}

void HistoryChange::removed(int position) noexcept
{
    bool on_entry = offset_ < length_ && offset_ != position;
    move_to(on_entry ? (position < offset_ ? offset_ - 1 : offset_) : -1);
}

const char read_history_file_doc[] = "read_history_file([filename]) -> None\n"
                                     "Load a readline history file.\n"
                                     "The default filename is ~/.history.";

PyObject *read_history_file(PyObject *, PyObject *args) noexcept
{
    PyObject *name = Py_None;
    ext::Ref path;
    if (!PyArg_ParseTuple(args, "|O:read_history_file", &name) || !file_name(name, path))
        return nullptr;
    HistoryChange change;
    int rc = read_history(path_or_null(path));
    // A stifled list drops its oldest entry for each one read past its size.
    change.settle(history_base - change.base_before());
    errno = rc;
    if (errno != 0)
        return PyErr_SetFromErrno(PyExc_OSError);
    Py_RETURN_NONE;
}

const char write_history_file_doc[] = "write_history_file([filename]) -> None\n"
                                      "Save a readline history file.\n"
                                      "The default filename is ~/.history.";

PyObject *write_history_file(PyObject *, PyObject *args) noexcept
{
    PyObject *name = Py_None;
    ext::Ref path;
    if (!PyArg_ParseTuple(args, "|O:write_history_file", &name) || !file_name(name, path))
        return nullptr;
    return file_result(write_history(path_or_null(path)), path);
}

const char append_history_file_doc[] = "append_history_file(nelements[, filename]) -> None\n"
                                       "Append the last nelements of the history list to file.\n"
                                       "The default filename is ~/.history.";

PyObject *append_history_file(PyObject *, PyObject *args) noexcept
{
    int nelements = 0;
    PyObject *name = Py_None;
    ext::Ref path;
    if (!PyArg_ParseTuple(args, "i|O:append_history_file", &nelements, &name) || !file_name(name, path))
        return nullptr;
    // The library appends nothing for a negative count, but finds where to
    // start as length - count, which overflows for counts near INT_MIN and
    // then reads far outside the list.
    if (nelements < 0)
        nelements = 0;
    return file_result(append_history(nelements, path_or_null(path)), path);
}

const char get_history_item_doc[] = "get_history_item() -> string\n"
                                    "return the current contents of history item at index.";

PyObject *get_history_item(PyObject *, PyObject *args) noexcept
{
    int index = 0;
    if (!PyArg_ParseTuple(args, "i:index", &index))
        return nullptr;
    // The library computes index - history_base in int; out of range (and
    // so no entry) is decided here without that subtraction overflowing.
    long long local = static_cast<long long>(index) - history_base;
    if (local < 0 || local >= history_length)
        Py_RETURN_NONE;
    HIST_ENTRY *entry = history_get(index);
    if (entry == nullptr || entry->line == nullptr)
        Py_RETURN_NONE;
    return PyUnicode_FromString(entry->line);
}

const char get_current_history_length_doc[] = "get_current_history_length() -> integer\n"
                                              "return the current (not the maximum) length of history.";

PyObject *get_current_history_length(PyObject *, PyObject *) noexcept
{
    HISTORY_STATE *state = history_get_history_state();
    if (state == nullptr)
        return PyErr_NoMemory();
    int length = state->length;
    free(state);
    return PyLong_FromLong(length);
}

const char set_history_length_doc[] = "set_history_length(length) -> None\n"
                                      "set the maximal number of items which will be written to\n"
                                      "the history file. A negative length is used to inhibit\n"
                                      "history truncation.";

PyObject *set_history_length(PyObject *, PyObject *args) noexcept
{
    int length = 0;
    if (!PyArg_ParseTuple(args, "i:set_history_length", &length))
        return nullptr;
    history_file_limit = length;
    Py_RETURN_NONE;
}

const char get_history_length_doc[] = "get_history_length() -> int\n"
                                      "return the maximum number of items that will be written to\n"
                                      "the history file.";

PyObject *get_history_length(PyObject *, PyObject *) noexcept
{
    return PyLong_FromLong(history_file_limit);
}

const char add_history_doc[] = "add_history(string) -> None\n"
                               "add a line to the history buffer";

PyObject *add_history(PyObject *, PyObject *args) noexcept
{
    const char *line = nullptr;
    if (!PyArg_ParseTuple(args, "s:add_history", &line))
        return nullptr;
    HistoryChange change;
    ::add_history(line);
    change.settle(history_base - change.base_before());
    Py_RETURN_NONE;
}

const char remove_history_item_doc[] = "remove_history_item(pos) -> None\n"
                                       "remove history item given by its position";

PyObject *remove_history_item(PyObject *, PyObject *args) noexcept
{
    int position = 0;
    if (!PyArg_ParseTuple(args, "i:remove_history", &position) || !check_position(position))
        return nullptr;
    HistoryChange change;
    HIST_ENTRY *entry = remove_history(position);
    if (entry != nullptr)
        change.removed(position);
    return release_entry(entry, position);
}

const char replace_history_item_doc[] = "replace_history_item(pos, line) -> None\n"
                                        "replaces history item given by its position with contents of line";

PyObject *replace_history_item(PyObject *, PyObject *args) noexcept
{
    int position = 0;
    const char *line = nullptr;
    if (!PyArg_ParseTuple(args, "is:replace_history", &position, &line) || !check_position(position))
        return nullptr;
    HistoryChange change;
    return release_entry(replace_history_entry(position, line, nullptr), position);
}

const char clear_history_doc[] = "clear_history() -> None\n"
                                 "Clear the current readline history.";

PyObject *clear_history(PyObject *, PyObject *) noexcept
{
    HistoryChange change;
    // The library frees the entries but not the undo lists of edited ones.
    if (HIST_ENTRY **entries = history_list(); entries != nullptr) {
        for (int i = 0; entries[i] != nullptr; ++i) {
            release_undo_list(entries[i]->data);
            entries[i]->data = nullptr;
        }
    }
    ::clear_history();
    change.settle(0);
    Py_RETURN_NONE;
}

} // namespace rl
