"""Collision detection through kav_t8.InterfacesPy against the simulated arm:
thresholds and payloads refused, external torques, a push that sets the
contact flag and then fires the reflex, and recovery. One arm serves the file."""

import math

import pytest

import kav_t8
from helpers import near, wait_for

REFLEX_JOINT_1 = 161
RECOVERED = 176


@pytest.fixture(scope="module")
def bench():
    with kav_t8.BusHub() as hub, kav_t8.SimulatedArm(hub.endpoint) as sim:
        with kav_t8.InterfacesPy(kav_t8.description_path(), hub.endpoint, 0) as arm:
            yield sim, arm


def test_bad_thresholds_and_payloads_raise_and_change_nothing(bench):
    _, arm = bench
    defaults = arm.get_collision_thresholds()
    torques = arm.get_external_torques()
    assert len(torques) == 6 and all(isinstance(t, float) and math.isfinite(t) for t in torques)
    assert isinstance(arm.contact_detected(), bool)

    lower, upper = [5.0] * 6, [20.0] * 6
    arm.set_collision_thresholds(lower, upper)
    assert arm.get_collision_thresholds() == (lower, upper)
    for bad_lower, bad_upper, message in [
        ([5.0] * 5, upper, "expected 6 lower"),
        (lower, [20.0] * 7, "expected 6 upper"),
        ([5, 5, math.nan, 5, 5, 5], upper, "joint 3"),
        ([5, 5, 5, -1, 5, 5], upper, "joint 4"),
        ([5, 5, 5, 5, 25, 5], upper, "joint 5 lies above"),
    ]:
        with pytest.raises(ValueError, match="^set_collision_thresholds: .*" + message):
            arm.set_collision_thresholds(bad_lower, bad_upper)
        assert arm.get_collision_thresholds() == (lower, upper)
    arm.set_collision_thresholds(*defaults)

    arm.set_payload(0.0, [0.0, 0.0, 0.0])
    for mass, centre in [(1.0, [0.0, 0.0]), (1.0, [0.0] * 4), (-1.0, [0.0] * 3),
                         (math.nan, [0.0] * 3), (1.0, [0.0, 0.0, 2.0])]:
        with pytest.raises(ValueError, match="^set_payload: "):
            arm.set_payload(mass, centre)


def test_calibration_files_refused_naming_the_field_or_loaded(bench, tmp_path):
    _, arm = bench
    bad = tmp_path / "arm.json"
    bad.write_text('{"version": 1, "joints": []}')
    with pytest.raises(ValueError, match="^load_dynamics: .*joints"):
        arm.load_dynamics(str(bad))
    with pytest.raises(ValueError, match="^load_payload: .*payload"):
        arm.load_payload(str(bad))
    payload = tmp_path / "payload.json"
    payload.write_text('{"version": 1, "payload": {"mass_kg": 0.2, "centre_of_mass_m": [0, 0, 0.05]}}')
    arm.load_payload(str(payload))
    arm.set_payload(0.0, [0.0, 0.0, 0.0])


@pytest.mark.provokes_reflex
def test_a_push_sets_contact_then_the_reflex_fires_and_recover_brings_control_back(bench):
    sim, arm = bench
    arm.go_home()
    assert wait_for(lambda: near(arm.get_joint_positions(), [0.0] * 6, 0.05), 30.0)
    # Thresholds this simulated arm in GO_HOME resists well: pushes between
    # the defaults for joints 1-3 would swing joint 1 onto its end stop.
    lower, upper = [3.0, 3.0, 3.0, 1.2, 1.2, 1.2], [10.0, 10.0, 10.0, 4.0, 4.0, 4.0]
    arm.set_collision_thresholds(lower, upper)

    # Between the thresholds: contact only.
    sim.set_external_torque(0, lower[0] + 0.25 * (upper[0] - lower[0]))
    assert wait_for(arm.contact_detected, 5.0), arm.get_external_torques()
    assert not [code for code in arm.get_error_codes() if code >= 160]

    # Above the upper one: the reflex; control stays active in its state.
    sim.set_external_torque(0, 2.0 * upper[0])
    fired = wait_for(lambda: REFLEX_JOINT_1 in arm.get_error_codes(), 5.0)
    sim.set_external_torque(0, 0.0)
    assert fired, arm.get_external_torques()
    assert arm.control_active()
    assert arm.get_arm_status() == kav_t8.ArmState.GO_HOME
    assert wait_for(lambda: not arm.contact_detected(), 5.0), arm.get_external_torques()

    assert arm.recover() is None
    assert arm.control_active()
    assert arm.get_arm_status() == kav_t8.ArmState.POSITION_CONTROL
    codes = arm.get_error_codes()
    assert RECOVERED in codes and codes.index(REFLEX_JOINT_1) < codes.index(RECOVERED)
