import ctypes
import grp
import hashlib
import json
import os
import subprocess

import pytest

import harness
import nsutil


@pytest.fixture(scope="module")
def kelpin(load):
    return load("kelpin")


MODULE_DOC = (
    "This module provides access to the Unix shadow password database.\n"
    "It is available on various Unix versions.\n\n"
    "Shadow password database entries are reported as 9-tuples of type struct_kelpin,\n"
    "containing the following items from the password database (see `<shadow.h>'):\n"
    "sp_namp, sp_pwdp, sp_lstchg, sp_min, sp_max, sp_warn, sp_inact, sp_expire, sp_flag.\n"
    "The sp_namp and sp_pwdp are strings, the rest are integers.\n"
    "An exception is raised if the entry asked for cannot be found.\n"
    "You have to be root to be able to use this module."
)
TYPE_DOC = (
    "kelpin.struct_kelpin: Results from getsp*() routines.\n\n"
    "This object may be accessed either as a 9-tuple of\n"
    "  (sp_namp,sp_pwdp,sp_lstchg,sp_min,sp_max,sp_warn,sp_inact,sp_expire,sp_flag)\n"
    "or via the object attributes as named in the above tuple."
)
FIELDS = [
    ("sp_namp", "login name"), ("sp_pwdp", "encrypted password"), ("sp_lstchg", "date of last change"),
    ("sp_min", "min #days between changes"), ("sp_max", "max #days between changes"),
    ("sp_warn", "#days before pw expires to warn user about it"),
    ("sp_inact", "#days after pw expires until account is disabled"),
    ("sp_expire", "#days since 1970-01-01 when account expires"), ("sp_flag", "reserved"),
    ("sp_nam", "login name; deprecated"), ("sp_pwd", "encrypted password; deprecated"),
]
GETSPNAM_DOC = ("getspnam($module, arg, /)\n--\n\n"
                "Return the shadow password database entry for the given user name.\n\n"
                "See `help(kelpin)` for more on shadow password database entries.")
GETSPALL_DOC = ("getspall($module, /)\n--\n\n"
                "Return a list of all available shadow password database entries, in arbitrary order.\n\n"
                "See `help(kelpin)` for more on shadow password database entries.")


def split_doc(doc):
    signature, text = doc.split("\n--\n\n")
    return signature[signature.index("("):], text


def test_module_surface(kelpin):
    assert kelpin.__doc__ == MODULE_DOC
    assert [n for n in vars(kelpin) if not n.startswith("__")] == ["getspnam", "getspall", "struct_kelpin"]
    for function, doc in [(kelpin.getspnam, GETSPNAM_DOC), (kelpin.getspall, GETSPALL_DOC)]:
        signature, text = split_doc(doc)
        assert function.__text_signature__ == signature
        assert function.__doc__ == text


def test_struct_kelpin_type(kelpin):
    t = kelpin.struct_kelpin
    assert (t.__module__, t.__name__, t.__doc__) == ("kelpin", "struct_kelpin", TYPE_DOC)
    assert (t.n_fields, t.n_sequence_fields, t.n_unnamed_fields) == (11, 9, 0)
    assert [(name, getattr(t, name).__doc__) for name, _ in FIELDS] == FIELDS


@pytest.mark.parametrize("args,exc,message", [
    ((b"root",), TypeError, "getspnam() argument must be str, not bytes"),
    ((0,), TypeError, "getspnam() argument must be str, not int"),
    ((None,), TypeError, "getspnam() argument must be str, not None"),
    # Refused before any lookup.
    (("ro\0ot",), ValueError, "embedded null byte"),
    (("\ud800",), UnicodeEncodeError, None),
    ((), TypeError, None),
    (("a", "b"), TypeError, None),
])
def test_bad_names(kelpin, args, exc, message):
    with pytest.raises(exc) as info:
        kelpin.getspnam(*args)
    if message is not None:
        assert str(info.value) == message


def test_getspall_takes_no_arguments(kelpin):
    with pytest.raises(TypeError):
        kelpin.getspall(1)


