# _delvane: indexing, slicing and assignment, and reading whole contents
# (tolist, tobytes, hash), against nested-list models of the same layouts.
import random
import struct
import sys

import pytest

import delvane_model as model


@pytest.fixture(scope="module")
def dv(load):
    return load("_delvane")


@pytest.fixture
def a23(dv):
    return dv.ndarray(list(range(6)), shape=[2, 3])


def test_items_and_rows(dv, a23):
    assert a23[1].tolist() == [3, 4, 5] and a23[-1].tolist() == [3, 4, 5]
    assert (a23[0][2], a23[1][-3]) == (2, 3)
    row = a23[1]
    assert (row.ndim, row.shape, row.strides, row.obj is a23, row.offset) == (1, (3,), (1,), True, -1)
    for index in (2, -3, sys.maxsize // 2 + 1):  # 2**62 on x86_64, 2**30 on i386
        with pytest.raises(IndexError, match="^index out of bounds$"):
            a23[index]
    with pytest.raises(OverflowError):
        a23[2**64]
    # Iteration goes through the sequence item slot until the index is out.
    assert [r.tolist() for r in a23] == [[0, 1, 2], [3, 4, 5]]
    assert list(dv.ndarray([1, 2], shape=[2], format="h")) == [1, 2]


def test_index_objects(dv, a23):
    class Index:
        def __index__(self):
            return 1

    assert a23[Index()].tolist() == [3, 4, 5]
    assert a23[True].tolist() == [3, 4, 5]


def test_slices(dv, a23):
    v = a23[::-1, 0:3:2]
    assert (v.shape, v.strides, v.tolist()) == ((2, 2), (-3, 2), [[3, 5], [0, 2]])
    assert a23[()].tolist() == a23.tolist()
    assert a23[1:].tolist() == [[3, 4, 5]]
    assert a23[5:].shape == (0, 3)


@pytest.mark.parametrize("key,exc,message", [
    ([slice(None)], TypeError, 'cannot index memory using "list"'),
    ((slice(None), 1), TypeError, 'cannot index memory using "int"'),
    ("x", TypeError, 'cannot index memory using "str"'),
    (..., TypeError, 'cannot index memory using "ellipsis"'),
    ((slice(None),) * 3, TypeError, "cannot index 2-dimension view with 3-element tuple"),
    (slice(0, 1, 0), ValueError, "slice step cannot be zero"),
])
def test_key_errors(a23, key, exc, message):
    with pytest.raises(exc) as info:
        a23[key]
    assert str(info.value) == message


def test_indirect_slicing_moves_suboffsets(dv):
    p = dv.ndarray(list(range(6)), shape=[2, 3], flags=dv.ND_PIL)
    v = p[:, 1:]
    assert (v.suboffsets, v.tolist()) == ((1, -1), [[1, 2], [4, 5]])
    m = memoryview(p)
    assert memoryview(v).tolist() == [[1, 2], [4, 5]]
    assert p[1:].suboffsets == (0, -1) and p[1:].tolist() == [[3, 4, 5]]
    assert p[1].tolist() == [3, 4, 5] and p[1][2] == 5
    m.release()


@pytest.mark.parametrize("seed", range(30))
def test_random_slices_match_the_model(dv, seed):
    rnd = random.Random(seed)
    (shape, strides, offset, count), = model.layouts(seed, 1)
    items = [rnd.randrange(256) for _ in range(count)]
    lists = model.nested(items, shape, strides, offset, 1)

    def any_slice(n):
        pick = lambda: rnd.choice([None, rnd.randint(-n - 2, n + 2)])  # noqa: E731
        return slice(pick(), pick(), rnd.choice([None, 1, 2, -1, -3]))

    for flags in (0, dv.ND_PIL):
        a = dv.ndarray(items, shape=shape, strides=strides, offset=offset, flags=flags)
        for _ in range(5):
            slices = tuple(any_slice(n) for n in shape[:rnd.randint(1, len(shape))])
            expected = model.sliced(lists, slices)
            v = a[slices]
            assert v.tolist() == expected
            # Views of views, and the same view seen by the interpreter.
            assert v[::-1].tolist() == expected[::-1]
            assert memoryview(v).tolist() == expected
            assert v.tobytes() == bytes(model.flatten(expected, len(shape)))


def test_scalar_indexing(dv):
    s = dv.ndarray(7, shape=[], flags=dv.ND_WRITABLE)
    assert s[()] == 7 and s[...] is s
    for key in (0, slice(None), (0,)):
        with pytest.raises(TypeError, match="^invalid indexing of scalar$"):
            s[key]
    with pytest.raises(TypeError, match="^invalid indexing of scalar$"):
        s[0] = 1
    with pytest.raises(TypeError, match="^invalid indexing of scalar$"):
        iter(s).__next__()
    s[()] = 8
    assert s.tolist() == 8
    s[...] = 9
    assert s[()] == 9
    with pytest.raises(TypeError, match="^ndarray data cannot be deleted$"):
        del s[()]


class TestAssignment:
    def test_items(self, dv):
        a = dv.ndarray([1, 2, 3], shape=[3], format="h", flags=dv.ND_WRITABLE)
        a[0] = -5
        a[-1] = 7
        assert a.tolist() == [-5, 2, 7]
        with pytest.raises(IndexError, match="^index out of bounds$"):
            a[3] = 0
        with pytest.raises(struct.error):
            a[0] = 2**20
        with pytest.raises(ValueError, match="^mismatch between initializer element and format string$"):
            a[0] = "x"
        assert a.tolist() == [-5, 2, 7]

    def test_read_only_and_deletion(self, dv):
        r = dv.ndarray([1, 2, 3], shape=[3])
        with pytest.raises(TypeError, match="^ndarray is not writable$"):
            r[0] = 1
        with pytest.raises(TypeError, match="^ndarray is not writable$"):
            del r[0]
        w = dv.ndarray([1, 2, 3], shape=[3], flags=dv.ND_WRITABLE)
        with pytest.raises(TypeError, match="^ndarray data cannot be deleted$"):
            del w[0]

    def test_sub_arrays(self, dv):
        nd = dv.ndarray
        a = nd(list(range(6)), shape=[2, 3], flags=dv.ND_WRITABLE)
        a[1] = nd([7, 8, 9], shape=[3])
        a[:, 0:1] = nd([50, 60], shape=[2, 1])
        assert a.tolist() == [[50, 1, 2], [60, 8, 9]]
        a[0] = bytearray(b"\x01\x02\x03")
        assert a.tolist()[0] == [1, 2, 3]
        with pytest.raises(ValueError) as info:
            a[0] = nd([1, 2], shape=[2])
        assert str(info.value) == "ndarray assignment: lvalue and rvalue have different structures"
        with pytest.raises(ValueError, match="different structures"):
            a[0] = nd([1, 2, 3], shape=[3], format="b")
        assert a.tolist() == [[1, 2, 3], [60, 8, 9]]

    @pytest.mark.parametrize("flags", [0, 16])
    def test_overlapping_copies(self, dv, flags):
        # A view of the array itself as the value: the copy reads as if from
        # a snapshot, whatever the direction of the overlap.
        a = dv.ndarray(list(range(8)), shape=[8], flags=dv.ND_WRITABLE | flags)
        a[slice(None)] = a[::-1]
        assert a.tolist() == [7, 6, 5, 4, 3, 2, 1, 0]
        a[1:] = a[:-1]
        assert a.tolist() == [7, 7, 6, 5, 4, 3, 2, 1]
        a[:-1] = a[1:]
        assert a.tolist() == [7, 6, 5, 4, 3, 2, 1, 1]
        b = dv.ndarray(list(range(12)), shape=[3, 4], flags=dv.ND_WRITABLE | flags)
        b[:, ::-1] = b[:, :]
        assert b.tolist() == [[3, 2, 1, 0], [7, 6, 5, 4], [11, 10, 9, 8]]

    def test_empty_structures_copy_nothing(self, dv):
        a = dv.ndarray([1], shape=[0, 5], flags=dv.ND_WRITABLE)
        a[:] = dv.ndarray([1], shape=[0, 7])
        assert a.tolist() == []

    def test_value_buffer_released_on_failure(self, dv):
        a = dv.ndarray(list(range(6)), shape=[2, 3], flags=dv.ND_WRITABLE)
        value = bytearray(b"abc")
        for key in ([0], 5, (slice(None),) * 3, slice(0, 1)):
            with pytest.raises((TypeError, IndexError, ValueError)):
                a[key] = value
        value.append(1)  # fails with BufferError while an export is held
        assert len(value) == 4


def test_tolist(dv):
    nd = dv.ndarray
    assert nd(list(range(6)), shape=[3, 2], strides=[1, 3]).tolist() == [[0, 3], [1, 4], [2, 5]]
    c = nd(nd(list(range(6)), shape=[2, 3]), getbuf=dv.PyBUF_ND | dv.PyBUF_FORMAT)
    assert (c.strides, c.tolist()) == ((), [[0, 1, 2], [3, 4, 5]])
    with pytest.raises(ValueError) as info:
        nd(nd([1, 2], shape=[2]), getbuf=dv.PyBUF_ND).tolist()
    assert str(info.value) == "ndarray: tolist() does not support format=NULL, use tobytes()"
    assert nd([1], shape=[0, 3]).tolist() == []
    assert nd([1], shape=[3, 0]).tolist() == [[], [], []]


def test_tobytes_and_hash(dv):
    nd = dv.ndarray
    t = nd(list(range(6)), shape=[3, 2], strides=[1, 3])
    assert t.tobytes() == bytes([0, 3, 1, 4, 2, 5])
    assert hash(t) == hash(t.tobytes())
    with pytest.raises(ValueError, match="^cannot hash writable ndarray object$"):
        hash(nd([1], shape=[1], flags=dv.ND_WRITABLE))
    # A consumer hashes the object it consumes first.
    with pytest.raises(ValueError, match="^cannot hash writable ndarray object$"):
        hash(nd(bytearray(b"ab")))
    with pytest.raises(TypeError, match="unhashable type: 'bytearray'"):
        hash(nd(memoryview(bytearray(b"ab")).toreadonly()))
    b = nd(b"xyz")
    assert hash(b) == hash(b"xyz") and b.tobytes() == b"xyz"


def test_flat_views_with_wide_items(dv):
    # A consumer asked without shape sees a flat run of 4-byte items: items
    # are counted in items, so access stays inside the 16 bytes.
    a = dv.ndarray([0x01020304, 5, 6, 7], shape=[4], format="<i")
    flat = dv.ndarray(a, getbuf=dv.PyBUF_SIMPLE)
    assert (flat.itemsize, flat.nbytes, flat.shape) == (4, 16, ())
    assert [flat[i] for i in range(4)] == [4, 5, 6, 7]  # the first byte of each, as "B"
    assert flat[-1] == 7
    with pytest.raises(IndexError):
        flat[4]
    assert flat.tobytes() == a.tobytes()
    w = dv.ndarray(dv.ndarray([1, 2], shape=[2], format="<h", flags=dv.ND_WRITABLE),
                   getbuf=dv.PyBUF_SIMPLE | dv.PyBUF_WRITABLE)
    w[1] = 9
    with pytest.raises(IndexError):
        w[2] = 9
    assert w.tobytes() == b"\x01\x00\x09\x00"
