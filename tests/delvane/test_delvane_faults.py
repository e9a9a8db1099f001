# _delvane: inputs that would read or write outside an array's memory, use
# freed memory, or corrupt its records if the checks were missing. Each runs in
# a child interpreter, so a crash fails one test instead of the run. The child
# uses the system allocator, so that a sanitizer build sees every block edge.
import os
import struct
import subprocess
import sys
import textwrap

import pytest

import harness


def child(code):
    source = harness.loader_source("_delvane") + "nd = _delvane.ndarray\n" + textwrap.dedent(code)
    # Not isolated (-I would ignore PYTHONMALLOC); the tests only need our module.
    # Some cases ask for impossible sizes and expect MemoryError, which a
    # sanitizer's allocator only gives when told to return null.
    env = dict(os.environ, PYTHONMALLOC="malloc")
    env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":allocator_may_return_null=1"
    proc = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True, timeout=120, env=env)
    assert proc.returncode == 0, f"child failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}"
    return proc.stdout.splitlines()


# The huge sizes and strides below are written for a 64-bit Py_ssize_t; with
# 32 bits (i386) each power of two is scaled to the same place in that range.
SSIZE_64 = struct.calcsize("n") == 8
HUGE = 2**62 if SSIZE_64 else 2**30


def scaled(code):
    if SSIZE_64:
        return code
    for big, small in (("2**63", "2**31"), ("2**62", "2**30"), ("2**61", "2**29"), ("2**60", "2**28"),
                       ("2**32", "2**16")):
        code = code.replace(big, small)
    return code


def outcomes(calls):
    """Source that runs each lambda of `calls` and prints how it ended."""
    return ("def outcome(f):\n"
            "    try:\n"
            "        r = f()\n"
            "    except Exception as exc:\n"
            "        return f'{type(exc).__name__}: {exc}'\n"
            "    return repr(r)\n"
            "for f in [" + calls + "]:\n"
            "    print(outcome(f))\n")


INVALID = "ValueError: invalid combination of buffer, shape and strides"


def test_layout_arithmetic_cannot_wrap():
    lines = child(outcomes(scaled("""
        lambda: nd([1, 2], shape=[2], strides=[2**63 - 1]),
        lambda: nd([1, 2], shape=[2], strides=[-(2**63)]),
        lambda: nd([1, 2], shape=[2, 2], strides=[2**62, 2**62]),
        lambda: nd([1, 2], shape=[3, 2**62], strides=[-(2**62), -1], offset=1),
        lambda: nd([1, 2], shape=[2**32, 2**32], strides=[0, 0]),
        lambda: nd([1, 2], shape=[2**62, 2**62], format="B"),
        lambda: nd([1, 2], shape=[2**62, 2**62], format="i"),
        lambda: nd([1, 2], shape=[2**60, 4], strides=[0, 0], format="B").nbytes,
        lambda: nd([1, 2], shape=[1], offset=2**63 - 1),
        lambda: nd([1] * 8, shape=[1], format="2305843009213693952xB"),
        lambda: nd([1, 2], shape=[2**61], strides=[0], flags=_delvane.ND_PIL),
        lambda: nd([1, 2], shape=[2**58], strides=[0], flags=_delvane.ND_PIL),
        lambda: nd([1, 2], shape=[0, 2**62, 2**62], format="i").strides,
    """)))
    assert lines[:7] == [INVALID] * 7
    assert lines[7] == str(HUGE)
    assert lines[8] == "ValueError: offset out of bounds"
    if SSIZE_64:
        assert lines[9:12] == ["MemoryError: "] * 3
    else:
        # Sizes that fit 64 bits but no memory are past the 32-bit range.
        assert lines[9:12] == ["error: total struct size too long", "MemoryError: ",
                               "OverflowError: Python int too large to convert to C ssize_t"]
    assert lines[12] == "(0, 0, 4)"


