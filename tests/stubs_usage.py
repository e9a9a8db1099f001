"""A small program that uses every module through the package `extmods`.

tests/test_stubs.py type-checks it against stubs/ with mypy (it must pass
--strict), and runs it with the modules of the build standing in for the
package, so the types written down are also the ones that come back.
Functions that would touch the system (the log, the shadow file, the
terminal, the sound devices, a NIS server) are only type-checked, never
called.
"""
from __future__ import annotations

import curses
import types
from typing import List, Optional, Tuple

from extmods import (_crypt, _delvane, _fenwold, _gorblin, _quendle, _ventrol, _zanthor, kelpin, krellune, orvik,
                     readline, resource, syslog, tamvox, trevask, yelmap)


def complex_maths() -> None:
    root: complex = orvik.sqrt(-4)
    assert root == 2j
    r, phi = orvik.polar(1j)
    assert isinstance(r, float) and isinstance(phi, float)
    assert orvik.log(8, 2) == 3 and orvik.isclose(orvik.rect(2.0, 0), 2, abs_tol=1e-12)
    assert isinstance(orvik.isfinite(orvik.pi + orvik.e * 1j), bool)


def audio() -> None:
    fragment = bytes([1, 0, 255, 255])
    louder: bytes = tamvox.mul(fragment, 2, 2.0)
    assert tamvox.getsample(louder, 2, 1) == -2
    low, high = tamvox.minmax(bytearray(fragment), 2)
    assert (low, high) == (-1, 1)
    coded, state = tamvox.lin2adpcm(fragment, 2, None)
    decoded, _ = tamvox.adpcm2lin(coded, 2, state)
    assert isinstance(decoded, bytes) and len(decoded) == len(fragment)
    converted, rate_state = tamvox.ratecv(memoryview(fragment), 2, 1, 8000, 16000, None)
    d, history = rate_state
    assert isinstance(converted, bytes) and isinstance(d, int) and len(history) == 1
    offset, factor = tamvox.findfit(fragment * 4, fragment)
    assert isinstance(offset, int) and isinstance(factor, float)
    try:
        tamvox.add(fragment, fragment[:2], 2)
    except tamvox.error as exc:
        assert str(exc) == "Lengths should be the same"


def buffers() -> None:
    array = _delvane.ndarray([1, 2, 3, 4, 5, 6], shape=[2, 3], flags=_delvane.ND_WRITABLE)
    shape: Tuple[int, ...] = array.shape
    assert shape == (2, 3) and array.tobytes() == bytes([1, 2, 3, 4, 5, 6])
    assert _delvane.is_contiguous(array, "C") and not _delvane.is_contiguous(array, "F")
    start, stop, step, length = _delvane.slice_indices(slice(1, None), 10)
    assert (start, stop, step, length) == (1, 10, 1, 9)
    static: memoryview = _delvane.get_contiguous(_delvane.staticarray(), _delvane.PyBUF_READ, "C")
    assert static.tobytes()[:3] == b"\x00\x01\x02" and static.readonly
    assert _delvane.get_contiguous(array, _delvane.PyBUF_READ, "F").f_contiguous
    assert _delvane.py_buffer_to_contiguous(array, "F", _delvane.PyBUF_FULL_RO) == bytes([1, 4, 2, 5, 3, 6])


def profile() -> None:
    ticks = iter(range(1000))
    profiler = _quendle.Profiler(timer=lambda: next(ticks), timeunit=1.0, builtins=False)
    profiler.enable()
    sorted([3, 1, 2])
    profiler.disable()
    stats: List[_quendle.profiler_entry] = profiler.getstats()
    for entry in stats:
        calls: Optional[List[_quendle.profiler_subentry]] = entry.calls
        assert isinstance(entry.totaltime, float) and isinstance(entry.callcount, int)
        assert calls is None or all(isinstance(sub.inlinetime, float) for sub in calls)


def limits() -> None:
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    assert resource.prlimit(0, resource.RLIMIT_NOFILE) == (soft, hard)
    usage = resource.getrusage(resource.RUSAGE_SELF)
    utime: float = usage.ru_utime
    maxrss: int = usage.ru_maxrss
    assert isinstance(utime, float) and isinstance(maxrss, int) and usage[2] == maxrss
    assert resource.error is OSError and resource.getpagesize() > 0


def hashing() -> None:
    hashed: Optional[str] = _crypt.crypt("secret", "$6$saltsalt$")
    assert hashed is not None and hashed.startswith("$6$saltsalt$")
    assert _crypt.crypt("secret", "!!") is None


