# The line reader called directly, as the interpreter calls it, on streams
# we choose: a pipe instead of a terminal, and descriptors anywhere.
import harness
import pytest

from readline_child import run_json

READER = """
import ctypes, os
api = ctypes.pythonapi
libc = ctypes.CDLL(None, use_errno=True)
libc.fdopen.restype = ctypes.c_void_p
libc.fdopen.argtypes = [ctypes.c_int, ctypes.c_char_p]
api.PyMem_RawFree.argtypes = [ctypes.c_void_p]
# A plain C function type: the call releases the lock, as the interpreter does.
reader = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_char_p)(
    ctypes.c_void_p.in_dll(api, "PyOS_ReadlineFunctionPointer").value)

class RLimit(ctypes.Structure):
    _fields_ = [("cur", ctypes.c_ulong), ("max", ctypes.c_ulong)]

def raise_descriptor_limit(needed):
    limit = RLimit()
    assert libc.getrlimit(7, ctypes.byref(limit)) == 0  # RLIMIT_NOFILE
    if limit.cur < needed:
        limit.cur = needed
        assert libc.setrlimit(7, ctypes.byref(limit)) == 0, ctypes.get_errno()

def streams(fd):
    r, w = os.pipe()
    if fd is not None:
        os.dup2(r, fd)
        os.close(r)
        r = fd
    return libc.fdopen(r, b"r"), libc.fdopen(os.open(os.devnull, os.O_WRONLY), b"w"), w

def read(fin, fout):
    p = reader(fin, fout, b"> ")
    assert p, "no line and no exception"
    line = ctypes.string_at(p)
    api.PyMem_RawFree(p)
    return line.decode()
"""


@pytest.mark.parametrize("fd", [None, 1500, 5000])
def test_lines_from_any_descriptor(tmp_path, fd):
    # Descriptors past 1023 do not fit a select() set; the reader must not care.
    result = run_json(READER + f"""
if {fd!r}:
    raise_descriptor_limit({fd!r} + 1)
fin, fout, w = streams({fd!r})
os.write(w, "hello\\n\\nhello\\nwor\\u00e9ld\\nhello\\n".encode())
result = [read(fin, fout) for _ in range(5)]
os.close(w)
result.append(read(fin, fout))
result.append([readline.get_history_item(i) for i in range(1, readline.get_current_history_length() + 1)])
""", tmp_path)
    assert result == ["hello\n", "\n", "hello\n", "wor\u00e9ld\n", "hello\n", "",
                      ["hello", "wor\u00e9ld", "hello"]]


def test_input_hook_runs_between_characters(tmp_path):
    # The hook runs while the reader waits, and may feed it.
    result = run_json(READER + """
fin, fout, w = streams(None)
calls = []
@ctypes.CFUNCTYPE(ctypes.c_int)
def hook():
    calls.append(1)
    if len(calls) == 3:
        os.write(w, b"fed by the hook\\n")
    return 0
ctypes.c_void_p.in_dll(api, "PyOS_InputHook").value = ctypes.cast(hook, ctypes.c_void_p).value
result = [read(fin, fout), len(calls) >= 3]
ctypes.c_void_p.in_dll(api, "PyOS_InputHook").value = None
""", tmp_path)
    assert result == ["fed by the hook\n", True]


def test_failed_result_allocation_raises_memory_error(tmp_path):
    # The interpreter reads null as "interrupted, exception pending": the
    # exception must be MemoryError, and the next line must read normally.
    faults = harness.library_path("readline_fault_alloc", "readline")
    result = run_json(READER + f"""
faults = ctypes.CDLL({faults!r})
faults.fail_next_raw_malloc.argtypes = [ctypes.c_size_t]
# Called with the lock held, so the exception is checked on return.
checked_reader = ctypes.PYFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_char_p)(
    ctypes.c_void_p.in_dll(api, "PyOS_ReadlineFunctionPointer").value)
fin, fout, w = streams(None)
long_line = "x" * 5000
os.write(w, (long_line + "\\nafter\\n").encode())
faults.fail_next_raw_malloc(len(long_line) + 2)
try:
    checked_reader(fin, fout, b"> ")
    result = ["no exception"]
except MemoryError:
    result = ["MemoryError"]
result += [faults.raw_malloc_failure_pending(), read(fin, fout)]
""", tmp_path)
    assert result == ["MemoryError", 0, "after\n"]
