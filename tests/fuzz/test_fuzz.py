# Hostile calls into every module, and leak runs of every public callable,
# each module's batch in a child interpreter (child.py, leaks.py). A crash
# fails the test with the case the child named before running it; a
# SystemError, with the shrunk case; a leak, with what grew.
#
# FUZZ_EXAMPLES, FUZZ_SEED, FUZZ_SECONDS, LEAK_CALLS and LEAK_BULK pass to the children;
# `make fuzz` runs longer with fresh seeds.
import os
import sys

import pytest

import runner
import tables

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "sanitizer"))
import lsan_check  # noqa: E402


def verdict(proc, text):
    lines = text.splitlines()
    if proc.returncode == lsan_check.LEAK_STATUS:
        return "memory left unreachable (LeakSanitizer report below)"
    failures = [line for line in lines if line.startswith("FAIL")]
    if failures:
        start = text.find("FAIL")
        return "\n".join(failures) + "\n" + text[start:start + 4000]
    cases = [line for line in lines if line.startswith("CASE ")]
    return f"the child died ({proc.returncode}) in {cases[-1] if cases else '(before the first case)'}"


@pytest.mark.parametrize("script", ["child.py", "leaks.py"])
@pytest.mark.parametrize("name", sorted(tables.MODULES))
def test_module(name, script, tmp_path):
    proc, text = runner.run(script, name, tmp_path)
    if proc.returncode != 0:
        stderr = proc.stderr.decode(errors="backslashreplace")
        pytest.fail(f"{name} {script}: {verdict(proc, text)}\n--- stderr (end)\n{stderr[-6000:]}", pytrace=False)
    print(name, script, *[line for line in text.splitlines() if line.startswith(("DONE", "SKIP"))])
