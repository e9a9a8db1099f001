# The line reader called directly, as the interpreter calls it, on streams
# we choose: a pipe instead of a terminal, and descriptors anywhere.
import harness
import pytest

from readline_child import HISTORY_EDITING, run_json

READER = """
import ctypes, os
api = ctypes.pythonapi
libc = ctypes.CDLL(None, use_errno=True)
libc.fdopen.restype = ctypes.c_void_p
libc.fdopen.argtypes = [ctypes.c_int, ctypes.c_char_p]
api.PyMem_RawFree.argtypes = [ctypes.c_void_p]
# A plain C function type: the call releases the lock, as the interpreter does.
reader = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_char_p)(
    ctypes.c_void_p.in_dll(api, "PyOS_ReadlineFunctionPointer").value)

class RLimit(ctypes.Structure):
    _fields_ = [("cur", ctypes.c_ulong), ("max", ctypes.c_ulong)]

def raise_descriptor_limit(needed):
    limit = RLimit()
    assert libc.getrlimit(7, ctypes.byref(limit)) == 0  # RLIMIT_NOFILE
    if limit.cur < needed:
        limit.cur = needed
        assert libc.setrlimit(7, ctypes.byref(limit)) == 0, ctypes.get_errno()

def streams(fd):
    r, w = os.pipe()
    if fd is not None:
        os.dup2(r, fd)
        os.close(r)
        r = fd
    return libc.fdopen(r, b"r"), libc.fdopen(os.open(os.devnull, os.O_WRONLY), b"w"), w

def read(fin, fout):
    return read_with(fin, fout, b"> ")

def read_with(fin, fout, prompt):
    p = reader(fin, fout, prompt)
    assert p, "no line and no exception"
    line = ctypes.string_at(p)
    api.PyMem_RawFree(p)
    return line.decode()
"""


@pytest.mark.parametrize("fd", [None, 1500, 5000])
def test_lines_from_any_descriptor(tmp_path, fd):
    # Descriptors past 1023 do not fit a select() set; the reader must not care.
    result = run_json(READER + f"""
if {fd!r}:
    raise_descriptor_limit({fd!r} + 1)
fin, fout, w = streams({fd!r})
os.write(w, "hello\\n\\nhello\\nwor\\u00e9ld\\nhello\\n".encode())
result = [read(fin, fout) for _ in range(5)]
os.close(w)
result.append(read(fin, fout))
result.append([readline.get_history_item(i) for i in range(1, readline.get_current_history_length() + 1)])
""", tmp_path)
    assert result == ["hello\n", "\n", "hello\n", "wor\u00e9ld\n", "hello\n", "",
                      ["hello", "wor\u00e9ld", "hello"]]


def test_input_hook_runs_between_characters(tmp_path):
    # The hook runs while the reader waits, and may feed it.
    result = run_json(READER + """
fin, fout, w = streams(None)
calls = []
@ctypes.CFUNCTYPE(ctypes.c_int)
def hook():
    calls.append(1)
    if len(calls) == 3:
        os.write(w, b"fed by the hook\\n")
    return 0
ctypes.c_void_p.in_dll(api, "PyOS_InputHook").value = ctypes.cast(hook, ctypes.c_void_p).value
result = [read(fin, fout), len(calls) >= 3]
ctypes.c_void_p.in_dll(api, "PyOS_InputHook").value = None
""", tmp_path)
    assert result == ["fed by the hook\n", True]


def test_failed_result_allocation_raises_memory_error(tmp_path):
    # The interpreter reads null as "interrupted, exception pending": the
    # exception must be MemoryError, and the next line must read normally.
    faults = harness.library_path("readline_fault_alloc", "readline")
    result = run_json(READER + f"""
faults = ctypes.CDLL({faults!r})
faults.fail_next_raw_malloc.argtypes = [ctypes.c_size_t]
# Called with the lock held, so the exception is checked on return.
checked_reader = ctypes.PYFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_char_p)(
    ctypes.c_void_p.in_dll(api, "PyOS_ReadlineFunctionPointer").value)
fin, fout, w = streams(None)
long_line = "x" * 5000
os.write(w, (long_line + "\\nafter\\n").encode())
faults.fail_next_raw_malloc(len(long_line) + 2)
try:
    checked_reader(fin, fout, b"> ")
    result = ["no exception"]
except MemoryError:
    result = ["MemoryError"]
result += [faults.raw_malloc_failure_pending(), read(fin, fout)]
""", tmp_path)
    assert result == ["MemoryError", 0, "after\n"]


BROWSING = READER + """
fin, fout, w = streams(None)
""" + HISTORY_EDITING + """
os.write(w, KEYS)
result = [read(fin, fout), [item for item in map(readline.get_history_item, range(20)) if item is not None]]
"""
PREV, NEXT, UNDO, COMPLETE = "\x10", "\x0e", "\x1f", "\t"


