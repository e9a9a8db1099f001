# Runs in the namespace with the fake driver (after ossdriver's helpers): each
# case of $OSS_CASES starts from the driver's default answers plus its own
# settings, runs its code and reports `result` (or the exception) and the log
# lines after `since` (default: from the case's start, after `d` was opened).
import gc
import json
import os
import signal
import threading
import time


def jsonable(value):
    if isinstance(value, tuple):
        return [jsonable(v) for v in value]
    if isinstance(value, list):
        return [jsonable(v) for v in value]
    if isinstance(value, bytes):
        return value.hex()
    return value


def attempt(call, *args):
    """The call's result, or its exception as [type name, message]."""
    try:
        return call(*args)
    except Exception as exc:
        return [type(exc).__name__, str(exc)]


results = {}
for case in json.loads(os.environ["OSS_CASES"]):
    # Each case finds `d` open for writing, opened before its settings apply.
    ctl("reset=1")
    saved_env = dict(os.environ)
    ns = {"krellune": krellune, "ctl": ctl, "mark": mark, "log": log, "audio": audio, "pattern": pattern,
          "attempt": attempt, "os": os, "signal": signal, "threading": threading, "time": time, "d": krellune.open("w")}
    ctl(*case.get("settings", ()))
    ns["since"] = mark()
    start_audio = len(audio())
    ns["audio"] = lambda: audio()[start_audio:]
    try:
        exec(case["code"], ns)
        outcome = {"value": jsonable(ns.get("result"))}
    except BaseException as exc:  # noqa: B902 - reported to the test
        outcome = {"error": [type(exc).__name__, str(exc), getattr(exc, "errno", None),
                             getattr(exc, "filename", None)]}
    outcome["log"] = log(ns["since"])
    os.environ.clear()
    os.environ.update(saved_env)
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, signal.SIG_DFL)
    ns.clear()
    gc.collect()
    results[case["id"]] = outcome
print(json.dumps(results))
