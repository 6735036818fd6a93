"""Recordings of the arm's bus made by ``kav record`` (HDF5), as numpy arrays.

A recording holds, per motor (``joint1`` ... ``joint6``, ``gripper``), the
commands the host sent (``/commands/<joint>``: time, kp, kd, position,
velocity, torque, kind) and the feedback the motor returned
(``/feedback/<joint>``: time, position, velocity, current, error). Times are
seconds since the recording's ``start_time`` (ISO 8601, UTC).
"""

import datetime as _datetime

import numpy as _np

JOINTS = ("joint1", "joint2", "joint3", "joint4", "joint5", "joint6", "gripper")
"""The motors of a recording, in the order of the arm's joint lists."""

HYBRID = 0
"""The ``kind`` of a hybrid command (the others: 1 enable, 2 disable, 3 set
zero, 4 clear error)."""


class Recording:
    """One recording read into memory.

    ``commands[joint][field]`` and ``feedback[joint][field]`` are numpy
    arrays; ``bus`` and ``start_time`` (a timezone-aware datetime) come from
    the file's attributes."""

    def __init__(self, path):
        import h5py  # only needed here: the rest of the package works without it

        with h5py.File(path, "r") as file:
            self.bus = _text(file.attrs["bus"])
            self.start_time = _datetime.datetime.fromisoformat(
                _text(file.attrs["start_time"]).replace("Z", "+00:00"))
            self.commands = {j: _group(file, "commands", j) for j in JOINTS}
            self.feedback = {j: _group(file, "feedback", j) for j in JOINTS}
        self.path = path

    def commanded_position(self, joint):
        """Times and positions of the hybrid commands that hold a position
        (k_p above 0) for joint."""
        c = self.commands[joint]
        held = (c["kind"] == HYBRID) & (c["kp"] > 0)
        return c["time"][held], c["position"][held]

    def tracking_error(self, joint):
        """Times of the position commands of joint and the commanded minus the
        measured position then (the feedback interpolated to those times)."""
        t, commanded = self.commanded_position(joint)
        f = self.feedback[joint]
        if len(t) == 0 or len(f["time"]) < 2:
            return t[:0], commanded[:0]
        inside = (t >= f["time"][0]) & (t <= f["time"][-1])
        measured = _np.interp(t[inside], f["time"], f["position"])
        return t[inside], commanded[inside] - measured

    def command_intervals(self, joint):
        """Seconds between successive commands to joint."""
        return _np.diff(self.commands[joint]["time"])

    def absolute(self, times):
        """times of this recording as seconds since the epoch, to compare two
        recordings made at the same time."""
        return self.start_time.timestamp() + _np.asarray(times)


def follow_delay(leader, follower, joint, min_speed=0.05, look_back=0.1):
    """How long after the leader measured a position the follower commanded
    it: for each position command of follower while leader moves faster than
    min_speed (rad/s), the time since the leader's feedback last passed that
    position, looking back at most look_back seconds (commands without such a
    passage are left out). Both are Recordings of the same run (times are
    aligned by their start times). Returns the delays in seconds."""
    t_f, p_f = follower.commanded_position(joint)
    t_f = follower.absolute(t_f)
    fb = leader.feedback[joint]
    t_l, p_l, v_l = leader.absolute(fb["time"]), fb["position"], fb["velocity"]
    delays = []
    for t, p in zip(t_f, p_f):
        k = _np.searchsorted(t_l, t) - 1  # the leader's last report before the command
        if k < 1 or abs(v_l[k]) < min_speed:
            continue
        # Walk back to the segment of the leader's path that holds p.
        while k >= 1 and not (min(p_l[k - 1], p_l[k]) <= p <= max(p_l[k - 1], p_l[k])):
            if abs(v_l[k]) < min_speed or t - t_l[k] > look_back:
                k = 0
                break
            k -= 1
        if k < 1 or p_l[k] == p_l[k - 1]:
            continue
        share = (p - p_l[k - 1]) / (p_l[k] - p_l[k - 1])
        delays.append(t - (t_l[k - 1] + share * (t_l[k] - t_l[k - 1])))
    return _np.asarray(delays)


def _text(value):
    return value.decode() if isinstance(value, bytes) else str(value)


def _group(file, direction, joint):
    group = file[direction][joint]
    return {name: group[name][()] for name in group}
