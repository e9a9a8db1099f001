"""python3 -m quendle: profile a script, print its table, draw its flame graph."""
import argparse
import os
import sys
import traceback

from .loader import ExtensionError
from .report import COLUMNS, DEFAULT_SORT, column_key
from .run import run_script
from .stats import Stats

PROG = "python3 -m quendle"
USAGE = """{0} [options] script.py [args ...]
       {0} [options] --load profile.json""".format(PROG)
# Options that take a value: the first word after the options that is not
# one of them, nor such a value, is the script; all after it is its own.
VALUED = {"-s", "--sort", "-n", "--limit", "-o", "--output", "--save", "--load"}


def parser():
    p = argparse.ArgumentParser(prog=PROG, usage=USAGE, allow_abbrev=False,
                                description="Run a Python script under the _quendle profiler and report where "
                                            "its time went.")
    p.add_argument("-s", "--sort", metavar="COLUMN", default=DEFAULT_SORT,
                   help="sort the table by COLUMN, one of: {} (default: {})".format(", ".join(COLUMNS),
                                                                                     DEFAULT_SORT))
    p.add_argument("-n", "--limit", metavar="N", type=int, default=20,
                   help="print the first N rows (default 20; 0 for all)")
    p.add_argument("-o", "--output", metavar="SVG", help="write a flame graph to this SVG file")
    p.add_argument("--save", metavar="JSON", help="save the profile to this file")
    p.add_argument("--load", metavar="JSON", help="report on a saved profile instead of running a script")
    p.add_argument("--no-builtins", action="store_true", help="do not profile built-in functions")
    return p


def split_argv(argv):
    """(our options, [script, its arguments...])"""
    i = 0
    while i < len(argv):
        word = argv[i]
        if word == "--":
            return argv[:i], argv[i + 1:]
        if word == "-" or not word.startswith("-"):
            return argv[:i], argv[i:]
        i += 2 if word in VALUED else 1
    return argv, []


def exit_status(error):
    """The status the interpreter would have ended the script with."""
    if error is None:
        return 0
    if isinstance(error, SystemExit):
        if error.code is None or isinstance(error.code, int):
            return error.code or 0
        print(error.code, file=sys.stderr)
        return 1
    traceback.print_exception(type(error), error, error.__traceback__.tb_next)
    return 1


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    ours, command = split_argv(argv)
    p = parser()
    options = p.parse_args(ours)
    try:
        column_key(options.sort)
    except ValueError as exc:
        p.error(str(exc))
    if bool(command) == bool(options.load):
        p.error("give either a script to run or --load with a saved profile")
    status = 0
    try:
        if options.load:
            stats = Stats.load(options.load)
            title = os.path.basename(options.load)
        else:
            if not os.path.isfile(command[0]):
                p.error("no script {!r}".format(command[0]))
            run = run_script(command[0], command[1:], builtins=not options.no_builtins)
            stats, title = run.stats, " ".join([os.path.basename(command[0])] + command[1:])
            status = exit_status(run.error)
    except SyntaxError as exc:
        sys.stderr.write("".join(traceback.format_exception_only(type(exc), exc)))
        return 1
    except (ExtensionError, OSError, ValueError) as exc:
        print("{}: error: {}".format(PROG, exc), file=sys.stderr)
        return 2
    sys.stdout.flush()
    stats.sort(options.sort).print(options.limit)
    if options.save:
        stats.save(options.save)
    if options.output:
        stats.flamegraph(options.output, title="quendle: " + title)
        print("flame graph written to {}".format(options.output), file=sys.stderr)
    return status


if __name__ == "__main__":
    sys.exit(main())
