"""Flame graphs of a profile, as standalone SVG files.

A box stands for a call path: a chain of calls from a root function up to
the function the box names. Its width is the time spent on that path, callees
included; the boxes of its callees sit on top of it, and the part they leave
uncovered is the function's own time there. Roots are at the bottom, side by
side; callees are ordered by name. Python functions are drawn in warm colours,
built-in functions in blue. Hovering a box shows its function, where it is
defined, its time and its share of the whole.

The profiler keeps figures per function and per caller->callee pair, not whole
stacks, so the width of a path longer than two calls is apportioned:

- A root's box is the function's total time times the share of its primitive
  calls that had no profiled caller (its calls less those recorded from
  callers). A function never called from profiled code gets its whole total.
- On a path ending in F, the box of a callee G is the path's width times
  T(F->G) / T(F): T(F->G) is the total time of G's calls from F, T(F) the
  total time of F. Every path through F is taken to split its time among F's
  callees in the proportions that all of F's calls do. This is exact for paths
  of one or two functions, and for longer ones whenever a function spends its
  time alike whoever calls it. Should the callees' shares add up to more than
  the path (recursion can nest one callee's time inside another's), they are
  scaled down together to fit.
- Recursion is folded: a callee already on the path is not drawn again, and
  its time stays in the box of its caller. A function calling itself thus
  shows as one box holding its outermost calls, like its total in the table.

Boxes narrower than `min_width` pixels are left out, with all above them.
"""
import collections
import re
import zlib
from xml.sax.saxutils import escape

# A call path's box: `path` is a tuple of function keys from the root;
# `x` and `width` are in seconds from the left edge of the graph.
Box = collections.namedtuple("Box", "path x width")

FRAME = 16          # height of one level of boxes, pixels
PAD = 10            # left and right margins
TOP = 36            # room for the title
BOTTOM = 26         # room for the note under the graph
CHAR = 6.6          # advance of one character of 11px monospace text


def roots(stats):
    """[(key, width in seconds)] of the root boxes, ordered by label."""
    incoming = collections.Counter()
    for f in stats.functions.values():
        for key, call in f.callees.items():
            incoming[key] += call.calls
    out = []
    for f in sorted(stats.functions.values(), key=lambda f: f.label):
        unclaimed = f.calls - incoming[f.key]
        if unclaimed > 0 and f.total > 0 and f.primitive > 0:
            out.append((f.key, f.total * min(1.0, unclaimed / f.primitive)))
    return out


def call_paths(stats, min_fraction=0.0):
    """(boxes, total): the boxes of the call paths, each path once, parents
    before their callees; `total` is the width of the graph in seconds.
    Paths narrower than `min_fraction` of the total are left out."""
    functions = stats.functions
    base = roots(stats)
    total = sum(width for _, width in base)
    least = min_fraction * total
    pending, x = [], 0.0
    for key, width in base:
        if width > 0 and width >= least:
            pending.append(Box((key,), x, width))
        x += width
    pending.reverse()
    boxes = []
    while pending:
        box = pending.pop()
        boxes.append(box)
        caller = functions[box.path[-1]]
        if caller.total <= 0:
            continue
        callees = sorted(((functions[k].label, k, c.total) for k, c in caller.callees.items()
                          if k not in box.path and c.total > 0))
        scale = box.width / caller.total
        claimed = scale * sum(t for _, _, t in callees)
        if claimed > box.width:
            scale *= box.width / claimed
        x, above = box.x, []
        for _, key, t in callees:
            width = t * scale
            if width > 0 and width >= least:
                above.append(Box(box.path + (key,), x, width))
            x += width
        pending.extend(reversed(above))
    return boxes, total


_UNSAFE = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ud800-\udfff\ufffe\uffff]")


def _text(s):
    # XML 1.0 has no way to write these characters at all.
    return escape(_UNSAFE.sub("?", s))


def _colour(f):
    v = zlib.crc32(f.name.encode("utf-8", "replace"))
    if f.builtin:
        return "rgb({},{},{})".format(90 + v % 50, 150 + (v >> 8) % 60, 215 + (v >> 16) % 40)
    return "rgb({},{},{})".format(215 + v % 40, 80 + (v >> 8) % 150, 30 + (v >> 16) % 40)


def _fit(name, width):
    room = int((width - 6) / CHAR)
    if room < 3:
        return ""
    return name if len(name) <= room else name[:room - 2] + ".."


def render_svg(stats, title="quendle", width=1200, min_width=0.1):
    """The flame graph of `stats` as SVG text, `width` pixels wide."""
    usable = width - 2 * PAD
    boxes, total = call_paths(stats, min_width / usable)
    depth = max((len(b.path) for b in boxes), default=0)
    height = TOP + depth * FRAME + BOTTOM
    scale = usable / total if total > 0 else 0.0
    out = [
        '<?xml version="1.0" encoding="UTF-8" standalone="no"?>',
        '<svg xmlns="http://www.w3.org/2000/svg" version="1.1" width="{0}" height="{1}" '
        'viewBox="0 0 {0} {1}">'.format(width, height),
        '<style>g.frame:hover rect { stroke: #000; stroke-width: 0.8 }</style>',
        '<rect x="0" y="0" width="{}" height="{}" fill="#f8f8f2"/>'.format(width, height),
        # Presentation attributes rather than CSS: every renderer reads them.
        '<g font-family="DejaVu Sans Mono, Menlo, Consolas, monospace" font-size="11" fill="#000">',
        '<text x="{}" y="22" font-size="15" text-anchor="middle">{}</text>'.format(width / 2, _text(title)),
    ]
    for box in boxes:
        f = stats.functions[box.path[-1]]
        x, w = PAD + box.x * scale, box.width * scale
        y = height - BOTTOM - len(box.path) * FRAME
        tip = "{}\n{:.6f} s, {:.2f}%".format(f.label, box.width, 100.0 * box.width / total)
        out.append('<g class="frame"><title>{}</title>'.format(_text(tip)))
        out.append('<rect x="{:.3f}" y="{}" width="{:.3f}" height="{}" rx="2" fill="{}"/>'.format(
            x, y, w, FRAME - 1, _colour(f)))
        name = _fit(f.short_name, w)
        if name:
            out.append('<text x="{:.3f}" y="{}">{}</text>'.format(x + 3, y + 11.5, _text(name)))
        out.append("</g>")
    note = ("{:.6f} s profiled; a box is a call path, its width the time spent on it; "
            "hover for details".format(total) if total > 0 else "no profiled time")
    out.append('<text x="{}" y="{}" fill="#555">{}</text>'.format(PAD, height - 8, _text(note)))
    out.append("</g>")
    out.append("</svg>")
    return "\n".join(out) + "\n"


def write_svg(stats, path, title="quendle", **options):
    """Write the flame graph of `stats` to the file `path`."""
    with open(path, "w", encoding="utf-8") as f:
        f.write(render_svg(stats, title, **options))
