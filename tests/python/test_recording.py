"""Reading recordings: malformed files end in ValueError, and kav_t8.plot in
its one "cannot read" line, before anything is allocated for sizes they
declare."""

import json
import struct
import subprocess
import sys
import zlib

import h5py
import numpy as np
import pytest
import zstandard

from kav_t8.recording import JOINTS, Recording

MAGIC = b"\x89MCAP0\r\n"


def record(opcode, content):
    return struct.pack("<BQ", opcode, len(content)) + content


def string(text):
    return struct.pack("<I", len(text)) + text.encode()


def chunk(records, size=None, crc=None, length=None):
    packed = zstandard.ZstdCompressor().compress(records)
    header = struct.pack("<QQQI", 0, 0, len(records) if size is None else size,
                         zlib.crc32(records) if crc is None else crc)
    return record(0x06, header + string("zstd") + struct.pack("<Q", len(packed) if length is None else length)
                  + packed)


def mcap(message=b'{"position": 0.5, "velocity": 0, "current": 0, "error": 0}', **chunk_fields):
    pairs = string("bus") + string("unix:@x") + string("start_time") + string("2026-01-01T00:00:00.000000Z")
    metadata = record(0x0C, string("recording") + struct.pack("<I", len(pairs)) + pairs)
    channel = record(0x04, struct.pack("<HH", 1, 0) + string("/feedback/joint1"))
    at = struct.pack("<HIQQ", 1, 0, 1767225600 * 10**9 + 5 * 10**6, 0)
    data = MAGIC + metadata + channel + chunk(record(0x05, at + message), **chunk_fields)
    return data + record(0x0F, struct.pack("<I", zlib.crc32(data)))


def test_a_well_formed_mcap_recording_reads(tmp_path):
    path = tmp_path / "good.mcap"
    path.write_bytes(mcap())
    recording = Recording(str(path))
    assert recording.bus == "unix:@x"
    assert recording.feedback["joint1"]["time"].tolist() == [0.005]
    assert recording.feedback["joint1"]["position"].tolist() == [0.5]


@pytest.mark.parametrize("data, reason", [
    # The size that once made the reader allocate a gigabyte for a 33 kB file.
    (mcap(size=1 << 30), "more than"),
    (mcap(size=10), "declares 10 bytes of records and gives"),
    (mcap(length=5), "declares 5 bytes of records and holds"),
    (mcap(crc=1), "do not match its CRC"),
    (mcap()[:-4] + b"\x01\x00\x00\x00", "data section does not match its CRC"),
    (mcap(message=b"[1, 2]"), "not a JSON object"),
    (mcap(message=b'{"position": "far"}'), "not a column of numbers"),
    (mcap(message=b'{"position": 1}'), "velocity holds"),
    (mcap(message=b"{"), "Expecting"),
])
def test_malformed_mcap_recordings_are_refused(tmp_path, data, reason):
    path = tmp_path / "bad.mcap"
    path.write_bytes(data)
    with pytest.raises(ValueError, match=reason):
        Recording(str(path))


def write_hdf5(path, change=None):
    with h5py.File(path, "w") as file:
        file.attrs["bus"], file.attrs["start_time"] = "unix:@x", "2026-01-01T00:00:00.000000Z"
        for direction, fields in (("commands", ("kp", "kd", "position", "velocity", "torque", "kind")),
                                  ("feedback", ("position", "velocity", "current", "error"))):
            for joint in JOINTS:
                group = file.create_group(f"{direction}/{joint}")
                for field in ("time",) + fields:
                    group.create_dataset(field, data=np.zeros(3, dtype=np.int8 if field == "kind" else float))
        if change:
            change(file)


def huge(file):
    del file["feedback/joint2/current"]
    file["feedback/joint2"].create_dataset("current", shape=(1 << 32,), dtype=float, chunks=(1024,))


def short(file):
    del file["feedback/joint3/error"]
    file["feedback/joint3"].create_dataset("error", data=np.zeros(2, dtype=np.int32))


@pytest.mark.parametrize("change, reason", [
    (huge, "declares"),
    (short, "holds"),
    (lambda file: file.__delitem__("commands/gripper"), "not a recording"),
    (lambda file: file.attrs.__setitem__("start_time", "yesterday"), "not an ISO 8601 time"),
])
def test_malformed_hdf5_recordings_are_refused(tmp_path, change, reason):
    path = tmp_path / "bad.h5"
    write_hdf5(path, change)
    with pytest.raises(ValueError, match=reason):
        Recording(str(path))


def test_plot_ends_every_malformed_file_with_its_cannot_read_line(tmp_path):
    write_hdf5(tmp_path / "good.h5")
    assert Recording(str(tmp_path / "good.h5")).commands["gripper"]["kind"].tolist() == [0, 0, 0]
    cases = {"chunk.mcap": mcap(size=1 << 40), "cut.mcap": mcap()[:60], "text.h5": b"not a recording"}
    for name, data in cases.items():
        (tmp_path / name).write_bytes(data)
        result = subprocess.run([sys.executable, "-m", "kav_t8.plot", str(tmp_path / name)],
                                capture_output=True, text=True, timeout=120)
        assert result.returncode == 1, name
        assert result.stderr.startswith(f"kav plot: cannot read {tmp_path / name} as a recording"), result.stderr
        assert "Traceback" not in result.stderr
