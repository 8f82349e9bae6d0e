import os
import sys
from pathlib import Path

import refsieve

try:
    import refsieve_cli  # noqa: F401 - installed with the wheel
except ImportError:
    # A bare build of the extension: use the command-line tool from the checkout.
    sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "python"))


def pytest_report_header(config):
    return f"refsieve from {refsieve.__file__}"


def pytest_configure(config):
    # A run meant for a particular build (e.g. the sanitizer build) must not
    # silently test an installed copy instead.
    expected = os.environ.get("REFSIEVE_EXPECT_BUILD")
    if expected and not os.path.realpath(refsieve.__file__).startswith(os.path.realpath(expected)):
        raise RuntimeError(f"expected refsieve from {expected}, imported {refsieve.__file__}")
