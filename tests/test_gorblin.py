import ctypes
import gc
import subprocess
import sys
import types
import weakref

import pytest

import harness

# foo adds two C longs: 64 bits on x86_64, 32 on i386.
LONG_MAX = 2 ** (8 * ctypes.sizeof(ctypes.c_long) - 1) - 1
LONG_MIN = -LONG_MAX - 1


@pytest.fixture(scope="module")
def path():
    return harness.module_path("_gorblin")


@pytest.fixture(scope="module")
def gorblin(path):
    return harness.load("_gorblin", path)


LATIN = "_gorblin_zkouška_načtení"
KANA = "＿インポートテスト"


def module_def_name(module):
    """The m_name of the module's definition, read through the C API."""
    get_def = ctypes.pythonapi.PyModule_GetDef
    get_def.restype, get_def.argtypes = ctypes.c_void_p, [ctypes.py_object]
    address = get_def(module)
    # PyModuleDef: object header (two words), m_init, m_index, m_copy, m_name
    return ctypes.c_char_p.from_address(address + 5 * ctypes.sizeof(ctypes.c_void_p)).value.decode(), address


@pytest.mark.parametrize("name,def_name,doc", [
    ("_gorblin", "main", "Test module main"),
    ("x", "main", "Test module main"),
    ("imp_dummy", "imp_dummy", "Test module imp_dummy"),
])
def test_main_module_under_each_name(path, name, def_name, doc):
    mod = harness.load(name, path)
    assert isinstance(mod, types.ModuleType)
    # The loader names a multi-phase module after the import, not the definition.
    assert mod.__name__ == name
    assert module_def_name(mod)[0] == def_name
    assert mod.__doc__ == doc
    assert sorted(n for n in vars(mod) if not n.startswith("__")) == [
        "Example", "Str", "call_state_registration_func", "error", "foo", "int_const", "str_const"]
    assert (mod.int_const, mod.str_const) == (1969, "something different")
    assert mod.foo.__doc__ == "foo(i,j)\n\nReturn the sum of i and j."
    assert mod.call_state_registration_func.__doc__ == (
        "register_state(0): call PyState_FindModule()\n"
        "register_state(1): call PyState_AddModule()\n"
        "register_state(2): call PyState_RemoveModule()")


def test_names_share_the_main_definition(path):
    addresses = {name: module_def_name(harness.load(name, path))[1] for name in ("_gorblin", "x", "imp_dummy")}
    assert addresses["_gorblin"] == addresses["x"] != addresses["imp_dummy"]


@pytest.mark.parametrize("name,doc", [
    ("_gorblin_null_slots", "Test module _gorblin_null_slots"),
    (LATIN, "Module named in Czech"),
    (KANA, "Module named in Japanese"),
])
def test_plain_modules(path, name, doc):
    mod = harness.load(name, path)
    assert isinstance(mod, types.ModuleType)
    assert (mod.__name__, mod.__doc__) == (name, doc)
    assert [n for n in vars(mod) if not n.startswith("__")] == []


def test_non_ascii_names_export_their_punycode():
    nm = subprocess.run(["nm", "-D", "--defined-only", harness.module_path("_gorblin")], capture_output=True,
                        text=True, check=True).stdout
    exported = {line.split()[-1] for line in nm.splitlines()}
    for name in (LATIN, KANA):
        assert "PyInitU_" + name.encode("punycode").decode("ascii").replace("-", "_") in exported


def test_nonmodule(path):
    obj = harness.load("_gorblin_nonmodule", path)
    assert not isinstance(obj, types.ModuleType)
    assert type(obj) is types.SimpleNamespace
    assert obj.three == 3


@pytest.mark.parametrize("args,expected", [((1, 2), 3), ((-5, 2), -3), ((LONG_MAX, LONG_MAX), 2 * LONG_MAX),
                                           ((LONG_MIN, -1), LONG_MIN - 1)])
def test_foo(gorblin, args, expected):
    assert gorblin.foo(*args) == expected


@pytest.mark.parametrize("args,exc", [((LONG_MAX + 1, 0), OverflowError), ((1,), TypeError), (("a", 1), TypeError)])
def test_foo_rejects(gorblin, args, exc):
    with pytest.raises(exc):
        gorblin.foo(*args)


