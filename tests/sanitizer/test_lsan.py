# The sanitizer run's leak check finds memory our code drops unfreed, and
# only that: the same child without the leaking call, with every module loaded
# and a system tool run under the preloaded runtime, reports nothing.
import os
import subprocess
import sys

import pytest

import harness
import lsan_check

MODULES = ["orvik", "tamvox", "_delvane", "readline", "_quendle", "resource", "syslog", "kelpin", "_crypt",
           "_zanthor", "_gorblin", "trevask", "krellune", "yelmap"]

CODE = """
import os, subprocess, sys
sys.path.insert(0, {here!r})
import harness, lsan_check
for name in {modules!r}:
    try:
        harness.load(name)
    except harness.NotConfigured:
        pass
layer = harness.load("_layer_test", harness.library_path("_layer_test", "common"))
subprocess.run(["getent", "passwd", "root"], capture_output=True)
if {leak!r}:
    layer.leak(4000)
lsan_check.check_at_exit()
"""


@pytest.mark.skipif(not lsan_check.available(), reason="needs the sanitizer run (make test-asan)")
@pytest.mark.parametrize("leak", [False, True])
def test_leak_check_finds_our_leaks_only(leak):
    harness.library_path("_layer_test", "common")
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    code = CODE.format(here=here, modules=MODULES, leak=leak)
    proc = subprocess.run([sys.executable, "-s", "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.returncode == (lsan_check.LEAK_STATUS if leak else 0), proc.stderr
    assert "could not run" not in proc.stderr
    if leak:
        # Traced to the function that dropped it.
        assert "4000 byte(s) in 1 object(s)" in proc.stderr and "layer_leak" in proc.stderr, proc.stderr
