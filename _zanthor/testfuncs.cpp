// The exported test functions. Arithmetic on caller-chosen values wraps as
// two's complement (done in the unsigned type of the same width) and floating
// results reach integers only through a range check, so no argument can make
// a function undefined.
#include "zanthor.hpp"

#include "checked.hpp"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

// libc's own strchr: the C++ headers replace the name with inline overloads.
extern "C" char *libc_strchr(const char *s, int c) __asm__("strchr");

using ext::wrap_add;
using ext::wrap_mul;

namespace
{

// Truncation toward zero; NaN and values out of range give the type's
// minimum, the "integer indefinite" the x86 conversion instructions produce.
template <class I, class F> I truncate_to(F v) noexcept
{
    constexpr F lo = static_cast<F>(std::numeric_limits<I>::min()); // a power of two: exact
    if (!(v >= lo && v < -lo))
        return std::numeric_limits<I>::min();
    return static_cast<I>(v);
}

int64_t sum_bhil(int8_t b, int16_t h, int32_t i, long l) noexcept
{
    return wrap_add<int64_t>(int64_t{b} + h + i, l);
}

double sum_bhilfd(int8_t b, int16_t h, int32_t i, long l, float f, double d) noexcept
{
    return static_cast<double>(sum_bhil(b, h, i, l)) + f + d;
}

char label_first[] = "first egg";

void xxx_init(AllocFunc alloc, ReleaseFunc release)
{
    printf("_xxx_init got %p %p\n", reinterpret_cast<void *>(alloc), reinterpret_cast<void *>(release));
    puts("calling");
    void *ptr = alloc(32);
    release(ptr);
    printf("calls done, ptr was %p\n", ptr);
}

} // namespace

int32_t left = 10;
int32_t top = 20;
int32_t right = 30;
int32_t bottom = 40;
int32_t an_integer = 42;
Spam my_spams[2] = {{"name1", "value1"}, {"name2", "value2"}};
Egg my_eggs[1] = {{label_first, 1, my_spams}};
LibraryRecord _xxx_lib = {xxx_init};
int64_t last_tf_arg_s = 0;
uint64_t last_tf_arg_u = 0;

void _py_func() {}

void _py_func_si(char *, int32_t) {}

int32_t _testfunc_cbk_reg_int(int32_t a, int32_t b, int32_t c, int32_t d, int32_t e,
                              int32_t (*func)(int32_t, int32_t, int32_t, int32_t, int32_t))
{
    return func(wrap_mul(a, a), wrap_mul(b, b), wrap_mul(c, c), wrap_mul(d, d), wrap_mul(e, e));
}

double _testfunc_cbk_reg_double(double a, double b, double c, double d, double e,
                                double (*func)(double, double, double, double, double))
{
    return func(a * a, b * b, c * c, d * d, e * e);
}

void testfunc_array(int32_t values[4])
{
    printf("testfunc_array %d %d %d %d\n", values[0], values[1], values[2], values[3]);
}

long double testfunc_Ddd(double a, double b)
{
    double result = a * b;
    printf("testfunc_Ddd(%p, %p)\n", static_cast<void *>(&a), static_cast<void *>(&b));
    printf("testfunc_Ddd(%g, %g)\n", a, b);
    return result;
}

long double testfunc_DDD(long double a, long double b)
{
    long double result = a * b;
    printf("testfunc_DDD(%p, %p)\n", static_cast<void *>(&a), static_cast<void *>(&b));
    printf("testfunc_DDD(%Lg, %Lg)\n", a, b);
    return result;
}

int32_t testfunc_iii(int32_t a, int32_t b)
{
    int32_t result = wrap_mul(a, b);
    printf("testfunc_iii(%p, %p)\n", static_cast<void *>(&a), static_cast<void *>(&b));
    return result;
}

int32_t myprintf(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    int32_t result = vprintf(fmt, args);
    va_end(args);
    return result;
}

