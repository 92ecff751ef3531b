"""read_metadata: the 19-key dict, header decoding, data timing texts and file errors."""

from __future__ import annotations

import datetime
import math
import struct

import numpy as np
import pytest

import velmora
from conftest import recording
from cwa_builder import JAN_2020, CwaFile, Metadata, Packet, consecutive_packets, pack_time

KEYS = [
    "packet_header",
    "packet_length",
    "hardware_type",
    "device_id",
    "session_id",
    "upper_device_id",
    "logging_start_time_raw",
    "logging_end_time_raw",
    "last_change_time_raw",
    "start_from_data_raw",
    "end_from_data_raw",
    "flash_led",
    "sensor_config",
    "sample_rate_hz",
    "accel_range",
    "firmware_revision",
    "annotation",
    "gyro_range",
    "magnetometer_enabled",
]

FAILED_FILL = "IO error: failed to fill whole buffer"


# An independent model of the packet timing rules, used to check real recordings.
def model_bounds(packed: int, offset: int, count: int, rate_code: int) -> tuple[float, float]:
    f32 = np.float32
    moment = datetime.datetime(
        2000 + (packed >> 26),
        (packed >> 22) & 0xF,
        (packed >> 17) & 0x1F,
        (packed >> 12) & 0x1F,
        (packed >> 6) & 0x3F,
        packed & 0x3F,
    )
    whole = (moment - datetime.datetime(1970, 1, 1)) // datetime.timedelta(seconds=1)
    rate = f32(3200.0 / 2 ** (15 - (rate_code & 0x0F)))
    x = f32(-f32(offset)) / rate
    floor = f32(math.floor(x))
    start = float(f32(x - floor)) + (float(floor) + float(whole))
    return start, start + float(f32(f32(count) / rate))


def model_us(seconds: float) -> int:
    return 0 if math.isnan(seconds) else int(seconds * 1e6)


def model_scan(data: bytes) -> tuple[int | None, int | None, int]:
    """First and last sample microseconds and the sample total of a valid file."""
    prev_end = first = last = None
    total = 0
    for at in range(1024, len(data), 512):
        packet = data[at : at + 512]
        (packed,) = struct.unpack_from("<I", packet, 14)
        rate_code = packet[24]
        offset, count = struct.unpack_from("<hH", packet, 26)
        if packet[:2] != b"AX" or count == 0:
            continue
        start, end = model_bounds(packed, offset, count, rate_code)
        if prev_end is not None and start - prev_end < 1.0:
            start = prev_end
        if first is None:
            first = model_us(start)
        last = model_us(((count - 1) * ((end - start) / count)) + start)
        total += count
        prev_end = end
    return first, last, total


def model_text(us: int) -> str:
    moment = datetime.datetime(1970, 1, 1) + datetime.timedelta(microseconds=us)
    text = moment.strftime("%Y-%m-%dT%H:%M:%S")
    if moment.microsecond == 0:
        return text
    if moment.microsecond % 1000 == 0:
        return f"{text}.{moment.microsecond // 1000:03d}"
    return f"{text}.{moment.microsecond:06d}"


def one_packet_file(**packet_fields) -> CwaFile:
    return CwaFile().add(Packet(**packet_fields))


def test_minimal_file_reports_every_key_in_order(cwa_path, no_leaked_files):
    result = velmora.read_metadata(cwa_path(CwaFile()))
    assert list(result) == KEYS
    assert result == {
        "packet_header": "MD",
        "packet_length": 1020,
        "hardware_type": "AX3",
        "device_id": 0x1234,
        "session_id": 7,
        "upper_device_id": 0,
        "logging_start_time_raw": "2020-01-01T00:00:00",
        "logging_end_time_raw": None,
        "last_change_time_raw": None,
        "start_from_data_raw": None,
        "end_from_data_raw": None,
        "flash_led": 0,
        "sensor_config": 0,
        "sample_rate_hz": 100.0,
        "accel_range": 8,
        "firmware_revision": 45,
        "annotation": " " * 448,  # an all-pad region stays whole
        "gyro_range": None,
        "magnetometer_enabled": False,
    }
    assert type(result["sample_rate_hz"]) is float
    assert type(result["magnetometer_enabled"]) is bool


def test_header_times_print_whole_seconds_or_none(cwa_path):
    metadata = Metadata(
        logging_start=0xFFFFFFFF,
        logging_end=pack_time(2021, 6, 30, 23, 59, 59),
        last_change=0,
    )
    result = velmora.read_metadata(cwa_path(CwaFile(metadata=metadata)))
    assert result["logging_start_time_raw"] is None
    assert result["logging_end_time_raw"] == "2021-06-30T23:59:59"
    assert result["last_change_time_raw"] is None
    invalid = Metadata(
        logging_start=pack_time(2020, 2, 30), logging_end=pack_time(2020, 1, 1, 0, 60)
    )
    result = velmora.read_metadata(cwa_path(CwaFile(metadata=invalid)))
    assert result["logging_start_time_raw"] is None
    assert result["logging_end_time_raw"] is None


