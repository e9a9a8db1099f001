// glibc's C99 complex functions, the reference the orvik benchmark holds
// its functions to.
#pragma once

// Declared with the compiler's complex type
// (<complex.h> means std::complex in C++).
extern "C" {
__complex__ double csqrt(__complex__ double) noexcept;
__complex__ double cexp(__complex__ double) noexcept;
__complex__ double clog(__complex__ double) noexcept;
__complex__ double clog10(__complex__ double) noexcept;
__complex__ double csin(__complex__ double) noexcept;
__complex__ double ccos(__complex__ double) noexcept;
__complex__ double ctan(__complex__ double) noexcept;
__complex__ double csinh(__complex__ double) noexcept;
__complex__ double ccosh(__complex__ double) noexcept;
__complex__ double ctanh(__complex__ double) noexcept;
__complex__ double casin(__complex__ double) noexcept;
__complex__ double cacos(__complex__ double) noexcept;
__complex__ double catan(__complex__ double) noexcept;
__complex__ double casinh(__complex__ double) noexcept;
__complex__ double cacosh(__complex__ double) noexcept;
__complex__ double catanh(__complex__ double) noexcept;
double carg(__complex__ double) noexcept;
double cabs(__complex__ double) noexcept;
}
