// Functions and data with fixed signatures and behaviour, exported so that a
// foreign-function interface can be tested against them. Plain C types only:
// the x86_64 System V ABI decides how each is passed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cwchar>

#define ZANTHOR_EXPORT extern "C" __attribute__((visibility("default")))

extern "C" {

struct Point {
    int32_t x, y;
};
struct Rect {
    int32_t left, top, right, bottom;
};
struct ShortPair {
    int16_t x, y;
};
struct EightInts {
    int32_t a, b, c, d, e, f, g, h;
};
// Signed bit-fields, laid out by the ABI's rules for int and short units.
struct BitFields {
    int A : 1, B : 2, C : 3, D : 4, E : 5, F : 6, G : 7, H : 8, I : 9;
    short M : 1, N : 2, O : 3, P : 4, Q : 5, R : 6, S : 7;
};
struct Spam {
    const char *label;
    const char *text;
};
struct Egg {
    const char *label;
    int32_t spam_count;
    Spam *spam_list;
};
struct CallbackPair {
    int32_t (*first)(int32_t, int32_t);
    int32_t (*second)(int32_t, int32_t);
};
using AllocFunc = void *(*)(int32_t size);
using ReleaseFunc = void (*)(void *ptr);
struct LibraryRecord {
    void (*init_function)(AllocFunc, ReleaseFunc);
};

} // extern "C"

ZANTHOR_EXPORT int32_t left, top, right, bottom;
ZANTHOR_EXPORT int32_t an_integer;
ZANTHOR_EXPORT Spam my_spams[2];
ZANTHOR_EXPORT Egg my_eggs[1];
ZANTHOR_EXPORT LibraryRecord _xxx_lib;
ZANTHOR_EXPORT int64_t last_tf_arg_s;
ZANTHOR_EXPORT uint64_t last_tf_arg_u;

ZANTHOR_EXPORT void _py_func();
ZANTHOR_EXPORT void _py_func_si(char *s, int32_t i);
ZANTHOR_EXPORT int32_t _testfunc_cbk_reg_int(int32_t a, int32_t b, int32_t c, int32_t d, int32_t e,
                                             int32_t (*func)(int32_t, int32_t, int32_t, int32_t, int32_t));
ZANTHOR_EXPORT double _testfunc_cbk_reg_double(double a, double b, double c, double d, double e,
                                               double (*func)(double, double, double, double, double));
ZANTHOR_EXPORT void testfunc_array(int32_t values[4]);
ZANTHOR_EXPORT long double testfunc_Ddd(double a, double b);
ZANTHOR_EXPORT long double testfunc_DDD(long double a, long double b);
ZANTHOR_EXPORT int32_t testfunc_iii(int32_t a, int32_t b);
ZANTHOR_EXPORT int32_t myprintf(const char *fmt, ...);
ZANTHOR_EXPORT char *my_strtok(char *token, const char *delim);
ZANTHOR_EXPORT char *my_strchr(const char *s, int32_t c);
ZANTHOR_EXPORT double my_sqrt(double a);
ZANTHOR_EXPORT void my_qsort(void *base, size_t num, size_t width, int32_t (*compare)(const void *, const void *));
ZANTHOR_EXPORT int32_t *_testfunc_ai8(int32_t a[8]);
ZANTHOR_EXPORT void _testfunc_v(int32_t a, int32_t b, int32_t *presult);
ZANTHOR_EXPORT int32_t _testfunc_i_bhilfd(int8_t b, int16_t h, int32_t i, long l, float f, double d);
ZANTHOR_EXPORT float _testfunc_f_bhilfd(int8_t b, int16_t h, int32_t i, long l, float f, double d);
ZANTHOR_EXPORT double _testfunc_d_bhilfd(int8_t b, int16_t h, int32_t i, long l, float f, double d);
ZANTHOR_EXPORT long double _testfunc_D_bhilfD(int8_t b, int16_t h, int32_t i, long l, float f, long double d);
ZANTHOR_EXPORT int64_t _testfunc_q_bhilfd(int8_t b, int16_t h, int32_t i, long l, float f, double d);
ZANTHOR_EXPORT int64_t _testfunc_q_bhilfdq(int8_t b, int16_t h, int32_t i, long l, float f, double d, int64_t q);
ZANTHOR_EXPORT void *_testfunc_p_p(void *s);
ZANTHOR_EXPORT char *_testfunc_c_p_p(int32_t *argcp, char **argv);
ZANTHOR_EXPORT void *get_strchr();
ZANTHOR_EXPORT char *my_strdup(const char *src);
ZANTHOR_EXPORT void my_free(void *ptr);
ZANTHOR_EXPORT wchar_t *my_wcsdup(const wchar_t *src);
ZANTHOR_EXPORT size_t my_wcslen(const wchar_t *src);
ZANTHOR_EXPORT int32_t _testfunc_callfuncp(const CallbackPair *fp);
ZANTHOR_EXPORT int32_t _testfunc_deref_pointer(const int32_t *pi);
ZANTHOR_EXPORT int32_t _testfunc_callback_with_pointer(int32_t (*func)(int32_t *));
ZANTHOR_EXPORT int32_t _testfunc_callback_i_if(int32_t value, int32_t (*func)(int32_t));
ZANTHOR_EXPORT int64_t _testfunc_callback_q_qf(int64_t value, int64_t (*func)(int64_t));
ZANTHOR_EXPORT int32_t getSPAMANDEGGS(Egg **eggs);
ZANTHOR_EXPORT int32_t _testfunc_byval(Point in, Point *pout);
ZANTHOR_EXPORT int32_t get_an_integer();
ZANTHOR_EXPORT double integrate(double a, double b, double (*f)(double), long nstep);
ZANTHOR_EXPORT LibraryRecord *library_get();
ZANTHOR_EXPORT void set_bitfields(BitFields *bits, char name, int32_t value);
ZANTHOR_EXPORT int32_t unpack_bitfields(const BitFields *bits, char name);

