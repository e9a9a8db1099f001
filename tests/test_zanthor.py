# The exported functions and data of _zanthor through two independent
# foreign-function clients: ctypes (every interpreter) and cffi in ABI mode
# (where installed). Each client declares the library on its own, from the
# documented signatures; most tests run once per client.
import ctypes
import math
import re
import struct
import subprocess
import sys
from ctypes import (CFUNCTYPE, POINTER, Structure, c_char, c_char_p, c_double, c_float, c_int, c_int8, c_int16, c_int32,
                    c_int64, c_long, c_longdouble, c_short, c_size_t, c_uint8, c_uint16, c_uint32, c_uint64, c_ulong,
                    c_void_p, c_wchar_p)
from fractions import Fraction

import pytest

import harness

INT32_MIN, INT64_MIN = -(2**31), -(2**63)
# long is 64 bits on x86_64, 32 on i386; BIG_LONG is a long that an int cannot hold where it can.
LONG_BITS = 8 * ctypes.sizeof(c_long)
BIG_LONG = 2**40 if LONG_BITS == 64 else 2**30


@pytest.fixture(scope="module")
def path():
    return harness.module_path("_zanthor")


# -- ctypes declarations ------------------------------------------------------


class Point(Structure):
    _fields_ = [("x", c_int32), ("y", c_int32)]


class Rect(Structure):
    _fields_ = [(n, c_int32) for n in ("left", "top", "right", "bottom")]


class ShortPair(Structure):
    _fields_ = [("x", c_int16), ("y", c_int16)]


class EightInts(Structure):
    _fields_ = [(n, c_int32) for n in "abcdefgh"]


# The ABI puts the short fields M to Q in the free bits of the second int
# unit. ctypes (up to 3.13 at least) misplaces short bit-fields that share an
# int unit, so they are described as the int fields they occupy.
class BitFields(Structure):
    _fields_ = ([(n, c_int, w) for n, w in zip("ABCDEFGHI", range(1, 10))]
                + [(n, c_int, w) for n, w in zip("MNOPQ", range(1, 6))]
                + [("R", c_short, 6), ("S", c_short, 7)])


class Spam(Structure):
    _fields_ = [("label", c_char_p), ("text", c_char_p)]


class Egg(Structure):
    _fields_ = [("label", c_char_p), ("spam_count", c_int32), ("spam_list", POINTER(Spam))]


CB_II = CFUNCTYPE(c_int32, c_int32, c_int32)


class CallbackPair(Structure):
    _fields_ = [("first", CB_II), ("second", CB_II)]


ALLOC = CFUNCTYPE(c_void_p, c_int32)
RELEASE = CFUNCTYPE(None, c_void_p)


class LibraryRecord(Structure):
    _fields_ = [("init_function", CFUNCTYPE(None, ALLOC, RELEASE))]


# A subclass keeps ctypes from converting results to float, so all 80 bits
# of a long double result stay readable.
class LongDouble(c_longdouble):
    pass


CALLBACKS_CTYPES = {
    "i5": CFUNCTYPE(c_int32, *[c_int32] * 5),
    "d5": CFUNCTYPE(c_double, *[c_double] * 5),
    "ii": CB_II,
    "i_i": CFUNCTYPE(c_int32, c_int32),
    "q_q": CFUNCTYPE(c_int64, c_int64),
    "i_pi": CFUNCTYPE(c_int32, POINTER(c_int32)),
    "d_d": CFUNCTYPE(c_double, c_double),
    "cmp": CFUNCTYPE(c_int32, c_void_p, c_void_p),
    "alloc": ALLOC,
    "release": RELEASE,
}

BHIL = [c_int8, c_int16, c_int32, c_long, c_float]
SIGNATURES = {
    "_py_func": (None, []),
    "_py_func_si": (None, [c_char_p, c_int32]),
    "_testfunc_cbk_reg_int": (c_int32, [c_int32] * 5 + [CALLBACKS_CTYPES["i5"]]),
    "_testfunc_cbk_reg_double": (c_double, [c_double] * 5 + [CALLBACKS_CTYPES["d5"]]),
    "my_strtok": (c_void_p, [c_char_p, c_char_p]),
    "my_strchr": (c_void_p, [c_void_p, c_int32]),
    "my_sqrt": (c_double, [c_double]),
    "my_qsort": (None, [c_void_p, c_size_t, c_size_t, CALLBACKS_CTYPES["cmp"]]),
    "_testfunc_ai8": (POINTER(c_int32), [POINTER(c_int32)]),
    "_testfunc_v": (None, [c_int32, c_int32, POINTER(c_int32)]),
    "_testfunc_i_bhilfd": (c_int32, BHIL + [c_double]),
    "_testfunc_f_bhilfd": (c_float, BHIL + [c_double]),
    "_testfunc_d_bhilfd": (c_double, BHIL + [c_double]),
    "_testfunc_D_bhilfD": (LongDouble, BHIL + [c_longdouble]),
    "_testfunc_q_bhilfd": (c_int64, BHIL + [c_double]),
    "_testfunc_q_bhilfdq": (c_int64, BHIL + [c_double, c_int64]),
    "_testfunc_p_p": (c_void_p, [c_void_p]),
    "_testfunc_c_p_p": (c_void_p, [POINTER(c_int32), POINTER(c_char_p)]),
    "get_strchr": (c_void_p, []),
    "my_strdup": (c_void_p, [c_char_p]),
    "my_free": (None, [c_void_p]),
    "my_wcsdup": (c_void_p, [c_wchar_p]),
    "my_wcslen": (c_size_t, [c_wchar_p]),
    "_testfunc_callfuncp": (c_int32, [POINTER(CallbackPair)]),
    "_testfunc_deref_pointer": (c_int32, [POINTER(c_int32)]),
    "_testfunc_callback_with_pointer": (c_int32, [CALLBACKS_CTYPES["i_pi"]]),
    "_testfunc_callback_i_if": (c_int32, [c_int32, CALLBACKS_CTYPES["i_i"]]),
    "_testfunc_callback_q_qf": (c_int64, [c_int64, CALLBACKS_CTYPES["q_q"]]),
    "getSPAMANDEGGS": (c_int32, [POINTER(POINTER(Egg))]),
    "_testfunc_byval": (c_int32, [Point, POINTER(Point)]),
    "get_an_integer": (c_int32, []),
    "integrate": (c_double, [c_double, c_double, CALLBACKS_CTYPES["d_d"], c_long]),
    "library_get": (POINTER(LibraryRecord), []),
    "set_bitfields": (None, [POINTER(BitFields), c_char, c_int32]),
    "unpack_bitfields": (c_int32, [POINTER(BitFields), c_char]),
    "tv_i": (None, [c_int32]),
    "PointInRect": (c_int32, [POINTER(Rect), Point]),
    "ReturnRect": (Rect, [c_int32, Rect, POINTER(Rect), Point, Rect, POINTER(Rect), Point, Rect]),
    "ret_2h_func": (ShortPair, [ShortPair]),
    "ret_8i_func": (EightInts, [EightInts]),
    "GetRectangle": (c_int32, [c_int32, POINTER(Rect)]),
    "TwoOutArgs": (None, [c_int32, POINTER(c_int32), c_int32, POINTER(c_int32)]),
}
TF_TYPES = {"b": c_int8, "h": c_int16, "i": c_int32, "l": c_long, "q": c_int64, "B": c_uint8, "H": c_uint16,
            "I": c_uint32, "L": c_ulong, "Q": c_uint64, "f": c_float, "d": c_double, "D": LongDouble}
