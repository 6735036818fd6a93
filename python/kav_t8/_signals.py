"""SIGTERM and SIGHUP stop an open arm the way Ctrl-C does.

While an arm is open, and the program has not installed handlers of its own,
both signals raise KeyboardInterrupt in the main thread: a `with` block
around the arm closes it (the arm is held in damping, then the bus is
closed), and an arm still open when the interpreter exits is closed then.
Without an open arm the signals end the process as they would have.
"""

import os as _os
import signal as _signal
import threading as _threading
import weakref as _weakref

_SIGNALS = (_signal.SIGTERM, _signal.SIGHUP)
_arms = _weakref.WeakSet()


def _an_arm_is_open():
    return any(not arm.closed for arm in list(_arms))


def _stop(signum, frame):
    if _an_arm_is_open():
        raise KeyboardInterrupt(f"{_signal.Signals(signum).name}: stopping the arm")
    # No arm open: the signal does what it would have done without us.
    _signal.signal(signum, _signal.SIG_DFL)
    _os.kill(_os.getpid(), signum)


def arm_opened(arm):
    """Called for every arm brought up."""
    _arms.add(arm)
    if _threading.current_thread() is not _threading.main_thread():
        return  # handlers can only be installed from the main thread
    for signum in _SIGNALS:
        if _signal.getsignal(signum) is _signal.SIG_DFL:
            _signal.signal(signum, _stop)
