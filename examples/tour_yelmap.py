import json
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "yelmap"))
import nsutil  # noqa: E402
from nis_server import Map, NisServer  # noqa: E402

DOMAIN = "tour.example"
MAPS = {
    "passwd.byname": Map({b"root": b"x:0:0:root:/root:/bin/bash", b"ada": b"x:1815:1815:Ada:/home/ada:/bin/sh"}),
    "hosts.byname": Map({b"nismaster": b"127.0.0.1 nismaster"}),
    # Stored the traditional way, each key and value with its NUL.
    "mail.aliases": Map({b"postmaster\0": b"root\0", b"abuse\0": b"ada\0"}, verbatim=True),
}

CHILD = """
import json
def attempt(text, call):
    try:
        return [text, repr(call())]
    except yelmap.error as exc:
        return [text, f"yelmap.error: {exc}"]
print(json.dumps([
    attempt("get_default_domain()", yelmap.get_default_domain),
    attempt("sorted(maps())", lambda: sorted(yelmap.maps())),
    attempt("match('ada', 'passwd')", lambda: yelmap.match("ada", "passwd")),
    attempt("match('postmaster', 'aliases')", lambda: yelmap.match("postmaster", "aliases")),
    attempt("cat('aliases')", lambda: yelmap.cat("aliases")),
    attempt("match('nobody', 'passwd')", lambda: yelmap.match("nobody", "passwd")),
    attempt("cat('nomap')", lambda: yelmap.cat("nomap")),
    attempt("maps('elsewhere.example')", lambda: yelmap.maps("elsewhere.example")),
]))
"""


def show(load):
    yelmap = load("yelmap")
    print(f"  {yelmap.__doc__.strip()}  Exception class: {yelmap.error.__module__}.{yelmap.error.__name__}")
    reason = nsutil.unavailable()
    if reason is not None:
        print(f"  (no private namespace for a NIS server here: {reason})")
        return
    with NisServer({DOMAIN: MAPS}) as nis:
        answers = nis.python(CHILD)
    print(f"  A NIS master (rpcbind, ypserv, ypbind) in private namespaces, domain {DOMAIN!r}:")
    for text, answer in answers:
        print(f"    {text:34} -> {answer}")
