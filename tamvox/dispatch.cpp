// Builds the baseline and AVX2 kernel tables and tells which this CPU can run.
#include "kernels.hpp"
#include "linear.hpp"
#include "search.hpp"
#include "simd_avx2_math.hpp"

namespace tamvox
{

#define TAMVOX_LIN2LIN_ROW_NS(w)                                                                                       \
    {                                                                                                                  \
        nullptr, TAMVOX_ISA::lin2lin<w, 1>, TAMVOX_ISA::lin2lin<w, 2>, TAMVOX_ISA::lin2lin<w, 3>,                      \
            TAMVOX_ISA::lin2lin<w, 4>                                                                                  \
    }

#define TAMVOX_ISA baseline
#define TAMVOX_ISA_NAME "baseline"
#define TAMVOX_TARGET
#define TAMVOX_TABLE baseline_kernels
#define TAMVOX_HAS_AVX2 0
#include "instances.inc"
#undef TAMVOX_ISA
#undef TAMVOX_ISA_NAME
#undef TAMVOX_TARGET
#undef TAMVOX_TABLE
#undef TAMVOX_HAS_AVX2

#define TAMVOX_ISA avx2
#define TAMVOX_ISA_NAME "avx2"
#define TAMVOX_TARGET __attribute__((target("avx2,fma,bmi2")))
#define TAMVOX_TABLE avx2_kernels
#define TAMVOX_HAS_AVX2 1
#include "instances.inc"

const Kernels &best_kernels() noexcept
{
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") && __builtin_cpu_supports("bmi2"))
        return avx2_kernels;
    return baseline_kernels;
}

} // namespace tamvox
