# The type stubs in stubs/ against the modules they describe.
#
# Every stubs/<module>.pyi is checked against the module loaded from the build:
# the same names both ways (module level and in each class), signatures equal
# to the runtime's text signatures where the module has one, constants of the
# types written down. Then mypy type-checks a program using every module
# through the package the stubs are installed as, and must flag a set of
# deliberate mistakes, which shows the stubs are precise.
import ast
import builtins
import inspect
import os
import re
import shutil
import subprocess
import textwrap

import pytest

import harness

STUBS = os.path.join(harness.ROOT, "stubs")
STUBBED = sorted(f[:-4] for f in os.listdir(STUBS) if f.endswith(".pyi"))
# Attributes every struct sequence type has, declared once by the stubs' base.
STRUCTSEQ_ATTRS = {"n_fields", "n_sequence_fields", "n_unnamed_fields"}
# Methods a type checker needs that the runtime spells otherwise (attribute
# hooks) or has only from 3.12 on (the buffer protocol in Python).
CHECKER_ONLY = {"__getattr__", "__buffer__", "__release_buffer__"}
MYPY = ["/usr/bin/python3", "-m", "mypy"]
# Attributes a type answers from its attribute hook, so on instances only.
INSTANCE_ONLY = {"krellune.oss_audio_device": {"closed", "name", "mode"}}


def built_modules():
    """Module folders the top-level build lists and this build has built."""
    with open(os.path.join(harness.ROOT, "meson.build")) as f:
        listed = re.search(r"^modules = \[(.*?)\]", f.read(), re.S | re.M).group(1)
    names = re.findall(r"'(\w+)'", listed)
    return [n for n in names if _built(n)]


def _built(name):
    try:
        harness.module_path(name)
        return True
    except (FileNotFoundError, pytest.skip.Exception):  # not built, or not configured
        return False


def load_or_skip(name):
    if not _built(name):
        pytest.skip(f"{name} is not built in {harness.BUILD}")
    return harness.load(name)


def is_dunder(name):
    return name.startswith("__") and name.endswith("__")


def stub_only(node):
    """Type aliases and type variables exist for the checker alone."""
    if isinstance(node, ast.AnnAssign):
        ann = node.annotation
        return isinstance(ann, ast.Name) and ann.id == "TypeAlias"
    if isinstance(node, ast.Assign) and isinstance(node.value, ast.Call):
        return getattr(node.value.func, "id", None) == "TypeVar"
    return False


def unpublished(node):
    """A class marked @type_check_only: a type the module makes but does not
    publish (its objects come from the module's functions)."""
    return isinstance(node, ast.ClassDef) and any(getattr(d, "id", None) == "type_check_only"
                                                  for d in node.decorator_list)


def unpublished_type(module, name):
    """The module's type that a stub names `name` (spaces in its runtime name
    become underscores), found among the subclasses of object."""
    found = [t for t in object.__subclasses__()
             if t.__module__ == module.__name__ and t.__name__.replace(" ", "_") == name]
    assert len(found) == 1, f"{module.__name__}.{name}: {found}"
    return found[0]


def members(body):
    """name -> list of stub nodes (overloads give several) of a module or class body."""
    found = {}
    for node in body:
        if stub_only(node) or unpublished(node):
            continue
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            found.setdefault(node.name, []).append(node)
        elif isinstance(node, ast.AnnAssign):
            found.setdefault(node.target.id, []).append(node)
        elif isinstance(node, ast.Assign):
            for target in node.targets:
                found.setdefault(target.id, []).append(node)
    return found


def parse_stub(name):
    with open(os.path.join(STUBS, name + ".pyi")) as f:
        return ast.parse(f.read(), name + ".pyi")


def stub_parameters(func):
    """(name, kind, default) of a stub function; default is inspect's empty
    when there is none and Ellipsis when the stub writes `...`."""
    a = func.args
    empty = inspect.Parameter.empty
    positional = [(p, inspect.Parameter.POSITIONAL_ONLY) for p in a.posonlyargs]
    positional += [(p, inspect.Parameter.POSITIONAL_OR_KEYWORD) for p in a.args]
    defaults = [empty] * (len(positional) - len(a.defaults)) + [ast.literal_eval(d) for d in a.defaults]
    params = [(p.arg, kind, d) for (p, kind), d in zip(positional, defaults)]
    if a.vararg:
        params.append((a.vararg.arg, inspect.Parameter.VAR_POSITIONAL, empty))
    for p, d in zip(a.kwonlyargs, a.kw_defaults):
        params.append((p.arg, inspect.Parameter.KEYWORD_ONLY, empty if d is None else ast.literal_eval(d)))
    if a.kwarg:
        params.append((a.kwarg.arg, inspect.Parameter.VAR_KEYWORD, empty))
    return params


