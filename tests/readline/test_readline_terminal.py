# The module as the interpreter's line editor, typed at in a pseudo-terminal.
import os
import random
import signal
import time

import harness
import pytest

from readline_child import HISTORY_EDITING
from readline_terminal import CTRL_C, CTRL_D, UP, Terminal

COMPLETER = """
import types
foo = types.SimpleNamespace(bar=41, baz=1)
calls = []
def complete(text, state):
    calls.append((text, state, readline.get_begidx(), readline.get_endidx(), readline.get_completion_type()))
    options = [w for w in WORDS if w.startswith(text)]
    return options[state] if state < len(options) else None
readline.set_completer(complete)
readline.parse_and_bind("tab: complete")
"""


@pytest.fixture
def terminal(tmp_path):
    opened = []

    def start(setup="", **kwargs):
        opened.append(Terminal(tmp_path, setup, **kwargs))
        return opened[-1]

    yield start
    for t in opened:
        t.close()


def test_lines_evaluate_and_history_recalls_them(terminal):
    t = terminal()
    t.enter("print('sum', 6*7)", shows="sum 42")
    t.send(UP + "\r")
    t.wait(lambda: t.lines().count("sum 42") == 2, "the recalled line's output")
    t.enter("")  # an empty line is not remembered
    for line in ["x = 1", "x = 1", "y = 2", "x = 1"]:
        t.enter(line)
    t.enter("print('h', readline.get_current_history_length())", shows="h 5")
    t.enter("print('|'.join(readline.get_history_item(i) for i in (1, 2, 3, 4)))",
            shows="print('sum', 6*7)|x = 1|y = 2|x = 1")
    # Bracketed paste is off unless the user's inputrc asks for it.
    assert b"\x1b[?2004h" not in t.raw


def test_utf8_round_trips(terminal):
    t = terminal()
    t.enter("s = 'h\u00e9llo \u2192 \u2713'")
    t.enter("print(ascii(s))", shows=r"'h\xe9llo \u2192 \u2713'")
    # Backspace removes a whole character, not a byte of it.
    t.enter("u = '\u00e9\u2192\x7f'")
    t.enter("print(ascii(u))", shows=r"'\xe9'")


def test_completer_completes_a_dotted_word(terminal, tmp_path):
    (tmp_path / "nomatch_file").write_text("")
    t = terminal("WORDS = ['foo.bar']\nnomatch_x = 'plain'\n" + COMPLETER)
    t.send("foo.ba\t")
    t.wait_text(">>> foo.bar")
    t.enter("", shows="41")
    # The full stop is no delimiter: the word is the whole of foo.ba.
    t.enter("print('call', calls[0])", shows="call ('foo.ba', 0, 0, 6, 9)")
    t.enter("print('idx', readline.get_begidx(), readline.get_endidx())", shows="idx 0 6")
    # No match: nothing completes, not even the file of that name.
    t.send("nomatch_\t")
    t.enter("x", shows="'plain'")


def test_default_keys_and_file_name_completion(terminal, tmp_path):
    (tmp_path / "zebra_file.txt").write_text("")
    t = terminal()
    # TAB inserts itself by default; ESC TAB completes file names.
    t.enter("print(ascii('a\tb'))", shows=r"'a\tb'")
    t.send("x = 1  # zebra_f\x1b\t")
    t.wait_text(">>> x = 1  # zebra_file.txt")
    t.enter("")
    t.enter("readline.parse_and_bind('tab: complete')")
    t.send("y = 2  # zeb\t")
    t.wait_text(">>> y = 2  # zebra_file.txt")
    t.enter("")
    t.enter("print(readline.get_history_item(4))", shows="y = 2  # zebra_file.txt")


def test_failing_completers_print_no_traceback(terminal):
    t = terminal("""
states = []
boom = 'b'
numeric = 'n'
def complete(text, state):
    states.append((text, state))
    if text == 'boom':
        raise RuntimeError('completer failed')
    return ['numeric', 7, 'never'][state]
readline.set_completer(complete)
readline.parse_and_bind('tab: complete')
""")
    t.send("boom\t")
    t.enter("", shows="'b'")
    # A result that is not a string ends the matches.
    t.send("num\t")
    t.wait_text(">>> numeric")
    t.enter("", shows="'n'")
    t.enter("print(states)", shows="[('boom', 0), ('num', 0), ('num', 1)]")
    assert b"Traceback" not in t.raw and b"completer failed" not in t.raw


def test_display_hook_receives_the_matches(terminal):
    t = terminal("WORDS = ['foo.bar', 'foo.baz']\n" + COMPLETER + """
def show(substitution, matches, longest):
    print('\\nshown', substitution, matches, longest)
    return 'ignored'
readline.set_completion_display_matches_hook(show)
""")
    t.send("foo.b\t")
    t.wait_text(">>> foo.ba")
    # The second TAB finds nothing more to insert; the third lists.
    t.send("\t\t")
    t.wait_line("shown foo.ba ['foo.bar', 'foo.baz'] 7")
    t.send("r")
    t.enter("", shows="41")
    assert b"Traceback" not in t.raw


