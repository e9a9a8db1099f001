"""The fake OSS driver (a FUSE file system built with the module) mounted in
private namespaces, its dsp and mixer bound over /dev/dsp and /dev/mixer of a
private /dev, so the machine's own /dev never changes.

Code run with `run` finds these helpers defined:
    ctl("rate=48000", ...)  change the driver's answers (see the driver's keys)
    mark()                  the log's length now
    log(since=0)            the log lines after `since`
    audio()                 every byte written to dsp so far
    pattern(n, start=0)     the bytes the driver's reads produce
"""
import functools
import json
import os
import shlex
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
import harness  # noqa: E402
import nsutil  # noqa: E402

DRIVER = os.path.join(harness.BUILD, "krellune", "driver", "krellune_oss_driver")
HEADER_CONSTANTS = os.path.join(harness.BUILD, "krellune", "krellune_header_constants")
STAGE = "/run/oss"

HELPERS = r'''
import json, os, time
STAGE = "/run/oss"
def ctl(*settings):
    fd = os.open(STAGE + "/fs/ctl", os.O_WRONLY)
    try:
        os.write(fd, "".join(s + "\n" for s in settings).encode())
    finally:
        os.close(fd)
def _lines():
    with open(STAGE + "/log") as f:
        return f.read().splitlines()
def mark():
    return len(_lines())
def log(since=0):
    return _lines()[since:]
def audio():
    with open(STAGE + "/audio", "rb") as f:
        return f.read()
def pattern(n, start=0):
    return bytes(((start + i) * 7 + 3) & 255 for i in range(n))
'''

SCRIPT = r"""
mkdir -p {stage}/fs
: > {stage}/log
: > {stage}/audio
{driver} {stage}/fs --log {stage}/log --audio {stage}/audio {settings} 2> {stage}/driver.err &
driver_pid=$!
for _ in $(seq 500); do
    [ -e {stage}/fs/ctl ] && break
    kill -0 $driver_pid 2>/dev/null || {{ cat {stage}/driver.err >&2; exit 3; }}
    sleep 0.01
done
[ -e {stage}/fs/ctl ] || {{ echo "driver did not mount" >&2; exit 3; }}
touch /dev/dsp /dev/mixer
mount --bind {stage}/fs/dsp /dev/dsp
mount --bind {stage}/fs/mixer /dev/mixer
# Room for a test to push a device past the descriptors select can watch.
[ "$(ulimit -n)" -ge 2048 ] || ulimit -n 4096
status=0
child "$@" || status=$?
umount /dev/dsp /dev/mixer {stage}/fs
wait $driver_pid || true
exit $status
"""


@functools.lru_cache(maxsize=None)
def unavailable():
    """Why the fake driver cannot run here, or None."""
    reason = nsutil.unavailable()
    if reason is not None:
        return reason
    if not os.path.exists(DRIVER):
        return "the fake OSS driver is not built (libfuse3 was not found)"
    if not os.path.exists("/dev/fuse"):
        return "/dev/fuse is missing"
    return None


def require():
    reason = unavailable()
    if reason is not None:
        import pytest

        pytest.skip(f"no fake OSS driver: {reason}")


def run(code, settings=(), env=None, timeout=60):
    """Run `code` with krellune loaded, in private namespaces with the driver
    mounted; returns the last line of its output decoded as JSON."""
    require()
    script = SCRIPT.format(stage=STAGE, driver=shlex.quote(DRIVER),
                           settings=" ".join(f"--set {shlex.quote(s)}" for s in settings))
    proc = nsutil.run(script, code=HELPERS + code, names=("krellune",), private_dev=True,
                      env=env, timeout=timeout)
    lines = proc.stdout.strip().splitlines()
    assert lines, proc.stderr
    return json.loads(lines[-1])
