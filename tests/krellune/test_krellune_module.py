# krellune without a sound driver: what the module publishes, how open and
# openmixer find and refuse their devices, and the mixer object on a plain file.
import errno
import gc
import os
import struct
import subprocess
import sys

import pytest

import harness
import ossdriver

LABELS = ["Vol  ", "Bass ", "Trebl", "Synth", "Pcm  ", "Spkr ", "Line ", "Mic  ", "CD   ", "Mix  ", "Pcm2 ",
          "Rec  ", "IGain", "OGain", "Line1", "Line2", "Line3", "Digital1", "Digital2", "Digital3", "PhoneIn",
          "PhoneOut", "Video", "Radio", "Monitor"]
NAMES = ["vol", "bass", "treble", "synth", "pcm", "speaker", "line", "mic", "cd", "mix", "pcm2", "rec", "igain",
         "ogain", "line1", "line2", "line3", "dig1", "dig2", "dig3", "phin", "phout", "video", "radio", "monitor"]
CHANNELS = ["VOLUME", "BASS", "TREBLE", "SYNTH", "PCM", "SPEAKER", "LINE", "MIC", "CD", "IMIX", "ALTPCM", "RECLEV",
            "IGAIN", "OGAIN", "LINE1", "LINE2", "LINE3", "DIGITAL1", "DIGITAL2", "DIGITAL3", "PHONEIN", "PHONEOUT",
            "VIDEO", "RADIO", "MONITOR"]
FORMATS = {"AFMT_QUERY": 0, "AFMT_MU_LAW": 1, "AFMT_A_LAW": 2, "AFMT_IMA_ADPCM": 4, "AFMT_U8": 8,
           "AFMT_S16_LE": 16, "AFMT_S16_BE": 32, "AFMT_S8": 64, "AFMT_U16_LE": 128, "AFMT_U16_BE": 256,
           "AFMT_MPEG": 512, "AFMT_AC3": 1024, "AFMT_S16_NE": 16}
# Requests whose value shows the encoding at work; the last two hold a
# pointer, so their argument is 16 bytes on x86_64 and 8 on 32-bit x86.
TELLING = {"SNDCTL_DSP_RESET": 20480, "SNDCTL_DSP_SYNC": 20481, "SNDCTL_DSP_SPEED": -1073459198,
           "SNDCTL_DSP_SETFMT": -1073459195, "SNDCTL_DSP_SAMPLESIZE": -1073459195,
           "SNDCTL_DSP_CHANNELS": -1073459194, "SNDCTL_DSP_POST": 20488, "SNDCTL_DSP_GETFMTS": -2147201013,
           "SNDCTL_DSP_GETOSPACE": -2146414580, "SNDCTL_DSP_NONBLOCK": 20494, "SNDCTL_DSP_GETIPTR": -2146676719,
           "SNDCTL_DSP_GETOPTR": -2146676718, "SNDCTL_COPR_LOAD": -810532095, "SNDCTL_COPR_RCVMSG": -1885060343,
           "SNDCTL_MIDI_MPUCMD": -1071551230, "SNDCTL_TMR_START": 21506,
           **({"SNDCTL_DSP_MAPINBUF": -2146414573, "SNDCTL_DSP_MAPOUTBUF": -2146414572}
              if struct.calcsize("P") == 8 else
              {"SNDCTL_DSP_MAPINBUF": -2146938861, "SNDCTL_DSP_MAPOUTBUF": -2146938860})}


@pytest.fixture(scope="module")
def krellune(load):
    return load("krellune")


def header_requests():
    out = subprocess.run(harness.target_command([ossdriver.HEADER_CONSTANTS]), capture_output=True, text=True,
                         check=True).stdout
    return [(name, int(value, 16)) for name, value in (line.split() for line in out.splitlines())]


def signed32(value):
    return value - (1 << 32) if value & (1 << 31) else value


