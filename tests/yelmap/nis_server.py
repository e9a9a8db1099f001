"""A NIS master in private namespaces: rpcbind, ypserv and ypbind with maps
built for the purpose, for the tests and the tour.

The daemons run in fresh mount, UTS, network and PID namespaces with a
private /run, /var/yp, /etc/hosts and /etc/yp.conf, so the host's files,
host name, domain name and daemons never change. Commands run inside with
nsenter; the namespaces (and every daemon) end when the server is stopped or
this process goes away.
"""
import json
import os
import select
import shlex
import shutil
import subprocess
import sys
import tempfile
import textwrap

import harness
import nsutil

MASTER = "nismaster"
MAKEDBM = "/usr/lib/yp/makedbm"
NSENTER = ["nsenter", "--mount", "--uts", "--net", "--pid"]


def child_env():
    """The environment for our interpreters: with a sanitizer runtime
    preloaded, libtirpc is preloaded too. The runtime wraps the XDR routines
    and looks up the real ones when it starts; without libtirpc loaded by then
    it finds none, and libnsl's first XDR call jumps to address zero."""
    env = dict(os.environ)
    preload = env.get("LD_PRELOAD", "")
    if "libasan" in preload and "libtirpc" not in preload:
        env["LD_PRELOAD"] = f"{preload} libtirpc.so.3"
    return env


def system_env():
    """The environment for the system's own programs: a sanitizer runtime
    preloaded for our modules stays out of the daemons and tools."""
    return {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}


class Map:
    """A map's entries (bytes -> bytes). makedbm builds it unless `verbatim`,
    in which case our gdbm writer stores the bytes exactly (keys and values
    with a trailing NUL, empty values), with the master's name and a time
    stamp added as makedbm would. `master` is the server the map names."""

    def __init__(self, entries, verbatim=False, master=MASTER):
        self.entries, self.verbatim, self.master = entries, verbatim, master

    def source(self):
        if not self.verbatim:
            return b"".join(k + b"\t" + v + b"\n" for k, v in self.entries.items())
        entries = dict(self.entries)
        entries.update({b"YP_MASTER_NAME": self.master.encode(), b"YP_LAST_MODIFIED": b"1700000000"})
        return b"".join(b"%d %d\n" % (len(k), len(v)) + k + v for k, v in entries.items())

    def build_command(self, source, out):
        if self.verbatim:
            writer = os.path.join(harness.BUILD, "yelmap", "yelmap_gdbm_writer")
            return f"{shlex.quote(writer)} {shlex.quote(out)} < {shlex.quote(source)}"
        return f"{MAKEDBM} -m {shlex.quote(self.master)} {shlex.quote(source)} {shlex.quote(out)}"


SETUP = r"""
set -euo pipefail
# Polls for up to ten seconds until the command succeeds.
wait_for() {
    for _ in $(seq 2000); do "$@" >/dev/null 2>&1 && return 0; sleep 0.005; done
    echo "timed out waiting for: $*" >&2
    return 1
}
mount --make-rprivate /
mount -t tmpfs -o mode=755 tmpfs /run
mount -t tmpfs -o mode=755 tmpfs /var/yp
ip link set lo up
hostname {master}
domainname {domain}
printf '127.0.0.1 localhost {master}\n' > /run/hosts
mount --bind /run/hosts /etc/hosts
printf '%s\n' {yp_conf} > /run/yp.conf
mount --bind /run/yp.conf /etc/yp.conf
mkdir -p /var/yp/binding {folders}
touch /var/yp/nicknames
{builds}
rpcbind -f -w >/run/rpcbind.log 2>&1 &
wait_for test -S /run/rpcbind.sock
{ypserv} >/run/ypserv.log 2>&1 &
ypserv=$!
wait_for rpcinfo -T tcp 127.0.0.1 100004 2
ypbind -n >/run/ypbind.log 2>&1 &
for domain in {domains}; do wait_for ypwhich -d "$domain"; done
echo "ready $ypserv"
# Held open until the caller closes our input; the namespaces end with us.
read -r _ || true
"""


class NisServer:
    """Serves `domains` ({domain: {map name: Map}}); the first is the
    machine's default domain, the others are bound through yp.conf. `fake`
    runs our test server (yelmap_fake_ypserv) in place of ypserv."""

    def __init__(self, domains, fake=False):
        self.domains = domains
        self.ypserv = (shlex.quote(os.path.join(harness.BUILD, "yelmap", "yelmap_fake_ypserv")) if fake
                       else "ypserv -f")
        self.proc = None
        self.work = None

    def start(self, timeout=30):
        self.work = tempfile.mkdtemp(prefix="yelmap-nis-")
        builds = []
        for domain, maps in self.domains.items():
            for name, m in maps.items():
                source = os.path.join(self.work, f"{domain}.{len(builds)}")
                with open(source, "wb") as f:
                    f.write(m.source())
                builds.append(m.build_command(source, f"/var/yp/{domain}/{name}"))
        names = list(self.domains)
        yp_conf = ["ypserver 127.0.0.1"] + [f"domain {d} server 127.0.0.1" for d in names[1:]]
        fields = {
            "master": MASTER, "ypserv": self.ypserv, "domain": shlex.quote(names[0]),
            "yp_conf": " ".join(shlex.quote(line) for line in yp_conf),
            "folders": " ".join(shlex.quote(f"/var/yp/{d}") for d in names), "builds": "\n".join(builds),
            "domains": " ".join(shlex.quote(d) for d in names),
        }
        script = SETUP
        for field, value in fields.items():
            script = script.replace("{" + field + "}", value)
        self.proc = subprocess.Popen(nsutil.UNSHARE + ["bash", "-c", script], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd="/", env=system_env())
        ready, _, _ = select.select([self.proc.stdout], [], [], timeout)
        line = self.proc.stdout.readline().decode() if ready else ""
        if not line.startswith("ready "):
            self.proc.kill()  # unshare takes the namespaces' processes with it
            self.proc.wait()
            errors = self.proc.stderr.read().decode(errors="replace")
            self.stop()
            raise RuntimeError(f"NIS server did not start within {timeout} s: {errors}")
        self.ypserv_pid = int(line.split()[1])  # as the namespace sees it
        # The namespaces' first process, as the host sees it: unshare's child.
        with open(f"/proc/{self.proc.pid}/task/{self.proc.pid}/children") as f:
            self.pid = int(f.read().split()[0])
        return self

    def stop(self):
        if self.proc is not None:
            self.proc.stdin.close()
            self.proc.wait(timeout=30)
            self.proc.stdout.close()
            self.proc.stderr.close()
            self.proc = None
        if self.work is not None:
            shutil.rmtree(self.work, ignore_errors=True)
            self.work = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def run(self, argv, env=None):
        """Runs the system program `argv` inside the namespaces; returns the
        completed process (output as bytes)."""
        return subprocess.run(NSENTER + [f"--target={self.pid}", "--"] + list(argv), capture_output=True,
                              cwd="/", timeout=120, env=env or system_env())

    def python(self, code, *args, names=("yelmap",)):
        """Runs `code` in this interpreter inside the namespaces, with our
        modules `names` loaded by path and sys.argv[1:] = args; returns what
        it printed as JSON, decoded."""
        source = harness.loader_source(*names) + textwrap.dedent(code)
        proc = self.run([sys.executable, "-I", "-c", source] + [str(a) for a in args], env=child_env())
        if proc.returncode != 0:
            raise AssertionError(f"child failed ({proc.returncode}):\n{proc.stdout.decode()}\n"
                                 f"{proc.stderr.decode(errors='replace')}")
        return json.loads(proc.stdout)