for code, ctype in TF_TYPES.items():
    SIGNATURES["tf_" + code] = (ctype, [ctype])
    SIGNATURES["tf_b" + code] = (ctype, [c_int8, ctype])

CTYPES_DATA = {"left": c_int32, "top": c_int32, "right": c_int32, "bottom": c_int32, "an_integer": c_int32,
               "last_tf_arg_s": c_int64, "last_tf_arg_u": c_uint64, "my_spams": Spam * 2, "my_eggs": Egg * 1,
               "_xxx_lib": LibraryRecord}


class CtypesClient:
    name = "ctypes"
    NULL = None
    STRUCTS = {"Point": Point, "Rect": Rect, "ShortPair": ShortPair, "EightInts": EightInts,
               "BitFields": BitFields, "CallbackPair": CallbackPair, "int32_t": c_int32, "char *": c_char_p,
               "Egg *": POINTER(Egg)}

    def __init__(self, path):
        self.lib = ctypes.CDLL(path)
        for name, (restype, argtypes) in SIGNATURES.items():
            func = getattr(self.lib, name)
            func.restype, func.argtypes = restype, argtypes
        self._keep = []

    def new(self, kind, init=None):
        """A pointer to a new `kind`, or to an array when `kind` ends in []."""
        if kind.endswith("[]"):
            ctype = self.STRUCTS[kind[:-2]]
            return (ctype * len(init))(*init)
        ctype = self.STRUCTS[kind]
        value = ctype() if init is None else ctype(*init) if isinstance(init, tuple) else ctype(init)
        return ctypes.pointer(value)

    def value(self, kind, *init):
        return self.STRUCTS[kind](*init)

    def callback(self, kind, func):
        cb = CALLBACKS_CTYPES[kind](func)
        self._keep.append(cb)
        return cb

    def get(self, name):
        return CTYPES_DATA[name].in_dll(self.lib, name).value

    def set(self, name, value):
        CTYPES_DATA[name].in_dll(self.lib, name).value = value

    def data(self, name):
        return CTYPES_DATA[name].in_dll(self.lib, name)

    def address(self, obj):
        if obj is None or isinstance(obj, int):
            return obj or 0
        if isinstance(obj, ctypes._Pointer):
            return ctypes.cast(obj, c_void_p).value or 0
        if isinstance(obj, ctypes._CFuncPtr):
            return ctypes.cast(obj, c_void_p).value
        return ctypes.addressof(obj)

    def symbol(self, name):
        return ctypes.addressof(self.data(name))

    def buffer(self, data):
        return ctypes.create_string_buffer(data)

    def argv(self, words):
        return (c_char_p * len(words))(*words)

    def string(self, ptr):
        return None if not ptr else ctypes.string_at(ptr)

    def wstring(self, ptr):
        return None if not ptr else ctypes.wstring_at(ptr)

    def ld_bytes(self, value):
        return bytes(value)[:10]

    def ld_from_bytes(self, raw):
        return LongDouble.from_buffer_copy(raw + bytes(16 - len(raw)))

    def raw(self, ptr):
        return bytes(ptr.contents) if isinstance(ptr, ctypes._Pointer) else bytes(ptr)


# -- cffi declarations ----------------------------------------------------------

