import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "krellune"))
import ossdriver  # noqa: E402

# Runs in a private namespace where /dev/dsp and /dev/mixer are the files of
# our fake OSS driver, which logs each request and keeps the audio it gets.
CHILD = r"""
import json, math, zlib
rate, seconds, pitch = 8000, 0.2, 440
tone = b"".join(int(12000 * math.sin(2 * math.pi * pitch * n / rate)).to_bytes(2, "little", signed=True)
                for n in range(int(rate * seconds)))
with krellune.open("w") as dsp:
    got = dsp.setparameters(krellune.AFMT_S16_LE, 1, rate, 1)
    dsp.writeall(tone)
    dsp.sync()
session = log()
with krellune.openmixer() as mixer:
    pcm = mixer.set(krellune.SOUND_MIXER_PCM, (75, 60))
with open(STAGE + "/fs/ctl") as f:
    state = dict(item.split("=") for item in f.read().split())
received = audio()
print(json.dumps({"asked": got, "state": state, "bytes": len(received), "crc": zlib.crc32(received),
                  "same": received == tone, "pcm": pcm, "log": session}))
"""

FORMATS = {16: "AFMT_S16_LE", 8: "AFMT_U8"}


def show(load):
    krellune = load("krellune")
    print(f"  SNDCTL_DSP_SPEED = {krellune.SNDCTL_DSP_SPEED} (0x{krellune.SNDCTL_DSP_SPEED & 0xFFFFFFFF:08X}), "
          f"control_names[:5] = {krellune.control_names[:5]}")
    reason = ossdriver.unavailable()
    if reason is not None:
        print(f"  (no fake OSS driver here, so no tone is played: {reason})")
        return
    out = ossdriver.run(CHILD)
    state = out["state"]
    print("  Played 0.2 s of a 440 Hz tone (S16_LE, mono, 8000 Hz) into the fake driver's /dev/dsp.")
    print(f"  The driver received: rate {state['rate']} Hz, format {FORMATS.get(int(state['format']), state['format'])},"
          f" {state['channels']} channel(s), {out['bytes']} bytes in {state['writes']} write(s),"
          f" CRC-32 {out['crc']:08x} ({'identical to' if out['same'] else 'DIFFERENT from'} what was sent)")
    print(f"  Mixer: set PCM to (75, 60), the driver kept {tuple(out['pcm'])}")
    print("  The driver's log of the session:")
    for line in out["log"]:
        print(f"    {line}")
