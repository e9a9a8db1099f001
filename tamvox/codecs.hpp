// G.711 u-law / A-law and IMA ADPCM kernels. Coders and decoders work through
// tables built at compile time from the segment rules, so each sample costs
// one lookup.
#pragma once

#include "samples.hpp"

#include <array>

namespace tamvox
{

inline constexpr int16_t ulaw_seg_end[8] = {0x3F, 0x7F, 0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF, 0x1FFF};
inline constexpr int16_t alaw_seg_end[8] = {0x1F, 0x3F, 0x7F, 0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF};

inline constexpr int16_t adpcm_step[89] = {
    7,    8,     9,     10,    11,    12,    13,    14,    16,    17,    19,    21,    23,    25,   28,
    31,   34,    37,    41,    45,    50,    55,    60,    66,    73,    80,    88,    97,    107,  118,
    130,  143,   157,   173,   190,   209,   230,   253,   279,   307,   337,   371,   408,   449,  494,
    544,  598,   658,   724,   796,   876,   963,   1060,  1166,  1282,  1411,  1552,  1707,  1878, 2066,
    2272, 2499,  2749,  3024,  3327,  3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845, 8630,
    9493, 10442, 11487, 12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
inline constexpr int8_t adpcm_index_adjust[16] = {-1, -1, -1, -1, 2, 4, 6, 8, -1, -1, -1, -1, 2, 4, 6, 8};

// The code byte of a 14-bit u-law input p (the scaled sample >> 18).
constexpr uint8_t ulaw_encode14(int p) noexcept
{
    int mask = 0xFF;
    if (p < 0) {
        p = -p;
        mask = 0x7F;
    }
    if (p > 32635)
        p = 32635;
    p += 33;
    int seg = 0;
    while (seg < 8 && ulaw_seg_end[seg] < p)
        seg++;
    if (seg >= 8)
        return static_cast<uint8_t>(0x7F ^ mask);
    return static_cast<uint8_t>(((seg << 4) | ((p >> (seg + 1)) & 0x0F)) ^ mask);
}

// The code byte of a 13-bit A-law input p (the scaled sample >> 19).
constexpr uint8_t alaw_encode13(int p) noexcept
{
    int mask = 0xD5;
    if (p < 0) {
        mask = 0x55;
        p = -p - 1;
    }
    int seg = 0;
    while (seg < 8 && alaw_seg_end[seg] < p)
        seg++;
    if (seg >= 8)
        return static_cast<uint8_t>(0x7F ^ mask);
    int bits = seg < 2 ? (p >> 1) & 0x0F : (p >> seg) & 0x0F;
    return static_cast<uint8_t>(((seg << 4) | bits) ^ mask);
}

constexpr int16_t ulaw_decode(int k) noexcept
{
    int k2 = k ^ 0xFF;
    int t = ((k2 & 0x0F) * 8 + 0x84) << ((k2 & 0x70) >> 4);
    return static_cast<int16_t>(k2 & 0x80 ? 0x84 - t : t - 0x84);
}

constexpr int16_t alaw_decode(int k) noexcept
{
    int k2 = k ^ 0x55;
    int t = (k2 & 0x0F) * 16;
    int seg = (k2 & 0x70) >> 4;
    if (seg == 0)
        t += 8;
    else if (seg == 1)
        t += 0x108;
    else
        t = (t + 0x108) << (seg - 1);
    return static_cast<int16_t>(k2 & 0x80 ? t : -t);
}

struct CodecTables {
    std::array<uint8_t, 16384> ulaw_enc{}; // indexed by (scaled >> 18) + 8192
    std::array<uint8_t, 8192> alaw_enc{};  // indexed by (scaled >> 19) + 4096
    std::array<int16_t, 256> ulaw_dec{};
    std::array<int16_t, 256> alaw_dec{};
    // ADPCM decoding by (index << 4 | code): the signed step to add to the
    // prediction, and the next index.
    std::array<int32_t, 89 * 16> adpcm_delta{};
    std::array<uint8_t, 89 * 16> adpcm_next{};
    // The coder's step update by (index << 4 | code): next index and its
    // step in one load, off the coder's critical path.
    struct Next {
        int32_t index;
        int32_t step;
    };
    std::array<Next, 89 * 16> adpcm_next_step{};
};

constexpr CodecTables make_codec_tables() noexcept
{
    CodecTables t;
    for (int i = 0; i < 16384; i++)
        t.ulaw_enc[i] = ulaw_encode14(i - 8192);
    for (int i = 0; i < 8192; i++)
        t.alaw_enc[i] = alaw_encode13(i - 4096);
    for (int k = 0; k < 256; k++) {
        t.ulaw_dec[k] = ulaw_decode(k);
        t.alaw_dec[k] = alaw_decode(k);
    }
    for (int index = 0; index < 89; index++) {
        for (int code = 0; code < 16; code++) {
            int step = adpcm_step[index];
            int vpdiff = step >> 3;
            if (code & 4)
                vpdiff += step;
            if (code & 2)
                vpdiff += step >> 1;
            if (code & 1)
                vpdiff += step >> 2;
            int next = index + adpcm_index_adjust[code];
            next = next < 0 ? 0 : next > 88 ? 88 : next;
            t.adpcm_delta[index * 16 + code] = code & 8 ? -vpdiff : vpdiff;
            t.adpcm_next[index * 16 + code] = static_cast<uint8_t>(next);
            t.adpcm_next_step[index * 16 + code] = {next, adpcm_step[next]};
        }
    }
    return t;
}

inline constexpr CodecTables codec_tables = make_codec_tables();

namespace k
{

// Keeps a table index in a register: the empty asm stops the compiler from
// vectorising the lookup loop into element-by-element inserts, which runs at
// a third of the speed of plain scalar loads.
TAMVOX_INLINE int32_t opaque(int32_t v) noexcept
{
    asm("" : "+r"(v));
    return v;
}

template <int W> TAMVOX_INLINE void lin2ulaw(const u8 *p, ptrdiff_t n, u8 *out) noexcept
{
    for (ptrdiff_t i = 0; i < n; i++)
        out[i] = codec_tables.ulaw_enc[opaque((load_scaled<W>(p + i * W) >> 18) + 8192)];
}

template <int W> TAMVOX_INLINE void lin2alaw(const u8 *p, ptrdiff_t n, u8 *out) noexcept
{
    for (ptrdiff_t i = 0; i < n; i++)
        out[i] = codec_tables.alaw_enc[opaque((load_scaled<W>(p + i * W) >> 19) + 4096)];
}

// Decoded 16-bit values v are the scaled samples v * 65536.
template <int W> TAMVOX_INLINE void ulaw2lin(const u8 *p, ptrdiff_t n, u8 *out) noexcept
{
    for (ptrdiff_t i = 0; i < n; i++)
        store_scaled<W>(out + i * W, static_cast<int32_t>(uint32_t(uint16_t(codec_tables.ulaw_dec[p[i]])) << 16));
}

template <int W> TAMVOX_INLINE void alaw2lin(const u8 *p, ptrdiff_t n, u8 *out) noexcept
{
    for (ptrdiff_t i = 0; i < n; i++)
        store_scaled<W>(out + i * W, static_cast<int32_t>(uint32_t(uint16_t(codec_tables.alaw_dec[p[i]])) << 16));
}

struct AdpcmState {
    int32_t valpred;
    int32_t index;
};

// IMA ADPCM coder: n samples in, n / 2 bytes out (a trailing odd sample still
// moves the state). The three quantiser decisions are done with all-ones or
// all-zero masks rather than branches or selects: they follow the signal, so
// branches mispredict on most samples, and the compiler turns selects back
// into branches.
template <int W> TAMVOX_INLINE void lin2adpcm(const u8 *p, ptrdiff_t n, u8 *out, AdpcmState *st) noexcept
{
    int32_t valpred = st->valpred;
    int32_t index = st->index;
    int32_t step = adpcm_step[index];
    const CodecTables::Next *next = codec_tables.adpcm_next_step.data();
    auto code_one = [&](int32_t val) {
        int32_t delta = val - valpred;
        int32_t neg = delta >> 31; // all ones when val < valpred
        int32_t diff = (delta ^ neg) - neg;

        int32_t m = -int32_t(diff >= step);
        int32_t code = m & 4;
        diff -= m & step;
        int32_t vpdiff = (step >> 3) + (m & step);
        int32_t half = step >> 1;
        m = -int32_t(diff >= half);
        code |= m & 2;
        diff -= m & half;
        vpdiff += m & half;
        int32_t quarter = half >> 1;
        m = -int32_t(diff >= quarter);
        code |= m & 1;
        vpdiff += m & quarter;

        valpred += (vpdiff ^ neg) - neg;
        valpred = valpred > 32767 ? 32767 : valpred;
        valpred = valpred < -32768 ? -32768 : valpred;

        code |= neg & 8;
        CodecTables::Next nx = next[index << 4 | code];
        index = nx.index;
        step = nx.step;
        return code;
    };
    ptrdiff_t i = 0;
    for (; i + 1 < n; i += 2) {
        int32_t hi = code_one(load_scaled<W>(p + i * W) >> 16);
        int32_t lo = code_one(load_scaled<W>(p + (i + 1) * W) >> 16);
        out[i >> 1] = static_cast<u8>(hi << 4 | lo);
    }
    if (i < n)
        code_one(load_scaled<W>(p + i * W) >> 16);
    st->valpred = valpred;
    st->index = index;
}

// IMA ADPCM decoder: every input byte gives two samples, high nibble first.
template <int W> TAMVOX_INLINE void adpcm2lin(const u8 *p, ptrdiff_t nbytes, u8 *out, AdpcmState *st) noexcept
{
    int32_t valpred = st->valpred;
    uint32_t index = static_cast<uint32_t>(st->index);
    const int32_t *delta = codec_tables.adpcm_delta.data();
    const uint8_t *next = codec_tables.adpcm_next.data();
    for (ptrdiff_t i = 0; i < 2 * nbytes; i++) {
        uint32_t code = (i & 1) ? p[i >> 1] & 0x0F : p[i >> 1] >> 4;
        uint32_t key = index << 4 | code;
        valpred += delta[key];
        valpred = valpred > 32767 ? 32767 : valpred;
        valpred = valpred < -32768 ? -32768 : valpred;
        index = next[key];
        store_scaled<W>(out + i * W, static_cast<int32_t>(static_cast<uint32_t>(valpred) << 16));
    }
    st->valpred = valpred;
    st->index = static_cast<int32_t>(index);
}

} // namespace k
} // namespace tamvox
