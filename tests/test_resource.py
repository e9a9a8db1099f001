import errno
import json
import mmap
import os
import subprocess
import time

import pytest

import harness
import nsutil


@pytest.fixture(scope="module")
def resource(load):
    return load("resource")


# Resource numbers as the kernel has them; 10 (file locks) has no constant.
LIMITS = {
    "RLIMIT_CPU": 0, "RLIMIT_FSIZE": 1, "RLIMIT_DATA": 2, "RLIMIT_STACK": 3, "RLIMIT_CORE": 4,
    "RLIMIT_NOFILE": 7, "RLIMIT_OFILE": 7, "RLIMIT_AS": 9, "RLIMIT_RSS": 5, "RLIMIT_NPROC": 6,
    "RLIMIT_MEMLOCK": 8, "RLIMIT_MSGQUEUE": 12, "RLIMIT_NICE": 13, "RLIMIT_RTPRIO": 14,
    "RLIMIT_RTTIME": 15, "RLIMIT_SIGPENDING": 11,
}
OTHERS = {"RUSAGE_SELF": 0, "RUSAGE_CHILDREN": -1, "RUSAGE_THREAD": 1, "RLIM_INFINITY": -1}
# util-linux prlimit's names for the resource numbers.
TOOL_NAMES = ["CPU", "FSIZE", "DATA", "STACK", "CORE", "RSS", "NPROC", "NOFILE", "MEMLOCK", "AS",
              "LOCKS", "SIGPENDING", "MSGQUEUE", "NICE", "RTPRIO", "RTTIME"]
FIELDS = [
    ("ru_utime", "user time used"), ("ru_stime", "system time used"),
    ("ru_maxrss", "max. resident set size"), ("ru_ixrss", "shared memory size"),
    ("ru_idrss", "unshared data size"), ("ru_isrss", "unshared stack size"),
    ("ru_minflt", "page faults not requiring I/O"), ("ru_majflt", "page faults requiring I/O"),
    ("ru_nswap", "number of swap outs"), ("ru_inblock", "block input operations"),
    ("ru_oublock", "block output operations"), ("ru_msgsnd", "IPC messages sent"),
    ("ru_msgrcv", "IPC messages received"), ("ru_nsignals", "signals received"),
    ("ru_nvcsw", "voluntary context switches"), ("ru_nivcsw", "involuntary context switches"),
]
RUSAGE_DOC = (
    "struct_rusage: Result from getrusage.\n\n"
    "This object may be accessed either as a tuple of\n"
    "    (utime,stime,maxrss,ixrss,idrss,isrss,minflt,majflt,\n"
    "    nswap,inblock,oublock,msgsnd,msgrcv,nsignals,nvcsw,nivcsw)\n"
    "or via the attributes ru_utime, ru_stime, ru_maxrss, and so on."
)


def test_module_surface(resource):
    assert resource.__doc__ is None
    names = [n for n in vars(resource) if not n.startswith("__")]
    functions = ["getrusage", "getrlimit", "prlimit", "setrlimit", "getpagesize"]
    assert names == functions + ["error", "struct_rusage"] + list(LIMITS) + list(OTHERS)
    for name in functions:
        assert getattr(resource, name).__doc__ is None
    for name, value in {**LIMITS, **OTHERS}.items():
        assert getattr(resource, name) == value, name
    assert resource.error is OSError


def test_struct_rusage_type(resource):
    t = resource.struct_rusage
    assert (t.__module__, t.__name__) == ("resource", "struct_rusage")
    assert t.__doc__ == RUSAGE_DOC
    assert (t.n_fields, t.n_sequence_fields, t.n_unnamed_fields) == (16, 16, 0)
    assert [(name, getattr(t, name).__doc__) for name, _ in FIELDS] == FIELDS
    usage = resource.getrusage(resource.RUSAGE_SELF)
    assert type(usage) is t and len(usage) == 16
    assert [getattr(usage, name) for name, _ in FIELDS] == list(usage)
    assert all(type(v) is float for v in usage[:2]) and all(type(v) is int for v in usage[2:])


