"""Private Linux namespaces for tests that need system-wide things: a socket
at /dev/log, a shadow file at /etc/shadow, a process without privileges.

Everything happens in fresh mount, UTS, network and PID namespaces, so the
host's /dev, /etc and daemons never change: the mounts vanish with the
namespace, and any daemon started inside ends with its shell.
"""
import functools
import os
import shlex
import shutil
import stat
import subprocess
import sys
import textwrap

import harness

UNSHARE = ["unshare", "--mount", "--uts", "--net", "--pid", "--fork", "--mount-proc", "--kill-child"]
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]

# Device nodes a private /dev keeps from the host's.
DEV_NODES = "null zero full random urandom tty ptmx console fuse"

PREAMBLE = r"""
set -euo pipefail
mount --make-rprivate /
# Staging room for bind mounts, private to this namespace.
mount -t tmpfs -o mode=755 tmpfs /run
mkdir -p /run/nsutil
child() { "$NS_PYTHON" -I -c "$NS_CHILD_CODE" "$@"; }
child_nobody() { {nobody} "$NS_PYTHON" -I -c "$NS_CHILD_CODE" "$@"; }
""".replace("{nobody}", " ".join(NOBODY))

# A tmpfs over /dev with the usual nodes bound back: /dev itself is the host's
# devtmpfs even in a new mount namespace.
PRIVATE_DEV = r"""
mkdir -p /run/nsutil/hostdev
mount --rbind /dev /run/nsutil/hostdev
mount -t tmpfs -o mode=755,nosuid tmpfs /dev
for node in {nodes}; do
    if [ -e "/run/nsutil/hostdev/$node" ]; then
        touch "/dev/$node"
        mount --bind "/run/nsutil/hostdev/$node" "/dev/$node"
    fi
done
mkdir /dev/pts /dev/shm
mount --rbind /run/nsutil/hostdev/pts /dev/pts
mount -t tmpfs -o mode=1777 tmpfs /dev/shm
ln -s /proc/self/fd /dev/fd
""".replace("{nodes}", DEV_NODES)


@functools.lru_cache(maxsize=None)
def unavailable():
    """Why this machine cannot make the namespaces, or None if it can."""
    if os.geteuid() != 0:
        return "private namespaces need root"
    for tool in ("unshare", "setpriv", "mount"):
        if shutil.which(tool) is None:
            return f"{tool} is not installed"
    try:
        proc = subprocess.run(UNSHARE + ["true"], capture_output=True, text=True, timeout=30)
    except (OSError, subprocess.TimeoutExpired) as exc:
        return f"unshare failed: {exc}"
    if proc.returncode != 0:
        return f"unshare failed: {proc.stderr.strip()}"
    return None


def require():
    reason = unavailable()
    if reason is not None:
        import pytest  # only tests come here; the tour checks unavailable() first

        pytest.skip(f"cannot make private namespaces here: {reason}")


def _world_searchable(path):
    return bool(os.stat(path).st_mode & stat.S_IXOTH)


def _hidden_root(path):
    """The topmost ancestor of `path` that others cannot enter, or None."""
    parts = os.path.realpath(path).split(os.sep)
    for i in range(2, len(parts) + 1):
        ancestor = os.sep.join(parts[:i])
        if not _world_searchable(ancestor):
            return ancestor
    return None


def _expose_script(paths):
    """Shell lines that make `paths` reachable for an unprivileged user: each
    closed ancestor is covered by an open tmpfs holding only those paths, bound
    back from their real places (e.g. a pyenv interpreter under /root)."""
    paths = sorted({os.path.realpath(p) for p in paths})
    hidden = {}
    for path in paths:
        closed = _hidden_root(path)
        if closed is not None and closed != path:
            hidden.setdefault(closed, []).append(path)
    lines = []
    for n, closed in enumerate(sorted(hidden)):
        for m, path in enumerate(hidden[closed]):
            stage = f"/run/nsutil/expose-{n}-{m}"
            lines.append(f"mkdir -p {stage} && mount --rbind {shlex.quote(path)} {stage}")
        lines.append(f"mount -t tmpfs -o mode=755 tmpfs {shlex.quote(closed)}")
        for m, path in enumerate(hidden[closed]):
            stage = f"/run/nsutil/expose-{n}-{m}"
            lines.append(f"mkdir -p {shlex.quote(path)} && mount --rbind {stage} {shlex.quote(path)}")
    return "\n".join(lines) + "\n"


def run(script, *, code="", names=(), private_dev=False, unprivileged=False, env=None,
        timeout=60, check=True):
    """Run bash `script` in fresh namespaces, as root, after the common set-up.

    In the script, `child ARGS...` runs `code` in this interpreter with our
    modules `names` loaded by path (sys.argv[1:] = ARGS), and `child_nobody`
    does the same after dropping every privilege with setpriv. `private_dev`
    puts a private tmpfs over /dev; `unprivileged` makes this interpreter and
    our build reachable for the unprivileged child. Returns the completed
    process with text output.
    """
    require()
    parts = [PREAMBLE]
    if unprivileged:
        parts.append(_expose_script([sys.prefix, sys.exec_prefix, sys.base_prefix, harness.BUILD]))
    if private_dev:
        parts.append(PRIVATE_DEV)
    parts.append(script)
    child_env = dict(os.environ)
    child_env.update(env or {})
    child_env["NS_PYTHON"] = sys.executable
    child_env["NS_CHILD_CODE"] = harness.loader_source(*names) + textwrap.dedent(code)
    proc = subprocess.run(UNSHARE + ["bash", "-c", "\n".join(parts)], capture_output=True, text=True,
                          errors="surrogateescape", timeout=timeout, env=child_env, cwd="/")
    if check and proc.returncode != 0:
        raise AssertionError(f"namespace script failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}")
    return proc
