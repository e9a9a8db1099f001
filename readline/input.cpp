// The interpreter's line reader, built on GNU Readline's callback interface
// so that the input hook and signal handlers keep running while the user
// types. The interpreter calls it without its lock; the reader takes the lock
// for the whole read and lets go of it only while it waits for a key. Other
// threads may change the history (or anything else of the library's) then,
// when the library is between keys, and never while it handles one: it keeps
// pointers into the history across the steps of a key, which such a change
// would free under it.
#include "module.hpp"

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>

#include <poll.h>
#include <unistd.h>

namespace rl
{

namespace
{

// Its address marks "no line yet"; the library never returns it.
char pending_marker[] = "";
char *completed_line = nullptr;

void on_line_ready(char *line)
{
    completed_line = line;
    rl_callback_handler_remove();
}

// Null with MemoryError pending: the interpreter's contract for a failed read.
char *no_memory() noexcept
{
    PyErr_NoMemory();
    return nullptr;
}

enum class Wait { ready, interrupted, failed };

// poll rather than select: descriptors beyond FD_SETSIZE are fine. While an
// input hook is set, wake every 0.1 s to run it. The one place the lock is
// let go: other threads run while this waits. The hook runs without the lock,
// as hooks expect (they take it themselves when they need it).
Wait wait_for_input() noexcept
{
    int fd = fileno(rl_instream);
    if (fd < 0)
        return Wait::failed;
    PyThreadState *thread = PyEval_SaveThread();
    Wait outcome = Wait::ready;
    for (;;) {
        pollfd request = {fd, POLLIN, 0};
        int count = poll(&request, 1, PyOS_InputHook != nullptr ? 100 : -1);
        int saved_errno = errno;
        // Read once: another thread may unset the hook meanwhile.
        if (int (*hook)() = PyOS_InputHook; hook != nullptr)
            hook();
        if (count > 0) {
            outcome = (request.revents & POLLNVAL) != 0 ? Wait::failed : Wait::ready;
            break;
        }
        if (count < 0) {
            outcome = saved_errno == EINTR ? Wait::interrupted : Wait::failed;
            break;
        }
    }
    PyEval_RestoreThread(thread);
    return outcome;
}

bool typed_ahead() noexcept
{
    pollfd request = {fileno(rl_instream), POLLIN, 0};
    return request.fd >= 0 && poll(&request, 1, 0) > 0 && (request.revents & POLLNVAL) == 0;
}

// Runs the interpreter's signal handlers; true when one raised.
bool signal_raised() noexcept
{
    return PyErr_CheckSignals() < 0;
}

// The line unless it repeats the newest history entry. history_get counts
// from history_base, which moves once the history is stifled.
void remember(const char *line) noexcept
{
    const char *previous = "";
    if (history_length > 0) {
        HIST_ENTRY *entry = history_get(history_base + history_length - 1);
        if (entry != nullptr && entry->line != nullptr)
            previous = entry->line;
    }
    if (strcmp(line, previous) != 0)
        ::add_history(line);
}

// The interpreter frees the result with PyMem_RawFree: "" means end of input,
// otherwise the line and its newline.
char *build_result(char *line) noexcept
{
    if (line == nullptr) {
        char *empty = static_cast<char *>(PyMem_RawMalloc(1));
        if (empty == nullptr)
            return no_memory();
        empty[0] = '\0';
        return empty;
    }
    size_t length = strlen(line);
    if (length > 0)
        remember(line);
    char *result = static_cast<char *>(PyMem_RawMalloc(length + 2));
    if (result != nullptr) {
        memcpy(result, line, length);
        result[length] = '\n';
        result[length + 1] = '\0';
    }
    free(line);
    return result != nullptr ? result : no_memory();
}

// Drops the line being edited along with any half-typed key sequence or
// search under way, so that the next read starts from a clean state.
void abandon_line() noexcept
{
    rl_callback_sigcleanup();
    rl_free_line_state();
    rl_cleanup_after_signal();
    rl_callback_handler_remove();
    completed_line = nullptr;
}

// GNU Readline overruns its table of screen-line breaks when the last line of
// the prompt wraps over about 256 screen lines; the lines before the last are
// written once and are safe at any length. A longer last line is broken here
// (outside any UTF-8 sequence or invisible run), which keeps terminals of four
// columns or more within the table.
constexpr size_t longest_prompt_line = 1000;

// False when out of memory; `broken` is left null when `prompt` is fine as it is.
bool break_long_prompt(const char *prompt, char *&broken) noexcept
{
    broken = nullptr;
    const char *newline = strrchr(prompt, '\n');
    size_t start = newline != nullptr ? static_cast<size_t>(newline - prompt) + 1 : 0;
    size_t length = strlen(prompt);
    if (length - start <= longest_prompt_line)
        return true;
    size_t split = length - longest_prompt_line;
    while (split > start && (static_cast<unsigned char>(prompt[split]) & 0xC0) == 0x80)
        --split;
    for (size_t i = split; i > start; --i) {
        if (prompt[i - 1] == RL_PROMPT_END_IGNORE)
            break;
        if (prompt[i - 1] == RL_PROMPT_START_IGNORE) {
            split = i - 1;
            break;
        }
    }
    if (split == start)
        return true;
    broken = static_cast<char *>(PyMem_RawMalloc(length + 2));
    if (broken == nullptr)
        return false;
    memcpy(broken, prompt, split);
    broken[split] = '\n';
    memcpy(broken + split + 1, prompt + split, length - split + 1);
    return true;
}

// Reads one line; null when a signal handler raised (the line is dropped).
char *read_line(const char *prompt, bool &interrupted) noexcept
{
    if (rl_instream == nullptr || rl_outstream == nullptr)
        return nullptr;
    rl_catch_signals = 0;
    rl_callback_handler_install(prompt, on_line_ready);
    completed_line = pending_marker;
    while (completed_line == pending_marker) {
        // Not only after a wait cut short: a signal that came while the lock
        // was being taken back, or during a key, cut no wait short.
        if (signal_raised()) {
            abandon_line();
            interrupted = true;
            return nullptr;
        }
        switch (wait_for_input()) {
        case Wait::ready:
            // Keys typed ahead go in one stretch: the lock changing hands for
            // each would cost a busy thread's time slice per key.
            do
                rl_callback_read_char();
            while (completed_line == pending_marker && typed_ahead());
            break;
        case Wait::interrupted:
            break;
        case Wait::failed:
            // The input is gone (closed descriptor, poll failure): retrying
            // would spin, so this is the end of input.
            abandon_line();
            break;
        }
    }
    return completed_line;
}

} // namespace

// Called by the library in the middle of a key, so with the lock held. It
// blocks only for the rest of a key already begun (a character's later bytes).
int read_byte(FILE *stream) noexcept
{
    int fd = fileno(stream);
    if (fd < 0)
        return EOF;
    for (;;) {
        rl_check_signals(); // a window resize caught meanwhile
        unsigned char c = 0;
        ssize_t n = read(fd, &c, 1);
        if (n == 1)
            return c;
        if (n == 0)
            return EOF;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            pollfd request = {fd, POLLIN, 0};
            poll(&request, 1, -1);
            continue;
        }
        return RL_ISSTATE(RL_STATE_READCMD) ? READERR : EOF;
    }
}

