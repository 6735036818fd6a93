"""Recordings of the arm's bus made by ``kav record`` (HDF5 or MCAP), as numpy arrays.

A recording holds, per motor (``joint1`` ... ``joint6``, ``gripper``), the
commands the host sent (``/commands/<joint>``: time, kp, kd, position,
velocity, torque, kind) and the feedback the motor returned
(``/feedback/<joint>``: time, position, velocity, current, error). Times are
seconds since the recording's ``start_time`` (ISO 8601, UTC). An MCAP
recording holds the same as JSON messages on the channels
``/commands/<joint>`` and ``/feedback/<joint>``; one whose writer died is read
up to its last complete chunk.
"""

import datetime as _datetime
import json as _json
import struct as _struct

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
        with open(path, "rb") as file:
            mcap = file.read(len(_MCAP_MAGIC)) == _MCAP_MAGIC
        if mcap:
            self.bus, start_time, self.commands, self.feedback = _read_mcap(path)
        else:
            import h5py  # only needed here: the rest of the package works without it

            with h5py.File(path, "r") as file:
                self.bus, start_time = _text(file.attrs["bus"]), _text(file.attrs["start_time"])
                self.commands = {j: _group(file, "commands", j) for j in JOINTS}
                self.feedback = {j: _group(file, "feedback", j) for j in JOINTS}
        self.start_time = _datetime.datetime.fromisoformat(start_time.replace("Z", "+00:00"))
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


_MCAP_MAGIC = b"\x89MCAP0\r\n"
_COMMAND_FIELDS = ("kp", "kd", "position", "velocity", "torque", "kind")
_FEEDBACK_FIELDS = ("position", "velocity", "current", "error")


def _mcap_records(data, at):
    """(opcode, content) of the records in data from at on, up to the first
    one that is cut short."""
    while at + 9 <= len(data):
        opcode, length = _struct.unpack_from("<BQ", data, at)
        if at + 9 + length > len(data):
            return
        yield opcode, data[at + 9:at + 9 + length]
        at += 9 + length


def _mcap_string(content, at):
    (length,) = _struct.unpack_from("<I", content, at)
    return content[at + 4:at + 4 + length].decode(), at + 4 + length


def _read_mcap(path):
    """bus, start_time and the commands and feedback of an MCAP recording, by
    a scan from its start (no index needed)."""
    import zstandard

    with open(path, "rb") as file:
        data = file.read()
    topics, metadata = {}, {}
    rows = {topic: {"time": []} for joint in JOINTS for topic in (f"/commands/{joint}", f"/feedback/{joint}")}

    def take(records):
        for opcode, content in records:
            if opcode == 0x04:  # channel
                (channel,) = _struct.unpack_from("<H", content, 0)
                topics[channel] = _mcap_string(content, 4)[0]
            elif opcode == 0x0C:  # metadata
                name, at = _mcap_string(content, 0)
                (end,) = _struct.unpack_from("<I", content, at)
                at, end = at + 4, at + 4 + end
                while at < end:
                    key, at = _mcap_string(content, at)
                    metadata[(name, key)], at = _mcap_string(content, at)
            elif opcode == 0x05:  # message
                channel, _, log_time = _struct.unpack_from("<HIQ", content, 0)
                table = rows.get(topics.get(channel))
                if table is not None:
                    table["time"].append(log_time)
                    for field, value in _json.loads(content[22:]).items():
                        table.setdefault(field, []).append(value)
            elif opcode == 0x06:  # chunk
                size = _struct.unpack_from("<Q", content, 16)[0]
                compression, at = _mcap_string(content, 28)
                records = content[at + 8:]
                if compression == "zstd":
                    records = zstandard.ZstdDecompressor().decompress(records, max_output_size=size)
                elif compression:
                    raise ValueError(f"chunk compressed with {compression}")
                take(_mcap_records(records, 0))
            elif opcode == 0x0F:  # data end
                return

    if data[:len(_MCAP_MAGIC)] != _MCAP_MAGIC:
        raise ValueError("not an MCAP file")
    try:
        take(_mcap_records(data, len(_MCAP_MAGIC)))
    except (_struct.error, zstandard.ZstdError) as error:
        raise ValueError(f"a broken record: {error}") from error
    if ("recording", "start_time") not in metadata:
        raise ValueError("no recording metadata (bus, start_time)")
    start_time = metadata[("recording", "start_time")]
    start = _datetime.datetime.fromisoformat(start_time.replace("Z", "+00:00"))
    start_ns = (start - _datetime.datetime(1970, 1, 1, tzinfo=_datetime.timezone.utc)) // _datetime.timedelta(
        microseconds=1) * 1000

    def arrays(topic, fields):
        table = rows[topic]
        columns = {"time": (_np.asarray(table["time"], dtype=_np.int64) - start_ns) / 1e9}
        for field in fields:
            kind = _np.int32 if field == "error" else _np.int8 if field == "kind" else float
            columns[field] = _np.asarray(table.get(field, []), dtype=kind)
        return columns

    return (metadata[("recording", "bus")], start_time,
            {j: arrays(f"/commands/{j}", _COMMAND_FIELDS) for j in JOINTS},
            {j: arrays(f"/feedback/{j}", _FEEDBACK_FIELDS) for j in JOINTS})