CDEF = """
typedef struct { int32_t x, y; } Point;
typedef struct { int32_t left, top, right, bottom; } Rect;
typedef struct { int16_t x, y; } ShortPair;
typedef struct { int32_t a, b, c, d, e, f, g, h; } EightInts;
typedef struct {
    int A:1, B:2, C:3, D:4, E:5, F:6, G:7, H:8, I:9;
    short M:1, N:2, O:3, P:4, Q:5, R:6, S:7;
} BitFields;
typedef struct { char *label; char *text; } Spam;
typedef struct { char *label; int32_t spam_count; Spam *spam_list; } Egg;
typedef struct { int32_t (*first)(int32_t, int32_t); int32_t (*second)(int32_t, int32_t); } CallbackPair;
typedef struct { void (*init_function)(void *(*)(int32_t), void (*)(void *)); } LibraryRecord;

extern int32_t left, top, right, bottom, an_integer;
extern Spam my_spams[2];
extern Egg my_eggs[1];
extern LibraryRecord _xxx_lib;
extern int64_t last_tf_arg_s;
extern uint64_t last_tf_arg_u;

void _py_func(void);
void _py_func_si(char *, int32_t);
int32_t _testfunc_cbk_reg_int(int32_t, int32_t, int32_t, int32_t, int32_t,
                              int32_t (*)(int32_t, int32_t, int32_t, int32_t, int32_t));
double _testfunc_cbk_reg_double(double, double, double, double, double,
                                double (*)(double, double, double, double, double));
void testfunc_array(int32_t *);
long double testfunc_Ddd(double, double);
long double testfunc_DDD(long double, long double);
int32_t testfunc_iii(int32_t, int32_t);
int32_t myprintf(const char *, ...);
char *my_strtok(char *, const char *);
char *my_strchr(const char *, int32_t);
double my_sqrt(double);
void my_qsort(void *, size_t, size_t, int32_t (*)(const void *, const void *));
int32_t *_testfunc_ai8(int32_t *);
void _testfunc_v(int32_t, int32_t, int32_t *);
int32_t _testfunc_i_bhilfd(int8_t, int16_t, int32_t, long, float, double);
float _testfunc_f_bhilfd(int8_t, int16_t, int32_t, long, float, double);
double _testfunc_d_bhilfd(int8_t, int16_t, int32_t, long, float, double);
long double _testfunc_D_bhilfD(int8_t, int16_t, int32_t, long, float, long double);
int64_t _testfunc_q_bhilfd(int8_t, int16_t, int32_t, long, float, double);
int64_t _testfunc_q_bhilfdq(int8_t, int16_t, int32_t, long, float, double, int64_t);
void *_testfunc_p_p(void *);
char *_testfunc_c_p_p(int32_t *, char **);
void *get_strchr(void);
char *my_strdup(const char *);
void my_free(void *);
wchar_t *my_wcsdup(const wchar_t *);
size_t my_wcslen(const wchar_t *);
int32_t _testfunc_callfuncp(CallbackPair *);
int32_t _testfunc_deref_pointer(int32_t *);
int32_t _testfunc_callback_with_pointer(int32_t (*)(int32_t *));
int32_t _testfunc_callback_i_if(int32_t, int32_t (*)(int32_t));
int64_t _testfunc_callback_q_qf(int64_t, int64_t (*)(int64_t));
int32_t getSPAMANDEGGS(Egg **);
int32_t _testfunc_byval(Point, Point *);
int32_t get_an_integer(void);
double integrate(double, double, double (*)(double), long);
LibraryRecord *library_get(void);
void set_bitfields(BitFields *, char, int32_t);
int32_t unpack_bitfields(BitFields *, char);
int8_t tf_b(int8_t); uint8_t tf_B(uint8_t); int16_t tf_h(int16_t); uint16_t tf_H(uint16_t);
int32_t tf_i(int32_t); uint32_t tf_I(uint32_t); long tf_l(long); unsigned long tf_L(unsigned long);
int64_t tf_q(int64_t); uint64_t tf_Q(uint64_t); float tf_f(float); double tf_d(double);
long double tf_D(long double);
int8_t tf_bb(int8_t, int8_t); uint8_t tf_bB(int8_t, uint8_t); int16_t tf_bh(int8_t, int16_t);
uint16_t tf_bH(int8_t, uint16_t); int32_t tf_bi(int8_t, int32_t); uint32_t tf_bI(int8_t, uint32_t);
long tf_bl(int8_t, long); unsigned long tf_bL(int8_t, unsigned long); int64_t tf_bq(int8_t, int64_t);
uint64_t tf_bQ(int8_t, uint64_t); float tf_bf(int8_t, float); double tf_bd(int8_t, double);
long double tf_bD(int8_t, long double);
void tv_i(int32_t);
int32_t PointInRect(Rect *, Point);
Rect ReturnRect(int32_t, Rect, Rect *, Point, Rect, Rect *, Point, Rect);
ShortPair ret_2h_func(ShortPair);
EightInts ret_8i_func(EightInts);
int32_t GetRectangle(int32_t, Rect *);
void TwoOutArgs(int32_t, int32_t *, int32_t, int32_t *);
"""

CALLBACKS_CFFI = {
    "i5": "int32_t(int32_t, int32_t, int32_t, int32_t, int32_t)",
    "d5": "double(double, double, double, double, double)",
    "ii": "int32_t(int32_t, int32_t)",
    "i_i": "int32_t(int32_t)",
    "q_q": "int64_t(int64_t)",
    "i_pi": "int32_t(int32_t *)",
    "d_d": "double(double)",
    "cmp": "int32_t(const void *, const void *)",
    "alloc": "void *(int32_t)",
    "release": "void(void *)",
}


class CffiClient:
    name = "cffi"

    def __init__(self, path):
        cffi = pytest.importorskip("cffi")
        self.ffi = cffi.FFI()
        self.ffi.cdef(CDEF)
        self.lib = self.ffi.dlopen(path)
        self.NULL = self.ffi.NULL
        self._keep = []

    def new(self, kind, init=None):
        if kind.endswith("[]"):
            return self.ffi.new(kind, list(init))
        return self.ffi.new(kind + " *", list(init) if isinstance(init, tuple) else init)

    def value(self, kind, *init):
        return self.ffi.new(kind + " *", list(init))[0]

    def callback(self, kind, func):
        cb = self.ffi.callback(CALLBACKS_CFFI[kind], func)
        self._keep.append(cb)
        return cb

    def get(self, name):
        return getattr(self.lib, name)

    def set(self, name, value):
        setattr(self.lib, name, value)

    def data(self, name):
        if name == "_xxx_lib":
            return self.ffi.addressof(self.lib, name)[0]
        return getattr(self.lib, name)

    def address(self, obj):
        if isinstance(obj, int):
            return obj
        return int(self.ffi.cast("uintptr_t", obj))

    def symbol(self, name):
        return int(self.ffi.cast("uintptr_t", self.ffi.addressof(self.lib, name)))

    def buffer(self, data):
        return self.ffi.new("char[]", data)

    def argv(self, words):
        buffers = [self.buffer(w) for w in words]
        self._keep.append(buffers)
        return self.ffi.new("char *[]", buffers)

    def string(self, ptr):
        return None if ptr == self.ffi.NULL else self.ffi.string(self.ffi.cast("char *", ptr))

    def wstring(self, ptr):
        return None if ptr == self.ffi.NULL else self.ffi.string(self.ffi.cast("wchar_t *", ptr))

    def ld_bytes(self, value):
        return bytes(self.ffi.buffer(self.ffi.new("long double *", value)))[:10]

    def ld_from_bytes(self, raw):
        p = self.ffi.new("long double *")
        self.ffi.buffer(p)[0:len(raw)] = raw
        return p[0]

    def raw(self, ptr):
        return bytes(self.ffi.buffer(ptr))


