"""Profiling a block of code, or a script as the interpreter would run it."""
import builtins
import os
import sys
import types

from .loader import extension
from .stats import Stats


class profile:
    """Profile the body of a `with` statement in the current thread:

        with quendle.profile() as run:
            work()
        run.stats.print(10)

    The keywords are those of _quendle.Profiler: `timer` (a callable
    returning the time; default a built-in real-time clock), `timeunit`
    (seconds per unit of an integer timer; 0.0 for one returning float
    seconds), `subcalls` (keep caller->callee figures, which the flame graph
    needs) and `builtins` (profile built-in functions too). `stats` is set
    when the block ends, whether or not it raised.
    """

    def __init__(self, timer=None, timeunit=None, subcalls=True, builtins=True):
        options = {"subcalls": subcalls, "builtins": builtins}
        # The extension stores an explicit None as the timer, which then
        # fails on every reading: leave the keywords out unless given.
        if timer is not None:
            options["timer"] = timer
        if timeunit is not None:
            options["timeunit"] = timeunit
        self.profiler = extension().Profiler(**options)
        self.stats = None
        self.error = None

    def __enter__(self):
        self.profiler.enable()
        return self

    def __exit__(self, *exc):
        self.profiler.disable()
        # This very call is open while profiling stops; it is not the user's.
        self.stats = Stats.from_profiler(self.profiler, drop=[profile.__exit__.__code__])
        return False


def script_namespace(path):
    """A fresh __main__ module for the script at `path`."""
    main = types.ModuleType("__main__")
    main.__file__ = path
    main.__builtins__ = builtins
    main.__spec__ = None
    main.__loader__ = None
    return main


def run_script(path, args=(), **options):
    """Run the script at `path` under the profiler, as `python3 path args`
    would: as __main__, with sys.argv set and the script's folder first on
    sys.path (all put back afterwards). Returns the `profile` run, whose
    `error` is the exception that ended the script (SystemExit included),
    or None; it is not raised, so the statistics are never lost."""
    path = os.path.abspath(path)
    with open(path, "rb") as f:
        code = compile(f.read(), path, "exec", dont_inherit=True)
    main = script_namespace(path)
    saved = sys.argv, sys.path[:], sys.modules.get("__main__")
    sys.argv = [path] + list(args)
    # The interpreter puts the script's folder where `-m` put the current
    # one, unless told to put neither there (-P).
    if not getattr(sys.flags, "safe_path", False):
        sys.path[0:1] = [os.path.dirname(path)]
    sys.modules["__main__"] = main
    run = profile(**options)
    try:
        with run:
            exec(code, main.__dict__)
    except BaseException as exc:
        run.error = exc
    finally:
        sys.argv, sys.path[:] = saved[0], saved[1]
        if saved[2] is not None:
            sys.modules["__main__"] = saved[2]
    return run
