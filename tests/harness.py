"""Loading the project's modules by file path from a build folder.

Nothing in the tests imports a module of ours by name: a module installed
elsewhere on the machine could then stand in for the one under test.
"""
import importlib.machinery
import importlib.util
import os
import subprocess
import sys
import sysconfig
import textwrap

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.abspath(os.environ.get("EXT_BUILD_DIR", os.path.join(ROOT, "build")))
# How programs built for the modules' machine run here: directly, or under an
# emulator named by EXT_TARGET_RUNNER when the kernel cannot run them (the
# i386 build on a kernel that runs 64-bit code only). Then a few facts the
# emulator makes up, not the system, are not checked.
TARGET_RUNNER = os.environ.get("EXT_TARGET_RUNNER", "").split()
EMULATED = bool(TARGET_RUNNER)
# qemu-i386 reloads a thread's TLS segment from one table all threads share
# when a signal arrives, so the main thread can wake up as another one.
EMULATED_THREADS_AND_SIGNALS = "under the emulator a signal that arrives while threads run can leave the " \
    "main thread with another thread's TLS"


def target_command(argv):
    """`argv` of a program of our build, as it runs on this machine."""
    return TARGET_RUNNER + list(argv)

# Which library a module name lives in, where it is not the library's own name.
LIBRARY_OF = {
    "_fenwold_foo": "_fenwold",
    "_fenwold_bar": "_fenwold",
    "x": "_gorblin",
    "imp_dummy": "_gorblin",
    "_gorblin_nonmodule": "_gorblin",
    "_gorblin_nonmodule_with_exec_slots": "_gorblin",
    "_gorblin_create_int_with_state": "_gorblin",
    "_gorblin_negative_size": "_gorblin",
    "_gorblin_null_slots": "_gorblin",
    "_gorblin_bad_slot_large": "_gorblin",
    "_gorblin_bad_slot_negative": "_gorblin",
    "_gorblin_create_null": "_gorblin",
    "_gorblin_create_raise": "_gorblin",
    "_gorblin_create_unreported_exception": "_gorblin",
    "_gorblin_exec_err": "_gorblin",
    "_gorblin_exec_raise": "_gorblin",
    "_gorblin_exec_unreported_exception": "_gorblin",
    "_gorblin_export_null": "_gorblin",
    "_gorblin_export_raise": "_gorblin",
    "_gorblin_export_unreported_exception": "_gorblin",
    "_gorblin_export_uninitialized": "_gorblin",
    "_gorblin_zkouška_načtení": "_gorblin",
    "＿インポートテスト": "_gorblin",
}


class NotConfigured(FileNotFoundError):
    """The build folder was configured without this library (meson's `only`
    option, or a dependency it lacks): nothing to test, rather than a fault."""


_configured = None


def configured_files():
    """The files the build folder is configured to produce, from meson's
    introspection; None when the folder is not a meson build."""
    global _configured
    if _configured is None:
        import json
        try:
            with open(os.path.join(BUILD, "meson-info", "intro-targets.json")) as f:
                targets = json.load(f)
        except (OSError, ValueError):
            return None
        _configured = {os.path.realpath(name) for target in targets for name in target["filename"]}
    return _configured


class WrongInterpreter(RuntimeError):
    """The build folder holds modules built for another interpreter."""


def build_interpreter():
    """The interpreter the build folder was configured for (meson's `python`
    option), or None when that is not recorded."""
    import json
    try:
        with open(os.path.join(BUILD, "meson-info", "intro-buildoptions.json")) as f:
            options = json.load(f)
    except (OSError, ValueError):
        return None
    return next((o["value"] for o in options if o["name"] == "python" and o["value"]), None)


def check_interpreter():
    """Refuse to load a build made for another interpreter: one of the same
    version would load, but its answers would be that interpreter's."""
    wanted = build_interpreter()
    if wanted is None:
        return
    wanted_real = os.path.realpath(wanted)
    if os.path.realpath(sys.executable) != wanted_real and not _same_base(wanted_real):
        raise WrongInterpreter(
            f"{BUILD} was built for {wanted}; this is {sys.executable}. Run with {wanted}, "
            f"or build for this interpreter: make PYTHON={sys.executable} BUILD=build-<name> test")


def _same_base(wanted_real):
    # A virtual environment made from the interpreter the build is for.
    base = getattr(sys, "_base_executable", None)
    return base is not None and os.path.realpath(base) == wanted_real


def library_path(library, folder=None):
    """The built file of `library` (in `folder` of the build, by default the
    library's own), with this interpreter's suffix or abi3.

    A library the build was not configured for is skipped when a test asks
    for it; one that was configured but is missing is an error."""
    check_interpreter()
    folder = os.path.join(BUILD, folder or library)
    candidates = [os.path.join(folder, library + suffix)
                  for suffix in (sysconfig.get_config_var("EXT_SUFFIX"), ".abi3.so")]
    for path in candidates:
        if os.path.isfile(path):
            return path
    configured = configured_files()
    if configured is not None and not any(os.path.realpath(p) in configured for p in candidates):
        reason = f"{library} is not configured in the build {BUILD}"
        if "pytest" in sys.modules:
            import pytest
            pytest.skip(reason, allow_module_level=True)
        raise NotConfigured(reason)
    raise FileNotFoundError(f"{library} is not built in {BUILD}")


def module_path(name):
    return library_path(LIBRARY_OF.get(name, name))


def load(name, path=None):
    """Load extension module `name` from `path` (default: our build) and
    check it came from there. sys.modules is left as it was."""
    path = path or module_path(name)
    loader = importlib.machinery.ExtensionFileLoader(name, path)
    spec = importlib.util.spec_from_file_location(name, path, loader=loader)
    saved = sys.modules.get(name)
    try:
        module = importlib.util.module_from_spec(spec)
        sys.modules[name] = module
        spec.loader.exec_module(module)
    finally:
        if saved is None:
            sys.modules.pop(name, None)
        else:
            sys.modules[name] = saved
    assert os.path.samefile(module.__file__, path), (module.__file__, path)
    return module


def loader_source(*names):
    """Python source that, in a child interpreter, loads `names` from our
    build the same way and binds each to a variable of the same name."""
    lines = [
        "import importlib.machinery as _m, importlib.util as _u, os as _os, sys as _s",
        "def _load(name, path):",
        "    spec = _u.spec_from_file_location(name, path, loader=_m.ExtensionFileLoader(name, path))",
        "    mod = _u.module_from_spec(spec)",
        "    _s.modules[name] = mod",
        "    spec.loader.exec_module(mod)",
        "    assert _os.path.samefile(mod.__file__, path)",
        "    return mod",
    ]
    for name in names:
        lines.append(f"{name} = _load({name!r}, {module_path(name)!r})")
    return "\n".join(lines) + "\n"


def run_child(code, *names, timeout=60, check=True, **kwargs):
    """Run `code` in a fresh interpreter (this one) after loading `names`.
    Returns the CompletedProcess with text output."""
    source = loader_source(*names) + textwrap.dedent(code)
    proc = subprocess.run([sys.executable, "-I", "-c", source], capture_output=True,
                          text=True, timeout=timeout, **kwargs)
    if check and proc.returncode != 0:
        raise AssertionError(f"child failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}")
    return proc


def memory_growth(calls, rounds=2000):
    """Bytes of Python memory still held after `rounds` more runs of `calls`
    (after one warm-up run): a leak per call shows as growth in proportion."""
    import tracemalloc
    calls()
    tracemalloc.start()
    try:
        calls()
        start = tracemalloc.get_traced_memory()[0]
        for _ in range(rounds):
            calls()
        return tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
