import os
import subprocess

import harness


def test_checked_arithmetic_helpers():
    exe = os.path.join(harness.BUILD, "common", "checked_test")
    proc = subprocess.run([exe], capture_output=True, text=True, timeout=30)
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
