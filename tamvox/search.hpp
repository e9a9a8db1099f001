// Least-squares searches over 16-bit fragments. Every sum of products is
// formed exactly: products of two 16-bit samples are below 2^30, so integer
// sums are exact, and so are double sums of fewer than 2^23 of them (below
// 2^53), in any order.
#pragma once

#include "samples.hpp"

namespace tamvox
{

// References at least this long could carry a double sum past 2^53, so their
// products are summed in 64-bit integers instead.
inline constexpr ptrdiff_t fit_exact_double_limit = ptrdiff_t(1) << 22;
// findfit's blocked loop computes this many offsets at a time.
inline constexpr ptrdiff_t fit_block = 32;

namespace k
{

TAMVOX_INLINE int32_t s16(const u8 *p, ptrdiff_t i) noexcept
{
    return load<2>(p + 2 * i);
}

// Exact dot product of n 16-bit samples, n at most 2^32.
TAMVOX_INLINE int64_t dot16_block(const u8 *a, const u8 *b, ptrdiff_t n) noexcept
{
    int64_t total = 0;
    for (ptrdiff_t i = 0; i < n; i++)
        total += s16(a, i) * s16(b, i);
    return total;
}

TAMVOX_INLINE Sum dot16(const u8 *a, const u8 *b, ptrdiff_t n) noexcept
{
    Sum total = 0;
    for (ptrdiff_t i = 0; i < n; i += total_block)
        total += dot16_block(a + 2 * i, b + 2 * i, n - i < total_block ? n - i : total_block);
    return total;
}

TAMVOX_INLINE void to_double(const u8 *p, ptrdiff_t n, double *out) noexcept
{
    for (ptrdiff_t i = 0; i < n; i++)
        out[i] = s16(p, i);
}

// dots[j] = sum over i < m of a[j + i] * r[i], for j < count rounded up to a
// whole block. `a` holds the fragment as doubles followed by fit_block zeros.
// Thirty-two running sums per pass over the reference share each load of r[i]
// and keep the multiply-add units busy.
TAMVOX_INLINE void fit_dots(const double *a, const double *r, ptrdiff_t m, ptrdiff_t count, double *dots) noexcept
{
    typedef double v4d __attribute__((vector_size(32)));
    for (ptrdiff_t j0 = 0; j0 < count; j0 += fit_block) {
        v4d acc[fit_block / 4] = {};
        for (ptrdiff_t i = 0; i < m; i++) {
            const double ri = r[i];
            const double *ai = a + j0 + i;
            for (int q = 0; q < fit_block / 4; q++) {
                v4d x;
                std::memcpy(&x, ai + 4 * q, sizeof x);
                acc[q] += x * ri;
            }
        }
        std::memcpy(dots + j0, acc, sizeof acc);
    }
}

struct Fit {
    ptrdiff_t offset;
    double factor;
};

// Scans the windows in order with the residual-energy score; ties and NaN
// scores keep the earlier offset.
TAMVOX_INLINE Fit fit_scan(const u8 *a, ptrdiff_t n, ptrdiff_t m, const double *dots, double sum_rr) noexcept
{
    int64_t aa = 0;
    for (ptrdiff_t i = 0; i < m; i++)
        aa += s16(a, i) * s16(a, i);
    double sum_aa = static_cast<double>(aa);
    double best = (sum_rr * sum_aa - dots[0] * dots[0]) / sum_aa;
    ptrdiff_t best_j = 0;
    for (ptrdiff_t j = 1; j <= n - m; j++) {
        aa += s16(a, j + m - 1) * s16(a, j + m - 1) - s16(a, j - 1) * s16(a, j - 1);
        sum_aa = static_cast<double>(aa);
        double score = (sum_rr * sum_aa - dots[j] * dots[j]) / sum_aa;
        if (score < best) {
            best = score;
            best_j = j;
        }
    }
    return {best_j, dots[best_j] / sum_rr};
}

// The running state of findmax's scan: the energy of the window at the
// last offset looked at, and the best window so far.
struct MaxScan {
    int64_t energy;
    int64_t best;
    ptrdiff_t best_j;
};

TAMVOX_INLINE MaxScan find_max_start(const u8 *a, ptrdiff_t len) noexcept
{
    int64_t energy = 0;
    for (ptrdiff_t i = 0; i < len; i++)
        energy += s16(a, i) * s16(a, i);
    return {energy, energy, 0};
}

// Offsets from..n - len, the energy updated by what enters and leaves the window.
TAMVOX_INLINE ptrdiff_t find_max_from(const u8 *a, ptrdiff_t n, ptrdiff_t len, ptrdiff_t from, MaxScan s) noexcept
{
    for (ptrdiff_t j = from; j <= n - len; j++) {
        s.energy += s16(a, j + len - 1) * s16(a, j + len - 1) - s16(a, j - 1) * s16(a, j - 1);
        if (s.energy > s.best) {
            s.best = s.energy;
            s.best_j = j;
        }
    }
    return s.best_j;
}

TAMVOX_INLINE ptrdiff_t find_max(const u8 *a, ptrdiff_t n, ptrdiff_t len) noexcept
{
    return find_max_from(a, n, len, 1, find_max_start(a, len));
}

} // namespace k
} // namespace tamvox
