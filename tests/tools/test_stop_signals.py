"""Our programs stop in order on SIGINT, SIGTERM and SIGHUP: the demo holds
the arm in damping before it exits, the simulated arm reports and exits."""

import os
import signal
import time

import pytest

import kav_t8
from kavtool import start, unique, wait_for_line

DEMO = os.environ.get("KAV_DEMO", "kav_demo")


@pytest.mark.parametrize("signal_name", ["SIGINT", "SIGTERM", "SIGHUP"])
def test_the_demo_holds_the_arm_in_damping_on_a_stop_signal(signal_name):
    number = getattr(signal, signal_name)
    with kav_t8.BusHub(unique("demo")) as hub, kav_t8.SimulatedArm(hub.endpoint) as sim:
        demo = start("--can", hub.endpoint, "--quiet", program=DEMO)
        wait_for_line(demo, lambda line: line.startswith("phase: homed"), timeout=60)
        demo.send_signal(number)
        output, errors = demo.communicate(timeout=30)
        assert demo.returncode == 128 + number, errors
        assert "stopping the arm (damping, then the bus closes)" in output
        assert "CAN socket destroyed." in output
        for joint in range(6):
            last = sim.received_commands(joint)[-1]
            assert last.k_p == 0.0 and last.k_d > 0.0, f"joint {joint + 1}: {last}"


def test_the_simulated_arm_ends_on_sighup_even_without_a_reader():
    sim = start("sim", "--address", unique("sighup"), "--status", "0.2")
    wait_for_line(sim, lambda line: line.startswith("can_name:"), timeout=30)
    sim.stdout.close()  # nobody reads the status lines any more
    time.sleep(0.6)  # a few of them written to the closed pipe
    sim.send_signal(signal.SIGHUP)
    assert sim.wait(timeout=30) == 0, sim.stderr.read()
