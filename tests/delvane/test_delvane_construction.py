# _delvane: the module surface, building arrays from items, every
# construction error with its message, the indirect form, and the base stack.
import shutil
import struct
import subprocess

import pytest

import delvane_model as model
from harness import run_child


@pytest.fixture(scope="module")
def dv(load):
    return load("_delvane")


CONSTANTS = {
    "ND_MAX_NDIM": 128, "ND_VAREXPORT": 1, "ND_WRITABLE": 2, "ND_FORTRAN": 4, "ND_SCALAR": 8,
    "ND_PIL": 16, "ND_GETBUF_FAIL": 64, "ND_GETBUF_UNDEFINED": 128, "ND_REDIRECT": 32,
    "PyBUF_SIMPLE": 0, "PyBUF_WRITABLE": 1, "PyBUF_FORMAT": 4, "PyBUF_ND": 8, "PyBUF_STRIDES": 24,
    "PyBUF_INDIRECT": 280, "PyBUF_C_CONTIGUOUS": 56, "PyBUF_F_CONTIGUOUS": 88,
    "PyBUF_ANY_CONTIGUOUS": 152, "PyBUF_FULL": 285, "PyBUF_FULL_RO": 284, "PyBUF_RECORDS": 29,
    "PyBUF_RECORDS_RO": 28, "PyBUF_STRIDED": 25, "PyBUF_STRIDED_RO": 24, "PyBUF_CONTIG": 9,
    "PyBUF_CONTIG_RO": 8, "PyBUF_READ": 256, "PyBUF_WRITE": 512,
}
PTR = struct.calcsize("P")
FUNCTIONS = ["cmp_contig", "get_contiguous", "get_pointer", "get_sizeof_void_p", "is_contiguous",
             "py_buffer_to_contiguous", "slice_indices"]


def test_module_surface(dv):
    assert dv.__doc__ is None
    public = sorted(n for n in vars(dv) if not n.startswith("__"))
    assert public == sorted([*CONSTANTS, *FUNCTIONS, "ndarray", "staticarray"])
    assert {n: getattr(dv, n) for n in CONSTANTS} == CONSTANTS
    for name in FUNCTIONS:
        assert getattr(dv, name).__doc__ is None
    assert dv.ndarray.__name__ == "ndarray" and dv.staticarray.__name__ == "staticarray"
    for method in ("tolist", "tobytes", "push", "pop", "add_suboffsets", "memoryview_from_buffer"):
        assert getattr(dv.ndarray, method).__doc__ is None
    # 8 on x86_64, 4 on i386.
    assert dv.get_sizeof_void_p() == PTR


def test_types_are_not_subclassable(dv):
    for t in (dv.ndarray, dv.staticarray):
        with pytest.raises(TypeError):
            type("Sub", (t,), {})


def test_exported_data_symbols(dv):
    ctypes = pytest.importorskip("ctypes")
    lib = ctypes.CDLL(dv.__file__)
    values = {name: ctypes.py_object.in_dll(lib, name).value
              for name in ("structmodule", "Struct", "calcsize", "simple_format")}
    assert values["structmodule"] is struct
    assert values["Struct"] is struct.Struct
    assert values["calcsize"] is struct.calcsize
    assert values["simple_format"] == "B"


def attrs(a):
    return (a.shape, a.strides, a.suboffsets, a.offset, a.nbytes, a.itemsize, a.format, a.ndim, a.readonly)


@pytest.mark.parametrize("kwargs,expected", [
    # (shape, strides, suboffsets, offset, nbytes, itemsize, format, ndim, readonly)
    (dict(shape=[2, 3]), ((2, 3), (3, 1), (), 0, 6, 1, "B", 2, 1)),
    (dict(shape=[2, 3], flags=4), ((2, 3), (1, 2), (), 0, 6, 1, "B", 2, 1)),
    (dict(shape=[2, 3], strides=[], flags=4), ((2, 3), (1, 2), (), 0, 6, 1, "B", 2, 1)),
    (dict(shape=[2, 3], strides=[-3, 1], offset=3), ((2, 3), (-3, 1), (), 3, 6, 1, "B", 2, 1)),
    (dict(shape=[3], format="h", flags=2), ((3,), (2,), (), 0, 6, 2, "h", 1, 0)),
    (dict(shape=[1], offset=5), ((1,), (1,), (), 5, 1, 1, "B", 1, 1)),
    (dict(shape=[0, 4], strides=[1000, -7000]), ((0, 4), (1000, -7000), (), 0, 0, 1, "B", 2, 1)),
    # Indirect form: a table of two pointers in front of the data (8 bytes
    # each on x86_64, 4 on i386).
    (dict(shape=[2, 3], flags=16), ((2, 3), (PTR, 1), (0, -1), 0, 6, 1, "B", 2, 1)),
    (dict(shape=[2, 3], strides=[-3, -1], offset=5, flags=16), ((2, 3), (-PTR, -1), (2, -1), 0, 6, 1, "B", 2, 1)),
])
def test_construction_layouts(dv, kwargs, expected):
    items = list(range(6))
    assert attrs(dv.ndarray(items, **kwargs)) == expected


