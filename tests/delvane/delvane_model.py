"""Plain-Python models of _delvane's behaviour for the tests to compare with:
where items of a layout live, what a slice selects, and which refusal a buffer
request meets."""
import random

WRITABLE, FORMAT, ND, STRIDES = 0x1, 0x4, 0x8, 0x18
C_CONTIGUOUS, F_CONTIGUOUS, ANY_CONTIGUOUS, INDIRECT = 0x38, 0x58, 0x98, 0x118
ND_FORTRAN, ND_SCALAR, ND_PIL, ND_GETBUF_FAIL, ND_CONTIG_C = 0x4, 0x8, 0x10, 0x40, 0x100


def nested(items, shape, strides, offset, itemsize):
    """The nested lists a layout describes over a flat list of items."""
    def walk(pos, dim):
        if dim == len(shape):
            return items[pos // itemsize]
        return [walk(pos + i * strides[dim], dim + 1) for i in range(shape[dim])]
    return walk(offset, 0)


def sliced(lists, slices):
    """Nested lists with slices[d] applied to dimension d."""
    if not slices:
        return lists
    return [sliced(x, slices[1:]) for x in lists[slices[0]]]


def flatten(lists, ndim):
    if ndim == 0:
        return [lists]
    return [x for sub in lists for x in flatten(sub, ndim - 1)]


def random_layout(rnd, itemsize=1, max_ndim=3, max_extent=4):
    """A valid (shape, strides, offset, count) with any signs of strides;
    count is the number of items the raw memory needs."""
    ndim = rnd.randint(1, max_ndim)
    shape = [rnd.randint(0, max_extent) for _ in range(ndim)]
    strides = [rnd.randint(-6, 6) * itemsize for _ in range(ndim)]
    lo = sum((n - 1) * s for n, s in zip(shape, strides) if s <= 0 and n > 0)
    hi = sum((n - 1) * s for n, s in zip(shape, strides) if s > 0 and n > 0)
    offset = -lo if 0 not in shape else 0
    count = (hi - lo) // itemsize + 1 + rnd.randint(0, 2)
    return shape, strides, offset, count


def layouts(seed, n, **kw):
    rnd = random.Random(seed)
    return [random_layout(rnd, **kw) for _ in range(n)]


def asks(request, what):
    return request & what == what


def refusal(a, request):
    """The BufferError message `request` meets on array `a`, or None, with the
    checks in their fixed order. Reads only the array's attributes."""
    flags = a.flags
    has_shape = a.ndim == 0 or a.shape != ()
    has_strides = a.ndim == 0 or a.strides != ()
    c = bool(flags & (ND_SCALAR | ND_CONTIG_C))
    f = bool(flags & (ND_SCALAR | ND_FORTRAN))
    if a.ndim != 0 and ((asks(request, ND) and not has_shape) or (asks(request, STRIDES) and not has_strides)):
        return "re-exporter does not provide format, shape or strides"
    if flags & ND_GETBUF_FAIL:
        return "ND_GETBUF_FAIL: forced test exception"
    if asks(request, WRITABLE) and a.readonly:
        return "ndarray is not writable"
    if asks(request, C_CONTIGUOUS) and not c:
        return "ndarray is not C-contiguous"
    if asks(request, F_CONTIGUOUS) and not f:
        return "ndarray is not Fortran contiguous"
    if asks(request, ANY_CONTIGUOUS) and not (c or f):
        return "ndarray is not contiguous"
    if not asks(request, INDIRECT) and flags & ND_PIL:
        return "ndarray cannot be represented without suboffsets"
    if not asks(request, STRIDES) and not c:
        return "ndarray is not C-contiguous"
    if not asks(request, ND) and asks(request, FORMAT):
        return "ndarray: cannot cast to unsigned bytes if the format flag is present"
    return None


def granted(a, request):
    """The description a successful request hands out, as attributes of a
    consumer made with it."""
    nd = asks(request, ND)
    return {
        "format": (a.format or "B") if asks(request, FORMAT) else "",
        "ndim": a.ndim if nd else 1,
        "shape": a.shape if nd else (),
        "strides": a.strides if asks(request, STRIDES) else (),
        "suboffsets": a.suboffsets,
        "readonly": a.readonly,
        "nbytes": a.nbytes,
        "itemsize": a.itemsize,
    }