@pytest.mark.parametrize(
    ("upper", "device_id"), [(0xFFFF, 4660), (0x0001, 70196), (0x0000, 4660), (0x8000, 0x80001234)]
)
def test_device_id_combines_halves(cwa_path, upper, device_id):
    result = velmora.read_metadata(cwa_path(CwaFile(metadata=Metadata(upper_device_id=upper))))
    assert (result["device_id"], result["upper_device_id"]) == (device_id, upper)


@pytest.mark.parametrize(
    ("hardware", "config", "gyro", "magnetometer", "name"),
    [
        (0x64, 0x12, 2000, True, "AX6"),
        (0x64, 0x02, 2000, False, "AX6"),
        (0x64, 0x16, 125, True, "AX6"),
        (0x64, 0x17, None, True, "AX6"),
        (0x64, 0x00, None, False, "AX6"),
        (0x64, 0xFF, None, False, "AX6"),
        (0x17, 0x12, None, False, "AX3"),
        (0x00, 0x02, None, False, "AX3"),
    ],
)
def test_sensor_configuration_counts_only_on_ax6(
    cwa_path, hardware, config, gyro, magnetometer, name
):
    metadata = Metadata(hardware_type=hardware, sensor_config=config)
    result = velmora.read_metadata(cwa_path(CwaFile(metadata=metadata)))
    assert result["hardware_type"] == name
    assert result["sensor_config"] == config
    assert result["gyro_range"] == gyro
    assert result["magnetometer_enabled"] is magnetometer


@pytest.mark.parametrize(
    ("code", "rate", "accel"), [(0x4A, 100.0, 8), (0xCF, 3200.0, 2), (0x00, 0.09765625, 16)]
)
def test_rate_code_gives_rate_and_range(cwa_path, code, rate, accel):
    result = velmora.read_metadata(cwa_path(CwaFile(metadata=Metadata(rate_code=code))))
    assert (result["sample_rate_hz"], result["accel_range"]) == (rate, accel)


def region(text: bytes, pad: bytes) -> bytes:
    return (text + pad * 448)[:448]


@pytest.mark.parametrize(
    ("raw", "expected"),
    [
        (region(b"abc", b" \xff"), "abc"),
        (region(b" a b", b"\x00"), " a b"),
        (region(b"", b" "), " " * 448),
        (region(b"", b"\xff"), "\ufffd" * 448),
        (region(b"", b"\x00"), "\x00" * 448),
        (region(b"x\x00y", b"\x00"), "x\x00y"),
        (region("caf\u00e9 \u20ac \U0001f600".encode(), b" "), "caf\u00e9 \u20ac \U0001f600"),
    ],
)
def test_annotation_trims_trailing_pad_bytes(cwa_path, raw, expected):
    result = velmora.read_metadata(cwa_path(CwaFile(metadata=Metadata(annotation=raw))))
    assert result["annotation"] == expected


@pytest.mark.parametrize(
    "ill_formed",
    [
        b"\xe2\x82",  # truncated three-byte sequence
        b"\xf0\x9f\x98",  # truncated four-byte sequence
        b"\xc0\xaf\xe0\x80\xaf",  # overlong forms
        b"\xed\xa0\x80\xed\xbf\xbf",  # surrogates
        b"\xf4\x90\x80\x80\xf5\x80",  # above U+10FFFF
        b"\x80\xbf\x80",  # lone continuation bytes
        b"\xff\xfe",
        b"\x61\xf1\x80\x80\xe1\x80\xc2\x62\x80\x63\x80\xbf\x64",
    ],
)
def test_annotation_replaces_ill_formed_utf8_like_python(cwa_path, ill_formed):
    raw = region(b"<" + ill_formed + b">", b" ")
    result = velmora.read_metadata(cwa_path(CwaFile(metadata=Metadata(annotation=raw))))
    assert result["annotation"] == (b"<" + ill_formed + b">").decode("utf-8", "replace")


def test_data_times_of_one_packet(cwa_path):
    result = velmora.read_metadata(cwa_path(one_packet_file()))
    assert result["start_from_data_raw"] == "2020-01-01T00:00:00"
    assert result["end_from_data_raw"] == "2020-01-01T00:00:01.190"


def test_close_packets_join_and_distant_ones_keep_their_start(cwa_path):
    joined = CwaFile().add(*consecutive_packets(2))
    result = velmora.read_metadata(cwa_path(joined))
    assert result["start_from_data_raw"] == "2020-01-01T00:00:00"
    assert result["end_from_data_raw"] == "2020-01-01T00:00:02.191666"
    apart = CwaFile().add(*consecutive_packets(2, seconds_per_packet=3))
    assert velmora.read_metadata(cwa_path(apart))["end_from_data_raw"] == "2020-01-01T00:00:04.190"


