"""read_cwa_file as a Python user sees it: columns, index, offsets, errors and memory."""

from __future__ import annotations

import datetime
import gc
import os
import subprocess
import sys
import zoneinfo

import numpy as np
import pytest
import velmora
from cwa_builder import (
    JAN_2020,
    CwaFile,
    Packet,
    consecutive_packets,
    pack_time,
    packed_samples,
    packed_word,
    unpacked_samples,
)

PER_PACKET = ["temperature", "light", "battery"]
GYRO = ["gyro_x", "gyro_y", "gyro_z"]
MAG = ["mag_x", "mag_y", "mag_z"]
ACC = ["acc_x", "acc_y", "acc_z"]


def nine_axis_packets(count: int):
    rows = [(i, 0, -i, 256, 512, -256, 16384, 0, -16384) for i in range(26)]
    return consecutive_packets(
        count, sample_format=0x92, sample_count=26, sample_data=unpacked_samples(rows)
    )


@pytest.mark.parametrize(
    ("packets", "flags", "columns"),
    [
        (consecutive_packets(3), {}, ACC + PER_PACKET),
        (
            consecutive_packets(3),
            dict.fromkeys(
                ["include_magnetometer", "include_temperature", "include_light", "include_battery"],
                False,
            ),
            ACC,
        ),
        (consecutive_packets(3), {"include_temperature": False}, ACC + ["light", "battery"]),
        (nine_axis_packets(2), {}, ACC + GYRO + MAG + PER_PACKET),
        (nine_axis_packets(2), {"include_magnetometer": False}, ACC + GYRO + PER_PACKET),
    ],
)
def test_columns_follow_data_and_flags_in_order(cwa_path, packets, flags, columns):
    frame = velmora.read_cwa_file(cwa_path(CwaFile(blocks=packets)), **flags)
    assert list(frame.columns) == columns
    assert all(dtype == np.float32 for dtype in frame.dtypes)


def test_gyroscope_from_later_packet_is_nan_before_and_keeps_recorded_zero(cwa_path):
    three_axis = Packet(sample_format=0x32, sample_count=80, timestamp=JAN_2020)
    gyro_rows = [(0, 16384, -16384, 256, 0, 0)] * 40
    six_axis = Packet(
        sample_format=0x62,
        sample_count=40,
        timestamp=pack_time(2020, 1, 1, 0, 0, 1),
        light=5 << 10,
        sample_data=unpacked_samples(gyro_rows),
    )
    frame = velmora.read_cwa_file(cwa_path(CwaFile(blocks=[three_axis, six_axis])))
    assert list(frame.columns) == ACC + GYRO + PER_PACKET
    assert np.isnan(frame["gyro_x"].to_numpy()[:80]).all()
    gyro_x = frame["gyro_x"].to_numpy()[80:]
    assert (gyro_x == 0.0).all() and not np.signbit(gyro_x).any()
    # Scale code 5: 250 degrees per second full scale.
    expected = np.float32(16384) / (np.float32(32768) / np.float32(250))
    assert (frame["gyro_y"].to_numpy()[80:] == expected).all()


NOON = pack_time(2020, 1, 1, 12, 0, 0)


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


def test_resampled_read_gets_the_same_offset_and_index(cwa_path):
    path = cwa_path(CwaFile(blocks=consecutive_packets(5, start=NOON)))
    frame = velmora.read_cwa_file(path, resample_hz=50, fixed_utc_offset_timezone=hours(1))
    assert list(frame.columns) == ACC + PER_PACKET
    assert all(dtype == np.float32 for dtype in frame.dtypes)
    assert frame.index.name == "timestamp" and str(frame.index.dtype) == "datetime64[us, UTC]"
    assert str(frame.index[0]) == "2020-01-01 11:00:00+00:00"
    assert frame.index[1] - frame.index[0] == datetime.timedelta(milliseconds=20)


def test_seconds_cut_from_zero_drops_first_sample_truncated_below_first_data_time(cwa_path):
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
    ("tz", "error", "text"),
    [
        (BERLIN, TypeError, NONE_DELTA),
        (StrZone(), TypeError, "'str' object cannot be converted to 'PyDelta'"),
        (RaisingZone(), LookupError, "no offset here"),
    ],
)
def test_timezone_without_fixed_offset_fails(cwa_path, tz, error, text):
    path = cwa_path(CwaFile(blocks=consecutive_packets(2)))
    with pytest.raises(error) as raised:
        velmora.read_cwa_file(path, fixed_utc_offset_timezone=tz)
    assert type(raised.value) is error and str(raised.value) == text


@pytest.mark.parametrize(
    ("cut", "error", "text"),
    [
        (None, TypeError, NONE_DELTA),
        (velmora.blocks(1, 5), TypeError, NONE_DELTA),
        # A seconds cut scans the file first, so the missing file is reported first.
        (velmora.seconds(1, 5), RuntimeError, "IO error: No such file or directory (os error 2)"),
    ],
)
def test_timezone_error_comes_after_plan_and_before_read(tmp_path, cut, error, text):
    with pytest.raises(error) as raised:
        velmora.read_cwa_file(str(tmp_path / "missing.cwa"), cut, fixed_utc_offset_timezone=BERLIN)
    assert type(raised.value) is error and str(raised.value) == text


def test_bad_cut_is_reported_before_bad_resample_rate(tmp_path):
    with pytest.raises(ValueError, match="^cut type must be 'seconds' or 'blocks'$"):
        velmora.read_cwa_file(str(tmp_path / "missing.cwa"), {"type": "minutes"}, resample_hz=-1.0)