def test_construction_values(dv):
    nd = dv.ndarray
    assert nd(list(range(6)), shape=[2, 3]).tolist() == [[0, 1, 2], [3, 4, 5]]
    assert nd(list(range(6)), shape=[2, 3], flags=dv.ND_FORTRAN).tolist() == [[0, 2, 4], [1, 3, 5]]
    assert nd(list(range(6)), shape=[2, 3], strides=[-3, 1], offset=3).tolist() == [[3, 4, 5], [0, 1, 2]]
    assert nd([1, 2, 3], shape=[1], offset=2).tolist() == [3]
    assert nd((1.5, -2.25), shape=[2], format="d").tolist() == [1.5, -2.25]
    assert nd([[1, 2], (3, 4)], shape=[2], format="ii").tolist() == [(1, 2), (3, 4)]
    assert nd([(5,), 6], shape=[2], format="i").tolist() == [5, 6]
    assert nd([b"abcde", b"xy"], shape=[2], format="5s").tolist() == [b"abcde", b"xy\0\0\0"]
    assert nd([True, False], shape=[2], format="?").tolist() == [True, False]


def test_scalar(dv):
    s = dv.ndarray(7, shape=[])
    assert s.flags == dv.ND_SCALAR | 0x100 | dv.ND_FORTRAN
    assert (s.ndim, s.shape, s.strides, s.nbytes, s.tolist()) == (0, (), (), 1, 7)
    s = dv.ndarray((1, 2), shape=(), format="hh")
    assert (s.nbytes, s.tolist()) == (4, (1, 2))


def struct_error(fmt, value):
    try:
        struct.pack(fmt, value)
    except struct.error as exc:
        return str(exc)
    raise AssertionError("struct accepted the value")


CONSTRUCTION_ERRORS = [
    (([1], ), {}, TypeError, "shape is a required argument when constructing from list, tuple or scalar"),
    (([1], ), dict(shape=[1], getbuf=0), TypeError, "getbuf argument only valid for construction from exporter object"),
    (([1], ), dict(shape=5), TypeError, "shape must be a list or a tuple"),
    (([1], ), dict(shape=[1] * 129), ValueError, "ndim must not exceed 128"),
    (([1], ), dict(shape=[1], strides=1), TypeError, "strides must be a list or a tuple"),
    (([1], ), dict(shape=[1], strides=[1], flags=4), TypeError, "ND_FORTRAN cannot be used together with strides"),
    (([1], ), dict(shape=[1], strides=[1, 1]), ValueError, "len(shape) != len(strides)"),
    (([1], ), dict(shape=[1], format=""), ValueError, "itemsize must not be zero"),
    ((5, ), dict(shape=[1]), TypeError, "items must be a list or a tuple"),
    (([], ), dict(shape=[0]), ValueError, "initializer list or tuple must not be empty"),
    (([1, 2], ), dict(shape=[1], format="H", offset=1), ValueError, "offset must be a multiple of itemsize"),
    (([1, 2, 3], ), dict(shape=[1], offset=3), ValueError, "offset out of bounds"),
    (([1, 2, 3], ), dict(shape=[1], offset=-1), ValueError, "offset out of bounds"),
    (([1, 2], ), dict(shape=[1], format="H", offset=-1), ValueError, "offset must be a multiple of itemsize"),
    ((1, ), dict(shape=[], flags=16), TypeError, "ndim = 0 cannot be used in conjunction with ND_PIL"),
    (([1], ), dict(shape=[1.0]), ValueError, "elements of shape must be integers"),
    (([1], ), dict(shape=[-1]), ValueError, "elements of shape must be integers >= 0"),
    (([1], ), dict(shape=[1], strides=["1"]), ValueError, "elements of strides must be integers"),
    (([1, 2], ), dict(shape=[1], format="H", strides=[3]), ValueError, "strides must be a multiple of itemsize"),
    ((list(range(6)), ), dict(shape=[2, 3], strides=[-3, 1]), ValueError,
     "invalid combination of buffer, shape and strides"),
    ((list(range(6)), ), dict(shape=[2, 4]), ValueError, "invalid combination of buffer, shape and strides"),
    (([1], ), dict(shape=[1], format="ii"), ValueError, "mismatch between initializer element and format string"),
    (([[1]], ), dict(shape=[1], format="ii"), ValueError, "mismatch between initializer element and format string"),
    ((["ab"], ), dict(shape=[1], format="5s"), ValueError, "mismatch between initializer element and format string"),
    ((b"abc", ), dict(flags=4), TypeError,
     "construction from exporter object only takes 'obj', 'getbuf' and 'flags' arguments"),
    ((b"abc", ), dict(strides=[1]), TypeError,
     "construction from exporter object only takes 'obj', 'getbuf' and 'flags' arguments"),
    ((b"abc", ), dict(offset=1), TypeError,
     "construction from exporter object only takes 'obj', 'getbuf' and 'flags' arguments"),
    ((b"abc", ), dict(format="<B"), TypeError,
     "construction from exporter object only takes 'obj', 'getbuf' and 'flags' arguments"),
]


