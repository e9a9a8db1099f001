"""Slow, literal references written from the behaviour: the rotating tree with
its random-bit rules, and the profiler's accounting driven by a recorded
stream of profile events. The tests compare the module with these."""
import ctypes
import types

MASK32 = 0xFFFFFFFF


class TreeModel:
    """Nodes are named by their (unique) keys; links are dicts."""

    def __init__(self):
        self.rng_state = 1
        self.reservoir = 0
        self.root = None
        self.left = {}
        self.right = {}

    def draw(self, n):
        if self.reservoir < (1 << n):
            self.rng_state = (self.rng_state * 1082527) & MASK32
            self.reservoir = self.rng_state
        bits = self.reservoir & ((1 << n) - 1)
        self.reservoir >>= n
        return bits

    def add(self, key):
        self.left[key] = self.right[key] = None
        if self.root is None:
            self.root = key
            return
        node = self.root
        while True:
            side = self.left if key < node else self.right
            if side[node] is None:
                side[node] = key
                return
            node = side[node]

    def _set_link(self, parent, side, value):
        if parent is None:
            self.root = value
        else:
            side[parent] = value

    def get(self, key):
        if self.draw(3) != 4:
            node = self.root
            while node is not None and node != key:
                node = self.left[node] if key < node else self.right[node]
            return node
        parent, side = None, None  # the current link: root, or side[parent]
        node = self.root
        if node is None:
            return None
        while True:
            if node == key:
                return node
            rotate = self.draw(1) == 0
            go_left = key < node
            child = (self.left if go_left else self.right)[node]
            if child is None:
                return None
            if rotate:
                if go_left:
                    self.left[node] = self.right[child]
                    self.right[child] = node
                else:
                    self.right[node] = self.left[child]
                    self.left[child] = node
                self._set_link(parent, side, child)
            else:
                parent, side = node, (self.left if go_left else self.right)
            node = child

    def shape(self, node="root"):
        node = self.root if node == "root" else node
        if node is None:
            return None
        return [node, self.shape(self.left[node]), self.shape(self.right[node])]


def builtin_key(fn):
    """The address of a built-in function's method definition: the second
    pointer after the object header (reference count, type)."""
    return ctypes.c_void_p.from_address(id(fn) + 2 * ctypes.sizeof(ctypes.c_void_p)).value


def builtin_label(fn):
    """What a built-in function is reported as, for functions bound to an
    object (module functions are bound to their module)."""
    name = fn.__name__
    bound = fn.__self__
    for klass in type(bound).__mro__:
        if name in vars(klass):
            return repr(vars(klass)[name])
    module = fn.__module__
    if isinstance(module, str):
        return f"<built-in method {module}.{name}>"
    return f"<built-in method {name}>"


class Recorder:
    """A profile function (for sys.setprofile) that records the events the
    profiler acts on, as (begin|end, key, label)."""

    def __init__(self):
        self.events = []

    def __call__(self, frame, event, arg):
        if event in ("call", "return"):
            code = frame.f_code
            self.events.append(("begin" if event == "call" else "end", code, code))
        elif event in ("c_call", "c_return", "c_exception"):
            if isinstance(arg, types.BuiltinFunctionType):
                kind = "begin" if event == "c_call" else "end"
                self.events.append((kind, ("builtin", builtin_key(arg)), arg))


class Stats:
    def __init__(self, label=None):
        self.label = label
        self.callcount = self.reccallcount = self.depth = 0
        self.totaltime = self.inlinetime = 0
        self.calls = {}

    def account(self, tt, it):
        self.depth -= 1
        if self.depth == 0:
            self.totaltime += tt
        else:
            self.reccallcount += 1
        self.inlinetime += it
        self.callcount += 1


class ProfileModel:
    """The profiler's accounting, with a clock that advances by one on every
    reading (as a counting timer does)."""

    def __init__(self, subcalls=True, builtins=True):
        self.subcalls = subcalls
        self.builtins = builtins
        self.clock = 0
        self.entries = {}
        self.stack = []  # [entry key, start, subcalls_time]

    def read(self):
        self.clock += 1
        return self.clock

    def run(self, events):
        for kind, key, source in events:
            if isinstance(key, tuple) and not self.builtins:
                continue
            if kind == "begin":
                self.begin(key, source)
            else:
                self.end(key)
        return self

    def begin(self, key, source):
        if key not in self.entries:
            label = builtin_label(source) if isinstance(key, tuple) else source
            self.entries[key] = Stats(label)
        entry = self.entries[key]
        outer = self.stack[-1] if self.stack else None
        context = [key, 0, 0]
        self.stack.append(context)
        entry.depth += 1
        if self.subcalls and outer is not None:
            calls = self.entries[outer[0]].calls
            calls.setdefault(key, Stats()).depth += 1
        context[1] = self.read()

    def end(self, key):
        if not self.stack:
            return
        context = self.stack.pop()
        if key not in self.entries:
            return
        tt = self.read() - context[1]
        it = tt - context[2]
        outer = self.stack[-1] if self.stack else None
        if outer is not None:
            outer[2] += tt
        self.entries[key].account(tt, it)
        if self.subcalls and outer is not None:
            sub = self.entries[outer[0]].calls.get(key)
            if sub is not None:
                sub.account(tt, it)

    def stats(self):
        """{label: (callcount, reccallcount, totaltime, inlinetime, calls)}
        with calls None or {callee label: (four figures)}, as getstats
        reports them (entries with no completed call left out)."""
        result = {}
        for entry in self.entries.values():
            if entry.callcount == 0:
                continue
            calls = None
            if entry.calls:
                calls = {self.entries[k].label: (s.callcount, s.reccallcount, s.totaltime, s.inlinetime)
                         for k, s in entry.calls.items()}
            result[entry.label] = (entry.callcount, entry.reccallcount, entry.totaltime, entry.inlinetime,
                                   calls)
        return result


def as_table(stats):
    """getstats() in the model's shape."""
    result = {}
    for entry in stats:
        calls = None
        if entry.calls is not None:
            calls = {sub.code: (sub.callcount, sub.reccallcount, sub.totaltime, sub.inlinetime)
                     for sub in entry.calls}
        result[entry.code] = (entry.callcount, entry.reccallcount, entry.totaltime, entry.inlinetime, calls)
    return result
