# tamvox: the module's surface, worked examples and every failure message.
import math
import struct
import sys

import pytest


@pytest.fixture(scope="module")
def tv(load):
    return load("tamvox")


def s16(*v):
    return struct.pack(f"<{len(v)}h", *v)


def s32(*v):
    return struct.pack(f"<{len(v)}i", *v)


DOCS = {
    "max": ("fragment, width", "Return the maximum of the absolute value of all samples in a fragment."),
    "minmax": ("fragment, width", "Return the minimum and maximum values of all samples in the sound fragment."),
    "avg": ("fragment, width", "Return the average over all samples in the fragment."),
    "maxpp": ("fragment, width", "Return the maximum peak-peak value in the sound fragment."),
    "avgpp": ("fragment, width", "Return the average peak-peak value over all samples in the fragment."),
    "rms": ("fragment, width", "Return the root-mean-square of the fragment, i.e. sqrt(sum(S_i^2)/n)."),
    "findfit": ("fragment, reference", "Try to match reference as well as possible to a portion of fragment."),
    "findmax": ("fragment, length", "Search fragment for a slice of specified number of samples with maximum energy."),
    "findfactor": ("fragment, reference",
                   "Return a factor F such that rms(add(fragment, mul(reference, -F))) is minimal."),
    "cross": ("fragment, width", "Return the number of zero crossings in the fragment passed as an argument."),
    "mul": ("fragment, width, factor", "Return a fragment that has all samples in the original fragment "
                                       "multiplied by the floating-point value factor."),
    "add": ("fragment1, fragment2, width",
            "Return a fragment which is the addition of the two samples passed as parameters."),
    "bias": ("fragment, width, bias",
             "Return a fragment that is the original fragment with a bias added to each sample."),
    "ulaw2lin": ("fragment, width",
                 "Convert sound fragments in u-LAW encoding to linearly encoded sound fragments."),
    "lin2ulaw": ("fragment, width", "Convert samples in the audio fragment to u-LAW encoding."),
    "alaw2lin": ("fragment, width",
                 "Convert sound fragments in a-LAW encoding to linearly encoded sound fragments."),
    "lin2alaw": ("fragment, width", "Convert samples in the audio fragment to a-LAW encoding."),
    "lin2lin": ("fragment, width, newwidth", "Convert samples between 1-, 2-, 3- and 4-byte formats."),
    "adpcm2lin": ("fragment, width, state", "Decode an Intel/DVI ADPCM coded fragment to a linear fragment."),
    "lin2adpcm": ("fragment, width, state", "Convert samples to 4 bit Intel/DVI ADPCM encoding."),
    "tomono": ("fragment, width, lfactor, rfactor", "Convert a stereo fragment to a mono fragment."),
    "tostereo": ("fragment, width, lfactor, rfactor", "Generate a stereo fragment from a mono fragment."),
    "getsample": ("fragment, width, index", "Return the value of sample index from the fragment."),
    "reverse": ("fragment, width", "Reverse the samples in a fragment and returns the modified fragment."),
    "byteswap": ("fragment, width", "Convert big-endian samples to little-endian and vice versa."),
}


def test_module_surface(tv):
    assert tv.__doc__ is None
    assert tv.error.__module__ == "tamvox" and tv.error.__name__ == "error"
    assert tv.error.__bases__ == (Exception,)
    names = [n for n in vars(tv) if not n.startswith("__")]
    assert sorted(names) == sorted(list(DOCS) + ["ratecv", "error"])
    for name, (params, text) in DOCS.items():
        fn = getattr(tv, name)
        assert fn.__doc__ == text, name
        assert fn.__text_signature__ == f"($module, {params}, /)", name
    assert tv.ratecv.__doc__ == "Convert the frame rate of the input fragment."
    assert tv.ratecv.__text_signature__ == (
        "($module, fragment, width, nchannels, inrate, outrate, state,\n       weightA=1, weightB=0, /)")


