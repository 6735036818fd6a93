"""Host laws in the control cycle through kav_t8.InterfacesPy against the
simulated arm: bad arguments refused, a joint spring reaches its target, a
Cartesian spring holds the pose, commands streamed from a Python loop. One
arm serves the file."""

import contextlib
import math
import os
import time

import pytest

import kav_t8
from helpers import distance, near, wait_for

JOINT_STIFFNESS = [60, 60, 60, 20, 10, 5]
JOINT_DAMPING = [5, 5, 5, 0.5, 0.3, 0.2]


@pytest.fixture(scope="module")
def arm():
    with kav_t8.BusHub() as hub, kav_t8.SimulatedArm(hub.endpoint):
        with kav_t8.InterfacesPy(kav_t8.description_path(), hub.endpoint, 0) as arm:
            arm.set_joint_positions([0.2, 0.6, 0.5, 0.1, 0.2, 0.1])
            arm.set_arm_status(kav_t8.ArmState.POSITION_CONTROL)
            assert wait_for(lambda: near(arm.get_joint_positions(), [0.2, 0.6, 0.5, 0.1, 0.2, 0.1], 0.02))
            yield arm


def test_bad_arguments_raise_and_nothing_runs(arm):
    target = arm.get_joint_positions()[:6]
    for stiffness, damping, seconds, message in [
        (JOINT_STIFFNESS[:5], JOINT_DAMPING, 1.0, "stiffness: expected 6"),
        (JOINT_STIFFNESS, [math.nan] * 6, 1.0, r"damping\[0\]"),
        ([-1] + JOINT_STIFFNESS[1:], JOINT_DAMPING, 1.0, r"stiffness\[0\]"),
        (JOINT_STIFFNESS, JOINT_DAMPING, 0.0, "seconds"),
    ]:
        with pytest.raises(ValueError, match="^run_joint_impedance: .*" + message):
            arm.run_joint_impedance(stiffness, damping, target, seconds)
    with pytest.raises(ValueError, match="^run_cartesian_impedance: "):
        arm.run_cartesian_impedance([300] * 6, [30] * 6, [0.0] * 7, 1.0)
    assert arm.get_arm_status() == kav_t8.ArmState.POSITION_CONTROL


def test_a_joint_spring_reaches_its_target_and_a_cartesian_spring_holds_the_pose(arm):
    target = [0.3, 0.7, 0.6, 0.1, 0.2, 0.1]
    arm.run_joint_impedance(JOINT_STIFFNESS, JOINT_DAMPING, target, 2.0)
    assert near(arm.get_joint_positions(), target, 0.02)
    assert arm.get_arm_status() == kav_t8.ArmState.POSITION_CONTROL

    pose = arm.get_ee_pose()
    arm.run_cartesian_impedance([300, 300, 300, 20, 20, 20], [30, 30, 30, 0.5, 0.5, 0.5], pose, 1.0)
    assert distance(arm.get_ee_pose(), pose) < 0.003
    assert [code for code in arm.get_error_codes() if code != 193] == []


@contextlib.contextmanager
def real_time_priority():
    """The loop at real-time priority where allowed: a loop of a busy machine
    must not be held off for the 4 cycles that end the stream."""
    try:
        os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(10))
    except (PermissionError, OSError):
        pass
    try:
        yield
    finally:
        os.sched_setscheduler(0, os.SCHED_OTHER, os.sched_param(0))


def test_streamed_commands_move_the_arm_and_stopping_them_ends_control(arm):
    start = arm.get_joint_positions()[:6]
    target = [start[0] + 0.2, start[1] + 0.1] + start[2:]
    zeros = [0.0] * 6
    with real_time_priority(), arm.torque_control() as ctl:
        first = ctl.read_once()
        assert first.q.shape == (7,) and first.jacobian.shape == (6, 6) and first.pose.shape == (4, 4)
        assert arm.get_arm_status() == 6
        for stiffness, damping, values in [
            (JOINT_STIFFNESS[:5], JOINT_DAMPING, "k_p: expected 6"),
            ([-1] + JOINT_STIFFNESS[1:], JOINT_DAMPING, r"k_p\[0\] is a negative gain"),
            (JOINT_STIFFNESS, [math.nan] * 6, r"k_d\[0\] is not a finite"),
        ]:
            with pytest.raises(ValueError, match="^write_once: " + values):
                ctl.write_once(stiffness, damping, target, zeros, first.gravity)
        with pytest.raises(RuntimeError, match="runs already"):
            arm.torque_control().__enter__()
        state = first
        while state.time < 1.5:
            ctl.write_once(JOINT_STIFFNESS, JOINT_DAMPING, target, zeros, state.gravity)
            previous, state = state, ctl.read_once()
            assert state.cycle > previous.cycle
        late = ctl.late_cycles
    # Each cycle's command came from the loop; the arm then holds there.
    assert near(arm.get_joint_positions(), target, 0.02)
    assert arm.get_arm_status() == kav_t8.ArmState.POSITION_CONTROL
    assert late < state.cycle / 10

    codes_before = len(arm.get_error_codes())
    with arm.torque_control() as ctl:
        ctl.write_once(JOINT_STIFFNESS, JOINT_DAMPING, target, zeros, ctl.read_once().gravity)
        time.sleep(0.1)  # 20 cycles without a command
        with pytest.raises(kav_t8.TorqueControlTimeout, match="no command came for 4 cycles"):
            while True:
                ctl.read_once(timeout=10.0)  # a held-off machine runs the cycles later
        assert issubclass(kav_t8.TorqueControlTimeout, TimeoutError)
    assert 194 in arm.get_error_codes()[codes_before:]
    assert arm.get_arm_status() == kav_t8.ArmState.PROTECT
    arm.set_joint_positions(arm.get_joint_positions())
    arm.set_arm_status(kav_t8.ArmState.POSITION_CONTROL)
