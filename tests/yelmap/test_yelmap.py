import json
import os
import shlex
import socket

import pytest

import harness
import nsutil
from nis_server import Map, NisServer, child_env

DOMAIN = "yelmap.test"
PASSWD = {
    b"root": b"x:0:0:root:/root:/bin/bash",
    b"alice": b"x:1000:1000:Alice:/home/alice:/bin/sh",
    b"caf\xe9": b"\xff\xfe:x:1001:1001::/:/bin/sh",  # neither is UTF-8
    b"empty": b"",
}
# Stored the traditional way, with the terminating NUL in keys and values,
# plus an empty value without one and an entry stored without NULs at all.
ALIASES = {
    b"postmaster\0": b"root\0",
    b"caf\xe9\0": b"\xff\xfe\0",
    b"nullval\0": b"\0",
    b"zerolen\0": b"",
    b"plain": b"stored without NUL",
}
LONGEST = "m" * 64  # the longest map name the map list carries
DOMAINS = {
    DOMAIN: {
        "passwd.byname": Map(PASSWD),
        "group.byname": Map({b"wheel": b"x:10:root,alice", b"users": b"x:100:"}),
        "hosts.byname": Map({b"nismaster": b"127.0.0.1 nismaster"}),
        "mail.aliases": Map(ALIASES, verbatim=True),
        # Not in the alias table: its NULs are data.
        "nulls.byname": Map({b"key\0": b"value\0"}, verbatim=True),
        "plain.map": Map({b"k": b"v"}),
        LONGEST: Map({b"k": b"v"}),
    },
    "other.test": {"passwd.byname": Map({b"root": b"x:0:0:other root:/:/bin/sh"})},
    # The maps name a master that does not resolve.
    "nohost.test": {"passwd.byname": Map({b"a": b"b"}, master="nohost")},
    # A map name longer than the map list may carry.
    "longname.test": {"passwd.byname": Map({b"a": b"b"}), "m" * 65: Map({b"k": b"v"})},
}
NO_KEY = ("yelmap.error", "No such key in map")
NO_MAP = ("yelmap.error", "No such map in server's domain")
UNBOUND = ("yelmap.error", "Can't bind to server which serves this domain")


def text(entries):
    return {os.fsdecode(k): os.fsdecode(v) for k, v in entries.items()}


@pytest.fixture(scope="module")
def yelmap(load):
    return load("yelmap")


def host_state():
    with open("/proc/sys/kernel/domainname") as f:
        domain = f.read()
    files = []
    for path in ("/etc/hosts", "/etc/yp.conf"):
        with open(path, "rb") as f:
            files.append(f.read())
    return socket.gethostname(), domain, files, sorted(os.listdir("/var/yp"))


@pytest.fixture(scope="session")
def server():
    nsutil.require()
    before = host_state()
    with NisServer(DOMAINS) as nis:
        yield nis
    assert not os.path.exists(f"/proc/{nis.pid}")
    assert host_state() == before


def test_module_surface(yelmap):
    assert yelmap.__doc__ == "This module contains functions for accessing NIS maps.\n"
    assert [n for n in vars(yelmap) if not n.startswith("__")] == ["match", "cat", "maps", "get_default_domain",
                                                                   "error"]
    assert (yelmap.error.__module__, yelmap.error.__name__, yelmap.error.__bases__) == ("yelmap", "error",
                                                                                        (Exception,))
    assert yelmap.match.__doc__ == (
        "match(key, map, domain = defaultdomain)\nCorresponds to the C library yp_match() call, returning the "
        "value of\nkey in the given map. Optionally domain can be specified but it\ndefaults to the system "
        "default domain.\n")
    assert yelmap.cat.__doc__ == (
        "cat(map, domain = defaultdomain)\nReturns the entire map as a dictionary. Optionally domain can be\n"
        "specified but it defaults to the system default domain.\n")
    assert yelmap.maps.__doc__ == (
        "maps(domain = defaultdomain)\nReturns an array of all available NIS maps within a domain. If domain\n"
        "is not specified it defaults to the system default domain.\n")
    assert yelmap.get_default_domain.__doc__ == (
        "get_default_domain() -> str\nCorresponds to the C library yp_get_default_domain() call, returning\n"
        "the default NIS domain.\n")
    # One class for the process, however often the module is loaded.
    assert harness.load("yelmap").error is yelmap.error


