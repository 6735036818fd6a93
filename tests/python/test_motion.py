"""Motions through kav_t8.InterfacesPy: how Python values map onto them (the
mathematics is tested in C++). One arm serves every test of this file."""

import numpy as np
import pytest

import kav_t8
from helpers import near

START = [0.3, 0.8, 0.6, 0.0, 0.2, 0.0]
OTHER = [0.5, 1.0, 0.8, 0.2, 0.0, 0.2]


@pytest.fixture(scope="module")
def arm():
    with kav_t8.BusHub() as hub, kav_t8.SimulatedArm(hub.endpoint):
        with kav_t8.InterfacesPy(kav_t8.description_path(), hub.endpoint, 0) as arm:
            yield arm


def test_move_joints_and_wait(arm):
    assert arm.motion_done()
    arm.move_joints(np.array(START), speed_scale=1.0)
    assert not arm.motion_done()
    assert arm.wait_motion(timeout=0.01) is False
    assert arm.wait_motion() is True
    assert arm.motion_done()


@pytest.mark.parametrize(
    "points",
    [
        [(OTHER, 4.0), (START, 8.0)],
        [(OTHER, [0.0] * 6, 4.0), (START, [0.0] * 6, 8.0)],
        [{"positions": OTHER, "time_from_start": 4.0}, {"positions": START, "time_from_start": 8.0}],
        [
            {"positions": OTHER, "velocities": [0.0] * 6, "accelerations": [0.0] * 6, "time_from_start": 4.0},
            (START, [0.0] * 6, [0.0] * 6, 8.0),
        ],
    ],
    ids=["positions", "velocities", "dicts", "accelerations"],
)
def test_trajectory_point_forms(arm, points):
    arm.follow_joint_trajectory(points)
    assert not arm.motion_done()
    arm.stop_motion()
    assert arm.wait_motion(5.0)


@pytest.mark.parametrize(
    "points, message",
    [
        ([(START,)], "points\\[0\\] must be"),
        ([{"positions": START}], "needs the keys"),
        ([{"positions": START, "time_from_start": 2.0, "speed": 1}], "unknown key 'speed'"),
        ([(START[:5], 2.0)], "points\\[0\\].positions holds 5 values"),
        ([("abc", 2.0)], "sequence of numbers"),
        ([(START, 2.0), (OTHER, 1.0)], "points\\[1\\].time_from_start"),
        ([(OTHER, 0.5)], "above its"),
    ],
)
def test_bad_trajectories_raise_value_error(arm, points, message):
    with pytest.raises(ValueError, match=message):
        arm.follow_joint_trajectory(points)
    assert arm.motion_done()


def test_move_linear_from_a_pose_vector_or_a_matrix(arm):
    arm.move_joints(START)
    assert arm.wait_motion(20.0)
    start = arm.get_ee_pose()
    goal = list(start)
    goal[2] += 0.02
    arm.move_linear(goal, 0.02)
    assert arm.wait_motion(20.0)
    matrix = kav_t8.pose_vector_to_matrix(start)
    arm.move_linear(matrix, 0.02)
    assert arm.wait_motion(20.0)
    assert near(arm.get_ee_pose(), start, 0.003, 3)
    with pytest.raises(ValueError, match="4x4"):
        arm.move_linear(np.eye(3), 0.02)
    with pytest.raises(ValueError, match="7 pose values"):
        arm.move_linear(start[:6], 0.02)
    with pytest.raises(ValueError, match="speed"):
        arm.move_linear(start, -1.0)


def test_limits_and_bad_values(arm):
    with pytest.raises(ValueError, match="max_velocity of joint 6"):
        arm.set_motion_limits([1.0] * 5 + [2.5], [0.5] * 6)
    arm.set_motion_limits([1.0] * 6, [0.25] * 6)
    arm.set_motion_limits([2.0] * 6, [0.5] * 6)
    with pytest.raises(ValueError, match="speed_scale"):
        arm.move_joints(START, speed_scale=1.5)
    with pytest.raises(ValueError, match="outside its limits"):
        arm.move_joints([0.0, 0.0, 0.0, 0.0, 0.0, 3.0])
    with pytest.raises(ValueError, match="timeout"):
        arm.wait_motion(-1.0)
