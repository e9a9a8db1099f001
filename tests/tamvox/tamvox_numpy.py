"""The same operations as tamvox, each written as the best plain numpy
formulation with identical results. The tests check them against the module
on long fragments (which exercise the vector loops), and the benchmark times
them as the peer."""
import math

import numpy as np

import tamvox_reference as ref

DTYPE = {1: np.int8, 2: np.int16, 4: np.int32}
UTYPE = {1: np.uint8, 2: np.uint16, 4: np.uint32}


def samples(frag, w):
    if w == 3:
        b = np.frombuffer(frag, np.uint8).reshape(-1, 3).astype(np.int32)
        return (b[:, 0] | (b[:, 1] << 8) | (b[:, 2] << 16)) << 8 >> 8
    return np.frombuffer(frag, DTYPE[w])


def to_bytes(values, w):
    if w == 3:
        v = values.astype(np.int32)
        return np.stack([v & 0xFF, (v >> 8) & 0xFF, (v >> 16) & 0xFF], axis=1).astype(np.uint8).tobytes()
    return values.astype(DTYPE[w]).tobytes()


def clamp_floor(x, w):
    # NaN products (0 * inf) are expected here; they become 0 below.
    y = np.clip(np.floor(x), ref.MIN[w], ref.MAX[w])
    y[np.isnan(x)] = 0
    return y


def max_(f, w):
    a = samples(f, w)
    return int(np.abs(a.astype(np.int64)).max()) if a.size else 0


def minmax(f, w):
    a = samples(f, w)
    return (int(a.min()), int(a.max())) if a.size else (0x7FFFFFFF, -0x80000000)


def avg(f, w):
    a = samples(f, w)
    return int(a.sum(dtype=np.int64)) // a.size if a.size else 0