# Runs each call of a table in one child inside the namespaces.
CALLS = """
import json, sys
def attempt(fn, args, kwargs):
    try:
        return ["ok", getattr(yelmap, fn)(*args, **kwargs)]
    except Exception as exc:
        return [f"{type(exc).__module__}.{type(exc).__name__}", str(exc)]
print(json.dumps([attempt(*call) for call in json.loads(sys.argv[1])]))
"""


def run_table(run, table):
    return run(CALLS, json.dumps([(fn, args, kwargs) for fn, args, kwargs, _ in table]))


def check(table, answers, index):
    fn, args, kwargs, expected = table[index]
    kind, result = answers[index]
    if fn == "maps" and kind == "ok":
        result = sorted(result)  # the server lists its map files in directory order
    if expected[0] is TypeError:
        assert kind == "builtins.TypeError"
    else:
        assert [kind, result] == list(expected)


def ok(value):
    return ("ok", value)


SERVED = [
    ("match", ("root", "passwd"), {}, ok(PASSWD[b"root"].decode())),
    ("match", ("root", "passwd.byname"), {}, ok(PASSWD[b"root"].decode())),
    ("match", ("caf\udce9", "passwd"), {}, ok("\udcff\udcfe:x:1001:1001::/:/bin/sh")),
    ("match", ("empty", "passwd"), {}, ok("")),
    ("match", ("wheel", "group"), {}, ok("x:10:root,alice")),
    ("match", ("nismaster", "hosts"), {}, ok("127.0.0.1 nismaster")),
    # Both names of the alias map send the key's NUL and drop the value's.
    ("match", ("postmaster", "aliases"), {}, ok("root")),
    ("match", ("postmaster", "mail.aliases"), {}, ok("root")),
    ("match", ("caf\udce9", "aliases"), {}, ok("\udcff\udcfe")),
    ("match", ("nullval", "aliases"), {}, ok("")),
    ("match", ("zerolen", "aliases"), {}, ok("")),
    ("match", ("plain", "aliases"), {}, NO_KEY),
    ("match", ("k", "plain.map"), {}, ok("v")),
    ("match", ("key", "nulls.byname"), {}, NO_KEY),
    ("match", ("nobody", "passwd"), {}, NO_KEY),
    ("match", ("x", "nomap"), {}, NO_MAP),
    ("match", (), {"key": "root", "map": "passwd", "domain": "other.test"}, ok("x:0:0:other root:/:/bin/sh")),
    ("match", ("root", "passwd", DOMAIN), {}, ok(PASSWD[b"root"].decode())),
    ("match", ("root", "passwd", "unbound.test"), {}, ("yelmap.error", "Internal NIS error")),
    ("match", ("a\0b", "passwd"), {}, ("builtins.ValueError", "embedded null byte")),
    ("match", ("\ud800", "passwd"), {}, ("builtins.UnicodeEncodeError",
                                        "'utf-8' codec can't encode character '\\ud800' in position 0: "
                                        "surrogates not allowed")),
    ("match", ("root", "passwd", "a\0b"), {}, ("builtins.ValueError", "embedded null character")),
    ("match", ("root",), {}, (TypeError,)),
    ("cat", ("passwd",), {}, ok(text(PASSWD))),
    ("cat", ("passwd.byname",), {}, ok(text(PASSWD))),
    ("cat", ("aliases",), {}, ok({"postmaster": "root", "caf\udce9": "\udcff\udcfe", "nullval": "",
                                  "zerolen": "", "plain": "stored without NUL"})),
    ("cat", ("mail.aliases",), {}, ok(text({k.rstrip(b"\0"): v.rstrip(b"\0") for k, v in ALIASES.items()}))),
    ("cat", ("nulls.byname",), {}, ok({"key\0": "value\0"})),
    ("cat", ("nomap",), {}, NO_MAP),
    ("cat", (), {"map": "passwd", "domain": "other.test"}, ok({"root": "x:0:0:other root:/:/bin/sh"})),
    ("cat", ("passwd", "unbound.test"), {}, UNBOUND),
    ("cat", (), {}, (TypeError,)),
    ("maps", (), {}, ok(sorted(DOMAINS[DOMAIN]))),
    ("maps", (DOMAIN,), {}, ok(sorted(DOMAINS[DOMAIN]))),
    ("maps", (), {"domain": "other.test"}, ok(["passwd.byname"])),
    ("maps", ("unbound.test",), {}, ("yelmap.error", "No NIS master found for any map")),
    ("maps", ("nohost.test",), {}, ("yelmap.error", "nohost: RPC: Unknown host")),
    ("maps", ("longname.test",), {}, ("yelmap.error", "nismaster: RPC: Can't decode result")),
    ("get_default_domain", (), {}, ok(DOMAIN)),
    ("get_default_domain", (1,), {}, (TypeError,)),
]


