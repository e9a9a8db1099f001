"""An interactive interpreter in a pseudo-terminal, with our readline module
as its line editor, and a screen to read what it shows.

The interpreter runs `-I -S -i`: no site (which would import a readline
module of its own), and a `-c` command that loads ours by path before the
interactive loop starts. Every wait polls the terminal with a deadline."""
import signal
import sys
import time

import harness
from readline_child import child_env

pexpect = __import__("pytest").importorskip("pexpect")
pyte = __import__("pytest").importorskip("pyte")

# 3.13's own REPL does not read lines through the interpreter's line reader;
# the classic loop does, and -I ignores PYTHON_BASIC_REPL, so ask for it here.
# Importing it also imports rlcompleter, which installs its completer in
# whatever module is "readline": ours, here; take it out again.
CLASSIC_LOOP = """
if __import__("sys").version_info >= (3, 13):
    import _pyrepl.main as _pyrepl_main
    _pyrepl_main.CAN_USE_PYREPL = False
    _pyrepl_main.FAIL_REASON = ""
    del _pyrepl_main
    readline.set_completer(None)
"""

UP = "\x1b[A"
CTRL_C = "\x03"
CTRL_D = "\x04"


def default_interrupt():
    # A shell starts background jobs with SIGINT ignored, and the interpreter
    # then leaves it so; Ctrl-C must reach its handler.
    signal.signal(signal.SIGINT, signal.SIG_DFL)


class Terminal:
    def __init__(self, home, setup="", inputrc="/dev/null", rows=30, cols=100, timeout=10, argv=None):
        """Runs `setup` after loading our module, or the interpreter with
        `argv` instead."""
        command = harness.loader_source("readline") + CLASSIC_LOOP + setup
        env = dict(child_env(home, inputrc), TERM="xterm", EXT_BUILD_DIR=harness.BUILD)
        self.timeout = timeout
        self.screen = pyte.Screen(cols, rows)
        self.stream = pyte.ByteStream(self.screen)
        self.raw = bytearray()
        self.ended = False
        self.child = pexpect.spawn(sys.executable, argv or ["-I", "-S", "-q", "-i", "-c", command], env=env,
                                   cwd=str(home), dimensions=(rows, cols), preexec_fn=default_interrupt)
        self.wait_prompt(0)

    def close(self):
        if self.child.isalive():
            self.child.close(force=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # What the terminal shows.
    def lines(self):
        return [line.rstrip() for line in self.screen.display]

    def text(self):
        return "\n".join(line for line in self.lines() if line)

    def prompts(self):
        return self.raw.count(b">>> ")

    def pump(self, timeout):
        try:
            data = self.child.read_nonblocking(65536, timeout=timeout)
        except pexpect.TIMEOUT:
            return
        except pexpect.EOF:
            self.ended = True
            return
        self.raw += data
        self.stream.feed(data)

    def drain(self, timeout):
        """Reads what the terminal shows without keeping the screen: for
        much output, when only the raw bytes matter."""
        try:
            self.raw += self.child.read_nonblocking(65536, timeout=timeout)
        except pexpect.TIMEOUT:
            pass
        except pexpect.EOF:
            self.ended = True

    def wait(self, predicate, what):
        deadline = time.monotonic() + self.timeout
        while not predicate():
            if self.ended:
                raise AssertionError(f"interpreter ended while waiting for {what}:\n{self.text()}")
            if time.monotonic() > deadline:
                raise AssertionError(f"timed out waiting for {what}; the screen:\n{self.text()}")
            self.pump(0.05)

    def wait_line(self, line):
        self.wait(lambda: line in self.lines(), repr(line))

    def wait_text(self, text):
        self.wait(lambda: text in self.text(), repr(text))

    def wait_prompt(self, seen):
        self.wait(lambda: self.prompts() > seen, "a prompt")

    def wait_end(self):
        deadline = time.monotonic() + self.timeout
        while not self.ended:
            if time.monotonic() > deadline:
                raise AssertionError(f"interpreter did not end; the screen:\n{self.text()}")
            self.pump(0.05)
        self.child.close()
        return self.child.exitstatus

    # Typing.
    def send(self, keys):
        self.child.send(keys.encode())

    def enter(self, line, shows=None):
        """Types `line` and Enter; waits for `shows` (a whole screen line)
        and the next prompt."""
        seen = self.prompts()
        self.send(line + "\r")
        if shows is not None:
            self.wait_line(shows)
        self.wait_prompt(seen)
