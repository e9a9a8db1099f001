# krellune against the fake OSS driver: what each call sends to the device
# (from the driver's log), what comes back, and the audio that arrives.
import json
import os

import pytest

import harness
import ossdriver

HERE = os.path.dirname(os.path.abspath(__file__))
with open(os.path.join(HERE, "driver_child.py")) as f:
    CHILD = f.read()

SETFMT = "0xc0045005 SNDCTL_DSP_SETFMT"
CHANNELS = "0xc0045006 SNDCTL_DSP_CHANNELS"
SPEED = "0xc0045002 SNDCTL_DSP_SPEED"
GETOSPACE = "dsp ioctl 0x8010500c SNDCTL_DSP_GETOSPACE -> 16,16,4096,65536"
FRAME_QUERY = [f"dsp ioctl {SETFMT} in=0 -> 8", f"dsp ioctl {CHANNELS} in=0 -> 1", GETOSPACE]
SYNC = ["dsp ioctl 0x5001 SNDCTL_DSP_SYNC arg=0x0 -> 0"]
GETOPTR = ["dsp ioctl 0x800c5012 SNDCTL_DSP_GETOPTR -> 0,0,0"]


def mixer(request, name, shown, answer):
    return [f"mixer ioctl {request} {name}{shown} -> {answer}"]


# (device, call, what the driver saw, result)
REQUESTS = [
    ("w", "setfmt(krellune.AFMT_S16_LE)", [f"dsp ioctl {SETFMT} in=16 -> 16"], 16),
    ("w", "setfmt(krellune.AFMT_MPEG)", [f"dsp ioctl {SETFMT} in=512 -> 8"], 8),
    ("w", "channels(2)", [f"dsp ioctl {CHANNELS} in=2 -> 2"], 2),
    ("w", "speed(44100)", [f"dsp ioctl {SPEED} in=44100 -> 44100"], 44100),
    ("w", "getfmts()", ["dsp ioctl 0x8004500b SNDCTL_DSP_GETFMTS -> 507"], 507),
    ("w", "nonblock()", ["dsp ioctl 0x500e SNDCTL_DSP_NONBLOCK arg=0x0 -> 0"], None),
    ("w", "sync()", SYNC, None),
    ("w", "flush()", SYNC, None),
    ("w", "reset()", ["dsp ioctl 0x5000 SNDCTL_DSP_RESET arg=0x0 -> 0"], None),
    ("w", "post()", ["dsp ioctl 0x5008 SNDCTL_DSP_POST arg=0x0 -> 0"], None),
    ("r", "getptr()", ["dsp ioctl 0x800c5011 SNDCTL_DSP_GETIPTR -> 0,0,0"], [0, 0, 0]),
    ("w", "getptr()", GETOPTR, [0, 0, 0]),
    ("rw", "getptr()", GETOPTR, [0, 0, 0]),
    ("w", "setparameters(16, 2, 44100)",
     [f"dsp ioctl {SETFMT} in=16 -> 16", f"dsp ioctl {CHANNELS} in=2 -> 2", f"dsp ioctl {SPEED} in=44100 -> 44100"],
     [16, 2, 44100]),
    ("w", "bufsize()", FRAME_QUERY, 65536),
    ("w", "obufcount()", FRAME_QUERY, 0),
    ("w", "obuffree()", FRAME_QUERY, 65536),
    ("w", "write(b'abc')", ["dsp write 3 -> 3"], 3),
    ("w", "writeall(b'abcd')", ["dsp write 4 -> 4"], None),
    ("w", "writeall(b'')", [], None),
    ("r", "read(5) == pattern(5)", ["dsp read 5 -> 5"], True),
    ("r", "read(0)", [], ""),
    ("w", "fileno() > 2", [], True),
    ("w", "close()", ["dsp close"], None),
    ("mixer", "controls()", mixer("0x80044dfe", "SOUND_MIXER_READ_DEVMASK", "", 33554431), 33554431),
    ("mixer", "stereocontrols()", mixer("0x80044dfb", "SOUND_MIXER_READ_STEREODEVS", "", 127), 127),
    ("mixer", "reccontrols()", mixer("0x80044dfd", "SOUND_MIXER_READ_RECMASK", "", 192), 192),
    ("mixer", "get_recsrc()", mixer("0x80044dff", "SOUND_MIXER_READ_RECSRC", "", 128), 128),
    ("mixer", "set_recsrc(0x40)", mixer("0xc0044dff", "SOUND_MIXER_WRITE_RECSRC", " in=64", 64), 64),
    # Only channels that can record become sources: the driver's answer counts.
    ("mixer", "set_recsrc(0xff)", mixer("0xc0044dff", "SOUND_MIXER_WRITE_RECSRC", " in=255", 192), 192),
    ("mixer", "get(24)", mixer("0x80044d18", "SOUND_MIXER_READ(n)", "", 0), [0, 0]),
    ("mixer", "set(4, (30, 70))", mixer("0xc0044d04", "SOUND_MIXER_WRITE(n)", " in=17950", 17950), [30, 70]),
    ("mixer", "set(0, (0, 0))", mixer("0xc0044d00", "SOUND_MIXER_WRITE(n)", " in=0", 0), [0, 0]),
    ("mixer", "set(24, (100, 100))", mixer("0xc0044d18", "SOUND_MIXER_WRITE(n)", " in=25700", 25700), [100, 100]),
    ("mixer", "fileno() > 2", [], True),
    ("mixer", "close()", ["mixer close"], None),
]

