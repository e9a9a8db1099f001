import ctypes
import gc
import glob
import os
import subprocess
import sys
import weakref

import pytest

import harness

# foo adds two C longs: 64 bits on x86_64, 32 on i386.
LONG_MAX = 2 ** (8 * ctypes.sizeof(ctypes.c_long) - 1) - 1
LONG_MIN = -LONG_MAX - 1


@pytest.fixture(scope="module")
def trevask(load):
    return load("trevask")


def test_one_abi3_library(trevask):
    assert os.path.basename(trevask.__file__) == "trevask.abi3.so"
    nm = subprocess.run(["nm", "-D", "--defined-only", trevask.__file__], capture_output=True, text=True,
                        check=True).stdout
    assert [line.split()[-1] for line in nm.splitlines()] == ["PyInit_trevask"]


def other_interpreters():
    """Every CPython 3.8-3.13 on the machine for this one's architecture
    (the running one, Debian's and pyenv's): an i386 build loads in none of
    the amd64 interpreters."""
    found = [sys.executable, "/usr/bin/python3"]
    root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    for minor in range(8, 14):
        found += sorted(glob.glob(os.path.join(root, "versions", f"3.{minor}.*", "bin", "python3")))
    found = list(dict.fromkeys(p for p in found if os.path.exists(p)))
    return [p for p in found if p == sys.executable or _word_size(p) == ctypes.sizeof(ctypes.c_void_p)]


def _word_size(python):
    out = subprocess.run([python, "-I", "-c", "import struct; print(struct.calcsize('P'))"],
                         capture_output=True, text=True, timeout=60).stdout
    return int(out) if out.strip().isdigit() else None


CROSS_CHECK = """
import gc, sys
o = trevask.new()
o.me = o
assert trevask.foo(2, 3) == 5 and o.demo("x") == "x"
for _ in range(20000):
    x = trevask.new()
    x.me = x
del x, o
gc.collect()
print(sys.version_info[:2], trevask.__file__)
"""


def test_the_same_binary_loads_under_every_interpreter(trevask):
    pythons = other_interpreters()
    if len(pythons) < 2:
        pytest.skip("only one interpreter of this architecture on this machine")
    source = harness.loader_source("trevask") + CROSS_CHECK
    seen = set()
    for python in pythons:
        proc = subprocess.run([python, "-I", "-c", source], capture_output=True, text=True, timeout=60)
        assert proc.returncode == 0, (python, proc.stderr)
        assert proc.stdout.rstrip().endswith(trevask.__file__), proc.stdout
        seen.add(proc.stdout.split(")")[0])
    assert len(seen) >= 2


def test_module_surface(trevask):
    assert trevask.__doc__ == "This is a template module just for instruction."
    names = sorted(n for n in vars(trevask) if not n.startswith("__"))
    assert names == ["Null", "Str", "Xxo", "error", "foo", "new", "roj"]
    assert trevask.roj.__doc__ == "roj(a,b) -> None"
    assert trevask.foo.__doc__ == "foo(i,j)\n\nReturn the sum of i and j."
    assert trevask.new.__doc__ == "new() -> new Xx object"
    assert trevask.Xxo.__doc__ == "The Xxo type"
    assert trevask.Xxo.demo.__doc__ == "demo() -> None"
    for name in ("Xxo", "Str", "Null"):
        cls = getattr(trevask, name)
        assert (cls.__module__, cls.__name__) == ("trevask", name)
    assert issubclass(trevask.error, Exception)
    assert (trevask.error.__module__, trevask.error.__name__) == ("trevask", "error")


@pytest.mark.parametrize("args,expected", [
    ((2, 3), 5),
    ((-7, 7), 0),
    ((-(2**31), -(2**31)), -(2**32)),
    # The sum of two longs is exact past the range of long.
    ((LONG_MAX, 1), LONG_MAX + 1),
    ((LONG_MIN, LONG_MIN), 2 * LONG_MIN),
])
def test_foo(trevask, args, expected):
    assert trevask.foo(*args) == expected


