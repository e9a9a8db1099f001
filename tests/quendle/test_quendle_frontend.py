# The quendle front end (table, flame graph, saved profiles, command line) on
# workloads whose every clock reading is known: the clock is a number that the
# workloads themselves advance, so each function's time is what its code adds.
import collections
import io
import os
import re
import subprocess
import sys
import sysconfig
import xml.etree.ElementTree as ET
from contextlib import redirect_stderr, redirect_stdout
from functools import partial
from operator import getitem

import pytest

import harness

sys.path.insert(0, harness.ROOT)
import quendle  # noqa: E402
from quendle.__main__ import main as cli  # noqa: E402

CLOCK = [0]
# A clock in microseconds.
TIMER = {"timer": partial(getitem, CLOCK, 0), "timeunit": 1e-6, "builtins": False}


def leaf():
    CLOCK[0] += 3


def mid():
    CLOCK[0] += 1
    leaf()
    leaf()


def rec(n):
    CLOCK[0] += 2
    if n:
        rec(n - 1)


def main():
    CLOCK[0] += 2
    mid()
    leaf()
    rec(2)


def even(n):
    CLOCK[0] += 1
    return n == 0 or odd(n - 1)


def odd(n):
    CLOCK[0] += 1
    return n != 0 and even(n - 1)


def shared(n):
    CLOCK[0] += n
    if n == 1:
        leaf()


def via_a():
    shared(1)


def via_b():
    shared(3)


def top():
    via_a()
    via_b()


# name: (functions called one after the other while profiling,
#        {function: (calls, primitive, total, inline, total/call, inline/call)},
#        {call path: width}), times in microseconds
CASES = {
    "nested": ((main,),
               {"main": (1, 1, 18, 2, 18, 2), "mid": (1, 1, 7, 1, 7, 1), "leaf": (3, 3, 9, 9, 3, 3),
                "rec": (3, 1, 6, 6, 6, 2)},
               {"main": 18, "main/leaf": 3, "main/mid": 7, "main/mid/leaf": 6, "main/rec": 6}),
    "mutual recursion": ((partial(even, 3),),
                         {"even": (2, 1, 4, 2, 4, 1), "odd": (2, 1, 3, 2, 3, 1)},
                         {"even": 4, "even/odd": 3}),
    # Below shared, leaf's time is split by shared's figures overall (3 of 7).
    "apportioned": ((top,),
                    {"top": (1, 1, 7, 0, 7, 0), "via_a": (1, 1, 4, 0, 4, 0), "via_b": (1, 1, 3, 0, 3, 0),
                     "shared": (2, 2, 7, 4, 3.5, 2), "leaf": (1, 1, 3, 3, 3, 3)},
                    {"top": 7, "top/via_a": 4, "top/via_b": 3, "top/via_a/shared": 4, "top/via_b/shared": 3,
                     "top/via_a/shared/leaf": 12 / 7, "top/via_b/shared/leaf": 9 / 7}),
    # Called from unprofiled code as well as from mid: one root box each.
    "two roots": ((leaf, mid),
                  {"leaf": (3, 3, 9, 9, 3, 3), "mid": (1, 1, 7, 1, 7, 1)},
                  {"leaf": 3, "mid": 7, "mid/leaf": 6}),
}

SORTED = {  # column: order of the "nested" functions
    "calls": "leaf rec main mid", "primitive": "leaf main mid rec", "total": "main leaf mid rec",
    "inline": "leaf rec main mid", "total/call": "main mid rec leaf", "inline/call": "leaf main rec mid",
    "function": "leaf main mid rec",
}
CHOICES = "choose from: calls, primitive, total, inline, total/call, inline/call, function"


def profiled(case):
    with quendle.profile(**TIMER) as run:
        for work in CASES[case][0]:
            work()
    return run.stats


def name_of(label):
    """The function's name in a label of the table or of a box's tip."""
    match = re.fullmatch(r"(.*) \([^()]*:\d+\)", label)
    return match.group(1) if match else label


def rows(table):
    """{name: the six figures as printed} from a printed table."""
    lines = table.splitlines()
    assert lines[3] == "calls  primitive      total     inline  total/call  inline/call  function"
    return {name_of(line.split(None, 6)[6]): tuple(line.split()[:6]) for line in lines[4:]}


def run_cli(argv):
    """(exit status, output, errors) of the command line, run here."""
    out, err = io.StringIO(), io.StringIO()
    with redirect_stdout(out), redirect_stderr(err):
        try:
            status = cli(argv)
        except SystemExit as exc:
            status = exc.code
    return status, out.getvalue(), err.getvalue()


def key(function):
    return quendle.stats.key_of(function.__code__)


def printed(figures):
    return (tuple(str(v) for v in figures[:2]) + tuple("{:.6f}".format(v / 1e6) for v in figures[2:4])
            + tuple("{:.3f}".format(v) for v in figures[4:]))


