"""kav monitor, record and plot on a bus driven by a bare host, and the
command line's answers to bad usage. No arm is brought up here."""

import math
import os
import signal
import time

import h5py
import numpy as np
import pytest

import kav_t8
import kav_t8.recording
from kavtool import BareHost, run, start, unique

TYPE4 = {0: 1, 1: 2, 2: 4}  # joint: motor identifier
TYPE2 = {3: 5, 4: 6, 5: 7, 6: 8}
ROUNDS = 500  # 2.5 s of a 200 Hz host
# Steady pushes on the held arm (N m), each above its joint's contact
# threshold (12 and 3) and below its reflex threshold (40 and 10).
PUSH = [0.0, 0.0, 15.0, 0.0, -6.0, 0.0]


def hold_command(joint, step):
    """A command that holds the joint near 0 (k_p 50, k_d about 0.5 to 1,
    position 0), its velocity and torque fields changing from frame to frame
    so that every frame differs."""
    kp, position = 409, 0x8000
    velocity = 0x800 + step % 21 - 10
    torque = 0x800 + step % 11 - 5
    if joint in TYPE4:
        kd = 41 + 5 * joint
        return TYPE4[joint], [kp >> 7, ((kp & 0x7F) << 1) | (kd >> 8), kd & 0xFF, position >> 8,
                              position & 0xFF, velocity >> 4, ((velocity & 0xF) << 4) | (torque >> 8),
                              torque & 0xFF]
    kd = 600 + 50 * joint
    return TYPE2[joint], [position >> 8, position & 0xFF, velocity >> 4, ((velocity & 0xF) << 4) | (kp >> 8),
                          kp & 0xFF, kd >> 4, ((kd & 0xF) << 4) | (torque >> 8), torque & 0xFF]


@pytest.fixture(scope="module")
def driven_bus(tmp_path_factory):
    """A simulated arm, pushed by PUSH, driven by a bare host while kav
    monitor and kav record (to HDF5 and to MCAP) listen; yields the arm, the
    monitor's output and the recordings' paths."""
    out = tmp_path_factory.mktemp("record") / "run.h5"
    mcap = out.with_suffix(".mcap")
    with kav_t8.BusHub(unique("bus")) as hub, kav_t8.SimulatedArm(hub.endpoint) as sim:
        recorder = start("record", "--can", hub.endpoint, "--out", str(out))
        mcap_recorder = start("record", "--can", hub.endpoint, "--out", str(mcap))
        monitor = start("monitor", "--can", hub.endpoint, "--duration", "3")
        assert hub.wait_for_members(4, timeout=10)
        sim.clear_received_commands()
        host = BareHost(hub.endpoint)
        for motor in TYPE2.values():
            host.send(motor, [0xFF] * 7 + [0xFC])  # enable
        for joint, torque in enumerate(PUSH):
            sim.set_external_torque(joint, torque)
        start_time = time.monotonic()
        for step in range(ROUNDS):
            for joint in range(7):
                host.send(*hold_command(joint, step))
            time.sleep(max(0.0, start_time + 0.005 * (step + 1) - time.monotonic()))
        time.sleep(0.3)  # the last replies
        host.close()
        monitored, monitor_errors = monitor.communicate(timeout=30)
        recorder.send_signal(signal.SIGINT)
        mcap_recorder.send_signal(signal.SIGINT)
        recorded, record_errors = recorder.communicate(timeout=30)
        assert mcap_recorder.wait(timeout=30) == 0, mcap_recorder.stderr.read()
        assert monitor.returncode == 0, monitor_errors
        assert recorder.returncode == 0, record_errors
        yield sim, sim.joint_positions(), monitored, recorded, out, mcap


def monitor_values(text):
    """The lines of every motor and of the bus: {name: [{key: value}, ...]},
    command fields under their names, feedback fields with "fb_" in front."""
    lines = {}
    for line in text.splitlines():
        fields = line.split()
        values, prefix = {}, ""
        for field in fields[2:]:
            if field == "fb":
                prefix = "fb_"
            elif "=" in field:
                key, value = field.split("=", 1)
                values[(prefix if key in ("pos", "vel", "cur", "err") else "") + key] = value
        lines.setdefault(fields[1], []).append(values)
    return lines


def test_monitor_shows_what_the_motors_received_and_sent(driven_bus):
    sim, positions, monitored, *_ = driven_bus
    lines = monitor_values(monitored)
    for joint, name in enumerate(kav_t8.JOINT_NAMES):
        shown = lines[name][-1]
        sent = sim.received_commands(joint)[-1]
        assert float(shown["kp"]) == pytest.approx(sent.k_p, abs=0.01)
        assert float(shown["kd"]) == pytest.approx(sent.k_d, abs=0.001)
        # The monitor's last second ends a little before the host stops; the
        # host's torque field wanders by 5 steps, its position stays.
        assert float(shown["tor"]) == pytest.approx(sent.torque, abs=0.08)
        assert float(shown["pos"]) == pytest.approx(sent.position, abs=0.001)
        # A whole second of the monitor fell within the host's 2.5 s of 200
        # rounds per second (a busy machine makes the host send in bursts).
        assert 150 <= max(float(line["cmd/s"]) for line in lines[name]) <= 300
        assert 150 <= max(float(line["replies/s"]) for line in lines[name]) <= 300
        # The held arm has come to rest by then: the reported position is the
        # motor's reading of where the joint is.
        assert float(shown["fb_pos"]) == pytest.approx(positions[joint] - sim.motor_zero(joint), abs=0.01)
        assert int(shown["fb_err"]) == (1 if joint in TYPE2 else 0)
    assert 0.75 * 2800 <= max(float(line["frames/s"]) for line in lines["bus"]) <= 1.5 * 2800


