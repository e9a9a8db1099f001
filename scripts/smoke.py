"""Each built module imports under this interpreter and answers one call."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests"))
import harness  # noqa: E402

# module name -> a call whose answer is known. Modules not built are skipped.
CHECKS = {
    "_fenwold": lambda m: m.__doc__ == "_fenwold doc",
    "_fenwold_foo": lambda m: m.__doc__ == "_fenwold_foo doc",
    "_fenwold_bar": lambda m: m.__doc__ == "_fenwold_bar doc",
    "_crypt": lambda m: m.crypt("pw", "ab") == "abzlUXK5ed5rs" and m.crypt("pw", "!!") is None,
    "orvik": lambda m: m.sqrt(-4) == 2j,
    "tamvox": lambda m: m.add(b"\x01\x02", b"\x03\x04", 1) == b"\x04\x06" and m.lin2ulaw(b"\x00\x00", 2) == b"\xff",
    "_delvane": lambda m: m.ndarray([1, 2, 3], shape=[3]).tolist() == [1, 2, 3],
    "krellune": lambda m: isinstance(m.AFMT_S16_LE, int),
    "readline": lambda m: m._READLINE_VERSION >= 0x0800 and m.get_history_length() == -1
    and m.get_completer_delims() == " \t\n`~!@#$%^&*()-=+[{]}\\|;:'\",<>/?",
    "_zanthor": lambda m: m.func() is None and m.func_si("a", 1) is None,
    "_quendle": lambda m: m.Profiler().getstats() == [],
    "_ventrol": lambda m: hasattr(m, "new_panel"),
    "yelmap": lambda m: hasattr(m, "match"),
    "_gorblin": lambda m: m.foo(1, 2) == 3 and m.int_const == 1969,
    "resource": lambda m: m.getpagesize() > 0 and m.getrlimit(m.RLIMIT_NOFILE) == m.prlimit(0, 7),
    "syslog": lambda m: m.LOG_MASK(m.LOG_ERR) == 1 << m.LOG_ERR,
    "trevask": lambda m: m.foo(1, 2) == 3 and m.new().demo("x") == "x",
    "kelpin": lambda m: m.struct_kelpin.n_sequence_fields == 9 and m.struct_kelpin.n_fields == 11,
}

failed = []
ran = []
for name, check in CHECKS.items():
    try:
        path = harness.module_path(name)
    except FileNotFoundError:
        continue
    try:
        ok = check(harness.load(name, path))
    except Exception as exc:  # report every module, not just the first
        ok = False
        print(f"smoke: {name}: {type(exc).__name__}: {exc}")
    (ran if ok else failed).append(name)

print(f"smoke on Python {sys.version.split()[0]}: {len(ran)} passed, {len(failed)} failed")
if failed:
    print("smoke failed:", ", ".join(failed))
sys.exit(1 if failed or not ran else 0)