QUERIES = "result = [attempt(q) for q in (d.bufsize, d.obufcount, d.obuffree)]"
CLOSED = "Operation on closed OSS device."
AUDIO_CALLS = ["read(1)", "read('x')", "write(b'x')", "write(1)", "writeall(b'x')", "fileno()", "nonblock()",
               "setfmt(8)", "setfmt()", "getfmts()", "channels(1)", "speed(8000)", "sync()", "reset()", "post()",
               "setparameters(8, 1, 8000)", "setparameters()", "bufsize()", "obufcount()", "obuffree()",
               "getptr()", "flush()", "flush(1)"]
MIXER_CALLS = ["fileno()", "controls()", "controls(1)", "stereocontrols()", "reccontrols()", "get(0)", "get(99)",
               "set(0, (1, 1))", "set(99, (999, 1))", "get_recsrc()", "set_recsrc(1)", "set_recsrc()"]
SIGNAL = """
calls = []
signal.signal(signal.SIGALRM, lambda *a: calls.append(a[0]))
signal.setitimer(signal.ITIMER_REAL, 0.05)
"""
DATA = "data = bytes(range(256)) * 40 + os.urandom(5000)\n"

# (id, driver settings, code, outcome: {"value": ...} or {"error": [...]}, log or None)
CASES = [
    ("strict rate", ["rate=48000"], "result = d.setparameters(16, 2, 44100, 1)",
     {"error": ["OSSAudioError", "unable to set requested rate (wanted 44100, got 48000)", None, None]},
     [f"dsp ioctl {SETFMT} in=16 -> 16", f"dsp ioctl {CHANNELS} in=2 -> 2", f"dsp ioctl {SPEED} in=44100 -> 48000"]),
    ("lenient rate", ["rate=48000"], "result = d.setparameters(16, 2, 44100)", {"value": [16, 2, 48000]}, None),
    ("strict format", [], "result = d.setparameters(512, 2, 44100, 1)",
     {"error": ["OSSAudioError", "unable to set requested format (wanted 512, got 8)", None, None]},
     [f"dsp ioctl {SETFMT} in=512 -> 8"]),
    ("strict channels", ["channels=1"], "result = d.setparameters(16, 2, 8000, 1)",
     {"error": ["OSSAudioError", "unable to set requested channels (wanted 2, got 1)", None, None]},
     [f"dsp ioctl {SETFMT} in=16 -> 16", f"dsp ioctl {CHANNELS} in=2 -> 1"]),
    ("strict match", [], "result = d.setparameters(16, 1, 8000, 1)", {"value": [16, 1, 8000]}, None),
    ("failing request", ["fail=0xc0045006:16"], "result = d.setparameters(16, 2, 8000)",
     {"error": ["OSError", "[Errno 16] Device or resource busy", 16, None]}, None),
    ("queue S16 stereo", ["ospace=4,16,1024,4096"], "d.setparameters(16, 2, 8000)\n" + QUERIES,
     {"value": [4096, 3072, 1024]}, None),
    ("queue U8 mono", ["ospace=4,16,1024,4096"], QUERIES, {"value": [16384, 12288, 4096]}, None),
    ("queue past 32 bits", ["ospace=1,65536,65536,65536"], QUERIES,
     {"value": [4294967296, 4294901760, 65536]}, None),
    *[(f"queue {name}", [f"formats={507 | code}"], f"d.setfmt({code})\n" + QUERIES,
       {"value": [["OSError", "[Errno 95] Operation not supported"]] * 3}, None)
      for name, code in [("MPEG", 512), ("AC3", 1024), ("IMA_ADPCM", 4)]],
    *[(f"queue with {count} channels", [f"channels={count}"], QUERIES,
       {"value": [["OSError", "[Errno 5] Input/output error"]] * 3}, None) for count in (0, -1)],
    ("queue refused", ["fail=0x8010500c:22"], QUERIES, {"value": [["OSError", "[Errno 22] Invalid argument"]] * 3},
     None),
    ("fixed pointers", ["optr=1,2,3", "iptr=4,5,6"],
     "result = [d.getptr(), krellune.open('r').getptr(), krellune.open('rw').getptr()]",
     {"value": [[1, 2, 3], [4, 5, 6], [1, 2, 3]]}, None),
    ("open refused", ["fail=0x8004500b:19"], "since = mark()\nkrellune.open('w')",
     {"error": ["OSError", "[Errno 19] No such device: '/dev/dsp'", 19, "/dev/dsp"]},
     ["dsp open O_WRONLY|O_NONBLOCK", "dsp ioctl 0x8004500b SNDCTL_DSP_GETFMTS -> errno 19", "dsp close"]),
    ("open", [], "import fcntl\nsince = mark()\nd = krellune.open('rw')\n"
     "result = [d.name, d.mode, d.closed, fcntl.fcntl(d.fileno(), fcntl.F_GETFL) & os.O_NONBLOCK,"
     " os.get_inheritable(d.fileno()), krellune.open('r').mode, krellune.open('w').mode]",
     {"value": ["/dev/dsp", "rw", False, 0, False, "r", "w"]}, None),
    ("audio device type", [], "import gc\nkind = type(d)\n"
     "result = [kind.__module__, kind.__name__, kind.__doc__, gc.is_tracked(d), attempt(kind),"
     " attempt(type, 'sub', (kind,), {})]",
     {"value": ["krellune", "oss_audio_device", None, False,
                ["TypeError", "cannot create 'krellune.oss_audio_device' instances"],
                ["TypeError", "type 'krellune.oss_audio_device' is not an acceptable base type"]]}, None),
    # select watches descriptors below 1024 only; plain writes go anywhere.
    ("descriptor beyond select", [],
     "low = [os.open('/dev/null', os.O_RDONLY)]\nlow += [os.open('/dev/null', 0) for _ in range(1023 - low[0])]\n"
     "high = krellune.open('w')\nsince = mark()\n"
     "result = [high.fileno(), attempt(high.writeall, b'x'), high.write(b'x'), d.writeall(b'y')]\n"
     "for fd in low:\n    os.close(fd)",
     {"value": [1024, ["ValueError", "file descriptor out of range for select"], 1, None]},
     ["dsp write 1 -> 1", "dsp write 1 -> 1"]),
    ("slow read lets other threads run", ["read_delay_ms=300"],
     "r = krellune.open('r')\nticks = []\nstop = []\n"
     "def tick():\n    while not stop:\n        ticks.append(1)\n        time.sleep(0.01)\n"
     "t = threading.Thread(target=tick)\nt.start()\ntime.sleep(0.05)\nbefore = len(ticks)\nr.read(3)\n"
     "result = len(ticks) - before > 5\nstop.append(1)\nt.join()", {"value": True}, None),
    ("short write", ["short_write=777"], DATA + "result = [d.write(data), audio() == data[:777]]",
     {"value": [777, True]}, None),
    ("writeall through short writes", ["short_write=777"],
     DATA + "d.writeall(data)\nresult = [audio() == data, log(since).count('dsp write 15240 -> 777')]",
     {"value": [True, 1]}, None),
    ("signal while writeall waits", ["poll_block_ms=150", "short_write=4000"],
     DATA + SIGNAL + "d.writeall(data)\nresult = [audio() == data, calls]", {"value": [True, [14]]}, None),
    ("signal handler fails writeall", ["poll_block_ms=150", "short_write=5"],
     "signal.signal(signal.SIGALRM, lambda *a: 1 / 0)\nsignal.setitimer(signal.ITIMER_REAL, 0.05)\n"
     "since = mark()\nd.writeall(b'x' * 10)",
     {"error": ["ZeroDivisionError", "division by zero", None, None]}, ["dsp write 10 -> 5"]),
    ("signal during a slow write", ["write_delay_ms=300"], SIGNAL + "result = [d.write(b'y' * 500), calls]",
     {"value": [500, [14]]}, ["dsp write 500 -> interrupted", "dsp write 500 -> 500"]),
    ("signal during a slow read", ["read_delay_ms=300"],
     "d = krellune.open('r')\nsince = mark()\n" + SIGNAL + "result = [d.read(64) == pattern(64), calls]",
     {"value": [True, [14]]}, ["dsp read 64 -> interrupted", "dsp read 64 -> 64"]),
    ("short reads", ["read_limit=10"], "d = krellune.open('r')\nsince = mark()\n"
     "result = [d.read(100) == pattern(10), d.read(5) == pattern(5, 10)]",
     {"value": [True, True]}, ["dsp read 100 -> 10", "dsp read 5 -> 5"]),
    ("negative read", [], "d = krellune.open('r')\nsince = mark()\nd.read(-1)",
     {"error": ["ValueError", "size must not be negative", None, None]}, []),
    ("flush takes no argument", [], "d.flush(1)",
     {"error": ["TypeError", "sync() takes exactly 0 arguments (1 given)", None, None]}, []),
    ("sync lets other threads run", ["sync_delay_ms=300"],
     "ticks = []\nstop = []\n"
     "def tick():\n    while not stop:\n        ticks.append(1)\n        time.sleep(0.01)\n"
     "t = threading.Thread(target=tick)\nt.start()\ntime.sleep(0.05)\nbefore = len(ticks)\nd.sync()\n"
     "result = len(ticks) - before > 5\nstop.append(1)\nt.join()", {"value": True},
     ["dsp sync waits 300 ms"] + SYNC),
    # Both closers find the device open only in a faulty close: the second
    # would then close whatever file took the number meanwhile.
    ("two threads close one device", ["close_delay_ms=300"],
     "fd = d.fileno()\nsince = mark()\nt = threading.Thread(target=d.close)\nt.start()\n"
     "while 'dsp close' not in log(since):\n    time.sleep(0.005)\n"
     "other = os.open('/dev/null', os.O_RDONLY)\nd.close()\nt.join()\n"
     "result = [other == fd, os.fstat(other).st_rdev == os.stat('/dev/null').st_rdev, d.closed]\nos.close(other)",
     {"value": [True, True, True]}, ["dsp close"]),
    # The number stays the device's until the request using it ends: a file
    # opened meanwhile gets another, and the request never reaches it.
    ("close while sync waits", ["sync_delay_ms=300"],
     "fd = d.fileno()\nsince = mark()\nt = threading.Thread(target=d.sync)\nt.start()\n"
     "while 'dsp sync waits 300 ms' not in log(since):\n    time.sleep(0.005)\n"
     "d.close()\nheld = os.fstat(fd).st_ino == os.stat('/dev/dsp').st_ino\n"
     "other = os.open('/dev/null', os.O_RDONLY)\nt.join()\n"
     "result = [d.closed, held, other != fd, attempt(os.fstat, fd)]\nos.close(other)",
     {"value": [True, True, True, ["OSError", "[Errno 9] Bad file descriptor"]]},
     ["dsp sync waits 300 ms"] + SYNC + ["dsp close"]),
    ("closed audio device", [], "d.close()\nsince = mark()\n"
     f"result = [attempt(eval, 'd.' + c, {{'d': d}}) for c in {AUDIO_CALLS!r}]\n"
     "with d:\n    pass\nresult += [d.close(), d.closed, d.name, d.mode]",
     {"value": [["ValueError", CLOSED]] * len(AUDIO_CALLS) + [None, True, "/dev/dsp", "w"]}, []),
    ("closed mixer", [], "m = krellune.openmixer()\nm.close()\nsince = mark()\n"
     f"result = [attempt(eval, 'm.' + c, {{'m': m}}) for c in {MIXER_CALLS!r}]\n"
     "with m:\n    pass\nresult.append(m.close())",
     {"value": [["ValueError", CLOSED]] * len(MIXER_CALLS) + [None]}, []),
    ("with and deallocation close", [],
     "since = mark()\nwith krellune.open('w') as e:\n    e.write(b'z')\nf = krellune.open('w')\ndel f\n"
     "with krellune.openmixer() as g:\n    pass\nresult = e.closed",
     {"value": True}, ["dsp open O_WRONLY|O_NONBLOCK", "dsp ioctl 0x8004500b SNDCTL_DSP_GETFMTS -> 507",
                       "dsp write 1 -> 1", "dsp close", "dsp open O_WRONLY|O_NONBLOCK",
                       "dsp ioctl 0x8004500b SNDCTL_DSP_GETFMTS -> 507", "dsp close", "mixer open O_RDWR",
                       "mixer close"]),
    ("AUDIODEV", [], "since = mark()\nos.environ['AUDIODEV'] = '/run/oss/fs/dsp'\nresult = krellune.open('w').name",
     {"value": "/run/oss/fs/dsp"}, None),
    ("AUDIODEV missing", [], "os.environ['AUDIODEV'] = '/run/oss/none'\nkrellune.open('w')",
     {"error": ["FileNotFoundError", "[Errno 2] No such file or directory: '/run/oss/none'", 2, "/run/oss/none"]},
     None),
    ("device beats AUDIODEV", [], "os.environ['AUDIODEV'] = '/run/oss/none'\n"
     "result = krellune.open('/dev/dsp', 'r').name", {"value": "/dev/dsp"}, None),
    ("no AUDIODEV", [], "os.environ.pop('AUDIODEV', None)\nresult = krellune.open('w').name",
     {"value": "/dev/dsp"}, None),
    ("MIXERDEV", [], "since = mark()\nos.environ['MIXERDEV'] = '/dev/dsp'\nkrellune.openmixer().close()",
     {"value": None}, ["dsp open O_RDWR", "dsp close"]),
    ("MIXERDEV missing", [], "os.environ['MIXERDEV'] = '/run/oss/none'\nkrellune.openmixer()",
     {"error": ["FileNotFoundError", "[Errno 2] No such file or directory: '/run/oss/none'", 2, "/run/oss/none"]},
     None),
    ("device beats MIXERDEV", [], "since = mark()\nos.environ['MIXERDEV'] = '/run/oss/none'\n"
     "krellune.openmixer('/dev/mixer').close()", {"value": None}, ["mixer open O_RDWR", "mixer close"]),
    ("no MIXERDEV", [], "since = mark()\nos.environ.pop('MIXERDEV', None)\nkrellune.openmixer().close()",
     {"value": None}, ["mixer open O_RDWR", "mixer close"]),
    ("volume read back", ["volume=5:0x12345678"], "result = krellune.openmixer().get(5)", {"value": [0x78, 0x56]},
     None),
    ("volume the driver keeps", ["volume_answer=0x1234"],
     "m = krellune.openmixer()\nsince = mark()\nresult = m.set(3, (30, 70))", {"value": [0x34, 0x12]},
     mixer("0xc0044d03", "SOUND_MIXER_WRITE(n)", " in=17950", 4660)),
    *[(f"mixer refuses {call}", [], f"m = krellune.openmixer()\nsince = mark()\nm.{call}",
       {"error": ["OSSAudioError", message, None, None]}, [])
      for call, message in [
          ("get(25)", "Invalid mixer channel specified."), ("get(-1)", "Invalid mixer channel specified."),
          ("set(25, (0, 0))", "Invalid mixer channel specified."),
          ("set(-1, (101, -1))", "Invalid mixer channel specified."),
          ("set(0, (101, 0))", "Volumes must be between 0 and 100."),
          ("set(0, (0, 101))", "Volumes must be between 0 and 100."),
          ("set(0, (-1, 0))", "Volumes must be between 0 and 100."),
          ("set(0, (0, -1))", "Volumes must be between 0 and 100.")]],
]