int input_available() noexcept
{
    int fd = rl_instream != nullptr ? fileno(rl_instream) : -1;
    if (fd < 0)
        return 0;
    // The library's current wait, in microseconds; -1 reads it unchanged.
    int timeout = rl_set_keyboard_input_timeout(-1);
    pollfd request = {fd, POLLIN, 0};
    return poll(&request, 1, timeout > 0 ? (timeout + 999) / 1000 : 0) > 0;
}

namespace
{

// The whole read, with the lock held.
char *read_locked(FILE *in, FILE *out, const char *prompt) noexcept
{
    const char *current = setlocale(LC_CTYPE, nullptr);
    char *saved_locale = strdup(current != nullptr ? current : "C");
    if (saved_locale == nullptr)
        return no_memory();
    setlocale(LC_CTYPE, "");

    if (in != rl_instream || out != rl_outstream) {
        rl_instream = in;
        rl_outstream = out;
        rl_prep_terminal(1);
    }
    bool interrupted = false;
    char *result = nullptr;
    char *broken = nullptr;
    if (break_long_prompt(prompt, broken)) {
        char *line = read_line(broken != nullptr ? broken : prompt, interrupted);
        result = interrupted ? nullptr : build_result(line);
        PyMem_RawFree(broken);
    } else {
        result = no_memory();
    }

    setlocale(LC_CTYPE, saved_locale);
    free(saved_locale);
    return result;
}

} // namespace

char *interactive_readline(FILE *in, FILE *out, const char *prompt) noexcept
{
    // Re-entrant, so a caller that holds the lock already is served too.
    PyGILState_STATE gil = PyGILState_Ensure();
    char *result = read_locked(in, out, prompt);
    PyGILState_Release(gil);
    return result;
}

} // namespace rl
