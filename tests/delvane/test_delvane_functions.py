# _delvane: the module functions over the interpreter's buffer routines, and
# the staticarray exporter.
import pytest
from hypothesis import given, settings, strategies as st


@pytest.fixture(scope="module")
def dv(load):
    return load("_delvane")


@settings(max_examples=200, deadline=None, derandomize=True)
@given(start=st.one_of(st.none(), st.integers(-20, 20)), stop=st.one_of(st.none(), st.integers(-20, 20)),
       step=st.one_of(st.none(), st.integers(-5, 5).filter(bool)), length=st.integers(0, 15))
def test_slice_indices_agree_with_slice_objects(dv, start, stop, step, length):
    s = slice(start, stop, step)
    expected = s.indices(length)
    assert dv.slice_indices(s, length) == (*expected, len(range(*expected)))


def test_slice_indices(dv):
    assert dv.slice_indices(slice(None, None, -1), 5) == (4, -1, -1, 5)
    with pytest.raises(TypeError, match="^first argument must be a slice object$"):
        dv.slice_indices(range(3), 5)
    with pytest.raises(ValueError, match="^slice step cannot be zero$"):
        dv.slice_indices(slice(0, 1, 0), 5)


def test_get_pointer(dv):
    nd = dv.ndarray
    a = nd(list(range(24)), shape=[2, 3, 4], format="h")
    lists = a.tolist()
    for i in range(2):
        for j in range(3):
            for k in range(4):
                assert dv.get_pointer(a, (i, j, k)) == lists[i][j][k]
    p = nd(list(range(6)), shape=[2, 3], strides=[-3, 1], offset=3, flags=dv.ND_PIL)
    assert [[dv.get_pointer(p, [i, j]) for j in range(3)] for i in range(2)] == p.tolist()
    assert dv.get_pointer(nd(9, shape=[]), []) == 9
    assert dv.get_pointer(b"abc", [1]) == ord("b")


@pytest.mark.parametrize("obj,indices,exc,message", [
    ("exporter", 0, TypeError, "seq must be a list or a tuple"),
    ("exporter", [0], ValueError, "get_pointer(): len(indices) != ndim"),
    ("exporter", [-1, 0], ValueError, "get_pointer(): invalid index -1 at position 0"),
    ("exporter", [0, 3], ValueError, "get_pointer(): invalid index 3 at position 1"),
    ("exporter", [0, 1.0], TypeError, None),
    ("plain", [0], TypeError, None),
])
def test_get_pointer_errors(dv, obj, indices, exc, message):
    target = dv.ndarray(list(range(6)), shape=[2, 3]) if obj == "exporter" else object()
    with pytest.raises(exc) as info:
        dv.get_pointer(target, indices)
    if message:
        assert str(info.value) == message
    if obj == "exporter":
        target.push([1], shape=[1])  # every path gave the buffer back


ORDER_ERRORS = [
    (b"C", TypeError, "order must be a string"),
    ("", ValueError, "invalid order, must be C, F or A"),
    ("c", ValueError, "invalid order, must be C, F or A"),
    ("Z", ValueError, "invalid order, must be C, F or A"),
]


@pytest.mark.parametrize("order,exc,message", ORDER_ERRORS)
def test_order_argument(dv, order, exc, message):
    a = dv.ndarray([1, 2], shape=[2])
    calls = [lambda: dv.get_contiguous(a, dv.PyBUF_READ, order),
             lambda: dv.py_buffer_to_contiguous(a, order, dv.PyBUF_FULL_RO),
             lambda: dv.is_contiguous(a, order)]
    for call in calls:
        with pytest.raises(exc) as info:
            call()
        assert str(info.value) == message
    with pytest.raises(UnicodeEncodeError):
        dv.is_contiguous(a, "ü")
    # Only the first character counts.
    assert dv.is_contiguous(a, "Fortran") and dv.is_contiguous(a, "Any") and dv.is_contiguous(a, "CX")


def test_get_contiguous(dv):
    nd = dv.ndarray
    a = nd(list(range(6)), shape=[2, 3], strides=[1, 2])
    for order, expected in (("C", [0, 2, 4, 1, 3, 5]), ("F", [0, 1, 2, 3, 4, 5]), ("A", [0, 1, 2, 3, 4, 5])):
        m = dv.get_contiguous(a, dv.PyBUF_READ, order)
        # tobytes("A") shows the memory as it lies.
        assert (list(m.tobytes("A")), m.tolist()) == (expected, a.tolist())
    with pytest.raises(TypeError, match="^buffertype must be PyBUF_READ or PyBUF_WRITE$"):
        dv.get_contiguous(a, 256.0, "C")
    with pytest.raises(ValueError, match="^invalid buffer type$"):
        dv.get_contiguous(a, 3, "C")
    with pytest.raises(OverflowError):
        dv.get_contiguous(a, 2**80, "C")
    with pytest.raises(BufferError):
        dv.get_contiguous(a, dv.PyBUF_WRITE, "C")


