// libFuzzer target: every tamvox kernel on raw bytes, in buffers of exactly
// the size its caller allocates (so the sanitizer sees any access past them),
// run through the baseline table and, where the CPU has it, the AVX2 table,
// whose results must be the same bytes.
#include "kernels.hpp"
#include "search.hpp"

#include <cstdlib>
#include <cstring>
#include <numeric>
#include <vector>

using namespace tamvox;

namespace
{

// Reads parameters from the front of the input; the rest is the fragment.
struct Input {
    const uint8_t *p;
    size_t n;
    template <class T> T take()
    {
        T v{};
        size_t k = n < sizeof v ? n : sizeof v;
        std::memcpy(&v, p, k);
        p += k;
        n -= k;
        return v;
    }
    std::vector<u8> rest(size_t multiple) { return std::vector<u8>(p, p + n / multiple * multiple); }
};

using Bytes = std::vector<u8>;

// The module's buffers are never null, even when empty (a bytes object's
// storage); an empty vector's may be.
u8 *at(Bytes &v)
{
    static u8 none[1];
    return v.empty() ? none : v.data();
}

void same(const Bytes &a, const Bytes &b)
{
    if (a != b)
        __builtin_trap(); // the tables disagree
}

// One operation on one table; the answer as bytes for the comparison.
Bytes run(const Kernels &kn, uint8_t op, int w, Input in)
{
    const double f1 = in.take<double>(), f2 = in.take<double>();
    const int32_t i1 = in.take<int32_t>();
    const uint8_t b1 = in.take<uint8_t>();
    Bytes frag = in.rest(static_cast<size_t>(w) * 2);
    const ptrdiff_t n = static_cast<ptrdiff_t>(frag.size()) / w;
    Bytes out;
    auto value = [&](const auto &v) {
        out.resize(sizeof v);
        std::memcpy(at(out), &v, sizeof v);
    };
    switch (op % 24) {
    case 0:
        value(kn.max_abs[w](at(frag), n));
        break;
    case 1: {
        int32_t lo = 0, hi = 0;
        kn.minmax[w](at(frag), n, &lo, &hi);
        value(int64_t(lo) << 32 | uint32_t(hi));
        break;
    }
    case 2:
        value(kn.sum[w](at(frag), n));
        break;
    case 3:
        value(kn.sumsq[w](at(frag), n));
        break;
    case 4:
        value(n ? kn.sign_changes[w](at(frag), n) : 0);
        break;
    case 5: {
        PeakStats st = kn.peaks[w](at(frag), n);
        value(st.max);
        break;
    }
    case 6:
        out.resize(frag.size());
        kn.mul[w](at(frag), n, f1, at(out));
        break;
    case 7:
        out.resize(frag.size() / 2);
        kn.tomono[w](at(frag), n / 2, f1, f2, at(out));
        break;
    case 8:
        out.resize(frag.size() * 2);
        kn.tostereo[w](at(frag), n, f1, f2, at(out));
        break;
    case 9: {
        Bytes a(frag.begin(), frag.begin() + n / 2 * w), b(frag.begin() + n / 2 * w, frag.begin() + n / 2 * 2 * w);
        out.resize(a.size());
        kn.add[w](at(a), at(b), n / 2, at(out));
        break;
    }
    case 10:
        out.resize(frag.size());
        kn.bias[w](at(frag), n, i1, at(out));
        break;
    case 11:
        out.resize(frag.size());
        kn.reverse[w](at(frag), n, at(out));
        break;
    case 12:
        out.resize(frag.size());
        kn.byteswap[w](at(frag), n, at(out));
        break;
    case 13: {
        int nw = b1 % 4 + 1;
        out.resize(static_cast<size_t>(n) * nw);
        kn.lin2lin[w][nw](at(frag), n, at(out));
        break;
    }
    case 14:
        out.resize(static_cast<size_t>(n));
        kn.lin2ulaw[w](at(frag), n, at(out));
        break;
    case 15:
        out.resize(static_cast<size_t>(n));
        kn.lin2alaw[w](at(frag), n, at(out));
        break;
    case 16:
        out.resize(frag.size() / w * w * w);
        kn.ulaw2lin[w](at(frag), n * w, at(out));
        break;
    case 17:
        out.resize(frag.size() / w * w * w);
        kn.alaw2lin[w](at(frag), n * w, at(out));
        break;
    case 18: {
        // The state the module accepts: a 16-bit prediction, an index 0..88.
        k::AdpcmState st{static_cast<int16_t>(i1), b1 % 89};
        out.resize(static_cast<size_t>(n) / 2 + sizeof st);
        kn.lin2adpcm[w](at(frag), n, at(out), &st);
        std::memcpy(at(out) + n / 2, &st, sizeof st);
        break;
    }
    case 19: {
        k::AdpcmState st{static_cast<int16_t>(i1), b1 % 89};
        out.resize(frag.size() * w * 2 + sizeof st);
        kn.adpcm2lin[w](at(frag), static_cast<ptrdiff_t>(frag.size()), at(out), &st);
        std::memcpy(at(out) + frag.size() * w * 2, &st, sizeof st);
        break;
    }
    case 20: {
        // Channels, rates and weights as the module reduces them; the output
        // holds exactly the frames the phase counter produces.
        const int32_t nch = b1 % 4 + 1;
        const int32_t inrate = static_cast<int32_t>(static_cast<uint32_t>(i1) % 48 + 1);
        const int32_t outrate = static_cast<int32_t>((static_cast<uint32_t>(i1) >> 8) % 48 + 1);
        const int32_t wa = static_cast<int32_t>((static_cast<uint32_t>(i1) >> 16) % 5 + 1);
        const int32_t wb = static_cast<int32_t>((static_cast<uint32_t>(i1) >> 24) % 5);
        int32_t g = std::gcd(inrate, outrate), gw = wb == 0 ? wa : std::gcd(wa, wb);
        RatecvParams rp{nch, inrate / g, outrate / g, wa / gw, wb / gw};
        const ptrdiff_t frames = n / nch;
        int32_t d0 = static_cast<int32_t>(f1 == f1 && f1 > -4 && f1 < 4 ? f1 * rp.outrate : 0), d = d0;
        ptrdiff_t count = 0;
        for (ptrdiff_t left = frames;;) {
            for (; d >= 0; d -= rp.inrate)
                count++;
            if (left-- == 0)
                break;
            d += rp.outrate;
        }
        std::vector<int32_t> prev(nch, i1), cur(nch, ~i1);
        out.resize(static_cast<size_t>(count * nch * w));
        d = d0;
        ptrdiff_t written = kn.ratecv[w](at(frag), frames, rp, &d, prev.data(), cur.data(), at(out));
        if (written != count * nch * w)
            __builtin_trap(); // the bound and the kernel disagree
        break;
    }
    case 21: {
        // Lookup through a table of every key's answer, with the four spare
        // bytes the module adds for vector reads.
        const int key = b1 % 2 + 1, ow = (b1 >> 1) % 2 + 1;
        Bytes table(static_cast<size_t>((1 << (8 * key)) * ow + 4));
        for (size_t i = 0; i < table.size(); i++)
            table[i] = static_cast<u8>(i * 131 + static_cast<size_t>(i1));
        const ptrdiff_t items = static_cast<ptrdiff_t>(frag.size()) / key;
        out.resize(static_cast<size_t>(items * ow));
        kn.lookup[key][ow](at(frag), items, at(table), at(out));
        break;
    }
    case 22: {
        // findfit over 16-bit samples: fragment and reference split the input.
        const ptrdiff_t total = static_cast<ptrdiff_t>(frag.size()) / 2;
        const ptrdiff_t m = total ? b1 % (total / 2 + 1) : 0;
        const ptrdiff_t len = total - m;
        if (m == 0 || len < m)
            break;
        const u8 *f = at(frag), *r16 = at(frag) + 2 * len;
        const ptrdiff_t windows = len - m + 1, padded = (windows + fit_block - 1) / fit_block * fit_block;
        std::vector<double> a(static_cast<size_t>(len + fit_block)), r(static_cast<size_t>(m)),
            dots(static_cast<size_t>(padded));
        kn.to_double(f, len, a.data());
        kn.to_double(r16, m, r.data());
        kn.fit_dots(a.data(), r.data(), m, windows, dots.data());
        Bytes fr(f, f + 2 * len);
        FitResult fit = kn.fit_scan(at(fr), len, m, dots.data(), static_cast<double>(kn.dot16(r16, r16, m)));
        out.resize(static_cast<size_t>(windows) * sizeof(double) + sizeof fit);
        std::memcpy(at(out), dots.data(), static_cast<size_t>(windows) * sizeof(double));
        std::memcpy(at(out) + windows * sizeof(double), &fit, sizeof fit);
        break;
    }
    case 23: {
        const ptrdiff_t total = static_cast<ptrdiff_t>(frag.size()) / 2;
        value(kn.find_max(at(frag), total, total ? b1 % (total + 1) : 0));
        break;
    }
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    Input in{data + 2, size - 2};
    const int w = data[1] % 4 + 1;
    Bytes base = run(baseline_kernels, data[0], w, in);
    if (&best_kernels() == &avx2_kernels)
        same(base, run(avx2_kernels, data[0], w, in));
    return 0;
}