@pytest.fixture(scope="module")
def served(server):
    return run_table(server.python, SERVED)


@pytest.mark.namespace
@pytest.mark.parametrize("index", range(len(SERVED)), ids=[f"{c[0]}{c[1] or c[2]}" for c in SERVED])
def test_calls_to_a_server(served, index):
    check(SERVED, served, index)


# No server at all, and no default domain: "(none)" is what the kernel holds
# until a domain name is set.
UNSET = [
    ("get_default_domain", (), {}, ("yelmap.error", "Local domain name not set")),
    ("match", ("root", "passwd"), {}, ("yelmap.error", "Local domain name not set")),
    ("cat", ("passwd",), {}, ("yelmap.error", "Local domain name not set")),
    ("maps", (), {}, ("yelmap.error", "Local domain name not set")),
    ("maps", (DOMAIN,), {}, ("yelmap.error", "No NIS master found for any map")),
]


@pytest.mark.namespace
def test_calls_without_a_domain():
    def run(code, calls):
        proc = nsutil.run(f"domainname '(none)'\nchild {shlex.quote(calls)}", names=("yelmap",), code=code,
                          env=child_env())
        return json.loads(proc.stdout)

    answers = run_table(run, UNSET)
    for index in range(len(UNSET)):
        check(UNSET, answers, index)


# ypmatch and ypcat of the same server as oracles, byte for byte: the whole
# map, and each of its keys looked up alone.
ORACLE = """
import json, os, sys
def match(key, alias, domain):
    try:
        return os.fsencode(yelmap.match(key, alias, domain)).hex()
    except yelmap.error:
        return None
out = []
for domain, alias in json.loads(sys.argv[1]):
    entries = yelmap.cat(alias, domain)
    out.append([[os.fsencode(k).hex(), os.fsencode(v).hex(), match(k, alias, domain)] for k, v in entries.items()])
print(json.dumps(out))
"""
ORACLE_MAPS = [(DOMAIN, "passwd.byname", "passwd"), (DOMAIN, "group.byname", "group"),
               (DOMAIN, "hosts.byname", "hosts.byname"), (DOMAIN, "mail.aliases", "aliases"),
               (DOMAIN, "plain.map", "plain.map"), ("other.test", "passwd.byname", "passwd")]


@pytest.mark.namespace
def test_match_and_cat_agree_with_ypmatch_and_ypcat(server):
    ours = server.python(ORACLE, json.dumps([(domain, alias) for domain, _, alias in ORACLE_MAPS]))
    for (domain, name, alias), rows in zip(ORACLE_MAPS, ours):
        entries = [(bytes.fromhex(k), bytes.fromhex(v), m if m is None else bytes.fromhex(m)) for k, v, m in rows]
        ypcat = server.run(["ypcat", "-k", "-d", domain, name])
        assert ypcat.returncode == 0, ypcat.stderr
        # In the server's order, as yp_all delivers it.
        assert ypcat.stdout == b"".join(k + b" " + v + b"\n" for k, v, _ in entries)
        # The alias map's key is sent with its NUL, so the one entry stored
        # without is not found (ypmatch tries both ways).
        assert [k for k, _, m in entries if m is None] == ([b"plain"] if alias == "aliases" else [])
        # ypmatch shows an empty value as a lone space, so those stay out.
        found = [(k, m) for k, v, m in entries if m]
        ypmatch = server.run(["ypmatch", "-d", domain] + [k for k, _ in found] + [name])
        assert ypmatch.returncode == 0, ypmatch.stderr
        assert ypmatch.stdout == b"".join(m + b"\n" for _, m in found)


