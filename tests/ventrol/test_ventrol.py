# Panels over the interpreter's curses windows, driven in a pseudo-terminal
# and read back from the screen the terminal shows.
import pytest

pytest.importorskip("pexpect")
pytest.importorskip("pyte")

from panel_terminal import COLS, ROWS, PanelTerminal  # noqa: E402

# Each step is a few operations "<name> <verb> [args]": new/win make a window
# (y x height width) filled with the name's capital letter, new also a panel
# over it; replace gives a panel another window; drop lets go of the test's
# own reference to a window, del of the panel; the rest are panel methods.
STEPS = [
    [],
    ["a new 2 4 8 24", "b new 5 14 8 24", "c new 8 24 8 24"],
    ["a top"],
    ["c bottom"],
    ["b hide"],
    ["b show"],
    ["c top", "a hide"],
    ["b move 12 40"],
    ["a show"],
    ["d win 1 50 6 20", "a replace d"],
    ["b drop", "c move 0 0"],
    ["b del"],
    ["a bottom", "c del"],
    ["a del"],
]

STACK_CHILD = f"""
STEPS = {STEPS!r}
def stack(panels):
    names = {{id(p): n for n, p in panels.items()}}
    def walk(p, step):
        seen = []
        while p is not None and len(seen) < 10:
            seen.append(names.get(id(p), "?"))
            p = getattr(p, step)()
        return seen
    return {{"down": walk(_ventrol.top_panel(), "below"), "up": walk(_ventrol.bottom_panel(), "above"),
             "hidden": sorted(n for n, p in panels.items() if p.hidden())}}
def main():
    panels, windows = {{}}, {{}}
    reports = results["reports"] = []
    for step in STEPS:
        for op in step:
            name, verb, *args = op.split()
            if verb in ("new", "win"):
                windows[name] = window(*map(int, args), name.upper())
                if verb == "new":
                    panels[name] = _ventrol.new_panel(windows[name])
            elif verb == "replace":
                panels[name].replace(windows[args[0]])
            elif verb == "drop":
                del windows[name]
            elif verb == "del":
                del panels[name]
            else:
                getattr(panels[name], verb)(*map(int, args))
        reports.append(stack(panels))
        pause()
"""


def expected_steps():
    """What each step should leave, from a model: the stack (bottom first)
    and the screen, the visible panels painted bottom to top."""
    stack, hidden, where, windows = [], set(), {}, {}
    for step in STEPS:
        for op in step:
            name, verb, *args = op.split()
            if verb in ("new", "win"):
                windows[name] = [int(a) for a in args] + [name.upper()]
                if verb == "new":
                    where[name] = list(windows[name])
                    stack.append(name)
            elif verb == "replace":
                where[name] = list(windows[args[0]])
            elif verb in ("top", "show"):
                stack = [n for n in stack if n != name] + [name]
                hidden.discard(name)
            elif verb == "bottom":
                stack = [name] + [n for n in stack if n != name]
            elif verb == "hide":
                stack.remove(name)
                hidden.add(name)
            elif verb == "del":
                stack.remove(name)
            elif verb == "move":
                where[name][:2] = map(int, args)
        screen = [[" "] * COLS for _ in range(ROWS)]
        for name in stack:
            y, x, h, w, letter = where[name]
            for row in range(y, y + h):
                screen[row][x:x + w] = letter * w
        yield {"down": stack[::-1], "up": list(stack), "hidden": sorted(hidden)}, ["".join(r) for r in screen]


@pytest.fixture(scope="module")
def stack_session(tmp_path_factory):
    expected = list(expected_steps())
    with PanelTerminal(STACK_CHILD, str(tmp_path_factory.mktemp("ventrol") / "stack.json")) as t:
        screens = []
        for _, screen in expected:
            screens.append(t.settle(screen))
            t.step()
        reports = t.finish()["reports"]
    return expected, screens, reports


@pytest.mark.parametrize("index", range(len(STEPS)), ids=[";".join(s) or "empty" for s in STEPS])
def test_stack_order_and_screen(stack_session, index):
    expected, screens, reports = stack_session
    stack, screen = expected[index]
    assert reports[index] == stack
    assert screens[index] == screen


CASES_CHILD = """
CASES = {cases!r}
def main():
    base = dict(_ventrol=_ventrol, curses=curses, window=window, new=new, outcome=outcome, gc=gc, sys=sys,
                rc=sys.getrefcount, real_curses=sys.modules["_curses"],
                reload=lambda: _load("_ventrol", _ventrol.__file__))
    for name, code in CASES:
        ns = dict(base)
        def run():
            exec(code, ns)
            return ns.get("r")
        results[name] = outcome(run)
        ns.clear()
        gc.collect()
"""

ERR = "_ventrol.error: move_panel() returned ERR"
NOT_INITIALISED = "_curses.error: must call initscr() first"
ONE_ARGUMENT = "builtins.TypeError: replace requires one argument"