def test_startup_and_pre_input_hooks_run(terminal):
    t = terminal("""
starts = []
def startup():
    starts.append(1)
    return 'not a number'
def pre_input():
    readline.insert_text('6*')
    readline.redisplay()
    readline.set_pre_input_hook(None)
readline.set_startup_hook(startup)
readline.set_pre_input_hook(pre_input)
""")
    t.wait_text(">>> 6*")
    t.enter("7", shows="42")
    t.enter("len(starts)", shows="2")
    t.enter("readline.set_startup_hook(lambda: 1 / 0)")
    t.enter("print('still', len(starts))", shows="still 3")
    assert b"Traceback" not in t.raw


def test_ctrl_c_discards_the_line(terminal):
    t = terminal()
    seen = t.prompts()
    t.send("unfinished = 1")
    t.wait_text(">>> unfinished = 1")
    t.send(CTRL_C)
    t.wait_line("KeyboardInterrupt")
    t.wait_prompt(seen)
    t.enter("print('after', 'unfinished' in dir())", shows="after False")
    t.enter("print('h', readline.get_current_history_length())", shows="h 2")


def test_ctrl_d_ends_input_and_history_can_be_kept(terminal, tmp_path):
    setup = f"""
import atexit
path = {str(tmp_path / 'kept')!r}
try:
    readline.read_history_file(path)
except FileNotFoundError:
    pass
atexit.register(readline.write_history_file, path)
"""
    t = terminal(setup)
    t.enter("answer = 6 * 7")
    t.send(CTRL_D)
    assert t.wait_end() == 0
    t = terminal(setup)
    t.send(UP)
    t.wait_text(">>> answer = 6 * 7")
    t.enter("", None)
    t.enter("print(answer)", shows="42")


def test_repeated_line_check_on_a_stifled_history(terminal, tmp_path):
    # history-size moves the library's history base; the check must follow it.
    inputrc = tmp_path / "inputrc"
    inputrc.write_text("set history-size 2\n")
    path = tmp_path / "written"
    t = terminal(f"__import__('atexit').register(readline.write_history_file, {str(path)!r})\n",
                 inputrc=inputrc)
    for line in ["10", "20", "30", "30"]:
        t.enter(line, shows=line)
    t.send(CTRL_D)
    assert t.wait_end() == 0
    assert path.read_text().splitlines() == ["20", "30"]


DOWN = "\x1b[B"
UNDO = "\x1f"


@pytest.mark.parametrize("action,entries", [("readline.remove_history_item(4)", "10 20 30 40 50"),
                                            ("readline.replace_history_item(4, '99')", "10 20 30 40 99 50")])
def test_history_line_being_edited_changed_by_a_completer(terminal, action, entries):
    # An edited history line's undo list is the entry's data and, while the
    # line is shown, the library's live one: releasing the entry keeps it.
    t = terminal(HISTORY_EDITING.replace("ACTION", action))
    t.send(UP + "1" + UP)
    t.wait_text(">>> 40")
    t.send(DOWN)
    t.wait_text(">>> 501")
    t.send("\t" + UNDO)
    t.wait_line(">>> 50")
    t.enter("", shows="50")
    # All but this last line itself.
    t.enter("print(*map(readline.get_history_item, range(1, readline.get_current_history_length())))",
            shows=entries)


def test_browsed_history_shrunk_by_a_completer(terminal):
    # The library's browsing position follows the entry it is on when the
    # entries before it go, rather than pointing past the end of the list.
    t = terminal(HISTORY_EDITING.replace("ACTION", "[readline.remove_history_item(0) for _ in range(3)]"))
    t.send(UP + "1" + UP + "2")
    t.wait_text(">>> 402")
    t.send("\t" + DOWN)
    t.wait_text(">>> 501")
    t.send(DOWN + DOWN + UP + UP + UP + UP)
    t.wait_text(">>> 402")
    t.send(UNDO + UNDO)
    t.wait_line(">>> 40")
    t.enter("", shows="40")
    # The library reverts edits only up to the line accepted.
    t.enter("print(readline.get_history_item(1), readline.get_history_item(2))", shows="40 501")


INPUT_HOOK = """
import ctypes, os, time
times = []
@ctypes.CFUNCTYPE(ctypes.c_int)
def hook():
    times.append(time.monotonic())
    if len(times) == 6:
        os.write(1, b"\\r\\nhook ran 6 times\\r\\n")
    ACTION(len(times))
    return 0
ctypes.c_void_p.in_dll(ctypes.pythonapi, "PyOS_InputHook").value = ctypes.cast(hook, ctypes.c_void_p).value
"""


