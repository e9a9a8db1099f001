// The table of compiled kernels the module calls through. Two tables exist,
// one for baseline x86-64 and one for AVX2 + FMA; the first call picks the
// one the CPU can run, so a single build runs everywhere.
#pragma once

#include "codecs.hpp"
#include "ratecv.hpp"

#include <cstddef>
#include <cstdint>

namespace tamvox
{

struct PeakStats {
    uint32_t max;
    PeakSum sum;
    ptrdiff_t count;
};

struct FitResult {
    ptrdiff_t offset;
    double factor;
};

using Unary = void (*)(const u8 *, ptrdiff_t, u8 *) noexcept;
using Scale = void (*)(const u8 *, ptrdiff_t, double, u8 *) noexcept;
using Scale2 = void (*)(const u8 *, ptrdiff_t, double, double, u8 *) noexcept;
using Adpcm = void (*)(const u8 *, ptrdiff_t, u8 *, k::AdpcmState *) noexcept;

// Entries are indexed by the sample width, 1 to 4 (slot 0 is unused).
struct Kernels {
    const char *name;
    // Whether mul and tomono on long narrow fragments are faster through a
    // table of every input's result than by computing each sample.
    bool by_table;
    uint32_t (*max_abs[5])(const u8 *, ptrdiff_t) noexcept;
    void (*minmax[5])(const u8 *, ptrdiff_t, int32_t *, int32_t *) noexcept;
    Sum (*sum[5])(const u8 *, ptrdiff_t) noexcept;
    SquareSum (*sumsq[5])(const u8 *, ptrdiff_t) noexcept;
    ptrdiff_t (*sign_changes[5])(const u8 *, ptrdiff_t) noexcept;
    PeakStats (*peaks[5])(const u8 *, ptrdiff_t) noexcept;
    Scale mul[5];
    // [K][O]: items of K bytes in, looked up, items of O bytes out; see lookup.
    void (*lookup[3][3])(const u8 *, ptrdiff_t, const u8 *, u8 *) noexcept;
    Scale2 tomono[5];
    Scale2 tostereo[5];
    void (*add[5])(const u8 *, const u8 *, ptrdiff_t, u8 *) noexcept;
    void (*bias[5])(const u8 *, ptrdiff_t, int32_t, u8 *) noexcept;
    Unary reverse[5];
    Unary byteswap[5];
    Unary lin2lin[5][5];
    Unary lin2ulaw[5];
    Unary lin2alaw[5];
    Unary ulaw2lin[5];
    Unary alaw2lin[5];
    Adpcm lin2adpcm[5];
    Adpcm adpcm2lin[5];
    ptrdiff_t (*ratecv[5])(const u8 *, ptrdiff_t, const RatecvParams &, int32_t *, int32_t *, int32_t *, u8 *) noexcept;
    // Fills dots[0 .. count rounded up to whole blocks); see search.hpp.
    void (*fit_dots)(const double *, const double *, ptrdiff_t, ptrdiff_t, double *) noexcept;
    FitResult (*fit_scan)(const u8 *, ptrdiff_t, ptrdiff_t, const double *, double) noexcept;
    Sum (*dot16)(const u8 *, const u8 *, ptrdiff_t) noexcept;
    ptrdiff_t (*find_max)(const u8 *, ptrdiff_t, ptrdiff_t) noexcept;
    void (*to_double)(const u8 *, ptrdiff_t, double *) noexcept;
};

extern const Kernels baseline_kernels;
extern const Kernels avx2_kernels;

// The fastest table this CPU can run: AVX2 + FMA + BMI2 when present, else
// the baseline.
const Kernels &best_kernels() noexcept;

// The table the operations call through. The module picks best_kernels()
// once; a test build may define it to switch tables between calls.
const Kernels &kernels() noexcept;

} // namespace tamvox
