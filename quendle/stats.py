"""Profile statistics: the figures of a _quendle.Profiler per function and per
caller->callee pair, to sort, filter, print, save and load.

A function is keyed by where it is defined, (file, first line, name), so that
figures survive a save and load; built-in functions have file "" and line 0
and are named by the profiler's label. Times are in seconds.
"""
import json
import os
import re
import sys

FORMAT = "quendle-profile"
VERSION = 1


class Call:
    """Figures of the calls of a function from one caller (or, for a Function,
    of all its calls): completed calls, the recursive ones among them, total
    time (callees included, recursion counted once) and inline time."""

    __slots__ = ("calls", "reccalls", "total", "inline")

    def __init__(self, calls=0, reccalls=0, total=0.0, inline=0.0):
        self.calls, self.reccalls, self.total, self.inline = calls, reccalls, total, inline

    def add(self, calls, reccalls, total, inline):
        self.calls += calls
        self.reccalls += reccalls
        self.total += total
        self.inline += inline

    @property
    def primitive(self):
        """Calls made while no other call of the same function was open."""
        return self.calls - self.reccalls

    def figures(self):
        return {"calls": self.calls, "reccalls": self.reccalls, "total": self.total, "inline": self.inline}

    def __repr__(self):
        figures = ", ".join("{}={!r}".format(k, v) for k, v in self.figures().items())
        return "{}({})".format(type(self).__name__, figures)


class Function(Call):
    """One profiled function: its figures and its callees ({key: Call})."""

    __slots__ = ("file", "line", "name", "callees")

    def __init__(self, file, line, name):
        super().__init__()
        self.file, self.line, self.name = file, line, name
        self.callees = {}

    @property
    def key(self):
        return (self.file, self.line, self.name)

    @property
    def builtin(self):
        return not self.file

    @property
    def label(self):
        return self.name if self.builtin else "{} ({}:{})".format(self.name, short_path(self.file), self.line)

    @property
    def short_name(self):
        """The name alone; for a built-in, its label made short, as
        re.Pattern.findall for <method 'findall' of 're.Pattern' objects>."""
        if not self.builtin:
            return self.name
        for pattern, short in _BUILTIN_LABELS:
            match = pattern.fullmatch(self.name)
            if match:
                return short.format(*match.groups())
        return self.name

    @property
    def total_per_call(self):
        # Total time is that of the outermost activations only.
        return self.total / self.primitive if self.primitive > 0 else 0.0

    @property
    def inline_per_call(self):
        return self.inline / self.calls if self.calls > 0 else 0.0

    def __repr__(self):
        return "<Function {} calls={} total={!r}>".format(self.label, self.calls, self.total)


# The shapes of built-in labels: a method found on its object's type, a
# method of a module (or object) named by the module, a module function.
_BUILTIN_LABELS = (
    (re.compile(r"<method '([^']*)' of '([^']*)' objects>"), "{1}.{0}"),
    (re.compile(r"<built-in method (?:builtins\.)?([^ >]*)>"), "{0}"),
    (re.compile(r"<([^ >]*)>"), "{0}"),
)


def short_path(path):
    """`path` without the longest folder that holds it among the current one
    and those of sys.path, so library code reads as json/decoder.py."""
    best = ""
    try:
        here = [os.getcwd()]
    except OSError:
        here = []
    for folder in here + sys.path:
        if not isinstance(folder, str):
            continue
        folder = os.path.join(os.path.abspath(folder), "")
        if path.startswith(folder) and len(folder) > len(best):
            best = folder
    return path[len(best):] if best else path


def key_of(code):
    """The key of a getstats() label: a code object, or a built-in's name."""
    if isinstance(code, str):
        return ("", 0, code)
    try:
        name = getattr(code, "co_qualname", code.co_name)
        return (code.co_filename, code.co_firstlineno, name)
    except AttributeError:
        return ("", 0, str(code))


