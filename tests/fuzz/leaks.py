"""Leak runs: every public callable of a module called with typical and with
failing arguments, in a child per module: batches of LEAK_CALLS calls (default
2000, 500 under the sanitizer; `make fuzz` uses 10**5) traced by tracemalloc,
then LEAK_BULK more untraced (default 10**5, none under the sanitizer, whose
leak check runs at exit instead), counted by the allocator's live blocks. The
reference counts of the arguments and of the first result, the traced Python
memory and the live blocks must not grow. Run as `leaks.py MODULE` by
test_fuzz.py.

Table: module -> {dotted name: (typical arguments, failing arguments)}; a
tuple is the positional arguments, a function takes the module and makes the
call itself (for calls that only balance in pairs, or keywords); None means
there is no such call. Names in SKIP are left out, with the reason.
"""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.dirname(HERE), os.path.join(os.path.dirname(HERE), "sanitizer")]

import harness  # noqa: E402
import lsan_check  # noqa: E402
import screen  # noqa: E402
import tables  # noqa: E402

F = bytes(range(64))
BASES = ["C", "F", "A"]


def _arr(m):
    return m.ndarray(list(range(12)), shape=[3, 4], format="B", flags=m.ND_WRITABLE)


def _profile(m, **kw):
    p = m.Profiler(**kw)
    p.enable()
    sorted([3, 1, 2])
    p.disable()
    return p.getstats()



_DEVICES = {}


def _dev(m, kind="dsp"):
    """One audio device and one mixer kept open for the whole run."""
    if kind not in _DEVICES:
        _DEVICES[kind] = m.open("/dev/dsp", "rw") if kind == "dsp" else m.openmixer("/dev/mixer")
    return _DEVICES[kind]


def _closed(m):
    d = m.open("/dev/dsp", "w")
    d.close()
    return d


def _enter_exit(m, opener):
    with opener(m) as d:
        return d.fileno()


def _panel(m, key="panel"):
    """A panel kept for the whole run, over a window of its own."""
    if key not in _DEVICES:
        _DEVICES[key] = m.new_panel(_window())
    return _DEVICES[key]


def _window():
    import curses
    return curses.newwin(3, 6, 1, 1)


def _panel_calls():
    plain = {n: (lambda m, n=n: getattr(_panel(m), n)(), lambda m, n=n: getattr(_panel(m), n)(1))
             for n in ("above", "below", "bottom", "hidden", "hide", "show", "top", "userptr", "window")}
    return {
        "new_panel": (lambda m: m.new_panel(_window()).window(), (1,)),
        **{n: ((), (1,)) for n in ("update_panels", "top_panel", "bottom_panel")},
        **{f"new_panel().{n}": how for n, how in plain.items()},
        "new_panel().move": (lambda m: _panel(m).move(1, 2), lambda m: _panel(m).move(999, 999)),
        "new_panel().replace": (lambda m: _panel(m).replace(_window()), lambda m: _panel(m).replace(1)),
        "new_panel().set_userptr": (lambda m: _panel(m).set_userptr([1]), lambda m: _panel(m).set_userptr()),
    }


HOME = os.environ.get("FUZZ_HOME", os.getcwd())
HIST = os.path.join(HOME, "history")

