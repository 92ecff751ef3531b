"""read_cwa_file as a Python user sees it: columns, values, index, offsets, errors and memory;
plus the file errors and unopenable paths that every reading function shares."""

from __future__ import annotations

import datetime
import gc
import os
import subprocess
import sys
import zoneinfo

import numpy as np
import pytest
from conftest import raises_exactly
from cwa_builder import (
    CwaFile,
    Packet,
    add_seconds,
    consecutive_packets,
    pack_time,
    packed_samples,
    packed_word,
    unpacked_samples,
)

import velmora

PER_PACKET = ["temperature", "light", "battery"]
ACC = ["acc_x", "acc_y", "acc_z"]
GYRO = ["gyro_x", "gyro_y", "gyro_z"]
MAG = ["mag_x", "mag_y", "mag_z"]
NOON = pack_time(2020, 1, 1, 12, 0, 0)
MISSING = "/nonexistent/velmora.cwa"
IO_MISSING = "IO error: No such file or directory (os error 2)"
NINE_AXIS = consecutive_packets(
    2,
    sample_format=0x92,
    sample_count=26,
    sample_data=unpacked_samples([(i, 0, -i, 256, 512, -256, 16384, 0, -16384) for i in range(26)]),
)
NO_FLAGS = ["include_magnetometer", "include_temperature", "include_light", "include_battery"]


@pytest.mark.parametrize(
    ("packets", "flags", "columns"),
    [
        (consecutive_packets(3), {}, ACC + PER_PACKET),
        (consecutive_packets(3), dict.fromkeys(NO_FLAGS, False), ACC),
        (consecutive_packets(3), {"include_temperature": False}, ACC + ["light", "battery"]),
        (NINE_AXIS, {}, ACC + GYRO + MAG + PER_PACKET),
        (NINE_AXIS, {"include_magnetometer": False}, ACC + GYRO + PER_PACKET),
    ],
)
def test_columns_follow_data_and_flags_in_order(cwa_path, no_leaked_files, packets, flags, columns):
    frame = velmora.read_cwa_file(cwa_path(CwaFile(blocks=packets)), **flags)
    assert list(frame.columns) == columns
    assert all(dtype == np.float32 for dtype in frame.dtypes)


def test_worked_values_of_samples_and_per_packet_readings(cwa_path):
    # Gyroscope scale code 5 (250 degrees per second) with accelerometer scale code 0.
    gyro = Packet(
        timestamp=add_seconds(NOON, 5),
        sample_format=0x62,
        sample_count=1,
        light=(5 << 10) | 0x03FF,
        sample_data=unpacked_samples([(0, 16384, -1, 0, 0, 0)]),
    )
    packets = [
        Packet(
            sample_count=1,
            sample_data=packed_samples([1]),
            temperature=0x0155,
            light=0,
            battery=170,
        ),
        Packet(timestamp=NOON, sample_format=0x32, sample_count=1, temperature=0xFC00, light=341),
        gyro,
    ]
    frame = velmora.read_cwa_file(cwa_path(CwaFile(blocks=packets)))
    assert list(frame.columns) == ACC + GYRO + PER_PACKET
    assert frame[ACC].to_numpy()[0].tolist() == [0.00390625, 0.0, 0.0]
    assert frame["temperature"].tolist() == [49.90234375, -50.0, 49.90234375]
    assert frame["light"].tolist()[:2] == [1.0, 10.0]
    # light 0x3FF (with the gyroscope scale bits above it) gives 10 ** 3.
    assert frame["light"].tolist()[2] == pytest.approx(1000.0, rel=1e-6)
    assert frame["battery"].tolist()[0] == 3.99609375
    # Gyroscope columns appear with the first 6-axis packet; a recorded zero stays +0.0.
    gyro_rows = frame[GYRO].to_numpy()
    assert np.isnan(gyro_rows[:2]).all()
    assert gyro_rows[2, 0] == 0.0 and not np.signbit(gyro_rows[2, 0])
    scale = np.float32(32768) / np.float32(250)
    assert gyro_rows[2, 1:].tolist() == [np.float32(16384) / scale, np.float32(-1) / scale]


def hours(count):
    return datetime.timezone(datetime.timedelta(hours=count))


