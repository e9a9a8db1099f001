"""Running code in a fresh interpreter with our readline module loaded.

GNU Readline's state is process-wide, so every test gets its own child, with
a private HOME and no user inputrc."""
import json
import os
import textwrap

import harness

# Lets child code reach GNU Readline's own variables.
LIBRARY = """
import ctypes
lib = ctypes.CDLL("libreadline.so.8")
def rl_variable(name):
    lib.rl_variable_value.restype = ctypes.c_char_p
    return lib.rl_variable_value(name.encode()).decode()
"""


# Sanitizer runs preload their runtime into every child.
# Five history entries and a completer that runs ACTION (a statement put in
# by the test) once per completion: history changed while a line is edited.
HISTORY_EDITING = """
for line in ['10', '20', '30', '40', '50']:
    readline.add_history(line)
def complete(text, state):
    if state == 0:
        ACTION
    return None
readline.set_completer(complete)
readline.parse_and_bind('tab: complete')
"""

PASSED_ON = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")


def child_env(home, inputrc="/dev/null"):
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": str(home), "INPUTRC": str(inputrc),
           "LC_ALL": "C.UTF-8"}
    env.update((name, os.environ[name]) for name in PASSED_ON if name in os.environ)
    return env


def run(code, home, inputrc="/dev/null"):
    """Runs `code` with `readline` bound to our module; returns its stdout."""
    proc = harness.run_child(LIBRARY + textwrap.dedent(code), "readline", env=child_env(home, inputrc),
                             cwd=str(home))
    return proc.stdout


def run_json(code, home, **kwargs):
    """Runs `code`, which must leave its answer in `result`; returns it."""
    return json.loads(run(textwrap.dedent(code) + "\nimport json; print(json.dumps(result))\n", home, **kwargs))