def test_py_buffer_to_contiguous(dv):
    nd = dv.ndarray
    a = nd(list(range(6)), shape=[2, 3], strides=[-3, 1], offset=3)
    assert list(dv.py_buffer_to_contiguous(a, "C", dv.PyBUF_FULL_RO)) == [3, 4, 5, 0, 1, 2]
    assert list(dv.py_buffer_to_contiguous(a, "F", dv.PyBUF_FULL_RO)) == [3, 0, 4, 1, 5, 2]
    p = nd(list(range(6)), shape=[2, 3], flags=dv.ND_PIL)
    assert list(dv.py_buffer_to_contiguous(p, "C", dv.PyBUF_INDIRECT)) == [0, 1, 2, 3, 4, 5]
    with pytest.raises(BufferError, match="^ndarray cannot be represented without suboffsets$"):
        dv.py_buffer_to_contiguous(p, "C", dv.PyBUF_STRIDED_RO)
    with pytest.raises(ValueError):
        dv.py_buffer_to_contiguous(a, "X", dv.PyBUF_FULL_RO)
    a.push([1], shape=[1])  # the failing call gave its buffer back
    assert dv.py_buffer_to_contiguous(nd([1], shape=[0]), "C", 0) == b""


def test_is_contiguous(dv):
    nd = dv.ndarray
    c = nd(list(range(6)), shape=[2, 3])
    f = nd(list(range(6)), shape=[2, 3], flags=dv.ND_FORTRAN)
    assert [dv.is_contiguous(c, o) for o in "CFA"] == [True, False, True]
    assert [dv.is_contiguous(f, o) for o in "CFA"] == [False, True, True]
    assert [dv.is_contiguous(c[::-1], o) for o in "CFA"] == [False, False, False]
    assert dv.is_contiguous(b"abc", "C") and dv.is_contiguous(memoryview(b"abcd")[::2], "A") is False
    with pytest.raises(TypeError, match="^is_contiguous: object does not implement the buffer protocol$"):
        dv.is_contiguous(object(), "C")
    # An exact ndarray is asked directly, without an export: even one that
    # refuses every request.
    assert dv.is_contiguous(nd([1], shape=[1], flags=dv.ND_GETBUF_FAIL), "C")


def test_cmp_contig(dv):
    nd = dv.ndarray
    items = list(range(6))
    assert not dv.cmp_contig(nd(items[:4], shape=[2, 2]), nd(items[:4], shape=[2, 2], flags=dv.ND_FORTRAN))
    assert dv.cmp_contig(nd(items[:5], shape=[1, 5]), nd(items[:5], shape=[1, 5], flags=dv.ND_FORTRAN))
    assert dv.cmp_contig(nd(items, shape=[6]), b"\0\1\2\3\4\5")
    assert not dv.cmp_contig(nd(items, shape=[6]), b"\0\1\2\3\4\6")
    assert not dv.cmp_contig(nd(items, shape=[6], format="b"), b"\0\1\2\3\4\5")
    assert not dv.cmp_contig(nd(items, shape=[2, 3]), nd(items, shape=[3, 2]))
    assert not dv.cmp_contig(nd(items, shape=[6])[::-1], nd(items[::-1], shape=[6]))
    with pytest.raises(TypeError, match="^cmp_contig: first argument does not implement the buffer protocol$"):
        dv.cmp_contig(1, b"")
    a = nd([1], shape=[1])
    with pytest.raises(TypeError, match="^cmp_contig: second argument does not implement the buffer protocol$"):
        dv.cmp_contig(a, 1)
    a.push([2], shape=[1])  # the first buffer was given back


class TestStaticArray:
    def test_default(self, dv):
        s = dv.staticarray()
        m = memoryview(s)
        assert (m.obj is s, m.readonly, m.tobytes(), m.format, m.shape, m.strides) == \
            (True, True, bytes(range(12)), "B", (12,), (1,))

    @pytest.mark.parametrize("mode", [True, 0, None, "x"])
    def test_legacy_mode(self, dv, mode):
        s = dv.staticarray(legacy_mode=mode)
        c = dv.ndarray(s)
        assert (c.obj, c.tolist()) == (None, list(range(12)))
        assert memoryview(s).tobytes() == bytes(range(12))

    def test_any_request_gets_the_same_read_only_buffer(self, dv):
        s = dv.staticarray(False)
        for request in (dv.PyBUF_SIMPLE, dv.PyBUF_WRITABLE, dv.PyBUF_FULL, dv.PyBUF_F_CONTIGUOUS):
            c = dv.ndarray(s, getbuf=request)
            assert (c.readonly, c.format, c.shape, c.obj is s) == (1, "B", (12,), True)

    def test_uninitialised_is_not_legacy(self, dv):
        s = dv.staticarray.__new__(dv.staticarray)
        assert memoryview(s).obj is s

    def test_surface(self, dv):
        assert [n for n in dir(dv.staticarray()) if not n.startswith("__")] == []
        with pytest.raises(TypeError):
            dv.staticarray(1, 2)
