"""Leak checks for the sanitizer run, in the processes that load our modules.

The interpreter is not instrumented and frees little at exit, so the check at
exit is off (LSAN_OPTIONS leak_check_at_exit=0, which children such as sox or
prlimit inherit too). Instead a process that has run our code asks for a
check while the interpreter is still alive: with PYTHONMALLOC=malloc every
object is a malloc block reachable from the interpreter's globals, so what
is unreachable then was dropped without being freed, normally by us.

Used as a pytest plugin (-p lsan_check) and by the fuzz children.
"""
import ctypes
import gc
import sys


def available():
    return hasattr(ctypes.CDLL(None), "__lsan_do_recoverable_leak_check")


def check():
    """Report unreachable blocks on stderr; True when there are none (or
    when no leak checker is loaded)."""
    lib = ctypes.CDLL(None)
    if not hasattr(lib, "__lsan_do_recoverable_leak_check"):
        return True
    gc.collect()
    sys.stderr.flush()
    return lib.__lsan_do_recoverable_leak_check() == 0


def pytest_sessionfinish(session, exitstatus):
    if not available():
        return
    capture = session.config.pluginmanager.getplugin("capturemanager")
    if capture is not None:
        capture.suspend_global_capture(in_=True)
    if not check():
        import pytest
        session.config.get_terminal_writer().line(
            "LeakSanitizer found memory allocated and never freed (report above)", red=True)
        session.exitstatus = pytest.ExitCode.TESTS_FAILED
