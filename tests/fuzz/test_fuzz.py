"""Hostile calls into every module, each module's batch in a child
interpreter that names each case before running it: a crash fails the test
with the case that caused it, a SystemError fails it with the shrunk case.

FUZZ_EXAMPLES, FUZZ_SEED and FUZZ_SECONDS pass to the child (see child.py);
`make fuzz` runs longer with fresh seeds."""
import os
import subprocess
import sys

import pytest

import harness
import nsutil

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "sanitizer"))
import lsan_check  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import tables  # noqa: E402

CHILD = os.path.join(HERE, "child.py")


def child_command(spec, name):
    cmd = [sys.executable, "-s", CHILD, name]
    if spec.namespace is None:
        return cmd
    nsutil.require()
    script = nsutil.PREAMBLE + nsutil.PRIVATE_DEV + spec.namespace + '\nexec "$@"\n'
    return nsutil.UNSHARE + ["bash", "-c", script, "fuzz"] + cmd


def verdict(proc, text):
    lines = text.splitlines()
    cases = [line for line in lines if line.startswith("CASE ")]
    failures = [line for line in lines if line.startswith("FAIL")]
    if proc.returncode == lsan_check.LEAK_STATUS:
        return "memory left unreachable (LeakSanitizer report below)"
    if not any(line.startswith("DONE") for line in lines):
        last = cases[-1] if cases else "(before the first case)"
        return f"the child died ({proc.returncode}) in {last}"
    start = text.find("\nFAIL")
    return "\n".join(failures) + "\n" + text[start:start + 4000]


@pytest.mark.parametrize("name", sorted(tables.MODULES))
def test_hostile_calls(name, tmp_path):
    spec = tables.MODULES[name]
    harness.module_path(spec.names[0])  # skips a library the build lacks
    env = dict(os.environ, HOME=str(tmp_path), FUZZ_HOME=str(tmp_path), INPUTRC="/dev/null", LC_ALL="C.UTF-8")
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [os.path.dirname(HERE), env.get("PYTHONPATH")]))
    out_path = tmp_path / "cases.out"
    with open(out_path, "wb") as out:
        proc = subprocess.run(child_command(spec, name), stdout=out, stderr=subprocess.PIPE, env=env,
                              cwd=str(tmp_path), timeout=float(os.environ.get("FUZZ_TIMEOUT", "900")))
    text = out_path.read_text(errors="backslashreplace")
    if proc.returncode != 0:
        stderr = proc.stderr.decode(errors="backslashreplace")
        pytest.fail(f"{name}: {verdict(proc, text)}\n--- stderr (end)\n{stderr[-6000:]}", pytrace=False)
    done = [line for line in text.splitlines() if line.startswith(("DONE", "SKIP"))]
    print(name, *done)
