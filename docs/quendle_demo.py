"""A small real workload for the quendle page: write a web server's access
log, parse it with a regular expression, sum it up, sort the results and send
the report through JSON and back.

    python3 -m quendle -o flame.svg docs/quendle_demo.py [LINES]
"""
import collections
import json
import random
import re
import sys

LINE = re.compile(r'(?P<host>\S+) - - \[(?P<when>[^]]+)\] "(?P<method>[A-Z]+) (?P<path>\S+) HTTP/1\.1" '
                  r'(?P<status>\d{3}) (?P<size>\d+)')
PATHS = ["/", "/index.html", "/api/items", "/api/items/{}", "/static/app.js", "/login", "/search?q={}"]


def make_log(lines, seed=1):
    rnd = random.Random(seed)
    hosts = ["10.0.{}.{}".format(rnd.randrange(4), rnd.randrange(256)) for _ in range(200)]
    columns = zip(rnd.choices(hosts, k=lines), rnd.choices(("GET", "GET", "POST"), k=lines),
                  rnd.choices(PATHS, k=lines), rnd.choices(range(1000), k=lines),
                  rnd.choices((200, 200, 200, 200, 304, 404, 500), k=lines), rnd.choices(range(100, 50000), k=lines))
    return ['{} - - [09/Dec/2026:17:{:02d}:{:02d} +0000] "{} {} HTTP/1.1" {} {}'.format(
        host, i // 60 % 60, i % 60, method, path.format(n), status, size)
        for i, (host, method, path, n, status, size) in enumerate(columns)]


def parse(lines):
    return [match.groupdict() for match in map(LINE.match, lines) if match]


def summarise(records):
    hits, sizes, statuses = collections.Counter(), collections.Counter(), collections.Counter()
    for r in records:
        hits[re.sub(r"\d+", "N", r["path"])] += 1
        sizes[r["host"]] += int(r["size"])
        statuses[r["status"]] += 1
    return {"pages": top(hits, 5), "hosts": top(sizes, 5), "statuses": dict(sorted(statuses.items()))}


def top(counter, n):
    return sorted(counter.items(), key=lambda item: (-item[1], item[0]))[:n]


def main(lines):
    records = json.loads(json.dumps(parse(make_log(lines))))
    report = summarise(records)
    by_size = sorted(records, key=lambda r: int(r["size"]), reverse=True)
    print("{} requests; busiest page {}; largest response {} bytes".format(
        len(records), report["pages"][0][0], by_size[0]["size"]))


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 20000)