# (name, code that sets r or raises, the repr of r or "module.Type: message")
CASES = [
    ("empty stack", "r = _ventrol.top_panel(), _ventrol.bottom_panel()", "(None, None)"),
    ("order", "p1 = new(); p2 = new()\n"
     "r = [_ventrol.top_panel() is p2, _ventrol.bottom_panel() is p1, p2.below() is p1, p1.below(),"
     " p1.above() is p2, p2.above()]", "[True, True, True, None, True, None]"),
    ("hidden", "p = new(); r = [p.hidden()]; p.hide(); r += [p.hidden(), _ventrol.top_panel()]\n"
     "p.show(); r += [p.hidden(), _ventrol.top_panel() is p]", "[False, True, None, False, True]"),
    ("deleted panel leaves the stack", "p1 = new(); p2 = new(); del p2\n"
     "r = [_ventrol.top_panel() is p1, p1.above()]", "[True, None]"),
    ("move inside", "p = new(); r = p.move(3, 7), p.window().getbegyx()", "(None, (3, 7))"),
    ("move past the corner", "new().move(30, 100)", ERR),
    ("move to a negative row", "new().move(-1, 0)", ERR),
    # Origins the library's checks overflow on: they wrapped to negative ones
    # and the next update crashed.
    *[(f"move to {y}, {x}", f"p = new(); r = outcome(lambda: p.move({y}, {x})), _ventrol.update_panels(), "
       "p.window().getbegyx()", repr((ERR, None, (0, 0))))
      for y, x in ((2**31 - 1, 3), (3, 2**31 - 1), (2**31 - 3, 0), (32768, 0), (32767, 32767))],
    ("move with one number", "new().move(1)", "builtins.TypeError: y,x"),
    ("replace without argument", "new().replace()", ONE_ARGUMENT),
    ("replace with two", "w = window(0, 0, 2, 2); new().replace(w, w)", ONE_ARGUMENT),
    ("replace with a non-window", "new().replace(1)", "builtins.TypeError: window object"),
    ("replace moves references", "w1 = window(0, 0, 2, 2); w2 = window(1, 1, 2, 2); p = new(w1)\n"
     "a = rc(w1), rc(w2); r = [p.replace(w2), p.window() is w2, rc(w1) - a[0], rc(w2) - a[1]]",
     "[None, True, -1, 1]"),
    ("replace with its own window", "w = window(0, 0, 2, 2); p = new(w); a = rc(w)\n"
     "r = [p.replace(w), p.window() is w, rc(w) - a]", "[None, True, 0]"),
    ("panel holds its window", "w = window(0, 0, 2, 2); a = rc(w); p = new(w); b = rc(w)\n"
     "r = [p.window() is w, b - a]; del p; r.append(rc(w) - a)", "[True, 1, 0]"),
    ("window's last reference goes first", "w = window(1, 1, 3, 5); p = new(w); del w; _ventrol.update_panels()\n"
     "r = [type(p.window()).__name__, p.window().getmaxyx()]; del p; _ventrol.update_panels()",
     "['window', (3, 5)]"),
    ("userptr unset", "new().userptr()", "_ventrol.error: no userptr set"),
    ("userptr references", "u = object(); p = new(); a = rc(u); p.set_userptr(u); b = rc(u)\n"
     "same = p.userptr() is u; p.set_userptr(u); c = rc(u); del p\n"
     "r = [b - a, same, c - a, rc(u) - a]", "[1, True, 1, 0]"),
    ("userptr replaced", "u1, u2 = object(), object(); p = new(); a = rc(u1), rc(u2)\n"
     "p.set_userptr(u1); p.set_userptr(u2); r = [p.userptr() is u2, rc(u1) - a[0], rc(u2) - a[1]]",
     "[True, 0, 1]"),
    ("userptr None", "p = new(); r = [p.set_userptr(None), p.userptr()]", "[None, None]"),
    ("user object goes with its panel", "class U:\n    def __del__(self): gone.append(1)\n"
     "gone = []; p = new(); p.set_userptr(U()); r = [list(gone)]; del p; r.append(gone)", "[[], [1]]"),
    ("deleted while an exception propagates", "def f():\n    p = new()\n    p.set_userptr(object())\n"
     "    raise KeyError('k')\ntry:\n    f()\nexcept KeyError as e:\n    r = e", "KeyError('k')"),
    ("type references", "t = type(new()); a = rc(t); ps = [new() for _ in range(50)]; b = rc(t); del ps\n"
     "r = [b - a, rc(t) - a]", "[50, 0]"),
    ("type", "t = type(new()); r = [repr(t), t.__module__, t.__name__]",
     "[\"<class '_ventrol.curses panel'>\", '_ventrol', 'curses panel']"),
    ("no instances from Python", "type(new())()", "builtins.TypeError: cannot create '_ventrol.curses panel' instances"),
    ("no copies", "import copy\ncopy.copy(new())", "builtins.TypeError: cannot pickle '_ventrol.curses panel' object"),
    ("no subclasses", "class X(type(new())): pass",
     "builtins.TypeError: type '_ventrol.curses panel' is not an acceptable base type"),
    ("module state is traversed", "refs = gc.get_referents(_ventrol); r = [_ventrol.error in refs, type(new()) in refs]",
     "[True, True]"),
    # A panel made straight through the library, not by us, found above ours.
    ("panel of another owner", "import ctypes\nlib = ctypes.CDLL('libpanelw.so.6')\n"
     "lib.new_panel.restype = ctypes.c_void_p; lib.new_panel.argtypes = lib.del_panel.argtypes = [ctypes.c_void_p]\n"
     "w = window(0, 0, 2, 2); ours = new()\n"
     "foreign = lib.new_panel(ctypes.c_void_p.from_address(id(w) + object.__basicsize__).value)\n"
     "r = [outcome(_ventrol.top_panel), outcome(ours.above)]; lib.del_panel(foreign)",
     "[\"builtins.RuntimeError: panel_below: can't find Panel Object\", "
     "\"builtins.RuntimeError: panel_above: can't find Panel Object\"]"),
    # Every allocation of new_panel failing in turn: the library's stack then
    # holds exactly the panels that exist, and the window no extra reference.
    ("allocation failures", "import _testcapi\nw = window(0, 0, 2, 2); a = rc(w); made = []; failed = 0\n"
     "for k in range(8):\n"
     "    _testcapi.set_nomemory(k, k + 1)\n"
     "    try:\n        made.append(_ventrol.new_panel(w))\n"
     "    except MemoryError:\n        failed += 1\n"
     "    finally:\n        _testcapi.remove_mem_hooks()\n"
     "walk = []; q = _ventrol.bottom_panel()\n"
     "while q is not None:\n    walk.append(q); q = q.above()\n"
     "r = [failed > 0, walk == made]; del made, walk; r.append(rc(w) - a)", "[True, True, 0]"),
]

