LOADER = """
import importlib.machinery, importlib.util, sys
name, path = sys.argv[1:]
spec = importlib.util.spec_from_file_location(name, path, loader=importlib.machinery.ExtensionFileLoader(name, path))
try:
    spec.loader.exec_module(importlib.util.module_from_spec(spec))
    print("loaded")
except Exception as exc:
    print(f"{type(exc).__name__}: {exc}")
"""


def show(load):
    import subprocess
    import sys

    import harness

    path = harness.module_path("_gorblin")
    main = harness.load("_gorblin", path)
    print(f"  One library, {path.rsplit('/', 1)[-1]}, imported under several names:")
    print(f"    _gorblin -> {main.__doc__!r}: foo(1, 2) = {main.foo(1, 2)}, int_const = {main.int_const}, "
          f"types {main.Example.__module__}.Example and .Str")
    nonmodule = harness.load("_gorblin_nonmodule", path)
    print(f"    _gorblin_nonmodule -> a {type(nonmodule).__name__}, three = {nonmodule.three} (not a module)")
    for name in ("_gorblin_zkouška_načtení", "＿インポートテスト"):
        mod = harness.load(name, path)
        export = "PyInitU_" + name.encode("punycode").decode().replace("-", "_")
        print(f"    {name} -> {mod.__doc__!r} via {export}")
    print("  Faulty variants, each in a fresh interpreter; the loader refuses every one:")
    for name in ("_gorblin_bad_slot_large", "_gorblin_create_null", "_gorblin_exec_unreported_exception",
                 "_gorblin_create_int_with_state", "_gorblin_export_uninitialized"):
        out = subprocess.run([sys.executable, "-I", "-c", LOADER, name, path], capture_output=True, text=True,
                             timeout=60).stdout.strip()
        print(f"    {name:36} {out}")
