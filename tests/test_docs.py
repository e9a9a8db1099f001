# The examples in docs/ run as written.
#
# Every ```python block of docs/<module>.md runs in a fresh interpreter with
# the modules its `from extmods import ...` line names loaded by path from the
# build (that line itself is dropped). A ```text block right after it is the
# output the block must print. A block whose first line is `# needs: NAME`
# runs as NEEDS[NAME] says: in private namespaces, so that nothing on the
# machine changes, or in a terminal, where the output is what it shows.
import hashlib
import os
import re
import shlex
import socket
import sys
import time

import pytest

import harness
import nsutil

sys.path[:0] = [os.path.join(harness.ROOT, "tests", folder) for folder in ("krellune", "yelmap")]
import nis_server  # noqa: E402
import ossdriver  # noqa: E402

DOCS = os.path.join(harness.ROOT, "docs")
# The profiler front end's page runs with its own tests (tests/quendle).
ELSEWHERE = {"index", "quendle"}
PAGES = sorted(f[:-3] for f in os.listdir(DOCS) if f.endswith(".md") and f[:-3] not in ELSEWHERE)
BLOCK = re.compile(r"^```python\n(.*?)^```\n(?:\n```text\n(.*?)^```\n)?", re.S | re.M)
IMPORT = re.compile(r"^from extmods import (.+)\n", re.M)

# A shadow file with one full entry and one whose numeric fields are empty.
SHADOW = "root:$6$saltsalt$hash:19000:0:99999:7:::\nalice:!:19500::::::\n"
# The NIS domain the yelmap page looks into, served from private namespaces.
NIS_MAPS = {
    "passwd.byname": nis_server.Map({b"root": b"x:0:0:root:/root:/bin/bash",
                                     b"ada": b"x:1815:1815:Ada:/home/ada:/bin/sh"}),
    "hosts.byname": nis_server.Map({b"nismaster": b"127.0.0.1 nismaster"}),
    # Stored the traditional way, each key and value with its NUL.
    "mail.aliases": nis_server.Map({b"postmaster\0": b"root\0", b"abuse\0": b"ada\0"}, verbatim=True),
}
# What each need sets up in the namespace before the block runs as `child`.
NEEDS = {
    # A private /dev whose /dev/log is a socket nobody reads: messages stay here.
    "log": dict(private_dev=True, script="child", prelude=(
        "import socket as _socket\n"
        "_log = _socket.socket(_socket.AF_UNIX, _socket.SOCK_DGRAM)\n"
        "_log.bind('/dev/log')\n")),
    # SHADOW in place of /etc/shadow, read through files only.
    "shadow": dict(private_dev=False, prelude="", script=(
        f"printf %s {shlex.quote(SHADOW)} > /run/nsutil/shadow\n"
        "printf 'passwd: files\\ngroup: files\\nshadow: files\\n' > /run/nsutil/nsswitch.conf\n"
        "mount --bind /run/nsutil/shadow /etc/shadow\n"
        "mount --bind /run/nsutil/nsswitch.conf /etc/nsswitch.conf\n"
        "child\n")),
    # The fake OSS driver's dsp and mixer at /dev/dsp and /dev/mixer of a private /dev.
    "oss": dict(private_dev=True, prelude="", require=ossdriver.require,
                script=ossdriver.SCRIPT.format(stage=ossdriver.STAGE, driver=shlex.quote(ossdriver.DRIVER),
                                               settings="")),
    # A 24 x 80 pseudo-terminal for curses, no namespaces.
    "terminal": dict(terminal=True),
    # A NIS master (rpcbind, ypserv, ypbind) for the domain docs.example, the default one.
    "nis": dict(nis={"docs.example": NIS_MAPS}),
}
ROWS, COLS = 24, 80


def examples(page):
    with open(os.path.join(DOCS, page + ".md")) as f:
        return BLOCK.findall(f.read())


def case(page, index):
    need = re.match(r"# needs: (\w+)", examples(page)[index][0])
    namespace = need is not None and not NEEDS[need.group(1)].get("terminal")
    return pytest.param(page, index, id=f"{page}-{index}", marks=[pytest.mark.namespace] if namespace else [])


