# Resource usage and limits of this process and of others.
from _typeshed import structseq
from typing import Sequence, final

RLIMIT_AS: int
RLIMIT_CORE: int
RLIMIT_CPU: int
RLIMIT_DATA: int
RLIMIT_FSIZE: int
RLIMIT_MEMLOCK: int
RLIMIT_MSGQUEUE: int
RLIMIT_NICE: int
RLIMIT_NOFILE: int
RLIMIT_NPROC: int
RLIMIT_OFILE: int
RLIMIT_RSS: int
RLIMIT_RTPRIO: int
RLIMIT_RTTIME: int
RLIMIT_SIGPENDING: int
RLIMIT_STACK: int
# -1: "no limit", as getrlimit reports it and setrlimit takes it.
RLIM_INFINITY: int
RUSAGE_CHILDREN: int
RUSAGE_SELF: int
RUSAGE_THREAD: int

# The module's error is OSError itself.
error = OSError

@final
class struct_rusage(
    structseq[float], tuple[float, float, int, int, int, int, int, int, int, int, int, int, int, int, int, int]
):
    @property
    def ru_utime(self) -> float: ...
    @property
    def ru_stime(self) -> float: ...
    @property
    def ru_maxrss(self) -> int: ...
    @property
    def ru_ixrss(self) -> int: ...
    @property
    def ru_idrss(self) -> int: ...
    @property
    def ru_isrss(self) -> int: ...
    @property
    def ru_minflt(self) -> int: ...
    @property
    def ru_majflt(self) -> int: ...
    @property
    def ru_nswap(self) -> int: ...
    @property
    def ru_inblock(self) -> int: ...
    @property
    def ru_oublock(self) -> int: ...
    @property
    def ru_msgsnd(self) -> int: ...
    @property
    def ru_msgrcv(self) -> int: ...
    @property
    def ru_nsignals(self) -> int: ...
    @property
    def ru_nvcsw(self) -> int: ...
    @property
    def ru_nivcsw(self) -> int: ...

def getpagesize() -> int: ...
def getrlimit(resource: int, /) -> tuple[int, int]: ...
def getrusage(who: int, /) -> struct_rusage: ...
# Returns the limits as they were; without `limits` it only reads them.
def prlimit(pid: int, resource: int, limits: Sequence[int] = ..., /) -> tuple[int, int]: ...
# `limits` is any sequence of two integers (soft, hard).
def setrlimit(resource: int, limits: Sequence[int], /) -> None: ...
