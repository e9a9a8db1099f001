import io
import math
import shutil
import subprocess
import wave


def speech():
    """A spoken sentence from espeak-ng as 16-bit mono samples, or a
    synthesized vowel-like tone when espeak-ng is not installed."""
    text = "The quick brown fox jumps over the lazy dog."
    if shutil.which("espeak-ng"):
        wav = subprocess.run(["espeak-ng", "--stdout", text], capture_output=True, check=True).stdout
        with wave.open(io.BytesIO(wav)) as w:
            return w.readframes(w.getnframes()), w.getframerate(), f"espeak-ng saying {text!r}"
    rate = 22050
    samples = [int(8000 * math.sin(2 * math.pi * 140 * t / rate) * math.sin(math.pi * t / rate) ** 2
                   + 3000 * math.sin(2 * math.pi * 700 * t / rate)) for t in range(rate)]
    return b"".join(s.to_bytes(2, "little", signed=True) for s in samples), rate, "a synthesized 1 s tone"


def snr(tv, original, decoded):
    noise = tv.add(original, tv.mul(decoded, 2, -1.0), 2)
    signal_rms, noise_rms = tv.rms(original, 2), tv.rms(noise, 2)
    return 20 * math.log10(signal_rms / max(noise_rms, 1))


def show(load):
    tv = load("tamvox")
    pcm, rate, what = speech()
    n = len(pcm) // 2
    print(f"  Sound: {what}: {n} samples at {rate} Hz ({n / rate:.2f} s), 16-bit mono")
    lo, hi = tv.minmax(pcm, 2)
    print(f"  peak {tv.max(pcm, 2)}, range {lo}..{hi}, rms {tv.rms(pcm, 2)}, "
          f"zero crossings {tv.cross(pcm, 2)}, mean {tv.avg(pcm, 2)}")

    ulaw = tv.lin2ulaw(pcm, 2)
    back = tv.ulaw2lin(ulaw, 2)
    print(f"  u-law:  {len(pcm)} -> {len(ulaw)} bytes, decoded SNR {snr(tv, pcm, back):.1f} dB")
    alaw = tv.lin2alaw(pcm, 2)
    print(f"  A-law:  {len(pcm)} -> {len(alaw)} bytes, decoded SNR {snr(tv, pcm, tv.alaw2lin(alaw, 2)):.1f} dB")

    # ADPCM in two chunks, carrying the coder state across the cut.
    cut = len(pcm) // 8 * 4  # an even number of samples: whole code bytes
    first, state = tv.lin2adpcm(pcm[:cut], 2, None)
    second, state = tv.lin2adpcm(pcm[cut:], 2, state)
    adpcm = first + second
    decoded, _ = tv.adpcm2lin(adpcm, 2, None)
    decoded = decoded[:len(pcm)]
    print(f"  ADPCM:  {len(pcm)} -> {len(adpcm)} bytes (4 bits/sample), final state {state}, "
          f"SNR {snr(tv, pcm, decoded):.1f} dB")

    # Telephone rate, in two calls with the state in between, and back.
    half = len(pcm) // 4 * 2
    a, st = tv.ratecv(pcm[:half], 2, 1, rate, 8000, None)
    b, st = tv.ratecv(pcm[half:], 2, 1, rate, 8000, st)
    phone = a + b
    assert phone == tv.ratecv(pcm, 2, 1, rate, 8000, None)[0]
    up, _ = tv.ratecv(phone, 2, 1, 8000, rate, None)
    m = min(len(up), len(pcm))
    print(f"  ratecv: {rate} Hz -> 8000 Hz: {len(pcm) // 2} -> {len(phone) // 2} samples "
          f"(two calls == one call);\n          back up to {rate} Hz: SNR {snr(tv, pcm[:m], up[:m]):.1f} dB "
          "(no anti-alias filter, and everything above 4 kHz is gone)")

    # Where is the loudest tenth of a second, and can a piece of it be found again?
    window = rate // 10
    loud = tv.findmax(pcm, window)
    piece = tv.mul(pcm[2 * loud:2 * (loud + window // 2)], 2, 0.5)
    offset, factor = tv.findfit(pcm, piece)
    print(f"  loudest 100 ms starts at sample {loud} ({loud / rate:.2f} s); "
          f"findfit of a half-volume copy of its first half:\n          found at {offset}, where the sound is {factor:.3f} x the copy")
    stereo = tv.tostereo(pcm, 2, 1.0, 0.25)
    print(f"  tostereo (L 100%, R 25%) -> {len(stereo)} bytes; tomono back (1, 0) equals the input: "
          f"{tv.tomono(stereo, 2, 1.0, 0.0) == pcm}")