def test_zero_extent_layouts_with_wild_strides():
    # Any strides are valid when there are no items; nothing may follow them.
    lines = child(outcomes(scaled("""
        lambda: nd([1, 2], shape=[2, 0], strides=[2**62, 1]).tolist(),
        lambda: nd([1, 2], shape=[2, 0], strides=[2**62, 1])[1].tolist(),
        lambda: nd([1, 2], shape=[2, 0], strides=[2**62, 1])[::2**62].tolist(),
        lambda: nd([1, 2], shape=[2, 0], strides=[2**62, 1])[1].memoryview_from_buffer().tolist(),
        lambda: nd([1, 2], shape=[2, 0], strides=[-(2**62), 1], flags=_delvane.ND_PIL).tolist(),
        lambda: memoryview(nd([1, 2], shape=[2, 0], strides=[2**62, 1], flags=_delvane.ND_PIL)).tolist(),
        lambda: nd([1, 2], shape=[2, 0], strides=[2**62, 1], flags=_delvane.ND_PIL).tobytes(),
        lambda: nd([1, 2, 3], shape=[3])[::2**62].strides,
        lambda: nd([1, 2, 3], shape=[3], format="i")[::2**62].tolist(),
    """)))
    assert lines == ["[[], []]", "[]", "[[]]", "[]", "[[], []]", "[[], []]", "b''", f"({HUGE},)", "[1]"]


def test_item_conversion_code_changing_lists():
    lines = child("""
        class Clearing:
            def __index__(self):
                inner.clear()
                items.clear()
                import gc; gc.collect()
                return 9
        inner = [Clearing(), 3]
        items = [[1, 2], inner, [4, 5]]
        print(nd(items, shape=[3], format="BB").tolist())
        a = nd([[0, 0]], shape=[1], format="BB", flags=_delvane.ND_WRITABLE)
        pair = [Clearing(), 7]
        inner = pair
        a[0] = pair
        print(a.tolist())
    """)
    assert lines == ["[(1, 2), (9, 3), (4, 5)]", "[(9, 7)]"]


def test_conversion_code_cannot_pop_the_base_being_written():
    lines = child("""
        a = nd([[1, 2]], shape=[1], format="BB", flags=_delvane.ND_WRITABLE)
        a.push([[3, 4]] * 3, shape=[3], format="BB", flags=_delvane.ND_WRITABLE)
        class Popping:
            def __index__(self):
                a.pop()
                return 5
        try:
            a[2] = [Popping(), 6]
        except BufferError as exc:
            print(exc)
        print(a.tolist())
        v = nd([[1, 2]], shape=[1], format="BB", flags=_delvane.ND_WRITABLE | _delvane.ND_VAREXPORT)
        class Pushing:
            def __index__(self):
                v.push([[7, 8]] * 2, shape=[2], format="BB", flags=_delvane.ND_WRITABLE)
                return 5
        v[0] = [Pushing(), 6]
        print(v.tolist())
        try:
            v.pop()
        except BufferError as exc:
            print(exc)
    """)
    assert lines[:2] == ["cannot change structure: 1 exported buffer", "[(3, 4), (3, 4), (3, 4)]"]
    # The base written while another was pushed left the stack afterwards.
    assert lines[2:] == ["[(7, 8), (7, 8)]", "list only has a single base"]


def test_memoryview_from_buffer_results_outlive_later_calls_and_sources():
    lines = child("""
        import gc
        a = nd(list(range(100)), shape=[10, 10], format="h")
        m1 = a.memoryview_from_buffer()
        b = nd([5, 6, 7], shape=[3], format="q")
        m2 = b.memoryview_from_buffer()
        m3 = nd([1], shape=[1]).memoryview_from_buffer()
        del a, b
        gc.collect()
        junk = [bytearray(800) for _ in range(50)]
        print(m1[9].tolist() if False else m1.tolist()[9][9], m2.tolist(), m3.tolist())
        p = nd(list(range(6)), shape=[2, 3], strides=[-3, -1], offset=5, flags=_delvane.ND_PIL)
        expected = p.tolist()
        mp = p.memoryview_from_buffer()
        del p
        gc.collect()
        junk = [bytearray(64) for _ in range(50)]
        print(mp.tolist() == expected, mp.suboffsets)
    """)
    assert lines == ["99 [5, 6, 7] [1]", "True (2, -1)"]


