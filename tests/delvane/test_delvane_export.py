# _delvane: handing buffers out. Every refusal in its order over a matrix of
# arrays and every request, the description handed out, the test switches, the
# attributes, add_suboffsets and memoryview_from_buffer.
import gc

import pytest

import delvane_model as model
from harness import memory_growth, run_child


@pytest.fixture(scope="module")
def dv(load):
    return load("_delvane")


def exporters(dv):
    """Arrays of every kind, by name."""
    nd = dv.ndarray
    six = list(range(6))
    c = nd(six, shape=[2, 3])
    arrays = {
        "c": c,
        "c_writable": nd(six, shape=[2, 3], flags=dv.ND_WRITABLE),
        "fortran": nd(six, shape=[2, 3], flags=dv.ND_FORTRAN),
        "one_dim": nd([1, 2, 3], shape=[3], format="h"),
        "negative_strides": nd(list(range(12)), shape=[2, 3], strides=[-6, -2], offset=11 - 1),
        "strided_offset": nd(list(range(12)), shape=[3, 2], strides=[4, 1], offset=2),
        "column": nd(six, shape=[3, 1], strides=[2, 1]),
        "scalar": nd(7, shape=[], format="i"),
        "empty": nd([1], shape=[0, 3]),
        "indirect": nd(six, shape=[2, 3], flags=dv.ND_PIL),
        "indirect_reversed": nd(six, shape=[2, 3], strides=[-3, 1], offset=3, flags=dv.ND_PIL),
        "fail": nd(six, shape=[2, 3], flags=dv.ND_GETBUF_FAIL),
        "bytearray_consumer": nd(bytearray(b"abcdef")),
        "consumer_nd": nd(c, getbuf=dv.PyBUF_ND),
        "consumer_simple": nd(c, getbuf=dv.PyBUF_SIMPLE),
        "consumer_strides": nd(c, getbuf=dv.PyBUF_STRIDES),
        "consumer_full": nd(nd(six, shape=[2, 3], strides=[-3, 1], offset=3), getbuf=dv.PyBUF_FULL_RO),
        "consumer_indirect": nd(nd(six, shape=[2, 3], flags=dv.ND_PIL), getbuf=dv.PyBUF_INDIRECT),
        "slice_view": c[::-1, ::2],
        "item_view": nd(list(range(24)), shape=[2, 3, 4])[1],
    }
    with_suboffsets = nd(six, shape=[2, 3])
    with_suboffsets.add_suboffsets()
    arrays["added_suboffsets"] = with_suboffsets
    return arrays


EXPORTERS = ["c", "c_writable", "fortran", "one_dim", "negative_strides", "strided_offset", "column", "scalar",
             "empty", "indirect", "indirect_reversed", "fail", "bytearray_consumer", "consumer_nd",
             "consumer_simple", "consumer_strides", "consumer_full", "consumer_indirect", "slice_view",
             "item_view", "added_suboffsets"]


@pytest.fixture(scope="module")
def arrays(dv):
    return exporters(dv)


def test_matrix_covers_every_exporter(arrays):
    assert sorted(arrays) == sorted(EXPORTERS)


@pytest.mark.parametrize("name", EXPORTERS)
def test_every_request_meets_the_first_refusal_or_succeeds(dv, arrays, name):
    a = arrays[name]
    seen = set()
    # Every combination of request bits; 0x100 alone is PyBUF_READ, which
    # the interpreter (3.13 on) refuses before asking the exporter.
    for request in (r for r in range(0x200) if r != dv.PyBUF_READ):
        expected = model.refusal(a, request)
        try:
            got = dv.ndarray(a, getbuf=request)
        except BufferError as exc:
            assert str(exc) == expected, hex(request)
            seen.add(str(exc))
            continue
        assert expected is None, hex(request)
        description = {k: getattr(got, k) for k in model.granted(a, request)}
        assert description == model.granted(a, request), hex(request)
        assert got.obj is a
    # No layout here is described by flags that disagree with it.
    assert "ndarray: contiguity mismatch in getbuf()" not in seen


