"""Collision reflexes during a pytest run, for the conftest.py of tests/python
and tests/tools: the same accounting as the GoogleTest listener
(reflex_count.h). Each test's reflexes (every arm of the process together)
are counted; a test not marked @pytest.mark.provokes_reflex that saw some
appends "MODULE.TEST: N reflexes" to the file KAV_REFLEX_REPORT names (when
set), and the run's summary lists them."""

import os

import pytest

import kav_t8

_reported = []
_seen = kav_t8.reflexes_in_process()


def counted(count):
    return f"{count} reflex" if count == 1 else f"{count} reflexes"


def report(line):
    """Appends line to the report in one write (O_APPEND: lines of tests
    running in parallel never interleave) and keeps it for the summary."""
    _reported.append(line)
    path = os.environ.get("KAV_REFLEX_REPORT")
    if not path:
        return
    descriptor = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    try:
        os.write(descriptor, (line + "\n").encode())
    finally:
        os.close(descriptor)


def item_name(node):
    """MODULE.TEST (MODULE.CLASS.TEST) of a test item."""
    return ".".join([node.module.__name__, *([node.cls.__name__] if node.cls else []), node.name])


def provoked(node):
    return node.get_closest_marker("provokes_reflex") is not None


def _account(where, allowed=False):
    global _seen
    now = kav_t8.reflexes_in_process()
    if now > _seen and not allowed:
        report(f"{where}: {counted(now - _seen)}")
    _seen = now


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "provokes_reflex: the test makes an arm's collision reflex fire on purpose "
        "(its reflexes are not reported)")


@pytest.fixture(autouse=True)
def count_reflexes(request):
    # Reflexes since the last test ended: a module's shared arm brought up,
    # or a reflex that came after its test.
    _account(f"{request.node.module.__name__} (outside its tests)")
    yield
    _account(item_name(request.node), provoked(request.node))


def pytest_sessionfinish(session):
    _account("(outside every test)")


def pytest_terminal_summary(terminalreporter):
    if _reported:
        terminalreporter.section("reflexes no test provoked")
        for line in _reported:
            terminalreporter.write_line(line)
