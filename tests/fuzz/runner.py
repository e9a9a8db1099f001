"""Starting a fuzz or leak child for one module: in private namespaces when
its table says so, with a private home, its stdout kept in a file."""
import os
import subprocess
import sys

import harness
import nsutil

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import tables  # noqa: E402


def command(script, name):
    cmd = [sys.executable, "-s", os.path.join(HERE, script), name]
    namespace = tables.MODULES[name].namespace
    if namespace is None:
        return cmd
    nsutil.require()
    shell = nsutil.PREAMBLE + nsutil.PRIVATE_DEV + namespace + '\nexec "$@"\n'
    return nsutil.UNSHARE + ["bash", "-c", shell, "fuzz"] + cmd


def run(script, name, tmp_path):
    """Returns the finished process and its stdout as text."""
    harness.module_path(tables.MODULES[name].names[0])  # skips a library the build lacks
    env = dict(os.environ, HOME=str(tmp_path), FUZZ_HOME=str(tmp_path), INPUTRC="/dev/null", LC_ALL="C.UTF-8")
    # The child runs in tmp_path: lent packages must stay reachable.
    if env.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep) if p)
    out_path = tmp_path / f"{script}.out"
    with open(out_path, "wb") as out:
        proc = subprocess.run(command(script, name), stdout=out, stderr=subprocess.PIPE, env=env,
                              cwd=str(tmp_path), timeout=float(os.environ.get("FUZZ_TIMEOUT", "1800")))
    return proc, out_path.read_text(errors="backslashreplace")