@pytest.mark.parametrize("call,expected", [
    (("getsample", b"\x00\x00\x80", 3, 0), -8388608),
    (("getsample", b"\xff\xff\x7f", 3, 0), 8388607),
    (("getsample", b"\xff", 1, 0), -1),
    (("getsample", s16(5, -7), 2, 1), -7),
    (("max", s32(-2**31), 4), 2147483648),
    (("max", b"", 2), 0),
    (("max", bytes([0x80]), 1), 128),
    (("minmax", b"", 1), (2147483647, -2147483648)),
    (("minmax", s16(3, -9, 4), 2), (-9, 4)),
    (("cross", b"", 1), -1),
    (("cross", b"\x05", 1), 0),
    (("cross", bytes([1, 255, 1]), 1), 2),
    (("cross", bytes([0, 255, 0, 0]), 1), 2),
    (("avg", bytes([255, 0]), 1), -1),
    (("avg", b"", 4), 0),
    (("avg", s32(2**31 - 1, 2**31 - 1), 4), 2**31 - 1),
    (("rms", b"", 2), 0),
    (("rms", s16(3, 4), 2), 3),
    (("rms", s32(-2**31), 4), 2**31),
    # Squares summed past 2**64 (where i386 has no 128-bit integer).
    (("rms", s32(-2**31, 2**31 - 1) * 8, 4), math.isqrt((2**62 + (2**31 - 1)**2) // 2)),
    (("maxpp", bytes([0, 10, 0, 10, 0]), 1), 10),
    (("avgpp", bytes([0, 10, 0, 10, 0]), 1), 10),
    (("maxpp", bytes([1, 2, 3, 4]), 1), 0),
    (("avgpp", b"\x07", 1), 0),
    (("maxpp", s32(0, 2**31 - 1, -2**31, 2**31 - 1, 0), 4), 2**32 - 1),
    (("mul", bytes([100, 156, 253, 3]), 1, 2.0), bytes([127, 128, 250, 6])),
    (("mul", bytes([253, 3]), 1, 0.5), bytes([254, 1])),
    (("add", bytes([100]), bytes([100]), 1), bytes([127])),
    (("add", bytes([0x80]), bytes([0xFF]), 1), bytes([0x80])),
    (("add", s32(2**31 - 1), s32(1), 4), s32(2**31 - 1)),
    (("add", s32(-2**31), s32(-1), 4), s32(-2**31)),
    (("bias", bytes([127]), 1, 1), bytes([0x80])),
    (("bias", s16(-1), 2, 1), s16(0)),
    (("bias", s32(2**31 - 1), 4, 1), s32(-2**31)),
    (("bias", b"\xff\xff\x7f", 3, 1), b"\x00\x00\x80"),
    (("tomono", s16(1000, 3000), 2, 0.5, 0.5), s16(2000)),
    (("tostereo", s16(1000), 2, 1.0, -0.5), s16(1000, -500)),
    (("lin2lin", s16(-1, 0x100, 0xFF), 2, 1), bytes([0xFF, 0x01, 0x00])),
    (("lin2lin", b"\x01", 1, 2), s16(0x100)),
    (("lin2lin", b"\x01\x02\x03", 3, 4), b"\x00\x01\x02\x03"),
    (("reverse", b"\x01\x02\x03\x04\x05\x06", 3), b"\x04\x05\x06\x01\x02\x03"),
    (("byteswap", b"\x01\x02\x03\x04\x05\x06", 3), b"\x03\x02\x01\x06\x05\x04"),
    (("byteswap", b"\x01\x02", 1), b"\x01\x02"),
    (("lin2ulaw", s16(0, 1, -1, 100, -100, 32767, -32768), 2), bytes([0xFF, 0xFF, 0x7E, 0xF2, 0x72, 0x80, 0x00])),
    (("ulaw2lin", b"\x00\x80", 2), s16(-32124, 32124)),
    (("ulaw2lin", b"\x00", 1), b"\x82"),
    (("ulaw2lin", b"\x00", 4), s32(-32124 * 65536)),
    (("ulaw2lin", b"\x00\x7f\xff", 4), s32(-32124 * 65536, 0, 0)),
    (("ulaw2lin", b"\x00", 3), b"\x00\x84\x82"),
    (("lin2alaw", s16(0, -1), 2), b"\xd5\x55"),
    (("alaw2lin", b"\xd5\x55\x00\x80", 2), s16(8, -8, -5504, 5504)),
    (("lin2adpcm", s16(0, 1000), 2, None), (b"\x07", (11, 8))),
    (("lin2adpcm", s16(0, 1000), 2, (0, 0)), (b"\x07", (11, 8))),
    (("adpcm2lin", b"\x07", 2, None), (s16(0, 11), (11, 8))),
    (("findmax", s16(0, 0, 5, 5, 0), 2), 2),
    (("findmax", s16(4, 4, 4, 4), 2), 0),
    (("findmax", s16(1, 9, 3), 0), 0),
    (("findmax", s16(1, 9, 3), 3), 0),
    (("findfactor", s16(3, -6, 9), s16(1, -2, 3)), 3.0),
    (("findfit", s16(5, -3, 1, 2, 3, 7), s16(1, 2, 3)), (2, 1.0)),
    (("findfit", s16(5, -3, 1, 2, 3, 7), s16(2, 4, 6)), (2, 0.5)),
])
def test_examples(tv, call, expected):
    name, *args = call
    assert getattr(tv, name)(*args) == expected


def test_nan_results(tv):
    offset, factor = tv.findfit(s16(1, 2), b"")
    assert offset == 0 and math.isnan(factor)
    assert math.isnan(tv.findfactor(s16(1, 2), s16(0, 0)))
    assert math.isnan(tv.findfactor(b"", b""))
    # An all-silent first window scores NaN, and NaN never loses.
    assert tv.findfit(s16(0, 0, 1, 2), s16(1, 2))[0] == 0


@pytest.mark.parametrize("width", [1, 2, 3, 4])
@pytest.mark.parametrize("call", [
    lambda tv, f, w: tv.mul(f, w, math.inf),
    lambda tv, f, w: tv.mul(f, w, math.nan),
    lambda tv, f, w: tv.tomono(f + f, w, math.inf, 0.0),
    lambda tv, f, w: tv.tostereo(f, w, math.nan, math.nan)[: len(f)],
])
def test_nan_product_is_silence(tv, width, call):
    # 0 * inf and anything * NaN have no value; the module writes silence.
    zero = bytes(width)
    assert call(tv, zero, width) == zero
    assert tv.mul(b"\x05" * width, width, math.inf) == (b"\xff" * (width - 1) + b"\x7f")


def test_ratecv_examples(tv):
    frag = s16(100, 200)
    assert tv.ratecv(frag, 2, 1, 1, 2, None) == (s16(100, 150, 200), (-1, ((6553600, 13107200),)))
    assert tv.ratecv(s16(100, 200, 300, 400), 2, 1, 2, 1, None) == (s16(100, 300), (-1, ((19660800, 26214400),)))
    assert tv.ratecv(frag, 2, 1, 2, 4, None) == tv.ratecv(frag, 2, 1, 1, 2, None)
    assert tv.ratecv(b"", 2, 1, 3, 7, None) == (b"", (-7, ((0, 0),)))
    same = s16(1, -2, 3, -4)
    assert tv.ratecv(same, 2, 2, 8000, 8000, None) == (same, (-1, ((65536, 3 * 65536), (-2 * 65536, -4 * 65536))))
    assert tv.ratecv(s16(7), 2, 1, 5, 5, None)[1] == (-1, ((0, 7 * 65536),))
    x = s16(1000, -3000, 2000, 7)
    assert tv.ratecv(x, 2, 1, 3, 4, None, 2, 2) == tv.ratecv(x, 2, 1, 3, 4, None, 1, 1)
    assert tv.ratecv(x, 2, 1, 3, 4, None, 5, 0) == tv.ratecv(x, 2, 1, 3, 4, None)


ERR, TYPE, VALUE, MEM, OVER = "error", TypeError, ValueError, MemoryError, OverflowError
SIZE = "Size should be 1, 2, 3 or 4"
FRAMES = "not a whole number of frames"
FRAME_CHECKED = ["max", "minmax", "avg", "rms", "maxpp", "avgpp", "cross", "reverse", "byteswap",
                 "lin2ulaw", "lin2alaw"]


def failures():
    rows = []
    for name in FRAME_CHECKED:
        rows += [((name, b"\0\0", 0), ERR, SIZE), ((name, b"\0\0", 5), ERR, SIZE),
                 ((name, b"\0\0\0", 2), ERR, FRAMES)]
    for name in ["ulaw2lin", "alaw2lin"]:
        rows += [((name, b"\0", 0), ERR, SIZE), ((name, b"\0", 5), ERR, SIZE)]
    rows += [
        (("getsample", b"\0\0", 3, 0), ERR, FRAMES),
        (("getsample", b"\0\0", 7, 0), ERR, SIZE),
        (("getsample", s16(1, 2), 2, 2), ERR, "Index out of range"),
        (("getsample", s16(1, 2), 2, -1), ERR, "Index out of range"),
        (("mul", b"\0", 2, 1.0), ERR, FRAMES),
        (("mul", b"\0", -1, 1.0), ERR, SIZE),
        (("tomono", s16(1, 2, 3), 2, 1.0, 1.0), ERR, FRAMES),
        (("tomono", b"\0" * 3, 2, 1.0, 1.0), ERR, FRAMES),
        (("tostereo", b"\0" * 3, 4, 1.0, 1.0), ERR, FRAMES),
        (("add", b"\0" * 3, b"\0" * 3, 2), ERR, FRAMES),
        (("add", b"\0" * 2, b"\0" * 4, 2), ERR, "Lengths should be the same"),
        (("add", b"\0" * 2, b"\0" * 4, 0), ERR, SIZE),
        (("bias", b"\0" * 3, 2, 1), ERR, FRAMES),
        (("lin2lin", b"\0" * 3, 2, 1), ERR, FRAMES),
        (("lin2lin", b"\0" * 2, 2, 5), ERR, SIZE),
        (("lin2lin", b"\0" * 2, 0, 2), ERR, SIZE),
        (("lin2adpcm", b"\0" * 3, 2, None), ERR, FRAMES),
        (("lin2adpcm", b"\0" * 2, 2, [0, 0]), TYPE, "state must be a tuple or None"),
        (("adpcm2lin", b"\0", 2, [0, 0]), TYPE, "state must be a tuple or None"),
        (("adpcm2lin", b"\0", 9, None), ERR, SIZE),
        (("lin2adpcm", b"\0" * 2, 2, (32768, 0)), VALUE, "bad state"),
        (("lin2adpcm", b"\0" * 2, 2, (-32769, 0)), VALUE, "bad state"),
        (("lin2adpcm", b"\0" * 2, 2, (0, 89)), VALUE, "bad state"),
        (("adpcm2lin", b"\0", 2, (0, -1)), VALUE, "bad state"),
        (("lin2adpcm", b"\0" * 2, 2, (0,)), TYPE, "function takes exactly 2 arguments (1 given)"),
        (("adpcm2lin", b"\0", 2, (0, "x")), TYPE, None),
        (("findfit", b"\0" * 3, b"\0" * 2), ERR, "Strings should be even-sized"),
        (("findfit", b"\0" * 4, b"\0" * 3), ERR, "Strings should be even-sized"),
        (("findfit", b"\0" * 4, b"\0" * 6), ERR, "First sample should be longer"),
        (("findfactor", b"\0" * 3, b"\0" * 3), ERR, "Strings should be even-sized"),
        (("findfactor", b"\0" * 4, b"\0" * 6), ERR, "Samples should be same size"),
        (("findmax", b"\0" * 3, 1), ERR, "Strings should be even-sized"),
        (("findmax", b"\0" * 4, 3), ERR, "Input sample should be longer"),
        (("findmax", b"\0" * 4, -1), ERR, "Input sample should be longer"),
        (("ratecv", b"\0\0", 0, 1, 1, 1, None), ERR, SIZE),
        (("ratecv", b"\0\0", 2, 0, 1, 1, None), ERR, "# of channels should be >= 1"),
        (("ratecv", b"\0\0", 4, 536870912, 1, 1, None), OVER, "width * nchannels too big for a C int"),
        (("ratecv", b"\0\0", 2, 1, 1, 1, None, 0, 0), ERR, "weightA should be >= 1, weightB should be >= 0"),
        (("ratecv", b"\0\0", 2, 1, 1, 1, None, 1, -1), ERR, "weightA should be >= 1, weightB should be >= 0"),
        (("ratecv", b"\0\0", 2, 2, 1, 1, None), ERR, FRAMES),
        (("ratecv", b"\0\0", 2, 1, 1, 0, None), ERR, "sampling rate not > 0"),
        (("ratecv", b"\0\0", 2, 1, -5, 1, None), ERR, "sampling rate not > 0"),
        (("ratecv", b"", 1, 0x40000000, 1, 1, None), MEM, "not enough memory for output buffer"),
        (("ratecv", b"\0" * 4, 4, 1, 1, 2**30, None), MEM, "not enough memory for output buffer"),
        (("ratecv", b"\0\0", 2, 1, 1, 1, (0, ((0, 0), (0, 0)))), ERR, "illegal state argument"),
        (("ratecv", b"\0\0", 2, 1, 1, 1, (0, [(0, 0)])), TYPE, "tamvox.ratecv: illegal state argument"),
        (("ratecv", b"\0\0", 2, 1, 1, 1, ("x", ((0, 0),))), TYPE, None),
        (("ratecv", b"\0\0", 2, 1, 1, 1, [0, ((0, 0),)]), TYPE, "tamvox.ratecv: illegal state argument"),
        (("ratecv", b"\0\0", 2, 1, 1, 1, (0, ([0, 0],))), TYPE, "tamvox.ratecv: illegal state argument"),
        (("ratecv", b"\0\0", 2, 1, 1, 1, (0, ((0, 0, 0),))), TYPE, "ratecv() takes exactly 2 arguments (3 given)"),
        (("max", "text", 1), TYPE, None),
        (("max", b"", 2**31), OVER, None),
        (("findmax", b"", 2**63), OVER, None),
        (("mul", b"", 1, "2"), TYPE, None),
    ]
    return rows


@pytest.mark.parametrize("call,exc,message", failures())
def test_failures(tv, call, exc, message):
    name, *args = call
    exc = tv.error if exc == ERR else exc
    with pytest.raises(BaseException) as info:
        getattr(tv, name)(*args)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message


def test_inputs_are_only_read(tv):
    data = bytearray(s16(1, -2, 3, -4))
    view = memoryview(data)
    for out in (tv.mul(view, 2, 2.0), tv.reverse(data, 2), tv.bias(data, 2, 3), tv.byteswap(data, 2)):
        assert type(out) is bytes
    assert data == s16(1, -2, 3, -4)
    assert tv.max(memoryview(s32(5, -9)).cast("i"), 4) == 9  # any contiguous exporter


def test_no_reference_leak(tv):
    frag = s16(*range(-50, 50))
    state = (3, 7)
    before = sys.getrefcount(frag), sys.getrefcount(state)
    for _ in range(200):
        tv.ratecv(frag, 2, 1, 3, 4, None)
        tv.lin2adpcm(frag, 2, state)
        tv.findfit(frag, frag[:20])
        with pytest.raises(tv.error):
            tv.add(frag, frag[:2], 2)
    assert (sys.getrefcount(frag), sys.getrefcount(state)) == before
