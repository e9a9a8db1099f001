import json

import nsutil

# Runs in a private namespace whose own /dev/log is a socket bound right here,
# so the lines never reach (or need) the machine's logger.
CHILD = """
import json, os, socket, sys
rx = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
rx.bind("/dev/log")
sys.argv = ["/usr/local/bin/tour.py"]
sent = []
def log(*args):
    syslog.syslog(*args)
    rx.settimeout(0.2)
    try:
        sent.append([repr(args), rx.recv(65536).decode()])
    except socket.timeout:
        sent.append([repr(args), None])
log("first line: opens the log with the defaults")
log(syslog.LOG_ERR, "an error, 100% literal %s")
syslog.openlog("tour", syslog.LOG_PID, syslog.LOG_LOCAL0)
log(syslog.LOG_NOTICE, "after openlog('tour', LOG_PID, LOG_LOCAL0)")
syslog.setlogmask(syslog.LOG_UPTO(syslog.LOG_WARNING))
log(syslog.LOG_INFO, "masked away by setlogmask(LOG_UPTO(LOG_WARNING))")
syslog.closelog()
print(json.dumps(sent))
"""


def show(load):
    syslog = load("syslog")
    print(f"  LOG_MASK(LOG_ERR) = {syslog.LOG_MASK(syslog.LOG_ERR)}, "
          f"LOG_UPTO(LOG_DEBUG) = {syslog.LOG_UPTO(syslog.LOG_DEBUG)}, "
          f"LOG_UPTO(40) = {syslog.LOG_UPTO(40)} (every bit)")
    reason = nsutil.unavailable()
    if reason is not None:
        print(f"  (no private namespace for a log receiver here: {reason})")
        return
    proc = nsutil.run("child", private_dev=True, names=("syslog",), code=CHILD)
    print("  Datagrams a private /dev/log received:")
    for call, datagram in json.loads(proc.stdout):
        print(f"    syslog{call}\n      -> {datagram if datagram is not None else '(nothing sent)'}")
