#!/usr/bin/env python3
"""The collision observer's largest false residuals on real threads while
the whole process is stalled now and then, as a virtual machine's stolen
time stalls it: a child process stops this one (SIGSTOP) for 5 to 45 ms
about every 150 ms while the arm moves between three poses at the default
limits. Prints the largest residual per joint, N·m, and the reflex
thresholds are set out of reach so that the moves go on.

    PYTHONPATH=build/python /usr/bin/python3 bench/bench_stalled_residuals.py [rounds]
"""

import os
import subprocess
import sys
import threading
import time

import kav_t8

POSES = [
    [0.3, 0.8, 0.6, 0.0, 0.2, 0.0],
    [0.5, 1.2, 1.0, 0.4, -0.3, 0.5],
    [-0.4, 0.3, 0.2, -0.5, 0.5, -0.6],
]

STALLER = """
while kill -0 {pid} 2>/dev/null; do
  sleep 0.1$((RANDOM % 9))
  kill -STOP {pid}; sleep 0.0$((RANDOM % 4 + 1))$((RANDOM % 10)); kill -CONT {pid}
done
"""


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    with kav_t8.BusHub() as hub, kav_t8.SimulatedArm(hub.endpoint):
        with kav_t8.InterfacesPy(kav_t8.description_path(), hub.endpoint, 0) as arm:
            arm.set_collision_thresholds([1000.0] * 6, [2000.0] * 6)
            largest = [0.0] * 6
            done = threading.Event()

            def sample():
                while not done.is_set():
                    for j, torque in enumerate(arm.get_external_torques()):
                        largest[j] = max(largest[j], abs(torque))
                    time.sleep(0.0005)

            sampler = threading.Thread(target=sample)
            sampler.start()
            staller = subprocess.Popen(["bash", "-c", STALLER.format(pid=os.getpid())])
            try:
                for _ in range(rounds):
                    for pose in POSES:
                        arm.move_joints(pose, speed_scale=1.0)
                        arm.wait_motion()
            finally:
                staller.kill()
                staller.wait()
                os.kill(os.getpid(), 18)  # SIGCONT, should the staller have died mid-stall
                done.set()
                sampler.join()
            print("largest residual, N·m, joints 1-6:", " ".join(f"{t:.2f}" for t in largest), flush=True)


if __name__ == "__main__":
    main()
