# Inputs meant to break tamvox: run in fresh interpreters, so a crash fails
# one test instead of the run (and under the sanitizer build, any stray read
# or write aborts the child).
import ctypes
import os
import textwrap

import pytest

import harness


def child(code, env=None):
    return harness.run_child(textwrap.dedent(code), "tamvox", timeout=120,
                             env=None if env is None else {**os.environ, **env}).stdout


def test_kernel_isa_symbol(load):
    lib = ctypes.CDLL(harness.module_path("tamvox"))
    lib.tamvox_kernel_isa.restype = ctypes.c_char_p
    assert lib.tamvox_kernel_isa() in (b"avx2", b"baseline")
    out = child("""
        import ctypes
        lib = ctypes.CDLL(tamvox.__file__)
        lib.tamvox_kernel_isa.restype = ctypes.c_char_p
        print(lib.tamvox_kernel_isa().decode())
    """, env={"TAMVOX_BASELINE": "1"})
    assert out.strip() == "baseline"


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
        import mmap
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
        for f, args in [(tamvox.getsample, (b"\\0\\0", 2, 2**62)), (tamvox.findmax, (b"\\0\\0", 2**62))]:
            try:
                f(*args)
            except tamvox.error as e:
                print(e)
    """).splitlines()
    assert out == ["MemoryError not enough memory for output buffer"] * 5 + [
        "Index out of range", "Input sample should be longer"]


def test_baseline_and_avx2_kernels_agree():
    # The same calls under the baseline table (forced) and under the table
    # this CPU picks; digests of every result must match.
    code = """
        import hashlib, math, random
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
                    feed(getattr(tamvox, name)(f, w))
                for factor in (0.3, -2.5, math.inf, math.nan):
                    feed(tamvox.mul(f, w, factor))
                    feed(tamvox.tostereo(f, w, factor, 1.0))
                feed(tamvox.tomono(f[:n // 2 * 2 * w], w, 0.5, -0.25))
                feed(tamvox.add(f, g, w))
                feed(tamvox.bias(f, w, -12345))
                for nw in (1, 2, 3, 4):
                    feed(tamvox.lin2lin(f, w, nw))
                feed(tamvox.lin2adpcm(f, w, (100, 40)))
                feed(tamvox.adpcm2lin(f, w, None))
                feed(tamvox.ratecv(f, w, 1, 44100, 48000, None, 3, 1))
            a = bytes(rng.getrandbits(8) for _ in range(2 * n + 200))
            feed(tamvox.findfit(a, a[50:50 + 2 * n]))
            feed(tamvox.findfactor(a, a[::-1]))
            feed(tamvox.findmax(a, n))
        print(h.hexdigest())
    """
    assert child(code, env={"TAMVOX_BASELINE": "1"}) == child(code, env={"TAMVOX_BASELINE": ""})
