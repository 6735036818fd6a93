"""Bringing an arm up and stopping it from Python: the GIL during the long
calls, the context manager, close(), failures, and the interpreter's exit."""

import os
import pathlib
import signal
import subprocess
import sys
import textwrap

import pytest

import kav_t8
from helpers import Ticker, wait_for


@pytest.fixture(scope="module")
def bus():
    with kav_t8.BusHub() as hub, kav_t8.SimulatedArm(hub.endpoint) as sim:
        yield hub, sim


def test_with_block_stops_the_arm_also_on_an_exception(bus):
    hub, sim = bus
    with Ticker() as ticker:
        with pytest.raises(KeyError):
            with kav_t8.InterfacesPy(pathlib.Path(kav_t8.description_path()), hub.endpoint, 0) as arm:
                ticks_while_starting = ticker.count
                assert not arm.closed
                arm.set_arm_status(kav_t8.ArmState.SOFT)
                before_close = ticker.count
                raise KeyError("leaves the block")
        ticks_while_stopping = ticker.count - before_close

    # Bring-up (>3.5 s) and stop (>1 s) run with the GIL released.
    assert ticks_while_starting > 10
    assert ticks_while_stopping > 10

    assert arm.closed
    with pytest.raises(RuntimeError, match="closed"):
        arm.get_joint_positions()
    arm.close()  # again: nothing happens

    # Stopped for good: the last commands were damping, and no more come.
    last = sim.received_commands(1)[-1]
    assert last.k_p == 0.0 and last.k_d > 0.0
    frames = sim.frames_received()
    assert not wait_for(lambda: sim.frames_received() != frames, 0.2)
    assert wait_for(lambda: hub.member_count() == 1, 2.0), "the arm left the bus"


def test_failed_starts_raise_runtime_error(bus, tmp_path):
    hub, sim = bus
    frames = sim.frames_received()
    with pytest.raises(RuntimeError):
        kav_t8.InterfacesPy("/nonexistent/arm.urdf", hub.endpoint, 0)
    # Nesting that overflowed the XML parser's stack and killed the interpreter.
    deep = tmp_path / "deep.urdf"
    deep.write_text('<robot name="deep">' + "<a>" * 200000)
    with pytest.raises(RuntimeError):
        kav_t8.InterfacesPy(str(deep), hub.endpoint, 0)
    with pytest.raises(RuntimeError):
        kav_t8.InterfacesPy(kav_t8.description_path(), "unix:@kav-no-such-bus-from-python", 0)
    with pytest.raises(TypeError):
        kav_t8.InterfacesPy(kav_t8.description_path(), hub.endpoint, "zero")
    assert sim.frames_received() == frames, "nothing was sent"


def test_an_arm_left_open_is_stopped_when_the_interpreter_exits(tmp_path):
    script = tmp_path / "left_open.py"
    script.write_text(
        textwrap.dedent(
            """
            import kav_t8
            hub = kav_t8.BusHub()
            sim = kav_t8.SimulatedArm(hub.endpoint)
            arm = kav_t8.InterfacesPy(kav_t8.description_path(), hub.endpoint, 0)
            arm.set_arm_status(kav_t8.ArmState.PROTECT)
            print("script done", flush=True)
            """
        )
    )
    result = subprocess.run(
        [sys.executable, str(script)],
        env=dict(os.environ),
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr[-2000:]
    after = result.stdout.split("script done", 1)[1]
    assert "[Controller] thread finish" in after, "the arm was not stopped"
    assert "CAN socket destroyed." in after


@pytest.mark.parametrize("signal_name", ["SIGTERM", "SIGHUP"])
def test_termination_signals_stop_an_open_arm_like_ctrl_c(tmp_path, signal_name):
    script = tmp_path / "signalled.py"
    script.write_text(
        textwrap.dedent(
            """
            import time
            import kav_t8
            hub = kav_t8.BusHub()
            sim = kav_t8.SimulatedArm(hub.endpoint)
            with kav_t8.InterfacesPy(kav_t8.description_path(), hub.endpoint, 0) as arm:
                assert arm.control_active()
                arm.set_arm_status(kav_t8.ArmState.POSITION_CONTROL)
                print("ready", flush=True)
                time.sleep(60)
            """
        )
    )
    child = subprocess.Popen(
        [sys.executable, str(script)], env=dict(os.environ), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )
    for line in child.stdout:  # the library's own lines come first
        if line.strip() == "ready":
            break
    else:
        pytest.fail("the script ended before the arm was up: " + child.stderr.read()[-2000:])
    child.send_signal(getattr(signal, signal_name))
    out, err = child.communicate(timeout=30)
    # The with block closed the arm: damping hold, thread stopped, bus closed.
    assert "KeyboardInterrupt" in err, err[-2000:]
    assert "[Controller] thread finish" in out
    assert "CAN socket destroyed." in out


def test_a_hand_pushes_a_simulated_joint():
    with kav_t8.BusHub() as hub, kav_t8.SimulatedArm(hub.endpoint) as sim:
        sim.set_external_torque(6, 0.2)  # the gripper's motor is off until enabled: only the hand acts
        assert wait_for(lambda: sim.joint_positions()[6] > 0.1, timeout=2.0)
        assert abs(sim.joint_torques()[6]) < 1e-9
        with pytest.raises(ValueError, match="external torque"):
            sim.set_external_torque(6, float("nan"))


def test_a_timed_bus_carries_an_arm_and_reports_its_load():
    for bitrate in (-1, 999, 1000001, 2**40):
        with pytest.raises(ValueError, match="bitrate"):
            kav_t8.BusHub(bitrate=bitrate)
    assert kav_t8.BusHub().bitrate == 0
    with kav_t8.BusHub(bitrate=1000000) as hub, kav_t8.SimulatedArm(hub.endpoint) as sim:
        assert hub.bitrate == 1000000
        assert hub.bus_load() == 0.0
        with kav_t8.InterfacesPy(kav_t8.description_path(), hub.endpoint, 0) as arm:
            arm.set_arm_status(kav_t8.ArmState.PROTECT)
            frames = sim.frames_received()
            assert wait_for(lambda: sim.frames_received() > frames + 100, 2.0)
        # Seven commands and seven answers every 5 ms: about 38 % of 1 Mbit/s
        # while the arm ran; the hub's life also holds idle time.
        assert 0.05 < hub.bus_load() < 0.6
