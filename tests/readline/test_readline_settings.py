# The readline module's functions, each test in its own interpreter.
import errno
import re

import pytest

from readline_child import run, run_json

METHODS = [
    "parse_and_bind", "get_line_buffer", "insert_text", "redisplay", "read_init_file",
    "read_history_file", "write_history_file", "append_history_file", "get_history_item",
    "get_current_history_length", "set_history_length", "get_history_length", "set_completer",
    "get_completer", "get_completion_type", "get_begidx", "get_endidx", "set_completer_delims",
    "add_history", "remove_history_item", "replace_history_item", "get_completer_delims",
    "set_completion_display_matches_hook", "set_startup_hook", "set_pre_input_hook", "clear_history",
]

DOCS = {
    "parse_and_bind": "parse_and_bind(string) -> None\nParse and execute single line of a readline init file.",
    "get_line_buffer": "get_line_buffer() -> string\nreturn the current contents of the line buffer.",
    "insert_text": "insert_text(string) -> None\nInsert text into the command line.",
    "redisplay": "redisplay() -> None\nChange what's displayed on the screen to reflect the current\n"
                 "contents of the line buffer.",
    "read_init_file": "read_init_file([filename]) -> None\nParse a readline initialization file.\n"
                      "The default filename is the last filename used.",
    "read_history_file": "read_history_file([filename]) -> None\nLoad a readline history file.\n"
                         "The default filename is ~/.history.",
    "write_history_file": "write_history_file([filename]) -> None\nSave a readline history file.\n"
                          "The default filename is ~/.history.",
    "append_history_file": "append_history_file(nelements[, filename]) -> None\n"
                           "Append the last nelements of the history list to file.\n"
                           "The default filename is ~/.history.",
    "get_history_item": "get_history_item() -> string\nreturn the current contents of history item at index.",
    "get_current_history_length": "get_current_history_length() -> integer\n"
                                  "return the current (not the maximum) length of history.",
    "set_history_length": "set_history_length(length) -> None\n"
                          "set the maximal number of items which will be written to\n"
                          "the history file. A negative length is used to inhibit\nhistory truncation.",
    "get_history_length": "get_history_length() -> int\n"
                          "return the maximum number of items that will be written to\nthe history file.",
    "set_completer": "set_completer([function]) -> None\nSet or remove the completer function.\n"
                     "The function is called as function(text, state),\n"
                     "for state in 0, 1, 2, ..., until it returns a non-string.\n"
                     "It should return the next possible completion starting with 'text'.",
    "get_completer": "get_completer() -> function\n\nReturns current completer function.",
    "get_completion_type": "get_completion_type() -> int\nGet the type of completion being attempted.",
    "get_begidx": "get_begidx() -> int\nget the beginning index of the readline tab-completion scope",
    "get_endidx": "get_endidx() -> int\nget the ending index of the readline tab-completion scope",
    "set_completer_delims": "set_completer_delims(string) -> None\n"
                            "set the readline word delimiters for tab-completion",
    "add_history": "add_history(string) -> None\nadd a line to the history buffer",
    "remove_history_item": "remove_history_item(pos) -> None\nremove history item given by its position",
    "replace_history_item": "replace_history_item(pos, line) -> None\n"
                            "replaces history item given by its position with contents of line",
    "get_completer_delims": "get_completer_delims() -> string\n"
                            "get the readline word delimiters for tab-completion",
    "set_completion_display_matches_hook": "set_completion_display_matches_hook([function]) -> None\n"
                                           "Set or remove the completion display function.\n"
                                           "The function is called as\n"
                                           "  function(substitution, [matches], longest_match_length)\n"
                                           "once each time matches need to be displayed.",
    "set_startup_hook": "set_startup_hook([function]) -> None\nSet or remove the startup_hook function.\n"
                        "The function is called with no arguments just\n"
                        "before readline prints the first prompt.",
    "set_pre_input_hook": "set_pre_input_hook([function]) -> None\n"
                          "Set or remove the pre_input_hook function.\n"
                          "The function is called with no arguments after the first prompt\n"
                          "has been printed and just before readline starts reading input\ncharacters.",
    "clear_history": "clear_history() -> None\nClear the current readline history.",
}

INITIAL_DELIMS = " \t\n`~!@#$%^&*()-=+[{]}\\|;:'\",<>/?"


def header_version():
    with open("/usr/include/readline/readline.h") as header:
        return int(re.search(r"#define\s+RL_READLINE_VERSION\s+(0x[0-9a-fA-F]+)", header.read()).group(1), 16)


