"""Profiler overhead: a call-heavy workload (recursion plus a million calls of
a built-in) run unprofiled, under a bare hook that only counts events (the
floor of the interpreter's profile mechanism), under a minimal profiler of
the bench's own (bench/_quendle/minprof.cpp: the same gettimeofday clock and
the same records, in a flat hash table), under _quendle.Profiler and under
yappi. Reported: the cost each adds per profile event, and _quendle's ratio
to each. Goals: at most 1.25 times the minimal profiler's added cost and at
most 0.75 times yappi's."""
import sys
import time

import harness

ROUNDS = 7
MINIMAL_GOAL, YAPPI_GOAL = 1.25, 0.75


def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)


def workload():
    fib(20)
    items = [1, 2, 3]
    total = 0
    for _ in range(1_000_000):
        total += len(items)
    return total


def best_times(variants):
    """Best time of each variant; rounds interleave the variants, so a burst
    of load from elsewhere on the machine falls on all of them alike."""
    best = {name: float("inf") for name in variants}
    for _ in range(ROUNDS):
        for name, (setup, teardown) in variants.items():
            setup()
            start = time.perf_counter()
            workload()
            elapsed = time.perf_counter() - start
            teardown()
            best[name] = min(best[name], elapsed)
    return best


def main():
    quendle = harness.load("_quendle")
    barehook = harness.load("barehook", harness.library_path("barehook", "bench/_quendle"))
    minprof = harness.load("minprof", harness.library_path("minprof", "bench/_quendle"))
    try:
        import yappi
    except ImportError:
        yappi = None

    barehook.enable()
    workload()
    events = barehook.disable()

    profiler = quendle.Profiler()

    def quendle_off():
        profiler.disable()
        profiler.clear()

    variants = {"unprofiled": (lambda: None, lambda: None), "bare hook": (barehook.enable, barehook.disable),
                "minimal": (minprof.enable, minprof.disable), "_quendle": (profiler.enable, quendle_off)}
    if yappi is not None:
        yappi.set_clock_type("wall")

        def yappi_off():
            yappi.stop()
            yappi.clear_stats()

        variants["yappi"] = (lambda: yappi.start(builtins=True, profile_threads=False), yappi_off)
    results = best_times(variants)

    base = results["unprofiled"]
    added = {name: (t - base) / events * 1e9 for name, t in results.items()}
    print(f"Python {sys.version.split()[0]}; {events} profile events per run; best of {ROUNDS}")
    print(f"{'':12} {'time (s)':>9} {'added ns/event':>15}")
    for name, t in results.items():
        print(f"{name:12} {t:9.3f} {added[name]:15.1f}")
    bare, ours, minimal = added["bare hook"], added["_quendle"], added["minimal"]
    missed = []
    print(f"_quendle added cost / bare hook's:  {ours / bare:.2f}")
    print(f"_quendle added cost / minimal's:    {ours / minimal:.2f} (goal <= {MINIMAL_GOAL})")
    if ours / minimal > MINIMAL_GOAL:
        missed.append(f"{ours / minimal:.2f}x the minimal profiler (goal {MINIMAL_GOAL})")
    if "yappi" in added:
        print(f"_quendle added cost / yappi's:      {ours / added['yappi']:.2f} (goal <= {YAPPI_GOAL})")
        if ours / added["yappi"] > YAPPI_GOAL:
            missed.append(f"{ours / added['yappi']:.2f}x yappi (goal {YAPPI_GOAL})")
    else:
        print("yappi not installed for this interpreter: no comparison with it")
    # Both profilers read the clock once per event; what is left beyond the
    # hook mechanism and the clock is bookkeeping.
    clock = min(barehook.clock_ns(1_000_000) for _ in range(5))
    print(f"one gettimeofday reading:           {clock:.1f} ns (one per event)")
    print(f"bookkeeping per event beyond hook and clock: _quendle {ours - bare - clock:.1f} ns, "
          f"minimal {minimal - bare - clock:.1f} ns")
    summary = "_quendle: all goals met" if not missed else "_quendle: missed " + "; ".join(missed)
    if "yappi" not in added:
        summary += " (yappi goal not measured: no yappi for this interpreter)"
    print(summary)
    return summary

if __name__ == "__main__":
    main()