@pytest.fixture(scope="module", params=["ctypes", "cffi"])
def client(request, path):
    return {"ctypes": CtypesClient, "cffi": CffiClient}[request.param](path)


# -- helpers --------------------------------------------------------------------


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def div3(c):
    """c / 3 truncated toward zero."""
    return -(-c // 3) if c < 0 else c // 3


def wrap(value, bits):
    value &= (1 << bits) - 1
    return value - (1 << bits) if value >> (bits - 1) else value


def as_int(x, bits):
    if not math.isfinite(x) or not -(2 ** (bits - 1)) <= math.trunc(x) < 2 ** (bits - 1):
        return -(2 ** (bits - 1))
    return math.trunc(x)


def ld_decode(raw):
    """The exact value of an x87 80-bit extended number."""
    mantissa = int.from_bytes(raw[:8], "little")
    top = int.from_bytes(raw[8:10], "little")
    sign, exponent = (-1) ** (top >> 15), top & 0x7FFF
    assert 0 < exponent < 0x7FFF and mantissa >> 63, "normal finite numbers only"
    return sign * Fraction(mantissa) * Fraction(2) ** (exponent - 16383 - 63)


def ld_encode(value):
    """80-bit bytes of a positive value exactly representable with 64 mantissa bits."""
    value = Fraction(value)
    exponent = value.numerator.bit_length() - value.denominator.bit_length()
    while Fraction(2) ** exponent > value:
        exponent -= 1
    while Fraction(2) ** (exponent + 1) <= value:
        exponent += 1
    mantissa = value / Fraction(2) ** (exponent - 63)
    assert mantissa.denominator == 1, "not representable"
    return int(mantissa).to_bytes(8, "little") + (exponent + 16383).to_bytes(2, "little")


def ld_round(value):
    """value rounded to the nearest 64-bit-mantissa number (ties to even)."""
    value = Fraction(value)
    exponent = value.numerator.bit_length() - value.denominator.bit_length()
    while Fraction(2) ** exponent > abs(value):
        exponent -= 1
    scale = Fraction(2) ** (exponent - 63)
    return round(value / scale) * scale


# -- the module face -------------------------------------------------------------


def test_module_face(load):
    mod = load("_zanthor")
    assert mod.__doc__ is None
    assert sorted(n for n in vars(mod) if not n.startswith("__")) == ["func", "func_si"]
    assert mod.func.__doc__ is None and mod.func_si.__doc__ is None
    assert mod.func() is None
    assert mod.func_si("text", 5) is None
    for args in [(), ("a",), (1, 1), ("a", "b")]:
        with pytest.raises(TypeError):
            mod.func_si(*args)
    with pytest.raises(TypeError):
        mod.func(1)


def test_exported_symbols(path):
    nm = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True, check=True).stdout
    # A sanitizer build adds its own markers for global data.
    exported = {line.split()[-1]: line.split()[-2] for line in nm.splitlines() if "__odr_asan" not in line}
    data = {"left", "top", "right", "bottom", "an_integer", "my_spams", "my_eggs", "_xxx_lib", "last_tf_arg_s",
            "last_tf_arg_u"}
    functions = (set(SIGNATURES) | {"testfunc_array", "testfunc_Ddd", "testfunc_DDD", "testfunc_iii", "myprintf",
                                    "PyInit__zanthor"})
    assert set(exported) == data | functions
    assert {n for n, kind in exported.items() if kind in "DdBb"} == data
    assert "_xxx_init" not in exported


# -- integers and floats -----------------------------------------------------------

SIGNED = [("b", 8), ("h", 16), ("i", 32), ("l", LONG_BITS), ("q", 64)]
UNSIGNED = [("B", 8), ("H", 16), ("I", 32), ("L", LONG_BITS), ("Q", 64)]


@pytest.mark.parametrize("prefix", ["tf_", "tf_b"])
def test_tf_integer_widths(client, prefix):
    lib = client.lib
    extra = (-1,) if prefix == "tf_b" else ()
    for code, bits in SIGNED:
        for c in (-(2 ** (bits - 1)), -7, -1, 0, 5, 2 ** (bits - 1) - 1):
            assert getattr(lib, prefix + code)(*extra, c) == div3(c), (code, c)
            assert client.get("last_tf_arg_s") == c
    for code, bits in UNSIGNED:
        for c in (0, 1, 7, 2**bits - 1):
            assert getattr(lib, prefix + code)(*extra, c) == c // 3, (code, c)
            assert client.get("last_tf_arg_u") == c
    lib.tv_i(-123456)
    assert client.get("last_tf_arg_s") == -123456


def test_tf_examples(client):
    assert client.lib.tf_b(-128) == -42 and client.get("last_tf_arg_s") == -128
    assert client.lib.tf_B(255) == 85 and client.get("last_tf_arg_u") == 255
    assert client.lib.tf_f(7.9) == f32(f32(7.9) / 3) and client.get("last_tf_arg_s") == 7
    assert math.isclose(client.lib.tf_f(7.9), 2.633, rel_tol=1e-3)


