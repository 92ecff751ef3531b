"""read_metadata and sampling_consistency_report: their dicts, header decoding, data timing texts
and the errors of files that only these two scan."""

from __future__ import annotations

import pytest
from conftest import raises_exactly, recording
from cwa_builder import CwaFile, Metadata, Packet, consecutive_packets, pack_time
from read_model import data_time_span, iso_text

import velmora

FAILED_FILL = "IO error: failed to fill whole buffer"
JAN_1 = pack_time(2020, 1, 1)
JAN_2 = pack_time(2020, 1, 2)


def metadata_of(cwa_path, contents):
    return velmora.read_metadata(cwa_path(contents))


def test_minimal_file_gives_every_key_in_order(cwa_path, no_leaked_files):
    path = cwa_path(CwaFile(metadata=Metadata(rate_code=0x4B)))
    metadata = velmora.read_metadata(path)
    assert list(metadata.items()) == [
        ("packet_header", "MD"),
        ("packet_length", 1020),
        ("hardware_type", "AX3"),
        ("device_id", 0x1234),
        ("session_id", 7),
        ("upper_device_id", 0),
        ("logging_start_time_raw", "2020-01-01T00:00:00"),
        ("logging_end_time_raw", None),
        ("last_change_time_raw", None),
        ("start_from_data_raw", None),
        ("end_from_data_raw", None),
        ("flash_led", 0),
        ("sensor_config", 0),
        ("sample_rate_hz", 200.0),
        ("accel_range", 8),
        ("firmware_revision", 45),
        ("annotation", " " * 448),  # an all-pad region stays whole
        ("gyro_range", None),
        ("magnetometer_enabled", False),
    ]
    assert type(metadata["sample_rate_hz"]) is float
    assert type(metadata["magnetometer_enabled"]) is bool
    report = velmora.sampling_consistency_report(path)
    assert list(report.items()) == [
        ("start_from_header_raw", "2020-01-01T00:00:00"),
        ("end_from_header_raw", None),
        ("duration_s_from_header", None),
        ("start_from_data_raw", None),
        ("end_from_data_raw", None),
        ("duration_s_from_data", None),
        ("samplingrate_hz_from_header", 200.0),
        ("samplingrate_hz_from_data", None),
    ]


@pytest.mark.parametrize(
    ("start", "end", "start_text", "end_text", "duration"),
    [
        (JAN_1, JAN_2, "2020-01-01T00:00:00", "2020-01-02T00:00:00", 86400.0),
        (pack_time(2020, 1, 1, 1), JAN_1, "2020-01-01T01:00:00", "2020-01-01T00:00:00", -3600.0),
        (
            pack_time(2020, 2, 28, 23, 59, 59),
            pack_time(2020, 3, 1),
            "2020-02-28T23:59:59",
            "2020-03-01T00:00:00",
            86401.0,
        ),
        (0, pack_time(2021, 6, 30, 23, 59, 59), None, "2021-06-30T23:59:59", None),
        (0xFFFFFFFF, JAN_2, None, "2020-01-02T00:00:00", None),
        (JAN_1, pack_time(2020, 13, 1), "2020-01-01T00:00:00", None, None),
        (pack_time(2020, 2, 30), pack_time(2020, 1, 1, 0, 60), None, None, None),
    ],
)
def test_header_times_and_duration(cwa_path, start, end, start_text, end_text, duration):
    header = Metadata(logging_start=start, logging_end=end, last_change=end)
    path = cwa_path(CwaFile(metadata=header))
    metadata = velmora.read_metadata(path)
    assert metadata["logging_start_time_raw"] == start_text
    assert metadata["logging_end_time_raw"] == end_text
    assert metadata["last_change_time_raw"] == end_text
    report = velmora.sampling_consistency_report(path)
    assert report["start_from_header_raw"] == start_text
    assert report["end_from_header_raw"] == end_text
    assert report["duration_s_from_header"] == duration


@pytest.mark.parametrize(
    ("upper", "device_id"), [(0xFFFF, 4660), (0x0001, 70196), (0x0000, 4660), (0x8000, 0x80001234)]
)
def test_device_id_combines_halves(cwa_path, upper, device_id):
    result = metadata_of(cwa_path, CwaFile(metadata=Metadata(upper_device_id=upper)))
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
    result = metadata_of(cwa_path, CwaFile(Metadata(hardware_type=hardware, sensor_config=config)))
    assert (result["hardware_type"], result["sensor_config"]) == (name, config)
    assert result["gyro_range"] == gyro
    assert result["magnetometer_enabled"] is magnetometer


@pytest.mark.parametrize(
    ("code", "rate", "accel"), [(0x4A, 100.0, 8), (0xCF, 3200.0, 2), (0x00, 0.09765625, 16)]
)
def test_header_rate_code_gives_rate_and_range(cwa_path, code, rate, accel):
    # The data packets' own rate never changes the header's rate.
    path = cwa_path(CwaFile(metadata=Metadata(rate_code=code)).add(Packet(rate_code=0x4C)))
    result = velmora.read_metadata(path)
    assert (result["sample_rate_hz"], result["accel_range"]) == (rate, accel)
    report = velmora.sampling_consistency_report(path)
    assert report["samplingrate_hz_from_header"] == rate
    assert type(report["samplingrate_hz_from_header"]) is float


