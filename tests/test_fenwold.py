import pytest

import harness

NAMES = ["_fenwold", "_fenwold_foo", "_fenwold_bar"]


@pytest.mark.parametrize("name", NAMES)
def test_each_name_loads_from_the_one_file(name):
    path = harness.module_path("_fenwold")
    module = harness.load(name, path)
    assert module.__name__ == name
    assert module.__doc__ == f"{name} doc"
    own = set(vars(module)) - {"__name__", "__doc__", "__loader__", "__package__", "__spec__", "__file__"}
    assert own == set()


def test_unknown_name_is_refused():
    with pytest.raises(ImportError, match="PyInit__fenwold_baz"):
        harness.load("_fenwold_baz", harness.module_path("_fenwold"))


def test_names_are_distinct_modules():
    path = harness.module_path("_fenwold")
    mods = [harness.load(n, path) for n in NAMES]
    assert len({id(m) for m in mods}) == 3
