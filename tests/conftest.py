import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
import counterparts  # noqa: E402

# Before any test module imports a package that imports one of these names.
counterparts.install()


@pytest.fixture(scope="session")
def load():
    """load(name) -> the module `name`, loaded by path from the build."""
    return harness.load


def pytest_sessionfinish(session, exitstatus):
    strays = counterparts.strays()
    if strays:
        session.config.get_terminal_writer().line(
            "interpreter-provided counterparts of our modules were loaded: " + ", ".join(strays), red=True)
        session.exitstatus = pytest.ExitCode.TESTS_FAILED
