"""Every test's collision reflexes are counted (tests/support/reflex_report.py):
those of arms in this process, and the reflexes that the programs the test
ran (kav, kav_demo) printed on a standard error kavtool captured."""

import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "support"))

# pytest finds the hooks and the autouse fixtures by their names here.
from reflex_report import (  # noqa: E402,F401
    count_reflexes,
    pytest_configure,
    pytest_sessionfinish,
    pytest_terminal_summary,
)
from reflex_report import counted, provoked, report, item_name  # noqa: E402

import kavtool  # noqa: E402


def _report_programs(where, lines):
    programs = {}
    for program, line in lines:
        programs.setdefault(program, []).append(line)
    for program, printed in programs.items():
        report(f"{where}: {counted(len(printed))} ({program}: {printed[0].strip()})")


@pytest.fixture(autouse=True)
def count_program_reflexes(request):
    _report_programs(f"{request.node.module.__name__} (outside its tests)", kavtool.collision_lines())
    yield
    lines = kavtool.collision_lines()
    if not provoked(request.node):
        _report_programs(item_name(request.node), lines)