def test_bad_resample_rate_is_reported_before_the_file(tmp_path):
    with pytest.raises(ValueError, match=r"^resample_hz must be a finite value > 0$"):
        velmora.read_cwa_file(str(tmp_path / "missing.cwa"), resample_hz=0.0)


def test_resample_method_is_ignored_without_rate(cwa_path):
    path = cwa_path(CwaFile(blocks=consecutive_packets(2)))
    frame = velmora.read_cwa_file(path, resample_method="linear")
    assert len(frame) == 240


NOTHING_IN_RANGE = "No valid sample data found in the specified range"
NOTHING_AFTER_CUT = "No samples remain after applying seconds cut"
NOTHING_AFTER_RANGE = "No samples remain after applying time range"


def two_second_packets(count):
    return consecutive_packets(count, seconds_per_packet=2, sample_count=100)


@pytest.mark.parametrize(
    ("blocks", "cut", "text"),
    [
        (consecutive_packets(2), velmora.blocks(end=0), NOTHING_IN_RANGE),
        ([bytes(512), Packet(sample_count=0)], None, NOTHING_IN_RANGE),
        ([bytes(512), Packet(sample_count=0)], velmora.seconds(0, 1), "No valid sample data found"),
        # Packets last 1 s and start 2 s apart: 1.2 to 1.9 lies in the gap.
        (two_second_packets(3), velmora.seconds(1.2, 1.9), NOTHING_AFTER_CUT),
        # Between two samples 10 ms apart.
        (consecutive_packets(2), velmora.seconds(0.0051, 0.0052), NOTHING_AFTER_RANGE),
    ],
)
def test_empty_outcomes_raise_runtime_error(cwa_path, no_leaked_files, blocks, cut, text):
    path = cwa_path(CwaFile(blocks=blocks))
    with pytest.raises(RuntimeError) as raised:
        velmora.read_cwa_file(path, cut)
    assert type(raised.value) is RuntimeError and str(raised.value) == text


GOOD = CwaFile(blocks=consecutive_packets(3)).to_bytes()
UNSUPPORTED_31 = "Unsupported sample format: 3 axes, packing 1"


@pytest.mark.parametrize(
    ("contents", "text"),
    [
        (b"", "IO error: failed to fill whole buffer"),
        (b"M", "IO error: failed to fill whole buffer"),
        (b"XX" + bytes(598), "Not a valid CWA file"),
        (b"MD" + bytes(598), "File too small to be a valid CWA file"),
        (GOOD[:1024], "Start block is beyond file size"),
        (GOOD + bytes(100), "Incomplete CWA data block"),
        (GOOD[:1024] + Packet(timestamp=0xFFFFFFFF).to_bytes(), "Invalid block timestamp"),
        (GOOD[:1024] + Packet(rate_code=0).to_bytes(), "Old CWA format packets are not supported"),
        (GOOD[:1024] + Packet(sample_format=0x31).to_bytes(), UNSUPPORTED_31),
        (GOOD[:1024] + Packet(sample_count=121).to_bytes(), "Sample count exceeds packet capacity"),
    ],
)
@pytest.mark.parametrize("cut", [None, velmora.seconds(0.5)])
def test_file_errors_are_runtime_errors_with_exact_text(
    cwa_path, no_leaked_files, contents, text, cut
):
    try:
        velmora.read_cwa_file(cwa_path(contents), cut)
    except Exception as error:  # every file-caused error is an Exception, never a panic
        assert type(error) is RuntimeError and str(error) == text
    else:
        pytest.fail("no exception")


@pytest.mark.parametrize(
    ("path", "text"),
    [
        ("/nonexistent/velmora.cwa", "IO error: No such file or directory (os error 2)"),
        ("/tmp", "IO error: Is a directory (os error 21)"),
        ("a\0b.cwa", "IO error: file name contained an unexpected NUL byte"),
    ],
)
def test_unopenable_paths_are_runtime_errors(no_leaked_files, path, text):
    with pytest.raises(RuntimeError) as raised:
        velmora.read_cwa_file(path)
    assert type(raised.value) is RuntimeError and str(raised.value) == text


def test_successful_read_leaves_no_file_open(cwa_path, no_leaked_files):
    path = cwa_path(CwaFile(blocks=consecutive_packets(4)))
    velmora.read_cwa_file(path, velmora.seconds(1, 2))
    velmora.read_cwa_file(path)


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
    template = Packet(sample_data=packed_samples([packed_word(1, 2, 3)] * 120))
    path = str(tmp_path / "big.cwa")
    CwaFile(blocks=consecutive_packets(20000, **{"sample_data": template.sample_data})).write(path)
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
except BaseException as error:
    print(type(error).__name__, str(error).split(":")[0])
"""


@pytest.mark.parametrize(
    ("blocked", "good_file", "outcome"),
    [
        ("numpy", True, "PanicException Failed to access NumPy array API capsule"),
        ("pandas", True, "ModuleNotFoundError import of pandas halted; None in sys.modules"),
        ("pandas", False, "RuntimeError IO error"),
    ],
)
def test_missing_numpy_or_pandas_is_noticed_after_the_read(
    cwa_path, blocked, good_file, outcome
):
    path = cwa_path(CwaFile(blocks=consecutive_packets(2))) if good_file else "/nonexistent.cwa"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run(
        [sys.executable, "-c", SCRIPT.format(blocked=blocked, path=path)],
        capture_output=True, text=True, env=env, check=True,
    )  # fmt: skip
    assert run.stdout.strip() == outcome