def test_input_hook_runs_while_idle(terminal):
    t = terminal("def ACTION(n): pass\n" + INPUT_HOOK)
    t.wait_line("hook ran 6 times")
    # Polled every 0.1 s while nothing is typed.
    t.enter("print('period', round((times[5] - times[1]) / 4, 1))", shows="period 0.1")
    t.enter("ctypes.c_void_p.in_dll(ctypes.pythonapi, 'PyOS_InputHook').value = None")
    t.enter("n = len(times)")
    t.enter("print('stopped', len(times) - n)", shows="stopped 0")


def test_input_gone_ends_the_session(terminal):
    # Standard input closed under the reader: end of input, not a busy loop.
    t = terminal("def ACTION(n):\n    if n == 3:\n        os.close(0)\n" + INPUT_HOOK)
    assert t.wait_end() == 0


STALE_STATE = """
import ctypes, os
saved = os.dup(0)
@ctypes.CFUNCTYPE(ctypes.c_int)
def hook():
    if os.path.exists(TRIGGER):
        os.remove(TRIGGER)
        os.close(0)
    return 0
ctypes.c_void_p.in_dll(ctypes.pythonapi, "PyOS_InputHook").value = ctypes.cast(hook, ctypes.c_void_p).value
def reads():
    lines = []
    for _ in range(2):
        try:
            lines.append(input('> '))
        except EOFError:
            os.dup2(saved, 0)
            lines.append('EOF')
    print('read', lines)
readline.add_history('abc = 1')
"""


def test_input_gone_mid_search_leaves_no_search_behind(terminal, tmp_path):
    # Input that goes away ends the read like Ctrl-C does: a search under way
    # must not carry over into the next read and hand back its match there.
    trigger = tmp_path / "close-input"
    t = terminal(STALE_STATE.replace("TRIGGER", repr(str(trigger))))
    t.send("reads()\r")
    t.wait_line(">")
    t.send("\x12ab")
    t.wait_text("`ab': abc = 1")
    trigger.touch()
    t.wait(lambda: t.raw.count(b"> ") - t.raw.count(b">>> ") >= 2, "the second read")
    t.send("ok\r")
    t.wait_line("read ['EOF', 'ok']")


def test_hooks_fall_silent_once_the_module_is_unregistered(terminal, tmp_path):
    (tmp_path / "zebra_file.txt").write_text("")
    t = terminal("WORDS = ['zebra_other']\n" + COMPLETER + """
starts = []
readline.set_startup_hook(lambda: starts.append(1))
api = ctypes = __import__('ctypes').pythonapi
api.PyModule_GetDef.restype = __import__('ctypes').c_void_p
api.PyModule_GetDef.argtypes = [__import__('ctypes').py_object]
api.PyState_RemoveModule.argtypes = [__import__('ctypes').c_void_p]
""")
    t.enter("api.PyState_RemoveModule(api.PyModule_GetDef(readline))", shows="0")
    t.enter("n = len(starts)")
    t.send("x = 1  # zebra_\t")
    t.wait_text(">>> x = 1  # zebra_file.txt")
    t.enter("")
    t.enter("print('silent', len(starts) - n, len(calls))", shows="silent 0 0")
    # The module's own functions still work on its state.
    t.enter("readline.set_completer(None); print('ok', readline.get_completer())", shows="ok None")


def test_shell_keeps_history_between_runs(terminal):
    # What `make shell` runs.
    argv = ["-I", "-S", "-q", "-i", os.path.join(harness.ROOT, "readline", "shell.py")]
    t = terminal(argv=argv)
    banner = ("line editing by " + harness.module_path("readline")).encode()
    t.wait(lambda: banner in t.raw, "the banner")
    t.enter("answer = 6 * 7")
    t.send("ans\t")
    t.wait_line(">>> answer")
    t.enter("", shows="42")
    t.send("answer.real.bit_l\t")
    t.wait_line(">>> answer.real.bit_length")
    t.enter("()", shows="6")
    t.send(CTRL_D)
    assert t.wait_end() == 0
    t = terminal(argv=argv)
    t.send(UP + UP + UP)
    t.wait_text(">>> answer = 6 * 7")
    t.enter("")
    t.enter("print(answer + 1)", shows="43")
    # The prompt's usual helpers are there, and exit() leaves like Ctrl-D.
    t.enter("help", shows="Type help() for interactive help, or help(object) for help about object.")
    t.enter("quit", shows="Use quit() or Ctrl-D (i.e. EOF) to exit")
    t.send("exit()\r")
    assert t.wait_end() == 0


