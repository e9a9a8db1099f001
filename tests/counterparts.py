"""Keeping the interpreter's own modules out of our test processes.

Several of our modules do a job that a module shipped with the interpreter
also does, and some share its name. Packages the tests use import a few of
those by name (pexpect's pty helper imports `resource`, mpmath imports
`cmath`). Where we build a module that serves, it is loaded by path from the
build and registered under the name first; every other such name is refused,
so an interpreter-provided counterpart never runs inside our tests.
"""
import os
import sys

import pytest

import harness

# Interpreter-provided module -> the module of ours that takes its place for
# other packages, or None where no package of ours needs one.
COUNTERPARTS = {
    "resource": "resource",
    "cmath": "orvik",
    "audioop": None,
    "_testbuffer": None,
    "ossaudiodev": None,
    "readline": None,
    "_lsprof": None,
    "cProfile": None,
    "_curses_panel": None,
    "curses.panel": None,
    "nis": None,
    "syslog": None,
    "spwd": None,
    "_crypt": None,
    "crypt": None,
    "_ctypes_test": None,
    "_testmultiphase": None,
    "_testsinglephase": None,
    "xxlimited": None,
    "xxlimited_35": None,
    "_testimportmultiple": None,
}


class Refuse:
    """A finder ahead of all others that refuses the counterparts' names.
    Names already in sys.modules (ours, registered) never reach it."""

    def find_spec(self, name, path=None, target=None):
        if name in COUNTERPARTS:
            raise ModuleNotFoundError(
                f"the interpreter's own {name!r} is not loaded by these tests", name=name)
        return None


def install():
    """Register ours, then refuse the rest. Safe to call more than once."""
    for name, ours in COUNTERPARTS.items():
        if ours is None or name in sys.modules:
            continue
        try:
            path = harness.module_path(ours)
        except (FileNotFoundError, pytest.skip.Exception):
            continue
        sys.modules[name] = harness.load(ours, path)
    if not any(isinstance(finder, Refuse) for finder in sys.meta_path):
        sys.meta_path.insert(0, Refuse())


def strays():
    """Counterpart names loaded in this process from outside our build."""
    found = []
    for name in COUNTERPARTS:
        module = sys.modules.get(name)
        if module is None:
            continue
        origin = getattr(module, "__file__", None)
        if origin is None or not os.path.realpath(origin).startswith(os.path.realpath(harness.BUILD) + os.sep):
            found.append(f"{name} ({origin or 'built in'})")
    return found
