# The examples in docs/ run as written.
#
# Every ```python block of docs/<module>.md runs in a fresh interpreter with
# the modules its `from extmods import ...` line names loaded by path from the
# build (that line itself is dropped). A ```text block right after it is the
# output the block must print. A block whose first line is `# needs: NAME`
# runs in private namespaces set up as NEEDS[NAME] says, so that nothing on
# the machine changes.
import hashlib
import os
import re
import shlex

import pytest

import harness
import nsutil

DOCS = os.path.join(harness.ROOT, "docs")
# The profiler front end's page runs with its own tests (tests/quendle).
ELSEWHERE = {"index", "quendle"}
PAGES = sorted(f[:-3] for f in os.listdir(DOCS) if f.endswith(".md") and f[:-3] not in ELSEWHERE)
BLOCK = re.compile(r"^```python\n(.*?)^```\n(?:\n```text\n(.*?)^```\n)?", re.S | re.M)
IMPORT = re.compile(r"^from extmods import (.+)\n", re.M)

# A shadow file with one full entry and one whose numeric fields are empty.
SHADOW = "root:$6$saltsalt$hash:19000:0:99999:7:::\nalice:!:19500::::::\n"
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
}


def examples(page):
    with open(os.path.join(DOCS, page + ".md")) as f:
        return BLOCK.findall(f.read())


def case(page, index):
    needs = examples(page)[index][0].startswith("# needs:")
    return pytest.param(page, index, id=f"{page}-{index}", marks=[pytest.mark.namespace] if needs else [])


CASES = [case(page, i) for page in PAGES for i in range(len(examples(page)))]


@pytest.fixture(autouse=True)
def host_unchanged():
    """The namespaces keep the host's /dev/log and /etc/shadow as they were."""
    def state():
        shadow = None
        if os.path.exists("/etc/shadow"):
            with open("/etc/shadow", "rb") as f:
                shadow = hashlib.sha256(f.read()).hexdigest()
        return os.path.lexists("/dev/log"), shadow
    before = state()
    yield
    assert state() == before


def test_every_page_has_an_example_and_is_listed():
    with open(os.path.join(DOCS, "index.md")) as f:
        index = f.read()
    for page in PAGES:
        assert examples(page), page
        assert f"({page}.md)" in index, page


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
    if need:
        setup = NEEDS[need.group(1)]
        proc = nsutil.run(setup["script"], private_dev=setup["private_dev"], names=names,
                          code=setup["prelude"] + body)
    else:
        proc = harness.run_child(body, *names, cwd=str(tmp_path))
    if expected:
        assert proc.stdout == expected