def request_code(device, call):
    opener = "krellune.openmixer()" if device == "mixer" else f"krellune.open({device!r})"
    return f"d = {opener}\nsince = mark()\nresult = d.{call}"


@pytest.fixture(autouse=True)
def host_unchanged():
    # The driver's files appear only in the namespaces' private /dev.
    before = [os.path.lexists(p) for p in ("/dev/dsp", "/dev/mixer")]
    yield
    assert [os.path.lexists(p) for p in ("/dev/dsp", "/dev/mixer")] == before


# Requests that qemu-i386 translates otherwise than the kernel passes them:
# its table lacks the monitor channel's, and it declares mixer writes as
# input only, so the driver's answer never reaches the caller.
EMULATOR_GAPS = {
    "mixer get(24)": "the emulator's table of requests has no SOUND_MIXER_READ(24)",
    "mixer set(24, (100, 100))": "the emulator's table of requests has no SOUND_MIXER_WRITE(24)",
    "mixer set_recsrc(0xff)": "the emulator does not copy back the driver's answer to a mixer write",
    "volume the driver keeps": "the emulator does not copy back the driver's answer to a mixer write",
}


def emulator_skip(case_id, code=""):
    """Why the emulator cannot show this case, or None (also when not emulated)."""
    if not harness.EMULATED:
        return None
    if "threading." in code:
        return harness.EMULATED_THREADS_AND_SIGNALS
    return EMULATOR_GAPS.get(case_id)


@pytest.fixture(scope="module")
def outcomes():
    cases = [{"id": f"{device} {call}", "code": request_code(device, call)} for device, call, _, _ in REQUESTS]
    cases += [{"id": name, "settings": settings, "code": code}
              for name, settings, code, _, _ in CASES if emulator_skip(name, code) is None]
    return ossdriver.run(CHILD, env={"OSS_CASES": json.dumps(cases)}, timeout=120)


@pytest.mark.parametrize("device,call,sent,result", REQUESTS, ids=[f"{d} {c}" for d, c, _, _ in REQUESTS])
def test_each_call_sends_its_request(outcomes, device, call, sent, result):
    if reason := emulator_skip(f"{device} {call}"):
        pytest.skip(reason)
    assert outcomes[f"{device} {call}"] == {"value": result, "log": sent}


@pytest.mark.parametrize("name,settings,code,outcome,sent", CASES, ids=[c[0] for c in CASES])
def test_driver_cases(outcomes, name, settings, code, outcome, sent):
    if reason := emulator_skip(name, code):
        pytest.skip(reason)
    got = dict(outcomes[name])
    seen = got.pop("log")
    assert got == outcome
    if sent is not None:
        assert seen == sent
