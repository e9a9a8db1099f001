import os
import subprocess
import sys

import pytest

import harness


def test_checked_arithmetic_helpers():
    exe = os.path.join(harness.BUILD, "common", "checked_test")
    proc = subprocess.run(harness.target_command([exe]), capture_output=True, text=True, timeout=30)
    assert proc.returncode == 0, proc.stdout
    assert proc.stdout == "all checks passed\n"


def test_modules_export_only_their_entry_points():
    """Hidden visibility: a library exports PyInit_* and what it documents."""
    nm = subprocess.run(["nm", "-D", "--defined-only", harness.module_path("_fenwold")],
                        capture_output=True, text=True, check=True).stdout
    names = sorted(line.split()[-1] for line in nm.splitlines() if line.strip())
    assert names == ["PyInit__fenwold", "PyInit__fenwold_bar", "PyInit__fenwold_foo"]


def test_modules_do_not_link_libpython():
    out = subprocess.run(["readelf", "-d", harness.module_path("_crypt")],
                         capture_output=True, text=True, check=True).stdout
    assert "libpython" not in out


def layer():
    return harness.load("_layer_test", harness.library_path("_layer_test", "common"))


def test_owned_references_balance():
    mod = layer()
    obj = object()
    before = sys.getrefcount(obj)
    for _ in range(100):
        assert mod.ref_moves(obj) is obj
    assert sys.getrefcount(obj) == before


def test_buffer_view_released_on_every_path():
    mod = layer()
    data = bytearray(b"abc")

    def grow(b):
        b.extend(b"d")  # refused while a view is held

    with pytest.raises(BufferError):
        mod.hold_view(data, grow)
    with pytest.raises(ZeroDivisionError):
        mod.hold_view(data, lambda b: 1 / 0)
    assert mod.hold_view(data, len) == 3
    with pytest.raises(BufferError, match="not writable"):
        mod.hold_view(b"read-only", len)
    data.extend(b"d")  # every view was given back
    assert data == b"abcd"
    assert mod.parse_view(memoryview(data)) == 4
    with pytest.raises(TypeError):
        mod.parse_view("text")
    data.extend(b"e")


def test_module_add_steals_and_checks():
    assert layer().answer == 42


@pytest.mark.parametrize("name, ours", [(n, o) for n, o in __import__("counterparts").COUNTERPARTS.items()])
def test_interpreter_counterparts_never_load(name, ours):
    import importlib
    import counterparts
    if ours is not None and name in sys.modules:
        assert sys.modules[name].__file__ == harness.module_path(ours)
        assert importlib.import_module(name) is sys.modules[name]
    else:
        assert name not in sys.modules
        with pytest.raises(ModuleNotFoundError, match="is not loaded by these tests"):
            importlib.import_module(name)
    assert counterparts.strays() == []
