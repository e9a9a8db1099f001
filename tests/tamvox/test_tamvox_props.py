# tamvox against the literal Python reference, over widths 1-4, odd lengths
# and extreme values. Needs only hypothesis, so it runs on every interpreter.
import math

import pytest
from hypothesis import given, settings, strategies as st

import tamvox_reference as ref

settings.register_profile("tamvox", max_examples=60, deadline=None, derandomize=True)
settings.load_profile("tamvox")


@pytest.fixture(scope="module")
def tv(load):
    return load("tamvox")


WIDTHS = st.sampled_from([1, 2, 3, 4])


@st.composite
def fragments(draw, width=None, min_size=0, max_size=67, multiple=1):
    """(fragment, width): sample values biased toward the extremes."""
    w = draw(WIDTHS) if width is None else width
    lo, hi = ref.MIN[w], ref.MAX[w]
    value = st.one_of(st.integers(lo, hi), st.sampled_from([lo, lo + 1, -1, 0, 1, hi - 1, hi]),
                      st.integers(-300, 300).map(lambda v: max(lo, min(hi, v))))
    n = draw(st.integers(min_size, max_size)) // multiple * multiple
    return ref.pack(draw(st.lists(value, min_size=n, max_size=n)), w), w


FACTORS = st.one_of(st.floats(allow_nan=True, allow_infinity=True),
                    st.floats(-3, 3), st.sampled_from([0.0, -0.0, 0.5, -1.0, 1.0, 2.0, 1 / 3]))


@given(fragments())
def test_statistics(tv, fw):
    f, w = fw
    for name in ["max_", "minmax", "avg", "rms", "maxpp", "avgpp", "cross"]:
        assert getattr(tv, name.rstrip("_"))(f, w) == getattr(ref, name)(f, w), name


@given(fragments(), st.integers(0, 10**6))
def test_getsample(tv, fw, i):
    f, w = fw
    samples = ref.unpack(f, w)
    if samples:
        i %= len(samples)
        assert tv.getsample(f, w, i) == samples[i]


@given(fragments(), FACTORS)
def test_mul(tv, fw, factor):
    f, w = fw
    assert tv.mul(f, w, factor) == ref.mul(f, w, factor)


@given(fragments(multiple=2), FACTORS, FACTORS)
def test_tomono(tv, fw, lf, rf):
    f, w = fw
    assert tv.tomono(f, w, lf, rf) == ref.tomono(f, w, lf, rf)


@given(fragments(), FACTORS, FACTORS)
def test_tostereo(tv, fw, lf, rf):
    f, w = fw
    assert tv.tostereo(f, w, lf, rf) == ref.tostereo(f, w, lf, rf)