@pytest.mark.parametrize("prefix", ["tf_", "tf_b"])
@pytest.mark.parametrize("c,last", [
    (7.9, 7), (-7.9, -7), (0.5, 0), (-0.0, 0), (1e18, 10**18), (-(2.0**63), INT64_MIN),
    # Out of range and NaN: the x86 "integer indefinite", never undefined behaviour.
    (2.0**63, INT64_MIN), (1e300, INT64_MIN), (math.inf, INT64_MIN), (-math.inf, INT64_MIN),
    (math.nan, INT64_MIN),
])
def test_tf_float_widths(client, prefix, c, last):
    lib = client.lib
    extra = (-1,) if prefix == "tf_b" else ()
    result = getattr(lib, prefix + "d")(*extra, c)
    assert result == c / 3 or (math.isnan(c) and math.isnan(result))
    assert client.get("last_tf_arg_s") == last
    if abs(c) < 3e38 or not math.isfinite(c):
        result = getattr(lib, prefix + "f")(*extra, c)
        assert result == f32(f32(c) / 3) or (math.isnan(c) and math.isnan(result))
        assert client.get("last_tf_arg_s") == as_int(f32(c), 64)
    raw = client.ld_bytes(getattr(lib, prefix + "D")(*extra, c))
    assert client.get("last_tf_arg_s") == last
    if math.isfinite(c) and c != 0:
        assert ld_decode(raw) == ld_round(Fraction(c) / 3)


def test_long_double_keeps_64_mantissa_bits(client):
    # 2**63 - 3 needs 63 significant bits: as a double it would round to
    # 2**63 and fall out of the int64 range.
    c = 2**63 - 3
    result = client.lib.tf_D(client.ld_from_bytes(ld_encode(c)))
    assert client.get("last_tf_arg_s") == c
    assert ld_decode(client.ld_bytes(result)) == ld_round(Fraction(c, 3))


BHILFD = [
    ((1, 2, 3, 4, 5.0, 6.0), 21),
    ((-128, -32768, INT32_MIN, 0, 0.0, 0.0), -128 - 32768 + INT32_MIN),
    ((0, 0, 0, 0, 0.25, -2.75), -2.5),
    ((1, 1, 1, BIG_LONG, 0.5, 0.0), 3 + BIG_LONG + 0.5),
    ((0, 0, 0, 0, 0.0, 1e30), 1e30),
    ((0, 0, 0, 0, 0.0, math.nan), math.nan),
]


@pytest.mark.parametrize("args,total", BHILFD)
def test_bhilfd(client, args, total):
    lib = client.lib
    same = (lambda got, want: got == want or (math.isnan(got) and math.isnan(want)))
    assert lib._testfunc_i_bhilfd(*args) == as_int(total, 32)
    assert same(lib._testfunc_f_bhilfd(*args), math.inf if abs(total) > 3.5e38 else f32(total))
    assert same(lib._testfunc_d_bhilfd(*args), total)
    assert lib._testfunc_q_bhilfd(*args) == as_int(total, 64)
    assert lib._testfunc_q_bhilfdq(*args, -(2**40)) == as_int(total - 2**40, 64)
    raw = client.ld_bytes(lib._testfunc_D_bhilfD(*args))
    if math.isfinite(total) and total != 0:
        assert ld_decode(raw) == ld_round(Fraction(total))


def test_bhilfD_adds_the_long_double_exactly(client):
    d = client.ld_from_bytes(ld_encode(Fraction(2**62 + 1)))
    raw = client.ld_bytes(client.lib._testfunc_D_bhilfD(1, 2, 3, 4, 0.5, d))
    assert ld_decode(raw) == 2**62 + 1 + 10 + Fraction(1, 2)


@pytest.mark.parametrize("a,b,expected", [(2, 3, 5), (2**31 - 1, 1, INT32_MIN), (-5, -7, -12)])
def test_out_parameter_sum(client, a, b, expected):
    out = client.new("int32_t", 99)
    assert client.lib._testfunc_v(a, b, out) is None
    assert out[0] == expected


def test_two_out_args(client):
    pi, pj = client.new("int32_t", 10), client.new("int32_t", 2**31 - 1)
    client.lib.TwoOutArgs(5, pi, 1, pj)
    assert (pi[0], pj[0]) == (15, INT32_MIN)


def test_sqrt_and_plain_calls(client):
    assert client.lib.my_sqrt(2.0) == math.sqrt(2.0)
    assert math.isnan(client.lib.my_sqrt(-1.0))
    assert client.lib._py_func() is None
    assert client.lib._py_func_si(b"x", 3) is None


# -- exported data -------------------------------------------------------------------


def test_exported_integers(client):
    assert [client.get(n) for n in ("left", "top", "right", "bottom", "an_integer")] == [10, 20, 30, 40, 42]
    assert client.lib.get_an_integer() == 42
    try:
        client.set("an_integer", -5)
        assert client.lib.get_an_integer() == -5
    finally:
        client.set("an_integer", 42)


def test_spams_and_eggs(client):
    spams = client.data("my_spams")
    assert [(client.string(s.label), client.string(s.text)) for s in spams] == [
        (b"name1", b"value1"), (b"name2", b"value2")]
    eggs = client.data("my_eggs")
    assert client.string(eggs[0].label) == b"first egg" and eggs[0].spam_count == 1
    assert client.address(eggs[0].spam_list) == client.symbol("my_spams")
    out = client.new("Egg *")
    assert client.lib.getSPAMANDEGGS(out) == 1
    assert client.address(out[0]) == client.symbol("my_eggs")
    assert client.string(out[0][0].spam_list[1].text) == b"value2"


def test_library_record(client):
    record = client.lib.library_get()
    assert client.address(record) == client.symbol("_xxx_lib")
    assert client.address(client.data("_xxx_lib").init_function) != 0


# -- structures ------------------------------------------------------------------------


@pytest.mark.parametrize("x,y,inside", [
    (10, 20, 1), (30, 40, 1), (20, 30, 1), (31, 20, 0), (9, 20, 0), (10, 41, 0), (10, 19, 0)])
def test_point_in_rect(client, x, y, inside):
    rect = client.new("Rect", (10, 20, 30, 40))
    assert client.lib.PointInRect(rect, client.value("Point", x, y)) == inside


def fields(struct_value, names):
    return tuple(getattr(struct_value, n) for n in names)


RECT = ("left", "top", "right", "bottom")


