#!/usr/bin/env python3
"""A joint trajectory through three points (a cubic spline), sampled inside
the control cycle. Runs against a simulated arm unless --can names a bus:

    PYTHONPATH=build/python /usr/bin/python3 examples/trajectory.py [--can can0]
"""

import argparse
import contextlib

import kav_t8

parser = argparse.ArgumentParser(description=__doc__)
parser.add_argument("--can", help="CAN interface or local-socket bus; default: a simulated arm")
args = parser.parse_args()

with contextlib.ExitStack() as stack:
    can_name = args.can
    if can_name is None:
        hub = stack.enter_context(kav_t8.BusHub())
        stack.enter_context(kav_t8.SimulatedArm(hub.endpoint))
        can_name = hub.endpoint
    arm = stack.enter_context(kav_t8.InterfacesPy(kav_t8.description_path(), can_name, 0))
    # (positions, seconds after the start); add velocities for Hermite segments:
    # (positions, velocities, t), or use dicts with those keys.
    arm.follow_joint_trajectory(
        [
            ([0.3, 0.8, 0.6, 0.0, 0.2, 0.0], 3.0),
            ([0.6, 1.1, 0.9, 0.3, 0.0, 0.3], 6.0),
            ([0.2, 0.9, 0.7, 0.0, 0.1, 0.0], 9.0),
        ]
    )
    done = arm.wait_motion(timeout=30)
    print("joints:", " ".join(f"{q:+.3f}" for q in arm.get_joint_positions()[:6]))
raise SystemExit(0 if done else 1)
