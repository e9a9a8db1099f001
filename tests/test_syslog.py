import ctypes
import json
import os
import re
import shutil
import subprocess
import textwrap

import pytest

import harness
import nsutil

# Priorities, masks and options arrive as C longs: 64 bits on x86_64, 32 on
# i386, where the argument parser refuses what a long cannot hold before the
# module checks for the int range.
LONG_MAX = 2 ** (8 * ctypes.sizeof(ctypes.c_long) - 1) - 1
LONG_MIN = -LONG_MAX - 1
INT_RANGE = "Python int too large to convert to C " + ("int" if LONG_MAX > 2**31 else "long")


@pytest.fixture(scope="module")
def syslog(load):
    return load("syslog")


PRIORITIES = {"LOG_EMERG": 0, "LOG_ALERT": 1, "LOG_CRIT": 2, "LOG_ERR": 3, "LOG_WARNING": 4,
              "LOG_NOTICE": 5, "LOG_INFO": 6, "LOG_DEBUG": 7}
OPTIONS = {"LOG_PID": 1, "LOG_CONS": 2, "LOG_NDELAY": 8, "LOG_ODELAY": 4, "LOG_NOWAIT": 16, "LOG_PERROR": 32}
FACILITIES = {"LOG_KERN": 0, "LOG_USER": 8, "LOG_MAIL": 16, "LOG_DAEMON": 24, "LOG_AUTH": 32, "LOG_LPR": 48,
              **{f"LOG_LOCAL{i}": 128 + 8 * i for i in range(8)},
              "LOG_SYSLOG": 40, "LOG_CRON": 72, "LOG_UUCP": 64, "LOG_NEWS": 56, "LOG_AUTHPRIV": 80}
FUNCTIONS = ["openlog", "closelog", "syslog", "setlogmask", "LOG_MASK", "LOG_UPTO"]


def test_module_surface(syslog):
    assert syslog.__doc__ is None
    names = [n for n in vars(syslog) if not n.startswith("__")]
    assert names == FUNCTIONS + list(PRIORITIES) + list(OPTIONS) + list(FACILITIES)
    for name in FUNCTIONS:
        assert getattr(syslog, name).__doc__ is None
    for name, value in {**PRIORITIES, **OPTIONS, **FACILITIES}.items():
        assert getattr(syslog, name) == value, name