class Stats:
    """A profile, and a view of its functions: `rows`, in order.

    sort() and filter() give new views of the same profile; print() shows
    the rows; save() and flamegraph() always use the whole profile.
    """

    def __init__(self, functions, rows=None, order=None):
        self.functions = functions
        self.order = order
        self.rows = list(functions.values()) if rows is None else rows

    # -- making and keeping ------------------------------------------------

    @classmethod
    def from_profiler(cls, profiler, drop=()):
        """The statistics of a _quendle.Profiler. The profiler's own disable()
        call, which profiling always catches while it is open, is left out,
        as are the functions whose labels are in `drop`."""
        drop = set(map(key_of, drop))
        for klass in type(profiler).__mro__:
            if "disable" in vars(klass):
                drop.add(key_of(repr(vars(klass)["disable"])))
                break
        return cls.from_entries(profiler.getstats(), drop)

    @classmethod
    def from_entries(cls, entries, drop=()):
        """From a list of profiler_entry records; functions keyed in `drop`
        are left out, together with the calls of them."""
        functions = {}

        def function(key):
            if key not in functions:
                functions[key] = Function(*key)
            return functions[key]

        # Distinct code objects defined at one place (or built-ins with one
        # label) are one function here: their figures add up.
        for code, calls, reccalls, total, inline, subentries in entries:
            key = key_of(code)
            if key in drop:
                continue
            caller = function(key)
            caller.add(calls, reccalls, total, inline)
            for sub in subentries or ():
                callee = key_of(sub.code)
                if sub.callcount and callee not in drop:
                    caller.callees.setdefault(callee, Call()).add(*sub[1:5])
        for caller in list(functions.values()):
            for callee in caller.callees:
                function(callee)
        return cls(functions).sort()

    def to_dict(self):
        index = {key: i for i, key in enumerate(self.functions)}
        out = []
        for f in self.functions.values():
            record = {"file": f.file, "line": f.line, "name": f.name}
            record.update(f.figures())
            record["callees"] = [dict(function=index[k], **c.figures()) for k, c in f.callees.items()]
            out.append(record)
        return {"format": FORMAT, "version": VERSION, "unit": "s", "functions": out}

    @classmethod
    def from_dict(cls, data):
        if not isinstance(data, dict) or data.get("format") != FORMAT:
            raise ValueError("not a quendle profile")
        if data.get("version") != VERSION:
            raise ValueError("quendle profile version {!r}, this is version {}".format(data.get("version"), VERSION))
        try:
            records = data["functions"]
            keys = [(r["file"], r["line"], r["name"]) for r in records]
            functions = {}
            for key, r in zip(keys, records):
                f = functions.setdefault(key, Function(*key))
                f.add(r["calls"], r["reccalls"], r["total"], r["inline"])
                for c in r["callees"]:
                    f.callees.setdefault(keys[c["function"]], Call()).add(
                        c["calls"], c["reccalls"], c["total"], c["inline"])
        except (KeyError, IndexError, TypeError) as exc:
            raise ValueError("damaged quendle profile ({}: {})".format(type(exc).__name__, exc)) from None
        return cls(functions).sort()

    def save(self, path):
        """Write the whole profile to `path` as JSON."""
        with open(path, "w", encoding="utf-8") as f:
            json.dump(self.to_dict(), f, indent=1)
            f.write("\n")

    @classmethod
    def load(cls, path):
        """Read a profile written by save(); ValueError if it is not one."""
        with open(path, encoding="utf-8") as f:
            try:
                data = json.load(f)
            except ValueError as exc:
                raise ValueError("{}: not a quendle profile ({})".format(path, exc)) from None
        try:
            return cls.from_dict(data)
        except ValueError as exc:
            raise ValueError("{}: {}".format(path, exc)) from None

    # -- views ---------------------------------------------------------------

    def sort(self, column=None):
        """A view with the rows ordered by `column` (one of report.COLUMNS;
        default "inline"): figures from the largest, "function" by name."""
        from .report import DEFAULT_SORT, column_key
        column = DEFAULT_SORT if column is None else column
        key = column_key(column)
        rows = sorted(self.rows, key=lambda f: f.label)
        if column != "function":
            rows.sort(key=key, reverse=True)
        return Stats(self.functions, rows, column)

    def filter(self, pattern):
        """A view with the rows whose label (name, file:line) matches the
        regular expression `pattern`, or for which `pattern(function)` is
        true when it is callable."""
        if callable(pattern):
            rows = [f for f in self.rows if pattern(f)]
        else:
            search = re.compile(pattern).search
            rows = [f for f in self.rows if search(f.label)]
        return Stats(self.functions, rows, self.order)

    def __iter__(self):
        return iter(self.rows)

    def __len__(self):
        return len(self.rows)

    def callers(self, function):
        """{caller key: Call} of the calls of `function` (a Function or key)."""
        key = getattr(function, "key", function)
        return {f.key: f.callees[key] for f in self.functions.values() if key in f.callees}

    @property
    def total(self):
        """Profiled time: every moment inside a profiled call is inline time
        of exactly one function, the innermost one."""
        return sum(f.inline for f in self.functions.values())

    # -- output ----------------------------------------------------------------

    def table(self, limit=None):
        from .report import format_table
        return format_table(self, limit)

    def print(self, limit=None, file=None):
        """Print the first `limit` rows (all by default) as a table."""
        (sys.stdout if file is None else file).write(self.table(limit))

    def flamegraph(self, path, title="quendle", **options):
        """Write the whole profile as a flame graph, a standalone SVG file
        (see quendle.flame for how call paths are drawn)."""
        from .flame import write_svg
        write_svg(self, path, title, **options)