def test_offset_shifts_first_sample_before_block_time(cwa_path):
    result = velmora.read_metadata(cwa_path(one_packet_file(timestamp_offset=50)))
    assert result["start_from_data_raw"] == "2019-12-31T23:59:59.500"
    assert result["end_from_data_raw"] == "2020-01-01T00:00:00.690"


def test_skipped_packets_leave_data_times_unset(cwa_path):
    skipped = CwaFile().add(
        Packet(header=b"MD"), Packet(sample_count=0, rate_code=0, timestamp=0), bytes(512)
    )
    result = velmora.read_metadata(cwa_path(skipped))
    assert result["start_from_data_raw"] is None
    assert result["end_from_data_raw"] is None


def error_files():
    packet = Packet()
    tail = CwaFile(tail=b"\x00" * 100).add(packet, packet)
    return [
        ("one_byte", b"M", FAILED_FILL),
        ("short_metadata", CwaFile().to_bytes()[:1023], FAILED_FILL),
        ("not_utf8", b"\xff\xff" + CwaFile().to_bytes()[2:], "Invalid packet header format"),
        (
            "data_packet_first",
            Metadata(header=b"AX").to_bytes(),
            "First block is not a metadata block",
        ),
        ("truncated_tail", tail, FAILED_FILL),
        (
            "rate_code_zero",
            CwaFile().add(packet, packet.with_(rate_code=0, sample_format=0x31)),
            "Old CWA format packets are not supported",
        ),
        (
            "format_0x31",
            CwaFile().add(packet.with_(sample_format=0x31)),
            "Unsupported sample format: 3 axes, packing 1",
        ),
        (
            "format_0x60",
            CwaFile().add(packet.with_(sample_format=0x60)),
            "Unsupported sample format: 6 axes, packing 0",
        ),
        (
            "too_many_packed",
            CwaFile().add(packet.with_(sample_count=121)),
            "Sample count exceeds packet capacity",
        ),
        (
            "too_many_9_axis",
            CwaFile().add(packet.with_(sample_format=0x92, sample_count=27)),
            "Sample count exceeds packet capacity",
        ),
        ("unset_block_time", CwaFile().add(packet.with_(timestamp=0)), "Invalid block timestamp"),
        (
            "unset_block_time_high",
            CwaFile().add(packet.with_(timestamp=0xFFFFFFFF)),
            "Invalid block timestamp",
        ),
        (
            "impossible_block_time",
            CwaFile().add(packet, packet.with_(timestamp=pack_time(2020, 2, 30))),
            "Invalid block timestamp",
        ),
    ]


ENTRY_POINTS = [velmora.read_metadata, velmora.sampling_consistency_report]


@pytest.mark.parametrize("function", ENTRY_POINTS, ids=lambda f: f.__name__)
@pytest.mark.parametrize(
    ("contents", "message"), [c[1:] for c in error_files()], ids=[c[0] for c in error_files()]
)
def test_bad_files_raise_runtime_error_with_exact_text(
    cwa_path, no_leaked_files, function, contents, message
):
    with pytest.raises(RuntimeError) as caught:
        function(cwa_path(contents))
    assert type(caught.value) is RuntimeError
    assert caught.value.args == (message,)


@pytest.mark.parametrize("function", ENTRY_POINTS, ids=lambda f: f.__name__)
def test_unopenable_paths_raise_io_errors(tmp_path, no_leaked_files, function):
    cases = [
        (str(tmp_path / "missing.cwa"), "IO error: No such file or directory (os error 2)"),
        (str(tmp_path), "IO error: Is a directory (os error 21)"),
        (str(tmp_path / "a\0b.cwa"), "IO error: file name contained an unexpected NUL byte"),
    ]
    for path, message in cases:
        with pytest.raises(RuntimeError) as caught:
            function(path)
        assert type(caught.value) is RuntimeError
        assert str(caught.value) == message


@pytest.mark.parametrize("function", ENTRY_POINTS, ids=lambda f: f.__name__)
def test_a_skipped_old_format_packet_is_no_error(cwa_path, function, no_leaked_files):
    contents = CwaFile().add(Packet(), Packet(rate_code=0, sample_count=0))
    function(cwa_path(contents))


@pytest.mark.parametrize("name", ["ax3-packed-100hz.cwa", "ax6-gyro-100hz.cwa"])
def test_real_recordings_match_the_timing_model(name, no_leaked_files):
    path = recording(name)
    with open(path, "rb") as source:
        data = source.read()
    first, last, _ = model_scan(data)
    result = velmora.read_metadata(path)
    assert list(result) == KEYS
    assert result["start_from_data_raw"] == model_text(first)
    assert result["end_from_data_raw"] == model_text(last)