def test_initialiser_runs_once():
    lines = child("""
        o = nd([1, 2], shape=[2])
        c = nd(b"ab")
        for again in (lambda: o.__init__([9], shape=[1]), lambda: c.__init__(b"xyz"),
                      lambda: c.__init__([1], shape=[1])):
            try:
                again()
            except TypeError as exc:
                print(exc)
        print(o.tolist(), c.tolist())
    """)
    assert lines == ["ndarray is already initialised"] * 3 + ["[1, 2] [97, 98]"]


def test_reentrant_initialisation():
    lines = child("""
        a = nd.__new__(nd)
        class Initialising:
            def __index__(self):
                a.__init__([[1, 2]], shape=[1], format="BB")
                return 3
        try:
            a.__init__([[Initialising(), 4]], shape=[1], format="BB")
        except TypeError as exc:
            print(exc)
        print(a.tolist(), a.flags & 1)
    """)
    assert lines == ["ndarray is already initialised", "[(1, 2)] 0"]


def test_uninitialised_arrays_fail_cleanly():
    lines = child("""
        import _delvane as dv
        u = nd.__new__(nd)
        ops = [lambda: memoryview(u), lambda: u[0], lambda: u[0:1], lambda: u.__setitem__(0, 1),
               lambda: hash(u), u.tolist, u.tobytes, lambda: u.push([1], shape=[1]), u.pop, u.add_suboffsets,
               u.memoryview_from_buffer, lambda: list(u), lambda: dv.is_contiguous(u, "C"),
               lambda: dv.get_pointer(u, [0]), lambda: nd(u)]
        ops += [lambda name=name: getattr(u, name) for name in
                ("flags", "offset", "obj", "nbytes", "readonly", "itemsize", "format", "ndim", "shape",
                 "strides", "suboffsets", "c_contiguous", "f_contiguous", "contiguous")]
        for op in ops:
            try:
                op()
                print("no error")
            except TypeError as exc:
                print(exc)
        try:
            dv.cmp_contig(u, u)
        except TypeError as exc:
            print(exc)
        del u
    """)
    assert lines[:-1] == ["ndarray is not initialised"] * 29
    assert lines[-1] == "cmp_contig: first argument does not implement the buffer protocol"


def test_too_many_slices():
    lines = child(outcomes("""
        lambda: nd([1, 2, 3], shape=[3])[0:1, 0:1],
        lambda: nd(list(range(6)), shape=[2, 3], flags=_delvane.ND_PIL)[:, :, :],
        lambda: nd(list(range(6)), shape=[2, 3], flags=_delvane.ND_WRITABLE).__setitem__((slice(None),) * 5, b""),
    """))
    assert lines == ["TypeError: cannot index 1-dimension view with 2-element tuple",
                     "TypeError: cannot index 2-dimension view with 3-element tuple",
                     "TypeError: cannot index 2-dimension view with 5-element tuple"]


def test_flat_views_of_wide_items_stay_inside():
    lines = child("""
        a = nd(list(range(4)), shape=[4], format="q", flags=_delvane.ND_WRITABLE)
        flat = nd(a, getbuf=_delvane.PyBUF_SIMPLE | _delvane.PyBUF_WRITABLE)
        print([flat[i] for i in range(4)], flat.nbytes)
        for i in (4, -5, 31):
            try:
                flat[i]
            except IndexError as exc:
                print(exc)
        flat[3] = 200
        print(a.tolist(), len(flat.tobytes()))
    """)
    assert lines == ["[0, 1, 2, 3] 32"] + ["index out of bounds"] * 3 + ["[0, 1, 2, 200] 32"]


def test_many_dimensions():
    lines = child(outcomes("""
        lambda: nd([7], shape=[1] * 128).tolist() == [[7]],
        lambda: str(nd([7], shape=[1] * 128)[(slice(None),) * 128].shape[:2]),
        lambda: nd([7], shape=[1] * 128).memoryview_from_buffer(),
        lambda: nd([7], shape=[1] * 128, flags=_delvane.ND_PIL).tobytes(),
    """))
    assert lines[0] == "False"  # a 128-deep nesting, not [[7]]
    assert lines[1] == "'(1, 1)'"
    assert lines[2].startswith("ValueError: memoryview: number of dimensions must not exceed 64")
    assert lines[3] == "b'\\x07'"


