"""Figures of the command-line tool kav on simulated arms:

- kav record: CPU share (user + system time of the recording process over
  the wall time) and file size per minute on a bus carrying an arm's 200 Hz
  traffic (seven motors, commands and replies: 2800 frames/s), for an HDF5
  and an MCAP recording of the same bus;
- kav teleop --sim: the delay from the leader's measured path to the
  follower's commands, p50 and p99 in control cycles, from recordings of both
  buses (kav_t8.recording.follow_delay).

    PYTHONPATH=build/python /usr/bin/python3 bench/bench_tools.py [--kav build/kav] [--seconds 60]
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

import kav_t8.recording as recording

CYCLE = 0.005


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--kav", default="build/kav")
    parser.add_argument("--seconds", type=float, default=60.0, help="length of the recording")
    options = parser.parse_args()
    leader_bus, follower_bus = f"unix:@bench-tools-l-{os.getpid()}", f"unix:@bench-tools-f-{os.getpid()}"
    with tempfile.TemporaryDirectory() as folder:
        teleop = subprocess.Popen(
            [options.kav, "teleop", "--sim", "--leader", leader_bus, "--follower", follower_bus,
             "--duration", str(options.seconds + 2)],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        while not teleop.stdout.readline().startswith("t="):  # following has begun
            pass
        files = {name: os.path.join(folder, name + extension)
                 for name, extension in (("leader", ".h5"), ("follower", ".h5"), ("follower-mcap", ".mcap"))}
        recorders = {name: subprocess.Popen([options.kav, "record", "--can", bus, "--out", files[name]],
                                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                     for name, bus in (("leader", leader_bus), ("follower", follower_bus),
                                       ("follower-mcap", follower_bus))}
        start = time.monotonic()
        time.sleep(options.seconds)
        cpu = {name: cpu_seconds(recorders[name].pid) for name in ("follower", "follower-mcap")}
        wall = time.monotonic() - start
        for recorder in recorders.values():
            recorder.terminate()
            recorder.wait()
        teleop.wait()
        follower_run = recording.Recording(files["follower"])
        frames = sum(len(follower_run.commands[j]["time"]) + len(follower_run.feedback[j]["time"])
                     for j in recording.JOINTS)
        print(f"kav record, {wall:.0f} s of an arm's 200 Hz bus ({frames / wall:.0f} frames/s):")
        for name, label in (("follower", "HDF5"), ("follower-mcap", "MCAP")):
            size = os.path.getsize(files[name])
            print(f"  {label}: CPU share {100.0 * cpu[name] / wall:.2f} % of one core, "
                  f"file {size / 1e6 * 60.0 / wall:.2f} MB per minute")
        leader_run = recording.Recording(files["leader"])
        delays = np.concatenate([recording.follow_delay(leader_run, follower_run, joint)
                                 for joint in recording.JOINTS[:6]]) / CYCLE
        p50, p99 = np.percentile(delays, [50, 99])
        print(f"kav teleop --sim: delay from the leader's measured path to the follower's commands, "
              f"{len(delays)} samples:")
        print(f"  p50 {p50:.2f} cycles, p99 {p99:.2f} cycles, max {delays.max():.2f} cycles (cycle 5 ms)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