def boxes(svg):
    """{call path: [width in pixels, ...]} from the geometry of a flame graph:
    a box's parent is the one right below it that spans it."""
    ns = "{http://www.w3.org/2000/svg}"
    found = []
    for g in ET.fromstring(svg).iter(ns + "g"):
        if g.get("class") == "frame":
            rect = g.find(ns + "rect")
            name = name_of(g.find(ns + "title").text.split("\n")[0])
            found.append((float(rect.get("y")), float(rect.get("x")), float(rect.get("width")), name))
    paths = collections.defaultdict(list)
    placed = {}
    for y, x, width, name in sorted(found, reverse=True):
        below = [(p, bx, bw) for (by, p), (bx, bw) in placed.items() if by == y + quendle.flame.FRAME]
        parent = [p for p, bx, bw in below if bx - 1e-3 <= x and x + width <= bx + bw + 1e-3]
        path = parent[0] + "/" + name if parent else name
        placed[(y, path)] = (x, width)
        paths[path].append(width)
    return dict(paths)


@pytest.mark.parametrize("case", list(CASES))
def test_table_figures(case):
    stats = profiled(case)
    expected = CASES[case][1]
    assert rows(stats.table()) == {name: printed(figures) for name, figures in expected.items()}
    calls = sum(f[0] for f in expected.values())
    primitive = sum(f[1] for f in expected.values())
    seconds = sum(f[3] for f in expected.values()) / 1e6
    assert stats.table().splitlines()[:2] == [
        "{} calls ({} primitive) in {:.6f} s".format(calls, primitive, seconds),
        "{0} of {0} functions, by inline; times in s, per call in us".format(len(expected))]
    assert os.path.samefile(quendle.extension().__file__, harness.module_path("_quendle"))


@pytest.mark.parametrize("case", list(CASES))
def test_flame_graph_has_one_box_per_call_path_as_wide_as_its_time(case, tmp_path):
    stats = profiled(case)
    stats.flamegraph(tmp_path / "flame.svg", min_width=0)
    svg = (tmp_path / "flame.svg").read_text(encoding="utf-8")
    widths = CASES[case][2]
    scale = (1200 - 2 * quendle.flame.PAD) / sum(w for p, w in widths.items() if "/" not in p)
    got = boxes(svg)
    assert sorted(got) == sorted(widths)
    for path, width in widths.items():
        assert got[path] == [pytest.approx(width * scale, abs=2e-3)], path


@pytest.mark.parametrize("column", list(SORTED))
def test_sort_by_every_column(column, tmp_path):
    stats = profiled("nested")
    assert [f.name for f in stats.sort(column)] == SORTED[column].split()
    stats.save(tmp_path / "p.json")
    status, out, err = run_cli(["--load", str(tmp_path / "p.json"), "-s", column, "-n", "3"])
    assert (status, err) == (0, "")
    assert list(rows(out)) == SORTED[column].split()[:3]
    assert out.splitlines()[1] == "3 of 4 functions, by {}; times in s, per call in us".format(column)


def test_save_and_load_keep_the_whole_profile(tmp_path):
    stats = profiled("apportioned")
    stats.filter("^via").save(tmp_path / "p.json")
    loaded = quendle.Stats.load(tmp_path / "p.json")
    assert loaded.to_dict() == stats.to_dict()
    assert loaded.table() == stats.table()
    assert quendle.render_svg(loaded) == quendle.render_svg(stats)
    assert [f.name for f in stats.filter("^via")] == ["via_a", "via_b"]
    assert [f.name for f in stats.filter(lambda f: f.calls == 2)] == ["shared"]
    assert sorted(stats.callers(key(shared))) == [key(via_a), key(via_b)]
    assert stats.callers(key(leaf))[key(shared)].figures() == {"calls": 1, "reccalls": 0, "total": 3e-6,
                                                                "inline": 3e-6}


@pytest.mark.parametrize("argv, message", [
    (["-s", "bogus", "x.py"], "unknown column 'bogus'; " + CHOICES),
    (["-s", "Total", "--load", "p.json"], "unknown column 'Total'; " + CHOICES),
    ([], "give either a script to run or --load with a saved profile"),
    (["--load", "p.json", "x.py"], "give either a script to run or --load with a saved profile"),
    (["--load", "{tmp}/notes.json"], "{tmp}/notes.json: not a quendle profile"),
    (["--load", "{tmp}/broken.json"], "{tmp}/broken.json: not a quendle profile (Expecting value: line 1 column 1 "
                                      "(char 0))"),
    (["{tmp}/missing.py"], "no script '{tmp}/missing.py'"),
])
def test_usage_errors(argv, message, tmp_path):
    (tmp_path / "notes.json").write_text('{"notes": []}')
    (tmp_path / "broken.json").write_text("")
    status, out, err = run_cli([a.format(tmp=tmp_path) for a in argv])
    assert (status, out) == (2, "")
    assert err.splitlines()[-1] == "python3 -m quendle: error: " + message.format(tmp=tmp_path)
    if argv[:1] == ["-s"]:
        with pytest.raises(ValueError) as exc:
            profiled("nested").sort(argv[1])
        assert str(exc.value) == message


