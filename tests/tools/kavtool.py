"""Helpers of the kav tests: running the tool, and a bare host that writes
frames to a local-socket bus as any program driving the arm would."""

import os
import socket
import struct
import subprocess
import time

KAV = os.environ.get("KAV_TOOL", "kav")

# The programs run since the last call of collision_lines() that still owe
# their standard error, and what was read of it.
_running = []
_errors = []


class _Program(subprocess.Popen):
    """A Popen that keeps what it reads of the program's standard error."""

    def communicate(self, *arguments, **options):
        output, errors = super().communicate(*arguments, **options)
        if errors:
            _errors.append((self.args[0], errors))
        return output, errors


def run(*arguments, timeout=60, **options):
    """Runs kav with arguments to the end; returns the CompletedProcess."""
    result = subprocess.run([KAV, *arguments], capture_output=True, text=True, timeout=timeout, **options)
    _errors.append((KAV, result.stderr))
    return result


def start(*arguments, program=KAV, **options):
    """Starts program (kav unless told) with arguments; returns the Popen
    (text pipes)."""
    options.setdefault("stdout", subprocess.PIPE)
    options.setdefault("stderr", subprocess.PIPE)
    process = _Program([program, *arguments], text=True, **options)
    _running.append(process)
    return process


def collision_lines():
    """The "Collision on joint" lines (the arm's reflexes) that the programs
    run since the last call printed on a standard error captured here: the
    whole of it for programs run to the end or communicated with, the unread
    rest for those that have ended since. A program still running stays for
    the next call."""
    global _running
    still = []
    for process in _running:
        if process.stderr is None or process.stderr.closed:
            continue
        if process.poll() is None:
            still.append(process)
        else:
            _errors.append((process.args[0], process.stderr.read()))
    _running = still
    lines = [(os.path.basename(program), line) for program, text in _errors
             for line in text.splitlines() if "Collision on joint" in line]
    _errors.clear()
    return lines


def wait_for_line(process, predicate, timeout):
    """Reads process's standard output until a line satisfies predicate;
    returns that line (AssertionError when the output ends or time runs out)."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        line = process.stdout.readline()
        if not line:
            break
        if predicate(line):
            return line
    raise AssertionError("kav did not print the expected line")


class BareHost:
    """A member of a local-socket bus that sends raw 16-byte frames."""

    def __init__(self, endpoint):
        address = endpoint[len("unix:"):]
        if address.startswith("@"):
            address = "\0" + address[1:]
        self.socket = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        self.socket.connect(address)

    def send(self, can_id, payload):
        self.socket.send(struct.pack("<IB3x8s", can_id, len(payload), bytes(payload)))

    def close(self):
        self.socket.close()


def unique(name):
    """A local-socket bus address no other test uses."""
    return f"unix:@kav-tools-{name}-{os.getpid()}"
