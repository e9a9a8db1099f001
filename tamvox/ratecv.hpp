// Frame-rate conversion by linear interpolation between consecutive input
// frames, with an optional two-tap smoothing filter on the input.
#pragma once

#include "samples.hpp"

namespace tamvox
{

struct RatecvParams {
    int32_t nchannels;
    int32_t inrate, outrate;    // reduced by their gcd
    int32_t weight_a, weight_b; // reduced likewise
};

// (num / den) truncated toward zero. Below 2^53 the numerator converts to a
// double exactly, and the correctly rounded quotient is then closer to the
// true one than 1/den, the least distance from a non-integral quotient to
// an integer: the cheap double division truncates to the exact answer.
TAMVOX_INLINE int64_t trunc_div(int64_t num, int64_t den) noexcept
{
    constexpr int64_t exact = int64_t(1) << 53;
    if (num > -exact && num < exact)
        return static_cast<int64_t>(static_cast<double>(num) / static_cast<double>(den));
    return num / den;
}

namespace k
{

// Runs the conversion over `frames` input frames and returns the number of
// bytes written to `out`, which must hold every frame the phase counter *d
// produces (see ratecv_output_frames). prev and cur hold the 32-bit scaled
// history of each channel and are updated for the next call.
//
// Interpolation and filtering are done exactly in 64-bit integers (products
// of two 32-bit values, sums of two such products), then truncated.
template <int W>
TAMVOX_INLINE ptrdiff_t ratecv(const u8 *in, ptrdiff_t frames, const RatecvParams &rp, int32_t *d_io, int32_t *prev,
                               int32_t *cur, u8 *out) noexcept
{
    const int32_t nch = rp.nchannels;
    const int64_t inrate = rp.inrate, outrate = rp.outrate;
    const int64_t wa = rp.weight_a, wb = rp.weight_b, wsum = wa + wb;
    int64_t d = *d_io;
    u8 *o = out;
    if (nch == 1) {
        // Mono, the common case, with the history held in registers.
        int64_t p = prev[0], c = cur[0];
        for (;;) {
            for (; d >= 0; d -= inrate) {
                int64_t v = trunc_div(p * d + c * (outrate - d), outrate);
                v = v > INT32_MAX ? INT32_MAX : v;
                v = v < INT32_MIN ? INT32_MIN : v;
                store_scaled<W>(o, static_cast<int32_t>(v));
                o += W;
            }
            if (frames == 0)
                break;
            int64_t s = load_scaled<W>(in);
            in += W;
            int64_t c2 = wb == 0 ? s : trunc_div(wa * s + wb * c, wsum);
            p = c;
            c = c2;
            frames--;
            d += outrate;
        }
        prev[0] = static_cast<int32_t>(p);
        cur[0] = static_cast<int32_t>(c);
        *d_io = static_cast<int32_t>(d);
        return o - out;
    }
    for (;;) {
        for (; d >= 0; d -= inrate) {
            for (int32_t ch = 0; ch < nch; ch++) {
                // A caller's state may put d beyond outrate, which extrapolates;
                // the result is held to the 32-bit range.
                int64_t v = trunc_div(int64_t(prev[ch]) * d + int64_t(cur[ch]) * (outrate - d), outrate);
                v = v > INT32_MAX ? INT32_MAX : v;
                v = v < INT32_MIN ? INT32_MIN : v;
                store_scaled<W>(o, static_cast<int32_t>(v));
                o += W;
            }
        }
        if (frames == 0)
            break;
        for (int32_t ch = 0; ch < nch; ch++) {
            prev[ch] = cur[ch];
            int32_t s = load_scaled<W>(in);
            in += W;
            if (wb == 0)
                cur[ch] = s; // weights reduce to 1:0, a pass-through
            else
                cur[ch] = static_cast<int32_t>(trunc_div(wa * s + wb * prev[ch], wsum));
        }
        frames--;
        d += outrate;
    }
    *d_io = static_cast<int32_t>(d);
    return o - out;
}

} // namespace k
} // namespace tamvox
