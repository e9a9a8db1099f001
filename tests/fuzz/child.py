"""Runs the fuzz table of one module in this (child) interpreter.

Each case is written to stdout before it runs, so when the process dies the
parent names the case that killed it. A SystemError, or any failure of the
checks, is reported and makes the exit status 1; a leak found by the
sanitizer's leak checker at exit makes it 3; a module the build lacks
makes the child print SKIP.

Environment: FUZZ_EXAMPLES (cases per callable, default 40, 20 under the
sanitizer, where each case costs more), FUZZ_SEED
(draw from this seed instead of the fixed derandomized sequence),
FUZZ_SECONDS (repeat rounds with new seeds until this much time has passed).
"""
import os
import sys
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.dirname(HERE), os.path.join(os.path.dirname(HERE), "sanitizer")]

import harness  # noqa: E402
from hypothesis import HealthCheck, given, seed, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import fuzz_modules  # noqa: E402
import lsan_check  # noqa: E402
import screen  # noqa: E402
import tables  # noqa: E402
from hostile import safe_repr  # noqa: E402

ANSWERS = (Exception, KeyboardInterrupt, SystemExit)
CASES = [0]


def emit(text):
    os.write(sys.stdout.fileno(), ("\n" + text + "\n").encode("utf-8", "backslashreplace"))


def resolve(modules, spec, dotted):
    target = modules[spec.names[0]]
    for part in dotted.split("."):
        target = getattr(target, part)
    return target


def uncovered(module, spec):
    public = {n for n in dir(module) if not n.startswith("_") and callable(getattr(module, n))}
    named = {name.split(".")[0].split("[")[0] for name in spec.calls} | set(spec.skip)
    return sorted(public - named)


def case_runner(label, entry, modules, spec):
    if isinstance(entry, tables.Scenario):
        strategy, run = entry.strategy, entry.run
    else:
        fn = resolve(modules, spec, label)
        # The right number of arguments mostly; one too few or too many now and then.
        strategy = st.tuples(*entry).flatmap(lambda args: st.one_of(
            st.just(args), st.just(args), st.just(args), st.just(args[:-1]), st.just(args + (None,))))
        run = lambda args: fn(*args)  # noqa: E731

    allowed = spec.system_errors.get(label, ())

    def one(value):
        CASES[0] += 1
        emit(f"CASE {label} {safe_repr(value, 2000)}")
        try:
            run(value)
        except SystemError as exc:
            if str(exc) not in allowed:
                raise
        except ANSWERS:
            pass

    return strategy, one


def run_round(spec, modules, examples, round_seed):
    failures = []
    for label, entry in spec.calls.items():
        strategy, one = case_runner(label, entry, modules, spec)
        test = given(strategy)(one)
        test = settings(max_examples=max(1, int(examples * spec.scale)), derandomize=round_seed is None,
                        database=None, deadline=None, suppress_health_check=list(HealthCheck),
                        print_blob=False)(test)
        if round_seed is not None:
            test = seed(round_seed)(test)
        try:
            test()
        except Exception:
            failures.append(label)
            emit(f"FAIL {label}\n" + traceback.format_exc())
    return failures


def main(name):
    spec = tables.MODULES[name]
    try:
        modules = fuzz_modules.load(spec.names)
    except harness.NotConfigured as exc:
        emit(f"SKIP {exc}")
        return 0
    if spec.terminal:
        screen.attach()
    missing = uncovered(modules[spec.names[0]], spec)
    if missing:
        emit(f"FAIL public callables without a fuzz entry: {', '.join(missing)}")
        return 1
    examples = int(os.environ.get("FUZZ_EXAMPLES", "20" if os.environ.get("EXT_SANITIZED") else "40"))
    base_seed = os.environ.get("FUZZ_SEED")
    deadline = time.monotonic() + float(os.environ.get("FUZZ_SECONDS", "0"))
    first = None if base_seed is None else int(base_seed)
    failures, rounds = run_round(spec, modules, examples, first), 1
    while not failures and time.monotonic() < deadline:
        failures = run_round(spec, modules, examples, (first or 0) + rounds)
        rounds += 1
    emit(f"DONE rounds={rounds} callables={len(spec.calls)} cases={CASES[0]}")
    return 1 if failures else 0


if __name__ == "__main__":
    lsan_check.check_at_exit()
    sys.exit(main(sys.argv[1]))