def logging_masks() -> None:
    assert syslog.LOG_MASK(syslog.LOG_ERR) == 8 and syslog.LOG_UPTO(syslog.LOG_DEBUG) == 255
    assert syslog.LOG_UPTO(40) == -1


def send_to_log(text: str) -> None:
    syslog.openlog("stubs-usage", syslog.LOG_PID, syslog.LOG_LOCAL0)
    syslog.syslog(text)
    syslog.syslog(syslog.LOG_ERR, text)
    syslog.closelog()


def password_age(user: str) -> Tuple[int, Optional[str]]:
    entry = kelpin.getspnam(user)
    names = [e.sp_namp for e in kelpin.getspall()]
    return entry.sp_lstchg, names[0] if names else None


def edit_line() -> str:
    readline.set_completer(lambda text, state: [text + "!"][state] if state == 0 else None)
    readline.parse_and_bind("tab: complete")
    readline.add_history("first")
    readline.write_history_file("/tmp/history")
    item: Optional[str] = readline.get_history_item(1)
    return item or readline.get_line_buffer()


def sound_constants() -> None:
    assert krellune.control_names[krellune.SOUND_MIXER_PCM] == "pcm" and len(krellune.control_labels) == 25
    assert krellune.error is krellune.OSSAudioError and krellune.AFMT_S16_NE == krellune.AFMT_S16_LE
    assert krellune.SNDCTL_DSP_GETFMTS < 0
    try:
        krellune.open("x")
    except krellune.OSSAudioError as exc:
        assert str(exc) == "mode must be 'r', 'w', or 'rw'"


def play(samples: bytes) -> Tuple[int, int, int]:
    with krellune.open("w") as dsp:
        fmt, channels, rate = dsp.setparameters(krellune.AFMT_S16_LE, 1, 8000, True)
        dsp.writeall(samples)
        written: int = dsp.write(memoryview(samples))
        dsp.sync()
        assert not dsp.closed and dsp.mode == "w" and dsp.name.startswith("/") and dsp.obuffree() >= 0
        played, _, _ = dsp.getptr()
    recorded: bytes = krellune.open("/dev/dsp", "r").read(16)
    with krellune.openmixer() as mixer:
        left, right = mixer.set(krellune.SOUND_MIXER_PCM, (30, 70))
        sources: int = mixer.set_recsrc(mixer.reccontrols() & mixer.get_recsrc())
    return written + played, len(recorded) + sources, left + right + fmt + channels + rate


def panel_versions() -> None:
    assert _ventrol.version == _ventrol.__version__ == "2.1" and issubclass(_ventrol.error, Exception)


def stack_panels(first: curses.window, second: curses.window) -> List[bool]:
    low = _ventrol.new_panel(first)
    high = _ventrol.new_panel(second)
    high.move(1, 2)
    low.replace(second)
    low.set_userptr({"name": "low"})
    user: object = low.userptr()
    low.top()
    _ventrol.update_panels()
    hidden = []
    panel = _ventrol.top_panel()
    while panel is not None:
        hidden.append(panel.hidden())
        panel = panel.below()
    shown: curses.window = high.window()
    return hidden + [user is not None, shown is second]


def nis_lookups(user: str) -> Tuple[str, int, List[str]]:
    entry: str = yelmap.match(user, "passwd")
    aliases = yelmap.cat(map="aliases", domain=yelmap.get_default_domain())
    return entry, len(aliases), yelmap.maps()


def nis_error() -> None:
    assert issubclass(yelmap.error, Exception) and yelmap.error.__module__ == "yelmap"


def templates() -> None:
    assert trevask.foo(2, 3) == 5 and _gorblin.foo(-1, 1) == 0
    xxo = trevask.new()
    xxo.colour = "blue"
    assert xxo.colour == "blue" and xxo.demo("x") == "x" and xxo.demo(1) is None
    assert isinstance(trevask.Str("a"), str) and issubclass(trevask.error, Exception)
    assert _gorblin.int_const == 1969 and _gorblin.str_const == "something different"
    assert isinstance(_gorblin.Str("s"), str)
    _zanthor.func()
    _zanthor.func_si("s", 1)
    assert isinstance(_fenwold, types.ModuleType)


def main() -> None:
    complex_maths()
    audio()
    buffers()
    profile()
    limits()
    hashing()
    logging_masks()
    sound_constants()
    panel_versions()
    nis_error()
    templates()


if __name__ == "__main__":
    main()