@given(st.data())
def test_add(tv, data):
    a, w = data.draw(fragments())
    b, _ = data.draw(fragments(width=w, min_size=len(a) // w, max_size=len(a) // w))
    assert tv.add(a, b, w) == ref.add(a, b, w)


@given(fragments(), st.integers(-2**31, 2**31 - 1))
def test_bias(tv, fw, b):
    f, w = fw
    assert tv.bias(f, w, b) == ref.bias(f, w, b)


@given(fragments(), WIDTHS)
def test_reorder_and_widths(tv, fw, nw):
    f, w = fw
    assert tv.reverse(f, w) == ref.reverse(f, w)
    assert tv.byteswap(f, w) == ref.byteswap(f, w)
    assert tv.lin2lin(f, w, nw) == ref.lin2lin(f, w, nw)


@given(fragments(), st.binary(max_size=70), WIDTHS)
def test_g711(tv, fw, codes, ow):
    f, w = fw
    assert tv.lin2ulaw(f, w) == ref.lin2ulaw(f, w)
    assert tv.lin2alaw(f, w) == ref.lin2alaw(f, w)
    assert tv.ulaw2lin(codes, ow) == ref.ulaw2lin(codes, ow)
    assert tv.alaw2lin(codes, ow) == ref.alaw2lin(codes, ow)


def test_g711_every_input(tv):
    # Every 16-bit input and every code, once each.
    everything = ref.pack(range(-32768, 32768), 2)
    assert tv.lin2ulaw(everything, 2) == ref.lin2ulaw(everything, 2)
    assert tv.lin2alaw(everything, 2) == ref.lin2alaw(everything, 2)
    codes = bytes(range(256))
    for w in (1, 2, 3, 4):
        assert tv.ulaw2lin(codes, w) == ref.ulaw2lin(codes, w)
        assert tv.alaw2lin(codes, w) == ref.alaw2lin(codes, w)


STATES = st.one_of(st.none(), st.tuples(st.integers(-32768, 32767), st.integers(0, 88)))


@given(fragments(), STATES)
def test_lin2adpcm(tv, fw, state):
    f, w = fw
    assert tv.lin2adpcm(f, w, state) == ref.lin2adpcm(f, w, state)


@given(st.binary(max_size=40), WIDTHS, STATES)
def test_adpcm2lin(tv, data, w, state):
    assert tv.adpcm2lin(data, w, state) == ref.adpcm2lin(data, w, state)


@given(fragments(width=2, max_size=80, multiple=2), STATES)
def test_adpcm_decoder_follows_coder(tv, fw, state):
    f, _ = fw
    trace = []
    code, coder_state = tv.lin2adpcm(f, 2, state)
    ref.lin2adpcm(f, 2, state, trace)
    decoded, decoder_state = tv.adpcm2lin(code, 2, state)
    assert ref.unpack(decoded, 2) == trace
    assert decoder_state == coder_state


RATES = st.one_of(st.integers(1, 12), st.sampled_from([8000, 11025, 16000, 22050, 44100, 48000, 96000]))


@st.composite
def ratecv_args(draw):
    nch = draw(st.integers(1, 3))
    f, w = draw(fragments(max_size=60, multiple=nch))
    wa, wb = draw(st.sampled_from([(1, 0), (1, 1), (3, 1), (2, 2), (7, 3), (1000, 999)]))
    return f, w, nch, draw(RATES), draw(RATES), wa, wb


@given(ratecv_args())
def test_ratecv(tv, args):
    f, w, nch, inrate, outrate, wa, wb = args
    assert tv.ratecv(f, w, nch, inrate, outrate, None, wa, wb) == ref.ratecv(f, w, nch, inrate, outrate, None, wa, wb)


@given(ratecv_args(), st.integers(0, 100))
def test_ratecv_stream_in_two_calls(tv, args, cut):
    f, w, nch, inrate, outrate, wa, wb = args
    cut = cut % (len(f) // (w * nch) + 1) * w * nch
    first, state = tv.ratecv(f[:cut], w, nch, inrate, outrate, None, wa, wb)
    second, state2 = tv.ratecv(f[cut:], w, nch, inrate, outrate, state, wa, wb)
    assert (first + second, state2) == tv.ratecv(f, w, nch, inrate, outrate, None, wa, wb)


@given(ratecv_args(), st.integers(0, 40))
def test_ratecv_caller_state_with_positive_phase(tv, args, d):
    # A saved state may carry d >= 0: the output holds the frames it implies.
    f, w, nch, inrate, outrate, wa, wb = args
    pairs = tuple((ref.scaled(ref.MAX[w], w), ref.scaled(ref.MIN[w], w)) for _ in range(nch))
    state = (d, pairs)
    assert tv.ratecv(f, w, nch, inrate, outrate, state, wa, wb) == \
        ref.ratecv(f, w, nch, inrate, outrate, state, wa, wb)


@given(fragments(width=2, max_size=120), st.integers(0, 40), st.integers(0, 10**6))
def test_findfit(tv, fw, m, start):
    f, _ = fw
    n = len(f) // 2
    m = min(m, n)
    start = start % (n - m + 1)
    reference = f[2 * start:2 * (start + m)]
    got, want = tv.findfit(f, reference), ref.findfit(f, reference)
    assert got[0] == want[0]
    assert got[1] == want[1] or (math.isnan(got[1]) and math.isnan(want[1]))


@given(st.data())
def test_findfactor_findmax(tv, data):
    a, _ = data.draw(fragments(width=2))
    b, _ = data.draw(fragments(width=2, min_size=len(a) // 2, max_size=len(a) // 2))
    got, want = tv.findfactor(a, b), ref.findfactor(a, b)
    assert got == want or (math.isnan(got) and math.isnan(want))
    length = data.draw(st.integers(0, len(a) // 2))
    assert tv.findmax(a, length) == ref.findmax(a, length)
