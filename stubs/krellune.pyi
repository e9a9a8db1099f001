# OSS audio and mixer devices: playing and recording through /dev/dsp, volumes through /dev/mixer.
from _typeshed import ReadableBuffer
from typing import final, overload, type_check_only

# Format codes: bits of the mask getfmts() returns, values for setfmt().
AFMT_AC3: int
AFMT_A_LAW: int
AFMT_IMA_ADPCM: int
AFMT_MPEG: int
AFMT_MU_LAW: int
AFMT_QUERY: int
AFMT_S16_BE: int
AFMT_S16_LE: int
AFMT_S16_NE: int
AFMT_S8: int
AFMT_U16_BE: int
AFMT_U16_LE: int
AFMT_U8: int
# Mixer channels 0..24 (SOUND_MIXER_NRDEVICES is 25): indexes of control_names and control_labels.
SOUND_MIXER_ALTPCM: int
SOUND_MIXER_BASS: int
SOUND_MIXER_CD: int
SOUND_MIXER_DIGITAL1: int
SOUND_MIXER_DIGITAL2: int
SOUND_MIXER_DIGITAL3: int
SOUND_MIXER_IGAIN: int
SOUND_MIXER_IMIX: int
SOUND_MIXER_LINE: int
SOUND_MIXER_LINE1: int
SOUND_MIXER_LINE2: int
SOUND_MIXER_LINE3: int
SOUND_MIXER_MIC: int
SOUND_MIXER_MONITOR: int
SOUND_MIXER_NRDEVICES: int
SOUND_MIXER_OGAIN: int
SOUND_MIXER_PCM: int
SOUND_MIXER_PHONEIN: int
SOUND_MIXER_PHONEOUT: int
SOUND_MIXER_RADIO: int
SOUND_MIXER_RECLEV: int
SOUND_MIXER_SPEAKER: int
SOUND_MIXER_SYNTH: int
SOUND_MIXER_TREBLE: int
SOUND_MIXER_VIDEO: int
SOUND_MIXER_VOLUME: int
# OSS request numbers as the kernel takes them (signed 32-bit: read requests are negative).
SNDCTL_COPR_HALT: int
SNDCTL_COPR_LOAD: int
SNDCTL_COPR_RCODE: int
SNDCTL_COPR_RCVMSG: int
SNDCTL_COPR_RDATA: int
SNDCTL_COPR_RESET: int
SNDCTL_COPR_RUN: int
SNDCTL_COPR_SENDMSG: int
SNDCTL_COPR_WCODE: int
SNDCTL_COPR_WDATA: int
SNDCTL_DSP_BIND_CHANNEL: int
SNDCTL_DSP_CHANNELS: int
SNDCTL_DSP_GETBLKSIZE: int
SNDCTL_DSP_GETCAPS: int
SNDCTL_DSP_GETCHANNELMASK: int
SNDCTL_DSP_GETFMTS: int
SNDCTL_DSP_GETIPTR: int
SNDCTL_DSP_GETISPACE: int
SNDCTL_DSP_GETODELAY: int
SNDCTL_DSP_GETOPTR: int
SNDCTL_DSP_GETOSPACE: int
SNDCTL_DSP_GETSPDIF: int
SNDCTL_DSP_GETTRIGGER: int
SNDCTL_DSP_MAPINBUF: int
SNDCTL_DSP_MAPOUTBUF: int
SNDCTL_DSP_NONBLOCK: int
SNDCTL_DSP_POST: int
SNDCTL_DSP_PROFILE: int
SNDCTL_DSP_RESET: int
SNDCTL_DSP_SAMPLESIZE: int
SNDCTL_DSP_SETDUPLEX: int
SNDCTL_DSP_SETFMT: int
SNDCTL_DSP_SETFRAGMENT: int
SNDCTL_DSP_SETSPDIF: int
SNDCTL_DSP_SETSYNCRO: int
SNDCTL_DSP_SETTRIGGER: int
SNDCTL_DSP_SPEED: int
SNDCTL_DSP_STEREO: int
SNDCTL_DSP_SUBDIVIDE: int
SNDCTL_DSP_SYNC: int
SNDCTL_FM_4OP_ENABLE: int
SNDCTL_FM_LOAD_INSTR: int
SNDCTL_MIDI_INFO: int
SNDCTL_MIDI_MPUCMD: int
SNDCTL_MIDI_MPUMODE: int
SNDCTL_MIDI_PRETIME: int
SNDCTL_SEQ_CTRLRATE: int
SNDCTL_SEQ_GETINCOUNT: int
SNDCTL_SEQ_GETOUTCOUNT: int
SNDCTL_SEQ_GETTIME: int
SNDCTL_SEQ_NRMIDIS: int
SNDCTL_SEQ_NRSYNTHS: int
SNDCTL_SEQ_OUTOFBAND: int
SNDCTL_SEQ_PANIC: int
SNDCTL_SEQ_PERCMODE: int
SNDCTL_SEQ_RESET: int
SNDCTL_SEQ_RESETSAMPLES: int
SNDCTL_SEQ_SYNC: int
SNDCTL_SEQ_TESTMIDI: int
SNDCTL_SEQ_THRESHOLD: int
SNDCTL_SYNTH_CONTROL: int
SNDCTL_SYNTH_ID: int
SNDCTL_SYNTH_INFO: int
SNDCTL_SYNTH_MEMAVL: int
SNDCTL_SYNTH_REMOVESAMPLE: int
SNDCTL_TMR_CONTINUE: int
SNDCTL_TMR_METRONOME: int
SNDCTL_TMR_SELECT: int
SNDCTL_TMR_SOURCE: int
SNDCTL_TMR_START: int
SNDCTL_TMR_STOP: int
SNDCTL_TMR_TEMPO: int
SNDCTL_TMR_TIMEBASE: int