# Loads the module again with sys.modules["_curses"] swapped; r names the
# exception, of the ImportError family or else AttributeError.
FAILED_LOAD = """try:
    reload()
except Exception as e:
    r = "ImportError" if isinstance(e, ImportError) else type(e).__name__
finally:
    sys.modules['_curses'] = real_curses"""

# Before initscr(), and the import when _curses cannot hand over its table.
EARLY_CASES = [
    ("top_panel", "_ventrol.top_panel()", NOT_INITIALISED),
    ("bottom_panel", "_ventrol.bottom_panel()", NOT_INITIALISED),
    ("update_panels", "_ventrol.update_panels()", NOT_INITIALISED),
    ("new_panel of a non-window", "_ventrol.new_panel(1)",
     "builtins.TypeError: argument 1 must be _curses.window, not int"),
    ("new_panel without argument", "_ventrol.new_panel()",
     "builtins.TypeError: function takes exactly 1 argument (0 given)"),
    ("attributes", "r = [_ventrol.version, _ventrol.__version__ is _ventrol.version, _ventrol.__doc__,"
     " _ventrol.error.__mro__[1:] == Exception.__mro__, repr(_ventrol.error)]",
     "['2.1', True, None, True, \"<class '_ventrol.error'>\"]"),
    # The texts are the interpreter's own and differ between versions.
    ("_curses blocked", "sys.modules['_curses'] = None\n" + FAILED_LOAD, "'ImportError'"),
    ("_curses without a table", "import types\nsys.modules['_curses'] = types.ModuleType('_curses')\n" + FAILED_LOAD,
     "'AttributeError'"),
    ("_curses with another capsule", "import types, _datetime\nfake = types.ModuleType('_curses')\n"
     "fake._C_API = _datetime.datetime_CAPI; sys.modules['_curses'] = fake\n" + FAILED_LOAD, "'AttributeError'"),
    ("loads again afterwards", "r = reload().version", "'2.1'"),
]


@pytest.fixture(scope="module")
def case_results(tmp_path_factory):
    folder = tmp_path_factory.mktemp("ventrol")
    results = {}
    for cases, start in ((CASES, True), (EARLY_CASES, False)):
        body = CASES_CHILD.format(cases=[(name, code) for name, code, _ in cases])
        with PanelTerminal(body, str(folder / f"cases-{start}.json"), start_curses=start) as t:
            results.update(t.finish())
    return results


@pytest.mark.parametrize("name,expected", [(n, e) for n, _, e in CASES + EARLY_CASES],
                         ids=[n for n, _, _ in CASES + EARLY_CASES])
def test_panel_calls(case_results, name, expected):
    assert case_results[name] == expected