def test_module_surface(krellune):
    requests = header_requests()
    assert len(requests) == 73
    names = [n for n in vars(krellune) if not n.startswith("__")]
    assert names == (["open", "openmixer", "error", "OSSAudioError", "control_labels", "control_names"]
                     + list(FORMATS) + ["SOUND_MIXER_NRDEVICES"] + [f"SOUND_MIXER_{c}" for c in CHANNELS]
                     + [name for name, _ in requests])
    assert krellune.__doc__ is None and krellune.open.__doc__ is None and krellune.openmixer.__doc__ is None
    assert krellune.error is krellune.OSSAudioError
    assert krellune.error.__name__ == "OSSAudioError" and krellune.error.__module__ == "krellune"
    assert krellune.error.__bases__ == (Exception,)
    assert krellune.control_labels == LABELS and krellune.control_names == NAMES
    assert all(len(label) >= 5 for label in LABELS)
    for name, value in FORMATS.items():
        assert getattr(krellune, name) == value, name
    assert krellune.SOUND_MIXER_NRDEVICES == 25
    for number, channel in enumerate(CHANNELS):
        assert getattr(krellune, f"SOUND_MIXER_{channel}") == number
    for name, value in requests:
        assert getattr(krellune, name) == signed32(value), name
    for name, value in TELLING.items():
        assert getattr(krellune, name) == value, name


# Refused before the path is even looked at: no open is audited.
AUDIT_CHILD = """
import os, sys
events = []
sys.addaudithook(lambda event, args: events.append(args) if event == "open" else None)
os.environ["AUDIODEV"] = "/nonexistent/dsp"
for mode in ["x", "wr", "r ", "", "R"]:
    for args in [(mode,), ("/nonexistent/dsp", mode)]:
        try:
            krellune.open(*args)
        except krellune.OSSAudioError as exc:
            assert str(exc) == "mode must be 'r', 'w', or 'rw'", exc
assert events == [], events
for call in [lambda: krellune.open("w"), lambda: krellune.openmixer("/nonexistent/mixer")]:
    try:
        call()
    except FileNotFoundError as exc:
        print(exc.errno, exc.filename)
print(events)
"""


def test_modes_are_refused_before_the_path_and_opens_are_audited(krellune):
    if sys.version_info < (3, 8):
        pytest.skip("audit hooks came with 3.8")
    out = harness.run_child(AUDIT_CHILD, "krellune").stdout.splitlines()
    flags = os.O_WRONLY | os.O_NONBLOCK | os.O_CLOEXEC
    assert out == [f"{errno.ENOENT} /nonexistent/dsp", f"{errno.ENOENT} /nonexistent/mixer",
                   str([("/nonexistent/dsp", None, flags), ("/nonexistent/mixer", None, os.O_RDWR | os.O_CLOEXEC)])]


def open_fds():
    return sorted(os.listdir("/proc/self/fd"))


@pytest.mark.parametrize("mode", ["r", "w", "rw"])
def test_a_regular_file_is_no_audio_device(krellune, tmp_path, mode):
    path = tmp_path / "dsp"
    path.write_bytes(b"")
    before = open_fds()
    with pytest.raises(OSError) as info:
        krellune.open(str(path), mode)
    assert (type(info.value), info.value.errno, info.value.filename) == (OSError, errno.ENOTTY, str(path))
    assert open_fds() == before
    with pytest.raises(FileNotFoundError) as info:
        krellune.open(str(tmp_path / "missing"), mode)
    assert info.value.filename == str(tmp_path / "missing")


def test_mixer_on_a_regular_file(krellune, tmp_path):
    path = tmp_path / "mixer"
    path.write_bytes(b"")
    mixer = krellune.openmixer(str(path))
    kind = type(mixer)
    assert (kind.__module__, kind.__name__, kind.__doc__) == ("krellune", "oss_mixer_device", None)
    assert not gc.is_tracked(mixer)
    with pytest.raises(TypeError, match="^cannot create 'krellune.oss_mixer_device' instances$"):
        kind()
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("sub", (kind,), {})
    fd = mixer.fileno()
    assert os.get_inheritable(fd) is False and os.get_blocking(fd) is True
    # Every request reaches the file, which refuses it as the kernel says.
    for call in [mixer.controls, mixer.stereocontrols, mixer.reccontrols, mixer.get_recsrc,
                 lambda: mixer.set_recsrc(1), lambda: mixer.get(0), lambda: mixer.set(0, (1, 2))]:
        with pytest.raises(OSError) as info:
            call()
        assert info.value.errno == errno.ENOTTY
    with mixer as same:
        assert same is mixer
    assert mixer.close() is None
    with pytest.raises(OSError):
        os.fstat(fd)
