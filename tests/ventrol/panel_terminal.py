"""A child interpreter in a pseudo-terminal that drives our panels over the
interpreter's own curses windows, and a screen (pyte) that reads back what
the terminal shows.

The child runs a script of steps. After each one it refreshes the panels onto
the terminal and waits for a key; the parent reads the screen meanwhile. What
the child finds out in Python (stack order, results, errors) it writes as JSON
to a file when it ends."""
import json
import os
import sys
import time

import harness

ROWS, COLS = 24, 80

# Steps read keys with os.read: a curses getch() would refresh stdscr itself.
PRELUDE = """
import curses, gc, json, os, sys
def window(y, x, h, w, letter="z"):
    win = curses.newwin(h, w, y, x)
    win.bkgd(ord(letter))
    return win
def new(win=None):
    return _ventrol.new_panel(window(0, 0, 2, 2) if win is None else win)
def pause():
    _ventrol.update_panels()
    curses.doupdate()
    os.read(0, 1)
def outcome(run):
    try:
        return repr(run())
    except BaseException as exc:
        return f"{type(exc).__module__}.{type(exc).__qualname__}: {exc}"
results = {}
"""

START = """
stdscr = curses.initscr()
curses.noecho()
curses.cbreak()
"""

FINISH = """
try:
    main()
finally:
    if START_CURSES:
        curses.endwin()
    with open(RESULTS, "w") as f:
        json.dump(results, f)
"""


class PanelTerminal:
    def __init__(self, body, results, start_curses=True, timeout=20):
        """Runs `body` (which defines main()) in a child; `results` is the
        path of the file it writes."""
        import pexpect
        import pyte

        self.pexpect = pexpect
        self.results = results
        self.timeout = timeout
        self.screen = pyte.Screen(COLS, ROWS)
        self.stream = pyte.ByteStream(self.screen)
        self.raw = bytearray()
        self.ended = False
        source = (harness.loader_source("_ventrol") + PRELUDE + (START if start_curses else "")
                  + f"START_CURSES = {start_curses!r}\nRESULTS = {results!r}\n" + body + FINISH)
        # Not -I: under the sanitizers the child must honour PYTHONMALLOC, so
        # that freed objects go back to the C allocator the sanitizer watches.
        # The environment is cleaned instead, and the child starts in an empty
        # folder.
        env = {k: v for k, v in os.environ.items() if k not in ("LINES", "COLUMNS") and not k.startswith("PYTHON")}
        if os.environ.get("EXT_SANITIZED"):
            env["PYTHONMALLOC"] = "malloc"
        # xterm proper lets curses repeat a character with REP, which pyte
        # does not know; xterm-color is xterm without it.
        env["TERM"] = "xterm-color"
        self.child = pexpect.spawn(sys.executable, ["-s", "-c", source], env=env, cwd=os.path.dirname(results),
                                   dimensions=(ROWS, COLS))

    def close(self):
        if self.child.isalive():
            self.child.close(force=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def lines(self):
        return list(self.screen.display)

    def pump(self, timeout):
        try:
            data = self.child.read_nonblocking(65536, timeout=timeout)
        except self.pexpect.TIMEOUT:
            return
        except self.pexpect.EOF:
            self.ended = True
            return
        self.raw += data
        self.stream.feed(data)

    def settle(self, expected):
        """The screen once it shows `expected` (a list of lines), or as it is
        when the deadline passes."""
        deadline = time.monotonic() + self.timeout
        while self.lines() != expected and time.monotonic() < deadline and not self.ended:
            self.pump(0.05)
        return self.lines()

    def step(self):
        self.child.send(b" ")

    def finish(self):
        """The child's results, once it has ended successfully."""
        deadline = time.monotonic() + self.timeout
        while not self.ended and time.monotonic() < deadline:
            self.pump(0.05)
        self.child.close()
        if self.child.exitstatus != 0 or not os.path.exists(self.results):
            tail = self.raw[-3000:].decode(errors="replace")
            raise AssertionError(f"child ended with {self.child.exitstatus} / {self.child.signalstatus}:\n{tail}")
        with open(self.results) as f:
            return json.load(f)