def tuple_length(classdef):
    """How many items the `tuple[...]` base of a stub class lists."""
    for base in classdef.bases:
        if isinstance(base, ast.Subscript) and getattr(base.value, "id", None) == "tuple":
            items = getattr(base.slice, "value", base.slice)  # 3.8 wraps it in ast.Index
            return len(items.elts)
    return None


def runtime_names(namespace, structseq=False):
    names = {k for k in vars(namespace) if not is_dunder(k)}
    return names - STRUCTSEQ_ATTRS if structseq else names


def check_signature(where, obj, func, method=False):
    if getattr(obj, "__text_signature__", None) is None:
        return
    runtime = [(p.name, p.kind, p.default) for p in inspect.signature(obj).parameters.values()]
    stub = stub_parameters(func)
    if method:  # self is always bound, however the runtime spells it
        runtime, stub = runtime[1:], stub[1:]
    # A stub default of `...` stands for whatever default the runtime has.
    stub = [(n, k, r[2] if d is Ellipsis and r[2] is not inspect.Parameter.empty else d)
            for (n, k, d), r in zip(stub, runtime)] + stub[len(runtime):]
    assert stub == runtime, where


@pytest.mark.parametrize("name", STUBBED)
def test_stub_matches_module(name):
    module = load_or_skip(name)
    tree = parse_stub(name)
    stub = members(tree.body)
    assert {n for n in stub if not is_dunder(n)} == runtime_names(module), name
    hidden = [(node.name, [node], unpublished_type(module, node.name)) for node in tree.body if unpublished(node)]
    for attr, nodes, value in [(a, n, getattr(module, a)) for a, n in stub.items()] + hidden:
        node = nodes[0]
        where = f"{name}.{attr}"
        if isinstance(node, ast.ClassDef):
            assert isinstance(value, type), where
            is_structseq = issubclass(value, tuple) and hasattr(value, "n_fields")
            body = members(node.body)
            instance_only = INSTANCE_ONLY.get(f"{value.__module__}.{value.__name__}", set())
            assert {n for n in body if not is_dunder(n)} - instance_only == runtime_names(value, is_structseq), where
            body = {n: d for n, d in body.items() if n not in instance_only}
            assert all(hasattr(value, n) for n in body if n not in CHECKER_ONLY), where
            if is_structseq:
                assert tuple_length(node) == value.n_sequence_fields, where
            # Slot wrappers (__init__ and the like) only ever show (*args, **kwargs).
            for method, defs in body.items():
                if isinstance(defs[0], ast.FunctionDef) and len(defs) == 1 and not is_dunder(method):
                    check_signature(f"{where}.{method}", getattr(value, method), defs[0], method=True)
        elif isinstance(node, ast.FunctionDef):
            assert callable(value) and not isinstance(value, type), where
            if len(nodes) == 1:
                check_signature(where, value, node)
        elif isinstance(node, ast.AnnAssign):
            annotation = node.annotation  # list[str] is checked as a list
            annotation = annotation.value if isinstance(annotation, ast.Subscript) else annotation
            assert type(value) is getattr(builtins, annotation.id), where
        else:  # an alias of a class of the stub or a built-in one
            target = node.value.id
            assert value is (getattr(module, target) if target in stub else getattr(builtins, target)), where


def test_every_built_module_has_a_stub():
    missing = [m for m in built_modules() if m not in STUBBED]
    assert not missing, f"no stubs/<module>.pyi for {missing}"
    assert os.path.isfile(os.path.join(STUBS, "py.typed"))