# Masks are 32-bit ints: priorities 0..31 own one bit each, others none.
@pytest.mark.parametrize("p,mask,upto", [
    (0, 1, 1), (3, 8, 15), (7, 128, 255), (30, 2**30, 2**31 - 1),
    (31, -2**31, -1), (32, 0, -1), (40, 0, -1), (LONG_MAX // 2 + 1, 0, -1), (LONG_MAX, 0, -1),
    (-1, 0, 0), (-2, 0, 0), (LONG_MIN, 0, 0),
])
def test_masks_are_defined_for_every_priority(syslog, p, mask, upto):
    assert syslog.LOG_MASK(p) == mask
    assert syslog.LOG_UPTO(p) == upto


def test_masks_agree_with_the_c_macros(syslog):
    # In the range where the header's shifts are defined.
    for p in range(31):
        assert syslog.LOG_MASK(p) == 1 << p
        assert syslog.LOG_UPTO(p) == (1 << (p + 1)) - 1
    assert syslog.LOG_UPTO(syslog.LOG_DEBUG) == 255


# Each of these fails before the log is opened or touched.
BAD_CALLS = [
    ("syslog", (), TypeError, "[priority,] message string"),
    ("syslog", (1,), TypeError, "[priority,] message string"),
    ("syslog", (b"bytes",), TypeError, "[priority,] message string"),
    ("syslog", (1, 2, 3), TypeError, "[priority,] message string"),
    ("syslog", ("x", "y"), TypeError, "[priority,] message string"),
    ("syslog", ("\ud800",), UnicodeEncodeError, None),
    ("syslog", (3, "a\0b"), ValueError, "embedded null character"),
    ("setlogmask", (), TypeError, "mask for priority"),
    ("setlogmask", (1, 2), TypeError, "mask for priority"),
    ("setlogmask", ("x",), TypeError, None),
    ("setlogmask", (2**31,), OverflowError, INT_RANGE),
    ("openlog", (b"ident",), TypeError, "openlog() argument 1 must be str, not bytes"),
    ("openlog", ("ident", 2**31), OverflowError, INT_RANGE),
    ("openlog", ("ident", 0, -2**31 - 1), OverflowError, INT_RANGE),
    ("openlog", ("ident", 0, 2**64), OverflowError, None),
    ("openlog", ("\ud800",), UnicodeEncodeError, None),
    ("openlog", ("a\0b",), ValueError, "embedded null character"),
    ("openlog", ("a", 0, 8, 1), TypeError, None),
    ("LOG_MASK", ("3",), TypeError, None),
    ("LOG_UPTO", (2**64,), OverflowError, None),
    ("closelog", (1,), TypeError, None),
]


@pytest.mark.parametrize("name,args,exc,message", BAD_CALLS)
def test_bad_calls(syslog, name, args, exc, message):
    with pytest.raises(exc) as info:
        getattr(syslog, name)(*args)
    if message is not None:
        assert str(info.value) == message


def test_bad_keywords(syslog):
    with pytest.raises(TypeError):
        syslog.openlog(ident="x", options=1)
    with pytest.raises(TypeError):
        syslog.openlog(facility="local")


def test_closelog_when_not_open_does_nothing(syslog):
    assert syslog.closelog() is None


# The child binds the receiving end of /dev/log in its private /dev before any
# message; libc has queued each datagram by the time syslog() returns.
RECEIVER = """
import json, os, socket, sys
rx = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
rx.bind("/dev/log")
rx.setblocking(False)
def got():
    out = []
    try:
        while True:
            out.append(rx.recv(65536).decode("utf-8", "surrogateescape"))
    except BlockingIOError:
        return out
out = {}
"""

LINE = re.compile(r"<(\d+)>[A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d (.*?)(?:\[(\d+)\])?: (.*)\Z", re.S)


def parse(datagram):
    """(priority with facility, identifier, pid or None, message)."""
    m = LINE.match(datagram)
    assert m, datagram
    return int(m[1]), m[2], None if m[3] is None else int(m[3]), m[4]


def is_datagrams(value):
    return isinstance(value, list) and all(isinstance(d, str) and d.startswith("<") for d in value)


def logged(code, script="child", **kwargs):
    """Run `code` after RECEIVER in a namespace with a private /dev; returns
    the dict `out` it fills, datagram lists parsed."""
    proc = nsutil.run(script, private_dev=True, names=("syslog",),
                      code=RECEIVER + textwrap.dedent(code) + "\nprint(json.dumps(out))\n", **kwargs)
    out = json.loads(proc.stdout.strip().splitlines()[-1])
    return {k: [parse(d) for d in v] if is_datagrams(v) else v
            for k, v in out.items()}


@pytest.fixture(autouse=True)
def host_unchanged():
    # Nothing here may create the host's /dev/log.
    before = os.path.lexists("/dev/log")
    yield
    assert os.path.lexists("/dev/log") == before


@pytest.mark.namespace
def test_first_message_opens_with_the_defaults():
    out = logged("""
        sys.argv = ["/usr/local/bin/tool.py", "--flag"]
        syslog.syslog("hello")
        out["default"] = got()
        syslog.syslog(3, "an error")
        out["priority"] = got()
        syslog.syslog("100% %s %n %d %%")
        out["percent"] = got()
        syslog.syslog(syslog.LOG_LOCAL2 | syslog.LOG_NOTICE, "with a facility")
        out["facility"] = got()
        syslog.syslog("tab\\there, new\\nline, é ∑")
        out["text"] = got()
    """)
    assert out["default"] == [(8 | 6, "tool.py", None, "hello")]
    assert out["priority"] == [(8 | 3, "tool.py", None, "an error")]
    assert out["percent"] == [(14, "tool.py", None, "100% %s %n %d %%")]
    assert out["facility"] == [(144 | 5, "tool.py", None, "with a facility")]
    assert out["text"] == [(14, "tool.py", None, "tab\there, new\nline, é ∑")]


@pytest.mark.namespace
def test_openlog_options_and_facility():
    out = logged("""
        out["none"] = syslog.openlog("myident", syslog.LOG_PID, syslog.LOG_LOCAL3)
        syslog.syslog(syslog.LOG_ERR, "with pid")
        out["pid"] = got()
        out["getpid"] = os.getpid()
        syslog.openlog(facility=syslog.LOG_MAIL, ident="kw")
        syslog.syslog("by keyword")
        out["keywords"] = got()
        syslog.openlog(logoption=syslog.LOG_PID)
        syslog.syslog(syslog.LOG_DEBUG, "argv")
        out["default"] = got()
    """)
    assert out["none"] is None
    pid = out["getpid"]
    assert out["pid"] == [(152 + 3, "myident", pid, "with pid")]
    assert out["keywords"] == [(16 + 6, "kw", None, "by keyword")]
    # Without an identifier, openlog takes sys.argv[0] ("-c" for a -c child).
    assert out["default"] == [(8 + 7, "-c", pid, "argv")]


@pytest.mark.namespace
def test_setlogmask_filters_and_returns_the_previous_mask():
    out = logged("""
        out["first"] = syslog.setlogmask(syslog.LOG_UPTO(syslog.LOG_WARNING))
        out["zero"] = syslog.setlogmask(0)
        syslog.syslog(syslog.LOG_INFO, "dropped")
        syslog.syslog(syslog.LOG_ERR, "kept")
        out["upto"] = got()
        out["again"] = syslog.setlogmask(syslog.LOG_MASK(syslog.LOG_DEBUG))
        syslog.syslog(syslog.LOG_ERR, "dropped")
        syslog.syslog(syslog.LOG_DEBUG, "debug only")
        out["only"] = got()
        out["last"] = syslog.setlogmask(-1)
    """)
    assert out["first"] == 255
    assert out["zero"] == 31
    assert [m[3] for m in out["upto"]] == ["kept"]
    assert out["again"] == 31
    assert [m[3] for m in out["only"]] == ["debug only"]
    assert out["last"] == 128


@pytest.mark.namespace
def test_closelog_twice_and_reopen():
    out = logged("""
        out["before"] = syslog.closelog()
        syslog.openlog("first")
        syslog.syslog("a")
        out["a"] = got()
        out["close"] = [syslog.closelog(), syslog.closelog()]
        sys.argv = ["/opt/second"]
        syslog.syslog("b")
        out["b"] = got()
    """)
    assert out["before"] is None
    assert out["a"] == [(14, "first", None, "a")]
    assert out["close"] == [None, None]
    # The next message opens the log again, with the defaults.
    assert out["b"] == [(14, "second", None, "b")]


# sys.argv as some program left it -> the identifier used (None: libc's own,
# the program name).
ARGV_CASES = [
    ("sys.argv = ['/usr/local/bin/tool.py']", "tool.py"),
    ("sys.argv = ['plain']", "plain"),
    ("sys.argv = ['./rel/dir/x y']", "x y"),
    ("sys.argv = ['/a/é/ünï']", "ünï"),
    ("sys.argv = ['']", None),
    ("sys.argv = []", None),
    ("del sys.argv", None),
    ("sys.argv = ('/a/tuple',)", None),
    ("sys.argv = [b'/a/bytes']", None),
    ("sys.argv = [None]", None),
    ("sys.argv = ['/bin/' + bytes([0xff, 0xfe]).decode('utf-8', 'surrogateescape')]", None),
    ("sys.argv = ['/bin/a\\0b']", None),
]


@pytest.mark.namespace
def test_default_identifier_from_argv():
    cases = "\n".join(f"""
syslog.closelog()
{setup}
syslog.syslog("case {n}")
out["case{n}"] = got()
out["pending{n}"] = repr(sys.exc_info())
""" for n, (setup, _) in enumerate(ARGV_CASES))
    out = logged("program = os.path.basename(open('/proc/self/cmdline', 'rb').read().split(b'\\0')[0])\n"
                 "out['program'] = program.decode()\n" + cases)
    for n, (setup, ident) in enumerate(ARGV_CASES):
        expected = out["program"] if ident is None else ident
        assert out[f"case{n}"] == [(14, expected, None, f"case {n}")], setup
        assert out[f"pending{n}"] == repr((None, None, None))


@pytest.mark.namespace
def test_failed_reopen_keeps_the_old_identifier_alive():
    # libc keeps the identifier pointer: a failed openlog must leave the old
    # string alive, and a successful one must free it only afterwards.
    out = logged("""
        import gc
        ident = "".join(["run", "time", "-", str(os.getpid())])
        out["name"] = ident.encode().decode()  # a copy: ours must be the only reference
        syslog.openlog(ident)
        del ident
        for bad in ["\\ud800", "nul\\0inside"]:
            try:
                syslog.openlog(bad, syslog.LOG_PID)
            except (UnicodeEncodeError, ValueError) as exc:
                out.setdefault("errors", []).append(type(exc).__name__)
        gc.collect()
        junk = ["".join(["x"] * n) for n in range(1, 2000)]
        syslog.syslog("after failures")
        out["after"] = got()
        syslog.openlog("".join(["second", "-", "one"]))
        junk = ["".join(["y"] * n) for n in range(1, 2000)]
        syslog.syslog("after swap")
        out["swap"] = got()
    """)
    assert out["errors"] == ["UnicodeEncodeError", "ValueError"]
    assert out["after"] == [(14, out["name"], None, "after failures")]
    assert out["swap"] == [(14, "second-one", None, "after swap")]


@pytest.mark.namespace
def test_identifier_finalizer_calling_back_in():
    # Dropping an identifier may run its finalizer, which may open or close
    # the log again; what it did must hold afterwards.
    out = logged("""
        sys.argv = ["/bin/default-name"]

        class Reopens(str):
            def __del__(self):
                syslog.openlog("".join(["from", "-del"]))

        class Closes(str):
            def __del__(self):
                syslog.closelog()

        syslog.openlog(Reopens("first"))
        syslog.closelog()
        syslog.syslog("reopened by the finalizer")
        out["reopened"] = got()
        syslog.openlog(Closes("second"))
        syslog.openlog("".join(["third"]))
        syslog.syslog("closed by the finalizer")
        out["closed"] = got()
    """)
    assert out["reopened"] == [(14, "from-del", None, "reopened by the finalizer")]
    # Closed, so the message opens the log with the defaults again.
    assert out["closed"] == [(14, "default-name", None, "closed by the finalizer")]

@pytest.mark.namespace
def test_identifier_swaps_while_another_thread_logs():
    # The reader is another process, as a system logger is: openlog waits for
    # libc's lock while a sender holds it, so an in-process reader that needs
    # the interpreter lock could never drain the socket.
    out = logged("""
        import subprocess, threading
        reader_code = (
            "import json, socket, sys\\n"
            "rx = socket.socket(fileno=int(sys.argv[1]))\\n"
            "rx.setblocking(True)\\n"
            "print(json.dumps([rx.recv(65536).decode() for _ in range(400)]))\\n")
        reader = subprocess.Popen([sys.executable, "-I", "-c", reader_code, str(rx.fileno())],
                                  pass_fds=[rx.fileno()], stdout=subprocess.PIPE, text=True)
        names = ["".join(["ident", str(i)]) for i in range(50)]
        def writer():
            for i in range(400):
                syslog.syslog("m%d" % i)
        syslog.openlog(names[0])
        worker = threading.Thread(target=writer)
        worker.start()
        swaps = 0
        while worker.is_alive():
            for name in names:
                syslog.openlog("".join([name]))
                swaps += 1
        worker.join()
        out["received"] = json.loads(reader.communicate(timeout=60)[0])
        out["names"] = names
        out["swaps"] = swaps
    """, timeout=120)
    idents = {ident for _, ident, _, _ in out["received"]}
    assert len(out["received"]) == 400
    assert idents <= set(out["names"])
    assert out["swaps"] > 0


@pytest.mark.namespace
def test_the_lock_is_released_while_sending():
    # Nobody reads the socket, so its queue fills and syslog() blocks inside
    # libc; the main thread must still run Python code meanwhile.
    out = logged("""
        import threading, time
        count = 0
        def writer():
            global count
            for i in range(200):
                syslog.syslog("m%d" % i)
                count += 1
        worker = threading.Thread(target=writer, daemon=True)
        worker.start()
        # Wait until the writer has stopped making progress for a while.
        seen, still_since, deadline = -1, time.monotonic(), time.monotonic() + 20
        while time.monotonic() < deadline:
            time.sleep(0.02)
            if count != seen:
                seen, still_since = count, time.monotonic()
            elif count > 0 and time.monotonic() - still_since > 0.2:
                break
        out["stuck_at"] = count
        out["main_ran"] = sum(range(100000))
        rx.setblocking(True)
        drained = 0
        while drained < 200:
            rx.recv(65536)
            drained += 1
        worker.join(10)
        out["finished"] = not worker.is_alive() and count == 200
    """)
    assert 0 < out["stuck_at"] < 200
    assert out["main_ran"] == sum(range(100000))
    assert out["finished"]


RSYSLOG_CONF = """\
module(load="imuxsock" SysSock.Name="/dev/log")
template(name="plain" type="string" string="%PRI% %syslogtag%%msg%\\n")
if $syslogtag startswith "e2e" then action(type="omfile" file="{out}" template="plain")
"""


@pytest.mark.namespace
def test_end_to_end_through_rsyslogd(tmp_path):
    if shutil.which("rsyslogd") is None:
        pytest.skip("rsyslogd is not installed (Debian package rsyslog)")
    out_file = tmp_path / "messages"
    conf = tmp_path / "rsyslog.conf"
    conf.write_text(RSYSLOG_CONF.format(out=out_file))
    script = f"""
        rsyslogd -n -f {conf} -i /run/rsyslogd.pid &
        for i in $(seq 200); do [ -S /dev/log ] && break; sleep 0.02; done
        child
        for i in $(seq 200); do [ -s {out_file} ] && break; sleep 0.02; done
        kill %1
        wait || true
    """
    proc = nsutil.run(script, private_dev=True, names=("syslog",), code="""
        import os
        syslog.openlog("e2e", syslog.LOG_PID, syslog.LOG_LOCAL1)
        syslog.syslog(syslog.LOG_NOTICE, "through rsyslogd: 50% %s done")
        print(os.getpid())
    """)
    pid = int(proc.stdout.split()[-1])
    assert out_file.read_text() == f"{136 + 5} e2e[{pid}]: through rsyslogd: 50% %s done\n"


def test_only_the_init_function_is_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", harness.module_path("syslog")],
                         capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in out.splitlines()] == ["PyInit_syslog"]


def test_no_leak_in_masks_and_failures(syslog):

    def calls():
        syslog.LOG_MASK(3)
        syslog.LOG_UPTO(40)
        for args in [(), ("\ud800",), (1, "a\0b")]:
            try:
                syslog.syslog(*args)
            except (TypeError, UnicodeEncodeError, ValueError):
                pass
    grown = harness.memory_growth(calls)
    assert grown < 20000, grown