TABLE = {
    "tamvox": {
        **{n: ((F, 2), (F, 5)) for n in ("alaw2lin", "avg", "avgpp", "byteswap", "cross", "lin2alaw", "lin2ulaw",
                                         "max", "maxpp", "minmax", "reverse", "rms", "ulaw2lin")},
        "add": ((F, F, 2), (F, F[:4], 2)), "bias": ((F, 2, 5), (F, 2, "x")),
        "findfactor": ((F, F), (F, F[:4])), "findfit": ((F, F[:8]), (F[:4], F)), "findmax": ((F, 4), (F, 999)),
        "getsample": ((F, 2, 3), (F, 2, 999)), "lin2lin": ((F, 2, 4), (F, 2, 7)), "mul": ((F, 2, 0.5), (F, 2, "x")),
        "lin2adpcm": ((F, 2, None), (F, 2, (1, 2, 3))), "adpcm2lin": ((F, 2, (5, 3)), (F, 2, (1, 99))),
        "ratecv": ((F, 2, 1, 8000, 11025, None), (F, 2, 0, 8000, 11025, None)),
        "tomono": ((F, 2, 0.5, 0.5), (F[:6], 2, 1, 1)), "tostereo": ((F, 2, 1, 1), (F, 2, "a", 1)),
    },
    "orvik": {
        **{n: ((0.5 + 0.25j,), ("x",)) for n in ("acos", "acosh", "asin", "asinh", "atan", "atanh", "cos", "cosh",
                                                 "exp", "isfinite", "isinf", "isnan", "phase", "polar", "sin",
                                                 "sinh", "sqrt", "tan", "tanh")},
        "log10": ((2j,), (0j,)), "log": ((2j, 3), (0j,)), "rect": ((1.0, 2.0), (1.0, float("inf"))),
        "isclose": (lambda m: m.isclose(1j, 1j, rel_tol=0.1), lambda m: m.isclose(1j, 1j, rel_tol=-1)),
    },
    "_delvane": {
        "ndarray": ((list(range(4)),), lambda m: m.ndarray([1], shape=[5], format="B")),
        "ndarray.tolist": (lambda m: _arr(m).tolist(), None), "ndarray.tobytes": (lambda m: _arr(m).tobytes(), None),
        "ndarray.push": (lambda m: _arr(m).push([1, 2], shape=[2], format="h"),
                         lambda m: _arr(m).push([1], shape=[2], format="h")),
        "ndarray.pop": (lambda m: _arr(m).pop(), lambda m: m.ndarray([1], shape=[1]).pop()),
        "ndarray.add_suboffsets": (lambda m: m.ndarray([1, 2], shape=[2], flags=m.ND_PIL).add_suboffsets(),
                                   lambda m: _arr(m).add_suboffsets()),
        "ndarray.memoryview_from_buffer": (lambda m: _arr(m).memoryview_from_buffer(), None),
        "ndarray[]": (lambda m: _arr(m)[1:, ::-2].tolist(), lambda m: _arr(m)[9]),
        "get_pointer": (lambda m: m.get_pointer(_arr(m), [1, 2]), lambda m: m.get_pointer(_arr(m), [9, 9])),
        "get_contiguous": (lambda m: m.get_contiguous(_arr(m)[::-1], 0x100, "F"),
                           lambda m: m.get_contiguous(_arr(m), 5, "C")),
        "py_buffer_to_contiguous": (lambda m: m.py_buffer_to_contiguous(_arr(m)[::2], "F", 0),
                                    lambda m: m.py_buffer_to_contiguous(_arr(m), "X", 0)),
        "is_contiguous": (lambda m: m.is_contiguous(_arr(m), "C"), lambda m: m.is_contiguous(_arr(m), "X")),
        "cmp_contig": (lambda m: m.cmp_contig(_arr(m), _arr(m)[::-1]), lambda m: m.cmp_contig(_arr(m), 1)),
        "slice_indices": ((slice(1, 9, 2), 5), (slice(1, 9, 0), 5)), "get_sizeof_void_p": ((), (1,)),
        "staticarray": (lambda m: memoryview(m.staticarray()).tolist(), (1, 2)),
    },
    "_quendle": {"Profiler": (lambda m: _profile(m, subcalls=False) and _profile(m, timer=lambda: 1, timeunit=0.5),
                              lambda m: _profile(m, timer=lambda: "x"))},
    "readline": {
        "add_history": (lambda m: (m.add_history("x" * 50), m.remove_history_item(0)), (1,)),
        "remove_history_item": ((999,), ("x",)), "replace_history_item": (lambda m: (
            m.add_history("a"), m.replace_history_item(0, "b"), m.remove_history_item(0)), (999, "y")),
        "get_history_item": ((1,), ("x",)), "get_current_history_length": ((), (1,)),
        "set_history_length": ((100,), ("x",)), "get_history_length": ((), (1,)),
        "set_completer": ((lambda t, s: None,), (1,)), "get_completer": ((), (1,)),
        "get_completion_type": ((), (1,)), "get_begidx": ((), (1,)), "get_endidx": ((), (1,)),
        "set_completer_delims": ((" \t",), (1,)), "get_completer_delims": ((), (1,)),
        **{n: ((lambda *a: None,), (1,)) for n in ("set_completion_display_matches_hook", "set_startup_hook",
                                                   "set_pre_input_hook")},
        "parse_and_bind": (("set bell-style none",), (1,)), "read_init_file": (("/dev/null",), ("/no/such/file",)),
        "write_history_file": ((HIST,), ("/no/such/dir/h",)), "read_history_file": (lambda m: (
            m.write_history_file(HIST), m.read_history_file(HIST), m.clear_history()), ("/no/such/file",)),
        "append_history_file": ((1, HIST), (1, "/no/such/dir/h")), "clear_history": ((), (1,)),
        "insert_text": (("",), (1,)), "get_line_buffer": ((), (1,)), "redisplay": ((), (1,)),
    },
    # Safe sets: the core-file limit set to its own value; messages the log
    # mask drops before any is sent; the shadow entries only read.
    "resource": {
        "getrusage": ((0,), (99,)), "getrlimit": ((4,), (-1,)), "getpagesize": ((), (1,)),
        "setrlimit": (lambda m: m.setrlimit(4, m.getrlimit(4)), (-1, (1, 1))),
        "prlimit": ((0, 4), (4194305, 4)),
    },
    "syslog": {
        "LOG_MASK": ((3,), ("x",)), "LOG_UPTO": ((3,), ("x",)), "setlogmask": ((0,), ("x",)),
        "openlog": (lambda m: m.openlog("fuzz", 0, 8), (1,)), "closelog": ((), (1,)),
        "syslog": (lambda m: (m.setlogmask(m.LOG_MASK(0)), m.syslog(7, "dropped"), m.setlogmask(0xFF)), ("x", 1)),
    },
    "kelpin": {"getspnam": (("root",), ("no-such-user",)), "getspall": ((), (1,))},
    "_crypt": {"crypt": (("word", "ab"), ("word", 1))},
    "trevask": {"foo": ((1, 2), ("a", 2)), "new": ((), (1,)), "roj": (None, (1,)),
                "Xxo.demo": (lambda m: m.new().demo("s"), lambda m: m.new().demo(1, 2)),
                "Str": (("x",), None), "Null": ((), (1,))},
    "_gorblin": {"foo": ((1, 2), ("a", 2)), "call_state_registration_func": ((0,), (1,)),
                 "Example": ((), (1,)), "Str": (("x",), None)},
    "_zanthor": {"func_si": (("a", 1), (1, 1)), "func": ((), (1,))},
    "_ventrol": _panel_calls(),
    "_fenwold": {},
    # One device of each kind serves the method calls; the fake driver
    # answers them in private namespaces.
    "krellune": {
        "open": (lambda m: m.open("/dev/dsp", "w").close(), lambda m: m.open("/no/such/dsp", "w")),
        "open mode": (lambda m: m.open("rw").close(), lambda m: m.open("x")),
        "openmixer": (lambda m: m.openmixer("/dev/mixer").close(), ("/no/such/mixer",)),
        "open().read": (lambda m: _dev(m).read(64), lambda m: _dev(m).read(-1)),
        **{f"open().{n}": (lambda m, n=n: getattr(_dev(m), n)(F), lambda m, n=n: getattr(_dev(m), n)("x"))
           for n in ("write", "writeall")},
        **{f"open().{n}": (lambda m, n=n, v=v: getattr(_dev(m), n)(v), lambda m, n=n: getattr(_dev(m), n)("x"))
           for n, v in (("setfmt", 8), ("channels", 1), ("speed", 8000))},
        "open().setparameters": (lambda m: _dev(m).setparameters(8, 1, 8000), lambda m: _dev(m).setparameters(8, 1)),
        **{f"open().{n}": (lambda m, n=n: getattr(_dev(m), n)(), lambda m, n=n: getattr(_dev(m), n)(1))
           for n in ("getfmts", "bufsize", "obufcount", "obuffree", "getptr", "fileno", "sync", "reset", "post",
                     "flush")},
        "open().nonblock": (lambda m: m.open("/dev/dsp", "w").nonblock(), lambda m: _dev(m).nonblock(1)),
        "open().close": (lambda m: m.open("/dev/dsp", "w").close(), lambda m: _closed(m).read(4)),
        "open().__enter__": (lambda m: _enter_exit(m, lambda m: m.open("/dev/dsp", "w")),
                             lambda m: _dev(m).__exit__(1, 2, 3, 4)),
        **{f"openmixer().{n}": (lambda m, n=n: getattr(_dev(m, "mixer"), n)(),
                                lambda m, n=n: getattr(_dev(m, "mixer"), n)(1))
           for n in ("controls", "stereocontrols", "reccontrols", "get_recsrc", "fileno")},
        "openmixer().get": (lambda m: _dev(m, "mixer").get(0), lambda m: _dev(m, "mixer").get(99)),
        "openmixer().set": (lambda m: _dev(m, "mixer").set(0, (50, 50)), lambda m: _dev(m, "mixer").set(0, (500, 0))),
        "openmixer().set_recsrc": (lambda m: _dev(m, "mixer").set_recsrc(0),
                                   lambda m: _dev(m, "mixer").set_recsrc("x")),
        "openmixer().close": (lambda m: m.openmixer("/dev/mixer").close(),
                              lambda m: _enter_exit(m, lambda m: m.openmixer("/no/such"))),
    },
    # A private NIS master serves the default domain, fuzz.test.
    "yelmap": {"match": (("root", "passwd"), ("nobody", "passwd")), "cat": (("passwd",), ("no.such.map",)),
               "maps": ((), ("no.such.domain",)), "get_default_domain": ((), (1,))},
}
# Modules whose every call is a round trip through daemons run fewer calls:
# (traced batches, untraced run).
CALL_SCALE = {"yelmap": (0.1, 0.01), "krellune": (1, 0.1)}
SKIP = {"error", "struct_rusage", "struct_kelpin", "profiler_entry", "profiler_subentry", "Xxo", "OSSAudioError"}