CASES = [case(page, i) for page in PAGES for i in range(len(examples(page)))]


@pytest.fixture(autouse=True)
def host_unchanged():
    """The namespaces keep the host's /dev/log, /dev/dsp, /dev/mixer,
    /etc/shadow, /etc/hosts and domain name as they were."""
    def digest(path):
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            return hashlib.sha256(f.read()).hexdigest()

    def state():
        files = [digest(p) for p in ("/etc/shadow", "/etc/hosts", "/proc/sys/kernel/domainname")]
        return [os.path.lexists(p) for p in ("/dev/log", "/dev/dsp", "/dev/mixer")], files, socket.gethostname()
    before = state()
    yield
    assert state() == before


def test_every_page_has_an_example_and_is_listed():
    with open(os.path.join(DOCS, "index.md")) as f:
        index = f.read()
    for page in PAGES:
        assert examples(page), page
        assert f"({page}.md)" in index, page


def reading_terminal(pid):
    """Whether the process waits in a read of its standard input."""
    try:
        with open(f"/proc/{pid}/syscall") as f:
            return f.read().split()[:2] == ["0", "0x0"]
    except OSError:
        return False


def run_in_terminal(code, names, cwd):
    """What the terminal shows while the example waits for a key (it gets a
    space), then once it has ended: lines without trailing blanks, the blank
    lines left out."""
    pexpect = pytest.importorskip("pexpect")
    pyte = pytest.importorskip("pyte")
    screen = pyte.Screen(COLS, ROWS)
    stream = pyte.ByteStream(screen)
    env = {k: v for k, v in os.environ.items() if k not in ("LINES", "COLUMNS")}
    env["TERM"] = "xterm-color"  # xterm without REP, which pyte does not know
    child = pexpect.spawn(sys.executable, ["-I", "-c", harness.loader_source(*names) + code], env=env, cwd=cwd,
                          dimensions=(ROWS, COLS), timeout=60)

    def drain():
        while True:
            try:
                stream.feed(child.read_nonblocking(65536, timeout=0.05))
            except (pexpect.TIMEOUT, pexpect.EOF):
                return

    def shown():
        return "".join(line.rstrip() + "\n" for line in screen.display if line.strip())

    deadline = time.monotonic() + 60
    while child.isalive() and not reading_terminal(child.pid) and time.monotonic() < deadline:
        drain()
    waiting = ""
    if child.isalive():
        drain()
        waiting = shown()
        child.send(b" ")
    stream.feed(child.read())
    child.close()
    assert child.exitstatus == 0, shown()
    return waiting + shown()


@pytest.mark.parametrize("page,index", CASES)
def test_example_runs(page, index, tmp_path):
    code, expected = examples(page)[index]
    names = sorted({n.strip() for found in IMPORT.findall(code) for n in found.split(",")})
    for name in names:
        try:
            harness.module_path(name)
        except FileNotFoundError:
            pytest.skip(f"{name} is not built in {harness.BUILD}")
    body = IMPORT.sub("", code)
    need = re.match(r"# needs: (\w+)", code)
    setup = NEEDS[need.group(1)] if need else {}
    if setup.get("terminal"):
        output = run_in_terminal(body, names, str(tmp_path))
    elif "nis" in setup:
        nsutil.require()
        with nis_server.NisServer(setup["nis"]) as nis:
            proc = nis.run([sys.executable, "-I", "-c", harness.loader_source(*names) + body],
                           env=nis_server.child_env())
        assert proc.returncode == 0, proc.stderr.decode(errors="replace")
        output = proc.stdout.decode()
    elif need:
        setup.get("require", nsutil.require)()
        output = nsutil.run(setup["script"], private_dev=setup["private_dev"], names=names,
                            code=setup["prelude"] + body).stdout
    else:
        output = harness.run_child(body, *names, cwd=str(tmp_path)).stdout
    if expected:
        assert output == expected
