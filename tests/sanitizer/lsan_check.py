"""Leak checks for the sanitizer run, in the processes that load our modules.

The interpreter is not instrumented and frees little at exit, so the check at
exit is off (leak_check_at_exit=0, which children such as sox or prlimit
inherit too). Instead a process that has run our code asks for a check from
an exit handler, while the interpreter is still whole but no Python frame of
the program is running: with PYTHONMALLOC=malloc every live object is then a
malloc block reachable from the interpreter's globals and heap, so what is
unreachable was dropped without being freed. (Earlier, the locals of running
frames live in memory the checker does not scan, and would be reported.) The
checker runs in a forked copy of the process, so when it cannot finish, the
reason is printed and the process goes on.

Some unreachable blocks are not ours: the interpreter and third-party
extensions (numpy) keep objects where the checker cannot see them. A report
counts only when its allocation stack passes through our code, a frame whose
source is one of our module folders as the build names it ("../_delvane/...");
the others are summed up in one line. Suppression patterns cannot do this:
the interpreter has no frame pointers, so the stack of one of its blocks is
one or two frames of its own, and a pattern matching those would also match
the interpreter frames on the stack of a block we allocate through it.

Used as a pytest plugin (-p lsan_check) and by the fuzz children.
"""
import atexit
import ctypes
import gc
import os
import re
import signal
import sys
import tempfile
import time
import warnings

LEAK_STATUS = 3
# Longest wait for the checker; a whole suite's heap takes some seconds.
CHECK_SECONDS = 300


def available():
    return hasattr(ctypes.CDLL(None), "__lsan_do_recoverable_leak_check")


# A frame in our sources: one "../" up from the build folder into a module's.
OURS = re.compile(r" \.\./(?!\.\.)[\w.-]+/[^ ]+\.[ch]pp:\d+")


def ours(report):
    """The leak records of `report` (the checker's text) that pass through
    our code, and the number of the others."""
    records = re.split(r"\n(?=(?:Direct|Indirect) leak of )", report)[1:]
    mine = [r.split("\n\n")[0] for r in records if OURS.search(r.split("\n\n")[0])]
    return mine, len(records) - len(mine)


def _checker_text(lib):
    """Run the checker in a forked copy of this process and return what it
    printed, or raise RuntimeError when it could not finish.

    The checker stops every thread with ptrace to read their registers; in a
    process that has run a long suite, that step can fail (the checker then
    aborts, with its report on the redirected stderr, and takes the process
    and its exit status with it). The copy has one thread and the same heap,
    so it sees the same reachability, and when it dies the reason is kept."""
    with tempfile.TemporaryFile() as out:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads, 3.12+
            pid = os.fork()
        if pid == 0:
            try:
                os.dup2(out.fileno(), 2)
                lib.__lsan_do_recoverable_leak_check()
            finally:
                os._exit(0)
        deadline = time.monotonic() + CHECK_SECONDS
        while True:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                break
            if time.monotonic() > deadline:
                os.kill(pid, signal.SIGKILL)
                _, status = os.waitpid(pid, 0)
                break
            time.sleep(0.05)
        out.seek(0)
        text = out.read().decode(errors="replace")
    if os.WIFSIGNALED(status) or os.WEXITSTATUS(status) != 0:
        how = (f"signal {signal.Signals(os.WTERMSIG(status)).name}" if os.WIFSIGNALED(status)
               else f"status {os.WEXITSTATUS(status)}")
        raise RuntimeError(f"the checker ended with {how}:\n{text.strip()}")
    return text


def check():
    """Report our unreachable blocks on stderr; True when there are none (or
    when no leak checker is loaded, or it could not run: that is reported as
    a warning, not as a leak)."""
    lib = ctypes.CDLL(None)
    if not hasattr(lib, "__lsan_do_recoverable_leak_check"):
        return True
    gc.collect()
    sys.stdout.flush()
    sys.stderr.flush()
    try:
        text = _checker_text(lib)
    except (OSError, RuntimeError) as e:
        sys.stderr.write(f"leak check: could not run: {e}\n")
        sys.stderr.flush()
        return True
    mine, foreign = ours(text)
    sys.stderr.write(f"leak check: {len(mine)} unreachable block group(s) of ours; {foreign} of the interpreter "
                     "and other libraries ignored\n")
    for record in mine:
        sys.stderr.write(record + "\n\n")
    sys.stderr.flush()
    return not mine


def _at_exit():
    if not check():
        sys.stderr.write("LeakSanitizer found memory allocated and never freed (report above)\n")
        sys.stderr.flush()
        os._exit(LEAK_STATUS)


def check_at_exit():
    """Check once the program has returned; a leak ends the process with
    LEAK_STATUS. Call early: exit handlers run last-registered first."""
    if available():
        atexit.register(_at_exit)


def pytest_configure(config):
    check_at_exit()
