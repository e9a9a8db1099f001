import types


def word_counts(text):
    counts = {}
    for word in text.split():
        word = word.strip(".,;").lower()
        counts[word] = counts.get(word, 0) + 1
    return counts


def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)


def primes(limit):
    found = []
    for n in range(2, limit):
        if all(n % p for p in found if p * p <= n):
            found.append(n)
    return found


def workload():
    text = "the quick brown fox jumps over the lazy dog; the dog sleeps. " * 200
    top = sorted(word_counts(text).items(), key=lambda kv: -kv[1])[:3]
    return fib(18), len(primes(3000)), top


def name_of(code):
    if isinstance(code, types.CodeType):
        return f"{code.co_name} (line {code.co_firstlineno})"
    return code


def show(load):
    quendle = load("_quendle")
    profiler = quendle.Profiler()
    profiler.enable()
    result = workload()
    profiler.disable()
    stats = profiler.getstats()
    print(f"  Profiled a small workload (result {result[:2]}, top words {[w for w, _ in result[2]]}).")
    print(f"  {len(stats)} functions seen; the six with the most time of their own:\n")
    print(f"  {'calls':>7} {'recursive':>9} {'total s':>9} {'own s':>9}  function")
    for entry in sorted(stats, key=lambda e: -e.inlinetime)[:6]:
        print(f"  {entry.callcount:7} {entry.reccallcount:9} {entry.totaltime:9.4f} {entry.inlinetime:9.4f}"
              f"  {name_of(entry.code)}")
    fib_entry = next(e for e in stats if getattr(e.code, "co_name", "") == "fib")
    callers = {name_of(sub.code): sub.callcount for sub in fib_entry.calls or []}
    print(f"\n  fib calls itself {callers.get(name_of(fib.__code__), 0)} times; its recursion counts once "
          f"in its total ({fib_entry.totaltime:.4f} s).")