def test_types_and_exception(gorblin):
    ex = gorblin.Example
    assert (ex.__module__, ex.__name__, ex.__doc__) == ("_testimportexec", "Example", "The Example type")
    assert ex.demo.__doc__ == "demo() -> None"
    assert (gorblin.Str.__module__, gorblin.Str.__name__) == ("_testimportexec", "Str")
    assert issubclass(gorblin.Str, str) and gorblin.Str("ab") == "ab"

    class Sub(gorblin.Str):
        pass

    assert Sub("c") + "d" == "cd"
    assert issubclass(gorblin.error, Exception)
    assert (gorblin.error.__module__, gorblin.error.__name__) == ("_testimportexec", "error")


def test_every_import_makes_its_own_objects(path, gorblin):
    again = harness.load("_gorblin", path)
    for name in ("Example", "Str", "error"):
        assert getattr(again, name) is not getattr(gorblin, name)


class Text(str):
    pass


def test_example_demo(gorblin):
    o = gorblin.Example()
    text = Text("t")
    assert o.demo("x") == "x" and o.demo(text) is text
    assert o.demo(5) is None and o.demo() is None
    with pytest.raises(TypeError):
        o.demo(1, 2)


def test_example_attributes(gorblin):
    o = gorblin.Example()
    with pytest.raises(AttributeError) as info:
        del o.a
    assert str(info.value) == "delete non-existing Example attribute"
    o.a = 1
    assert o.a == 1
    del o.a
    with pytest.raises(AttributeError):
        o.a
    with pytest.raises(AttributeError) as info:
        del o.a
    assert str(info.value) == "delete non-existing Example attribute"


class Marker:
    pass


def test_example_cycles_are_collected(gorblin):
    o = gorblin.Example()
    marker = Marker()
    ref = weakref.ref(marker)
    o.me, o.marker = o, marker
    assert type(o) in gc.get_referents(o)
    del o, marker
    assert ref() is not None
    gc.collect()
    assert ref() is None


def test_state_registration(path):
    # The registry of single-instance modules is the interpreter's, and it
    # turns multi-phase modules away; run apart so nothing stays registered.
    proc = harness.run_child("""
        for i in (0, 1, 2, 0, 7):
            try:
                print(i, repr(_gorblin.call_state_registration_func(i)))
            except Exception as exc:
                print(i, type(exc).__name__, exc)
    """, "_gorblin")
    assert proc.stdout.splitlines() == [
        "0 None",
        "1 SystemError PyState_AddModule called on module with slots",
        "2 SystemError PyState_RemoveModule called on module with slots",
        "0 None",
        "7 None",
    ]


def bad_slot_large():
    # One past the highest slot the running interpreter defines.
    return 3 + (sys.version_info >= (3, 12)) + (sys.version_info >= (3, 13))


FAULTY = [
    ("_gorblin_nonmodule_with_exec_slots",
     "module _gorblin_nonmodule_with_exec_slots specifies execution slots, but did not create a ModuleType instance"),
    ("_gorblin_create_int_with_state",
     "module _gorblin_create_int_with_state is not a module object, but requests module state"),
    ("_gorblin_negative_size",
     "module _gorblin_negative_size: m_size may not be negative for multi-phase initialization"),
    ("_gorblin_bad_slot_large", f"module _gorblin_bad_slot_large uses unknown slot ID {bad_slot_large()}"),
    ("_gorblin_bad_slot_negative", "module _gorblin_bad_slot_negative uses unknown slot ID -1"),
    ("_gorblin_create_null", "creation of module _gorblin_create_null failed without setting an exception"),
    ("_gorblin_create_raise", "bad create function"),
    ("_gorblin_create_unreported_exception",
     "creation of module _gorblin_create_unreported_exception raised unreported exception"),
    ("_gorblin_exec_err", "execution of module _gorblin_exec_err failed without setting an exception"),
    ("_gorblin_exec_raise", "bad exec function"),
    ("_gorblin_exec_unreported_exception",
     "execution of module _gorblin_exec_unreported_exception raised unreported exception"),
    ("_gorblin_export_null", "initialization of _gorblin_export_null failed without raising an exception"),
    ("_gorblin_export_raise", "bad export function"),
    ("_gorblin_export_unreported_exception",
     "initialization of _gorblin_export_unreported_exception raised unreported exception"),
    ("_gorblin_export_uninitialized", "init function of _gorblin_export_uninitialized returned uninitialized object"),
]

