"""The modules a fuzz child has loaded, by name, for strategies that build
values from our own types."""
import harness

_loaded = {}


def load(names):
    for name in names:
        _loaded[name] = harness.load(name)
    return dict(_loaded)


def get(name):
    """The module if this child loaded it, else None."""
    if name not in _loaded:
        try:
            _loaded[name] = harness.load(name)
        except (FileNotFoundError, ImportError):
            _loaded[name] = None
    return _loaded[name]
