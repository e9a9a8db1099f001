// Checks of the arithmetic helpers, run by the test suite. Prints one line per
// failed check and exits non-zero if any failed.
#include "checked.hpp"

#include <cstdint>
#include <cstdio>
#include <limits>

namespace
{

int failures = 0;

void check(bool ok, const char *what, int line)
{
    if (!ok) {
        std::printf("FAIL line %d: %s\n", line, what);
        ++failures;
    }
}
#define CHECK(e) check((e), #e, __LINE__)

template <class I> bool is(std::optional<I> v, I want)
{
    return v && *v == want;
}

} // namespace

int main()
{
    using ext::double_to_int;
    using L = std::numeric_limits<int64_t>;
    using I = std::numeric_limits<int32_t>;
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();

    int64_t r64 = 0;
    CHECK(ext::checked_add<int64_t>(L::max() - 1, 1, &r64) && r64 == L::max());
    CHECK(!ext::checked_add<int64_t>(L::max(), 1, &r64));
    CHECK(!ext::checked_sub<int64_t>(L::min(), 1, &r64));
    CHECK(!ext::checked_mul<int64_t>(int64_t(1) << 32, int64_t(1) << 31, &r64));
    CHECK(ext::checked_mul<int64_t>(-(int64_t(1) << 32), int64_t(1) << 31, &r64) && r64 == L::min());
    size_t rs = 0;
    // The top bit of size_t, whatever its width.
    CHECK(!ext::checked_mul<size_t>(std::numeric_limits<size_t>::max() / 2 + 1, 2, &rs));

    CHECK(ext::wrap_add<int32_t>(I::max(), 1) == I::min());
    CHECK(ext::wrap_sub<int32_t>(I::min(), 1) == I::max());
    CHECK(ext::wrap_mul<int32_t>(65536, 65536) == 0);
    CHECK(ext::wrap_shl<int32_t>(-1, 31) == I::min());
    CHECK(ext::wrap_shl<int32_t>(1, 32) == 0);

    CHECK(!double_to_int<int64_t>(nan));
    CHECK(!double_to_int<int64_t>(inf));
    CHECK(!double_to_int<int64_t>(-inf));
    CHECK(!double_to_int<int64_t>(9223372036854775808.0));
    CHECK(is<int64_t>(double_to_int<int64_t>(-9223372036854775808.0), L::min()));
    CHECK(is<int64_t>(double_to_int<int64_t>(9223372036854774784.0), 9223372036854774784));
    CHECK(is<int32_t>(double_to_int<int32_t>(2147483647.9), I::max()));
    CHECK(!double_to_int<int32_t>(2147483648.0));
    CHECK(is<int32_t>(double_to_int<int32_t>(-2147483648.9), I::min()));
    CHECK(!double_to_int<int32_t>(-2147483649.0));
    CHECK(is<int32_t>(double_to_int<int32_t>(-0.5), 0));
    CHECK(is<uint32_t>(double_to_int<uint32_t>(-0.5), 0u));
    CHECK(!double_to_int<uint32_t>(-1.0));
    CHECK(!double_to_int<uint32_t>(4294967296.0));
    CHECK(is<uint32_t>(double_to_int<uint32_t>(4294967295.0), 4294967295u));

    CHECK(ext::double_to_int_clamped<int32_t>(nan, 7) == 7);
    CHECK(ext::double_to_int_clamped<int32_t>(1e300) == I::max());
    CHECK(ext::double_to_int_clamped<int32_t>(-inf) == I::min());
    CHECK(ext::double_to_int_clamped<int16_t>(-3.7) == -3);

    if (failures == 0)
        std::printf("all checks passed\n");
    return failures == 0 ? 0 : 1;
}