# Failed lookups: our message is the reason ypmatch and ypcat give.
FAILURES = [
    (DOMAIN, "nobody", "passwd.byname"), (DOMAIN, "x", "nomap"), ("unbound.test", "root", "passwd.byname"),
    ("other.test", "alice", "passwd.byname"),
]
FAILURE_CHILD = """
import json, sys
out = []
for domain, key, name in json.loads(sys.argv[1]):
    for call in (lambda: yelmap.match(key, name, domain), lambda: yelmap.cat(name, domain)):
        try:
            out.append(repr(call()))
        except yelmap.error as exc:
            out.append(str(exc))
print(json.dumps(out))
"""


@pytest.mark.namespace
def test_failures_agree_with_ypmatch_and_ypcat(server):
    ours = iter(server.python(FAILURE_CHILD, json.dumps(FAILURES)))
    for domain, key, name in FAILURES:
        for tool in (["ypmatch", "-d", domain, key, name], ["ypcat", "-d", domain, name]):
            proc = server.run(tool)
            message = next(ours)
            if proc.returncode == 0:
                continue  # the map exists: only ypmatch fails
            assert proc.stderr.decode().rstrip("\n").endswith(f" Reason: {message}"), (tool, message)


# The server is stopped while a lookup waits for it; a thread counting in the
# meantime must keep going. An outside process wakes the server, so a lookup
# that held the interpreter lock would only be slow, not hang.
WAITING = """
import json, os, signal, subprocess, sys, threading, time
ypserv = int(sys.argv[1])
ticks = 0
done = threading.Event()
def count():
    global ticks
    while not done.is_set():
        ticks += 1
        time.sleep(0.001)
counter = threading.Thread(target=count)
counter.start()
out = {}
for name, call in [("match", lambda: yelmap.match("root", "passwd")), ("cat", lambda: yelmap.cat("group"))]:
    os.kill(ypserv, signal.SIGSTOP)
    waker = subprocess.Popen(["sh", "-c", f"sleep 0.3; kill -CONT {ypserv}"])
    start, began = ticks, time.monotonic()
    result = call()
    out[name] = [ticks - start, time.monotonic() - began, result]
    waker.wait()
done.set()
counter.join()
print(json.dumps(out))
"""


@pytest.mark.namespace
def test_other_threads_run_while_a_lookup_waits(server):
    out = server.python(WAITING, server.ypserv_pid)
    assert out["match"][2] == PASSWD[b"root"].decode()
    assert out["cat"][2] == text(DOMAINS[DOMAIN]["group.byname"].entries)
    for name, (ticks, waited, _) in out.items():
        assert waited >= 0.25, name
        assert ticks >= 50, (name, ticks, waited)


# Bytes malloc holds after many map lists (after a warm-up), for each way the
# call can end, per call. libnsl and libtirpc themselves keep some 30-80 bytes
# a call here; the decoded list, if kept, would add about 500 for the default
# domain and 120 for the one whose list fails to decode half-way.
GROWTH = """
import ctypes, json, sys
class Mallinfo2(ctypes.Structure):
    _fields_ = [(n, ctypes.c_size_t) for n in
                "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]
libc = ctypes.CDLL(None)
try:  # the sanitizer's allocator, when it stands in for malloc
    allocated = libc.__sanitizer_get_current_allocated_bytes
    allocated.restype = ctypes.c_size_t
except AttributeError:
    libc.mallinfo2.restype = Mallinfo2
    allocated = lambda: libc.mallinfo2().uordblks
def attempt(domain):
    try:
        yelmap.maps(domain)
    except yelmap.error:
        pass
out = {}
for domain in json.loads(sys.argv[1]):
    for _ in range(20):
        attempt(domain)
    start = allocated()
    for _ in range(150):
        attempt(domain)
    out[domain] = (allocated() - start) / 150
print(json.dumps(out))
"""