@pytest.mark.parametrize(
    ("tz", "dtype", "first"),
    [
        (None, "datetime64[us]", "2020-01-01 12:00:00"),
        (datetime.timezone.utc, "datetime64[us, UTC]", "2020-01-01 12:00:00+00:00"),
        (hours(1), "datetime64[us, UTC]", "2020-01-01 11:00:00+00:00"),
        (hours(-5), "datetime64[us, UTC]", "2020-01-01 17:00:00+00:00"),
        (
            datetime.timezone(datetime.timedelta(hours=5, minutes=30, microseconds=250)),
            "datetime64[us, UTC]",
            "2020-01-01 06:29:59.999750+00:00",
        ),
    ],
)
def test_index_is_named_and_offset_subtracted(cwa_path, tz, dtype, first):
    path = cwa_path(CwaFile(blocks=consecutive_packets(2, start=NOON)))
    frame = velmora.read_cwa_file(path, fixed_utc_offset_timezone=tz)
    assert frame.index.name == "timestamp"
    assert str(frame.index.dtype) == dtype
    assert str(frame.index[0]) == first
    # 100 Hz: the second sample 10 ms later, whatever the offset.
    assert frame.index[1] - frame.index[0] == datetime.timedelta(milliseconds=10)


def test_seconds_cut_from_zero_drops_first_sample_truncated_below_first_data_time(
    cwa_path, no_leaked_files
):
    # Sample 0 lies at 1577836799.9099998 s, stored truncated as ...909999 us.
    path = cwa_path(CwaFile(blocks=[Packet(timestamp_offset=9)]))
    whole = velmora.read_cwa_file(path)
    cut = velmora.read_cwa_file(path, velmora.seconds(start=0))
    assert whole.index.asi8[0] == 1577836799909999
    assert len(cut) == len(whole) - 1
    assert (cut.index.asi8 == whole.index.asi8[1:]).all()


class RaisingZone(datetime.tzinfo):
    def utcoffset(self, dt):
        raise LookupError("no offset here")


class StrZone(datetime.tzinfo):
    def utcoffset(self, dt):
        return "+01:00"


BERLIN = zoneinfo.ZoneInfo("Europe/Berlin")
NONE_DELTA = "'NoneType' object cannot be converted to 'PyDelta'"


@pytest.mark.parametrize(
    ("good_file", "cut", "tz", "error", "text"),
    [
        (True, None, BERLIN, TypeError, NONE_DELTA),
        (True, None, StrZone(), TypeError, "'str' object cannot be converted to 'PyDelta'"),
        (True, None, RaisingZone(), LookupError, "no offset here"),
        # The offset is asked for after the plan and before the file is read.
        (False, None, BERLIN, TypeError, NONE_DELTA),
        (False, velmora.blocks(1, 5), BERLIN, TypeError, NONE_DELTA),
        (False, velmora.seconds(1, 5), BERLIN, RuntimeError, IO_MISSING),
    ],
)
def test_timezone_without_fixed_offset_fails(cwa_path, good_file, cut, tz, error, text):
    path = cwa_path(CwaFile(blocks=consecutive_packets(2))) if good_file else MISSING
    raises_exactly(error, text, velmora.read_cwa_file, path, cut, fixed_utc_offset_timezone=tz)


class FarZone(datetime.tzinfo):
    def __init__(self, offset):
        self.offset = offset

    def utcoffset(self, dt):
        return self.offset


@pytest.mark.parametrize(
    "offset",
    [
        datetime.timedelta(days=-999999999),
        datetime.timedelta(days=10**6),
        datetime.timedelta(hours=24),
        datetime.timedelta(hours=-24),
    ],
)
def test_offset_of_a_day_or_more_is_the_interpreters_value_error(cwa_path, tmp_path, offset):
    with pytest.raises(ValueError) as refused:
        datetime.timezone(offset)
    path = cwa_path(CwaFile(blocks=consecutive_packets(2)))
    output = tmp_path / "out.csv"
    output.write_bytes(b"keep")
    zone = FarZone(offset)
    raises_exactly(
        ValueError, str(refused.value), velmora.read_cwa_file, path, fixed_utc_offset_timezone=zone
    )
    raises_exactly(
        ValueError,
        str(refused.value),
        velmora.write_cwa_csv,
        path,
        str(output),
        fixed_utc_offset_timezone=zone,
    )
    assert output.read_bytes() == b"keep"


NOTHING_IN_RANGE = "No valid sample data found in the specified range"


@pytest.mark.parametrize(
    ("blocks", "cut", "text"),
    [
        (consecutive_packets(2), velmora.blocks(end=0), NOTHING_IN_RANGE),
        ([bytes(512), Packet(sample_count=0)], None, NOTHING_IN_RANGE),
        ([bytes(512), Packet(sample_count=0)], velmora.seconds(0, 1), "No valid sample data found"),
        # Packets last 1 s and start 2 s apart: 1.2 to 1.9 lies in the gap.
        (
            consecutive_packets(3, seconds_per_packet=2, sample_count=100),
            velmora.seconds(1.2, 1.9),
            "No samples remain after applying seconds cut",
        ),
        # Between two samples 10 ms apart.
        (
            consecutive_packets(2),
            velmora.seconds(0.0051, 0.0052),
            "No samples remain after applying time range",
        ),
    ],
)
def test_empty_outcomes_raise_runtime_error(cwa_path, no_leaked_files, blocks, cut, text):
    raises_exactly(RuntimeError, text, velmora.read_cwa_file, cwa_path(CwaFile(blocks=blocks)), cut)


