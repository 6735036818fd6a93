"""Every test's collision reflexes are counted (tests/support/reflex_report.py)."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "support"))

# pytest finds the hooks and the autouse fixture by their names here.
from reflex_report import (  # noqa: E402,F401
    count_reflexes,
    pytest_configure,
    pytest_sessionfinish,
    pytest_terminal_summary,
)
