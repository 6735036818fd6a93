#!/usr/bin/env python3
"""Drives the arm from Python: joint targets, an end-effector target, the
gripper, home, and a clean stop.

Without arguments it runs against the simulated arm on a private local-socket
bus, so it needs no hardware:

    PYTHONPATH=build/python /usr/bin/python3 examples/arm_demo.py

With --can it drives the arm on that bus instead ("can0", or a bus served by
kav_arm_sim such as "unix:@kav-arm"). The library's own lines (start-up and
shutdown messages) appear between the demo's.
"""

import argparse
import contextlib
import math
import time

import kav_t8


def wait_for(condition, timeout):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if condition():
            return True
        time.sleep(0.01)
    return False


def show(label, values):
    print(f"{label:<26}" + " ".join(f"{v:+.3f}" for v in values), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--can", help='CAN interface or local-socket bus; default: a simulated arm')
    parser.add_argument("--type", type=int, default=0, help="arm variant (2: gripper driven by position)")
    args = parser.parse_args()

    with contextlib.ExitStack() as stack:
        can_name = args.can
        if can_name is None:
            hub = stack.enter_context(kav_t8.BusHub())
            stack.enter_context(kav_t8.SimulatedArm(hub.endpoint, variant=args.type))
            can_name = hub.endpoint
            print(f"demo: simulated arm on {can_name}", flush=True)

        print("demo: bringing the arm up (about 4 s)", flush=True)
        started = time.monotonic()
        arm = stack.enter_context(kav_t8.InterfacesPy(kav_t8.description_path(), can_name, args.type))
        print(f"demo: arm up after {time.monotonic() - started:.1f} s", flush=True)
        time.sleep(0.1)  # the status of the first control cycles
        show("joints [rad]", arm.get_joint_positions())

        target = [0.3, 0.6, 0.5, 0.2, -0.3, 0.4]
        print(f"demo: POSITION_CONTROL to {target}", flush=True)
        arm.set_joint_positions(target)
        arm.set_arm_status(kav_t8.ArmState.POSITION_CONTROL)
        reached = wait_for(lambda: all(abs(q - t) < 0.02 for q, t in zip(arm.get_joint_positions(), target)), 15)
        show("joints [rad]", arm.get_joint_positions())
        show("pose x y z qw qx qy qz", arm.get_ee_pose())
        print(f"demo: joint targets {'reached' if reached else 'NOT reached'}", flush=True)

        pose = arm.get_ee_pose()
        pose[0] += 0.03
        print("demo: END_CONTROL, end effector 3 cm further along x", flush=True)
        arm.set_ee_pose(pose)
        arm.set_arm_status(kav_t8.ArmState.END_CONTROL)
        moved = wait_for(lambda: math.dist(arm.get_ee_pose()[:3], pose[:3]) < 0.003, 10)
        show("pose x y z qw qx qy qz", arm.get_ee_pose())
        print(f"demo: end-effector target {'reached' if moved else 'NOT reached'}", flush=True)

        print("demo: gripper to 0.5 rad", flush=True)
        arm.set_catch(0.5)
        time.sleep(1.0)
        show("gripper [rad]", arm.get_joint_positions()[6:])

        print("demo: going home", flush=True)
        arm.go_home()
        home = wait_for(lambda: all(abs(q) < 0.05 for q in arm.get_joint_positions()[:6]), 30)
        show("joints [rad]", arm.get_joint_positions())
        print(f"demo: {'home' if home else 'NOT home'}; stopping the arm", flush=True)
    print("demo: arm stopped", flush=True)
    return 0 if reached and moved and home else 1


if __name__ == "__main__":
    raise SystemExit(main())