@pytest.mark.parametrize("i,cp,fp,ar_left,expected", [
    (0, (1, 2), (1, 2), 10, (10, 2, 30, 4)),
    (1, (1, 2), (1, 2), 10, (10, 20, 30, 40)),  # dr
    (2, (1, 2), (1, 2), 10, (10, 0, 30, 0)),  # gr
    (0, (1, 2), (9, 2), 10, (-100, 2, 30, 4)),
    (0, (1, 2), (1, 9), 10, (-200, 2, 30, 4)),
    (0, (1, 2), (9, 9), 10, (-200, 2, 30, 4)),
    (0, (1, 2), (1, 2), 11, (100, 2, 30, 4)),  # left sums differ from 50
])
def test_return_rect(client, i, cp, fp, ar_left, expected):
    ar = client.value("Rect", ar_left, 2, 30, 4)
    br = client.new("Rect", (10, 0, 30, 0))
    dr = client.value("Rect", 10, 20, 30, 40)
    er = client.new("Rect", (10, 0, 30, 0))
    gr = client.value("Rect", 10, 0, 30, 0)
    result = client.lib.ReturnRect(i, ar, br, client.value("Point", *cp), dr, er, client.value("Point", *fp), gr)
    assert fields(result, RECT) == expected


def test_return_rect_checks_right_sums_against_the_exported_right(client):
    ar = client.value("Rect", 10, 2, 30, 4)
    rects = [client.new("Rect", (10, 0, 30, 0)) for _ in range(2)]
    others = [client.value("Rect", 10, 0, 30, 0) for _ in range(2)]
    p = client.value("Point", 0, 0)
    assert fields(client.lib.ReturnRect(0, ar, rects[0], p, others[0], rects[1], p, others[1]), RECT) == (10, 2, 30, 4)
    try:
        client.set("right", 31)
        assert fields(client.lib.ReturnRect(0, ar, rects[0], p, others[0], rects[1], p, others[1]), RECT) == (
            10, 2, 100, 4)
    finally:
        client.set("right", 30)


@pytest.mark.parametrize("inp,expected", [
    ((3, 4), (6, 12)), ((-5, -6), (-10, -18)), ((2**14, 2**14), (-(2**15), wrap(3 * 2**14, 16))),
    ((32767, -32768), (-2, wrap(-3 * 32768, 16)))])
def test_short_pair_by_value(client, inp, expected):
    assert fields(client.lib.ret_2h_func(client.value("ShortPair", *inp)), "xy") == expected


def test_eight_ints_by_value(client):
    inp = client.value("EightInts", 1, 2, 3, 4, 5, 6, 7, 2**30)
    assert fields(client.lib.ret_8i_func(inp), "abcdefgh") == (2, 6, 12, 20, 30, 42, 56, wrap(9 * 2**30, 32))


def test_get_rectangle(client):
    rect = client.new("Rect", (7, 7, 7, 7))
    before = client.raw(rect)
    assert client.lib.GetRectangle(0, rect) == 0
    assert client.raw(rect) == before
    assert client.lib.GetRectangle(5, rect) == 1
    assert fields(rect[0], RECT) == (5, 6, 7, 8)
    assert client.lib.GetRectangle(2**31 - 1, rect) == 1
    assert fields(rect[0], RECT) == (2**31 - 1, INT32_MIN, INT32_MIN + 1, INT32_MIN + 2)


def test_point_by_value_with_optional_out_pointer(client):
    assert client.lib._testfunc_byval(client.value("Point", 3, 4), client.NULL) == 7
    out = client.new("Point")
    assert client.lib._testfunc_byval(client.value("Point", -3, 40), out) == 37
    assert fields(out[0], "xy") == (-3, 40)
    assert client.lib._testfunc_byval(client.value("Point", 2**31 - 1, 2), client.NULL) == INT32_MIN + 1


def test_pointers_pass_through(client):
    ints = client.new("int32_t[]", range(10, 18))
    result = client.lib._testfunc_ai8(ints)
    assert client.address(result) == client.address(ints)
    assert [result[k] for k in range(8)] == list(range(10, 18))
    assert client.address(client.lib._testfunc_p_p(ints)) == client.address(ints)
    assert client.address(client.lib._testfunc_p_p(client.NULL)) == 0
    assert client.lib._testfunc_deref_pointer(client.new("int32_t", -77)) == -77


def test_argv_lookup(client):
    argv = client.argv([b"prog", b"one", b"two"])
    for count, expected in [(1, b"prog"), (3, b"two")]:
        assert client.string(client.lib._testfunc_c_p_p(client.new("int32_t", count), argv)) == expected
    # A count of zero or less names no element.
    for count in (0, -1):
        assert client.string(client.lib._testfunc_c_p_p(client.new("int32_t", count), argv)) is None


# -- strings -------------------------------------------------------------------------


def test_strdup_and_free(client):
    for text in (b"", b"hello", b"x" * 1000):
        copy = client.lib.my_strdup(text)
        assert client.address(copy) != 0 and client.string(copy) == text
        client.lib.my_free(copy)
    client.lib.my_free(client.NULL)


def test_wcsdup_and_wcslen(client):
    for text in ("", "abc", "wörter ☃ 𝄞"):
        assert client.lib.my_wcslen(text) == len(text)  # 4-byte wchar_t: one unit per code point
        copy = client.lib.my_wcsdup(text)
        assert client.wstring(copy) == text
        client.lib.my_free(copy)


def test_strchr(client):
    buf = client.buffer(b"hello world")
    found = client.lib.my_strchr(buf, ord("o"))
    assert client.address(found) - client.address(buf) == 4
    assert client.string(found) == b"o world"
    assert client.address(client.lib.my_strchr(buf, ord("z"))) == 0
    assert client.address(client.lib.my_strchr(buf, 0)) - client.address(buf) == 11


def test_get_strchr_is_libc_strchr(client):
    libc = ctypes.CDLL(None)
    address = client.address(client.lib.get_strchr())
    assert address == ctypes.cast(libc.strchr, c_void_p).value
    strchr = CFUNCTYPE(c_char_p, c_char_p, c_int)(address)
    assert strchr(b"abcdef", ord("d")) == b"def"


def test_strtok(client):
    buf = client.buffer(b"a,b;;c")
    tokens = [client.string(client.lib.my_strtok(buf, b",;"))]
    while tokens[-1] is not None:
        tokens.append(client.string(client.lib.my_strtok(client.NULL, b",;")))
    assert tokens == [b"a", b"b", b"c", None]


