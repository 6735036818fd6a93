"""kav teach, play and teleop on simulated arms, moved by a simulated hand."""

import json
import subprocess
import threading
import time

import numpy as np
import pytest

import kav_t8
import kav_t8.recording
from kavtool import start, unique, wait_for_line

CYCLE = 0.005  # s, the control cycle

# Spring and damper of the test's hand per joint (N m/rad, N m s/rad).
STIFFNESS = [60, 60, 60, 10, 10, 5]
DAMPING = [6, 6, 6, 1, 1, 0.5]


class Hand(threading.Thread):
    """Pushes the six arm joints of a simulated arm towards a target pose."""

    def __init__(self, sim):
        super().__init__(daemon=True)
        self.sim, self.target, self.done = sim, None, threading.Event()

    def run(self):
        while not self.done.is_set():
            if self.target is not None:
                q, v = self.sim.joint_positions(), self.sim.joint_velocities()
                for j in range(6):
                    self.sim.set_external_torque(j, STIFFNESS[j] * (self.target[j] - q[j]) - DAMPING[j] * v[j])
            time.sleep(0.002)
        for j in range(6):
            self.sim.set_external_torque(j, 0.0)

    def guide(self, pose, timeout=10.0):
        """Moves the arm to pose and waits until it rests there."""
        self.target = pose
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            q, v = self.sim.joint_positions(), self.sim.joint_velocities()
            if max(abs(q[j] - pose[j]) for j in range(6)) < 0.1 and max(abs(x) for x in v[:6]) < 0.02:
                return q[:6]
            time.sleep(0.02)
        raise AssertionError(f"the hand did not bring the arm to {pose}")


def test_teach_stores_the_poses_the_arm_was_guided_to_and_play_visits_them(tmp_path):
    taught = tmp_path / "poses.json"
    poses = [[0.4, 0.6, 0.5, 0.2, -0.3, 0.3], [-0.3, 0.9, 0.7, -0.2, 0.3, -0.4]]
    with kav_t8.BusHub(unique("teach")) as hub, kav_t8.SimulatedArm(hub.endpoint) as sim:
        teach = start("teach", "--can", hub.endpoint, "--out", str(taught), stdin=subprocess.PIPE)
        wait_for_line(teach, lambda line: line.startswith("ready"), timeout=60)
        hand = Hand(sim)
        hand.start()
        reached = []
        for index, pose in enumerate(poses):
            reached.append(hand.guide(pose))
            if index == 1:
                teach.stdin.write("g")  # open the gripper before the second waypoint
            teach.stdin.write("\n")
            teach.stdin.flush()
            wait_for_line(teach, lambda line: line.startswith(f"waypoint {index + 1}:"), timeout=10)
        teach.stdin.write("q")
        teach.stdin.close()
        assert teach.wait(timeout=30) == 0, teach.stderr.read()
        hand.done.set()
        hand.join()

        # Played back from the file: the arm visits both waypoints in order.
        play = start("play", "--can", hub.endpoint, str(taught), "--speed-scale", "0.5")
        output, errors = play.communicate(timeout=120)
        assert play.returncode == 0, errors
        lines = [line for line in output.splitlines() if line.startswith("reached waypoint")]
        assert [line.split()[2] for line in lines] == ["1/2", "2/2"], output
        for line, pose in zip(lines, reached):
            np.testing.assert_allclose([float(x) for x in line.split()[5:11]], pose, atol=0.03)
    document = json.loads(taught.read_text())
    assert document["description"] == "vorlan_v1.1_aa"
    assert [w["gripper"] for w in document["waypoints"]] == [0.0, 1.0]
    for waypoint, pose in zip(document["waypoints"], reached):
        np.testing.assert_allclose(waypoint["joints"], pose, atol=0.01)


def test_teach_sim_floats_a_simulated_arm_of_its_own(tmp_path):
    taught = tmp_path / "poses.json"
    teach = start("teach", "--sim", "--out", str(taught), stdin=subprocess.PIPE)
    wait_for_line(teach, lambda line: line.startswith("ready"), timeout=60)
    teach.stdin.write("\n")
    teach.stdin.flush()
    wait_for_line(teach, lambda line: line.startswith("waypoint 1:"), timeout=10)
    teach.stdin.write("q")
    teach.stdin.close()
    assert teach.wait(timeout=30) == 0, teach.stderr.read()
    # Nobody moves it: it floats at home, where the bring-up left it.
    np.testing.assert_allclose(json.loads(taught.read_text())["waypoints"][0]["joints"], [0.0] * 6, atol=0.03)
    both = start("teach", "--sim", "--can", "unix:@nowhere", "--out", str(tmp_path / "x.json"))
    assert both.wait(timeout=30) == 2


def test_teleop_follower_tracks_the_hand_guided_leader(tmp_path):
    leader_bus, follower_bus = unique("leader"), unique("follower")
    teleop = start("teleop", "--sim", "--leader", leader_bus, "--follower", follower_bus, "--duration", "6.5")
    wait_for_line(teleop, lambda line: line.startswith("bringing up"), timeout=30)
    recorders = [start("record", "--can", bus, "--out", str(tmp_path / f"{name}.h5"))
                 for name, bus in [("leader", leader_bus), ("follower", follower_bus)]]
    output, errors = teleop.communicate(timeout=120)
    assert teleop.returncode == 0, errors
    for recorder in recorders:
        recorder.terminate()
        assert recorder.wait(timeout=30) == 0
    leader = kav_t8.recording.Recording(str(tmp_path / "leader.h5"))
    follower = kav_t8.recording.Recording(str(tmp_path / "follower.h5"))

    # The delay from the leader's measured path to the follower's commands,
    # while the hand moves the leader (the first 4 s of following).
    delays = np.concatenate([kav_t8.recording.follow_delay(leader, follower, joint)
                             for joint in kav_t8.recording.JOINTS[:6]]) / CYCLE
    assert len(delays) > 500
    assert np.median(delays) <= 3.0, f"median delay {np.median(delays):.2f} cycles"

    # After the leader stops (the hand holds it from 4 s on), the follower
    # stands where the leader stands, up to the end of following (the
    # follower's last position command: it is stopped first, with damping).
    end = follower.absolute(follower.commanded_position("joint1")[0])[-1]
    for joint in kav_t8.recording.JOINTS[:6]:
        lt = leader.absolute(leader.feedback[joint]["time"])
        ft = follower.absolute(follower.feedback[joint]["time"])
        still = (lt > end - 1.0) & (lt <= end - 0.1)
        assert np.count_nonzero(still) > 100
        assert np.all(np.abs(leader.feedback[joint]["velocity"][still]) < 0.05), joint
        follower_then = np.interp(lt[still], ft, follower.feedback[joint]["position"])
        assert np.max(np.abs(follower_then - leader.feedback[joint]["position"][still])) < 0.05, joint