def proc_limits(pid="self"):
    """Soft and hard limits per resource number, read from /proc."""
    with open(f"/proc/{pid}/limits") as f:
        rows = f.read().splitlines()[1:]
    assert len(rows) == 16
    parse = lambda word: -1 if word == "unlimited" else int(word)  # noqa: E731
    # Columns are fixed-width: name (26), soft (21), hard (21), units.
    return [(parse(row[26:47].strip()), parse(row[47:68].strip())) for row in rows]


def tool_limits(pid):
    """Limits per resource number as util-linux prlimit reads them."""
    out = subprocess.run(["prlimit", "--pid", str(pid), "--raw", "--noheadings", "-o", "RESOURCE,SOFT,HARD"],
                         capture_output=True, text=True, check=True).stdout
    parse = lambda word: -1 if word == "unlimited" else int(word)  # noqa: E731
    table = {name: (parse(soft), parse(hard)) for name, soft, hard in (line.split() for line in out.splitlines())}
    return [table[name] for name in TOOL_NAMES]


def test_limits_match_proc(resource):
    assert [resource.getrlimit(r) for r in range(16)] == proc_limits()
    # prlimit without new limits only reads, for this process (pid 0) too.
    assert [resource.prlimit(0, r) for r in range(16)] == proc_limits()
    assert [resource.prlimit(os.getpid(), r) for r in range(16)] == proc_limits()
    # "unlimited" reads as RLIM_INFINITY (the stack's hard limit, usually).
    assert resource.RLIM_INFINITY in sum(proc_limits(), ())


def need_hard_limits(**minimum):
    """Skip unless this process may set limits up to these hard values (root
    without CAP_SYS_RESOURCE, as in many containers, cannot raise them)."""
    for name, value in minimum.items():
        hard = proc_limits()[LIMITS[name]][1]
        if hard != -1 and (value == -1 or hard < value):
            pytest.skip(f"the hard limit of {name} here is {hard}, below {value}")


@pytest.fixture
def sleeper():
    """A child started with known file-number and core limits."""
    need_hard_limits(RLIMIT_NOFILE=200, RLIMIT_CORE=4096, RLIMIT_FSIZE=-1)
    # Without the sanitizer runtime, which zeroes its own core limit as it
    # starts and could do so after the test has set it.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    proc = subprocess.Popen(["prlimit", "--nofile=100:200", "--core=0:4096", "--fsize=12345:unlimited",
                             "sleep", "60"], env=env)
    try:
        # prlimit execs sleep in the same process; wait until it has.
        for _ in range(200):
            with open(f"/proc/{proc.pid}/comm") as f:
                if f.read().strip() == "sleep":
                    break
            time.sleep(0.01)
        yield proc.pid
    finally:
        proc.kill()
        proc.wait()


def test_limits_of_another_process(resource, sleeper):
    ours = [resource.prlimit(sleeper, r) for r in range(16)]
    assert ours == tool_limits(sleeper) == proc_limits(sleeper)
    assert ours[resource.RLIMIT_NOFILE] == (100, 200)
    assert ours[resource.RLIMIT_CORE] == (0, 4096)
    assert ours[resource.RLIMIT_FSIZE] == (12345, -1)


def test_setting_limits_of_another_process(resource, sleeper):
    assert resource.prlimit(sleeper, resource.RLIMIT_NOFILE, (50, 150)) == (100, 200)
    # A list is as good as a tuple. Hard limits only go down: raising one
    # needs CAP_SYS_RESOURCE, which root in a container may lack.
    assert resource.prlimit(sleeper, resource.RLIMIT_CORE, [1024, 4096]) == (0, 4096)
    assert resource.prlimit(sleeper, resource.RLIMIT_FSIZE, (2**40, 2**41)) == (12345, -1)
    limits = tool_limits(sleeper)
    assert limits[resource.RLIMIT_NOFILE] == (50, 150)
    assert limits[resource.RLIMIT_CORE] == (1024, 4096)
    assert limits[resource.RLIMIT_FSIZE] == (2**40, 2**41)
    assert proc_limits(sleeper) == limits == [resource.prlimit(sleeper, r) for r in range(16)]