# Short lower-case names and display labels (padded to 5 characters), by channel.
control_labels: list[str]
control_names: list[str]

class OSSAudioError(Exception): ...

error = OSSAudioError

# Not published by the module: objects come from open() and openmixer() only.
@final
@type_check_only
class oss_audio_device:
    # Answered by the object itself; `name` and `mode` still answer once closed.
    @property
    def closed(self) -> bool: ...
    @property
    def name(self) -> str: ...
    # "r", "w" or "rw".
    @property
    def mode(self) -> str: ...
    # One read of at most `size` bytes; a negative size raises ValueError.
    def read(self, size: int, /) -> bytes: ...
    # One write: returns how many bytes the device took.
    def write(self, data: ReadableBuffer, /) -> int: ...
    # Waits and writes until all of `data` is taken.
    def writeall(self, data: ReadableBuffer, /) -> None: ...
    def close(self) -> None: ...
    def fileno(self) -> int: ...
    def nonblock(self) -> None: ...
    # setfmt, channels and speed return the value the driver settled on.
    def setfmt(self, format: int, /) -> int: ...
    def getfmts(self) -> int: ...
    def channels(self, nchannels: int, /) -> int: ...
    def speed(self, rate: int, /) -> int: ...
    def sync(self) -> None: ...
    def reset(self) -> None: ...
    def post(self) -> None: ...
    # (format, nchannels, rate) as the driver set them; with strict, a
    # difference raises OSSAudioError.
    def setparameters(self, format: int, nchannels: int, rate: int, strict: int = 0, /) -> tuple[int, int, int]: ...
    # Sizes of the output buffer in frames: all of it, queued, free.
    def bufsize(self) -> int: ...
    def obufcount(self) -> int: ...
    def obuffree(self) -> int: ...
    # (bytes, blocks, ptr) of the input pointer when opened "r", else of the output's.
    def getptr(self) -> tuple[int, int, int]: ...
    # The same as sync().
    def flush(self) -> None: ...
    def __enter__(self) -> oss_audio_device: ...
    def __exit__(self, *args: object) -> None: ...

@final
@type_check_only
class oss_mixer_device:
    def close(self) -> None: ...
    def fileno(self) -> int: ...
    def __enter__(self) -> oss_mixer_device: ...
    def __exit__(self, *args: object) -> None: ...
    # Bit masks of channels (bit n for channel n).
    def controls(self) -> int: ...
    def stereocontrols(self) -> int: ...
    def reccontrols(self) -> int: ...
    # Volumes are (left, right), each 0..100.
    def get(self, channel: int, /) -> tuple[int, int]: ...
    # Returns the volume the driver kept.
    def set(self, channel: int, value: tuple[int, int], /) -> tuple[int, int]: ...
    def get_recsrc(self) -> int: ...
    # Returns the sources the driver selected.
    def set_recsrc(self, bitmask: int, /) -> int: ...

# open(mode) or open(device, mode); mode "r", "w" or "rw". The device
# defaults to $AUDIODEV, else /dev/dsp.
@overload
def open(mode: str, /) -> oss_audio_device: ...
@overload
def open(device: str, mode: str, /) -> oss_audio_device: ...
# The device defaults to $MIXERDEV, else /dev/mixer; opened for reading and writing.
def openmixer(device: str = ..., /) -> oss_mixer_device: ...