GOOD = CwaFile(blocks=consecutive_packets(3)).to_bytes()
READS = [
    velmora.read_metadata,
    velmora.sampling_consistency_report,
    velmora.read_cwa_file,
    lambda path: velmora.read_cwa_file(path, velmora.seconds(0.5)),
]


@pytest.mark.parametrize(
    ("contents", "text"),
    [
        (b"", "IO error: failed to fill whole buffer"),
        (b"M", "IO error: failed to fill whole buffer"),
        (b"XX" + bytes(598), "Not a valid CWA file"),
        (b"MD" + bytes(598), "File too small to be a valid CWA file"),
        (GOOD[:1024], "Start block is beyond file size"),
        (GOOD + bytes(100), "Incomplete CWA data block"),
    ],
)
@pytest.mark.parametrize("read", READS[2:], ids=["plain", "seconds_cut"])
def test_bad_file_structure_for_read_cwa_file(cwa_path, no_leaked_files, contents, text, read):
    raises_exactly(RuntimeError, text, read, cwa_path(contents))


@pytest.mark.parametrize(
    ("bad", "text"),
    [
        # The old format is recognised before the sample format.
        (Packet(rate_code=0, sample_format=0x31), "Old CWA format packets are not supported"),
        (Packet(sample_format=0x31), "Unsupported sample format: 3 axes, packing 1"),
        (Packet(sample_format=0x60), "Unsupported sample format: 6 axes, packing 0"),
        (Packet(sample_count=121), "Sample count exceeds packet capacity"),
        (Packet(sample_format=0x92, sample_count=27), "Sample count exceeds packet capacity"),
        (Packet(timestamp=0), "Invalid block timestamp"),
        (Packet(timestamp=0xFFFFFFFF), "Invalid block timestamp"),
        (Packet(timestamp=pack_time(2020, 2, 30)), "Invalid block timestamp"),
    ],
)
@pytest.mark.parametrize("read", READS, ids=["metadata", "report", "plain", "seconds_cut"])
def test_bad_packets_fail_every_reader(cwa_path, no_leaked_files, bad, text, read):
    # Every file-caused error is a RuntimeError, never a panic.
    raises_exactly(RuntimeError, text, read, cwa_path(CwaFile().add(Packet(), bad)))


@pytest.mark.parametrize(
    ("path", "text"),
    [
        (MISSING, IO_MISSING),
        ("/tmp", "IO error: Is a directory (os error 21)"),
        ("a\0b.cwa", "IO error: file name contained an unexpected NUL byte"),
    ],
)
@pytest.mark.parametrize("read", READS[:3], ids=["metadata", "report", "plain"])
def test_unopenable_paths_are_runtime_errors(no_leaked_files, path, text, read):
    raises_exactly(RuntimeError, text, read, path)


def owner_of(array):
    """The last ndarray of the base chain and the object behind it."""
    while isinstance(array.base, np.ndarray):
        array = array.base
    return array, array.base


@pytest.mark.parametrize("tz", [None, hours(2)])
def test_columns_and_index_are_views_of_owned_buffers(cwa_path, tz):
    path = cwa_path(CwaFile(blocks=consecutive_packets(3)))
    frame = velmora.read_cwa_file(path, fixed_utc_offset_timezone=tz)
    owners = set()
    for values in [frame[name].to_numpy() for name in frame.columns] + [frame.index.asi8]:
        root, owner = owner_of(values)
        assert type(owner).__name__ == "ColumnOwner" and type(owner).__module__ == "velmora"
        assert root.flags.writeable and root.flags.c_contiguous and root.ndim == 1
        assert root.size == 360
        owners.add(id(owner))
    assert len(owners) == len(frame.columns) + 1
    with pytest.raises(TypeError):
        type(owner)()


def vm_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise AssertionError(field)


def test_memory_is_returned_when_frame_is_deleted(tmp_path):
    # 20000 packed packets: 2.4 million rows, 77 MB of columns.
    data = packed_samples([packed_word(1, 2, 3)] * 120)
    path = CwaFile(blocks=consecutive_packets(20000, sample_data=data)).write(tmp_path / "big.cwa")
    velmora.read_cwa_file(path)  # warm up imports
    gc.collect()
    before_size, before_rss = vm_kib("VmSize"), vm_kib("VmRSS")
    frame = velmora.read_cwa_file(path)
    assert vm_kib("VmRSS") - before_rss > 60_000
    del frame
    gc.collect()
    assert vm_kib("VmSize") - before_size < 8_000
    assert vm_kib("VmRSS") - before_rss < 8_000