def test_setrlimit_in_a_child():
    need_hard_limits(RLIMIT_NOFILE=128, RLIMIT_CORE=4096, RLIMIT_FSIZE=6000, RLIMIT_CPU=-1)
    proc = harness.run_child("""
        import json
        r = resource
        r.setrlimit(r.RLIMIT_NOFILE, (64, 128))
        r.setrlimit(r.RLIMIT_CORE, [0, 4096])
        r.setrlimit(r.RLIMIT_FSIZE, iter((5000, 6000)))
        # Negative values other than -1 keep their 64-bit pattern.
        r.setrlimit(r.RLIMIT_CPU, (-2, -1))
        r.setrlimit(10, (7, 8))
        print(json.dumps([r.getrlimit(n) for n in (7, 4, 1, 0, 10)]))
        print(open("/proc/self/limits").read())
    """, "resource")
    ours, limits = proc.stdout.split("\n", 1)
    assert json.loads(ours) == [[64, 128], [0, 4096], [5000, 6000], [-2, -1], [7, 8]]
    rows = {line[:26].strip(): line[26:68].split() for line in limits.splitlines()}
    assert rows["Max open files"] == ["64", "128"]
    assert rows["Max core file size"] == ["0", "4096"]
    assert rows["Max file size"] == ["5000", "6000"]
    assert rows["Max cpu time"] == [str(2**64 - 2), "unlimited"]
    assert rows["Max file locks"] == ["7", "8"]


NOFILE = 7
BAD_CALLS = [
    ("getrlimit", (16,), ValueError, "invalid resource specified"),
    ("getrlimit", (-1,), ValueError, "invalid resource specified"),
    ("getrlimit", (2**31 - 1,), ValueError, "invalid resource specified"),
    ("prlimit", (0, 16), ValueError, "invalid resource specified"),
    ("prlimit", (0, -5, (1, 1)), ValueError, "invalid resource specified"),
    ("setrlimit", (16, (1, 1)), ValueError, "invalid resource specified"),
    # The resource check comes before anything is done with the limits.
    ("setrlimit", (-1, "not limits"), ValueError, "invalid resource specified"),
    ("setrlimit", (NOFILE, (1, 2, 3)), ValueError, "expected a tuple of 2 integers"),
    ("setrlimit", (NOFILE, [1]), ValueError, "expected a tuple of 2 integers"),
    ("setrlimit", (NOFILE, ()), ValueError, "expected a tuple of 2 integers"),
    ("setrlimit", (NOFILE, (2, 1)), ValueError, "current limit exceeds maximum limit"),
    ("prlimit", (0, NOFILE, (2, 1)), ValueError, "current limit exceeds maximum limit"),
    ("getrusage", (2,), ValueError, "invalid who parameter"),
    ("getrusage", (-2,), ValueError, "invalid who parameter"),
    ("setrlimit", (NOFILE, 5), TypeError, "'int' object is not iterable"),
    ("setrlimit", (NOFILE, ("1", 2)), TypeError, None),
    ("setrlimit", (NOFILE, (1, None)), TypeError, None),
    # Soft is converted first, then hard.
    ("setrlimit", (NOFILE, (2**64, "x")), OverflowError, None),
    ("setrlimit", (NOFILE, ("x", 2**64)), TypeError, None),
    ("prlimit", (0, NOFILE, (-2**63 - 1, 1)), OverflowError, None),
    ("prlimit", (0, NOFILE, (1, 2, 3)), TypeError, "prlimit() argument 3 must be sequence of length 2, not 3"),
    ("prlimit", (0, NOFILE, 5), TypeError, None),
    ("prlimit", (0,), TypeError, None),
    ("getrlimit", ("7",), TypeError, None),
    ("getrlimit", (2**31,), OverflowError, None),
    ("getrusage", (), TypeError, None),
    ("getpagesize", (1,), TypeError, None),
]