# A private shadow file: a full entry, empty numeric fields, an empty
# password, an explicit flag with all 32 bits set, a UTF-8 name, a name that
# is not UTF-8 at all, and a malformed line libc skips.
SHADOW = (
    b"root:$6$saltsalt$Zm9vYmFyYmF6cXV4:19000:0:99999:7:::\n"
    b"daemon:*:19000:0:99999:7:::\n"
    b"\xc3\xa9milie:!:19500::::::\n"
    b"emptypw::0::::::\n"
    b"nums:$y$j9T$salt$hash:18000:1:90:14:30:20000:12345\n"
    b"this line is not an entry\n"
    b"flagged:x:1:2:3:4:5:6:4294967295\n"

    b"\xff\xfebytes:!!:1::::::\n"
)
NAMES = ["root", "daemon", "\u00e9milie", "emptypw", "nums", "flagged", "\udcff\udcfebytes"]
EXPECTED = {
    "root": ["root", "$6$saltsalt$Zm9vYmFyYmF6cXV4", 19000, 0, 99999, 7, -1, -1, -1],
    "daemon": ["daemon", "*", 19000, 0, 99999, 7, -1, -1, -1],
    "\u00e9milie": ["\u00e9milie", "!", 19500, -1, -1, -1, -1, -1, -1],
    "emptypw": ["emptypw", "", 0, -1, -1, -1, -1, -1, -1],
    "nums": ["nums", "$y$j9T$salt$hash", 18000, 1, 90, 14, 30, 20000, 12345],
    # The flag is an unsigned long: with 64 bits 2**32 - 1 stays positive;
    # with 32 (i386) it is all bits set and reads as -1.
    "flagged": ["flagged", "x", 1, 2, 3, 4, 5, 6, 4294967295 if ctypes.sizeof(ctypes.c_ulong) == 8 else -1],
    "\udcff\udcfebytes": ["\udcff\udcfebytes", "!!", 1, -1, -1, -1, -1, -1, -1],
}

CHILD = """
import json, os, sys
def entry(e):
    assert type(e) is kelpin.struct_kelpin and len(e) == 9
    assert (e.sp_nam, e.sp_pwd) == (e.sp_namp, e.sp_pwdp)
    return list(e)
def attempt(call):
    try:
        return entry(call())
    except Exception as exc:
        return [type(exc).__name__, str(exc)]
out = {"uid": os.getuid(), "all": [entry(e) for e in kelpin.getspall()]}
for name in json.loads(sys.argv[1]):
    out[name] = attempt(lambda: kelpin.getspnam(name))
# The cursor is rewound for every call.
out["again"] = [entry(e) for e in kelpin.getspall()]
print(json.dumps(out, ensure_ascii=True))
"""


def getent_entries(text):
    """getent's lines as entries, empty numeric fields read as libc gives them."""
    entries = []
    for line in text.splitlines():
        fields = line.split(":")
        entries.append(fields[:2] + [int(f) if f else -1 for f in fields[2:]])
        # getent is the host's program: on i386 a flag of all 32 bits set reads as -1.
        if entries[-1][-1] == 2 ** (8 * ctypes.sizeof(ctypes.c_ulong)) - 1:
            entries[-1][-1] = -1
    return entries


@pytest.fixture(autouse=True)
def host_shadow_unchanged():
    def digest():
        with open("/etc/shadow", "rb") as f:
            return hashlib.sha256(f.read()).hexdigest()
    before = digest() if os.path.exists("/etc/shadow") else None
    yield
    assert (digest() if before is not None else None) == before


@pytest.fixture
def private_shadow(tmp_path):
    shadow = tmp_path / "shadow"
    shadow.write_bytes(SHADOW)
    try:
        group = grp.getgrnam("shadow").gr_gid
    except KeyError:
        group = 0
    os.chown(shadow, 0, group)
    os.chmod(shadow, 0o640)
    nsswitch = tmp_path / "nsswitch.conf"
    nsswitch.write_text("passwd: files\ngroup: files\nshadow: files\n")
    return shadow, nsswitch


