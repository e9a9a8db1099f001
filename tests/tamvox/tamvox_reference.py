"""A slow, literal reference for tamvox, written from the behaviour in plain
Python (exact integers, IEEE doubles), for the property tests to compare with."""
import math

MAX = {1: 0x7F, 2: 0x7FFF, 3: 0x7FFFFF, 4: 0x7FFFFFFF}
MIN = {w: -m - 1 for w, m in MAX.items()}


def unpack(frag, w):
    return [int.from_bytes(frag[i:i + w], "little", signed=True) for i in range(0, len(frag), w)]


def pack(values, w):
    mask = (1 << (8 * w)) - 1
    return b"".join((v & mask).to_bytes(w, "little") for v in values)


def scaled(s, w):
    return s << (32 - 8 * w)


def unscale(v, w):
    return v >> (32 - 8 * w)


def clamp_floor(x, w):
    if x != x:
        return 0  # the module's choice for NaN: silence
    if x > MAX[w]:
        return MAX[w]
    if x < MIN[w] + 1:
        return MIN[w]
    return math.floor(x)


def max_(frag, w):
    return max((abs(s) for s in unpack(frag, w)), default=0)


def minmax(frag, w):
    s = unpack(frag, w)
    return (min(s), max(s)) if s else (0x7FFFFFFF, -0x80000000)


def avg(frag, w):
    s = unpack(frag, w)
    return sum(s) // len(s) if s else 0


