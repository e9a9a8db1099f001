"""orvik: nanoseconds per call of each function, next to a floor measured in
the same run: a one-argument extension function of the bench's own that only
converts its argument with "D" and returns a new complex. The "core" column
is the computation alone (the same routines compiled into a bench extension
and timed in a C++ loop); the rest of a call is the interpreter's. The
"budget" column is what a goal leaves for that computation: the goal times
the floor, less a call that reads an exact complex and returns a new one
without computing anything (orvik's own overhead)."""
import timeit

import harness

# Goal for each function, as a ratio to the floor.
GOALS = {"sqrt": 1.0, "isfinite": 1.0, "phase": 1.0}
GOALS.update(dict.fromkeys(["exp", "log", "sin", "cos", "tan", "sinh", "cosh", "tanh"], 1.3))
GOALS.update(dict.fromkeys(["asin", "acos", "atan", "asinh", "acosh", "atanh"], 1.5))


FLOOR = "floor.identity(z)"


def per_call(stmt, env, number=50_000, rounds=15):
    """ns per call of `stmt` and of the floor, timed in alternation so that a
    machine busy with other work slows both alike; the best round of each."""
    timers = [timeit.Timer(stmt, globals=env), timeit.Timer(FLOOR, globals=env)]
    best = [float("inf"), float("inf")]
    for _ in range(rounds):
        for i, timer in enumerate(timers):
            best[i] = min(best[i], timer.timeit(number))
    return best[0] / number * 1e9, best[1] / number * 1e9


def main():
    orvik = harness.load("orvik")
    floor = harness.load("orvik_floor", harness.library_path("orvik_floor", "bench/orvik"))
    cores = harness.load("orvik_cores", harness.library_path("orvik_cores", "bench/orvik"))
    z = complex(0.6, 0.7)
    core_ns = {}
    for _ in range(5):
        for name, ns in cores.time(z, 200_000).items():
            core_ns[name] = min(ns, core_ns.get(name, ns))
    env = {"orvik": orvik, "floor": floor, "z": z, "x": 0.6, "n": 3}
    rows = [(FLOOR, None)]
    names = ["sqrt", "exp", "log", "log10", "sin", "cos", "tan", "sinh", "cosh", "tanh",
             "asin", "acos", "atan", "asinh", "acosh", "atanh", "phase", "polar",
             "isfinite", "isnan", "isinf"]
    for name in names:
        rows.append((f"orvik.{name}(z)", GOALS.get(name)))
    rows += [("orvik.sqrt(x)", None), ("orvik.sqrt(n)", None), ("orvik.log(z, 10)", None),
             ("orvik.rect(0.6, 0.7)", None), ("orvik.isclose(z, z)", None), ("z ** 0.5", None)]
    bare_ns, bare_base = per_call("floor.bare(z)", env)
    print("  z = 0.6+0.7j, x = 0.6 (float), n = 3 (int, through \"D\")")
    print(f"  a call without computation: {bare_ns:.1f} ns ({bare_ns / bare_base:.2f} × floor)")
    print(f"  {'call':24} {'ns/call':>8} {'core ns':>8} {'budget':>8} {'floor ns':>8} {'× floor':>8} {'goal':>6}")
    missed = []
    for label, goal in rows:
        ns, base = per_call(label, env)
        ratio = ns / base
        mark = "" if goal is None else f"≤{goal:.1f}" + (" ✗" if ratio > goal else "")
        if goal is not None and ratio > goal:
            missed.append(label)
        core = core_ns.get(label[len("orvik."):-len("(z)")]) if label.endswith("(z)") else None
        core = "" if core is None else f"{core:8.1f}"
        budget = "" if goal is None else f"{goal * base - bare_ns * base / bare_base:8.1f}"
        print(f"  {label:24} {ns:8.1f} {core:>8} {budget:>8} {base:8.1f} {ratio:8.2f} {mark:>6}")
    print("  all goals met" if not missed else f"  over goal: {', '.join(missed)}")


if __name__ == "__main__":
    main()
