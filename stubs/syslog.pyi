# Writing to the system log.
from typing import overload

LOG_ALERT: int
LOG_AUTH: int
LOG_AUTHPRIV: int
LOG_CONS: int
LOG_CRIT: int
LOG_CRON: int
LOG_DAEMON: int
LOG_DEBUG: int
LOG_EMERG: int
LOG_ERR: int
LOG_INFO: int
LOG_KERN: int
LOG_LOCAL0: int
LOG_LOCAL1: int
LOG_LOCAL2: int
LOG_LOCAL3: int
LOG_LOCAL4: int
LOG_LOCAL5: int
LOG_LOCAL6: int
LOG_LOCAL7: int
LOG_LPR: int
LOG_MAIL: int
LOG_NDELAY: int
LOG_NEWS: int
LOG_NOTICE: int
LOG_NOWAIT: int
LOG_ODELAY: int
LOG_PERROR: int
LOG_PID: int
LOG_SYSLOG: int
LOG_USER: int
LOG_UUCP: int
LOG_WARNING: int

# Bit `priority` of a mask; 0 for a priority outside 0..31.
def LOG_MASK(priority: int, /) -> int: ...
# Every priority from 0 to `priority`: 0 below 0, -1 (all bits) from 31 on.
def LOG_UPTO(priority: int, /) -> int: ...
def closelog() -> None: ...
# ident defaults to the base name of sys.argv[0]; logoption to 0; facility to LOG_USER.
def openlog(ident: str = ..., logoption: int = 0, facility: int = ...) -> None: ...
# Returns the previous mask; a mask of 0 only reads it.
def setlogmask(mask: int, /) -> int: ...
@overload
def syslog(message: str, /) -> None: ...
@overload
def syslog(priority: int, message: str, /) -> None: ...