def run_with_shadow(shadow, nsswitch, names):
    script = f"""
        mount --bind {shadow} /etc/shadow
        mount --bind {nsswitch} /etc/nsswitch.conf
        getent shadow > /run/getent.txt || true
        child "$NAMES" > /run/root.json
        child_nobody "$NAMES" > /run/nobody.json
        cat /run/root.json /run/nobody.json /run/getent.txt
    """
    proc = nsutil.run(script, names=("kelpin",), code=CHILD, unprivileged=True,
                      env={"NAMES": json.dumps(names)})
    root, nobody, getent = proc.stdout.split("\n", 2)
    return json.loads(root), json.loads(nobody), getent


@pytest.mark.namespace
def test_entries_of_a_private_shadow_file(private_shadow):
    missing = ["nobody-here", "", "ROOT", "this line is not an entry", "\udcff"]
    root, nobody, getent = run_with_shadow(*private_shadow, NAMES + missing)
    assert root["uid"] == 0
    # The file's order, without the malformed line; getent agrees.
    assert root["all"] == [EXPECTED[name] for name in NAMES]
    assert getent_entries(getent) == root["all"]
    assert root["again"] == root["all"]
    for name in NAMES:
        assert root[name] == EXPECTED[name], name
    for name in missing:
        assert root[name] == ["KeyError", "'getspnam(): name not found'"], name

    # Without privilege libc reads nothing: no entries and no error.
    assert nobody["uid"] == 65534
    assert nobody["all"] == [] and nobody["again"] == []
    for name in NAMES + missing:
        assert nobody[name] == ["KeyError", "'getspnam(): name not found'"], name


@pytest.mark.namespace
def test_empty_shadow_file(private_shadow):
    shadow, nsswitch = private_shadow
    shadow.write_bytes(b"")
    root, nobody, getent = run_with_shadow(shadow, nsswitch, ["root"])
    assert root["all"] == [] and getent == ""
    assert root["root"] == ["KeyError", "'getspnam(): name not found'"]


# Code run by the collector (a callback here; a finalizer does the same) may
# look entries up while an earlier lookup still converts its result.
NESTED = """
import gc, json
def repeated(outer, nested):
    # With the threshold at 1 the collector starts inside most calls that
    # make objects; the callback then runs a nested lookup (not its own).
    busy, inner = [False], []
    def callback(phase, info):
        if phase == "start" and not busy[0]:
            busy[0] = True
            try:
                inner.append(nested())
            finally:
                busy[0] = False
    gc.collect()
    gc.callbacks.append(callback)
    gc.set_threshold(1)
    try:
        results = [outer() for _ in range(20)]
    finally:
        gc.set_threshold(700)
        gc.callbacks.remove(callback)
    return sorted(set(results)), sorted(set(inner))
names = lambda: tuple(e.sp_namp for e in kelpin.getspall())
out = {
    "long": len(kelpin.getspnam("long").sp_pwdp),
    "nam": repeated(lambda: kelpin.getspnam("root").sp_namp, lambda: kelpin.getspnam("user7").sp_namp),
    "all": repeated(names, lambda: len(kelpin.getspall())),
    "mixed": repeated(names, lambda: kelpin.getspnam("long").sp_namp),
}
print(json.dumps(out))
"""


@pytest.mark.namespace
def test_nested_lookups_and_long_entries(tmp_path):
    names = [f"user{i}" for i in range(12)] + ["long", "root"]
    shadow = tmp_path / "shadow"
    shadow.write_bytes(b"".join(b"%s:%s:1::::::\n" % (name.encode(), b"x" * (5000 if name == "long" else 1))
                                for name in names))
    nsswitch = tmp_path / "nsswitch.conf"
    nsswitch.write_text("passwd: files\ngroup: files\nshadow: files\n")
    proc = nsutil.run(f"""
        mount --bind {shadow} /etc/shadow
        mount --bind {nsswitch} /etc/nsswitch.conf
        child
    """, names=("kelpin",), code=NESTED, timeout=30)
    out = json.loads(proc.stdout)
    assert out["long"] == 5000
    assert out["nam"] == [["root"], ["user7"]]
    assert out["all"] == [[names], [len(names)]]
    assert out["mixed"] == [[names], ["long"]]

def test_only_the_init_function_is_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", harness.module_path("kelpin")],
                         capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in out.splitlines()] == ["PyInit_kelpin"]