# Back on an entry edited before, the live undo list continues the one the
# entry holds; replacing that entry (here from a signal handler) must not
# free the list's tail, which Ctrl-C or Enter then walks.
@pytest.mark.parametrize("last_key, entries", [(CTRL_C, 3), ("\r", 4)], ids=["ctrl-c", "enter"])
def test_entry_replaced_under_its_continued_undo_list(terminal, tmp_path, last_key, entries):
    t = terminal("""
import signal
readline.add_history('aaa')
readline.add_history('bbb')
def replace(*_):
    readline.replace_history_item(1, 'zzz')
    open('replaced', 'w').close()
signal.signal(signal.SIGUSR1, replace)
""")
    # Typed at the start, "y" makes an undo record of its own in front of
    # the entry's (a "y" after the "x" would extend the entry's record).
    t.send("\x10x\x10\x0e\x01y")
    t.wait_text(">>> ybbbx")
    t.child.kill(signal.SIGUSR1)
    deadline = time.monotonic() + 10
    while not (tmp_path / "replaced").exists() and time.monotonic() < deadline:
        time.sleep(0.01)
    t.send(last_key)
    t.enter("print('alive', readline.get_current_history_length())", shows=f"alive {entries}")


CHURN = """
import random, threading
stop = threading.Event()
changes = [0, 0]
def churn(seed):
    r = random.Random(seed)
    while not stop.is_set():
        n = readline.get_current_history_length()
        what = r.randrange(10)
        try:
            if what < 4:
                readline.add_history(f'abc {r.randrange(1000)}')
            elif what < 6 and n:
                readline.remove_history_item(r.randrange(n))
            elif what < 8 and n:
                readline.replace_history_item(r.randrange(n), f'abd {r.randrange(1000)}')
            elif what == 8 and n > 40:
                readline.clear_history()
        except ValueError:  # the other thread took that entry first
            pass
        changes[seed] += 1
churners = [threading.Thread(target=churn, args=(i,), daemon=True) for i in range(2)]
for thread in churners:
    thread.start()
"""
STRESS_SECONDS = 4
MIN_KEYS = 400
CTRL_P, CTRL_N, CTRL_R, CTRL_G, CTRL_A, CTRL_K = "\x10", "\x0e", "\x12", "\x07", "\x01", "\x0b"


@pytest.mark.skipif(harness.EMULATED, reason=harness.EMULATED_THREADS_AND_SIGNALS)
def test_history_churned_by_threads_while_browsing_and_searching(terminal):
    # Other threads change the history only while the reader waits for a key,
    # never while the library is in the middle of one; and a Ctrl-C that comes
    # while the reader takes the lock back from them is not lost. At least
    # MIN_KEYS key groups go in, however slow the machine.
    t = terminal(CHURN)
    t.child.delaybeforesend = None
    keys = random.Random(16)
    strokes = [CTRL_P, CTRL_P, CTRL_N, CTRL_R + "ab", CTRL_R + "abd" + CTRL_R + CTRL_R, CTRL_R + "c" + CTRL_G,
               CTRL_R + "1" + CTRL_N, "x", CTRL_A + CTRL_K]
    sent = interrupts = 0
    start = time.monotonic()
    next_interrupt = start + 1
    while not t.ended:
        now = time.monotonic()
        if (now - start > STRESS_SECONDS and sent >= MIN_KEYS) or now - start > 10 * STRESS_SECONDS:
            break
        if now > next_interrupt:
            # Ctrl-C on a half-typed line, as the threads go on.
            t.send(CTRL_G + CTRL_A + CTRL_K + "half = 1" + CTRL_C)
            next_interrupt += 1
            interrupts += 1
        else:
            t.send(keys.choice(strokes))
        sent += 1
        t.drain(0.002)
    if t.ended:
        t.child.close()
        pytest.fail(f"the interpreter died (exit {t.child.exitstatus}, signal {t.child.signalstatus}) "
                    f"after {sent} key groups:\n{t.raw[-2000:].decode(errors='replace')}")
    seen = t.prompts()
    t.send(CTRL_G + CTRL_A + CTRL_K + "stop.set(); [c.join() for c in churners]; print('churned', *changes)\r")
    t.wait(lambda: b"churned " in t.raw and t.prompts() > seen, "the churn counts")
    counts = t.raw[t.raw.rindex(b"churned "):].split(b"\r")[0].split()[1:]
    assert all(int(c) > 100 for c in counts), counts
    assert t.raw.count(b"KeyboardInterrupt") == interrupts
    searches = t.raw.count(b"(reverse-i-search)"), t.raw.count(b"failed reverse-i-search")
    assert sent >= MIN_KEYS and searches[0] > 50
    print(f"{sent} key groups, {interrupts} interrupts, {searches[0]} search prompts ({searches[1]} failed), "
          f"history changes by thread: {[int(c) for c in counts]}")
