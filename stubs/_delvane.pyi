# A configurable array that exports every kind of buffer, and functions that
# hand the interpreter's own buffer routines to Python code.
from typing import Any, Sequence, final

ND_FORTRAN: int
ND_GETBUF_FAIL: int
ND_GETBUF_UNDEFINED: int
ND_MAX_NDIM: int
ND_PIL: int
ND_REDIRECT: int
ND_SCALAR: int
ND_VAREXPORT: int
ND_WRITABLE: int
PyBUF_ANY_CONTIGUOUS: int
PyBUF_CONTIG: int
PyBUF_CONTIG_RO: int
PyBUF_C_CONTIGUOUS: int
PyBUF_FORMAT: int
PyBUF_FULL: int
PyBUF_FULL_RO: int
PyBUF_F_CONTIGUOUS: int
PyBUF_INDIRECT: int
PyBUF_ND: int
PyBUF_READ: int
PyBUF_RECORDS: int
PyBUF_RECORDS_RO: int
PyBUF_SIMPLE: int
PyBUF_STRIDED: int
PyBUF_STRIDED_RO: int
PyBUF_STRIDES: int
PyBUF_WRITABLE: int
PyBUF_WRITE: int

@final
class ndarray:
    # From items (a list, tuple or, with shape [], a scalar) with a shape: an
    # original exporter. From an object with the buffer protocol and no shape:
    # a consumer, which takes only `flags` (0 or ND_REDIRECT) and `getbuf`.
    def __init__(
        self,
        obj: Any,
        shape: Sequence[int] = ...,
        strides: Sequence[int] = ...,
        offset: int = 0,
        format: str = "B",
        flags: int = 0,
        getbuf: int = ...,
    ) -> None: ...
    def __getitem__(self, key: Any) -> Any: ...
    def __setitem__(self, key: Any, value: Any) -> None: ...
    def __hash__(self) -> int: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...
    def add_suboffsets(self) -> None: ...
    def memoryview_from_buffer(self) -> memoryview: ...
    def pop(self) -> None: ...
    def push(
        self,
        items: Any,
        shape: Sequence[int],
        strides: Sequence[int] = ...,
        offset: int = 0,
        format: str = "B",
        flags: int = 0,
    ) -> None: ...
    def tobytes(self) -> bytes: ...
    # Nested lists of items; a zero-dimensional array gives its one item.
    def tolist(self) -> Any: ...
    @property
    def c_contiguous(self) -> bool: ...
    @property
    def contiguous(self) -> bool: ...
    @property
    def f_contiguous(self) -> bool: ...
    @property
    def flags(self) -> int: ...
    @property
    def format(self) -> str: ...
    @property
    def itemsize(self) -> int: ...
    @property
    def nbytes(self) -> int: ...
    @property
    def ndim(self) -> int: ...
    # The exporter a consumer takes its buffer from; None for an original.
    @property
    def obj(self) -> Any: ...
    @property
    def offset(self) -> int: ...
    # 1 for read-only data, 0 for writable.
    @property
    def readonly(self) -> int: ...
    @property
    def shape(self) -> tuple[int, ...]: ...
    @property
    def strides(self) -> tuple[int, ...]: ...
    @property
    def suboffsets(self) -> tuple[int, ...]: ...

@final
class staticarray:
    # Exports one fixed read-only buffer of the bytes 0..11. In legacy mode
    # (any argument but False) the exported buffer names no owner.
    def __init__(self, legacy_mode: object = False) -> None: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...

def cmp_contig(b1: Any, b2: Any, /) -> bool: ...
# order: "C", "F" or "A" (only the first character counts).
def get_contiguous(obj: Any, buffertype: int, order: str, /) -> memoryview: ...
def get_pointer(obj: Any, indices: Sequence[int], /) -> Any: ...
def get_sizeof_void_p() -> int: ...
def is_contiguous(obj: Any, order: str, /) -> bool: ...
def py_buffer_to_contiguous(obj: Any, order: str, flags: int, /) -> bytes: ...
# (start, stop, step, slicelength)
def slice_indices(slice: slice, length: int, /) -> tuple[int, int, int, int]: ...