def test_exporters_filling_shape_from_the_view_itself():
    # bytes and bytearray point shape and strides at fields of the view they
    # fill: a consumer keeps reading its own copy of those fields.
    lines = child("""
        c = nd(bytearray(b"abcdef"))
        import gc; gc.collect()
        print(c.shape, c.strides, c.tolist()[:2], c[::-2].tolist())
        c[0] = 65
        print(bytes(c.tobytes()))
    """)
    assert lines == ["(6,) (1,) [97, 98] [102, 100, 98]", "b'Abcdef'"]


def test_forced_contiguity_flags_never_stretch_a_layout():
    # The contiguity bits can be passed in flags. A request without strides
    # would then read `nbytes` from `buf` as one run: four bytes of one.
    lines = child(outcomes("""
        lambda: _delvane.py_buffer_to_contiguous(
            nd([1], shape=[2, 2], strides=[0, 0], flags=_delvane.ND_SCALAR), "C", _delvane.PyBUF_SIMPLE),
        lambda: _delvane.py_buffer_to_contiguous(
            nd([1, 2, 3, 4], shape=[2], strides=[2], flags=0x100), "C", _delvane.PyBUF_ND),
        lambda: nd(nd([1], shape=[3], strides=[0], flags=0x100), getbuf=_delvane.PyBUF_SIMPLE).tobytes(),
        lambda: bytes(nd([1, 2, 3, 4], shape=[2], strides=[2], flags=_delvane.ND_SCALAR)),
        lambda: _delvane.py_buffer_to_contiguous(nd([1, 2, 3], shape=[3], flags=0x100), "C", 0),
    """))
    assert lines == ["BufferError: ndarray: contiguity mismatch in getbuf()"] * 4 + ["b'\\x01\\x02\\x03'"]


def test_forwarding_consumer_items_come_from_the_buffer_they_keep():
    # After a push the forwarding consumer still holds the old 2x2 base, but
    # its item views consume the new 4x4 top: mixing the two read and wrote
    # past the old base.
    lines = child("""
        b = nd(list(range(4)), shape=[2, 2], flags=_delvane.ND_VAREXPORT | _delvane.ND_WRITABLE)
        fwd = nd(b, flags=_delvane.ND_REDIRECT)
        b.push(list(range(10, 26)), shape=[4, 4], flags=_delvane.ND_WRITABLE)
        row = fwd[1]
        del fwd
        import gc; gc.collect()
        junk = [bytearray(4) for _ in range(50)]
        print(row.tolist())
        fwd = nd(b, flags=_delvane.ND_REDIRECT)
        fwd[1] = nd([7] * 4, shape=[4])
        print(b.tolist()[1], fwd.tolist()[1])
        b.push([1, 2, 3], shape=[3])
        try:
            fwd[0]
        except BufferError as exc:
            print(exc)
    """)
    assert lines == ["[14, 15, 16, 17]", "[7, 7, 7, 7] [7, 7, 7, 7]",
                     "ndarray: forwarded buffer no longer matches this array"]


def test_replaced_unpack_from_only_ever_sees_a_copy():
    # Single items are read through the struct module's own `unpack_from`,
    # looked up on each call: whatever replaces it may keep its argument.
    lines = child("""
        import gc, struct
        kept = []
        real = struct.unpack_from
        def keeping(fmt, buf, *rest):
            kept.append(buf)
            return real(fmt, buf, *rest)
        struct.unpack_from = keeping
        a = nd(list(range(64)), shape=[8, 8], format="q")
        print(a[3][5], a[-1][-1], _delvane.get_pointer(a, [2, 2]), nd(9, shape=[])[()])
        del a
        gc.collect()
        junk = [bytearray(512) for _ in range(50)]
        print([m.tobytes()[0] for m in kept], kept[0].readonly)
    """)
    assert lines == ["29 63 18 9", "[29, 63, 18, 9] True"]


