"""orvik: nanoseconds per call of each function against the C library's C99
complex function for it (csqrt, cexp, clog, ...), each behind an extension
function framed exactly as orvik's (bench/orvik/floor.cpp), timed in the
same run, and against numpy's function on a numpy complex scalar. Goals:
at most the C99 function's time (x C99 <= 1.0) and at least 5 times as fast
as numpy. The "core" columns are the computations alone (orvik's routines
and the C99 functions compiled into a bench extension and timed in a C++
loop); the rest of a call is the interpreter's. The "budget" column is what
the C99 goal leaves for orvik's computation: the C99 call's time less a call
that reads an exact complex and returns a new one without computing anything
(orvik's own overhead). The floor is a function that only converts with "D"."""
import timeit

import numpy as np

import harness

NAMES = ["sqrt", "exp", "log", "log10", "sin", "cos", "tan", "sinh", "cosh", "tanh",
         "asin", "acos", "atan", "asinh", "acosh", "atanh", "phase", "polar", "isfinite"]
# The C99 reference of each, by its name in bench/orvik/floor.cpp.
C99 = {name: "c" + name for name in NAMES}
C99.update(phase="carg")
# numpy's scalar function on a numpy complex.
NUMPY = {name: f"np.{name}(zn)" for name in NAMES}
NUMPY.update(asin="np.arcsin(zn)", acos="np.arccos(zn)", atan="np.arctan(zn)", asinh="np.arcsinh(zn)",
             acosh="np.arccosh(zn)", atanh="np.arctanh(zn)", phase="np.angle(zn)", polar="(np.abs(zn), np.angle(zn))")
C99_GOAL, NUMPY_GOAL = 1.0, 5.0


def per_call(stmts, env, number=20_000, rounds=25):
    """ns per call of each statement, timed in alternation so that a machine
    busy with other work slows them alike; the best round of each."""
    timers = [timeit.Timer(s, globals=env) for s in stmts]
    best = [float("inf")] * len(stmts)
    for _ in range(rounds):
        for i, timer in enumerate(timers):
            best[i] = min(best[i], timer.timeit(number))
    return [b / number * 1e9 for b in best]


def main():
    orvik = harness.load("orvik")
    floor = harness.load("orvik_floor", harness.library_path("orvik_floor", "bench/orvik"))
    cores = harness.load("orvik_cores", harness.library_path("orvik_cores", "bench/orvik"))
    z = complex(0.6, 0.7)
    core_ns = {}
    for _ in range(5):
        for name, ns in cores.time(z, 200_000).items():
            core_ns[name] = min(ns, core_ns.get(name, ns))
    env = {"orvik": orvik, "floor": floor, "z": z, "zn": np.complex128(z), "np": np}
    bare_ns, floor_ns = per_call(["floor.bare(z)", "floor.identity(z)"], env)
    print("  z = 0.6+0.7j (numpy: the same value as numpy.complex128)")
    print(f"  a call without computation: {bare_ns:.1f} ns; the \"D\" floor: {floor_ns:.1f} ns")
    print(f"  {'function':9} {'ns/call':>8} {'C99 ns':>7} {'x C99':>6} {'numpy ns':>9} {'speed-up':>9}"
          f" {'core ns':>8} {'C99 core':>9} {'budget':>7}")
    missed = []
    frames = []  # (orvik's, C99's) call time less the computation
    for name in NAMES:
        ours, theirs, numpy_ns = per_call([f"orvik.{name}(z)", f"floor.{C99[name]}(z)", NUMPY[name]], env)
        ratio, speedup = ours / theirs, numpy_ns / ours
        marks = ("" if ratio <= C99_GOAL else " ✗") + ("" if speedup >= NUMPY_GOAL else " ✗np")
        if ratio > C99_GOAL:
            missed.append(f"{name} {ratio:.2f}x C99")
        if speedup < NUMPY_GOAL:
            missed.append(f"{name} {speedup:.1f}x numpy")
        core = core_ns.get(name)
        ccore = core_ns.get("c" + name)
        if core is not None:
            frames.append((ours - core, theirs - ccore))
        core = "" if core is None else f"{core:8.1f}"
        ccore = "" if ccore is None else f"{ccore:9.1f}"
        print(f"  {name:9} {ours:8.1f} {theirs:7.1f} {ratio:6.2f} {numpy_ns:9.1f} {speedup:8.1f}x"
              f" {core:>8} {ccore:>9} {C99_GOAL * theirs - bare_ns:7.1f}{marks}")
    print(f"  goals: x C99 <= {C99_GOAL}, speed-up over numpy >= {NUMPY_GOAL}")
    # Where a call misses, compare what is left once the computations are
    # taken out: the frames are alike, so a miss lies in the computation.
    ours_left, theirs_left = (sorted(f[i] for f in frames)[len(frames) // 2] for i in (0, 1))
    print(f"  call less computation (median): orvik {ours_left:.1f} ns, C99 {theirs_left:.1f} ns")
    summary = "orvik: all goals met" if not missed else "orvik: missed " + ", ".join(missed)
    print(summary)
    return summary


if __name__ == "__main__":
    main()
