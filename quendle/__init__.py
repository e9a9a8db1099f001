"""quendle: a front end for the _quendle call profiler.

From the shell:

    python3 -m quendle [-s COLUMN] [-n N] [-o flame.svg] script.py args...

runs the script under _quendle.Profiler, prints its functions as a table
(calls, primitive calls, total and inline time, per-call times) sorted by
COLUMN, and writes a flame graph of caller->callee time with -o.

From Python:

    import quendle
    with quendle.profile() as run:
        work()
    stats = run.stats                      # a quendle.Stats
    stats.sort("total").filter("json").print(10)
    stats.save("work.json"); quendle.Stats.load("work.json")
    stats.flamegraph("work.svg")

or over a profiler of one's own: quendle.Stats.from_profiler(profiler).
"""
from .flame import call_paths, render_svg, write_svg
from .loader import ExtensionError, extension
from .report import COLUMNS, DEFAULT_SORT, format_table
from .run import profile, run_script
from .stats import Call, Function, Stats

__all__ = ["COLUMNS", "Call", "DEFAULT_SORT", "ExtensionError", "Function", "Stats", "call_paths", "extension",
           "format_table", "profile", "render_svg", "run_script", "write_svg"]
