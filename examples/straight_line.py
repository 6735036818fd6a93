#!/usr/bin/env python3
"""A straight line of the end effector: 4 cm up and back at 3 cm/s. Runs
against a simulated arm unless --can names a bus:

    PYTHONPATH=build/python /usr/bin/python3 examples/straight_line.py [--can can0]
"""

import argparse
import contextlib
import math

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
    arm.move_joints([0.3, 0.8, 0.6, 0.0, 0.2, 0.0])
    arm.wait_motion()
    start = arm.get_ee_pose()  # [x, y, z, qw, qx, qy, qz]
    up = list(start)
    up[2] += 0.04
    arm.move_linear(up, 0.03)  # raises ValueError if the line cannot be followed
    arm.wait_motion()
    arm.move_linear(start, 0.03)
    arm.wait_motion()
    error = math.dist(arm.get_ee_pose()[:3], start[:3])
    print(f"back at the start within {error * 1000:.1f} mm")
raise SystemExit(0 if error < 0.005 else 1)