@pytest.mark.parametrize("name,args,exc,message", BAD_CALLS)
def test_bad_calls(resource, name, args, exc, message):
    before = resource.getrlimit(NOFILE)
    with pytest.raises(exc) as info:
        getattr(resource, name)(*args)
    if message is not None:
        assert str(info.value) == message
    assert resource.getrlimit(NOFILE) == before


def test_prlimit_keeps_the_pair_alive_while_converting():
    # The parser hands over the items of a list or other sequence without a
    # reference of its own: one made afresh by __getitem__ is gone at once,
    # and the soft limit's __index__ may empty the list holding the hard one.
    proc = harness.run_child("""
        r = resource
        soft, hard = r.getrlimit(r.RLIMIT_CORE)

        class Limit:
            def __init__(self, value):
                self.value = value

            def __index__(self):
                return self.value

        class Fresh:
            def __len__(self):
                return 2

            def __getitem__(self, i):
                if i > 1:
                    raise IndexError(i)
                return Limit((soft, hard)[i])

        class Emptying(Limit):
            def __index__(self):
                pair.clear()
                return self.value

        pair = [Emptying(soft), Limit(hard)]
        print(r.prlimit(0, r.RLIMIT_CORE, Fresh()) == (soft, hard))
        print(r.prlimit(0, r.RLIMIT_CORE, pair) == (soft, hard), pair)
        print(r.getrlimit(r.RLIMIT_CORE) == (soft, hard))
    """, "resource")
    assert proc.stdout == "True\nTrue []\nTrue\n"

def test_resource_10_has_no_name_but_works(resource):
    assert 10 not in {v for k, v in vars(resource).items() if k.startswith("RLIMIT_")}
    assert resource.getrlimit(10) == proc_limits()[10] == resource.prlimit(0, 10)


@pytest.mark.parametrize("pid", [2**31 - 1, -2])
def test_missing_process_is_an_os_error(resource, pid):
    with pytest.raises(resource.error) as info:
        resource.prlimit(pid, NOFILE)
    assert info.value.errno == errno.ESRCH


@pytest.mark.namespace
def test_unprivileged_child_cannot_raise_its_hard_limit():
    need_hard_limits(RLIMIT_FSIZE=2000)
    # setpriv drops to nobody; the hard limit is first lowered (always
    # allowed) and then raised again (never allowed without privilege).
    proc = nsutil.run("child_nobody", unprivileged=True, names=("resource",), code="""
        import json, os
        r = resource
        out = {"uid": os.getuid()}
        r.setrlimit(r.RLIMIT_FSIZE, (1000, 2000))
        def attempt(call):
            try:
                call()
            except Exception as exc:
                return [type(exc).__name__, str(exc), getattr(exc, "errno", None)]
        out["setrlimit"] = attempt(lambda: r.setrlimit(r.RLIMIT_FSIZE, (1000, 3000)))
        out["prlimit"] = attempt(lambda: r.prlimit(0, r.RLIMIT_FSIZE, (1000, 3000)))
        # Lowering the soft limit alone stays allowed.
        out["lower"] = attempt(lambda: r.setrlimit(r.RLIMIT_FSIZE, (500, 2000)))
        out["after"] = r.getrlimit(r.RLIMIT_FSIZE)
        # Another user's process (the namespace's root shell) is off limits.
        out["other"] = attempt(lambda: r.prlimit(1, r.RLIMIT_FSIZE))
        print(json.dumps(out))
    """)
    out = json.loads(proc.stdout)
    assert out["uid"] == 65534
    assert out["setrlimit"] == ["ValueError", "not allowed to raise maximum limit", None]
    assert out["prlimit"][0] == "PermissionError" and out["prlimit"][2] == errno.EPERM
    assert out["lower"] is None
    assert out["after"] == [500, 2000]
    assert out["other"][0] == "PermissionError" and out["other"][2] == errno.EPERM


