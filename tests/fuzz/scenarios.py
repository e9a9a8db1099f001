"""Scripts the fuzz tables run on drawn values: keyword calls, methods, and
callbacks that re-enter a module, mutate or free what it is using."""
import ctypes
import os
import sys

import fuzz_modules
from hostile import Oops


def mod(name):
    return fuzz_modules.get(name)


def _kw(kwargs):
    import tables
    return {k: v for k, v in kwargs.items() if v is not tables.OMIT}


def call(module, name):
    return lambda args: getattr(mod(module), name)(*args)


def call_kw(module, name):
    return lambda value: getattr(mod(module), name)(*value[0], **_kw(value[1]))


def call_method(module, factory, method):
    return lambda args: getattr(getattr(mod(module), factory)(), method)(*args)


# ---- _delvane

def construct(value):
    a = mod("_delvane").ndarray(value[0], **_kw(value[1]))
    return a.tolist(), a.tobytes(), memoryview(a).tobytes()


def push(value):
    a, items, kwargs = value
    a.push(items, **_kw(kwargs))
    return a.tolist(), memoryview(a).tolist()


def subscript(value):
    a, key, item = value
    try:
        a[key]
    finally:
        a[key] = item


def staticarray(legacy):
    s = mod("_delvane").staticarray(legacy_mode=legacy)
    with memoryview(s) as m:
        return m.tolist(), bytes(m)


class _Evil:
    """An item whose conversion runs the next action of the plan."""

    def __init__(self, plan):
        self.plan = plan

    def _convert(self, result):
        self.plan.step()
        return result

    __index__ = lambda self: self._convert(1)
    __float__ = lambda self: self._convert(1.0)
    __bool__ = lambda self: self._convert(True)


class _Plan:
    def __init__(self, nd, actions):
        self.nd, self.actions, self.n, self.views, self.items = nd, actions, 0, [], []
        self.a = nd.ndarray(list(range(8)), shape=[8], format="B", flags=nd.ND_WRITABLE | nd.ND_VAREXPORT)

    def step(self):
        act = self.actions[self.n % len(self.actions)]
        self.n += 1
        nd, a = self.nd, self.a
        if act == "pop":
            a.pop()
        elif act == "push":
            a.push([1] * 8, shape=[8], format="B", flags=nd.ND_WRITABLE)
        elif act == "view":
            self.views.append(memoryview(a))
        elif act == "release":
            for m in self.views:
                m.release()
            self.views.clear()
        elif act == "tolist":
            a.tolist()
        elif act == "assign":
            a[0] = 3
        elif act == "clear":
            self.items.clear()
        elif act == "raise":
            raise Oops("conversion refused")


def delvane_reentry(value):
    actions, target, fmt = value
    nd = mod("_delvane")
    plan = _Plan(nd, actions)
    plan.items[:] = [(_Evil(plan), _Evil(plan)) if fmt == "2B" else _Evil(plan) for _ in range(6)]
    items = plan.items
    try:
        if target == "construct":
            nd.ndarray(items, shape=[6], format=fmt).tolist()
        elif target == "push":
            plan.a.push(items, shape=[6], format=fmt, flags=nd.ND_WRITABLE)
            plan.a.tolist()
        elif target == "setitem":
            plan.a[1] = _Evil(plan)
            plan.a[0:2] = nd.ndarray([_Evil(plan), _Evil(plan)], shape=[2], format="B")
        else:
            b = nd.ndarray(items, shape=[6], format=fmt)
            plan.a[0:6] = b
    finally:
        for m in plan.views:
            m.release()


# ---- _quendle

def _work():
    def leaf(x):
        return len(str(x))

    def gen():
        yield from range(3)

    try:
        sorted([3, 1, 2], key=leaf)
        list(gen())
        {}["missing"]
    except KeyError:
        pass
    return sum(leaf(i) for i in range(3))


def construct_profiler(kwargs):
    p = mod("_quendle").Profiler(**_kw(kwargs))
    try:
        p.enable()
        _work()
    finally:
        p.disable()
    return p.getstats()


def profiler_methods(ops):
    p = mod("_quendle").Profiler()
    try:
        for name, args in ops:
            getattr(p, name)(*args)
            _work()
    finally:
        p.disable()
        sys.setprofile(None)