@pytest.mark.parametrize("name", EXPORTERS)
def test_interpreter_consumers_agree(dv, arrays, name):
    a = arrays[name]
    expected = model.refusal(a, dv.PyBUF_FULL_RO)
    if expected is not None:
        with pytest.raises(BufferError, match="^" + expected + "$"):
            memoryview(a)
        return
    m = memoryview(a)
    assert (m.shape, m.strides, m.suboffsets, m.nbytes, m.readonly) == \
        (a.shape, a.strides, a.suboffsets, a.nbytes, bool(a.readonly))
    if a.format:
        assert m.tolist() == a.tolist()
    assert m.tobytes() == a.tobytes()
    m.release()


def test_named_requests(dv):
    nd = dv.ndarray
    a = nd(list(range(6)), shape=[2, 3])
    flat = nd(a, getbuf=dv.PyBUF_SIMPLE)
    assert (flat.ndim, flat.shape, flat.strides, flat.format, flat.nbytes) == (1, (), (), "", 6)
    assert bytes(a) == bytes(range(6))
    with pytest.raises(BufferError, match="^ndarray is not writable$"):
        nd(a, getbuf=dv.PyBUF_WRITABLE)
    with pytest.raises(BufferError, match="^ndarray: cannot cast to unsigned bytes if the format flag is present$"):
        nd(a, getbuf=dv.PyBUF_SIMPLE | dv.PyBUF_FORMAT)
    f = nd(list(range(6)), shape=[2, 3], flags=dv.ND_FORTRAN)
    assert nd(f, getbuf=dv.PyBUF_F_CONTIGUOUS).strides == (1, 2)
    for request in (dv.PyBUF_C_CONTIGUOUS, dv.PyBUF_ND):
        with pytest.raises(BufferError, match="^ndarray is not C-contiguous$"):
            nd(f, getbuf=request)
    # A consumer without strides cannot hand strides on.
    with pytest.raises(BufferError, match="^re-exporter does not provide format, shape or strides$"):
        nd(nd(a, getbuf=dv.PyBUF_ND), getbuf=dv.PyBUF_STRIDES)


def test_forced_flags_are_caught_by_the_consistency_check(dv):
    # ND_SCALAR claims contiguity the strided layout does not have.
    a = dv.ndarray(list(range(4)), shape=[2], strides=[2], flags=dv.ND_SCALAR)
    with pytest.raises(BufferError, match=r"^ndarray: contiguity mismatch in getbuf\(\)$"):
        memoryview(a)
    with pytest.raises(RuntimeError, match=r"^results from PyBuffer_IsContiguous\(\) and flags differ$"):
        a.c_contiguous
    # Reading it whole must not trust the flag: only the two items are copied.
    assert a.tobytes() == bytes([0, 2])


def test_getbuf_fail(dv):
    a = dv.ndarray([1, 2, 3], shape=[3], flags=dv.ND_GETBUF_FAIL)
    for request in (dv.PyBUF_SIMPLE, dv.PyBUF_FULL_RO, dv.PyBUF_INDIRECT):
        with pytest.raises(BufferError, match="^ND_GETBUF_FAIL: forced test exception$"):
            dv.ndarray(a, getbuf=request)
    assert a.tolist() == [1, 2, 3]


def test_getbuf_undefined_leaves_no_trace():
    # The failed request leaves the marker 1 in the view's obj; neither the
    # interpreter's consumers nor ours may release it.
    out = run_child("""
        f = _delvane.ND_GETBUF_FAIL | _delvane.ND_GETBUF_UNDEFINED
        a = _delvane.ndarray([1, 2, 3], shape=[3], flags=f)
        for make in (memoryview, bytes, _delvane.ndarray, lambda x: _delvane.is_contiguous(x, "C"),
                     lambda x: _delvane.cmp_contig(x, x), lambda x: _delvane.get_pointer(x, [0])):
            try:
                make(a)
            except (BufferError, TypeError) as exc:
                print(type(exc).__name__, exc)
        c = _delvane.ndarray.__new__(_delvane.ndarray)
        try:
            c.__init__(a)
        except BufferError:
            pass
        del c
        print("alive")
    """, "_delvane")
    lines = out.stdout.splitlines()
    assert lines[:3] == ["BufferError ND_GETBUF_FAIL: forced test exception"] * 3
    assert lines[-1] == "alive"


