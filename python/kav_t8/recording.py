"""Recordings of the arm's bus made by ``kav record`` (HDF5 or MCAP), as numpy arrays.

A recording holds, per motor (``joint1`` ... ``joint6``, ``gripper``), the
commands the host sent (``/commands/<joint>``: time, kp, kd, position,
velocity, torque, kind) and the feedback the motor returned
(``/feedback/<joint>``: time, position, velocity, current, error). Times are
seconds since the recording's ``start_time`` (ISO 8601, UTC). An MCAP
recording holds the same as JSON messages on the channels
``/commands/<joint>`` and ``/feedback/<joint>``; one whose writer died is read
up to its last complete chunk.

A file that is not a well-formed recording raises ValueError (OSError when it
cannot be read at all): sizes that records declare are checked against the
file before anything is allocated for them, and CRCs where the format has
them.
"""

import datetime as _datetime
import json as _json
import os as _os
import struct as _struct
import zlib as _zlib

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
            self.bus, start_time, self.commands, self.feedback = _read_hdf5(path)
        self.start_time = _start_time(start_time)
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


def _start_time(text):
    try:
        start = _datetime.datetime.fromisoformat(text.replace("Z", "+00:00"))
    except (AttributeError, ValueError) as error:
        raise ValueError(f"start_time {text!r} is not an ISO 8601 time: {error}") from error
    if start.tzinfo is None:
        raise ValueError(f"start_time {text!r} has no time zone")
    return start


# Deflate, the only filter kav record uses, expands at most 1032-fold.
_LARGEST_EXPANSION = 1032


def _columns(table, fields, where):
    """table's columns time and fields as numpy arrays of one length."""
    columns = {}
    for field in ("time",) + fields:
        if field not in table:
            raise ValueError(f"{where} has no {field}")
        kind = _np.int32 if field == "error" else _np.int8 if field == "kind" else float
        values = table[field]
        try:
            column = _np.asarray(values, dtype=kind)
            if kind is not float and not _np.array_equal(column, _np.asarray(values, dtype=float)):
                raise ValueError("values out of range")
        except (TypeError, ValueError, OverflowError) as error:
            raise ValueError(f"{where}: {field} is not a column of numbers ({error})") from error
        if column.ndim != 1 or len(column) != len(table["time"]):
            raise ValueError(f"{where}: {field} holds {column.shape} values for {len(table['time'])} times")
        columns[field] = column
    return columns


def _read_hdf5(path):
    """bus, start_time and the commands and feedback of an HDF5 recording."""
    import h5py  # only needed here: the rest of the package works without it

    limit = _os.path.getsize(path)
    try:
        with h5py.File(path, "r") as file:
            bus, start_time = _text(file.attrs["bus"]), _text(file.attrs["start_time"])
            tables = {}
            for direction, fields in (("commands", _COMMAND_FIELDS), ("feedback", _FEEDBACK_FIELDS)):
                tables[direction] = {}
                for joint in JOINTS:
                    group = file[direction][joint]
                    table = {}
                    for name in ("time",) + fields:
                        dataset = group[name]
                        # Stored plainly, a dataset's bytes are in the file; compressed, at
                        # most the filter's expansion of them.
                        room = limit * (_LARGEST_EXPANSION if dataset.compression else 1)
                        if dataset.size * dataset.dtype.itemsize > room:
                            raise ValueError(f"/{direction}/{joint}/{name} declares {dataset.shape} values, "
                                             f"more than a file of {limit} bytes holds")
                        table[name] = dataset[()]
                    tables[direction][joint] = _columns(table, fields, f"/{direction}/{joint}")
    except KeyError as error:
        raise ValueError(f"not a recording: {error}") from error
    except (AttributeError, IndexError, RuntimeError, TypeError) as error:
        raise ValueError(f"a malformed HDF5 recording: {error}") from error
    return bus, start_time, tables["commands"], tables["feedback"]


_MCAP_MAGIC = b"\x89MCAP0\r\n"
_COMMAND_FIELDS = ("kp", "kd", "position", "velocity", "torque", "kind")
_FEEDBACK_FIELDS = ("position", "velocity", "current", "error")


# kav record closes a chunk at 4 MiB of records; a larger one is refused
# before it is decompressed.
_LARGEST_CHUNK = 64 << 20


def _mcap_records(data, at, cut_ends=True):
    """(offset, opcode, content) of the records in data from at on. A record
    cut short ends them where cut_ends (a file whose writer died) and is an
    error elsewhere (inside a chunk, whose size was declared)."""
    while at < len(data):
        if at + 9 <= len(data):
            opcode, length = _struct.unpack_from("<BQ", data, at)
            if length <= len(data) - at - 9:
                yield at, opcode, data[at + 9:at + 9 + length]
                at += 9 + length
                continue
        if cut_ends:
            return
        raise ValueError(f"a record at byte {at} of a chunk runs past the chunk's end")


