"""Profiler overhead: a call-heavy workload (recursion plus a million calls of
a built-in) run unprofiled, under a bare hook that only counts events (the
floor of the interpreter's profile mechanism), under _quendle.Profiler and
under yappi. Reported: the cost each adds per profile event, and ratios."""
import sys
import time

import harness

ROUNDS = 7


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
                "_quendle": (profiler.enable, quendle_off)}
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
    bare, ours = added["bare hook"], added["_quendle"]
    print(f"_quendle added cost / bare hook's: {ours / bare:.2f} (goal <= 2)")
    if "yappi" in added:
        print(f"_quendle added cost / yappi's:     {ours / added['yappi']:.2f} (goal <= 0.5)")
    else:
        print("yappi not installed for this interpreter: no peer comparison")
    # The profiler reads its clock once per event. What each goal leaves for
    # all of its own work (clock and bookkeeping) beyond the hook mechanism,
    # next to what the clock alone costs here.
    clock = min(barehook.clock_ns(1_000_000) for _ in range(5))
    print(f"one gettimeofday reading:          {clock:.1f} ns (one per event)")
    print(f"_quendle's own work per event:     {ours - bare:.1f} ns")
    print(f"  room under the bare-hook goal:   {bare:.1f} ns")
    if "yappi" in added:
        print(f"  room under the yappi goal:       {added['yappi'] / 2 - bare:.1f} ns")


if __name__ == "__main__":
    main()
