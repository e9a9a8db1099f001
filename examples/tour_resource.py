import os
import subprocess
import time

NAMES = ["CPU", "FSIZE", "DATA", "STACK", "CORE", "RSS", "NPROC", "NOFILE", "MEMLOCK", "AS",
         "LOCKS", "SIGPENDING", "MSGQUEUE", "NICE", "RTPRIO", "RTTIME"]


def show(load):
    resource = load("resource")
    end = time.process_time() + 0.05
    while time.process_time() < end:
        pass
    usage = resource.getrusage(resource.RUSAGE_SELF)
    print(f"  This process so far: {usage.ru_utime:.3f} s user, {usage.ru_stime:.3f} s system, "
          f"peak resident {usage.ru_maxrss} KiB,")
    print(f"  {usage.ru_minflt} minor / {usage.ru_majflt} major page faults, "
          f"{usage.ru_nvcsw} voluntary / {usage.ru_nivcsw} involuntary context switches.")
    print(f"  Page size: {resource.getpagesize()} bytes.")
    print("  Its limits (-1 = RLIM_INFINITY, shown as 'unlimited'):")
    show_value = lambda v: "unlimited" if v == resource.RLIM_INFINITY else str(v)  # noqa: E731
    for number, name in enumerate(NAMES):
        soft, hard = resource.getrlimit(number)
        print(f"    {number:2} {name:<11} soft {show_value(soft):>12}   hard {show_value(hard):>12}")

    # Another process's limits, read and lowered from here.
    child = subprocess.Popen(["sleep", "30"])
    try:
        old = resource.prlimit(child.pid, resource.RLIMIT_NOFILE, (64, 128))
        print(f"  prlimit on a child (pid {child.pid}): open files {old} -> "
              f"{resource.prlimit(child.pid, resource.RLIMIT_NOFILE)}")
    finally:
        child.kill()
        child.wait()
    try:
        resource.setrlimit(resource.RLIMIT_NOFILE, (2, 1))
    except ValueError as exc:
        print(f"  setrlimit with soft above hard: ValueError: {exc}")
    print(f"  pid {os.getpid()} unchanged: open files still {resource.getrlimit(resource.RLIMIT_NOFILE)}")
