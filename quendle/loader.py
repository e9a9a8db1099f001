"""Finding the _quendle extension module.

An installed copy comes first: inside the project's package (extmods._quendle),
then at top level. Otherwise the module is loaded by file path from a build
folder: $EXT_BUILD_DIR, or build/ beside this package. Whichever is found must
have been built for the running interpreter; a build for another one is an
error that says so, never a crash or a silent fallback.
"""
import glob
import importlib
import importlib.machinery
import importlib.util
import os
import sys
import sysconfig

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXT_SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")
SUFFIXES = (EXT_SUFFIX, ".abi3.so")
INSTALLED = ("extmods._quendle", "_quendle")


class ExtensionError(ImportError):
    """_quendle is missing, or was built for another interpreter."""


_module = None


def extension():
    """The _quendle module this front end uses (found once, then kept)."""
    global _module
    if _module is None:
        _module = _installed() or _from_build()
    return _module


def _interpreter():
    return "Python {} ({})".format(sysconfig.get_python_version(), sys.executable)


def _installed():
    for name in INSTALLED:
        try:
            spec = importlib.util.find_spec(name)
        except (ImportError, ValueError):
            continue
        # In a source tree, the module's own folder (C++ sources, no
        # __init__) is a namespace package of the same name: not the module.
        if spec is None or not isinstance(spec.loader, importlib.machinery.ExtensionFileLoader):
            continue
        if not spec.origin.endswith(SUFFIXES):
            raise ExtensionError("{} is not built for this interpreter: {} needs a module named *{}".format(
                spec.origin, _interpreter(), EXT_SUFFIX))
        return importlib.import_module(name)
    return None


def _from_build():
    build = os.path.abspath(os.environ.get("EXT_BUILD_DIR") or os.path.join(ROOT, "build"))
    folder = os.path.join(build, "_quendle")
    for suffix in SUFFIXES:
        path = os.path.join(folder, "_quendle" + suffix)
        if os.path.isfile(path):
            return _load(path)
    rebuild = "meson setup BUILD -Dpython={} && meson compile -C BUILD".format(sys.executable)
    others = sorted(os.path.basename(p) for p in glob.glob(os.path.join(folder, "_quendle.*so")))
    if others:
        raise ExtensionError("_quendle in {} was built for another interpreter ({}); {} needs _quendle{}: {}".format(
            folder, ", ".join(others), _interpreter(), EXT_SUFFIX, rebuild))
    raise ExtensionError("_quendle is not installed and not built in {} (set EXT_BUILD_DIR to a build folder): {}"
                         .format(folder, rebuild))


def _load(path):
    # By path, as the project's tests do; sys.modules is left as it was.
    loader = importlib.machinery.ExtensionFileLoader("_quendle", path)
    spec = importlib.util.spec_from_file_location("_quendle", path, loader=loader)
    saved = sys.modules.get("_quendle")
    try:
        module = importlib.util.module_from_spec(spec)
        sys.modules["_quendle"] = module
        spec.loader.exec_module(module)
    finally:
        if saved is None:
            sys.modules.pop("_quendle", None)
        else:
            sys.modules["_quendle"] = saved
    return module
