import os

import refsieve


def pytest_report_header(config):
    return f"refsieve from {refsieve.__file__}"


def pytest_configure(config):
    # A run meant for a particular build (e.g. the sanitizer build) must not
    # silently test an installed copy instead.
    expected = os.environ.get("REFSIEVE_EXPECT_BUILD")
    if expected and not os.path.realpath(refsieve.__file__).startswith(os.path.realpath(expected)):
        raise RuntimeError(f"expected refsieve from {expected}, imported {refsieve.__file__}")