def test_redirect(dv):
    base = dv.ndarray(list(range(6)), shape=[2, 3])
    r = dv.ndarray(base, getbuf=dv.PyBUF_SIMPLE, flags=dv.ND_REDIRECT)
    assert r.shape == () and r.flags & dv.ND_REDIRECT
    # Requests go to the consumed array, which answers them in full.
    m = memoryview(r)
    assert (m.obj is base, m.shape, m.tolist()) == (True, (2, 3), [[0, 1, 2], [3, 4, 5]])
    with pytest.raises(BufferError, match="^ndarray is not writable$"):
        dv.ndarray(r, getbuf=dv.PyBUF_WRITABLE)


def test_attributes(dv):
    a = dv.ndarray(list(range(6)), shape=[2, 3], format="b", flags=dv.ND_WRITABLE)
    assert (a.flags, a.offset, a.obj, a.nbytes, a.readonly, a.itemsize, a.format, a.ndim) == \
        (dv.ND_WRITABLE | 0x100, 0, None, 6, 0, 1, "b", 2)
    assert type(a.readonly) is int and type(a.c_contiguous) is bool
    assert (a.c_contiguous, a.f_contiguous, a.contiguous) == (True, False, True)
    f = dv.ndarray(list(range(6)), shape=[2, 3], flags=dv.ND_FORTRAN)
    assert (f.c_contiguous, f.f_contiguous, f.contiguous) == (False, True, True)
    s = a[::2, ::2]
    assert (s.c_contiguous, s.f_contiguous, s.contiguous, s.obj is a) == (False, False, False, True)
    assert s.offset == -1 and s.flags & 0x200  # consumers own the copies they slice
    c = dv.ndarray(a, getbuf=dv.PyBUF_ND)
    assert (c.format, c.strides, c.shape) == ("", (), (2, 3))
    for name in ("flags", "offset", "obj", "nbytes", "readonly", "itemsize", "format", "ndim", "shape",
                 "strides", "suboffsets", "c_contiguous", "f_contiguous", "contiguous"):
        with pytest.raises(AttributeError):
            setattr(a, name, 1)


def test_add_suboffsets(dv):
    a = dv.ndarray(list(range(6)), shape=[2, 3])
    a.add_suboffsets()
    assert (a.suboffsets, a.flags & 0x110, a.contiguous) == ((-1, -1), 0, False)
    # Without ND_PIL the suboffsets go out even to requests that do not ask.
    m = memoryview(a)
    assert (m.suboffsets, m.tolist()) == ((-1, -1), [[0, 1, 2], [3, 4, 5]])
    with pytest.raises(TypeError, match="^cannot add suboffsets to PIL-style array$"):
        a.add_suboffsets()
    with pytest.raises(TypeError, match="^cannot add suboffsets to array without strides$"):
        dv.ndarray(dv.ndarray(list(range(6)), shape=[6]), getbuf=dv.PyBUF_ND).add_suboffsets()
    # Consumers, sliced or not, keep and free what they were given.
    for c in (dv.ndarray(dv.ndarray([1, 2, 3], shape=[3])), dv.ndarray([1, 2, 3], shape=[3])[::2]):
        c.add_suboffsets()
        assert c.suboffsets == (-1,)