char *my_strtok(char *token, const char *delim)
{
    return strtok(token, delim);
}

char *my_strchr(const char *s, int32_t c)
{
    return libc_strchr(s, c);
}

double my_sqrt(double a)
{
    return std::sqrt(a);
}

void my_qsort(void *base, size_t num, size_t width, int32_t (*compare)(const void *, const void *))
{
    qsort(base, num, width, compare);
}

int32_t *_testfunc_ai8(int32_t a[8])
{
    return a;
}

void _testfunc_v(int32_t a, int32_t b, int32_t *presult)
{
    *presult = wrap_add(a, b);
}

int32_t _testfunc_i_bhilfd(int8_t b, int16_t h, int32_t i, long l, float f, double d)
{
    return truncate_to<int32_t>(sum_bhilfd(b, h, i, l, f, d));
}

float _testfunc_f_bhilfd(int8_t b, int16_t h, int32_t i, long l, float f, double d)
{
    return static_cast<float>(sum_bhilfd(b, h, i, l, f, d));
}

double _testfunc_d_bhilfd(int8_t b, int16_t h, int32_t i, long l, float f, double d)
{
    return sum_bhilfd(b, h, i, l, f, d);
}

long double _testfunc_D_bhilfD(int8_t b, int16_t h, int32_t i, long l, float f, long double d)
{
    return static_cast<long double>(sum_bhil(b, h, i, l)) + f + d;
}

int64_t _testfunc_q_bhilfd(int8_t b, int16_t h, int32_t i, long l, float f, double d)
{
    return truncate_to<int64_t>(sum_bhilfd(b, h, i, l, f, d));
}

int64_t _testfunc_q_bhilfdq(int8_t b, int16_t h, int32_t i, long l, float f, double d, int64_t q)
{
    return truncate_to<int64_t>(sum_bhilfd(b, h, i, l, f, d) + static_cast<double>(q));
}

void *_testfunc_p_p(void *s)
{
    return s;
}

// A count of zero or less names no element: null, not the word before argv.
char *_testfunc_c_p_p(int32_t *argcp, char **argv)
{
    return *argcp > 0 ? argv[*argcp - 1] : nullptr;
}

void *get_strchr()
{
    return reinterpret_cast<void *>(libc_strchr);
}

char *my_strdup(const char *src)
{
    size_t size = strlen(src) + 1;
    char *dst = static_cast<char *>(malloc(size));
    if (dst != nullptr)
        memcpy(dst, src, size);
    return dst;
}

void my_free(void *ptr)
{
    free(ptr);
}

wchar_t *my_wcsdup(const wchar_t *src)
{
    size_t bytes = 0;
    if (!ext::checked_mul(wcslen(src) + 1, sizeof(wchar_t), &bytes))
        return nullptr;
    wchar_t *dst = static_cast<wchar_t *>(malloc(bytes));
    if (dst != nullptr)
        memcpy(dst, src, bytes);
    return dst;
}

size_t my_wcslen(const wchar_t *src)
{
    return wcslen(src);
}

int32_t _testfunc_callfuncp(const CallbackPair *fp)
{
    fp->first(1, 2);
    fp->second(3, 4);
    return 0;
}

int32_t _testfunc_deref_pointer(const int32_t *pi)
{
    return *pi;
}

int32_t _testfunc_callback_with_pointer(int32_t (*func)(int32_t *))
{
    int32_t table[10];
    for (int32_t k = 0; k < 10; ++k)
        table[k] = k + 1;
    return func(table);
}

int32_t _testfunc_callback_i_if(int32_t value, int32_t (*func)(int32_t))
{
    int32_t sum = 0;
    for (; value != 0; value /= 2)
        sum = wrap_add(sum, func(value));
    return sum;
}

int64_t _testfunc_callback_q_qf(int64_t value, int64_t (*func)(int64_t))
{
    int64_t sum = 0;
    for (; value != 0; value /= 2)
        sum = wrap_add(sum, func(value));
    return sum;
}