# -- callbacks ------------------------------------------------------------------------


def test_callbacks_with_five_arguments(client):
    seen = []

    def ints(*args):
        seen.append(args)
        return sum(args)

    cb = client.callback("i5", ints)
    assert client.lib._testfunc_cbk_reg_int(1, 2, 3, 4, 5, cb) == 55
    assert client.lib._testfunc_cbk_reg_int(-3, 2**16, 0, 0, 0, cb) == 9  # 2**32 wraps to 0
    assert seen == [(1, 4, 9, 16, 25), (9, 0, 0, 0, 0)]
    dcb = client.callback("d5", lambda *a: a[0] - a[4])
    assert client.lib._testfunc_cbk_reg_double(1.5, 0, 0, 0, 0.5, dcb) == 2.25 - 0.25


@pytest.mark.parametrize("value,calls", [(10, [10, 5, 2, 1]), (0, []), (-10, [-10, -5, -2, -1]), (1, [1]),
                                         (INT32_MIN, [-(2**k) for k in range(31, -1, -1)])])
def test_halving_callback_i(client, value, calls):
    seen = []

    def f(v):
        seen.append(v)
        return v * 2 if -(2**30) <= v < 2**30 else 1

    result = client.lib._testfunc_callback_i_if(value, client.callback("i_i", f))
    assert seen == calls
    assert result == wrap(sum(f(v) for v in calls), 32)


def test_halving_callback_q(client):
    seen = []
    cb = client.callback("q_q", lambda v: seen.append(v) or 2**62)
    result = client.lib._testfunc_callback_q_qf(2**40 + 1, cb)
    assert seen[:3] == [2**40 + 1, 2**39, 2**38] and len(seen) == 41
    assert result == wrap(41 * 2**62, 64)


def test_callback_gets_a_pointer_to_ten_ints(client):
    seen = []
    cb = client.callback("i_pi", lambda p: seen.append([p[k] for k in range(10)]) or p[9] * 100)
    assert client.lib._testfunc_callback_with_pointer(cb) == 1000
    assert seen == [list(range(1, 11))]


def test_callback_pair(client):
    calls = []
    pair = client.new("CallbackPair", (client.callback("ii", lambda a, b: calls.append(("first", a, b)) or 0),
                                       client.callback("ii", lambda a, b: calls.append(("second", a, b)) or 0)))
    assert client.lib._testfunc_callfuncp(pair) == 0
    assert calls == [("first", 1, 2), ("second", 3, 4)]


def test_qsort(client):
    values = [5, -3, 9, 0, 2**31 - 1, INT32_MIN, 7]
    array = client.new("int32_t[]", values)

    def compare(a, b):
        x = ctypes.c_int32.from_address(client.address(a)).value
        y = ctypes.c_int32.from_address(client.address(b)).value
        return (x > y) - (x < y)

    client.lib.my_qsort(array, len(values), 4, client.callback("cmp", compare))
    assert [array[k] for k in range(len(values))] == sorted(values)


@pytest.mark.parametrize("a,b,nstep,func,expected", [
    (0.0, 10.0, 10, lambda x: x, 5.0),
    (0.0, 1.0, 4, lambda x: x * x, (0.125**2 + 0.375**2 + 0.625**2 + 0.875**2) / 4),
    (2.0, 2.0, 5, lambda x: 1.0, 0.0),
])
def test_integrate(client, a, b, nstep, func, expected):
    assert client.lib.integrate(a, b, client.callback("d_d", func), nstep) == pytest.approx(expected, rel=1e-15)


def test_integrate_takes_at_most_nstep_samples(client):
    seen = []
    cb = client.callback("d_d", lambda x: seen.append(x) or 1.0)
    assert client.lib.integrate(0.0, 1.0, cb, 1000) == pytest.approx(1.0)
    assert len(seen) == 1000
    assert math.isnan(client.lib.integrate(0.0, 1.0, cb, 0))
    assert len(seen) == 1000


# -- bit fields ---------------------------------------------------------------------------

WIDTHS = dict(zip("ABCDEFGHIMNOPQRS", list(range(1, 10)) + list(range(1, 8))))


@pytest.mark.parametrize("name", list(WIDTHS))
def test_bitfields(client, name):
    width = WIDTHS[name]
    for value in (0, 1, -1, 3, 255, 2 ** (width - 1) - 1, -(2 ** (width - 1)), 12345, -98765):
        bits = client.new("BitFields")
        client.lib.set_bitfields(bits, name.encode(), value)
        expected = wrap(value, width)
        assert client.lib.unpack_bitfields(bits, name.encode()) == expected
        # The client sees the field where the C compiler put it, and only it.
        assert getattr(bits[0], name) == expected
        assert all(getattr(bits[0], other) == 0 for other in WIDTHS if other != name)
        theirs = client.new("BitFields")
        setattr(theirs[0], name, expected)
        assert client.raw(theirs) == client.raw(bits)
        assert client.lib.unpack_bitfields(theirs, name.encode()) == expected


def test_bitfield_examples_and_unknown_letters(client):
    bits = client.new("BitFields")
    client.lib.set_bitfields(bits, b"B", 3)
    client.lib.set_bitfields(bits, b"H", 255)
    assert (client.lib.unpack_bitfields(bits, b"B"), client.lib.unpack_bitfields(bits, b"H")) == (-1, -1)
    before = client.raw(bits)
    client.lib.set_bitfields(bits, b"J", -1)
    assert client.raw(bits) == before
    assert client.lib.unpack_bitfields(bits, b"J") == 0


# -- printing, from a child's standard output ------------------------------------------------

