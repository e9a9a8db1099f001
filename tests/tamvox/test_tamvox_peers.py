# tamvox against real peers: sox for G.711, and numpy formulations of every
# vectorised operation on long fragments.
import math
import shutil
import struct
import subprocess

import pytest


@pytest.fixture(scope="module")
def tv(load):
    return load("tamvox")


EVERY_16BIT = struct.pack("<65536h", *range(-32768, 32768))
sox_missing = pytest.mark.skipif(shutil.which("sox") is None, reason="sox is not installed")


def sox(data, src, dst):
    # -D: no dither, so sox's own conversion is deterministic.
    cmd = ["sox", "-D", "-t", "raw", *src, "-c", "1", "-r", "8000", "-", "-t", "raw", *dst, "-"]
    return subprocess.run(cmd, input=data, capture_output=True, check=True).stdout


LINEAR16 = ["-e", "signed", "-b", "16", "-L"]


@sox_missing
@pytest.mark.parametrize("law,name", [("u-law", "ulaw"), ("a-law", "alaw")])
def test_g711_decoding_agrees_with_sox(tv, law, name):
    codes = bytes(range(256))
    assert getattr(tv, name + "2lin")(codes, 2) == sox(codes, ["-e", law, "-b", "8"], LINEAR16)


@sox_missing
@pytest.mark.parametrize("law,name,dropped", [("u-law", "ulaw", 2), ("a-law", "alaw", 3)])
def test_g711_encoding_agrees_with_sox_where_conventions_meet(tv, law, name, dropped):
    # The coders see a 14-bit (u-law) or 13-bit (A-law) value. Ours drops the
    # low bits of a 16-bit sample (floor); sox rounds them to nearest. The two
    # conventions give the same code exactly when the dropped bits are below
    # half a step: compare there, and check that everywhere else ours is
    # sox's code for the sample with the low bits cleared.
    ours = getattr(tv, "lin2" + name)(EVERY_16BIT, 2)
    theirs = sox(EVERY_16BIT, LINEAR16, ["-e", law, "-b", "8"])
    half = 1 << (dropped - 1)
    agree = [i for i, v in enumerate(range(-32768, 32768)) if v % (2 * half) < half]
    assert len(agree) == 32768
    assert all(ours[i] == theirs[i] for i in agree)
    floored = struct.pack("<65536h", *(v & ~(2 * half - 1) for v in range(-32768, 32768)))
    assert ours == sox(floored, LINEAR16, ["-e", law, "-b", "8"])


@pytest.fixture(scope="module")
def npf():
    pytest.importorskip("numpy")
    import tamvox_numpy
    return tamvox_numpy


@pytest.fixture(scope="module")
def noise():
    np = pytest.importorskip("numpy")
    rng = np.random.default_rng(20261208)

    def make(w, n):
        raw = bytearray(rng.integers(0, 256, n * w, dtype=np.uint8).tobytes())
        # Sprinkle extremes, which saturate and overflow naive code.
        for i in range(0, n, 97):
            raw[i * w:(i + 1) * w] = (b"\x00" * (w - 1) + b"\x80") if i % 2 else (b"\xff" * (w - 1) + b"\x7f")
        return bytes(raw)
    return make


SIZES = [1, 31, 32, 33, 1000, 4099]


@pytest.mark.parametrize("w", [1, 2, 3, 4])
@pytest.mark.parametrize("n", SIZES)
def test_long_fragments_match_numpy(tv, npf, noise, w, n):
    f, g = noise(w, n), noise(w, n)[::-1]
    for name in ["max_", "minmax", "avg", "rms", "cross", "reverse", "byteswap", "lin2ulaw", "lin2alaw"]:
        assert getattr(tv, name.rstrip("_"))(f, w) == getattr(npf, name)(f, w), name
    for factor in (0.7, -1.5, 3.0, math.inf):
        assert tv.mul(f, w, factor) == npf.mul(f, w, factor)
    assert tv.tostereo(f, w, 0.5, -2.0) == npf.tostereo(f, w, 0.5, -2.0)
    if n % 2 == 0:
        assert tv.tomono(f, w, 0.25, 0.75) == npf.tomono(f, w, 0.25, 0.75)
    assert tv.add(f, g, w) == npf.add(f, g, w)
    for b in (1, -77, 2**31 - 1):
        assert tv.bias(f, w, b) == npf.bias(f, w, b)
    for nw in (1, 2, 3, 4):
        assert tv.lin2lin(f, w, nw) == npf.lin2lin(f, w, nw)
    codes = noise(1, n)
    assert tv.ulaw2lin(codes, w) == npf.ulaw2lin(codes, w)
    assert tv.alaw2lin(codes, w) == npf.alaw2lin(codes, w)
    for inrate, outrate in ((44100, 48000), (48000, 8000), (3, 3), (1, 7)):
        assert tv.ratecv(f, w, 1, inrate, outrate, None)[0] == npf.ratecv(f, w, inrate, outrate)


@pytest.mark.parametrize("w,n", [(1, 4095), (1, 4096), (2, (1 << 20) - 1), (2, (1 << 20) + 3)])
def test_mul_on_long_fragments(tv, npf, noise, w, n):
    # Long fragments take a per-call table of products; the results must be
    # those of the arithmetic, NaN and saturation included.
    f = noise(w, n)
    for factor in (0.7, -1.5, 1e-300, math.inf, -math.inf, math.nan):
        assert tv.mul(f, w, factor) == npf.mul(f, w, factor)


@pytest.mark.parametrize("frames", [(1 << 20) - 1, 1 << 20])
def test_tomono_on_long_byte_fragments(tv, npf, noise, frames):
    # Width 1 from a million frames on looks each frame up as a 16-bit key.
    f = noise(1, 2 * frames)
    for lf, rf in ((0.5, 0.5), (-1.25, 3.0), (math.inf, 0.0), (math.nan, 1.0)):
        assert tv.tomono(f, 1, lf, rf) == npf.tomono(f, 1, lf, rf)


@pytest.mark.parametrize("n,m", [(1, 0), (50, 50), (300, 17), (2000, 33), (4099, 200)])
def test_searches_match_numpy(tv, npf, noise, n, m):
    f = noise(2, n)
    r = f[2 * (n // 3):2 * (n // 3 + m)]
    got, want = tv.findfit(f, r), npf.findfit(f, r)
    assert got[0] == want[0] and (got[1] == want[1] or math.isnan(want[1]))
    other = noise(2, n)[::-1]
    assert tv.findfactor(f, other) == npf.findfactor(f, other)
    for length in (0, 1, m, n):
        assert tv.findmax(f, length) == npf.findmax(f, length)


def test_findfit_finds_a_planted_copy(tv, noise):
    np = pytest.importorskip("numpy")
    a = np.frombuffer(noise(2, 20000), np.int16) // 4
    r = a[12345:12345 + 700].copy()
    assert tv.findfit(a.tobytes(), r.tobytes()) == (12345, 1.0)
    assert tv.findfit(a.tobytes(), (r * 2).tobytes()) == (12345, 0.5)