int32_t getSPAMANDEGGS(Egg **eggs)
{
    *eggs = my_eggs;
    return 1;
}

int32_t _testfunc_byval(Point in, Point *pout)
{
    if (pout != nullptr) {
        pout->x = in.x;
        pout->y = in.y;
    }
    return wrap_add(in.x, in.y);
}

int32_t get_an_integer()
{
    return an_integer;
}

// Midpoint rule. At most nstep samples: where x + dx == x (a huge nstep near
// a binade boundary) the loop would otherwise never end.
double integrate(double a, double b, double (*f)(double), long nstep)
{
    if (nstep == 0)
        return std::numeric_limits<double>::quiet_NaN(); // 0/0, without dividing by zero
    double dx = (b - a) / static_cast<double>(nstep);
    double sum = 0.0;
    double x = a + 0.5 * dx;
    for (long k = 0; k < nstep && (b - x) * (x - a) > 0.0; ++k, x += dx)
        sum += f(x);
    return sum / static_cast<double>(nstep);
}

LibraryRecord *library_get()
{
    return &_xxx_lib;
}

// Storing into a signed bit-field keeps the low bits (C++20 defines this as
// the value congruent modulo 2^width); reading sign-extends them.
void set_bitfields(BitFields *bits, char name, int32_t value)
{
    switch (name) {
    case 'A':
        bits->A = value;
        break;
    case 'B':
        bits->B = value;
        break;
    case 'C':
        bits->C = value;
        break;
    case 'D':
        bits->D = value;
        break;
    case 'E':
        bits->E = value;
        break;
    case 'F':
        bits->F = value;
        break;
    case 'G':
        bits->G = value;
        break;
    case 'H':
        bits->H = value;
        break;
    case 'I':
        bits->I = value;
        break;
    case 'M':
        bits->M = static_cast<short>(value);
        break;
    case 'N':
        bits->N = static_cast<short>(value);
        break;
    case 'O':
        bits->O = static_cast<short>(value);
        break;
    case 'P':
        bits->P = static_cast<short>(value);
        break;
    case 'Q':
        bits->Q = static_cast<short>(value);
        break;
    case 'R':
        bits->R = static_cast<short>(value);
        break;
    case 'S':
        bits->S = static_cast<short>(value);
        break;
    default:
        break;
    }
}

int32_t unpack_bitfields(const BitFields *bits, char name)
{
    switch (name) {
    case 'A':
        return bits->A;
    case 'B':
        return bits->B;
    case 'C':
        return bits->C;
    case 'D':
        return bits->D;
    case 'E':
        return bits->E;
    case 'F':
        return bits->F;
    case 'G':
        return bits->G;
    case 'H':
        return bits->H;
    case 'I':
        return bits->I;
    case 'M':
        return bits->M;
    case 'N':
        return bits->N;
    case 'O':
        return bits->O;
    case 'P':
        return bits->P;
    case 'Q':
        return bits->Q;
    case 'R':
        return bits->R;
    case 'S':
        return bits->S;
    default:
        return 0;
    }
}

// Integer division truncates toward zero and cannot overflow when dividing by 3.
#define ZANTHOR_TF_SIGNED(name, T)                                                                                     \
    T tf_##name(T c)                                                                                                   \
    {                                                                                                                  \
        last_tf_arg_s = static_cast<int64_t>(c);                                                                       \
        return static_cast<T>(c / 3);                                                                                  \
    }                                                                                                                  \
    T tf_b##name(int8_t, T c)                                                                                          \
    {                                                                                                                  \
        return tf_##name(c);                                                                                           \
    }
