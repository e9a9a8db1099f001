"""Hypothesis strategies for values a careless or hostile caller may pass:
edge integers and floats, odd subclasses, objects whose conversions raise or
lie, and buffers of every shape, stride and format."""
import array
import math
import struct

from hypothesis import strategies as st

INT_EDGES = [0, 1, -1, 2, 3, 4, 5, 7, 8, 255, 256, 2**15, 2**16, 2**31 - 1, 2**31, -2**31, -2**31 - 1, 2**32 - 1,
             2**32, 2**53 + 1, 2**63 - 1, 2**63, -2**63, -2**63 - 1, 2**64 - 1, 2**64, 10**40, -10**40]
FLOAT_EDGES = [0.0, -0.0, math.nan, -math.nan, math.inf, -math.inf, 5e-324, 2.2250738585072014e-308,
               1.7976931348623157e308, -1.7976931348623157e308, 0.5, -1.5, 2.0**31, 2.0**63, -2.0**63, 2.0**64, 1e300]


class Oops(Exception):
    """Raised by a conversion on purpose; any exception is an answer."""


class IntSub(int):
    """An int whose own conversions tell another story."""

    def __index__(self):
        return -2**63 - 1

    def __int__(self):
        return 2**64

    def __float__(self):
        return math.nan


class FloatSub(float):
    def __float__(self):
        return math.inf

    def __index__(self):
        return 2**31


class BytesSub(bytes):
    def __len__(self):
        return 2**62

    def __index__(self):
        return 1


class StrSub(str):
    def __str__(self):
        return "x" * 3

    def __len__(self):
        return -1 & 0x7FFFFFFF


class Convert:
    """Answers __index__, __int__, __float__, __complex__ with `value`, or
    raises it when it is an exception (class)."""

    def __init__(self, value):
        self.value = value

    def _answer(self):
        if isinstance(self.value, type) and issubclass(self.value, BaseException):
            raise self.value("conversion refused")
        return self.value

    __index__ = __int__ = __float__ = __complex__ = __bytes__ = __fspath__ = lambda self: self._answer()
    __len__ = lambda self: self._answer()

    def __iter__(self):
        return iter(self._answer())

    def __repr__(self):
        return f"Convert({self.value!r})"


class Raiser:
    """Every protocol raises."""

    def _raise(self, *args):
        raise Oops("refused")

    __index__ = __int__ = __float__ = __complex__ = __bytes__ = __len__ = __iter__ = _raise
    # Hashing and equality stay plain: the case generator hashes values.
    __fspath__ = __str__ = __lt__ = __bool__ = __call__ = _raise

    def __repr__(self):
        return "Raiser()"


def safe_repr(value, limit=300):
    try:
        text = repr(value)
    except Exception as exc:  # a hostile __repr__ must not hide the case
        text = f"<{type(value).__name__}: repr raised {type(exc).__name__}>"
    return text if len(text) <= limit else text[:limit] + f"...({len(text)} chars)"


ints = st.one_of(st.sampled_from(INT_EDGES), st.integers(-2**64, 2**64), st.integers(-10, 70))
floats = st.one_of(st.sampled_from(FLOAT_EDGES), st.floats(allow_nan=True, allow_infinity=True))
lying = st.one_of(
    st.builds(IntSub, ints), st.builds(FloatSub, floats), st.just(True), st.just(False),
    st.builds(Convert, st.one_of(ints, floats, st.just(IntSub(3)), st.just(1.5), st.just("7"),
                                 st.sampled_from([Oops, MemoryError, KeyboardInterrupt, SystemExit, RecursionError]))),
    st.just(Raiser()))
numbers = st.one_of(ints, floats, lying, st.complex_numbers(allow_nan=True, allow_infinity=True))
texts = st.one_of(st.text(max_size=40), st.sampled_from(["", "\0", "a\0b", "\udcff", "é" * 300, "%s%n%x" * 10]),
                  st.builds(StrSub, st.text(max_size=5)))
raw = st.one_of(st.binary(max_size=64), st.sampled_from([b"", b"\0", b"\xff" * 4097]))


@st.composite
def buffers(draw, data=raw):
    """The same bytes behind every kind of exporter and layout."""
    b = draw(data)
    kind = draw(st.sampled_from(["bytes", "bytearray", "sub", "view", "cast", "strided", "shaped", "released",
                                 "array", "numpy", "ndarray"]))
    if kind == "bytes":
        return b
    if kind == "bytearray":
        return bytearray(b)
    if kind == "sub":
        return BytesSub(b)
    if kind == "view":
        return memoryview(b)
    if kind == "cast":
        fmt = draw(st.sampled_from("BbcHhIiLlQqfd?"))
        size = struct.calcsize(fmt)
        return memoryview(b[:len(b) - len(b) % size]).cast(fmt)
    if kind == "strided":
        return memoryview(b)[draw(st.integers(0, 3))::draw(st.sampled_from([2, 3, -1, -2]))]
    if kind == "shaped":
        n = len(b) - len(b) % 4
        return memoryview(b[:n]).cast("B", (2, n // 2)) if n else memoryview(b)
    if kind == "released":
        m = memoryview(b)
        m.release()
        return m
    if kind == "array":
        return array.array("h", b[:len(b) & ~1])
    if kind == "numpy":
        try:
            import numpy
        except ImportError:
            return b
        a = numpy.frombuffer(b[:len(b) & ~3], dtype=draw(st.sampled_from(["<i2", ">i4", "u1", "f4"])))
        return a[::-1] if draw(st.booleans()) else a
    # Our own exporter: every layout the buffer protocol can describe.
    import fuzz_modules
    nd = fuzz_modules.get("_delvane")
    if nd is None:
        return b
    items = list(b) or [0]
    flags = draw(st.sampled_from([0, nd.ND_WRITABLE, nd.ND_FORTRAN, nd.ND_PIL, nd.ND_WRITABLE | nd.ND_PIL]))
    shape = [len(items)] if len(items) % 2 else [2, len(items) // 2]
    try:
        a = nd.ndarray(items, shape=shape, format="B", flags=flags)
        return a[::-1] if draw(st.booleans()) else a
    except (TypeError, ValueError, BufferError):
        return b


anything = st.deferred(lambda: st.one_of(
    numbers, texts, buffers(), st.none(), st.just(object()), st.just(Raiser()),
    st.lists(st.one_of(ints, floats, st.none()), max_size=4), st.tuples(ints, ints),
    st.dictionaries(texts, ints, max_size=2), st.just(print), st.just(Oops)))


def mixed(typical, weight=3):
    """Mostly values of the right kind, sometimes anything at all."""
    return st.one_of(*([typical] * weight), anything)


def of(*values):
    return st.sampled_from(values)