def region(text: bytes, pad: bytes = b" ") -> bytes:
    return (text + pad * 448)[:448]


ILL_FORMED_UTF8 = [
    b"\xe2\x82",  # truncated three-byte sequence
    b"\xf0\x9f\x98",  # truncated four-byte sequence
    b"\xc0\xaf\xe0\x80\xaf",  # overlong forms
    b"\xed\xa0\x80\xed\xbf\xbf",  # surrogates
    b"\xf4\x90\x80\x80\xf5\x80",  # above U+10FFFF
    b"\x80\xbf\x80",  # lone continuation bytes
    b"\xff\xfe",
    b"\x61\xf1\x80\x80\xe1\x80\xc2\x62\x80\x63\x80\xbf\x64",
]


@pytest.mark.parametrize(
    ("raw", "expected"),
    [
        (region(b"abc", b" \xff"), "abc"),
        (region(b" a b", b"\x00"), " a b"),
        (region(b"", b"\xff"), "\ufffd" * 448),
        (region(b"", b"\x00"), "\x00" * 448),
        (region(b"x\x00y", b"\x00"), "x\x00y"),
        (region("caf\u00e9 \u20ac \U0001f600".encode()), "caf\u00e9 \u20ac \U0001f600"),
    ]
    # Ill-formed UTF-8 is replaced exactly as Python replaces it.
    + [
        (region(b"<" + bad + b">"), (b"<" + bad + b">").decode("utf-8", "replace"))
        for bad in ILL_FORMED_UTF8
    ],
)
def test_annotation_trims_pad_bytes_and_replaces_bad_utf8(cwa_path, raw, expected):
    result = metadata_of(cwa_path, CwaFile(metadata=Metadata(annotation=raw)))
    assert result["annotation"] == expected


START = "2020-01-01T00:00:00"


@pytest.mark.parametrize(
    ("blocks", "start", "end", "duration", "rate"),
    [
        ([Packet()], START, "2020-01-01T00:00:01.190", 1.19, 119 / 1.19),
        # Packets less than a second apart join, distant ones keep their own start.
        (consecutive_packets(2), START, "2020-01-01T00:00:02.191666", 2.191666, 239 / 2.191666),
        (
            consecutive_packets(2, seconds_per_packet=3),
            START,
            "2020-01-01T00:00:04.190",
            4.19,
            239 / 4.19,
        ),
        # The offset moves the first sample before the block time.
        (
            [Packet(timestamp_offset=50)],
            "2019-12-31T23:59:59.500",
            "2020-01-01T00:00:00.690",
            1.19,
            119 / 1.19,
        ),
        ([Packet(sample_count=1)], START, START, 0.0, None),
        # Skipped blocks, including an old-format packet without samples, are no error.
        (
            [Packet(header=b"MD"), Packet(sample_count=0, rate_code=0, timestamp=0), bytes(512)],
            None,
            None,
            None,
            None,
        ),
    ],
)
def test_data_timing(cwa_path, no_leaked_files, blocks, start, end, duration, rate):
    path = cwa_path(CwaFile(blocks=blocks))
    metadata = velmora.read_metadata(path)
    assert (metadata["start_from_data_raw"], metadata["end_from_data_raw"]) == (start, end)
    report = velmora.sampling_consistency_report(path)
    assert (report["start_from_data_raw"], report["end_from_data_raw"]) == (start, end)
    assert report["duration_s_from_data"] == duration
    assert report["samplingrate_hz_from_data"] == rate


@pytest.mark.parametrize("function", [velmora.read_metadata, velmora.sampling_consistency_report])
@pytest.mark.parametrize(
    ("contents", "message"),
    [
        (b"M", FAILED_FILL),
        (CwaFile().to_bytes()[:1023], FAILED_FILL),
        (CwaFile(tail=bytes(100)).add(Packet(), Packet()), FAILED_FILL),
        (b"\xff\xff" + CwaFile().to_bytes()[2:], "Invalid packet header format"),
        (Metadata(header=b"AX").to_bytes(), "First block is not a metadata block"),
    ],
)
def test_bad_file_structure(cwa_path, no_leaked_files, function, contents, message):
    raises_exactly(RuntimeError, message, function, cwa_path(contents))


@pytest.mark.parametrize("name", ["ax3-packed-100hz.cwa", "ax6-gyro-100hz.cwa"])
def test_real_recordings_match_the_timing_model(name, no_leaked_files):
    path = recording(name)
    with open(path, "rb") as source:
        first, last, total = data_time_span(source.read())
    metadata = velmora.read_metadata(path)
    report = velmora.sampling_consistency_report(path)
    for result in (metadata, report):
        assert result["start_from_data_raw"] == iso_text(first)
        assert result["end_from_data_raw"] == iso_text(last)
    duration = (last - first) / 1e6
    assert report["duration_s_from_data"] == duration
    assert report["samplingrate_hz_from_data"] == (total - 1) / duration
    assert report["start_from_header_raw"] == metadata["logging_start_time_raw"]
    assert report["end_from_header_raw"] == metadata["logging_end_time_raw"]
    assert report["samplingrate_hz_from_header"] == metadata["sample_rate_hz"]