def proc_stat_times():
    with open("/proc/self/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    tick = os.sysconf("SC_CLK_TCK")
    return int(fields[11]) / tick, int(fields[12]) / tick, int(fields[7])


def burn(seconds):
    end = time.process_time() + seconds
    while time.process_time() < end:
        pass


@pytest.mark.skipif(harness.EMULATED, reason="the emulator writes zeros for the times in /proc/self/stat")
def test_getrusage_self_agrees_with_proc(resource):
    burn(0.05)
    before = resource.getrusage(resource.RUSAGE_SELF)
    utime, stime, minflt = proc_stat_times()
    after = resource.getrusage(resource.RUSAGE_SELF)
    # /proc counts in clock ticks; getrusage in microseconds.
    tick = 1 / os.sysconf("SC_CLK_TCK")
    assert before.ru_utime - 2 * tick <= utime <= after.ru_utime + 2 * tick
    assert before.ru_stime - 2 * tick <= stime <= after.ru_stime + 2 * tick
    assert before.ru_minflt <= minflt <= after.ru_minflt
    # The times are seconds plus microseconds.
    for t in before[:2]:
        assert abs(t * 1e6 - round(t * 1e6)) < 1e-3


def test_maxrss_follows_the_peak():
    proc = harness.run_child("""
        def status(key):
            with open("/proc/self/status") as f:
                return next(int(line.split()[1]) for line in f if line.startswith(key))
        rss = status("VmRSS:")
        block = b"x" * (64 << 20)
        print(rss, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, status("VmHWM:"))
    """, "resource")
    rss, after, peak = map(int, proc.stdout.split())
    # All in KiB. The kernel's counters may lag each other by a little, and
    # ru_maxrss also remembers the peak from before exec, so it may be higher.
    assert after >= rss + 60000
    assert after >= peak - peak // 20


def test_getrusage_thread_agrees_with_proc(resource):
    def switches():
        with open("/proc/thread-self/status") as f:
            return {k: int(v) for k, v in (line.split(":") for line in f)
                    if k in ("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")}
    time.sleep(0.01)
    before = resource.getrusage(resource.RUSAGE_THREAD)
    now = switches()
    after = resource.getrusage(resource.RUSAGE_THREAD)
    assert before.ru_nvcsw <= now["voluntary_ctxt_switches"] <= after.ru_nvcsw
    assert before.ru_nivcsw <= now["nonvoluntary_ctxt_switches"] <= after.ru_nivcsw
    assert before.ru_nvcsw > 0


def test_getrusage_children_counts_a_finished_child(resource):
    proc = harness.run_child("""
        import os, subprocess, sys, time
        code = "import time\\nend = time.process_time() + 0.2\\nwhile time.process_time() < end: pass"
        subprocess.run([sys.executable, "-I", "-c", code], check=True)
        usage = resource.getrusage(resource.RUSAGE_CHILDREN)
        times = os.times()
        print(usage.ru_utime, usage.ru_stime, times.children_user, times.children_system)
    """, "resource")
    utime, stime, tool_user, tool_system = map(float, proc.stdout.split())
    assert utime + stime >= 0.15
    # times(2) counts in clock ticks.
    assert abs(utime - tool_user) <= 0.02 and abs(stime - tool_system) <= 0.02


def test_getpagesize(resource):
    assert resource.getpagesize() == os.sysconf("SC_PAGE_SIZE") == mmap.PAGESIZE


def test_only_the_init_function_is_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", harness.module_path("resource")],
                         capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in out.splitlines()] == ["PyInit_resource"]


def test_no_leak_on_success_or_failure(resource):
    def calls():
        resource.getrusage(0)
        resource.getrlimit(NOFILE)
        resource.prlimit(0, NOFILE)
        for args in [(NOFILE, [1, 2, 3]), (NOFILE, (2, 1)), (NOFILE, (1, "x"))]:
            try:
                resource.setrlimit(*args)
            except (ValueError, TypeError):
                pass
    grown = harness.memory_growth(calls)
    assert grown < 20000, grown


def test_host_limits_untouched(resource):
    # Every failing call above left this process's limits as they were.
    assert [resource.getrlimit(r) for r in range(16)] == proc_limits()