#define ZANTHOR_TF_UNSIGNED(name, T)                                                                                   \
    T tf_##name(T c)                                                                                                   \
    {                                                                                                                  \
        last_tf_arg_u = static_cast<uint64_t>(c);                                                                      \
        return static_cast<T>(c / 3);                                                                                  \
    }                                                                                                                  \
    T tf_b##name(int8_t, T c)                                                                                          \
    {                                                                                                                  \
        return tf_##name(c);                                                                                           \
    }
#define ZANTHOR_TF_FLOAT(name, T)                                                                                      \
    T tf_##name(T c)                                                                                                   \
    {                                                                                                                  \
        last_tf_arg_s = truncate_to<int64_t>(c);                                                                       \
        return c / 3;                                                                                                  \
    }                                                                                                                  \
    T tf_b##name(int8_t, T c)                                                                                          \
    {                                                                                                                  \
        return tf_##name(c);                                                                                           \
    }

ZANTHOR_TF_SIGNED(b, int8_t)
ZANTHOR_TF_SIGNED(h, int16_t)
ZANTHOR_TF_SIGNED(i, int32_t)
ZANTHOR_TF_SIGNED(l, long)
ZANTHOR_TF_SIGNED(q, long long)
ZANTHOR_TF_UNSIGNED(B, uint8_t)
ZANTHOR_TF_UNSIGNED(H, uint16_t)
ZANTHOR_TF_UNSIGNED(I, uint32_t)
ZANTHOR_TF_UNSIGNED(L, unsigned long)
ZANTHOR_TF_UNSIGNED(Q, unsigned long long)
ZANTHOR_TF_FLOAT(f, float)
ZANTHOR_TF_FLOAT(d, double)
ZANTHOR_TF_FLOAT(D, long double)

void tv_i(int32_t c)
{
    last_tf_arg_s = c;
}

int32_t PointInRect(const Rect *prc, Point pt)
{
    return pt.x >= prc->left && pt.x <= prc->right && pt.y >= prc->top && pt.y <= prc->bottom;
}

Rect ReturnRect(int32_t i, Rect ar, const Rect *br, Point cp, Rect dr, const Rect *er, Point fp, Rect gr)
{
    int32_t lefts = wrap_add(wrap_add(wrap_add(wrap_add(ar.left, br->left), dr.left), er->left), gr.left);
    int32_t rights = wrap_add(wrap_add(wrap_add(wrap_add(ar.right, br->right), dr.right), er->right), gr.right);
    if (lefts != wrap_mul(left, 5)) {
        ar.left = 100;
        return ar;
    }
    if (rights != wrap_mul(right, 5)) {
        ar.right = 100;
        return ar;
    }
    if (i == 1)
        return dr;
    if (i == 2)
        return gr;
    if (cp.x != fp.x)
        ar.left = -100;
    if (cp.y != fp.y)
        ar.left = -200;
    return ar;
}

ShortPair ret_2h_func(ShortPair inp)
{
    inp.x = wrap_mul<int16_t>(inp.x, 2);
    inp.y = wrap_mul<int16_t>(inp.y, 3);
    return inp;
}

EightInts ret_8i_func(EightInts inp)
{
    inp.a = wrap_mul(inp.a, 2);
    inp.b = wrap_mul(inp.b, 3);
    inp.c = wrap_mul(inp.c, 4);
    inp.d = wrap_mul(inp.d, 5);
    inp.e = wrap_mul(inp.e, 6);
    inp.f = wrap_mul(inp.f, 7);
    inp.g = wrap_mul(inp.g, 8);
    inp.h = wrap_mul(inp.h, 9);
    return inp;
}

int32_t GetRectangle(int32_t flag, Rect *prect)
{
    if (flag == 0)
        return 0;
    prect->left = flag;
    prect->top = wrap_add(flag, 1);
    prect->right = wrap_add(flag, 2);
    prect->bottom = wrap_add(flag, 3);
    return 1;
}

void TwoOutArgs(int32_t a, int32_t *pi, int32_t b, int32_t *pj)
{
    *pi = wrap_add(*pi, a);
    *pj = wrap_add(*pj, b);
}
