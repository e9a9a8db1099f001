"""Three overlapping panels raised, lowered and hidden in a terminal.

In the tour (`make demo`) the steps run in a pseudo-terminal and the screen is
printed after each one. To watch them in your own terminal instead:

    python3 examples/tour_ventrol.py --live      (a key, or two seconds, moves on)
"""
import importlib.util
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))

# Runs with `_ventrol` already loaded from the build; `run(delay)` waits up to
# `delay` seconds for a key after each step.
DEMO = r'''
import curses, os, select

def stack():
    names, p = [], _ventrol.top_panel()
    while p is not None:
        names.append(p.userptr())
        p = p.below()
    return " ".join(names) or "-"

STEPS = [
    ("new_panel() three times: the last made is on top", lambda p: None),
    ("one.top(): raised above the others", lambda p: p["one"].top()),
    ("two.top()", lambda p: p["two"].top()),
    ("three.hide(): gone, what it covered shows again", lambda p: p["three"].hide()),
    ("one.bottom(): lowered beneath two", lambda p: p["one"].bottom()),
    ("three.show(): back, and on top", lambda p: p["three"].show()),
    ("two.hide(); one.hide()", lambda p: (p["two"].hide(), p["one"].hide())),
]

def run(delay):
    stdscr = curses.initscr()
    curses.noecho()
    curses.cbreak()
    try:
        curses.curs_set(0)
    except curses.error:
        pass
    try:
        panels = {}
        for name, y, x in [("one", 2, 4), ("two", 5, 18), ("three", 8, 32)]:
            window = curses.newwin(7, 26, y, x)
            window.border("|", "|", "-", "-", "+", "+", "+", "+")
            window.addstr(1, 2, f"panel {name}")
            panels[name] = _ventrol.new_panel(window)
            panels[name].set_userptr(name)
        for number, (caption, action) in enumerate(STEPS, 1):
            action(panels)
            stdscr.move(0, 0)
            stdscr.clrtoeol()
            stdscr.addstr(0, 0, f"({number}/{len(STEPS)}) {caption}")
            stdscr.move(17, 0)
            stdscr.clrtoeol()
            stdscr.addstr(17, 0, f"stack, top first: {stack()}")
            _ventrol.update_panels()
            curses.doupdate()
            if select.select([0], [], [], delay)[0]:
                os.read(0, 1)
    finally:
        curses.endwin()
'''


def program():
    import harness
    return harness.loader_source("_ventrol") + DEMO


def captured_screens(rows=24, cols=80, timeout=60):
    """Runs the steps in a pseudo-terminal; yields the screen after each."""
    import pexpect
    import pyte
    screen = pyte.Screen(cols, rows)
    stream = pyte.ByteStream(screen)
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON") and k not in ("LINES", "COLUMNS")}
    env["TERM"] = "xterm-color"  # plain xterm would repeat characters with REP, which pyte lacks
    child = pexpect.spawn(sys.executable, ["-s", "-c", program() + "run(60)"], env=env, dimensions=(rows, cols))
    try:
        step, seen = 1, False
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                stream.feed(child.read_nonblocking(65536, timeout=0.2))
                continue
            except pexpect.TIMEOUT:
                pass  # output has paused: the step is drawn
            except pexpect.EOF:
                break
            if screen.display[0].startswith(f"({step}/"):
                yield [line.rstrip() for line in screen.display[:18]]
                seen = True
                step += 1
                child.send(b" ")
        if not seen:
            raise RuntimeError("the demo showed nothing:\n" + "\n".join(screen.display))
    finally:
        child.close(force=True)


def show(load):
    if not all(importlib.util.find_spec(name) for name in ("pexpect", "pyte")):
        print("  (capturing a terminal needs pexpect and pyte; run examples/tour_ventrol.py --live instead)")
        return
    for lines in captured_screens():
        print("  ┌" + "─" * 66)
        for line in lines:
            print("  │ " + line)
    print("  └" + "─" * 66)
    print("  (live, in your own terminal: python3 examples/tour_ventrol.py --live)")


if __name__ == "__main__":
    sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))
    if sys.argv[1:] != ["--live"]:
        import harness
        show(harness.load)
    elif not (os.isatty(0) and os.isatty(1)):
        sys.exit("--live needs a terminal")
    else:
        exec(program() + "run(2.0)", {})