EXEC = "<built-in method builtins.exec>"
SCRIPT = """\
import sys
import quendle

def work(n):
    return sorted(str(i) for i in range(n))

print(__name__, sys.argv[1:], sys.path[0] == {folder!r})
print(quendle.extension().__file__)
work(2000)
sys.exit(3)
"""


def test_command_line_profiles_a_script_and_draws_it(tmp_path):
    folder = tmp_path / "scripts"
    folder.mkdir()
    (folder / "job.py").write_text(SCRIPT.format(folder=str(folder)))
    env = dict(os.environ, EXT_BUILD_DIR=harness.BUILD, PYTHONPATH=harness.ROOT)
    # sys.executable: Debian's /usr/bin/python3 in the suite, else the
    # interpreter the build under test was made for.
    proc = subprocess.run([sys.executable, "-m", "quendle", "-n", "0", "-s", "total", "-o", "flame.svg",
                           "--save", "p.json", "scripts/job.py", "-s", "x"],
                          cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 3, proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[0] == "__main__ ['-s', 'x'] True"
    assert os.path.samefile(lines[1], harness.module_path("_quendle"))
    table = rows("\n".join(lines[2:]))
    assert list(table)[:2] == [EXEC, "<module>"]
    assert table["work"][:2] == ("1", "1")
    assert proc.stderr == "flame graph written to flame.svg\n"
    paths = boxes((tmp_path / "flame.svg").read_text(encoding="utf-8"))
    assert [p for p in paths if "/" not in p] == [EXEC]
    assert EXEC + "/<module>/work/<built-in method builtins.sorted>" in paths
    assert rows(quendle.Stats.load(tmp_path / "p.json").sort("total").table(0)) == table


def test_page_example_runs(tmp_path):
    with open(os.path.join(harness.ROOT, "docs", "quendle.md"), encoding="utf-8") as f:
        blocks = re.findall(r"```python\n(.*?)```", f.read(), re.S)
    assert blocks
    env = dict(os.environ, EXT_BUILD_DIR=harness.BUILD, PYTHONPATH=harness.ROOT)
    for block in blocks:
        proc = subprocess.run([sys.executable, "-c", block], cwd=tmp_path, env=env, capture_output=True,
                              text=True, timeout=120)
        assert proc.returncode == 0, proc.stderr


SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")
WHO = "Python {} ({})".format(sysconfig.get_python_version(), sys.executable)
OTHER = next(s for s in (".cpython-38-x86_64-linux-gnu.so", ".cpython-39-x86_64-linux-gnu.so") if s != SUFFIX)
REBUILD = "meson setup BUILD -Dpython={} && meson compile -C BUILD".format(sys.executable)


@pytest.mark.parametrize("layout, found", [
    # The module's source folder, a namespace package when the tree is on
    # the path, is passed over for the build.
    ({}, "{build}/_quendle/_quendle" + SUFFIX),
    ({"site/extmods/__init__.py": "", "site/extmods/_quendle" + SUFFIX: "module"},
     "{tmp}/site/extmods/_quendle" + SUFFIX),
    ({"site/_quendle" + SUFFIX: "module"}, "{tmp}/site/_quendle" + SUFFIX),
    ({"site/_quendle.so": "module"},
     "{tmp}/site/_quendle.so is not built for this interpreter: " + WHO + " needs a module named *" + SUFFIX),
    ({"build/_quendle/_quendle" + OTHER: "junk"},
     "_quendle in {tmp}/build/_quendle was built for another interpreter (_quendle" + OTHER + "); " + WHO + " needs _quendle" + SUFFIX + ": " + REBUILD),
    ({"build/_quendle/README": "nothing built"},
     "_quendle is not installed and not built in {tmp}/build/_quendle (set EXT_BUILD_DIR to a build folder): "
     + REBUILD),
], ids=["build", "package", "top level", "unverifiable", "other interpreter", "missing"])
def test_where_the_extension_comes_from(layout, found, tmp_path):
    for name, content in layout.items():
        path = tmp_path / name
        path.parent.mkdir(parents=True, exist_ok=True)
        if content == "module":
            path.symlink_to(harness.module_path("_quendle"))
        else:
            path.write_text(content)
    # An installed module comes before the build, which stays ours unless
    # the case lays out one of its own.
    build = tmp_path / "build" if any(name.startswith("build/") for name in layout) else harness.BUILD
    code = ("import sys; sys.path[:0] = [{!r}, {!r}]\nimport quendle\n"
            "try:\n    print(quendle.extension().__file__)\n"
            "except quendle.ExtensionError as exc:\n    print(exc)\n").format(str(tmp_path / "site"), harness.ROOT)
    proc = subprocess.run([sys.executable, "-I", "-c", code], cwd=harness.ROOT, capture_output=True, text=True,
                          env=dict(os.environ, EXT_BUILD_DIR=str(build)), timeout=60)
    assert (proc.stdout, proc.stderr) == (found.format(tmp=tmp_path, build=harness.BUILD) + "\n", "")