def profiler_reentry(value):
    actions, values, unit, subcalls, builtins = value
    q = mod("_quendle")
    box, count = {}, [0]

    def timer():
        i = count[0]
        count[0] += 1
        act = actions[i % len(actions)]
        p = box.get("p")
        if p is not None and act in ("disable", "enable", "clear", "getstats"):
            getattr(p, act)()
        elif act == "raise":
            raise Oops("timer refused")
        elif act == "new":
            box["p"] = q.Profiler(timer)  # drops the running profiler
        elif act == "none":
            return None
        return values[i % len(values)]

    box["p"] = q.Profiler(timer, unit) if unit is not None else q.Profiler(timer)
    first = box["p"]
    try:
        box["p"].enable(subcalls, builtins)
        del first
        _work()
        box["p"].getstats()
    finally:
        p = box.pop("p", None)
        if p is not None:
            p.disable()
        sys.setprofile(None)


# ---- readline

class _Reader:
    """The interactive line reader, called as the interpreter calls it
    (without the lock), on a pipe."""

    def __init__(self):
        api = ctypes.pythonapi
        self.libc = ctypes.CDLL(None)
        self.libc.fdopen.restype = ctypes.c_void_p
        self.libc.fdopen.argtypes = [ctypes.c_int, ctypes.c_char_p]
        self.libc.fclose.argtypes = [ctypes.c_void_p]
        api.PyMem_RawFree.argtypes = [ctypes.c_void_p]
        self.free = api.PyMem_RawFree
        self.read = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_char_p)(
            ctypes.c_void_p.in_dll(api, "PyOS_ReadlineFunctionPointer").value)
        self.out = self.libc.fdopen(os.open(os.devnull, os.O_WRONLY), b"w")

    def lines(self, data):
        r, w = os.pipe()
        os.write(w, data)
        os.close(w)
        fin = self.libc.fdopen(r, b"r")
        try:
            for _ in range(64):
                p = self.read(fin, self.out, b"> ")
                if not p:
                    return  # an exception, which the call raises
                line = ctypes.string_at(p)
                self.free(p)
                if not line:
                    return
        finally:
            self.libc.fclose(fin)


_reader = []


def readline_input(value):
    keys, actions = value
    rl = mod("readline")
    if not _reader:
        _reader.append(_Reader())

    def run(*args):
        result = None
        for act in actions:
            if act == "clear":
                rl.clear_history()
            elif act == "add":
                rl.add_history("entry" * 20)
            elif act == "remove":
                rl.remove_history_item(0)
            elif act == "replace":
                rl.replace_history_item(0, "replaced")
            elif act == "drop completer":
                rl.set_completer(None)  # the running completer may be freed
            elif act == "drop hook":
                rl.set_startup_hook(None)
                rl.set_pre_input_hook(None)
                rl.set_completion_display_matches_hook(None)
            elif act == "insert":
                rl.insert_text("zz")
            elif act == "buffer":
                rl.get_line_buffer()
            elif act == "redisplay":
                rl.redisplay()
            elif act == "raise":
                raise Oops("callback refused")
            elif act == "bad":
                result = 42
            elif act == "many":
                result = "m" * 10000
            elif act == "length":
                rl.set_history_length(1)
        return result

    def complete(text, state):
        return run() if state < 3 else None

    rl.clear_history()
    rl.set_history_length(-1)
    for line in ("10", "20", "30"):
        rl.add_history(line)
    rl.parse_and_bind("tab: complete")
    rl.set_completer(complete)
    rl.set_startup_hook(lambda: run())
    rl.set_pre_input_hook(lambda: run())
    rl.set_completion_display_matches_hook(lambda *a: run())
    del complete
    try:
        _reader[0].lines(keys + b"\n")
    finally:
        rl.set_completer(None)
        rl.set_startup_hook(None)
        rl.set_pre_input_hook(None)
        rl.set_completion_display_matches_hook(None)


# ---- krellune (against the fake driver at /dev/dsp and /dev/mixer)

