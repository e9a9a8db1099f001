"""What the fuzz children call, module by module.

A module's entry names the libraries to load, what each public callable is
called with (one strategy per positional argument, or a scenario: a function
run on one drawn value), and what is deliberately left out. Every public
callable of the module must appear in `calls` or `skip`, so a function added
later cannot go unfuzzed. Adding a module is one more entry in MODULES.
"""
import os
import shlex
import sys

from hypothesis import strategies as st

import scenarios
from hostile import (FLOAT_EDGES, INT_EDGES, Convert, IntSub, Oops, Raiser, anything, buffers, floats, ints,
                     lying, mixed, of, raw, texts)

OMIT = object()  # a keyword left out of the call


class Module:
    def __init__(self, names, calls, skip=(), namespace=None, scale=1, system_errors=(), terminal=False):
        self.names = names      # libraries to load; the first is the module fuzzed
        self.calls = calls      # dotted name -> [strategy per argument] or scenario
        self.skip = dict(skip)  # public name -> why it is not called
        self.namespace = namespace  # shell lines run in private namespaces first
        self.scale = scale      # examples per call, relative to the default
        self.terminal = terminal  # runs on a curses screen in a pseudo-terminal
        # name -> messages of the SystemErrors the call documents as its answer
        self.system_errors = dict(system_errors)


class Scenario:
    """A script driven by one drawn value: callbacks that re-enter the
    module, mutate or free what it is using."""

    def __init__(self, run, strategy):
        self.run = run
        self.strategy = strategy


def kw(**strategies):
    """Keyword arguments, each sometimes left out."""
    return st.fixed_dictionaries({k: st.one_of(st.just(OMIT), v) for k, v in strategies.items()})


M = mixed
frag = buffers()
width = M(of(1, 2, 3, 4))
small = st.integers(-3, 40)

TAMVOX = Module(["tamvox", "_delvane"], {
    **{name: [frag, width] for name in ("alaw2lin", "avg", "avgpp", "byteswap", "cross", "lin2alaw", "lin2ulaw",
                                       "max", "maxpp", "minmax", "reverse", "rms", "ulaw2lin")},
    "add": [frag, frag, width],
    "bias": [frag, width, M(ints)],
    "getsample": [frag, width, M(small)],
    "lin2lin": [frag, width, width],
    "mul": [frag, width, M(floats)],
    "tomono": [frag, width, M(floats), M(floats)],
    "tostereo": [frag, width, M(floats), M(floats)],
    "findfactor": [frag, frag],
    "findfit": [frag, frag],
    "findmax": [frag, M(small)],
    "lin2adpcm": [frag, width, M(st.one_of(st.none(), st.tuples(M(ints), M(st.integers(-2, 90)))))],
    "adpcm2lin": [frag, width, M(st.one_of(st.none(), st.tuples(M(ints), M(st.integers(-2, 90)))))],
    "ratecv": [frag, width, M(st.integers(-1, 5)), M(st.one_of(small, ints)), M(st.one_of(small, ints)),
               M(st.one_of(st.none(), st.tuples(M(ints), st.lists(st.tuples(M(ints), M(ints)), max_size=5)))),
               M(ints), M(ints)],
}, skip={"error": "an exception class"})