def test_monitor_shows_the_external_torques_of_the_pushed_arm(driven_bus):
    _, _, monitored, *_ = driven_bus
    lines = monitor_values(monitored)
    shown = [lines[name][-1] for name in kav_t8.JOINT_NAMES[:6]]
    # The last round was of the arm at rest under the pushes; the marks go
    # by the largest residual of the second.
    assert all(line["ext"] != "none" for line in shown), shown
    residuals = [float(line["ext"]) for line in shown]
    assert all(math.isfinite(value) for value in residuals)
    assert residuals == pytest.approx(PUSH, abs=1.0)
    assert all(float(line["ext_peak"]) >= abs(float(line["ext"])) for line in shown)
    # A transient while the pushes begin may have marked a reflex.
    assert shown[2]["collision"] in ("contact", "reflex") and shown[4]["collision"] in ("contact", "reflex")
    assert shown[0]["collision"] == "none"
    assert "ext" not in lines["gripper"][-1]


def test_record_holds_every_command_the_arm_received(driven_bus):
    sim, positions, _, recorded, out, _ = driven_bus
    assert "saved" in recorded
    with h5py.File(out, "r") as file:
        assert file.attrs["bus"].startswith("unix:@kav-tools-bus")
        assert file.attrs["start_time"].endswith("Z")
        for joint, name in enumerate(kav_t8.JOINT_NAMES):
            received = sim.received_commands(joint)
            commands = file["commands"][name]
            assert len(commands["time"]) == len(received) == ROUNDS + (joint in TYPE2)
            for field, attribute in [("kp", "k_p"), ("kd", "k_d"), ("position", "position"),
                                     ("velocity", "velocity"), ("torque", "torque")]:
                np.testing.assert_array_equal(commands[field][()], [getattr(c, attribute) for c in received])
            np.testing.assert_array_equal(commands["kind"][()], [int(c.kind) for c in received])
            assert np.all(np.diff(commands["time"][()]) > 0)
            feedback = file["feedback"][name]
            assert len(feedback["time"]) == len(received)  # every command answered once
            assert feedback["position"][-1] == pytest.approx(positions[joint] - sim.motor_zero(joint), abs=0.01)
            expected_code = 1 if joint in TYPE2 else 0  # type 2: enabled
            assert feedback["error"][-1] == expected_code


def test_mcap_recording_holds_what_the_hdf5_one_holds(driven_bus):
    *_, out, mcap = driven_bus
    hdf5, read = kav_t8.recording.Recording(str(out)), kav_t8.recording.Recording(str(mcap))
    assert read.bus == hdf5.bus
    for joint in kav_t8.JOINT_NAMES:
        for direction in ("commands", "feedback"):
            mine, theirs = getattr(read, direction)[joint], getattr(hdf5, direction)[joint]
            assert mine.keys() == theirs.keys()
            for field in mine:
                if field != "time":
                    np.testing.assert_array_equal(mine[field], theirs[field])
            assert mine[field].dtype == theirs[field].dtype
            # Both recorders saw each frame at about the same moment.
            np.testing.assert_allclose(read.absolute(mine["time"]), hdf5.absolute(theirs["time"]), rtol=0, atol=0.5)


def test_plot_draws_a_recording(driven_bus, tmp_path):
    *_, out, _ = driven_bus
    picture = tmp_path / "run.png"
    result = run("plot", str(out), "--out", str(picture), timeout=180)
    assert result.returncode == 0, result.stderr
    assert picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert picture.stat().st_size > 20000
    missing = run("plot", str(tmp_path / "missing.h5"), timeout=180)
    assert missing.returncode == 1
    assert "cannot read" in missing.stderr


@pytest.mark.parametrize("arguments, message", [
    ([], "subcommand is required"),
    (["fly"], "unknown subcommand fly"),
    (["monitor"], "--can is required"),
    (["record", "--can", "unix:@x", "--out", "x.h5", "--duration", "-1"], "positive number of seconds"),
    (["teleop", "--leader", "unix:@x"], "give --leader and --follower, or --sim"),
    (["teach", "--can", "unix:@x"], "--out is required"),
    (["play", "--can", "unix:@x"], "waypoints is required"),
])
def test_bad_usage_exits_2_with_one_line(arguments, message):
    result = run(*arguments)
    assert result.returncode == 2
    assert result.stdout == ""
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and message in lines[0], result.stderr


def test_help_and_runtime_failures(tmp_path):
    help_text = run("--help")
    assert help_text.returncode == 0
    for command in ["monitor", "record", "teach", "play", "teleop", "plot"]:
        assert command in help_text.stdout
        assert run(command, "--help").returncode == 0
    absent = run("monitor", "--can", unique("absent"), "--duration", "1")
    assert absent.returncode == 1
    assert any(line.startswith("kav monitor: cannot join the bus") for line in absent.stderr.splitlines())
    garbled = tmp_path / "garbled.urdf"
    garbled.write_text("not a robot description")
    unusable = run("monitor", "--can", unique("absent"), "--urdf", str(garbled), "--duration", "1")
    assert unusable.returncode == 1 and "cannot use the robot description" in unusable.stderr
    existing = tmp_path / "taken.h5"
    existing.write_text("earlier recording")
    refused = run("record", "--can", unique("absent"), "--out", str(existing))
    assert refused.returncode == 1 and "exists" in refused.stderr
    assert existing.read_text() == "earlier recording"
    # A description that is a FIFO is refused, not read for ever.
    fifo = tmp_path / "description.urdf"
    os.mkfifo(fifo)
    fed = run("teach", "--can", unique("absent"), "--urdf", str(fifo), "--out", str(tmp_path / "t.json"), timeout=30)
    assert fed.returncode == 1 and "is not a regular file" in fed.stderr, fed.stderr