def test_module_surface(tmp_path):
    result = run_json("""
        names = [n for n in vars(readline) if not n.startswith("__")]
        result = {
            "names": names,
            "doc": readline.__doc__,
            "docs": {n: getattr(readline, n).__doc__ for n in names if callable(getattr(readline, n))},
            # 3.13 gives argument-less functions a signature of their own.
            "signatures": sorted({getattr(readline, n).__text_signature__ for n in names
                                  if getattr(getattr(readline, n), "__text_signature__", None)}),
            "version": readline._READLINE_VERSION,
            "runtime": readline._READLINE_RUNTIME_VERSION,
            "library_runtime": ctypes.c_int.in_dll(lib, "rl_readline_version").value,
            "name": ctypes.c_char_p.in_dll(lib, "rl_readline_name").value.decode(),
        }
    """, tmp_path)
    assert result["names"] == METHODS + ["_READLINE_VERSION", "_READLINE_RUNTIME_VERSION"]
    assert result["doc"] == "Importing this module enables command line editing using GNU readline."
    assert result["docs"] == DOCS
    assert result["signatures"] in ([], ["($self, /)"])
    assert result["version"] == header_version() == 0x0802
    assert result["runtime"] == result["library_runtime"]
    assert result["name"] == "python"


def test_initial_values(tmp_path):
    result = run_json("""
        result = [readline.get_begidx(), readline.get_endidx(), readline.get_history_length(),
                  readline.get_completer(), readline.get_completer_delims(),
                  readline.get_current_history_length(), readline.get_completion_type(),
                  readline.get_line_buffer(), rl_variable("enable-bracketed-paste"),
                  rl_variable("enable-meta-key"),
                  ctypes.c_char_p.in_dll(lib, "rl_completer_word_break_characters").value.decode()]
    """, tmp_path)
    # Standard output is a pipe here, so the meta key is off.
    assert result == [0, 0, -1, None, INITIAL_DELIMS, 0, 0, "", "off", "off", INITIAL_DELIMS]
    assert len(INITIAL_DELIMS) == 33


def test_inputrc_overrides_the_module_defaults(tmp_path):
    # The module sets its defaults before the library reads the user's file.
    inputrc = tmp_path / "inputrc"
    inputrc.write_text("$if python\nset enable-bracketed-paste on\n$endif\nset enable-meta-key on\n")
    result = run_json("""
        result = [rl_variable("enable-bracketed-paste"), rl_variable("enable-meta-key")]
    """, tmp_path, inputrc=inputrc)
    assert result == ["on", "on"]


def test_history_list(tmp_path):
    result = run_json("""
        r = readline
        for line in ["one", "two", "three", "d\\u00e9j\\u00e0"]:
            r.add_history(line)
        result = [r.get_current_history_length(), r.get_history_item(0), r.get_history_item(1),
                  r.get_history_item(4), r.get_history_item(5)]
        r.remove_history_item(0)
        r.replace_history_item(1, "THREE")
        result += [[r.get_history_item(i) for i in range(1, 4)], r.get_current_history_length()]
        r.clear_history()
        result += [r.get_current_history_length(), r.get_history_item(1)]
    """, tmp_path)
    assert result == [4, None, "one", "d\u00e9j\u00e0", None,
                      ["two", "THREE", "d\u00e9j\u00e0"], 3, 0, None]


HISTORY_ERRORS = [
    ("remove_history_item(-1)", ValueError, "History index cannot be negative"),
    ("remove_history_item(5)", ValueError, "No history item at position 5"),
    ("remove_history_item(2)", ValueError, "No history item at position 2"),
    ("replace_history_item(-1, 'x')", ValueError, "History index cannot be negative"),
    ("replace_history_item(2, 'x')", ValueError, "No history item at position 2"),
    ("replace_history_item(0, 1)", TypeError, None),
    ("add_history(None)", TypeError, None),
    ("add_history('nul\\0')", ValueError, None),
    ("get_history_item('1')", TypeError, None),
    ("remove_history_item(2**31)", OverflowError, None),
    ("set_history_length(2**31)", OverflowError, None),
    ("append_history_file()", TypeError, None),
]


def test_history_errors(tmp_path):
    # One child runs every case on a fresh two-entry history.
    outcomes = run_json("""
        result = []
        for call in %r:
            readline.clear_history()
            readline.add_history("a")
            readline.add_history("b")
            try:
                eval("readline." + call)
                result.append(None)
            except Exception as exc:
                result.append([type(exc).__name__, str(exc),
                               [readline.get_history_item(i) for i in (1, 2)]])
    """ % [call for call, _, _ in HISTORY_ERRORS], tmp_path)
    for (call, exc, message), outcome in zip(HISTORY_ERRORS, outcomes):
        assert outcome is not None, call
        assert outcome[0] == exc.__name__, call
        if message is not None:
            assert outcome[1] == message, call
        assert outcome[2] == ["a", "b"], call  # nothing changed


