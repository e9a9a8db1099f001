"""Start-up file for an interactive interpreter whose prompt edits lines with
this project's readline module (not the standard library's).

    EXT_BUILD_DIR=build python3 -I -S -q -i readline/shell.py

-S keeps the site module from importing a readline module of its own; the
interpreter's site-packages are put back on the path below. History is kept
in ~/.extmods_history between sessions; TAB completes names and attributes.
"""


def _load_readline():
    # Imports stay inside the functions: this file's globals become the
    # interactive session's.
    import importlib.machinery
    import importlib.util
    import os
    import sys
    import sysconfig

    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    build = os.environ.get("EXT_BUILD_DIR") or os.path.join(root, "build")
    path = os.path.join(build, "readline", "readline" + sysconfig.get_config_var("EXT_SUFFIX"))
    loader = importlib.machinery.ExtensionFileLoader("readline", path)
    spec = importlib.util.spec_from_file_location("readline", path, loader=loader)
    module = importlib.util.module_from_spec(spec)
    sys.modules["readline"] = module
    spec.loader.exec_module(module)
    return module


def _complete(text, state):
    """Names of __main__, builtins and keywords; attributes after a dotted
    name (only plain names are looked up, nothing else is evaluated)."""
    import __main__
    import builtins
    import keyword

    head, dot, tail = text.rpartition(".")
    if dot:
        obj = None
        parts = head.split(".")
        if all(part.isidentifier() for part in parts):
            obj = vars(__main__).get(parts[0], getattr(builtins, parts[0], None))
            for part in parts[1:]:
                obj = getattr(obj, part, None)
        words = [f"{head}.{name}" for name in dir(obj) if name.startswith(tail)] if obj is not None else []
    else:
        names = set(keyword.kwlist) | set(vars(builtins)) | set(vars(__main__))
        words = [name for name in names if name.startswith(text) and not name.startswith("_")]
    words.sort()
    return words[state] if state < len(words) else None


def _start():
    import atexit
    import os
    import site
    import sys

    readline = _load_readline()
    history = os.path.expanduser("~/.extmods_history")
    try:
        readline.read_history_file(history)
    except FileNotFoundError:
        pass
    readline.set_history_length(1000)
    atexit.register(readline.write_history_file, history)
    # 3.13's own REPL would bypass the interpreter's line reader. (Importing
    # it installs rlcompleter's completer in our module; ours replaces it.)
    if sys.version_info >= (3, 13):
        import _pyrepl.main
        _pyrepl.main.CAN_USE_PYREPL = False
        _pyrepl.main.FAIL_REASON = ""
    readline.set_completer(_complete)
    readline.parse_and_bind("tab: complete")
    sys.path.extend(p for p in site.getsitepackages() if p not in sys.path)
    # -S skipped what site gives every prompt: exit, quit, help, copyright...
    site.setquit()
    site.setcopyright()
    site.sethelper()
    print(f"Python {sys.version.split()[0]}, line editing by {readline.__file__}")
    return readline


readline = _start()