@pytest.mark.parametrize("args,kwargs,exc,message", CONSTRUCTION_ERRORS)
def test_construction_errors(dv, args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        dv.ndarray(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("fmt,value", [("B", 300), ("b", -129), ("i", 1.5), ("e", 1e10), ("B", b"x")])
def test_struct_errors_reach_the_caller_unchanged(dv, fmt, value):
    try:
        struct.pack(fmt, value)
    except Exception as exc:
        expected = (type(exc), str(exc))
    with pytest.raises(Exception) as info:
        dv.ndarray([value], shape=[1], format=fmt)
    assert (type(info.value), str(info.value)) == expected


def test_calcsize_errors_reach_the_caller(dv):
    with pytest.raises(struct.error, match="bad char in struct format"):
        dv.ndarray([1], shape=[1], format="z")
    with pytest.raises(TypeError):
        dv.ndarray([1], shape=[1], format=None)


@pytest.mark.parametrize("seed", range(40))
def test_random_layouts_match_the_model(dv, seed):
    # Every valid layout, directly and in the indirect form, reads back as
    # the nested lists its shape, strides and offset describe.
    for fmt, size in (("B", 1), ("h", 2)):
        (shape, strides, offset, count), = model.layouts(seed, 1, itemsize=size)
        items = [i % 100 for i in range(count)]
        expected = model.nested(items, shape, strides, offset, size)
        a = dv.ndarray(items, shape=shape, strides=strides, offset=offset, format=fmt)
        assert a.tolist() == expected
        assert a.tobytes() == struct.pack(f"{len(model.flatten(expected, len(shape)))}{fmt}",
                                          *model.flatten(expected, len(shape)))
        assert memoryview(a).tolist() == expected
        p = dv.ndarray(items, shape=shape, strides=strides, offset=offset, format=fmt, flags=dv.ND_PIL)
        assert p.tolist() == expected and p.offset == 0
        assert memoryview(p).tolist() == expected
        assert p.tobytes() == a.tobytes()


class TestStack:
    def test_push_and_pop(self, dv):
        a = dv.ndarray([1, 2, 3], shape=[3])
        a.push([4, 5, 6, 7], shape=[2, 2], format="B", flags=dv.ND_WRITABLE)
        assert (a.tolist(), a.readonly) == ([[4, 5], [6, 7]], 0)
        a.push(items=[9], shape=[])
        assert a.tolist() == 9
        a.pop()
        a.pop()
        assert a.tolist() == [1, 2, 3]
        with pytest.raises(BufferError, match="^list only has a single base$"):
            a.pop()

    def test_exports_block_push_and_pop(self, dv):
        a = dv.ndarray([1, 2, 3], shape=[3])
        a.push([4], shape=[1])
        m1 = memoryview(a)
        for call in (lambda: a.push([5], shape=[1]), a.pop):
            with pytest.raises(BufferError) as info:
                call()
            assert str(info.value) == "cannot change structure: 1 exported buffer"
        m2 = memoryview(a)
        with pytest.raises(BufferError) as info:
            a.pop()
        assert str(info.value) == "cannot change structure: 2 exported buffers"
        m1.release()
        m2.release()
        a.pop()

    def test_varexport_keeps_old_bases_while_exported(self, dv):
        a = dv.ndarray([1, 2, 3], shape=[3], flags=dv.ND_VAREXPORT)
        assert a.flags & dv.ND_VAREXPORT == 0  # an object flag, not a base flag
        m = memoryview(a)
        a.push([7, 8], shape=[2])
        assert (a.tolist(), m.tolist()) == ([7, 8], [1, 2, 3])
        n = memoryview(a)
        with pytest.raises(BufferError, match="cannot change structure: 1 exported buffer"):
            a.pop()  # pop checks exports with or without ND_VAREXPORT
        a.push([9], shape=[1])
        assert n.tolist() == [7, 8]
        m.release()
        n.release()
        # Both old bases left the stack when their last export went.
        with pytest.raises(BufferError, match="^list only has a single base$"):
            a.pop()
        assert a.tolist() == [9]

    def test_push_errors(self, dv):
        a = dv.ndarray([1], shape=[1])
        with pytest.raises(ValueError) as info:
            a.push([1], shape=[1], flags=dv.ND_VAREXPORT)
        assert str(info.value) == "ND_VAREXPORT flag can only be used during object creation"
        with pytest.raises(ValueError, match="^offset out of bounds$"):
            a.push([1], shape=[1], offset=1)
        assert a.tolist() == [1]
        c = dv.ndarray(a)
        for call in (lambda: c.push([1], shape=[1]), c.pop):
            with pytest.raises(BufferError) as info:
                call()
            assert str(info.value) == "structure of re-exporting object is immutable"

    def test_push_refuses_exports_made_while_building(self, dv):
        a = dv.ndarray([1], shape=[1])
        kept = []

        class Exporting:
            def __index__(self):
                kept.append(memoryview(a))
                return 2

        with pytest.raises(BufferError, match="cannot change structure: 1 exported buffer"):
            a.push([[Exporting(), 1]], shape=[1], format="BB")
        assert kept[0].tolist() == [1]


def test_only_the_documented_symbols_leave_the_library(dv):
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", dv.__file__], capture_output=True, text=True,
                         check=True).stdout
    # AddressSanitizer adds an __odr_asan twin of each exported variable.
    names = sorted(n for n in (line.split()[-1] for line in out.splitlines() if line.strip())
                   if not n.startswith("__odr_asan."))
    assert names == ["PyInit__delvane", "Struct", "calcsize", "simple_format", "structmodule"]


def test_no_memory_kept_by_repeated_work():
    # Bases, private shape copies, scratch items and exported views are all
    # given back: the traced total does not grow with the number of rounds.
    # A fresh interpreter keeps the count free of the test run's own noise.
    out = run_child("""
        import gc, struct, tracemalloc
        dv = _delvane
        nd = dv.ndarray

        def work():
            a = nd(list(range(24)), shape=[2, 3, 4], format="h", flags=dv.ND_WRITABLE | dv.ND_VAREXPORT)
            m = memoryview(a)
            a.push([1, 2], shape=[2])
            p = nd(list(range(6)), shape=[2, 3], strides=[-3, 1], offset=3, flags=dv.ND_PIL)
            p.tolist(), p[::-1, 1:].tobytes(), p[1].tolist(), hash(p)
            a.pop()
            m.release()
            v = nd(a, getbuf=dv.PyBUF_FULL_RO)
            v[0:1, ::2] = nd([9] * 8, shape=[1, 2, 4], format="h")
            v[1][2][3] = 5
            c = nd(bytearray(b"abcdef"))
            c.add_suboffsets()
            s = nd(list(range(6)), shape=[6])[::2]
            s.add_suboffsets()
            dv.get_pointer(a, [1, 2, 3])
            dv.cmp_contig(a, a)
            dv.py_buffer_to_contiguous(p, "F", dv.PyBUF_FULL_RO)
            for bad in (lambda: nd([1], shape=[1], offset=5), lambda: p[0:1, 0:1, 0:1],
                        lambda: nd([300], shape=[1]), lambda: v.__setitem__(0, b"x")):
                try:
                    bad()
                except (ValueError, TypeError, struct.error):
                    pass

        tracemalloc.start()
        for _ in range(1000):
            work()
        for batch in range(4):
            gc.collect()
            before = tracemalloc.get_traced_memory()[0]
            for _ in range(1000):
                work()
            gc.collect()
            print(tracemalloc.get_traced_memory()[0] - before)
    """, "_delvane")
    # The interpreter's free lists and caches fill slowly, so batches grow by
    # a few kilobytes now and then; a leak makes every batch grow, by 1000
    # times what one round loses (a lost base or view is 100 bytes or more).
    assert min(int(line) for line in out.stdout.split()) < 8000, out.stdout
