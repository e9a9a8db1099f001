def show(load):
    dv = load("_delvane")
    nd = dv.ndarray
    print("  An array whose memory layout the caller chooses, exported through the buffer protocol.")

    a = nd(list(range(12)), shape=[3, 4], format="h")
    print(f"  ndarray(range(12), shape=[3, 4], format='h'): strides {a.strides}, flags {a.flags:#x}")
    print(f"    tolist() -> {a.tolist()}")
    v = a[::-1, 1::2]
    print(f"  a[::-1, 1::2] is a view: shape {v.shape}, strides {v.strides}, -> {v.tolist()}")
    print(f"    tobytes() gathers it in C order: {v.tobytes().hex(' ', 2)}")

    p = nd(list(range(6)), shape=[2, 3], strides=[-3, 1], offset=3, flags=dv.ND_PIL)
    print("  The indirect (PIL) form: a table of row pointers in front of the data.")
    print(f"    strides {p.strides}, suboffsets {p.suboffsets}, offset {p.offset}, "
          f"pointer size {dv.get_sizeof_void_p()}")
    m = memoryview(p)
    print(f"    read through memoryview: shape {m.shape}, suboffsets {m.suboffsets}, tolist {m.tolist()}")
    print(f"    p[:, 1:] moves the suboffset, not the table: suboffsets {p[:, 1:].suboffsets}, "
          f"{p[:, 1:].tolist()}")
    copy = p.memoryview_from_buffer()
    m.release()
    del p
    print(f"    memoryview_from_buffer() copies data and table; it outlives the array: {copy.tolist()}")

    print("  Every request the layout cannot serve is refused, in a fixed order:")
    for label, request in [("PyBUF_SIMPLE", dv.PyBUF_SIMPLE), ("PyBUF_WRITABLE", dv.PyBUF_WRITABLE),
                           ("PyBUF_F_CONTIGUOUS", dv.PyBUF_F_CONTIGUOUS), ("PyBUF_INDIRECT", dv.PyBUF_INDIRECT)]:
        for name, target in (("a", a), ("v", v)):
            try:
                c = nd(target, getbuf=request)
                result = f"granted: shape {c.shape}, strides {c.strides}, format {c.format!r}"
            except BufferError as exc:
                result = f"BufferError: {exc}"
            print(f"    {name} with {label:19} {result}")

    w = nd(list(range(8)), shape=[8], flags=dv.ND_WRITABLE)
    w[:] = w[::-1]
    print(f"  Assigning an array's own reversed view to itself: {w.tolist()}")
    print(f"  The interpreter's routines: py_buffer_to_contiguous(v, 'F') -> "
          f"{dv.py_buffer_to_contiguous(v, 'F', dv.PyBUF_FULL_RO).hex(' ', 2)}, "
          f"is_contiguous(v, 'C') -> {dv.is_contiguous(v, 'C')}")
    try:
        nd([1, 2], shape=[2], strides=[2**63 - 1])
    except ValueError as exc:
        print(f"  A stride that would wrap the bounds check: ValueError: {exc}")