def test_struct_lookup_that_pops_the_array():
    # With `unpack_from` removed, the lookup reaches a module __getattr__,
    # which runs before the item is read: the item must be read already.
    lines = child("""
        import struct
        real = struct.unpack_from
        a = nd(list(range(8)), shape=[8], format="q")
        a.push(list(range(100, 400)), shape=[300], format="q")
        def lookup(name):
            if name != "unpack_from":
                raise AttributeError(name)
            a.pop()
            return real
        del struct.unpack_from
        struct.__getattr__ = lookup
        print(a[299], a.tolist()[-1])
    """)
    assert lines == ["399 7"]


def test_long_consumer_chains():
    # Each consumer hashes and releases the one it consumes: a chain deeper
    # than the C stack must neither hash nor free recursively all the way down.
    lines = child("""
        x = nd([1, 2, 3], shape=[3])
        for _ in range(300000):
            x = nd(x)
        try:
            hash(x)
        except RecursionError:
            print("RecursionError")
        s = nd([1, 2, 3], shape=[3])
        for _ in range(300000):
            s = s[::-1]
        print(s.tolist(), hash(nd(nd(nd([1, 2], shape=[2])))) == hash(b"\\x01\\x02"))
        del x, s
        print("freed")
    """)
    assert lines == ["RecursionError", "[1, 2, 3] True", "freed"]


def test_zero_extent_after_huge_extents():
    lines = child(outcomes(scaled("""
        lambda: nd([1], shape=[2**62, 2**62, 0], format="i").nbytes,
        lambda: nd([1], shape=[2**62, 0, 2**62], format="i").strides,
        lambda: nd([1], shape=[2**62, 2**62, 0], format="i")[5][-1].tolist(),
    """)))
    assert lines == ["0", "(0, 0, 4)", "[]"]


def test_zero_dimensional_views_hold_an_item():
    # numpy answers a request without PyBUF_ND with ndim 0: for an empty array
    # that is a "scalar" of 0 bytes, whose item was read and written past the
    # end, by this array and by consumers of its re-export.
    pytest.importorskip("numpy")
    lines = child("import numpy as np\n" + outcomes("""
        lambda: nd(np.zeros(0), getbuf=_delvane.PyBUF_FORMAT | _delvane.PyBUF_WRITABLE),
        lambda: nd(np.zeros(0, dtype="i2"), getbuf=_delvane.PyBUF_SIMPLE),
        lambda: nd(np.zeros((2, 3)), getbuf=_delvane.PyBUF_FORMAT)[()],
        lambda: nd(np.array(2.5))[()],
        lambda: memoryview(nd(np.zeros(2, dtype="i2"), getbuf=_delvane.PyBUF_FORMAT)).tolist(),
    """))
    assert lines == ["BufferError: ndarray: zero-dimensional buffer is smaller than one item"] * 2 + ["0.0", "2.5", "0"]


def test_finalizers_cannot_pop_a_base_being_read():
    # Building a list or tuple may start a collection, whose finalizers run
    # any code: a pop there freed the memory tolist and shape were reading.
    # (From 3.12 on the collection waits until the call has returned.)
    lines = child("""
        import functools, gc
        a = nd([0], shape=[1])
        class Popping:
            def __del__(self):
                try:
                    a.pop()
                    print("popped")
                except BufferError as exc:
                    print(exc)
        def armed(f):
            p = Popping()
            p.cycle = p
            del p
            gc.set_threshold(1)
            try:
                return f()
            finally:
                gc.set_threshold(700)
                gc.collect()
        a.push(list(range(400)), shape=[20, 20], format="q")
        print(armed(a.tolist)[-1][-3:])
        for name in ("shape", "strides"):
            a.push([0], shape=[1] * 30)
            print(len(armed(functools.partial(getattr, a, name))))
    """)
    assert lines[1::2] == ["[397, 398, 399]", "30", "30"]
    assert set(lines[::2]) <= {"popped", "cannot change structure: 1 exported buffer"}