def rms(f, w):
    a = samples(f, w).astype(np.int64)
    if not a.size:
        return 0
    if w <= 2:
        return math.isqrt(int(np.dot(a, a)) // a.size)
    # Squares of 32-bit samples overflow a 64-bit sum; split each sample.
    hi, lo = a >> 16, a & 0xFFFF
    total = (int(np.dot(hi, hi)) << 32) + (int(np.dot(hi, lo)) << 17) + int(np.dot(lo, lo))
    return math.isqrt(total // a.size)


def cross(f, w):
    a = samples(f, w)
    return int(np.count_nonzero(np.diff(a < 0))) if a.size else -1


@np.errstate(invalid="ignore")
def mul_arithmetic(f, w, factor):
    return to_bytes(clamp_floor(samples(f, w) * factor, w), w)


@np.errstate(invalid="ignore")
def tomono_arithmetic(f, w, lf, rf):
    a = samples(f, w).astype(np.float64)
    return to_bytes(clamp_floor(a[0::2] * lf + a[1::2] * rf, w), w)


@np.errstate(invalid="ignore")
def mul(f, w, factor):
    if w <= 2:
        # Fewer sample values than samples: a table of products by raw value
        # (indexed by the unsigned reading of the sample) is numpy's fastest.
        values = np.arange(1 << (8 * w)).astype(UTYPE[w]).view(DTYPE[w])
        table = clamp_floor(values * factor, w).astype(DTYPE[w])
        return table[np.frombuffer(f, UTYPE[w])].tobytes()
    return to_bytes(clamp_floor(samples(f, w) * factor, w), w)


@np.errstate(invalid="ignore")
def tomono(f, w, lf, rf):
    if w == 1:
        # A frame of two bytes is a 16-bit key: a table of results by frame.
        keys = np.arange(1 << 16)
        left = (keys & 0xFF).astype(np.uint8).view(np.int8).astype(np.float64)
        right = (keys >> 8).astype(np.uint8).view(np.int8).astype(np.float64)
        table = clamp_floor(left * lf + right * rf, 1).astype(np.int8)
        return table[np.frombuffer(f, "<u2")].tobytes()
    a = samples(f, w).astype(np.float64)
    return to_bytes(clamp_floor(a[0::2] * lf + a[1::2] * rf, w), w)


@np.errstate(invalid="ignore")
def tostereo(f, w, lf, rf):
    a = samples(f, w).astype(np.float64)
    out = np.empty(2 * a.size)
    out[0::2] = clamp_floor(a * lf, w)
    out[1::2] = clamp_floor(a * rf, w)
    return to_bytes(out, w)


def add(f1, f2, w):
    wide = {1: np.int16, 2: np.int32}.get(w, np.int64)
    s = samples(f1, w).astype(wide) + samples(f2, w)
    return to_bytes(np.clip(s, ref.MIN[w], ref.MAX[w]), w)


def bias(f, w, b):
    if w == 3:
        return to_bytes(((samples(f, w) + b) << 8) >> 8, w)
    u = np.frombuffer(f, UTYPE[w])
    return (u + UTYPE[w](b & ((1 << (8 * w)) - 1))).tobytes()


def reverse(f, w):
    if w != 3:
        return samples(f, w)[::-1].tobytes()
    return np.frombuffer(f, np.uint8).reshape(-1, w)[::-1].tobytes()


def byteswap(f, w):
    if w != 3:
        return samples(f, w).byteswap().tobytes()
    return np.frombuffer(f, np.uint8).reshape(-1, w)[:, ::-1].tobytes()


def lin2lin(f, w, nw):
    a = samples(f, w).astype(np.int64) << (32 - 8 * w)
    return to_bytes(a >> (32 - 8 * nw), nw)


ULAW_ENC = np.array([ref.ulaw_code(p) for p in range(-8192, 8192)], np.uint8)
ALAW_ENC = np.array([ref.alaw_code(p) for p in range(-4096, 4096)], np.uint8)
ULAW_DEC = np.array([ref.ulaw_value(k) for k in range(256)], np.int64)
ALAW_DEC = np.array([ref.alaw_value(k) for k in range(256)], np.int64)


def lin2ulaw(f, w):
    s = samples(f, w).astype(np.int32) << (32 - 8 * w)
    return ULAW_ENC[(s >> 18) + 8192].tobytes()


def lin2alaw(f, w):
    s = samples(f, w).astype(np.int32) << (32 - 8 * w)
    return ALAW_ENC[(s >> 19) + 4096].tobytes()


def ulaw2lin(codes, w):
    return to_bytes((ULAW_DEC[np.frombuffer(codes, np.uint8)] << 16) >> (32 - 8 * w), w)


def alaw2lin(codes, w):
    return to_bytes((ALAW_DEC[np.frombuffer(codes, np.uint8)] << 16) >> (32 - 8 * w), w)


def ratecv(f, w, inrate, outrate):
    """One channel, default weights, initial state. Output frame k lies
    between input frames j - 1 and j, j = ceil(k * inrate / outrate), at
    phase d = j * outrate - k * inrate; both repeat every outrate outputs, so
    one period of (j, d) is worked out and applied to every block of inrate
    inputs. The arithmetic is in doubles, exact while outrate (reduced) is
    below 2^22."""
    g = math.gcd(inrate, outrate)
    inrate, outrate = inrate // g, outrate // g
    x = samples(f, w).astype(np.float64) * float(1 << (32 - 8 * w))
    if not x.size:
        return b""
    count = (x.size - 1) * outrate // inrate + 1
    r = np.arange(outrate, dtype=np.int64)
    j = -((-r * inrate) // outrate)
    d = (j * outrate - r * inrate).astype(np.float64)
    padded = np.concatenate([[0.0], x, np.zeros(inrate + 2)])  # padded[j] = x[j - 1]
    base = (np.arange(-(-count // outrate)) * inrate)[:, None]
    out = (padded[base + j] * d + padded[base + j + 1] * (outrate - d)) / outrate
    return to_bytes(out.ravel()[:count].astype(np.int64) >> (32 - 8 * w), w)


def findfit(f, r):
    a, b = samples(f, 2).astype(np.float64), samples(r, 2).astype(np.float64)
    m = b.size
    if m == 0:
        return 0, math.nan
    ar = np.correlate(a, b, "valid")
    sq = np.concatenate([[0], np.cumsum(samples(f, 2).astype(np.int64) ** 2)])
    aa = (sq[m:] - sq[:-m]).astype(np.float64)
    rr = float(np.dot(b, b))
    with np.errstate(divide="ignore", invalid="ignore"):
        score = (rr * aa - ar * ar) / aa
        best = 0 if np.isnan(score[0]) else int(np.argmin(np.where(np.isnan(score), np.inf, score)))
        return best, float(ar[best] / rr)


def findfactor(f, r):
    a, b = samples(f, 2).astype(np.float64), samples(r, 2).astype(np.float64)
    with np.errstate(divide="ignore", invalid="ignore"):
        return float(np.dot(a, b) / np.dot(b, b))


def findmax(f, length):
    sq = np.concatenate([[0], np.cumsum(samples(f, 2).astype(np.int64) ** 2)])
    return int(np.argmax(sq[length:] - sq[:sq.size - length]))