def _mcap_string(content, at):
    (length,) = _struct.unpack_from("<I", content, at)
    if at + 4 + length > len(content):
        raise ValueError(f"a string of {length} bytes runs past its record's end")
    return content[at + 4:at + 4 + length].decode(), at + 4 + length


def _unzstd(records, size):
    """The zstd-compressed records, refused unless they give exactly size
    bytes (read no further than one byte past them)."""
    import zstandard

    reader = zstandard.ZstdDecompressor().stream_reader(records, read_across_frames=True)
    parts, total = [], 0
    while total <= size:
        part = reader.read(min(size + 1 - total, 1 << 20))
        if not part:
            break
        parts.append(part)
        total += len(part)
    return b"".join(parts)


def _chunk_records(content):
    """The records of a chunk record's content, checked against its sizes and CRC."""
    size, crc = _struct.unpack_from("<QI", content, 16)
    compression, at = _mcap_string(content, 28)
    (length,) = _struct.unpack_from("<Q", content, at)
    records = content[at + 8:]
    if length != len(records):
        raise ValueError(f"a chunk declares {length} bytes of records and holds {len(records)}")
    if size > _LARGEST_CHUNK:
        raise ValueError(f"a chunk declares {size} bytes of records, more than {_LARGEST_CHUNK}")
    if compression == "zstd":
        records = _unzstd(records, size)
    elif compression:
        raise ValueError(f"chunk compressed with {compression}")
    if len(records) != size:
        raise ValueError(f"a chunk declares {size} bytes of records and gives {len(records)}")
    if crc and _zlib.crc32(records) != crc:
        raise ValueError("a chunk's records do not match its CRC")
    return records


def _read_mcap(path):
    """bus, start_time and the commands and feedback of an MCAP recording, by
    a scan from its start (no index needed)."""
    import zstandard

    with open(path, "rb") as file:
        data = file.read()
    topics, metadata = {}, {}
    rows = {topic: {"time": []} for joint in JOINTS for topic in (f"/commands/{joint}", f"/feedback/{joint}")}

    def take(records):
        for at, opcode, content in records:
            if opcode == 0x04:  # channel
                (channel,) = _struct.unpack_from("<H", content, 0)
                topics[channel] = _mcap_string(content, 4)[0]
            elif opcode == 0x0C:  # metadata
                name, at = _mcap_string(content, 0)
                (end,) = _struct.unpack_from("<I", content, at)
                at, end = at + 4, at + 4 + end
                if end > len(content):
                    raise ValueError(f"metadata {name!r} declares {end - at} bytes, more than its record holds")
                while at < end:
                    key, at = _mcap_string(content, at)
                    metadata[(name, key)], at = _mcap_string(content, at)
            elif opcode == 0x05:  # message
                channel, _, log_time = _struct.unpack_from("<HIQ", content, 0)
                table = rows.get(topics.get(channel))
                if table is not None:
                    message = _json.loads(content[22:])
                    if not isinstance(message, dict):
                        raise ValueError(f"a message on {topics[channel]} is not a JSON object")
                    table["time"].append(log_time)
                    for field, value in message.items():
                        table.setdefault(field, []).append(value)
            elif opcode == 0x06:  # chunk
                take(_mcap_records(_chunk_records(content), 0, cut_ends=False))
            elif opcode == 0x0F:  # data end: the CRC of everything before it, 0 when not computed
                (crc,) = _struct.unpack_from("<I", content, 0)
                if crc and _zlib.crc32(data[:at]) != crc:
                    raise ValueError("the data section does not match its CRC")
                return True
        return False

    if data[:len(_MCAP_MAGIC)] != _MCAP_MAGIC:
        raise ValueError("not an MCAP file")
    try:
        take(_mcap_records(data, len(_MCAP_MAGIC)))
    except (_struct.error, zstandard.ZstdError, UnicodeDecodeError) as error:
        raise ValueError(f"a broken record: {error}") from error
    if ("recording", "start_time") not in metadata or ("recording", "bus") not in metadata:
        raise ValueError("no recording metadata (bus, start_time)")
    start_time = metadata[("recording", "start_time")]
    start = _start_time(start_time)
    start_ns = (start - _datetime.datetime(1970, 1, 1, tzinfo=_datetime.timezone.utc)) // _datetime.timedelta(
        microseconds=1) * 1000

    def arrays(topic, fields):
        table = dict(rows[topic])
        try:
            table["time"] = (_np.asarray(table["time"], dtype=_np.uint64).astype(_np.int64) - start_ns) / 1e9
        except OverflowError as error:
            raise ValueError(f"{topic}: log times that cannot be told from start_time: {error}") from error
        for field in fields:
            table.setdefault(field, [])
        return _columns(table, fields, topic)

    return (metadata[("recording", "bus")], start_time,
            {j: arrays(f"/commands/{j}", _COMMAND_FIELDS) for j in JOINTS},
            {j: arrays(f"/feedback/{j}", _FEEDBACK_FIELDS) for j in JOINTS})