class Closing:
    """A number whose conversion closes the device it is passed to, mid-call."""

    def __init__(self, value):
        self.value, self.device = value, None

    def _close(self):
        if self.device is not None:
            self.device.close()
        return self.value

    __index__ = __int__ = __len__ = _close

    def __iter__(self):
        return iter((self._close(), self.value))

    def __repr__(self):
        return f"Closing({self.value!r})"


def _device_ops(device, ops):
    for op, args in ops:
        for a in args:
            if isinstance(a, Closing):
                a.device = device
        try:
            getattr(device, op)(*args)
        except (Exception, KeyboardInterrupt, SystemExit) as exc:
            if isinstance(exc, SystemError):
                raise
        # The attributes stay readable whatever happened.
        getattr(device, "closed", None), getattr(device, "name", None), getattr(device, "mode", None)


def krellune_audio(value):
    mode, ops = value
    with mod("krellune").open("/dev/dsp", mode) as dsp:
        _device_ops(dsp, ops)


def krellune_mixer(ops):
    with mod("krellune").openmixer("/dev/mixer") as mixer:
        _device_ops(mixer, ops)


def _driver_settings(lines):
    fd = os.open("/run/oss/fs/ctl", os.O_WRONLY)
    try:
        os.write(fd, "".join(line + "\n" for line in lines).encode())
    finally:
        os.close(fd)


def krellune_driver_answers(value):
    """The driver told to answer oddly (no channels, negative buffer figures,
    short writes...) while the device and the mixer are used."""
    settings, mode, ops, mixer_ops = value
    _driver_settings(settings)
    try:
        k = mod("krellune")
        try:
            dsp = k.open("/dev/dsp", mode)
        except OSError:
            return
        with dsp:
            _device_ops(dsp, ops)
        with k.openmixer("/dev/mixer") as mixer:
            _device_ops(mixer, mixer_ops)
    finally:
        _driver_settings(["reset=1"])


# ---- yelmap

def yelmap_call(name):
    return lambda value: getattr(mod("yelmap"), name)(*value[0], **_kw(value[1]))


# ---- _ventrol (on the pseudo-terminal of screen.attach)

class Releaser:
    """A user object whose release (or conversion) drops panels and windows
    of the running script, or redraws the stack, while a call holds it."""

    def __init__(self, act, state=None):
        self.act, self.state = act, state

    def _run(self):
        state, self.state = self.state, None
        if state is None:
            return 0
        panels, windows = state
        if self.act == "panels":
            panels[:] = [None] * len(panels)
        elif self.act == "windows":
            windows[:] = [None] * len(windows)
        elif self.act == "update":
            mod("_ventrol").update_panels()
        elif self.act == "raise":
            raise Oops("refused")
        return 1

    def __del__(self):
        try:
            self._run()
        except Exception:
            pass

    __index__ = __int__ = _run

    def __repr__(self):
        return f"Releaser({self.act!r})"


def ventrol_panels(ops):
    """A stack of panels over a few windows, driven by a drawn script. Panels
    and windows are dropped in any order, user objects release others, and
    every method is also called with the wrong arguments."""
    import curses
    v = mod("_ventrol")
    windows = [curses.newwin(4, 8, i, 3 * i) for i in range(3)]
    panels = [v.new_panel(w) for w in windows] + [None]
    for op, i, args in ops:
        for a in args:
            if isinstance(a, Releaser):
                a.state = (panels, windows)
        slot, win = i % len(panels), i % len(windows)
        p = panels[slot]
        try:
            if op == "new":
                panels[slot] = v.new_panel(windows[win], *args)
            elif op == "newwin":
                windows[win] = curses.newwin(*args)
            elif op == "drop":
                panels[slot] = None
            elif op == "dropwin":
                windows[win] = None
            elif op == "replace_own":
                if p is not None:
                    p.replace(windows[(win + 1) % len(windows)])
            elif op in ("update_panels", "top_panel", "bottom_panel"):
                getattr(v, op)(*args)
                curses.doupdate()
            elif p is not None:
                getattr(p, op)(*args)
        except (Exception, KeyboardInterrupt, SystemExit) as exc:
            if isinstance(exc, SystemError):
                raise
    panels[:] = []
    v.update_panels()
    curses.doupdate()
