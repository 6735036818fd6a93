"""Helpers of the kav tests: running the tool, and a bare host that writes
frames to a local-socket bus as any program driving the arm would."""

import os
import socket
import struct
import subprocess
import time

KAV = os.environ.get("KAV_TOOL", "kav")


def run(*arguments, timeout=60, **options):
    """Runs kav with arguments to the end; returns the CompletedProcess."""
    return subprocess.run([KAV, *arguments], capture_output=True, text=True, timeout=timeout, **options)


def start(*arguments, **options):
    """Starts kav with arguments; returns the Popen (text pipes)."""
    options.setdefault("stdout", subprocess.PIPE)
    options.setdefault("stderr", subprocess.PIPE)
    return subprocess.Popen([KAV, *arguments], text=True, **options)


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