@pytest.mark.parametrize("args,exc", [
    ((LONG_MAX + 1, 0), OverflowError),
    ((1.5, 2), TypeError),
    (("1", 2), TypeError),
    ((1,), TypeError),
])
def test_foo_rejects(trevask, args, exc):
    with pytest.raises(exc):
        trevask.foo(*args)


# "O#" is not a format the argument parser knows: one argument reaches the
# format check, any other count fails the arity check first.
@pytest.mark.parametrize("args,exc,message", [
    ((1,), SystemError, "bad format string: O#:roj"),
    ((b"ab",), SystemError, "bad format string: O#:roj"),
    ((), TypeError, "roj() takes exactly 1 argument (0 given)"),
    ((1, 2), TypeError, "roj() takes exactly 1 argument (2 given)"),
])
def test_roj_reports_what_the_parser_does_with_its_format(trevask, args, exc, message):
    with pytest.raises(exc) as info:
        trevask.roj(*args)
    assert str(info.value) == message


def test_new_takes_no_arguments(trevask):
    with pytest.raises(TypeError):
        trevask.new(1)


class Text(str):
    pass


@pytest.mark.parametrize("args,same", [(("x",), True), ((Text("y"),), True), ((5,), False), ((), False),
                                       ((b"x",), False)])
def test_demo(trevask, args, same):
    result = trevask.new().demo(*args)
    assert result is (args[0] if same else None)


def test_demo_rejects_two_arguments(trevask):
    with pytest.raises(TypeError):
        trevask.new().demo(1, 2)


@pytest.mark.parametrize("make", [lambda t: t.new(), lambda t: t.Xxo()], ids=["new", "Xxo"])
def test_attribute_dictionary(trevask, make):
    o = make(trevask)
    with pytest.raises(AttributeError):
        o.a
    o.a = 1
    o.b = [2]
    assert (o.a, o.b) == (1, [2])
    o.a = "one"
    assert o.a == "one"
    del o.a
    with pytest.raises(AttributeError):
        o.a
    with pytest.raises(AttributeError) as info:
        del o.a
    assert str(info.value) == "delete non-existing Xxo attribute"
    # Instance attributes come first, so they may hide a method.
    o.demo = 7
    assert o.demo == 7
    assert o.b == [2]


def test_delete_before_any_attribute_is_set(trevask):
    with pytest.raises(AttributeError) as info:
        del trevask.new().never
    assert str(info.value) == "delete non-existing Xxo attribute"


def test_new_uses_a_type_of_its_own(trevask):
    o = trevask.new()
    assert type(o).__name__ == "Xxo"
    assert not isinstance(o, trevask.Xxo)
    assert type(o) is not trevask.Xxo
    assert type(trevask.new()) is type(o)


def test_null_compares_by_identity_only(trevask):
    a, b = trevask.Null(), trevask.Null()
    assert a == a and a != b and not (a == b)
    for op in ("__lt__", "__le__", "__gt__", "__ge__"):
        assert getattr(a, op)(b) is NotImplemented
    with pytest.raises(TypeError):
        a < b


def test_str_and_null_can_be_subclassed(trevask):
    class Word(trevask.Str):
        pass

    class Nothing(trevask.Null):
        pass

    w = Word("ab")
    assert w == "ab" and isinstance(w, str) and isinstance(w, trevask.Str)
    assert trevask.Str("cd").upper() == "CD"
    assert isinstance(Nothing(), trevask.Null)


def test_error_is_made_once_and_new_follows_the_last_execution(trevask):
    again = harness.load("trevask")
    assert again is not trevask
    assert again.error is trevask.error
    assert again.Xxo is not trevask.Xxo
    # new() of either module now makes instances of the type the last
    # execution made; earlier instances keep theirs.
    old = trevask.new()
    assert type(trevask.new()) is type(again.new())
    assert type(old) is type(again.new())
    assert not isinstance(again.new(), (trevask.Xxo, again.Xxo))
    with pytest.raises(trevask.error):
        raise again.error("x")