@pytest.mark.parametrize("action,keys,line,entries", [
    # "history-size" drops the oldest entries; the library's position does not move with them.
    ("readline.parse_and_bind('set history-size 2')", PREV + "X" + COMPLETE + NEXT + NEXT, "",
     ["40", "50X"]),
    ("readline.parse_and_bind('set history-size 2')", PREV + PREV + "X" + COMPLETE + PREV + PREV + PREV, "40X",
     ["50", "40X"]),
    ("readline.read_init_file(INIT)", PREV + PREV + "X" + COMPLETE + NEXT + UNDO + NEXT, "", ["40X", "50"]),
    # A stifled list that is full drops its oldest entry for each one added.
    ("readline.parse_and_bind('set history-size 5'); readline.add_history('new')",
     PREV + "X" + PREV + COMPLETE + NEXT + NEXT, "new", ["20", "30", "40", "50X", "new"]),
    ("readline.parse_and_bind('set history-size 5'); readline.read_history_file(FILE)",
     PREV + "X" + PREV + COMPLETE + NEXT + NEXT, "f1", ["40", "50X", "f1", "f2", "f1"]),
    # An entry added while a new line is typed does not take that line over.
    ("readline.add_history('new')", "abc" + COMPLETE + PREV + PREV + NEXT + NEXT, "abc",
     ["10", "20", "30", "40", "50", "new", "abc"]),
    # The entry being edited removed: its edits go nowhere else.
    ("readline.remove_history_item(2)", PREV + PREV + PREV + "X" + COMPLETE + NEXT, "", ["10", "20", "40", "50"]),
], ids=["stifled-on-kept-entry", "stifled-past-edited-entry", "init-file-stifles", "added-to-full-list",
        "read-into-full-list", "added-while-typing", "edited-entry-removed"])
def test_history_changed_while_browsing(tmp_path, action, keys, line, entries):
    init = tmp_path / "init"
    init.write_text("set history-size 2\n")
    history = tmp_path / "history"
    history.write_text("f1\nf2\n")
    code = (BROWSING.replace("ACTION", action).replace("KEYS", repr((keys + "\r").encode()))
            .replace("INIT", repr(str(init))).replace("FILE", repr(str(history))))
    assert run_json(code, tmp_path) == [line + "\n", entries]


SEARCHING = READER + """
import signal
fin, fout, w = streams(None)
for line in ["abc = 1", "abd = 2", "xyz = 3"]:
    readline.add_history(line)
def handler(*args):
    if not ctypes.c_ulong.in_dll(lib, "rl_readline_state").value & 0x80:  # no search yet
        signal.setitimer(signal.ITIMER_REAL, 0.1)
        return
    ACTION
    os.write(w, KEYS)
signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 0.1)
os.write(w, b"\\x12ab")
result = [read(fin, fout), [item for item in map(readline.get_history_item, range(20)) if item is not None]]
"""


@pytest.mark.parametrize("action,keys,line,entries", [
    # The line found stays, with the cursor on the match.
    ("readline.clear_history()", "c", "cabd = 2", ["cabd = 2"]),
    ("readline.remove_history_item(1)", "", "abd = 2", ["abc = 1", "xyz = 3", "abd = 2"]),
    ("readline.replace_history_item(1, 'abx')", "", "abd = 2", ["abc = 1", "abx", "xyz = 3", "abd = 2"]),
    ("readline.parse_and_bind('set history-size 1')", "", "abd = 2", ["abd = 2"]),
    ("readline.parse_and_bind('set history-size 3'); readline.add_history('new')", "", "abd = 2",
     ["xyz = 3", "new", "abd = 2"]),
], ids=["clear", "remove-found", "replace-found", "stifle", "add-to-full-list"])
def test_history_changed_during_a_search(tmp_path, action, keys, line, entries):
    # A signal handler (or another thread) changes the history while an
    # incremental search holds the entries' lines: the search ends first.
    code = SEARCHING.replace("ACTION", action).replace("KEYS", repr((keys + "\r").encode()))
    assert run_json(code, tmp_path) == [line + "\n", entries]


@pytest.mark.parametrize("prompt", [
    b"q" * 3000,
    "\u754c".encode() * 2000,  # two columns each
    b"\x1b[1m" * 1000,  # escapes not marked invisible take columns too
    b"x\n" * 3 + b"\x01" + b"\x1b[1m" * 500 + b"\x02" + b"q" * 3000,
    b"q" * 3000 + b"\n> ",
], ids=["ascii", "wide", "escapes", "invisible-run", "long-first-line"])
def test_prompt_wrapping_over_many_screen_lines(tmp_path, prompt):
    # GNU Readline's table of screen-line breaks holds a few hundred lines of
    # prompt; a narrow terminal reaches that with a few thousand characters.
    result = run_json(READER + f"""
lib.rl_set_screen_size(24, 10)
fin, fout, w = streams(None)
os.write(w, b"abc\\x02\\x02Z\\n")
result = [read_with(fin, fout, {prompt!r})]
""", tmp_path)
    assert result == ["aZbc\n"]


def test_reader_in_another_thread_while_the_history_changes(tmp_path):
    # The reader takes the lock with its own thread's state, whichever thread
    # that is, and hands it to the others only while it waits for input.
    result = run_json(READER + """
import threading, time
fin, fout, w = streams(None)
got = []
reader_thread = threading.Thread(target=lambda: got.extend(read(fin, fout) for _ in range(3)))
reader_thread.start()
changes = 0
for i in range(3):
    deadline = time.monotonic() + 0.2
    while time.monotonic() < deadline:
        readline.add_history(f"x{changes}")
        if readline.get_current_history_length() > 30:
            readline.clear_history()
        changes += 1
    os.write(w, f"line {i}\\x10\\x0e\\n".encode())
reader_thread.join()
result = [got, changes > 1000]
""", tmp_path)
    assert result == [["line 0\n", "line 1\n", "line 2\n"], True]