HOOKS = ["completer", "startup_hook", "pre_input_hook", "completion_display_matches_hook"]


@pytest.mark.parametrize("hook", HOOKS)
def test_hook_setting(tmp_path, hook):
    result = run_json(f"""
        setter = readline.set_{hook}
        def first(*args): pass
        def current():
            # Only the completer can be read back; the others are seen by the
            # module's references to them.
            if "{hook}" == "completer":
                return readline.get_completer() is first
            return any(r is first for r in __import__("gc").get_referents(readline))
        setter(first)
        result = [current()]
        try:
            setter(42)
        except TypeError as exc:
            result.append(str(exc))
        result.append(current())
        setter(None)
        result.append(current())
        setter(first)
        setter()
        result.append(current())
        try:
            setter(first, first)
        except TypeError:
            result.append("two arguments refused")
    """, tmp_path)
    assert result == [True, f"set_{hook}(func): argument not callable", True, False, False,
                      "two arguments refused"]


def test_display_hook_reaches_the_library(tmp_path):
    # With no Python display hook, GNU Readline's own display is back.
    result = run_json("""
        pointer = lambda: ctypes.c_void_p.in_dll(lib, "rl_completion_display_matches_hook").value
        result = [pointer() is None]
        readline.set_completion_display_matches_hook(print)
        result.append(pointer() is not None)
        try:
            readline.set_completion_display_matches_hook(3)
        except TypeError:
            pass
        result.append(pointer() is not None)
        readline.set_completion_display_matches_hook(None)
        result.append(pointer() is None)
    """, tmp_path)
    assert result == [True, True, True, True]


def test_hooks_do_not_leak(tmp_path):
    run("""
        import sys
        def hook(*args): pass
        before = sys.getrefcount(hook)
        for _ in range(1000):
            readline.set_completer(hook)
            readline.get_completer()
            readline.set_startup_hook(hook)
            readline.set_completion_display_matches_hook(hook)
            readline.get_begidx()
        assert sys.getrefcount(hook) == before + 3, (before, sys.getrefcount(hook))
        readline.set_completer()
        readline.set_startup_hook()
        readline.set_completion_display_matches_hook()
        assert sys.getrefcount(hook) == before
    """, tmp_path)


def lines(path):
    return path.read_text().splitlines()


def test_history_files(tmp_path):
    target = tmp_path / "hist"
    run(f"""
        import pathlib
        for i in range(5):
            readline.add_history(f"line {{i}}")
        readline.write_history_file({str(target)!r})
        readline.clear_history()
        readline.read_history_file(pathlib.Path({str(target)!r}))
        assert [readline.get_history_item(i) for i in range(1, 6)] == [f"line {{i}}" for i in range(5)]
        readline.read_history_file({str(target).encode()!r})
        assert readline.get_current_history_length() == 10
    """, tmp_path)
    assert lines(target) == [f"line {i}" for i in range(5)]


@pytest.mark.parametrize("limit,kept", [(3, 3), (0, 0), (-1, 6), (10, 6)])
def test_history_length_truncates_written_files(tmp_path, limit, kept):
    written, appended = tmp_path / "written", tmp_path / "appended"
    result = run_json(f"""
        readline.set_history_length({limit})
        for i in range(6):
            readline.add_history(f"entry {{i}}")
        readline.write_history_file({str(written)!r})
        open({str(appended)!r}, "w").close()
        readline.append_history_file(4, {str(appended)!r})
        readline.append_history_file(2, {str(appended)!r})
        result = [readline.get_history_length(), readline.get_current_history_length()]
    """, tmp_path)
    # Truncation touches the file only; the list keeps everything.
    assert result == [limit, 6]
    expected = [f"entry {i}" for i in range(6)]
    assert lines(written) == expected[len(expected) - kept:]
    all_appended = expected[2:] + expected[4:]
    assert lines(appended) == (all_appended[len(all_appended) - kept:] if kept else [])


@pytest.mark.parametrize("count", [-1, -2**31, -2**31 + 2])
def test_negative_append_count_appends_nothing(tmp_path, count):
    # The library derives its first entry as length - count: near INT_MIN
    # that overflowed into a read far outside the history list.
    target = tmp_path / "appended"
    target.write_text("kept\n")
    result = run_json(f"""
        for i in range(3):
            readline.add_history(f"entry {{i}}")
        readline.append_history_file({count}, {str(target)!r})
        result = [readline.get_history_item(i) for i in (-2**31, -1, 0, 1, 3, 4, 2**31 - 1)]
    """, tmp_path)
    assert lines(target) == ["kept"]
    assert result == [None, None, None, "entry 0", "entry 2", None, None]


