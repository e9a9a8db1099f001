"""A tour of the built modules: each section loads its module from the build
folder and shows it doing real work. Sections live beside this file as
tour_<module>.py, each with a `show(load)` function; a module that is not
built yet is skipped with a note."""
import importlib.util
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))
import harness  # noqa: E402

ORDER = [
    "orvik", "tamvox", "_delvane", "krellune", "readline", "_quendle", "_ventrol",
    "yelmap", "resource", "syslog", "kelpin", "_crypt", "_zanthor", "_gorblin",
    "trevask", "_fenwold",
]


def section(name):
    path = os.path.join(HERE, f"tour_{name.lstrip('_')}.py")
    if not os.path.exists(path):
        return None
    spec = importlib.util.spec_from_file_location(f"tour_{name}", path)
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


def main():
    print(f"Python {sys.version.split()[0]}, modules from {harness.BUILD}\n")
    for name in ORDER:
        part = section(name)
        if part is None:
            continue
        title = f"── {name} "
        print(title + "─" * (72 - len(title)))
        try:
            harness.module_path(name)
        except FileNotFoundError:
            print("  (not built)\n")
            continue
        part.show(harness.load)
        print()


if __name__ == "__main__":
    main()
