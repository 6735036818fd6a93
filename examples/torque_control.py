#!/usr/bin/env python3
"""Your own law from a plain Python loop at the control rate, for 3 s: each
cycle Python reads the state and writes the next command, a joint spring
whose target swings along a sine, with the arm's weight carried by the
model's gravity torques (the motors apply the spring between two cycles).
Prints how many cycles went without a new command (the loop was late) and
how far the arm ended from its last target.
Runs against a simulated arm unless --can names a bus:

    PYTHONPATH=build/python /usr/bin/python3 examples/torque_control.py [--can can0]

Commands must keep coming: 4 cycles (20 ms) without one end control, the arm
held in damping, and read_once() raises TorqueControlTimeout. Run the loop at
real-time priority on a real arm (see docs/control.md).
"""

import argparse
import contextlib
import os

import numpy as np

import kav_t8

STIFFNESS = np.array([60.0, 60.0, 60.0, 20.0, 10.0, 5.0])  # N·m/rad
DAMPING = np.array([5.0, 5.0, 5.0, 0.5, 0.3, 0.2])  # N·m·s/rad

parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
parser.add_argument("--can", help="CAN interface or local-socket bus; default: a simulated arm")
parser.add_argument("--seconds", type=float, default=3.0, help="how long the law runs")
args = parser.parse_args()

with contextlib.suppress(PermissionError, OSError):
    # A loop that the machine's other work cannot hold off for 20 ms.
    os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(10))

with contextlib.ExitStack() as stack:
    can_name = args.can
    if can_name is None:
        hub = stack.enter_context(kav_t8.BusHub())
        stack.enter_context(kav_t8.SimulatedArm(hub.endpoint))
        can_name = hub.endpoint
    arm = stack.enter_context(kav_t8.InterfacesPy(kav_t8.description_path(), can_name, 0))
    start = np.array(arm.get_joint_positions()[:6])
    swing = np.array([0.3, 0.2, 0.2, 0.1, 0.1, 0.1])  # rad
    zeros = np.zeros(6)
    with arm.torque_control() as ctl:
        state = ctl.read_once()
        while state.time < args.seconds:
            # Half a period of 6 s: out and resting at the end (zero velocity).
            phase = np.pi * min(state.time / args.seconds, 1.0)
            target = start + swing * 0.5 * (1.0 - np.cos(phase))
            velocity = swing * 0.5 * np.sin(phase) * np.pi / args.seconds
            ctl.write_once(STIFFNESS, DAMPING, target, velocity, state.gravity)
            state = ctl.read_once()
        late = ctl.late_cycles
        cycles = state.cycle
    error = np.max(np.abs(np.array(arm.get_joint_positions()[:6]) - (start + swing)))
    print(f"{cycles} cycles, {late} without a new command; the arm {error * 1000:.1f} mrad from its target")
raise SystemExit(0 if error < 0.02 else 1)
