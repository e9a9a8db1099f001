"""A pseudo-terminal for a fuzz or leak child whose module draws on a curses
screen: the child's stdin and stdout become the terminal, a thread drains
what curses writes to it, and the child's reports go to the stdout it had."""
import fcntl
import os
import pty
import struct
import sys
import termios
import threading

ROWS, COLS = 24, 80


def _drain(fd):
    try:
        while os.read(fd, 65536):
            pass
    except OSError:
        pass


def attach():
    """Returns the curses module with its screen initialised; sys.stdout is
    the file or pipe the child was started with."""
    report = os.dup(1)
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", ROWS, COLS, 0, 0))
    sys.stdout.flush()
    os.dup2(slave, 0)
    os.dup2(slave, 1)
    os.close(slave)
    sys.stdout = open(report, "w", buffering=1, closefd=True)
    threading.Thread(target=_drain, args=(master,), daemon=True).start()
    os.environ["TERM"] = "xterm"
    import curses  # the interpreter's own windows; the panels are ours
    curses.initscr()
    return curses