@st.composite
def ndarrays(draw):
    """One of our arrays in some layout, or a plain fallback."""
    nd = scenarios.mod("_delvane")
    n = draw(st.integers(0, 12))
    fmt = draw(of("B", "b", "h", "i", "q", "d", "?", "c", "2B"))
    items = [b"x" if fmt == "c" else (0, 1) if fmt == "2B" else i % 2 for i in range(n)]
    shape = draw(of([n], [n // 2, 2] if n % 2 == 0 else [n], [], [0]))
    flags = draw(of(0, nd.ND_WRITABLE, nd.ND_FORTRAN, nd.ND_PIL, nd.ND_VAREXPORT | nd.ND_WRITABLE,
                    nd.ND_REDIRECT, nd.ND_SCALAR))
    try:
        a = nd.ndarray(items if shape else (items[:1] or [0]), shape=shape, format=fmt, flags=flags)
        return a[::-1] if draw(st.booleans()) and a.ndim else a
    except (TypeError, ValueError, BufferError, NotImplementedError, OverflowError, struct_error()):
        return nd.ndarray([1, 2, 3], shape=[3], format="B")


def struct_error():
    import struct
    return struct.error


formats = M(of("B", "b", "h", "H", "i", "l", "q", "Q", "n", "f", "d", "e", "?", "c", "3s", "2h", "x", "<h", ">q",
               "@P", "=L", "T{B:a:}", "", "\0", "Z", "BB", "(2)h", "i" * 200))
shapes = M(st.one_of(st.lists(st.integers(-1, 6), max_size=4), st.lists(M(ints), max_size=3),
                     st.just([1] * 65), st.just([1] * 129)).map(tuple))
strides = M(st.lists(st.one_of(st.integers(-16, 16), st.sampled_from(INT_EDGES)), max_size=4).map(tuple))
flag_bits = M(st.lists(of(0, 1, 2, 4, 8, 16, 32, 64, 128, 0x1000), max_size=4).map(sum))
items = M(st.lists(st.one_of(st.integers(-300, 300), st.floats(), st.binary(max_size=3), lying), max_size=16))
keys = M(st.one_of(small, st.builds(slice, M(st.one_of(small, ints, st.none())), M(st.one_of(small, ints, st.none())),
                                    M(st.one_of(st.integers(-3, 3), ints, st.none()))),
                   st.tuples(small, small), st.just(Ellipsis), st.none(), st.tuples()))
orders = M(of("C", "F", "A", "X", ""))

DELVANE = Module(["_delvane"], {
    "ndarray": Scenario(scenarios.construct, st.tuples(items, kw(shape=shapes, strides=strides, offset=M(small),
                                                                 format=formats, flags=flag_bits,
                                                                 getbuf=flag_bits))),
    "ndarray.push": Scenario(scenarios.push, st.tuples(ndarrays(), items, kw(shape=shapes, strides=strides,
                                                                             offset=M(small), format=formats,
                                                                             flags=flag_bits))),
    **{f"ndarray.{m}": [M(ndarrays())] for m in ("tolist", "tobytes", "pop", "add_suboffsets",
                                                  "memoryview_from_buffer")},
    "ndarray[]": Scenario(scenarios.subscript, st.tuples(ndarrays(), keys, M(st.one_of(small, ndarrays(), frag)))),
    "get_pointer": [M(st.one_of(ndarrays(), frag)), M(st.lists(M(small), max_size=4))],
    "get_contiguous": [M(st.one_of(ndarrays(), frag)), M(of(0x100, 0x200, 0, -1)), orders],
    "py_buffer_to_contiguous": [M(st.one_of(ndarrays(), frag)), orders, flag_bits],
    "is_contiguous": [M(st.one_of(ndarrays(), frag)), orders],
    "cmp_contig": [M(st.one_of(ndarrays(), frag)), M(st.one_of(ndarrays(), frag))],
    "slice_indices": [keys, M(ints)],
    "get_sizeof_void_p": [],
    "staticarray": Scenario(scenarios.staticarray, M(st.booleans())),
    "item conversion": Scenario(scenarios.delvane_reentry, st.tuples(
        st.lists(of("pop", "push", "view", "release", "tolist", "assign", "clear", "raise", "value"), min_size=1,
                 max_size=6),
        of("construct", "push", "setitem", "slice"), of("B", "h", "d", "?", "2B"))),
})

QUENDLE = Module(["_quendle"], {
    "Profiler": Scenario(scenarios.construct_profiler, kw(
        timer=M(st.one_of(st.just(lambda: 1), st.just(lambda: 1.5), st.just(int))),
        timeunit=M(floats), subcalls=M(small), builtins=M(small))),
    "Profiler methods": Scenario(scenarios.profiler_methods, st.lists(
        st.tuples(of("enable", "disable", "clear", "getstats"), st.lists(M(small), max_size=3)), max_size=8)),
    "timer re-entry": Scenario(scenarios.profiler_reentry, st.tuples(
        st.lists(of("disable", "enable", "clear", "getstats", "raise", "new", "none"), min_size=1, max_size=6),
        st.lists(st.one_of(ints, floats, lying, st.just("7"), st.none()), min_size=1, max_size=6),
        of(None, 0.001, 1e-300, 1e300), st.booleans(), st.booleans())),
}, skip={"profiler_entry": "a result type", "profiler_subentry": "a result type"})

complexes = M(st.one_of(st.complex_numbers(allow_nan=True, allow_infinity=True),
                        st.builds(complex, of(*FLOAT_EDGES), of(*FLOAT_EDGES)), floats, ints,
                        st.builds(Convert, st.complex_numbers(allow_nan=True, allow_infinity=True))))
ORVIK = Module(["orvik"], {
    **{name: [complexes] for name in ("acos", "acosh", "asin", "asinh", "atan", "atanh", "cos", "cosh", "exp",
                                      "isfinite", "isinf", "isnan", "log10", "phase", "polar", "sin", "sinh",
                                      "sqrt", "tan", "tanh")},
    "log": [complexes, complexes],
    "rect": [M(floats), M(floats)],
    "isclose": Scenario(scenarios.call_kw("orvik", "isclose"),
                        st.tuples(st.tuples(complexes, complexes), kw(rel_tol=M(floats), abs_tol=M(floats)))),
})

# The parent gives each child a private home and working folder.
HOME = os.environ.get("FUZZ_HOME", os.getcwd())
paths = M(st.one_of(of(*(os.path.join(HOME, n) for n in ("h", "missing/h", "\udcff", "d"))),
                    of(HOME.encode() + b"/b", HOME + "/a\0b")))
callbacks = M(st.one_of(st.just(None), st.just(lambda *a: None), st.just(lambda *a: 1 / 0),
                        st.just(lambda *a: "x" * 5000)))
READLINE = Module(["readline"], {
    "parse_and_bind": [M(st.one_of(texts, of("tab: complete", "set editing-mode vi", "set editing-mode emacs",
                                             '"\\C-x": "abc"', "set history-size 3", "$if python", "$endif")))],
    "read_init_file": [paths], "read_history_file": [paths], "write_history_file": [paths],
    "append_history_file": [M(st.one_of(small, ints)), paths],
    "get_history_item": [M(st.one_of(small, ints))], "remove_history_item": [M(st.one_of(small, ints))],
    "replace_history_item": [M(st.one_of(small, ints)), M(texts)],
    "set_history_length": [M(st.one_of(small, ints))], "add_history": [M(texts)],
    "set_completer_delims": [M(texts)], "insert_text": [M(texts)],
    **{name: [] for name in ("get_line_buffer", "redisplay", "get_current_history_length", "get_history_length",
                             "get_completer", "get_completion_type", "get_begidx", "get_endidx",
                             "get_completer_delims", "clear_history")},
    **{name: [callbacks] for name in ("set_completer", "set_completion_display_matches_hook", "set_startup_hook",
                                      "set_pre_input_hook")},
    "input with callbacks": Scenario(scenarios.readline_input, st.tuples(
        st.lists(of(b"a", b"b", b"\t", b"\x1b\t", b"\x10", b"\x0e", b"\x12", b"\x07", b"\x7f", b"\x1b", b"\n",
                    b"\xc3", b"\xa9", b"\x03", b"\x15", b"1", b"\x1b<", b"\x1b>"), max_size=30).map(b"".join),
        st.lists(of("clear", "add", "remove", "replace", "drop completer", "drop hook", "insert", "buffer",
                    "redisplay", "raise", "bad", "many", "none", "length"), max_size=5))),
}, scale=0.5)

# Only the core-file limit is ever set, and on this child alone: other
# limits (CPU seconds, file size, memory) would end the child itself.
safe_resource = of(4, -1, 99, 2**31, 2**63, -2**63 - 1, IntSub(4), Convert(4), Convert(Oops), Raiser(), "4", 4.0)
limits = M(st.one_of(st.tuples(M(ints), M(ints)), st.tuples(of(0, 2**64 - 1, -1), of(0, 2**64 - 1, -1)),
                     st.lists(ints, max_size=3)))
safe_pid = of(0, os.getpid(), 4194305, -1, 2**31, 2**63, IntSub(0), Convert(0), Raiser())
RESOURCE = Module(["resource"], {
    "getrusage": [M(st.one_of(of(0, -1, 1), ints))],
    "getrlimit": [M(st.one_of(st.integers(-1, 17), ints))],
    "setrlimit": [safe_resource, limits],
    "prlimit": Scenario(scenarios.call("resource", "prlimit"),
                        st.one_of(st.tuples(safe_pid, M(st.one_of(st.integers(-1, 17), ints))),
                                  st.tuples(safe_pid, safe_resource, limits))),
    "getpagesize": [],
}, skip={"error": "OSError itself", "struct_rusage": "a result type"})

# A private /dev (no /dev/log, /dev/console is /dev/null) and a private
# shadow file: nothing reaches the host's logger or password database.
PRIVATE_SYSTEM = """
mount --bind /dev/null /dev/console
printf 'root:*:19000:0:99999:7:::\\nodd:::::::::\\n:x\\n%s:!:1:2:3:4:5:6:7\\n' "$(head -c 300 /dev/zero | tr '\\0' a)" \
    > /run/nsutil/shadow
mount --bind /run/nsutil/shadow /etc/shadow
"""
SYSLOG = Module(["syslog"], {
    "openlog": Scenario(scenarios.call_kw("syslog", "openlog"),
                        st.tuples(st.lists(M(st.one_of(texts, ints)), max_size=3).map(tuple),
                                  kw(ident=M(texts), logoption=M(ints), facility=M(ints)))),
    "syslog": Scenario(scenarios.call("syslog", "syslog"),
                       st.one_of(st.tuples(M(texts)), st.tuples(M(ints), M(texts)))),
    "setlogmask": [M(ints)], "LOG_MASK": [M(ints)], "LOG_UPTO": [M(ints)], "closelog": [],
}, namespace=PRIVATE_SYSTEM)
KELPIN = Module(["kelpin"], {"getspnam": [M(st.one_of(texts, of("root", "odd", "", "a" * 300)))], "getspall": []},
                skip={"struct_kelpin": "a result type"}, namespace=PRIVATE_SYSTEM)

CRYPT = Module(["_crypt"], {
    # Cheap salts only: a costly one (bcrypt cost 31, a billion SHA rounds)
    # is a valid request that takes hours.
    "crypt": [M(texts), M(st.one_of(texts, of("", "ab", "$1$abc$", "$5$rounds=1000$xy$", "$6$salt$", "$6$",
                                            "$2b$04$" + "a" * 22, "$2b$04$", "$y$", "*", "\0", "é", "$", "$$$$")))],
})

TREVASK = Module(["trevask"], {
    "foo": [M(ints), M(ints)], "roj": [anything, anything], "new": [],
    "Xxo.demo": Scenario(scenarios.call_method("trevask", "new", "demo"), st.lists(anything, max_size=2)),
    "Str": [M(texts)], "Null": [anything],
}, skip={"error": "an exception class", "Xxo": "made by new()"},
    # roj hands the parser a format it refuses, by design.
    system_errors={"roj": {"bad format string: O#:roj"}})
GORBLIN = Module(["_gorblin"], {
    "foo": [M(ints), M(ints)], "call_state_registration_func": [M(st.one_of(st.integers(-1, 3), ints))],
    "Example": [anything], "Str": [M(texts)],
}, skip={"error": "an exception class"},
    # The loader's own refusal, which this function exists to show.
    system_errors={"call_state_registration_func": {"PyState_AddModule called on module with slots",
                                                    "PyState_RemoveModule called on module with slots"}})
ZANTHOR = Module(["_zanthor"], {"func_si": [M(texts), M(ints)], "func": []})
FENWOLD = Module(["_fenwold_foo", "_fenwold_bar", "_fenwold"], {})
idx = st.integers(0, 5)
# Sizes the library would allocate gigabytes for stay out: the windows are the interpreter's, not ours.
win_size = st.one_of(st.integers(-2, 300), of(-2**31 - 1, -2**31, 2**31, 2**63, 10**40, 1.5, "3", None),
                     st.just(Raiser()))
releaser = st.builds(scenarios.Releaser, of("panels", "windows", "update", "raise"))
pos = M(st.one_of(st.integers(-3, 90), ints, releaser))
maybe_extra = st.lists(anything, max_size=1).map(tuple)
panel_ops = st.lists(st.one_of(
    st.tuples(of("new", "drop", "dropwin", "replace_own"), idx, st.one_of(st.just(()), maybe_extra)),
    st.tuples(of("newwin"), idx, st.one_of(st.tuples(win_size, win_size), st.tuples(win_size, win_size, pos, pos))),
    st.tuples(of("above", "below", "bottom", "hidden", "hide", "show", "top", "userptr", "window", "update_panels",
                 "top_panel", "bottom_panel"), idx, st.one_of(st.just(()), maybe_extra)),
    st.tuples(of("move"), idx, st.one_of(st.tuples(pos, pos), st.lists(pos, max_size=3).map(tuple))),
    st.tuples(of("replace"), idx, st.lists(st.one_of(anything, releaser), max_size=2).map(tuple)),
    st.tuples(of("set_userptr"), idx, st.one_of(st.tuples(st.one_of(releaser, anything)), maybe_extra))),
    max_size=12)
VENTROL = Module(["_ventrol"], {
    "new_panel": [anything], "update_panels": [], "top_panel": [], "bottom_panel": [],
    "panels": Scenario(scenarios.ventrol_panels, panel_ops),
}, skip={"error": "an exception class"}, terminal=True, scale=3)

# krellune against the fake OSS driver, mounted over a private /dev/dsp and
# /dev/mixer the way its own tests do (the driver ends with the namespaces).
TESTS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(TESTS, "krellune"))
import ossdriver  # noqa: E402

# What the device is written goes to /dev/null, not to a file that grows for the whole run.
OSS_DRIVER = (f"mkdir -p {ossdriver.STAGE}\nln -s /dev/null {ossdriver.STAGE}/audio\n" +
              ossdriver.SCRIPT.format(stage=ossdriver.STAGE, driver=shlex.quote(ossdriver.DRIVER),
                                      settings="").split("status=0")[0])
closing = st.builds(scenarios.Closing, st.integers(-2, 70))
# Sizes stop short of what would allocate gigabytes and make the driver fill them. 2**62 bytes is a
# MemoryError, but the sanitizer's allocator aborts on a request that large instead of failing it.
huge = () if os.environ.get("EXT_SANITIZED") else (2**62,)
sizes = M(st.one_of(st.integers(-3, 70000), of(-1, -2**63, *huge, 2**63, 10**40), closing,
                    st.builds(Convert, of(4, -1, 2**63, Oops))))
cint = M(st.one_of(ints, closing, lying))
audio_ops = st.lists(st.one_of(
    st.tuples(of("read"), st.tuples(sizes)),
    st.tuples(of("write", "writeall"), st.tuples(buffers(st.one_of(raw, st.binary(min_size=4096, max_size=70000))))),
    st.tuples(of("setfmt", "channels", "speed"), st.tuples(cint)),
    st.tuples(of("setparameters"), st.one_of(st.tuples(cint, cint, cint), st.tuples(cint, cint, cint, cint))),
    st.tuples(of("close", "fileno", "nonblock", "getfmts", "sync", "reset", "post", "bufsize", "obufcount",
                 "obuffree", "getptr", "flush", "__enter__"), st.lists(cint, max_size=1).map(tuple)),
    st.tuples(of("__exit__"), st.lists(anything, max_size=3).map(tuple))), max_size=8)
channel = M(st.one_of(st.integers(-2, 30), ints, closing))
mixer_ops = st.lists(st.one_of(
    st.tuples(of("get"), st.tuples(channel)),
    st.tuples(of("set"), st.one_of(st.tuples(channel, M(st.tuples(cint, cint))), st.tuples(channel, closing))),
    st.tuples(of("set_recsrc"), st.tuples(cint)),
    st.tuples(of("close", "fileno", "controls", "stereocontrols", "reccontrols", "get_recsrc", "__enter__"),
              st.lists(cint, max_size=1).map(tuple)),
    st.tuples(of("__exit__"), st.lists(anything, max_size=3).map(tuple))), max_size=8)
answer = of(0, 1, -1, 2, 3, 8, 16, 255, 4096, 65536, 2**31 - 1, -2**31)
driver_settings = st.lists(st.one_of(
    st.builds("{}={}".format, of("rate", "channels", "volume_answer", "short_write", "read_limit", "formats", "devmask",
                                 "stereodevs", "recmask", "recsrc"), answer),
    st.builds("ospace={},{},{},{}".format, answer, answer, answer, answer),
    st.builds("{}={},{},{}".format, of("optr", "iptr"), answer, answer, answer),
    st.builds("volume={}:{}".format, st.integers(0, 24), answer),
    # Requests refused with an errno: speed, format, channels, formats, output space, sync, reset, post, output
    # pointer, a mixer level.
    st.builds("fail={}:{}".format, of("0xc0045002", "0xc0045005", "0xc0045006", "0x8004500b", "0x8010500c", "0x5001",
                                      "0x5000", "0x5008", "0x800c5012", "0x80044d00"), of(5, 22, 25, 4, 11))),
    max_size=6)
dev_paths = M(st.one_of(of("/dev/dsp", "/dev/mixer", "/dev/null", "/dev/zero", "/no/such", "", "/dev", "a\0b",
                           "\udcff", "/dev/dsp" + "x" * 5000), texts))
modes = M(st.one_of(of("r", "w", "rw", "wr", "", "rw\0", "R", "x" * 300), texts))
KRELLUNE = Module(["krellune"], {
    "open": Scenario(scenarios.call("krellune", "open"),
                     st.one_of(st.tuples(modes), st.tuples(dev_paths, modes), st.tuples(dev_paths, modes, anything))),
    "openmixer": Scenario(scenarios.call("krellune", "openmixer"),
                          st.one_of(st.tuples(), st.tuples(dev_paths), st.tuples(dev_paths, anything))),
    "audio methods": Scenario(scenarios.krellune_audio, st.tuples(of("r", "w", "rw"), audio_ops)),
    "mixer methods": Scenario(scenarios.krellune_mixer, mixer_ops),
    "driver answers": Scenario(scenarios.krellune_driver_answers,
                               st.tuples(driver_settings, of("r", "w", "rw"), audio_ops, mixer_ops)),
}, skip={"OSSAudioError": "an exception class", "error": "an exception class"}, namespace=OSS_DRIVER, scale=3)

# yelmap against a private NIS master (rpcbind, ypserv, ypbind), set up as
# its own tests do; the daemons end with the namespaces.
sys.path.insert(0, os.path.join(TESTS, "yelmap"))
import nis_server  # noqa: E402

NIS_DOMAIN = "fuzz.test"
NIS_MAPS = {"passwd.byname": nis_server.Map({b"root": b"x:0:0:root:/root:/bin/sh", b"a" * 200: b"b" * 1000}),
            "mail.aliases": nis_server.Map({b"postmaster\0": b"root\0", b"empty\0": b""}, verbatim=True),
            "hosts.byname": nis_server.Map({b"nismaster": b"127.0.0.1 nismaster"})}


def nis_namespace():
    """The server's setup up to its ready line, each map's source written
    from the shell first; the daemons run without a preloaded sanitizer."""
    builds = []
    for n, (name, m) in enumerate(NIS_MAPS.items()):
        source = f"/run/nis-map.{n}"
        builds.append(f"printf %s {shlex.quote(m.source().hex())} | xxd -r -p > {source}")
        builds.append(m.build_command(source, f"/var/yp/{NIS_DOMAIN}/{name}"))
    fields = {"master": nis_server.MASTER, "ypserv": "ypserv -f", "domain": NIS_DOMAIN,
              "yp_conf": shlex.quote("ypserver 127.0.0.1"), "folders": f"/var/yp/{NIS_DOMAIN}",
              "builds": "\n".join(builds), "domains": NIS_DOMAIN}
    script = nis_server.SETUP.split('echo "ready')[0]
    for field, value in fields.items():
        script = script.replace("{" + field + "}", value)
    sanitizer = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")
    save = "".join(f'saved_{v}="${{{v}-}}"\n' for v in sanitizer) + "unset " + " ".join(sanitizer) + "\n"
    restore = "".join(f'[ -z "$saved_{v}" ] || export {v}="$saved_{v}"\n' for v in sanitizer)
    # libtirpc loaded before a sanitizer runtime looks for the XDR routines (nis_server.child_env).
    restore += 'case "${LD_PRELOAD-}" in *libasan*) export LD_PRELOAD="$LD_PRELOAD libtirpc.so.3" ;; esac\n'
    return save + script + restore


nis_maps = M(st.one_of(of("passwd", "passwd.byname", "aliases", "mail.aliases", "hosts", "group", "no.such", "",
                          "\0", "a\0b", "m" * 65, "m" * 5000, "\udcff", "é"), texts))
nis_domains = M(st.one_of(of(NIS_DOMAIN, "other.test", "", "\0", "d" * 65, "d" * 5000, "\udcff", "é"), texts))
nis_keys = M(st.one_of(of("root", "postmaster", "empty", "a" * 200, "", "\0", "root\0", "\udcff", "k" * 70000),
                       texts, st.binary(max_size=40)))
YELMAP = Module(["yelmap"], {
    "match": Scenario(scenarios.yelmap_call("match"), st.one_of(
        st.tuples(st.tuples(nis_keys, nis_maps), kw(domain=nis_domains)),
        st.tuples(st.lists(nis_keys, max_size=4).map(tuple), kw(key=nis_keys, map=nis_maps, domain=nis_domains)))),
    "cat": Scenario(scenarios.yelmap_call("cat"), st.one_of(
        st.tuples(st.tuples(nis_maps), kw(domain=nis_domains)),
        st.tuples(st.lists(nis_maps, max_size=3).map(tuple), kw(map=nis_maps, domain=nis_domains)))),
    "maps": Scenario(scenarios.yelmap_call("maps"), st.tuples(st.lists(nis_domains, max_size=2).map(tuple),
                                                              kw(domain=nis_domains))),
    "get_default_domain": [],
}, skip={"error": "an exception class"}, namespace=nis_namespace())

MODULES = {
    "orvik": ORVIK, "tamvox": TAMVOX, "_delvane": DELVANE, "readline": READLINE, "_quendle": QUENDLE,
    "_ventrol": VENTROL, "resource": RESOURCE, "syslog": SYSLOG, "kelpin": KELPIN, "_crypt": CRYPT,
    "_zanthor": ZANTHOR, "_gorblin": GORBLIN, "trevask": TREVASK, "_fenwold": FENWOLD,
    "krellune": KRELLUNE, "yelmap": YELMAP,
}