def test_default_history_file_is_in_home(tmp_path):
    run("""
        readline.add_history("x = 1")
        readline.write_history_file()
        readline.append_history_file(1, None)
        readline.clear_history()
        readline.read_history_file()
        assert readline.get_current_history_length() == 2
    """, tmp_path)
    assert lines(tmp_path / ".history") == ["x = 1", "x = 1"]


FILE_ERRORS = [
    ("read_history_file", "missing", errno.ENOENT),
    ("read_history_file", "dir", errno.EINVAL),  # the library wants a regular file
    ("write_history_file", "missing/sub", errno.ENOENT),
    ("write_history_file", "dir", errno.EISDIR),
    ("append_history_file", "missing", errno.ENOENT),
    ("read_init_file", "missing", errno.ENOENT),
]


@pytest.mark.parametrize("function,name,code", FILE_ERRORS)
def test_file_errors_carry_the_library_errno(tmp_path, function, name, code):
    (tmp_path / "dir").mkdir()
    path = str(tmp_path / name)
    args = f"1, {path!r}" if function == "append_history_file" else repr(path)
    result = run_json(f"""
        readline.add_history("kept")
        try:
            readline.{function}({args})
            result = None
        except OSError as exc:
            result = [exc.errno, exc.strerror, exc.filename, readline.get_history_item(1)]
    """, tmp_path)
    assert result == [code, __import__("os").strerror(code), None, "kept"]


def test_file_name_types(tmp_path):
    result = run_json("""
        result = []
        for bad in [3, "nul\\0byte"]:
            try:
                readline.write_history_file(bad)
            except (TypeError, ValueError) as exc:
                result.append(type(exc).__name__)
    """, tmp_path)
    assert result == ["TypeError", "ValueError"]


def test_init_file_and_parse_and_bind(tmp_path):
    init = tmp_path / "init"
    init.write_text("$if python\nset history-size 2\n$endif\n")
    result = run_json(f"""
        result = []
        readline.read_init_file({str(init)!r})
        for line in "abc":
            readline.add_history(line)
        result.append(readline.get_current_history_length())
        readline.parse_and_bind("set history-size 4")
        for line in "defg":
            readline.add_history(line)
        result.append(readline.get_current_history_length())
        readline.parse_and_bind("set completion-query-items 17")
        result.append(rl_variable("completion-query-items"))
        # Re-reading the last file read comes back to two entries.
        readline.read_init_file()
        result.append(readline.get_current_history_length())
    """, tmp_path)
    assert result == [2, 4, "17", 2]


def test_completer_delims(tmp_path):
    result = run_json("""
        result = []
        read = lambda: ctypes.c_char_p.in_dll(lib, "rl_completer_word_break_characters").value.decode()
        for delims in [" .", "", "\\u00e9 ", " \\t\\n;"]:
            readline.set_completer_delims(delims)
            result.append([readline.get_completer_delims(), read()])
        try:
            readline.set_completer_delims(None)
        except TypeError:
            result.append(readline.get_completer_delims())
        # With no set of its own the library uses its basic one; so do we.
        ctypes.c_void_p.in_dll(lib, "rl_completer_word_break_characters").value = None
        basic = ctypes.c_char_p.in_dll(lib, "rl_basic_word_break_characters").value.decode()
        result.append(readline.get_completer_delims() == basic != "")
    """, tmp_path)
    assert result == [[" .", " ."], ["", ""], ["\u00e9 ", "\u00e9 "], [" \t\n;", " \t\n;"], " \t\n;", True]


def test_line_buffer_and_insert_text(tmp_path):
    result = run_json("""
        readline.insert_text("print(")
        readline.insert_text("'\\u00e9')")
        result = [readline.get_line_buffer()]
    """, tmp_path)
    assert result == ["print('\u00e9')"]


def test_module_references_are_visible_to_the_collector(tmp_path):
    # A completer that refers to itself through the module is collectable
    # once removed, and visible while set.
    run("""
        import gc, weakref
        class Completer:
            def __call__(self, text, state):
                return None
        c = Completer()
        c.module = readline
        readline.set_completer(c)
        assert c in gc.get_referents(readline)
        ref = weakref.ref(c)
        del c
        gc.collect()
        assert ref() is not None
        readline.set_completer(None)
        gc.collect()
        assert ref() is None
    """, tmp_path)


def test_loading_again_starts_afresh(tmp_path):
    # A second load runs the set-up again: a new state, the initial delimiters.
    run("""
        first = readline
        first.set_completer_delims("xyz")
        first.set_completer(print)
        second = _load("readline", first.__file__)
        assert second is not first
        assert second.get_completer_delims() == first.get_completer_delims() == %r
        # The newest module is the one the library's callbacks find.
        assert second.get_completer() is None and first.get_completer() is None
    """ % INITIAL_DELIMS, tmp_path)