SCRIPT = """
import sys, velmora
sys.modules[{blocked!r}] = None
try:
    velmora.read_cwa_file({path!r})
except Exception as error:
    print(type(error).__name__, str(error).split(":")[0])
except BaseException as error:
    kind = type(error)
    print(kind.__name__, kind.__bases__ == (BaseException,), str(error).split(":")[0])
print("PanicException" in dir(velmora))
"""


@pytest.mark.parametrize(
    ("blocked", "good_file", "outcome"),
    [
        # Without NumPy the array interface is missing: an internal fault, not an Exception.
        ("numpy", True, "PanicException True Failed to access NumPy array API capsule"),
        ("pandas", True, "ModuleNotFoundError import of pandas halted; None in sys.modules"),
        ("pandas", False, "RuntimeError IO error"),
    ],
)
def test_missing_numpy_or_pandas_is_noticed_after_the_read(cwa_path, blocked, good_file, outcome):
    path = cwa_path(CwaFile(blocks=consecutive_packets(2))) if good_file else MISSING
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run(
        [sys.executable, "-c", SCRIPT.format(blocked=blocked, path=path)],
        capture_output=True,
        text=True,
        env=env,
        check=True,
    )
    assert run.stdout.splitlines() == [outcome, "False"]
    assert ("Failed to access NumPy array API capsule" in run.stderr) == (blocked == "numpy")


# Ctrl-C while the first read imports NumPy: the import's KeyboardInterrupt reaches the caller
# as it is, and the next call imports NumPy afresh.
INTERRUPTED_IMPORT_SCRIPT = """
import sys, velmora

class RaiseFromFirstImport:
    def find_spec(self, name, path=None, target=None):
        if name == "numpy":
            sys.meta_path.remove(self)
            raise {raised}
        return None

assert "numpy" not in sys.modules
sys.meta_path.insert(0, RaiseFromFirstImport())
for attempt in range(2):
    try:
        print(len(velmora.read_cwa_file({path!r})))
    except BaseException as error:
        print(type(error).__name__, error)
"""


@pytest.mark.parametrize(
    ("raised", "outcome"),
    [("KeyboardInterrupt", "KeyboardInterrupt "), ("MemoryError('import')", "MemoryError import")],
)
def test_exception_from_the_numpy_import_propagates_and_the_next_call_works(
    cwa_path, raised, outcome
):
    path = cwa_path(CwaFile(blocks=consecutive_packets(2)))
    run = subprocess.run(
        [sys.executable, "-c", INTERRUPTED_IMPORT_SCRIPT.format(raised=raised, path=path)],
        capture_output=True,
        text=True,
        env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)),
        check=True,
    )
    assert run.stdout.splitlines() == [outcome, "240"], run.stderr


# The fault path itself under memory pressure: each fork fails one allocation of the first call,
# then calls again. Whether the PanicException type's creation was the one that failed or not,
# the second fault must still arrive as PanicException (never as a null result without an
# exception, which the interpreter reports as SystemError).
FAILED_CREATION_SCRIPT = """
import os, sys, velmora
import _testcapi
sys.modules["numpy"] = None
outcomes = set()
for n in range(0, 160, 2):
    read, write = os.pipe()
    if os.fork() == 0:
        os.close(read)
        kinds = []
        for hooked in (True, False):
            if hooked:
                _testcapi.set_nomemory(n, n + 1)
            try:
                velmora.read_cwa_file({path!r})
                kind = "returned"
            except BaseException as error:
                kind = type(error).__name__
            _testcapi.remove_mem_hooks()
            kinds.append(kind)
        os.write(write, " ".join(kinds).encode())
        os._exit(0)
    os.close(write)
    with os.fdopen(read) as pipe:
        outcomes.add(pipe.read())
    os.wait()
print("\\n".join(sorted(outcomes)))
"""


def test_a_failed_panic_type_creation_is_retried(cwa_path):
    if not hasattr(pytest.importorskip("_testcapi"), "set_nomemory"):
        pytest.skip("this interpreter cannot fail allocations on request")
    path = cwa_path(CwaFile(blocks=consecutive_packets(2)))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run(
        [sys.executable, "-c", FAILED_CREATION_SCRIPT.format(path=path)],
        capture_output=True,
        text=True,
        env=env,
        timeout=120,
        check=True,
    )
    outcomes = run.stdout.splitlines()
    assert {outcome.split()[1] for outcome in outcomes} == {"PanicException"}, outcomes
    assert "MemoryError PanicException" in outcomes