@pytest.mark.namespace
def test_maps_releases_what_it_decoded(server):
    growth = server.python(GROWTH, json.dumps([DOMAIN, "longname.test", "nohost.test"]))
    assert all(per_call < 100 for per_call in growth.values()), growth


# A failed allocation part-way through the enumeration, at every point in
# turn: cat raises it, and never returns the entries it had so far.
OUT_OF_MEMORY = """
import ctypes, json, sys
faults = ctypes.PyDLL(sys.argv[1])
full = yelmap.cat("passwd")
outcomes = []
for n in range(1000):
    try:
        faults.fail_object_alloc_after(n)
        outcome = "full" if yelmap.cat("passwd") == full else "partial"
    except MemoryError:
        outcome = "MemoryError"
    if faults.object_alloc_failure_pending():
        break
    outcomes.append(outcome)
print(json.dumps(outcomes))
"""


@pytest.mark.namespace
def test_cat_raises_a_failure_inside_the_enumeration(server):
    outcomes = server.python(OUT_OF_MEMORY, harness.library_path("yelmap_fault_alloc", "yelmap"))
    # Each entry decodes two strings: failures land in every one of them.
    assert len(outcomes) >= 2 * len(PASSWD)
    assert set(outcomes) == {"MemoryError"}, outcomes


# The whole server goes away (its main process, which holds the connection,
# and the child streaming the map) once the first entries are on their way.
# The killer is a process of its own, so the lookup's use of the interpreter
# lock cannot delay it.
KILLER = """
import os, signal, sys, time
ypserv = int(sys.argv[1])
print("ready", flush=True)
while True:
    with open(f"/proc/{ypserv}/task/{ypserv}/children") as f:
        children = [int(c) for c in f.read().split()]
    for child in children:
        with open(f"/proc/{child}/io") as f:
            written = int(f.read().split()[3])
        if written:
            os.kill(ypserv, signal.SIGKILL)
            os.kill(child, signal.SIGKILL)
            print(written)
            sys.exit()
    time.sleep(0.0002)
"""
STOPPED = """
import json, subprocess, sys
killer = subprocess.Popen([sys.executable, "-I", "-c", sys.argv[2], sys.argv[1]], stdout=subprocess.PIPE, text=True)
assert killer.stdout.readline() == "ready\\n"
try:
    result = ["ok", len(yelmap.cat("big"))]
except yelmap.error as exc:
    result = ["yelmap.error", str(exc)]
print(json.dumps([result, int(killer.stdout.read())]))
"""
# Written by our own writer: makedbm takes minutes over lines this long.
BIG = {b"k%d" % i: b"v" * 4000 for i in range(4000)}


@pytest.mark.namespace
def test_cat_fails_when_the_server_stops_mid_stream():
    nsutil.require()
    with NisServer({"big.test": {"big": Map(BIG, verbatim=True)}}) as nis:
        (kind, detail), written = nis.python(STOPPED, nis.ypserv_pid, KILLER)
    # Killed well before the whole map was sent; what arrived is not the map.
    assert 0 < written < len(BIG) * 4000 // 2
    # libnsl tries again, finds no server and says so; entries that had
    # arrived are not reported as the map.
    assert kind == "yelmap.error", detail


# What ypserv never answers to a client that found a master: a status other
# than success, and an empty list. Our test server gives both.
@pytest.mark.namespace
def test_maps_reports_what_the_server_refuses():
    nsutil.require()
    domains = {"full.test": {}, "nodom.test": {}, "empty.test": {}}
    with NisServer(domains, fake=True) as nis:
        answers = run_table(nis.python, [("maps", (d,), {}, None) for d in domains])
    assert answers == [["ok", ["passwd.byname"]],
                       ["yelmap.error", "Can't bind to server which serves this domain"],
                       ["yelmap.error", "No maps found in domain empty.test"]]