PRINTING_CTYPES = r"""
import ctypes, sys
from ctypes import c_int32, c_double, c_longdouble, c_char_p, c_void_p, CFUNCTYPE, POINTER
lib = ctypes.CDLL(sys.argv[1])
libc = ctypes.CDLL(None)
lib.testfunc_array.argtypes = [POINTER(c_int32)]
lib.testfunc_array((c_int32 * 4)(1, -2, 3, 2**31 - 1))
lib.testfunc_Ddd.restype = c_longdouble
lib.testfunc_Ddd.argtypes = [c_double, c_double]
results = [lib.testfunc_Ddd(1.5, -4.0)]
lib.testfunc_DDD.restype = c_longdouble
lib.testfunc_DDD.argtypes = [c_longdouble, c_longdouble]
results.append(lib.testfunc_DDD(2.5, 0.5))
class LongDouble(c_longdouble):
    pass
lib.testfunc_DDD.restype = LongDouble
results.append(bytes(lib.testfunc_DDD(1 + 2.0**-30, 1 + 2.0**-31))[:10].hex())
lib.testfunc_iii.argtypes = [c_int32, c_int32]
lib.testfunc_iii.restype = c_int32
results += [lib.testfunc_iii(6, -7), lib.testfunc_iii(65536, 65537)]
lib.myprintf.restype = c_int32
n = lib.myprintf(b"%d|%s|%.3f|%c|%ld\n", c_int32(-5), c_char_p(b"str"), c_double(2.5), c_int32(65),
                 ctypes.c_long(-2**40 if ctypes.sizeof(ctypes.c_long) == 8 else -2**30))
ALLOC, RELEASE = CFUNCTYPE(c_void_p, c_int32), CFUNCTYPE(None, c_void_p)
block = ctypes.create_string_buffer(64)
sizes, freed = [], []
alloc = ALLOC(lambda size: sizes.append(size) or ctypes.addressof(block))
release = RELEASE(lambda p: freed.append(p))
class LibraryRecord(ctypes.Structure):
    _fields_ = [("init_function", CFUNCTYPE(None, ALLOC, RELEASE))]
lib.library_get.restype = POINTER(LibraryRecord)
lib.library_get()[0].init_function(alloc, release)
libc.fflush(None)
sys.stderr.write(repr((results, n, sizes, freed == [ctypes.addressof(block)], hex(ctypes.addressof(block)),
                       hex(ctypes.cast(alloc, c_void_p).value), hex(ctypes.cast(release, c_void_p).value))))
"""

PRINTING_CFFI = r"""
import cffi, sys
ffi = cffi.FFI()
ffi.cdef('''
typedef struct { void (*init_function)(void *(*)(int32_t), void (*)(void *)); } LibraryRecord;
void testfunc_array(int32_t *);
long double testfunc_Ddd(double, double);
long double testfunc_DDD(long double, long double);
int32_t testfunc_iii(int32_t, int32_t);
int32_t myprintf(const char *, ...);
LibraryRecord *library_get(void);
int fflush(void *);
''')
lib = ffi.dlopen(sys.argv[1])
libc = ffi.dlopen(None)
lib.testfunc_array(ffi.new("int32_t[4]", [1, -2, 3, 2**31 - 1]))
results = [float(lib.testfunc_Ddd(1.5, -4.0)), float(lib.testfunc_DDD(2.5, 0.5))]
product = ffi.new("long double *", lib.testfunc_DDD(1 + 2.0**-30, 1 + 2.0**-31))
results.append(bytes(ffi.buffer(product))[:10].hex())
results += [lib.testfunc_iii(6, -7), lib.testfunc_iii(65536, 65537)]
n = lib.myprintf(b"%d|%s|%.3f|%c|%ld\n", ffi.cast("int", -5), ffi.new("char[]", b"str"), ffi.cast("double", 2.5),
                 ffi.cast("int", 65), ffi.cast("long", -2**40 if ffi.sizeof("long") == 8 else -2**30))
block = ffi.new("char[64]")
sizes, freed = [], []
alloc = ffi.callback("void *(int32_t)", lambda size: sizes.append(size) or block)
release = ffi.callback("void(void *)", lambda p: freed.append(int(ffi.cast("uintptr_t", p))))
lib.library_get().init_function(alloc, release)
libc.fflush(ffi.NULL)
address = lambda p: int(ffi.cast("uintptr_t", p))
sys.stderr.write(repr((results, n, sizes, freed == [address(block)], hex(address(block)), hex(address(alloc)),
                       hex(address(release)))))
"""


@pytest.mark.parametrize("client_name", ["ctypes", "cffi"])
def test_printing_functions(path, client_name):
    if client_name == "cffi":
        pytest.importorskip("cffi")
    code = PRINTING_CTYPES if client_name == "ctypes" else PRINTING_CFFI
    proc = subprocess.run([sys.executable, "-I", "-c", code, path], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    results, n, sizes, freed_ok, block, alloc, release = eval(proc.stderr)
    ddd, iii = results[2], results[3:]
    assert results[:2] == [-6.0, 1.25]
    assert iii == [-42, 65536]  # 65536 * 65537 wraps in 32 bits
    # The product in full 64-bit precision: the 2**-61 term is lost in a double.
    assert ld_decode(bytes.fromhex(ddd)) == 1 + Fraction(1, 2**30) + Fraction(1, 2**31) + Fraction(1, 2**61)
    addresses = r"\((0x[0-9a-f]+), (0x[0-9a-f]+)\)"
    expected = [
        "testfunc_array 1 -2 3 2147483647",
        "testfunc_Ddd" + addresses, "testfunc_Ddd(1.5, -4)",
        "testfunc_DDD" + addresses, "testfunc_DDD(2.5, 0.5)",
        "testfunc_DDD" + addresses, "testfunc_DDD(1, 1)",
        "testfunc_iii" + addresses, "testfunc_iii" + addresses,
        f"-5|str|2.500|A|{-BIG_LONG}",
        f"_xxx_init got {alloc} {release}", "calling", f"calls done, ptr was {block}",
    ]
    lines = proc.stdout.splitlines()
    assert len(lines) == len(expected), proc.stdout
    for line, want in zip(lines, expected):
        if want.endswith(addresses):
            match = re.fullmatch(re.escape(want[:-len(addresses)]) + addresses, line)
            assert match, (line, want)
            a, b = match.groups()
            assert int(a, 16) and int(b, 16) and a != b
        else:
            assert line == want
    assert n == len(f"-5|str|2.500|A|{-BIG_LONG}\n")
    assert sizes == [32] and freed_ok