ZANTHOR_EXPORT int8_t tf_b(int8_t c);
ZANTHOR_EXPORT uint8_t tf_B(uint8_t c);
ZANTHOR_EXPORT int16_t tf_h(int16_t c);
ZANTHOR_EXPORT uint16_t tf_H(uint16_t c);
ZANTHOR_EXPORT int32_t tf_i(int32_t c);
ZANTHOR_EXPORT uint32_t tf_I(uint32_t c);
ZANTHOR_EXPORT long tf_l(long c);
ZANTHOR_EXPORT unsigned long tf_L(unsigned long c);
ZANTHOR_EXPORT long long tf_q(long long c);
ZANTHOR_EXPORT unsigned long long tf_Q(unsigned long long c);
ZANTHOR_EXPORT float tf_f(float c);
ZANTHOR_EXPORT double tf_d(double c);
ZANTHOR_EXPORT long double tf_D(long double c);
ZANTHOR_EXPORT int8_t tf_bb(int8_t x, int8_t c);
ZANTHOR_EXPORT uint8_t tf_bB(int8_t x, uint8_t c);
ZANTHOR_EXPORT int16_t tf_bh(int8_t x, int16_t c);
ZANTHOR_EXPORT uint16_t tf_bH(int8_t x, uint16_t c);
ZANTHOR_EXPORT int32_t tf_bi(int8_t x, int32_t c);
ZANTHOR_EXPORT uint32_t tf_bI(int8_t x, uint32_t c);
ZANTHOR_EXPORT long tf_bl(int8_t x, long c);
ZANTHOR_EXPORT unsigned long tf_bL(int8_t x, unsigned long c);
ZANTHOR_EXPORT long long tf_bq(int8_t x, long long c);
ZANTHOR_EXPORT unsigned long long tf_bQ(int8_t x, unsigned long long c);
ZANTHOR_EXPORT float tf_bf(int8_t x, float c);
ZANTHOR_EXPORT double tf_bd(int8_t x, double c);
ZANTHOR_EXPORT long double tf_bD(int8_t x, long double c);
ZANTHOR_EXPORT void tv_i(int32_t c);

ZANTHOR_EXPORT int32_t PointInRect(const Rect *prc, Point pt);
ZANTHOR_EXPORT Rect ReturnRect(int32_t i, Rect ar, const Rect *br, Point cp, Rect dr, const Rect *er, Point fp,
                               Rect gr);
ZANTHOR_EXPORT ShortPair ret_2h_func(ShortPair inp);
ZANTHOR_EXPORT EightInts ret_8i_func(EightInts inp);
ZANTHOR_EXPORT int32_t GetRectangle(int32_t flag, Rect *prect);
ZANTHOR_EXPORT void TwoOutArgs(int32_t a, int32_t *pi, int32_t b, int32_t *pj);
