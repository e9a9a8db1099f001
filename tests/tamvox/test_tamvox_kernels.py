# The vector kernels against the portable ones: every call below runs through
# the baseline table and the AVX2 table of the test build and must give the
# same bytes. Inputs cover every 8- and 16-bit sample, random 32-bit ones,
# every start alignment and every tail length up to a few vectors.
import math
import os
import random
import struct
import sys

import pytest

import harness

EVERY8 = bytes(range(256))
EVERY16 = struct.pack("<65536h", *range(-32768, 32768))
_rng = random.Random(17)
EDGES32 = [0, 1, -1, 2**31 - 1, -2**31, 2**18, -2**18, 2**18 - 1, -2**18 - 1, 2**19, -2**19 - 1, 8159 << 18]
RANDOM32 = struct.pack(f"<{len(EDGES32) + 50000}i", *EDGES32, *(_rng.getrandbits(32) - 2**31 for _ in range(50000)))
EVERY = {1: EVERY8 * 4, 2: EVERY16, 4: RANDOM32}
FACTORS = [0.0, -0.0, 1.0, -1.0, 0.7, -1.5, 1e10, -1e10, 1e-300, 5e-324, sys.float_info.max,
           -sys.float_info.max, math.inf, -math.inf, math.nan, 300.0, -300.0, 2.0**23 - 0.5, -2.0**23, 32767.99,
           -2.0**15, 2.5e5]


@pytest.fixture(scope="module")
def tk():
    tk = harness.load("_tamvox_kernels", harness.library_path("_tamvox_kernels", "tamvox"))
    if "avx2" not in tk.isas():
        pytest.skip("this CPU runs only the baseline kernels")
    yield tk
    tk.use(tk.best())


def same(tk, call):
    tk.use("baseline")
    expected = call()
    tk.use("avx2")
    assert call() == expected


