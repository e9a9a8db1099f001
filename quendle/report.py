"""The table of a profile: one row per function, in the order of the view.

  calls        completed calls of the function
  primitive    those made while no other call of it was open (not recursive)
  total        time in the function and its callees, recursion counted once
  inline       time in the function's own code, callees excluded
  total/call   total / primitive
  inline/call  inline / calls
  function     name (file:line), or the label of a built-in

Times are in seconds, per-call times in microseconds: a function that
runs for well under a microsecond a call still shows what a call costs.
"""
import operator

# Column name -> the figure it shows, as a key for sorting.
COLUMNS = {
    "calls": operator.attrgetter("calls"),
    "primitive": operator.attrgetter("primitive"),
    "total": operator.attrgetter("total"),
    "inline": operator.attrgetter("inline"),
    "total/call": operator.attrgetter("total_per_call"),
    "inline/call": operator.attrgetter("inline_per_call"),
    "function": operator.attrgetter("label"),
}
DEFAULT_SORT = "inline"


def column_key(column):
    try:
        return COLUMNS[column]
    except (KeyError, TypeError):
        raise ValueError("unknown column {!r}; choose from: {}".format(column, ", ".join(COLUMNS))) from None


def seconds(t):
    return "{:.6f}".format(t)


def microseconds(t):
    return "{:.3f}".format(t * 1e6)


def format_table(stats, limit=None):
    """The table as text: two lines of summary (of the whole profile), then
    the first `limit` rows of the view (all when `limit` is None or below 1)."""
    rows = stats.rows if limit is None or limit < 1 else stats.rows[:limit]
    calls = sum(f.calls for f in stats.functions.values())
    primitive = sum(f.primitive for f in stats.functions.values())
    lines = ["{} calls ({} primitive) in {} s".format(calls, primitive, seconds(stats.total)),
             "{} of {} functions, by {}; times in s, per call in us".format(
                 len(rows), len(stats.functions), stats.order or "profile order"), ""]
    cells = [list(COLUMNS)]
    for f in rows:
        cells.append([str(f.calls), str(f.primitive), seconds(f.total), seconds(f.inline),
                      microseconds(f.total_per_call), microseconds(f.inline_per_call), f.label])
    # Room for times up to 99 s, so tables of one profile line up alike.
    least = [0, 0, 9, 9, 0, 0]
    widths = [max([least[i]] + [len(row[i]) for row in cells]) for i in range(len(COLUMNS) - 1)]
    for row in cells:
        numbers = "  ".join(cell.rjust(w) for cell, w in zip(row, widths))
        lines.append("{}  {}".format(numbers, row[-1]).rstrip())
    return "\n".join(lines) + "\n"
