"""tamvox throughput on 16 MiB fragments against two yardsticks measured in
the same run: the floor (a plain copy of the fragment, or for results of
32 MiB and more a freshly allocated and filled bytes object of the result's
size, since fresh pages fault on first touch) and the peer (the best numpy
formulation with the same results). ADPCM is reported in ns per sample, and
findfit against a plain double-precision O(N*M) loop compiled in
bench/tamvox. The compute-bound kernels are also held to a fraction of the
copy floor (ns per sample beside it), and ratecv and findmax to a speed-up
over the portable scalar loops (the test build's baseline table, which is
what the AVX2 table ran for them before it had vector code)."""
import math
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "tamvox"))

import numpy as np  # noqa: E402

import harness  # noqa: E402
import tamvox_numpy as npf  # noqa: E402

MiB = 1 << 20
SIZE = 16 * MiB
# The machine is shared: the best of many runs is the least disturbed one.
REPS = 15


def best(fn, reps):
    times = []
    for _ in range(reps):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def paired(fn, floor, reps):
    """Best times of fn and of its floor, timed in alternation so that load
    from elsewhere on the machine falls on both alike."""
    t = tf = float("inf")
    for _ in range(reps):
        t = min(t, best(fn, 1))
        tf = min(tf, best(floor, 1))
    return t, tf


# (operation, width, call, samples per call, goal as a fraction of the copy floor)
def compute_bound(tv, frag):
    return [
        ("mul", 2, lambda: tv.mul(frag, 2, 0.7), 0.7),
        ("mul", 1, lambda: tv.mul(frag, 1, 0.7), 0.22),
        ("lin2ulaw", 2, lambda: tv.lin2ulaw(frag, 2), 0.7),
        ("lin2ulaw", 4, lambda: tv.lin2ulaw(frag, 4), 0.9),
        ("lin2alaw", 2, lambda: tv.lin2alaw(frag, 2), 0.7),
        ("lin2alaw", 4, lambda: tv.lin2alaw(frag, 4), 0.9),
        ("tomono", 2, lambda: tv.tomono(frag, 2, 0.5, 0.25), 0.8),
    ]


