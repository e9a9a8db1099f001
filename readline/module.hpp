// Shared declarations of the readline module: its per-module state and the
// functions each source file contributes to the method table.
#pragma once

#include "compat.hpp"
#include "ref.hpp"

#include <cstdio>

#include <readline/history.h>
#include <readline/readline.h>

namespace rl
{

// Owned references; any of them may be absent (null).
struct State {
    PyObject *completion_display_matches_hook;
    PyObject *startup_hook;
    PyObject *pre_input_hook;
    PyObject *completer;
    PyObject *begidx;
    PyObject *endidx;
};

extern PyModuleDef module_def;

// The state of the module registered for this interpreter, or null when there
// is none (cleared at shutdown, never imported here). Needs the lock.
State *find_state() noexcept;
// For the module's own functions: the registered state, else `module`'s own.
State *state_for(PyObject *module) noexcept;

// The delimiter set the module owns; GNU Readline's variable points at it.
extern char *word_break_buffer;
extern int history_file_limit;

// A file-name argument: None leaves `path` empty (the library's default file),
// anything else goes through the file-system encoding into a bytes object.
bool file_name(PyObject *name, ext::Ref &path) noexcept;
inline const char *path_or_null(const ext::Ref &path) noexcept
{
    return path ? PyBytes_AS_STRING(path.get()) : nullptr;
}

// Settings (settings.cpp).
PyObject *parse_and_bind(PyObject *, PyObject *args) noexcept;
PyObject *get_line_buffer(PyObject *, PyObject *) noexcept;
PyObject *insert_text(PyObject *, PyObject *args) noexcept;
PyObject *redisplay(PyObject *, PyObject *) noexcept;
PyObject *read_init_file(PyObject *, PyObject *args) noexcept;
PyObject *set_completer_delims(PyObject *, PyObject *args) noexcept;
PyObject *get_completer_delims(PyObject *, PyObject *) noexcept;
extern const char parse_and_bind_doc[], get_line_buffer_doc[], insert_text_doc[], redisplay_doc[], read_init_file_doc[],
    set_completer_delims_doc[], get_completer_delims_doc[];

// Python code may change the history while a line is being edited: from a
// completer or hook, a signal handler, an input hook or another thread. The
// library's browsing position is an index it does not move, and an
// incremental search holds the entries' line pointers. Make one of these
// before the change (it ends a search under way) and settle it afterwards.
class HistoryChange
{
  public:
    HistoryChange() noexcept;
    // After entries were added or dropped at either end: `dropped` went from
    // the front.
    void settle(int dropped) noexcept;
    // After the entry at `position` was removed.
    void removed(int position) noexcept;
    int length_before() const noexcept { return length_; }
    int base_before() const noexcept { return base_; }

  private:
    void move_to(int offset) noexcept;
    int offset_;
    int length_;
    int base_;
};

// History (history.cpp).
PyObject *read_history_file(PyObject *, PyObject *args) noexcept;
PyObject *write_history_file(PyObject *, PyObject *args) noexcept;
PyObject *append_history_file(PyObject *, PyObject *args) noexcept;
PyObject *get_history_item(PyObject *, PyObject *args) noexcept;
PyObject *get_current_history_length(PyObject *, PyObject *) noexcept;
PyObject *set_history_length(PyObject *, PyObject *args) noexcept;
PyObject *get_history_length(PyObject *, PyObject *) noexcept;
PyObject *add_history(PyObject *, PyObject *args) noexcept;
PyObject *remove_history_item(PyObject *, PyObject *args) noexcept;
PyObject *replace_history_item(PyObject *, PyObject *args) noexcept;
PyObject *clear_history(PyObject *, PyObject *) noexcept;
extern const char read_history_file_doc[], write_history_file_doc[], append_history_file_doc[], get_history_item_doc[],
    get_current_history_length_doc[], set_history_length_doc[], get_history_length_doc[], add_history_doc[],
    remove_history_item_doc[], replace_history_item_doc[], clear_history_doc[];

// Python hooks, the completer and the library's callbacks into them (hooks.cpp).
PyObject *set_completer(PyObject *module, PyObject *args) noexcept;
PyObject *get_completer(PyObject *module, PyObject *) noexcept;
PyObject *get_completion_type(PyObject *, PyObject *) noexcept;
PyObject *get_begidx(PyObject *module, PyObject *) noexcept;
PyObject *get_endidx(PyObject *module, PyObject *) noexcept;
PyObject *set_completion_display_matches_hook(PyObject *module, PyObject *args) noexcept;
PyObject *set_startup_hook(PyObject *module, PyObject *args) noexcept;
PyObject *set_pre_input_hook(PyObject *module, PyObject *args) noexcept;
extern const char set_completer_doc[], get_completer_doc[], get_completion_type_doc[], get_begidx_doc[],
    get_endidx_doc[], set_completion_display_matches_hook_doc[], set_startup_hook_doc[], set_pre_input_hook_doc[];

int startup_trampoline() noexcept;
int pre_input_trampoline() noexcept;
char **attempted_completion(const char *text, int start, int end) noexcept;

// The interpreter's line reader (input.cpp).
char *interactive_readline(FILE *in, FILE *out, const char *prompt) noexcept;
// The library's own reader waits with select(), which cannot take descriptors
// past FD_SETSIZE; these stand in for it and wait with poll().
int read_byte(FILE *stream) noexcept;
int input_available() noexcept;

} // namespace rl
