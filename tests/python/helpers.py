"""Helpers shared by the pytest suites of the kav_t8 package."""

import math
import threading
import time


def wait_for(condition, timeout=10.0):
    """Polls condition() until it holds or timeout seconds passed; returns
    its last value."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if condition():
            return True
        time.sleep(0.005)
    return condition()


def near(a, b, tolerance, count=None):
    count = len(b) if count is None else count
    return all(abs(a[i] - b[i]) <= tolerance for i in range(count))


def distance(a, b):
    return math.dist(a[:3], b[:3])


class Ticker:
    """Counts in a Python thread; a call that holds the GIL stops it."""

    def __init__(self):
        self.count = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        while not self._stop.is_set():
            self.count += 1
            time.sleep(0.01)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()