def windows(data, w, frame=1):
    """Views at every byte alignment within 32 bytes and of every length up to
    a few vectors (in whole frames), then the whole input."""
    step = w * frame
    for off in range(32):
        for n in range(0, 100 // step * step, step):
            yield memoryview(data)[off:off + n]
    yield data


# (name, width, call on a fragment)
CASES = [(f"mul w{w} x{f}", w, lambda tk, x, w=w, f=f: tk.mul(x, w, f)) for w in (1, 2, 4) for f in FACTORS]
CASES += [(f"{law} w{w}", w, lambda tk, x, w=w, law=law: getattr(tk, law)(x, w))
          for law in ("lin2ulaw", "lin2alaw") for w in (1, 2, 4)]
CASES += [(f"tomono w{w} x{lf},{rf}", w, lambda tk, x, w=w, lf=lf, rf=rf: tk.tomono(x, w, lf, rf))
          for w in (1, 2)
          for lf, rf in [(0.5, 0.5), (0.7, -1.5), (1e10, 1e-300), (math.inf, 0.0), (-0.0, 5e-324),
                         (sys.float_info.max, sys.float_info.max), (math.nan, 1.0), (20000.0, -20000.0),
                         (1e300, -1e300), (2.0**13, 2.0**13 - 1)]]


@pytest.mark.parametrize("name,w,call", CASES, ids=[c[0] for c in CASES])
def test_vector_kernels_match_scalar(tk, name, w, call):
    frame = 2 if name.startswith("tomono") else 1
    # A stereo frame at width 1 is 16 bits: EVERY16 holds every one.
    data = EVERY16 if frame == 2 and w == 1 else EVERY[w]
    for x in windows(data, w, frame):
        same(tk, lambda: call(tk, x))



# Close rates (pairs from two loads), distant ones (gathered), periods at and
# beyond the closed form's table, and one that reduces to 1:1.
RATES = [(44100, 48000), (48000, 44100), (1, 2), (2, 1), (3, 1), (44100, 8000), (8000, 44100), (3, 7), (1, 1),
         (1, 2048), (1, 2049), (147, 4000)]
STATES = [None, (-1, ((123456789, -2**31),)), (-2**31, ((0, 0),)), (-2**24, ((5, 6),)),
          (-3, ((65536, 2**31 - 1),))]


@pytest.mark.parametrize("rates", RATES, ids=[f"{a}to{b}" for a, b in RATES])
def test_ratecv_closed_form_matches_scalar(tk, rates):
    # Every 16-bit input, or as much of it as keeps the output near 2^20 frames.
    whole = EVERY16[:2 * min(65536, (2**20 * rates[0] // rates[1]) // 8 * 8)]
    for state in STATES:
        for x in windows(whole[:200], 2):
            same(tk, lambda: tk.ratecv(x, 2, 1, *rates, state))
        same(tk, lambda: tk.ratecv(whole, 2, 1, *rates, state))
    # Outside the closed form's reach: filtered, stereo, and a phase >= 0.
    same(tk, lambda: tk.ratecv(whole, 2, 1, *rates, None, 3, 1))
    same(tk, lambda: tk.ratecv(whole, 2, 2, *rates, None))
    same(tk, lambda: tk.ratecv(EVERY16[:999 * 2], 2, 1, *rates, (5, ((1, 2),))))


def shuffled(seed):
    v = list(range(-32768, 32768))
    random.Random(seed).shuffle(v)
    return struct.pack("<65536h", *v)


FINDMAX_INPUTS = {
    "every": EVERY16, "shuffled": shuffled(3), "constant": struct.pack("<5000h", *[-32768] * 5000),
    "ramp": struct.pack("<5000h", *range(5000)), "zeros": bytes(10000),
    "bursts": struct.pack("<6000h", *[(i % 97) * 300 if i % 1000 < 50 else 0 for i in range(6000)]),
}


@pytest.mark.parametrize("name", FINDMAX_INPUTS)
def test_findmax_blocks_match_scalar(tk, name):
    data = FINDMAX_INPUTS[name]
    n = len(data) // 2
    for length in (0, 1, 2, 7, 8, 9, 15, 16, 17, 1000, n - 9, n - 8, n - 1, n):
        same(tk, lambda: tk.findmax(data, length))
    for x in windows(data[:400], 2):
        for length in range(0, min(len(x) // 2, 20) + 1):
            same(tk, lambda: tk.findmax(x, length))


def vm_flags(address):
    """The VmFlags of the mapping of this process that holds `address`."""
    inside = False
    with open("/proc/self/smaps") as f:
        for line in f:
            head = line.split()[0]
            if "-" in head and not head.endswith(":"):
                lo, hi = (int(x, 16) for x in head.split("-"))
                inside = lo <= address < hi
            elif inside and head == "VmFlags:":
                return line.split()[1:]
    raise AssertionError(f"no mapping holds {address:#x}")


@pytest.mark.parametrize("call,size", [
    (lambda tv: tv.ulaw2lin(bytes(1 << 24), 4), 1 << 26),
    (lambda tv: tv.tostereo(bytes(1 << 24), 2, 1.0, 1.0), 1 << 25),
    (lambda tv: tv.lin2lin(bytes(1 << 20), 1, 4), 1 << 22),
])
@pytest.mark.skipif(not os.path.isdir("/sys/kernel/mm/transparent_hugepage"),
                    reason="the kernel has no transparent huge pages")
@pytest.mark.skipif(harness.EMULATED, reason="the emulator takes madvise advice without passing it to the kernel")
def test_huge_pages_only_inside_large_results(load, call, size):
    tv = load("tamvox")
    result = call(tv)
    assert len(result) == size and not any(result[::4096])
    # id() is the object's address: its header shares a page with whatever
    # precedes it, which is not the result's to advise; the interior is.
    assert "hg" not in vm_flags(id(result))
    assert ("hg" in vm_flags(id(result) + size // 2)) == (size >= 1 << 24)