class Marker:
    pass


def test_traverse_reports_type_and_attributes(trevask):
    o = trevask.new()
    assert gc.get_referents(o) == [type(o)]
    o.a = 1
    dicts = [r for r in gc.get_referents(o) if isinstance(r, dict)]
    assert dicts == [{"a": 1}]
    assert gc.is_tracked(o)


def test_finalizer_releases_attributes(trevask):
    o = trevask.new()
    marker = Marker()
    o.marker = marker
    ref = weakref.ref(marker)
    del marker
    assert ref() is not None
    del o
    assert ref() is None


@pytest.mark.parametrize("make", [lambda t: t.new(), lambda t: t.Xxo()], ids=["new", "Xxo"])
def test_cycles_through_attributes_are_collected(trevask, make):
    gc.collect()
    o, p = make(trevask), make(trevask)
    marker = Marker()
    ref = weakref.ref(marker)
    o.peer, p.peer, o.marker = p, o, marker
    o.me = o
    del o, p, marker
    assert ref() is not None  # held by the cycle alone
    gc.collect()
    assert ref() is None


def test_many_objects_are_created_and_collected(trevask):
    kind = type(trevask.new())
    gc.collect()
    before = sys.getrefcount(kind)
    for i in range(100_000):
        o = trevask.new()
        if i % 2:
            o.me = o
    del o
    gc.collect()
    assert sys.getrefcount(kind) == before


def test_execution_in_a_sub_interpreter_replaces_the_type_of_new():
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("no sub-interpreter helper")
    proc = harness.run_child("""
        import _testcapi, gc
        before = type(trevask.new())
        code = "\\n".join([
            "import importlib.machinery as m, importlib.util as u",
            f"p = {trevask.__file__!r}",
            "spec = u.spec_from_file_location('trevask', p, loader=m.ExtensionFileLoader('trevask', p))",
            "mod = u.module_from_spec(spec)",
            "spec.loader.exec_module(mod)",
            "o = mod.new()",
            "o.x = o",
            "assert o.demo('a') == 'a'",
        ])
        assert _testcapi.run_in_subinterp(code) == 0
        o = trevask.new()
        assert type(o) is not before and type(o).__name__ == "Xxo"
        o.a = [1]
        o.me = o
        assert o.a == [1] and o.demo("z") == "z"
        del o
        gc.collect()
        print("ok")
    """, "trevask")
    assert proc.stdout == "ok\n"


# A str subclass as an attribute name runs Python code inside the dictionary
# lookup; here that code calls the finalizer (exposed as __del__), which drops
# the dictionary, and refills the freed memory with bytes.
CLEARED_DURING_LOOKUP = """
    o = {make}
    o.a = 1

    class Name(str):
        def __hash__(self):
            spare = [dict() for _ in range(300)]  # fill the dict free list
            del spare
            o.__del__()
            Name.junk = [bytes([0x41] * 15 + [i]) for i in range(50)]
            return str.__hash__(self)

    print(getattr(o, Name("a"), None), getattr(o, "a", None))
"""


@pytest.mark.parametrize("make", ["trevask.new()", "trevask.Xxo()"])
def test_lookup_survives_the_dictionary_being_cleared(make):
    proc = harness.run_child(CLEARED_DURING_LOOKUP.format(make=make), "trevask")
    assert proc.stdout == "1 None\n"


def test_replaced_value_may_clear_the_dictionary(trevask):
    o = trevask.new()

    class Clears:
        def __del__(self):
            o.__del__()

    o.a = Clears()
    o.a = 2  # the old value's finalizer runs inside the assignment
    with pytest.raises(AttributeError):
        o.a
    o.b = Clears()
    del o.b
    o.c = 3
    assert o.c == 3
