import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402


@pytest.fixture(scope="session")
def load():
    """load(name) -> the module `name`, loaded by path from the build."""
    return harness.load
