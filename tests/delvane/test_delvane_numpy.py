# _delvane against numpy, a real exporter and consumer of the same buffer
# protocol: what one side hands out, the other must read the same way.
import pytest

import delvane_model as model

np = pytest.importorskip("numpy")


@pytest.fixture(scope="module")
def dv(load):
    return load("_delvane")


def numpy_arrays():
    x = np.arange(24, dtype=np.int32).reshape(4, 6)
    cube = np.arange(60, dtype=np.float64).reshape(3, 4, 5) / 7
    return {
        "c": x,
        "transposed": x.T,
        "reversed": x[::-1, ::-2],
        "sliced": x[1:3, 2:5],
        "fortran": np.asfortranarray(x),
        "cube": cube,
        "cube_mixed": cube.transpose(2, 0, 1)[::-1, :, 1::2],
        "big_endian": np.arange(6, dtype=">i2").reshape(2, 3),
        "bool": np.array([[True, False], [False, True]]),
        "empty": np.zeros((2, 0, 3), dtype=np.int16),
        "column": x[:, 2:3],
        "scalar": np.array(2.5),
        "bytes": np.frombuffer(b"abcdefgh", dtype=np.uint8)[::3],
    }


ARRAYS = sorted(numpy_arrays())


@pytest.fixture(scope="module")
def arrays():
    return numpy_arrays()


@pytest.mark.parametrize("name", ARRAYS)
def test_numpy_exporters_read_the_same(dv, arrays, name):
    x = arrays[name]
    a = dv.ndarray(x)
    assert (a.shape, a.itemsize, a.nbytes, a.ndim) == (x.shape, x.itemsize, x.nbytes, x.ndim)
    # numpy exports the strides of an empty array in C order.
    assert a.strides == (x.strides if x.size else memoryview(x).strides)
    assert a.tolist() == x.tolist()
    assert a.tobytes() == x.tobytes()
    assert a.obj is x
    # Slicing and indexing our consumer agrees with numpy on the same data.
    if x.ndim >= 2:
        assert a[::-1, 1:].tolist() == x[::-1, 1:].tolist()
        assert a[x.shape[0] - 1].tolist() == x[x.shape[0] - 1].tolist()


@pytest.mark.parametrize("name", ARRAYS)
def test_buffer_functions_agree_with_numpy(dv, arrays, name):
    x = arrays[name]
    for order in "CF":
        assert dv.py_buffer_to_contiguous(x, order, dv.PyBUF_FULL_RO) == x.tobytes(order=order)
        assert dv.get_contiguous(x, dv.PyBUF_READ, order).tobytes() == x.tobytes()
    assert dv.is_contiguous(x, "C") == x.flags.c_contiguous
    assert dv.is_contiguous(x, "F") == x.flags.f_contiguous
    assert dv.is_contiguous(x, "A") == (x.flags.c_contiguous or x.flags.f_contiguous)
    assert dv.cmp_contig(x, dv.ndarray(x)) == (x.flags.c_contiguous or x.flags.f_contiguous)
    for index in np.ndindex(*x.shape):
        assert dv.get_pointer(x, list(index)) == x[index].item()


def test_cmp_contig_orders(dv):
    x = np.arange(4, dtype=np.uint8).reshape(2, 2)
    assert dv.cmp_contig(x, x.copy()) and not dv.cmp_contig(x, np.asfortranarray(x))
    y = np.arange(5, dtype=np.uint8).reshape(1, 5)
    assert dv.cmp_contig(y, np.asfortranarray(y))


LAYOUTS = [
    dict(shape=[2, 3]),
    dict(shape=[2, 3], flags=4),
    dict(shape=[2, 3], strides=[-3, 1], offset=3),
    dict(shape=[3, 2], strides=[1, 3]),
    dict(shape=[3], strides=[-2], offset=4),
    dict(shape=[0, 3]),
    dict(shape=[]),
]


@pytest.mark.parametrize("kwargs", LAYOUTS)
@pytest.mark.parametrize("fmt", ["b", "h", "d"])
def test_numpy_reads_our_layouts(dv, kwargs, fmt):
    items = [float(i) if fmt == "d" else i for i in range(6)] if kwargs["shape"] else 5
    size = {"b": 1, "h": 2, "d": 8}[fmt]
    kwargs = dict(kwargs)
    kwargs["offset"] = kwargs.get("offset", 0) * size
    if "strides" in kwargs:
        kwargs["strides"] = [s * size for s in kwargs["strides"]]
    a = dv.ndarray(items, format=fmt, **kwargs)
    x = np.asarray(a)
    assert (x.shape, x.strides, x.tolist()) == (a.shape, a.strides, a.tolist())
    assert memoryview(a).tolist() == a.tolist()
    assert x.tobytes() == a.tobytes()


@pytest.mark.parametrize("seed", range(20))
def test_numpy_reads_random_layouts(dv, seed):
    (shape, strides, offset, count), = model.layouts(seed, 1, itemsize=4)
    items = list(range(count))
    a = dv.ndarray(items, shape=shape, strides=strides, offset=offset, format="i")
    x = np.asarray(a)
    assert x.tolist() == a.tolist() == model.nested(items, shape, strides, offset, 4)
    assert x.tobytes() == a.tobytes()


def test_numpy_writes_through_a_writable_export(dv):
    a = dv.ndarray(list(range(6)), shape=[2, 3], format="i", flags=dv.ND_WRITABLE)
    x = np.asarray(a)
    x[1, :] = -1
    assert a.tolist() == [[0, 1, 2], [-1, -1, -1]]
    # Assignment from a numpy exporter goes through our copy.
    a[0] = np.array([7, 8, 9], dtype=np.int32)
    a[:, ::2] = np.array([[10, 11], [12, 13]], dtype=np.int32)
    assert x.tolist() == [[10, 8, 11], [12, -1, 13]]


def test_numpy_integers_index(dv):
    a = dv.ndarray(list(range(6)), shape=[2, 3], flags=dv.ND_WRITABLE)
    assert a[np.intp(1)].tolist() == [3, 4, 5] and a[1][np.int8(-1)] == 5
    a[1][np.int64(0)] = 9
    assert a.tolist() == [[0, 1, 2], [9, 4, 5]]


def test_numpy_flat_export(dv):
    # numpy answers a simple request with no shape: a shape-less consumer of
    # 4-byte items reads only inside its 16 bytes.
    c = dv.ndarray(np.arange(4, dtype=np.int32), getbuf=dv.PyBUF_SIMPLE)
    assert c.shape == () and c.nbytes == 16
    assert c.tobytes() == np.arange(4, dtype=np.int32).tobytes()