# (source line, what mypy must say about it): each a mistake the stubs catch.
MISTAKES = [
    ('tamvox.add("ab", b"cd", 1)', 'has incompatible type "str"'),
    ('tamvox.lin2ulaw(b"ab", "2")', 'has incompatible type "str"'),
    ('tamvox.lin2adpcm(b"ab", 2, (1, 2, 3))', "incompatible type"),
    ('text: str = tamvox.reverse(b"ab", 2)', 'expression has type "bytes"'),
    ('orvik.sqrt("4")', 'has incompatible type "str"'),
    ('orvik.sqrt(z=4)', 'Unexpected keyword argument "z"'),
    ('orvik.isclose(1, 2, 1e-3)', "Too many positional arguments"),
    ('whole: float = orvik.exp(1)', 'expression has type "complex"'),
    ('hashed: str = _crypt.crypt("w", "ab")', 'expression has type "Optional[str]"'),
    ('_crypt.crypt(b"w", "ab")', 'has incompatible type "bytes"'),
    ('resource.getrusage(resource.RUSAGE_SELF).ru_utim', 'has no attribute "ru_utim"'),
    ('rss: str = resource.getrusage(0).ru_maxrss', 'expression has type "int"'),
    ('resource.setrlimit(resource.RLIMIT_CPU, 5)', "incompatible type"),
    ('syslog.syslog(syslog.LOG_ERR)', "No overload variant"),
    ('syslog.openlog(ident=b"x")', 'has incompatible type "bytes"'),
    ('kelpin.getspnam(b"root")', 'has incompatible type "bytes"'),
    ('name: bytes = kelpin.getspnam("root").sp_namp', 'expression has type "str"'),
    ('readline.set_completer(lambda: None)', "incompatible type"),
    ('readline.add_history(1)', 'has incompatible type "int"'),
    ('_quendle.Profiler(timer=1)', "incompatible type"),
    ('_quendle.Profiler(clock=time.time)', 'Unexpected keyword argument "clock"'),
    ('seconds: str = _quendle.Profiler().getstats()[0].totaltime', 'expression has type "float"'),
    ('_delvane.ndarray([1], shape=[1]).tobytes().upper(1)', "Too many arguments"),
    ('_delvane.slice_indices(1, 2)', 'has incompatible type "int"'),
    ('trevask.foo("1", 2)', 'has incompatible type "str"'),
    ('_gorblin.int_const.upper()', 'has no attribute "upper"'),
    ('_zanthor.func_si(1, "s")', "incompatible type"),
    ('krellune.open("/dev/dsp", "w", "x")', "No overload variant"),
    ('krellune.open("w").write("text")', 'has incompatible type "str"'),
    ('krellune.openmixer().set(0, 50)', 'has incompatible type "int"'),
    ('path: bytes = krellune.open("w").name', 'expression has type "str"'),
    ('_ventrol.new_panel(1)', 'has incompatible type "int"'),
    ('_ventrol.top_panel().hide()', 'Item "None" of "Optional[curses_panel]" has no attribute "hide"'),
    ('_ventrol.new_panel(curses.newwin(1, 1)).move(1)', "Too few arguments"),
    ('yelmap.match(b"root", "passwd")', 'has incompatible type "bytes"'),
    ('yelmap.cat("passwd", dom="x")', 'Unexpected keyword argument "dom"'),
    ('yelmap.maps()[0].decode()', '"str" has no attribute "decode"'),
]
IMPORTS = "import curses\nimport time\nfrom extmods import " + ", ".join(STUBBED) + "\n"


@pytest.fixture(scope="module")
def mypy_package(tmp_path_factory):
    """A folder with the stubs as the package `extmods`, the usage program
    and the mistakes, and mypy's report on them."""
    if subprocess.run(MYPY + ["--version"], capture_output=True).returncode != 0:
        pytest.skip("mypy is not installed for /usr/bin/python3 (Debian's python3-mypy)")
    root = tmp_path_factory.mktemp("mypy")
    package = root / "stubs" / "extmods"
    shutil.copytree(STUBS, str(package))
    (package / "__init__.pyi").write_text("")
    shutil.copy(os.path.join(harness.ROOT, "tests", "stubs_usage.py"), str(root / "usage.py"))
    (root / "mistakes.py").write_text(IMPORTS + "".join(line + "\n" for line, _ in MISTAKES))
    env = dict(os.environ, MYPYPATH=str(root / "stubs"))
    proc = subprocess.run(
        MYPY + ["--strict", "--python-version", "3.8", "--no-error-summary", "--show-error-codes",
                "--cache-dir", str(root / "cache"), "usage.py", "mistakes.py"],
        cwd=str(root), env=env, capture_output=True, text=True, timeout=600)
    assert proc.returncode in (0, 1), proc.stderr
    return proc.stdout.splitlines()


def test_usage_type_checks(mypy_package):
    assert [line for line in mypy_package if not line.startswith("mistakes.py:") and ": note:" not in line] == []


@pytest.mark.parametrize("index", range(len(MISTAKES)), ids=[m[0] for m in MISTAKES])
def test_mistake_flagged(mypy_package, index):
    lineno = IMPORTS.count("\n") + index + 1
    said = [line for line in mypy_package if line.startswith(f"mistakes.py:{lineno}: error:")]
    assert any(MISTAKES[index][1] in line for line in said), said


def test_usage_runs():
    """The usage program's assertions hold with the built modules as `extmods`."""
    with open(os.path.join(harness.ROOT, "tests", "stubs_usage.py")) as f:
        program = f.read()
    names = [alias.name for node in ast.parse(program).body if isinstance(node, ast.ImportFrom)
             and node.module == "extmods" for alias in node.names]
    for name in names:
        load_or_skip(name)
    code = textwrap.dedent("""
        import types
        extmods = types.ModuleType("extmods")
        for _name in {names!r}:
            setattr(extmods, _name, globals()[_name])
        sys.modules["extmods"] = extmods
        exec(compile({program!r}, "stubs_usage.py", "exec"), {{"__name__": "__main__"}})
        print("ok")
    """).format(names=names, program=program)
    assert harness.run_child("import sys\n" + code, *names).stdout == "ok\n"