class TestMemoryviewFromBuffer:
    def test_copies(self, dv):
        a = dv.ndarray(list(range(12)), shape=[3, 4], format="h", flags=dv.ND_WRITABLE)
        m = a.memoryview_from_buffer()
        # The copy's owner, which frees it with the last view of it.
        assert (type(m.obj).__name__, m.tolist(), m.format, m.readonly) == ("view_copy", a.tolist(), "h", False)
        m[0, 0] = 99  # a copy: the array is unchanged
        assert a.tolist()[0][0] == 0
        v = a[::-1, 1::2]
        assert v.memoryview_from_buffer().tolist() == v.tolist()
        assert a[2].memoryview_from_buffer().tolist() == [8, 9, 10, 11]

    def test_indirect_table_points_into_the_copy(self):
        run_child("""
            import gc
            nd = _delvane.ndarray
            for strides, offset in (([3, 1], 0), ([-3, 1], 3), ([-3, -1], 5)):
                a = nd(list(range(6)), shape=[2, 3], strides=strides, offset=offset, flags=_delvane.ND_PIL)
                expected = a.tolist()
                m = a.memoryview_from_buffer()
                del a
                gc.collect()
                filler = [bytes([0xEE]) * 64 for _ in range(100)]
                assert m.tolist() == expected, (m.tolist(), expected)
        """, "_delvane")

    def test_consumer_of_an_older_base(self, dv):
        a = dv.ndarray([1, 2, 3], shape=[3], flags=dv.ND_VAREXPORT)
        c = dv.ndarray(a)
        a.push([9, 9, 9, 9, 9, 9, 9, 9], shape=[8])
        assert c.memoryview_from_buffer().tolist() == [1, 2, 3]

    def test_refusals(self, dv):
        nd = dv.ndarray
        message = ("memoryview_from_buffer(): ndarray must be original exporter or consumer from "
                   "ndarray/original exporter")
        for bad in (nd(b"abc"), nd(nd(nd([1], shape=[1])))):
            with pytest.raises(TypeError) as info:
                bad.memoryview_from_buffer()
            assert str(info.value) == message
        long_format = nd([tuple(range(129))], shape=[1], format="B" * 129)
        with pytest.raises(TypeError, match="^memoryview_from_buffer: format is limited to 128 characters$"):
            long_format.memoryview_from_buffer()

    @pytest.mark.parametrize("name", EXPORTERS)
    def test_layout_and_contents_as_the_array_shows_them(self, dv, arrays, name):
        a = arrays[name]
        if name == "bytearray_consumer":
            return  # refused: see test_refusals
        m = a.memoryview_from_buffer()
        expected = a.tobytes()
        try:
            own = memoryview(a)
        except BufferError:
            own = None  # an array that refuses every request
        layout = described(own) if own is not None else None
        # Copies made later, freed at once, reuse the memory of each other and
        # of nothing an earlier copy still holds.
        for _ in range(20):
            a.memoryview_from_buffer()
            dv.ndarray(list(range(64)), shape=[8, 8], format="q").memoryview_from_buffer()
        gc.collect()
        assert m.tobytes() == expected
        if layout is not None:
            assert described(m) == layout
        again = memoryview(m.obj)
        assert described(again) == described(m)
        m.release()
        assert again.tobytes() == expected  # the owner outlives the first view

    @pytest.mark.parametrize("name,request_name,refusal", [
        ("c", "PyBUF_WRITABLE", "ndarray is not writable"),
        ("slice_view", "PyBUF_ND", "ndarray is not C-contiguous"),
        ("fortran", "PyBUF_C_CONTIGUOUS", "ndarray is not C-contiguous"),
        ("indirect", "PyBUF_STRIDES", "ndarray cannot be represented without suboffsets"),
        ("added_suboffsets", "PyBUF_STRIDES", "ndarray cannot be represented without suboffsets"),
        ("c", "PyBUF_SIMPLE", None),
        ("fortran", "PyBUF_F_CONTIGUOUS", None),
        ("c_writable", "PyBUF_WRITABLE", None),
    ])
    def test_the_owner_serves_requests_its_layout_allows(self, dv, arrays, name, request_name, refusal):
        m = arrays[name].memoryview_from_buffer()
        request = getattr(dv, request_name)
        if refusal is not None:
            with pytest.raises(BufferError, match="^" + refusal + "$"):
                dv.ndarray(m.obj, getbuf=request)
            return
        consumer = dv.ndarray(m.obj, getbuf=request)
        assert (consumer.obj, consumer.tobytes()) == (m.obj, m.tobytes())
        if request_name == "PyBUF_WRITABLE":
            consumer[0] = 99
            assert m.tolist()[0][0] == 99

    def test_copies_go_with_their_last_view(self, dv):
        big = dv.ndarray(list(range(1 << 17)), shape=[1 << 17], format="Q")  # 1 MiB
        growth = memory_growth(big.memoryview_from_buffer, rounds=200)
        assert growth < 1 << 20, growth
        # A slice of the memoryview keeps the block alive on its own.
        part = big.memoryview_from_buffer()[1::2]
        gc.collect()
        assert (part[0], part[-1]) == (1, (1 << 17) - 1)


def described(m):
    return (m.format, m.itemsize, m.ndim, m.shape, m.strides, m.suboffsets, m.readonly, m.nbytes,
            m.c_contiguous, m.f_contiguous, m.tobytes(), m.tolist() if m.ndim else m[()])