def traced_growth(call, rounds, windows=5):
    """Python memory still held after `rounds` calls: the least growth over
    `windows` batches, traced from a first batch of as many. What that batch
    fills (caches, free lists, blocks replacing older untraced ones) is then
    traced on both sides, and the interpreter's own churn does not come back
    in every batch; a leak grows in each. Counted once the collector has
    freed the cycles the calls left."""
    import gc
    import tracemalloc
    tracemalloc.start()
    try:
        for _ in range(rounds):
            call()
        growth = []
        for _ in range(windows):
            gc.collect()
            start = tracemalloc.get_traced_memory()[0]
            for _ in range(rounds):
                call()
            gc.collect()
            growth.append(tracemalloc.get_traced_memory()[0] - start)
        return min(growth)
    finally:
        tracemalloc.stop()


def block_growth(call, rounds):
    """Blocks still allocated after `rounds` calls, without tracing, so that
    the long run stays fast. A leak keeps one block per call or more."""
    import gc
    gc.collect()
    start = sys.getallocatedblocks()
    for _ in range(rounds):
        call()
    gc.collect()
    return sys.getallocatedblocks() - start


def resolve(module, dotted):
    target = module
    for part in dotted.split(".")[:-1] if "." in dotted else ():
        target = getattr(target, part)
    return getattr(target, dotted.split(".")[-1].rstrip("[]"))