def main():
    tv = harness.load("tamvox")
    # The test build of the same sources says which kernel table tamvox picks here.
    kernels = harness.load("_tamvox_kernels", harness.library_path("_tamvox_kernels", "tamvox"))
    isa = kernels.best()
    floor_mod = harness.load("tamvox_bench_floor", harness.library_path("tamvox_bench_floor", "bench/tamvox"))
    rng = np.random.default_rng(1)
    frag = rng.integers(0, 256, SIZE, dtype=np.uint8).tobytes()
    frag2 = rng.integers(0, 256, SIZE, dtype=np.uint8).tobytes()
    print(f"kernels: {isa}; fragments of {SIZE // MiB} MiB; "
          "throughput = input MB/s (best of several runs)")

    def copy():
        return bytes(memoryview(frag))

    copy_time = best(copy, 25)
    fresh_cache = {}

    def floor_of(result_len):
        if result_len < 32 * MiB:
            return copy
        return lambda: b"\x01" * result_len

    half_floor = [
        ("add", lambda w: (tv.add, (frag, frag2, w), npf.add, SIZE)),
        ("bias", lambda w: (tv.bias, (frag, w, 12345), npf.bias, SIZE)),
        ("reverse", lambda w: (tv.reverse, (frag, w), npf.reverse, SIZE)),
        ("byteswap", lambda w: (tv.byteswap, (frag, w), npf.byteswap, SIZE)),
        ("max", lambda w: (tv.max, (frag, w), npf.max_, 0)),
        ("minmax", lambda w: (tv.minmax, (frag, w), npf.minmax, 0)),
        ("avg", lambda w: (tv.avg, (frag, w), npf.avg, 0)),
        ("rms", lambda w: (tv.rms, (frag, w), npf.rms, 0)),
        ("cross", lambda w: (tv.cross, (frag, w), npf.cross, 0)),
    ]
    for nw in (1, 2, 4):
        half_floor.append((f"lin2lin>{nw}", lambda w, nw=nw: (tv.lin2lin, (frag, w, nw), npf.lin2lin, SIZE // w * nw)))
    vs_numpy = [
        ("mul", lambda w: (tv.mul, (frag, w, 0.7), npf.mul, SIZE)),
        ("tomono", lambda w: (tv.tomono, (frag, w, 0.5, 0.25), npf.tomono, SIZE // 2)),
        ("tostereo", lambda w: (tv.tostereo, (frag, w, 0.5, -0.25), npf.tostereo, 2 * SIZE)),
        ("ratecv", lambda w: (tv.ratecv, (frag, w, 1, 44100, 48000, None),
                              lambda f, w, *rest: npf.ratecv(f, w, 44100, 48000), SIZE * 160 // 147)),
        ("lin2ulaw", lambda w: (tv.lin2ulaw, (frag, w), npf.lin2ulaw, SIZE // w)),
        ("lin2alaw", lambda w: (tv.lin2alaw, (frag, w), npf.lin2alaw, SIZE // w)),
        ("ulaw2lin", lambda w: (tv.ulaw2lin, (frag, w), npf.ulaw2lin, SIZE * w)),
        ("alaw2lin", lambda w: (tv.alaw2lin, (frag, w), npf.alaw2lin, SIZE * w)),
    ]

    header = f"{'operation':13} {'w':>1} {'MB/s':>8} {'/floor':>7} {'x numpy':>8}  goal"
    print(header)
    print("-" * len(header) + "-" * 24)
    misses = []

    def row(name, w, fn, args, peer, result_len, goal):
        t, tf = paired(lambda: fn(*args), floor_of(result_len), REPS)
        if result_len >= 32 * MiB:
            fresh_cache[result_len] = min(tf, fresh_cache.get(result_len, tf))
        tn = best(lambda: peer(*args), 3)
        ours = fn(*args)
        theirs = peer(*args)
        if name == "ratecv":
            ours = ours[0]
        assert ours == theirs, f"{name} at width {w} differs from its numpy formulation"
        floor_ratio = tf / t
        np_ratio = tn / t
        if goal == "half":
            met = floor_ratio >= 0.5
            text = "floor/2"
        else:
            met = np_ratio >= 5 or floor_ratio >= 1 / 1.5
            text = "5x numpy or floor/1.5"
        print(f"{name:13} {w:>1} {SIZE / t / 1e6:8.0f} {floor_ratio:7.2f} {np_ratio:8.1f}  {text:22} "
              f"{'met' if met else 'MISSED'}")
        if not met:
            misses.append(f"{name} w{w} ({floor_ratio:.2f} of the floor, {np_ratio:.1f}x numpy)")

    for name, make in half_floor:
        for w in (1, 2, 4):
            if name.startswith("lin2lin") and int(name[-1]) == w:
                continue
            row(name, w, *make(w), "half")
    for name, make in vs_numpy:
        for w in (1, 2, 4):
            row(name, w, *make(w), "numpy")

    s16 = rng.integers(-32768, 32768, SIZE // 2, dtype=np.int16).tobytes()
    for label, fn, args, peer, pargs in [
        ("findmax", tv.findmax, (s16, 1000), npf.findmax, (s16, 1000)),
        ("findfactor", tv.findfactor, (s16, frag2), npf.findfactor, (s16, frag2)),
    ]:
        t, tf = paired(lambda: fn(*args), copy, REPS)
        tn = best(lambda: peer(*pargs), 3)
        assert fn(*args) == peer(*pargs)
        floor_ratio, np_ratio = tf / t, tn / t
        met = np_ratio >= 5 or floor_ratio >= 1 / 1.5
        print(f"{label:13} 2 {SIZE / t / 1e6:8.0f} {floor_ratio:7.2f} {np_ratio:8.1f}  {'5x numpy or floor/1.5':22} "
              f"{'met' if met else 'MISSED'}")
        if not met:
            misses.append(f"{label} ({floor_ratio:.2f} of the floor, {np_ratio:.1f}x numpy)")
    # The table formulations above are numpy's fastest for narrow samples;
    # for reference, the plain arithmetic ones.
    plain = []
    for label, fn, peer, args in [("mul", tv.mul, npf.mul_arithmetic, (0.7,)),
                                  ("tomono", tv.tomono, npf.tomono_arithmetic, (0.5, 0.25))]:
        for w in (1, 2):
            t = best(lambda: fn(frag, w, *args), REPS)
            tn = best(lambda: peer(frag, w, *args), 3)
            assert fn(frag, w, *args) == peer(frag, w, *args)
            plain.append(f"{label} w{w} {tn / t:.1f}x")
    print("(against numpy's arithmetic formulations, without tables: " + ", ".join(plain) + ")")
    print(f"(floor: copy {SIZE / copy_time / 1e6:.0f} MB/s; fresh filled bytes: "
          + ", ".join(f"{n // MiB} MiB {SIZE / t / 1e6:.0f} MB/s" for n, t in sorted(fresh_cache.items())) + ")")

    print()
    speech = (np.sin(np.arange(SIZE // 2) * 0.01) * 12000 + rng.normal(0, 800, SIZE // 2)).astype(np.int16).tobytes()
    n = len(speech) // 2
    t_code = best(lambda: tv.lin2adpcm(speech, 2, None), 9)
    code, _ = tv.lin2adpcm(speech, 2, None)
    t_decode = best(lambda: tv.adpcm2lin(code, 2, None), 9)
    for label, t, goal in (("lin2adpcm", t_code, 12), ("adpcm2lin", t_decode, 6)):
        ns = t / n * 1e9
        met = ns <= goal
        print(f"{label:13} w2 {ns:6.2f} ns/sample  goal <= {goal} ns  {'met' if met else 'MISSED'}")
        if not met:
            misses.append(f"{label} ({ns:.1f} ns/sample, goal {goal})")

    print()
    fit_frag = rng.integers(-20000, 20000, 200000, dtype=np.int16)
    fit_ref = (fit_frag[123456:125456] // 2).tobytes()
    fit_frag = fit_frag.tobytes()
    t_fit = best(lambda: tv.findfit(fit_frag, fit_ref), 9)
    t_plain = best(lambda: floor_mod.findfit(fit_frag, fit_ref), 3)
    t_np = best(lambda: npf.findfit(fit_frag, fit_ref), 3)
    ours = tv.findfit(fit_frag, fit_ref)
    assert ours == floor_mod.findfit(fit_frag, fit_ref) == npf.findfit(fit_frag, fit_ref), ours
    met = t_plain / t_fit >= 10
    print(f"findfit 200000 x 2000: {t_fit * 1e3:.1f} ms; plain double loop {t_plain * 1e3:.0f} ms "
          f"({t_plain / t_fit:.1f}x); numpy correlate {t_np * 1e3:.0f} ms ({t_np / t_fit:.1f}x); "
          f"result {ours}  goal 10x  {'met' if met else 'MISSED'}")
    if not met:
        misses.append(f"findfit ({t_plain / t_fit:.1f}x the plain loop, goal 10x)")

    print()
    print("compute-bound kernels, each timed in alternation with the copy floor")
    print(f"{'operation':13} {'w':>1} {'ns/sample':>9} {'floor ns':>9} {'/floor':>7}  goal")
    for name, w, call, goal in compute_bound(tv, frag):
        t, tf = paired(call, copy, REPS)
        ratio = tf / t
        met = ratio >= goal
        print(f"{name:13} {w:>1} {t / (SIZE // w) * 1e9:9.3f} {tf / (SIZE // w) * 1e9:9.3f} {ratio:7.2f}  "
              f">= {goal:<5} {'met' if met else 'MISSED'}")
        if not met:
            misses.append(f"{name} w{w} ({ratio:.2f} of the floor, goal {goal})")
    # Against the portable loops, timed in alternation through the test
    # build so that both see the same machine.
    scans = [("ratecv 44100>48000", lambda tk: tk.ratecv(s16, 2, 1, 44100, 48000, None)),
             ("findmax 1000", lambda tk: tk.findmax(s16, 1000))]
    for label, call in scans:
        times = {}
        for _ in range(REPS):
            for table in ("baseline", isa):
                kernels.use(table)
                times[table] = min(times.get(table, 1e9), best(lambda: call(kernels), 1))
        kernels.use(isa)
        gain = times["baseline"] / times[isa]
        met = gain >= 1.5
        print(f"{label:18} w2 {times[isa] / (SIZE // 2) * 1e9:6.3f} ns/sample, scalar loop "
              f"{times['baseline'] / (SIZE // 2) * 1e9:6.3f}: {gain:.2f}x  goal >= 1.5x  {'met' if met else 'MISSED'}")
        if not met:
            misses.append(f"{label} ({gain:.2f}x the scalar loop, goal 1.5x)")
    print()
    summary = "tamvox: all goals met" if not misses else "tamvox: missed " + "; ".join(misses)
    print(summary)
    return summary


if __name__ == "__main__":
    main()
