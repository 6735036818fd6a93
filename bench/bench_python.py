#!/usr/bin/env python3
"""Cost of calls into the kav_t8 package from Python, against the simulated
arm. Prints the median time per call over several rounds.

    PYTHONPATH=build/python /usr/bin/python3 bench/bench_python.py
"""

import statistics
import time

import kav_t8


def per_call(function, calls=2000, rounds=7):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        for _ in range(calls):
            function()
        times.append((time.perf_counter() - start) / calls)
    return statistics.median(times)


def report(name, seconds):
    if seconds >= 1e-3:
        print(f"{name:<52} {seconds * 1e3:9.2f} ms", flush=True)
    else:
        print(f"{name:<52} {seconds * 1e6:9.2f} us", flush=True)


def main():
    joints = [0.2, 0.5, 0.4, -0.3, 0.6, 0.1]
    pose = kav_t8.q7_fk(joints)
    seed = [q + 0.1 for q in joints]
    solver = kav_t8.KinematicSolver()
    chain_pose = solver.compute_forward_kinematics(joints)
    results = [
        ("q7_fk", per_call(lambda: kav_t8.q7_fk(joints))),
        ("q7_ik_lm, seed 0.1 rad from the solution", per_call(lambda: kav_t8.q7_ik_lm(seed, pose), 200)),
        ("KinematicSolver.compute_forward_kinematics", per_call(lambda: solver.compute_forward_kinematics(joints))),
        ("KinematicSolver.compute_inverse_kinematics (warm seed)",
         per_call(lambda: solver.compute_inverse_kinematics(chain_pose), 200)),
        ("Xyzrpy2Isometry (4x4 numpy array out)", per_call(lambda: kav_t8.Xyzrpy2Isometry(pose))),
    ]
    for name, seconds in results:
        report(name, seconds)

    with kav_t8.BusHub() as hub, kav_t8.SimulatedArm(hub.endpoint):
        start = time.perf_counter()
        arm = kav_t8.InterfacesPy(kav_t8.description_path(), hub.endpoint, 0)
        construction = time.perf_counter() - start
        arm.set_arm_status(kav_t8.ArmState.POSITION_CONTROL)
        target = [0.0] * 6
        arm_results = [
            ("InterfacesPy.get_joint_positions", per_call(arm.get_joint_positions)),
            ("InterfacesPy.get_ee_pose", per_call(arm.get_ee_pose)),
            ("InterfacesPy.set_joint_positions", per_call(lambda: arm.set_joint_positions(target))),
        ]
        start = time.perf_counter()
        arm.close()
        closing = time.perf_counter() - start
    for name, seconds in arm_results:
        report(name, seconds)
    report("InterfacesPy construction (bring-up, once)", construction)
    report("InterfacesPy.close (once)", closing)


if __name__ == "__main__":
    main()