def make_call(module, name, how):
    if callable(how):
        return lambda: how(module)
    fn = resolve(module, name)
    return lambda: fn(*how)


def run(name, calls, bulk=0):
    module = harness.load(name)
    if tables.MODULES[name].terminal:
        screen.attach()
    public = {n for n in dir(module) if not n.startswith("_") and callable(getattr(module, n))}
    missing = public - SKIP - {k.split(".")[0].rstrip("[]") for k in TABLE[name]}
    problems = [f"no leak run for {sorted(missing)}"] if missing else []
    for label, pair in TABLE[name].items():
        for kind, how in zip(("typical", "failing"), pair):
            if how is None:
                continue
            call = make_call(module, label, how)
            try:
                first = call()
            except Exception:
                first = None
            # Numbers, strings and singletons are shared across the
            # interpreter: their counts move with everything else.
            objects = [o for o in [first, *(how if isinstance(how, tuple) else ())]
                       if not isinstance(o, (int, float, complex, str, type(None)))]
            before = [sys.getrefcount(o) for o in objects]

            def quiet():
                try:
                    call()
                except Exception:
                    pass

            growth = traced_growth(quiet, calls)
            blocks = block_growth(quiet, bulk) if bulk else 0
            after = [sys.getrefcount(o) for o in objects]
            if after != before:
                problems.append(f"{label} ({kind}): reference counts {before} -> {after}")
            # A leak keeps at least one block per call (8 bytes on i386, 16
            # here) in every batch; the interpreter's own churn, seeded by the
            # hash seed, has reached a few KiB in the least of the batches.
            if growth > max(8192, 6 * calls):
                problems.append(f"{label} ({kind}): {growth} bytes more after {calls} calls")
            if blocks > max(500, bulk // 20):
                problems.append(f"{label} ({kind}): {blocks} blocks more after {bulk} calls")
    return problems


if __name__ == "__main__":
    lsan_check.check_at_exit()
    try:
        # Fewer under the sanitizer, whose leak check also runs at exit.
        default = "500" if os.environ.get("EXT_SANITIZED") else "2000"
        calls = int(os.environ.get("LEAK_CALLS", default))
        bulk = int(os.environ.get("LEAK_BULK", "0" if os.environ.get("EXT_SANITIZED") else "100000"))
        scale, bulk_scale = CALL_SCALE.get(sys.argv[1], (1, 1))
        found = run(sys.argv[1], max(100, int(calls * scale)), int(bulk * bulk_scale))
    except harness.NotConfigured as exc:
        print(f"SKIP {exc}")
        sys.exit(0)
    print("\n".join("FAIL " + f for f in found) or f"DONE {len(TABLE[sys.argv[1]])} callables")
    sys.exit(1 if found else 0)
