import ctypes
import os
import tempfile


def reader_over_a_pipe():
    """The interpreter's line reader, as the interpreter calls it, reading
    keystrokes from a pipe instead of a terminal."""
    api = ctypes.pythonapi
    libc = ctypes.CDLL(None)
    libc.fdopen.restype = ctypes.c_void_p
    libc.fdopen.argtypes = [ctypes.c_int, ctypes.c_char_p]
    api.PyMem_RawFree.argtypes = [ctypes.c_void_p]
    reader = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_char_p)(
        ctypes.c_void_p.in_dll(api, "PyOS_ReadlineFunctionPointer").value)
    r, w = os.pipe()
    fin = libc.fdopen(r, b"r")
    fout = libc.fdopen(os.open(os.devnull, os.O_WRONLY), b"w")

    def type_keys(keys):
        os.write(w, keys.encode())
        p = reader(fin, fout, b">>> ")
        line = ctypes.string_at(p).decode()
        api.PyMem_RawFree(p)
        return line

    return type_keys


def show(load):
    readline = load("readline")
    print(f"  GNU Readline {readline._READLINE_VERSION >> 8}.{readline._READLINE_VERSION & 0xff} "
          f"(built against), {readline._READLINE_RUNTIME_VERSION >> 8}.{readline._READLINE_RUNTIME_VERSION & 0xff} "
          f"(loaded)")
    print(f"  word delimiters: {readline.get_completer_delims()!r}")

    type_keys = reader_over_a_pipe()
    words = ["os.path.join", "os.path.exists", "os.environ"]
    seen = []

    def complete(text, state):
        matches = [w for w in words if w.startswith(text)]
        if state == 0:
            seen.append(f"{text!r} [{readline.get_begidx()}:{readline.get_endidx()}]")
        return matches[state] if state < len(matches) else None

    readline.set_completer(complete)
    readline.parse_and_bind("tab: complete")
    for keys in ["x = os.path.jo\t('a', 'b')\n", "x = os.env\t\n", "x = os.env\t\n", "print('caf\u00e9')\n", "\n"]:
        print(f"  typed {keys!r:34} -> read {type_keys(keys)!r}")
    print(f"  the completer saw: {', '.join(seen)}")
    lines = [readline.get_history_item(i) for i in range(1, readline.get_current_history_length() + 1)]
    print(f"  history (a repeated line is kept once, an empty one never): {lines}")

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "history")
        for i in range(10):
            readline.add_history(f"line {i}")
        readline.set_history_length(4)
        readline.write_history_file(path)
        with open(path) as f:
            kept = f.read().splitlines()
        print(f"  {readline.get_current_history_length()} entries in memory; "
              f"set_history_length(4) keeps the file to {kept}")
        try:
            readline.read_history_file(os.path.join(tmp, "missing"))
        except OSError as exc:
            print(f"  reading a missing file: {type(exc).__name__}: {exc}")
    try:
        readline.remove_history_item(99)
    except ValueError as exc:
        print(f"  remove_history_item(99): {exc}")
    readline.set_completer(None)
    readline.clear_history()
    readline.set_history_length(-1)