def rms(frag, w):
    s = unpack(frag, w)
    return math.isqrt(sum(v * v for v in s) // len(s)) if s else 0


def _peaks(frag, w):
    s = unpack(frag, w)
    out = []
    if len(s) <= 1:
        return out
    prev, direction, extreme = s[0], None, None
    for v in s[1:]:
        if v == prev:
            continue
        d = "down" if v < prev else "up"
        if direction is not None and d != direction:
            if extreme is not None:
                out.append(abs(prev - extreme))
            extreme = prev
        prev, direction = v, d
    return out


def maxpp(frag, w):
    return max(_peaks(frag, w), default=0)


def avgpp(frag, w):
    p = _peaks(frag, w)
    return sum(p) // len(p) if p else 0


def cross(frag, w):
    count, last = -1, None
    for v in unpack(frag, w):
        sign = v < 0
        if sign != last:
            count += 1
        last = sign
    return count


def mul(frag, w, factor):
    return pack([clamp_floor(float(s) * factor, w) for s in unpack(frag, w)], w)


def tomono(frag, w, lf, rf):
    s = unpack(frag, w)
    return pack([clamp_floor(float(l) * lf + float(r) * rf, w) for l, r in zip(s[::2], s[1::2])], w)


def tostereo(frag, w, lf, rf):
    out = []
    for s in unpack(frag, w):
        out += [clamp_floor(float(s) * lf, w), clamp_floor(float(s) * rf, w)]
    return pack(out, w)


def add(a, b, w):
    return pack([min(max(x + y, MIN[w]), MAX[w]) for x, y in zip(unpack(a, w), unpack(b, w))], w)


def bias(frag, w, b):
    return pack([s + b for s in unpack(frag, w)], w)


def reverse(frag, w):
    return pack(unpack(frag, w)[::-1], w)


def byteswap(frag, w):
    return b"".join(frag[i:i + w][::-1] for i in range(0, len(frag), w))


def lin2lin(frag, w, nw):
    return pack([unscale(scaled(s, w), nw) for s in unpack(frag, w)], nw)


ULAW_END = [0x3F, 0x7F, 0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF, 0x1FFF]
ALAW_END = [0x1F, 0x3F, 0x7F, 0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF]


def _segment(ends, p):
    return next((i for i, e in enumerate(ends) if e >= p), None)


def ulaw_code(p):
    mask = 0xFF
    if p < 0:
        p, mask = -p, 0x7F
    p = min(p, 32635) + 33
    seg = _segment(ULAW_END, p)
    if seg is None:
        return 0x7F ^ mask
    return ((seg << 4) | ((p >> (seg + 1)) & 0x0F)) ^ mask


def alaw_code(p):
    mask = 0xD5
    if p < 0:
        mask, p = 0x55, -p - 1
    seg = _segment(ALAW_END, p)
    if seg is None:
        return 0x7F ^ mask
    bits = (p >> 1) & 0x0F if seg < 2 else (p >> seg) & 0x0F
    return ((seg << 4) | bits) ^ mask


def ulaw_value(k):
    k2 = k ^ 0xFF
    t = ((k2 & 0x0F) * 8 + 0x84) << ((k2 & 0x70) >> 4)
    return 0x84 - t if k2 & 0x80 else t - 0x84


def alaw_value(k):
    k2 = k ^ 0x55
    t, seg = (k2 & 0x0F) * 16, (k2 & 0x70) >> 4
    t = t + 8 if seg == 0 else t + 0x108 if seg == 1 else (t + 0x108) << (seg - 1)
    return t if k2 & 0x80 else -t


def lin2ulaw(frag, w):
    return bytes(ulaw_code(scaled(s, w) >> 18) for s in unpack(frag, w))


def lin2alaw(frag, w):
    return bytes(alaw_code(scaled(s, w) >> 19) for s in unpack(frag, w))


def ulaw2lin(codes, w):
    return pack([unscale(ulaw_value(k) << 16, w) for k in codes], w)


def alaw2lin(codes, w):
    return pack([unscale(alaw_value(k) << 16, w) for k in codes], w)


STEPS = [
    7, 8, 9, 10, 11, 12, 13, 14, 16, 17, 19, 21, 23, 25, 28, 31, 34, 37, 41, 45, 50, 55, 60, 66, 73, 80, 88, 97,
    107, 118, 130, 143, 157, 173, 190, 209, 230, 253, 279, 307, 337, 371, 408, 449, 494, 544, 598, 658, 724, 796,
    876, 963, 1060, 1166, 1282, 1411, 1552, 1707, 1878, 2066, 2272, 2499, 2749, 3024, 3327, 3660, 4026, 4428, 4871,
    5358, 5894, 6484, 7132, 7845, 8630, 9493, 10442, 11487, 12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623,
    27086, 29794, 32767,
]
INDEX_ADJUST = [-1, -1, -1, -1, 2, 4, 6, 8] * 2


def lin2adpcm(frag, w, state, trace=None):
    valpred, index = state or (0, 0)
    step, codes = STEPS[index], []
    for s in unpack(frag, w):
        val = scaled(s, w) >> 16
        sign, diff = (8, valpred - val) if val < valpred else (0, val - valpred)
        code, vpdiff = 0, step >> 3
        if diff >= step:
            code, diff, vpdiff = 4, diff - step, vpdiff + step
        half = step >> 1
        if diff >= half:
            code, diff, vpdiff = code | 2, diff - half, vpdiff + half
        quarter = half >> 1
        if diff >= quarter:
            code, vpdiff = code | 1, vpdiff + quarter
        valpred = valpred - vpdiff if sign else valpred + vpdiff
        valpred = min(max(valpred, -32768), 32767)
        code |= sign
        index = min(max(index + INDEX_ADJUST[code], 0), 88)
        step = STEPS[index]
        codes.append(code)
        if trace is not None:
            trace.append(valpred)
    out = bytes((codes[i] << 4) | codes[i + 1] for i in range(0, len(codes) - 1, 2))
    return out, (valpred, index)


def adpcm2lin(data, w, state):
    valpred, index = state or (0, 0)
    step, out = STEPS[index], []
    for byte in data:
        for code in (byte >> 4, byte & 0x0F):
            index = min(max(index + INDEX_ADJUST[code], 0), 88)
            vpdiff = step >> 3
            if code & 4:
                vpdiff += step
            if code & 2:
                vpdiff += step >> 1
            if code & 1:
                vpdiff += step >> 2
            valpred = valpred - vpdiff if code & 8 else valpred + vpdiff
            valpred = min(max(valpred, -32768), 32767)
            step = STEPS[index]
            out.append(unscale(valpred << 16, w))
    return pack(out, w), (valpred, index)


def _trunc(x):
    return int(x)  # toward zero


def ratecv(frag, w, nch, inrate, outrate, state, wa=1, wb=0):
    """Literal conversion loop in doubles (exact while the products stay
    below 2^53, which the property tests keep to)."""
    g = math.gcd(inrate, outrate)
    inrate, outrate = inrate // g, outrate // g
    gw = wa if wb == 0 else math.gcd(wa, wb)
    wa, wb = wa // gw, wb // gw
    if state is None:
        d, prev, cur = -outrate, [0] * nch, [0] * nch
    else:
        d, pairs = state
        prev, cur = [p for p, _ in pairs], [c for _, c in pairs]
    s = [scaled(v, w) for v in unpack(frag, w)]
    frames = [s[i:i + nch] for i in range(0, len(s), nch)]
    out, pos = [], 0
    while True:
        while d >= 0:
            for ch in range(nch):
                v = _trunc((float(prev[ch]) * d + float(cur[ch]) * (outrate - d)) / outrate)
                out.append(unscale(min(max(v, -2**31), 2**31 - 1), w))
            d -= inrate
        if pos == len(frames):
            break
        for ch in range(nch):
            prev[ch] = cur[ch]
            cur[ch] = _trunc((float(wa) * frames[pos][ch] + float(wb) * prev[ch]) / (wa + wb))
        pos += 1
        d += outrate
    return pack(out, w), (d, tuple(zip(prev, cur)))


def s16(frag):
    return unpack(frag, 2)


def findfit(frag, ref):
    a, r = s16(frag), s16(ref)
    n, m = len(a), len(r)

    def dot(j):
        total = 0.0
        for i in range(m):
            total += float(a[j + i]) * float(r[i])
        return total

    sum_rr = 0.0
    for v in r:
        sum_rr += float(v) * float(v)
    sum_aa = 0.0
    for v in a[:m]:
        sum_aa += float(v) * float(v)

    def score(j, sum_aa):
        ar = dot(j)
        try:
            return (sum_rr * sum_aa - ar * ar) / sum_aa
        except ZeroDivisionError:  # IEEE: x/0 is NaN or an infinity
            num = sum_rr * sum_aa - ar * ar
            return math.nan if num == 0 or num != num else math.copysign(math.inf, num)

    best, best_j = score(0, sum_aa), 0
    for j in range(1, n - m + 1):
        sum_aa = sum_aa + float(a[j + m - 1]) ** 2 - float(a[j - 1]) ** 2
        sc = score(j, sum_aa)
        if sc < best:
            best, best_j = sc, j
    ar = dot(best_j)
    factor = ar / sum_rr if sum_rr else (math.nan if ar == 0 else math.copysign(math.inf, ar))
    return best_j, factor


def findfactor(frag, ref):
    a, r = s16(frag), s16(ref)
    ar = sum(x * y for x, y in zip(a, r))
    rr = sum(y * y for y in r)
    return ar / rr if rr else (math.nan if ar == 0 else math.copysign(math.inf, ar))


def findmax(frag, length):
    a = s16(frag)
    energy = sum(v * v for v in a[:length])
    best, best_j = energy, 0
    for j in range(1, len(a) - length + 1):
        energy += a[j + length - 1] ** 2 - a[j - 1] ** 2
        if energy > best:
            best, best_j = energy, j
    return best_j
