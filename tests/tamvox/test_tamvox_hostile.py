# Inputs meant to break tamvox: run in fresh interpreters, so a crash fails
# one test instead of the run (and under the sanitizer build, any stray read
# or write aborts the child).
import os
import shutil
import subprocess
import textwrap

import pytest

import harness


def child(code, env=None):
    return harness.run_child(textwrap.dedent(code), "tamvox", timeout=120,
                             env=None if env is None else {**os.environ, **env}).stdout


def test_library_exports_only_its_init_function_and_reads_no_environment(load):
    tv = load("tamvox")
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", tv.__file__], capture_output=True, text=True,
                         check=True).stdout
    names = sorted(line.split()[-1] for line in out.splitlines() if line.strip())
    # AddressSanitizer adds an __odr_asan twin of each exported variable.
    assert [n for n in names if not n.startswith("__odr_asan.")] == ["PyInit_tamvox"]
    # Nothing in the library consults the environment.
    out = subprocess.run([nm, "-D", "--undefined-only", tv.__file__], capture_output=True, text=True,
                         check=True).stdout
    assert not [line for line in out.splitlines() if "getenv" in line]


def test_ratecv_caller_state_with_large_phase():
    out = child("""
        # d far beyond the rates: frames pour out before any input is read.
        frag, state = tamvox.ratecv(b"\\0\\0", 2, 1, 1, 1, (10**6, ((0, 0),)))
        print(len(frag), state)
        # Extrapolating from extreme history stays inside the 32-bit range.
        frag, state = tamvox.ratecv(b"", 4, 1, 1000003, 1, (2**31 - 1, ((2**31 - 1, -2**31),)))
        print(len(frag), frag[:4].hex(), frag[-4:].hex(), state[0])
        for bad in [(2**31 - 1, ((0, 0),)), (2**30, ((0, 0), (0, 0)))]:
            try:
                tamvox.ratecv(b"\\0" * 8, 4, len(bad[1]), 1, 3, bad)
            except MemoryError as e:
                print("MemoryError", e)
        frag, state = tamvox.ratecv(b"\\0\\0" * 5, 2, 1, 3, 2, (-2**31, ((1, 2),)))
        print(len(frag), state)
    """).splitlines()
    assert out[0] == "2000004 (-1, ((0, 0),))"
    assert out[1] == "8592 ffffff7f ffffff7f -522797"
    assert out[2:4] == ["MemoryError not enough memory for output buffer"] * 2
    assert out[4] == "0 (-2147483638, ((0, 0),))"


def test_huge_lengths_are_refused_before_allocating():
    # Anonymous maps cost nothing until touched, and the checks never touch them.
    out = child("""
        import mmap, sys
        def attempt(f, *args):
            try:
                f(*args)
                print("ok")
            except MemoryError as e:
                print(type(e).__name__, e)
        attempt(tamvox.tostereo, mmap.mmap(-1, 0x40000000), 1, 1.0, 1.0)
        attempt(tamvox.lin2lin, mmap.mmap(-1, 0x20000000), 1, 4)
        attempt(tamvox.ulaw2lin, mmap.mmap(-1, 0x20000000), 4)
        attempt(tamvox.alaw2lin, mmap.mmap(-1, 0x40000000), 2)
        attempt(tamvox.adpcm2lin, mmap.mmap(-1, 0x10000000), 4, None)
        huge = sys.maxsize // 2 + 1  # 2**62 on x86_64, 2**30 on i386
        for f, args in [(tamvox.getsample, (b"\\0\\0", 2, huge)), (tamvox.findmax, (b"\\0\\0", huge))]:
            try:
                f(*args)
            except tamvox.error as e:
                print(e)
    """).splitlines()
    assert out == ["MemoryError not enough memory for output buffer"] * 5 + [
        "Index out of range", "Input sample should be longer"]


def kernels_path():
    return harness.library_path("_tamvox_kernels", "tamvox")


def test_kernel_tables_on_offer():
    out = child(f"""
        import importlib.machinery, importlib.util
        path = {kernels_path()!r}
        spec = importlib.util.spec_from_file_location(
            "_tamvox_kernels", path, loader=importlib.machinery.ExtensionFileLoader("_tamvox_kernels", path))
        tk = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(tk)
        print(tk.isas(), tk.best())
        try:
            tk.use("avx512")
        except ValueError as e:
            print(e)
    """).splitlines()
    isas, best = out[0].rsplit(" ", 1)
    assert isas in ("('baseline',)", "('baseline', 'avx2')")
    assert best == eval(isas)[-1]
    assert out[1] == "kernels 'avx512' cannot run on this CPU"


def test_baseline_and_avx2_kernels_agree():
    # The same calls through every kernel table this CPU can run, in one
    # process, and through tamvox itself; digests of every result must match.
    out = child(f"""
        import hashlib, importlib.machinery, importlib.util, math, random
        path = {kernels_path()!r}
        spec = importlib.util.spec_from_file_location(
            "_tamvox_kernels", path, loader=importlib.machinery.ExtensionFileLoader("_tamvox_kernels", path))
        tk = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(tk)

        def digest(tk):
            rng = random.Random(7)
            h = hashlib.sha256()
            def feed(x):
                h.update(repr(x).encode() if not isinstance(x, bytes) else x)
            for n in (0, 1, 7, 31, 32, 33, 63, 64, 65, 127, 1001):
                for w in (1, 2, 3, 4):
                    f = bytes(rng.getrandbits(8) for _ in range(n * w))
                    g = bytes(rng.getrandbits(8) for _ in range(n * w))
                    for name in ("max", "minmax", "avg", "rms", "maxpp", "avgpp", "cross", "reverse", "byteswap",
                                 "lin2ulaw", "lin2alaw", "ulaw2lin", "alaw2lin"):
                        feed(getattr(tk, name)(f, w))
                    for factor in (0.3, -2.5, math.inf, math.nan):
                        feed(tk.mul(f, w, factor))
                        feed(tk.tostereo(f, w, factor, 1.0))
                    feed(tk.tomono(f[:n // 2 * 2 * w], w, 0.5, -0.25))
                    feed(tk.add(f, g, w))
                    feed(tk.bias(f, w, -12345))
                    for nw in (1, 2, 3, 4):
                        feed(tk.lin2lin(f, w, nw))
                    feed(tk.lin2adpcm(f, w, (100, 40)))
                    feed(tk.adpcm2lin(f, w, None))
                    feed(tk.ratecv(f, w, 1, 44100, 48000, None, 3, 1))
                a = bytes(rng.getrandbits(8) for _ in range(2 * n + 200))
                feed(tk.findfit(a, a[50:50 + 2 * n]))
                feed(tk.findfactor(a, a[::-1]))
                feed(tk.findmax(a, n))
            return h.hexdigest()

        for isa in tk.isas():
            tk.use(isa)
            print(isa, digest(tk))
        print("tamvox", digest(tamvox))
    """).splitlines()
    digests = {line.split()[0]: line.split()[1] for line in out}
    assert "baseline" in digests
    # The shipped module runs the same code through the table it picks.
    assert digests["tamvox"] == digests[out[-2].split()[0]]
    if "avx2" not in digests:
        pytest.skip("this CPU runs only the baseline kernels")
    assert digests["avx2"] == digests["baseline"]
