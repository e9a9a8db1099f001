"""Runs every benchmark in this folder (bench_*.py) against the build.
Each benchmark prints its own table of ratios against a peer measured in the
same run and returns a one-line verdict on its goals; the verdicts are
repeated at the end, one line per module. `python3 bench/run.py NAME` runs
just bench_NAME.py."""
import glob
import os
import runpy
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))
sys.path.insert(0, HERE)

wanted = sys.argv[1:]
verdicts = []
for path in sorted(glob.glob(os.path.join(HERE, "bench_*.py"))):
    name = os.path.basename(path)[len("bench_"):-len(".py")]
    if wanted and name not in wanted:
        continue
    print(f"== {name}")
    verdicts.append(runpy.run_path(path)["main"]())
    print()
print("== goals")
for verdict in verdicts:
    print(verdict)