LOAD_FAULTY = """
    import importlib.machinery, importlib.util, sys
    name, path = sys.argv[1:]
    loader = importlib.machinery.ExtensionFileLoader(name, path)
    spec = importlib.util.spec_from_file_location(name, path, loader=loader)
    try:
        module = importlib.util.module_from_spec(spec)
        sys.modules[name] = module
        spec.loader.exec_module(module)
    except BaseException as exc:
        print(type(exc).__name__)
        print(exc)
        print(exc.__cause__)
    else:
        print("loaded", type(module).__name__)
"""


@pytest.mark.parametrize("name,message", FAULTY, ids=[name for name, _ in FAULTY])
def test_loader_refuses_faulty_variant(path, name, message):
    # Each in a fresh interpreter: a loader that missed the fault could crash.
    proc = subprocess.run([sys.executable, "-I", "-c", LOAD_FAULTY.replace("\n    ", "\n"), name, path],
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    kind, text, cause = proc.stdout.splitlines()
    assert (kind, text) == ("SystemError", message)
    # Where the interpreter chains the exception the fault left pending, it
    # is the one the faulty function raised.
    if "unreported" in message:
        assert cause in ("None", "bad create function", "bad exec function", "bad export function")


SLOT = [("slot", ctypes.c_int), ("value", ctypes.c_void_p)]


class ModuleDefSlot(ctypes.Structure):
    _fields_ = SLOT


def test_exported_slot_arrays(path):
    lib = ctypes.PyDLL(path)
    main = (ModuleDefSlot * 2).in_dll(lib, "main_slots")
    create_null = (ModuleDefSlot * 2).in_dll(lib, "slots_create_null")
    py_mod_create, py_mod_exec = 1, 2
    assert (main[0].slot, main[1].slot, main[1].value) == (py_mod_exec, 0, None)
    assert (create_null[0].slot, create_null[1].slot, create_null[1].value) == (py_mod_create, 0, None)

    # The exec function fills any module object it is given.
    exec_main = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(main[0].value)
    target = types.ModuleType("target")
    assert exec_main(target) == 0
    assert (target.int_const, target.str_const) == (1969, "something different")
    assert issubclass(target.Str, str) and target.Example().demo("q") == "q"

    # The create function returns null and leaves no exception behind.
    create = ctypes.PYFUNCTYPE(ctypes.c_void_p, ctypes.py_object, ctypes.c_void_p)(create_null[0].value)
    assert create(None, None) is None


def test_library_exports_only_its_entry_points():
    nm = subprocess.run(["nm", "-D", "--defined-only", harness.module_path("_gorblin")], capture_output=True,
                        text=True, check=True).stdout
    # A sanitizer build adds its own markers for global data.
    exported = sorted(line.split()[-1] for line in nm.splitlines() if "__odr_asan" not in line)
    inits = ["_gorblin", "x", "imp_dummy"] + ["_gorblin_" + n for n in (
        "nonmodule", "nonmodule_with_exec_slots", "create_int_with_state", "negative_size", "null_slots",
        "bad_slot_large", "bad_slot_negative", "create_null", "create_raise", "create_unreported_exception",
        "exec_err", "exec_raise", "exec_unreported_exception", "export_null", "export_raise",
        "export_unreported_exception", "export_uninitialized")]
    expected = ["PyInit_" + n for n in inits] + ["PyInitU__gorblin_zkouka_naten_e8b64e06d",
                                                  "PyInitU_eckzbwbhc6jpgzcx415x", "main_slots", "slots_create_null"]
    assert exported == sorted(expected)


def test_example_lookup_survives_the_dictionary_being_cleared():
    # A str subclass as the name runs Python code inside the dictionary
    # lookup: it calls the finalizer (exposed as __del__), which drops the
    # dictionary, then refills the freed memory with bytes.
    proc = harness.run_child("""
        o = _gorblin.Example()
        o.a = 1

        class Name(str):
            def __hash__(self):
                spare = [dict() for _ in range(300)]  # fill the dict free list
                del spare
                o.__del__()
                Name.junk = [bytes([0x41] * 15 + [i]) for i in range(50)]
                return str.__hash__(self)

        print(getattr(o, Name("a"), None), getattr(o, "a", None))
    """, "_gorblin")
    assert proc.stdout == "1 None\n"
