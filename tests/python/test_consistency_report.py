"""sampling_consistency_report: header window beside data timing, as an 8-key dict."""

from __future__ import annotations

import pytest

import velmora
from conftest import recording
from cwa_builder import CwaFile, Metadata, Packet, consecutive_packets, pack_time
from test_read_metadata import model_scan, model_text

JAN_1 = pack_time(2020, 1, 1)
JAN_2 = pack_time(2020, 1, 2)

KEYS = [
    "start_from_header_raw",
    "end_from_header_raw",
    "duration_s_from_header",
    "start_from_data_raw",
    "end_from_data_raw",
    "duration_s_from_data",
    "samplingrate_hz_from_header",
    "samplingrate_hz_from_data",
]


def report_of(cwa_path, contents):
    return velmora.sampling_consistency_report(cwa_path(contents))


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
        (0, JAN_2, None, "2020-01-02T00:00:00", None),
        (0xFFFFFFFF, JAN_2, None, "2020-01-02T00:00:00", None),
        (JAN_1, pack_time(2020, 13, 1), "2020-01-01T00:00:00", None, None),
    ],
)
def test_header_window_and_duration(cwa_path, start, end, start_text, end_text, duration):
    report = report_of(cwa_path, CwaFile(metadata=Metadata(logging_start=start, logging_end=end)))
    assert list(report) == KEYS
    assert report["start_from_header_raw"] == start_text
    assert report["end_from_header_raw"] == end_text
    assert report["duration_s_from_header"] == duration


def test_file_without_data_packets_has_only_header_values(cwa_path, no_leaked_files):
    report = report_of(cwa_path, CwaFile(metadata=Metadata(rate_code=0x4B)))
    assert report == {
        "start_from_header_raw": "2020-01-01T00:00:00",
        "end_from_header_raw": None,
        "duration_s_from_header": None,
        "start_from_data_raw": None,
        "end_from_data_raw": None,
        "duration_s_from_data": None,
        "samplingrate_hz_from_header": 200.0,
        "samplingrate_hz_from_data": None,
    }


def test_one_packet_gives_nominal_rate(cwa_path):
    report = report_of(cwa_path, CwaFile().add(Packet()))
    assert report["start_from_data_raw"] == "2020-01-01T00:00:00"
    assert report["end_from_data_raw"] == "2020-01-01T00:00:01.190"
    assert report["duration_s_from_data"] == 1.19
    assert report["samplingrate_hz_from_data"] == 119 / 1.19


def test_joined_packets_count_every_sample(cwa_path):
    report = report_of(cwa_path, CwaFile().add(*consecutive_packets(2)))
    assert report["end_from_data_raw"] == "2020-01-01T00:00:02.191666"
    assert report["duration_s_from_data"] == 2.191666
    assert report["samplingrate_hz_from_data"] == 239 / 2.191666


def test_single_sample_has_zero_duration_and_no_rate(cwa_path):
    report = report_of(cwa_path, CwaFile().add(Packet(sample_count=1)))
    assert report["duration_s_from_data"] == 0.0
    assert report["samplingrate_hz_from_data"] is None


def test_header_rate_ignores_packet_rates(cwa_path):
    contents = CwaFile(metadata=Metadata(rate_code=0x4A)).add(Packet(rate_code=0x4C))
    report = report_of(cwa_path, contents)
    assert report["samplingrate_hz_from_header"] == 100.0
    assert type(report["samplingrate_hz_from_header"]) is float


@pytest.mark.parametrize("name", ["ax3-packed-100hz.cwa", "ax6-gyro-100hz.cwa"])
def test_real_recordings_match_the_timing_model(name, no_leaked_files):
    path = recording(name)
    with open(path, "rb") as source:
        first, last, total = model_scan(source.read())
    report = velmora.sampling_consistency_report(path)
    assert report["start_from_data_raw"] == model_text(first)
    assert report["end_from_data_raw"] == model_text(last)
    duration = (last - first) / 1e6
    assert report["duration_s_from_data"] == duration
    assert report["samplingrate_hz_from_data"] == (total - 1) / duration
    metadata = velmora.read_metadata(path)
    assert report["start_from_header_raw"] == metadata["logging_start_time_raw"]
    assert report["end_from_header_raw"] == metadata["logging_end_time_raw"]
    assert report["samplingrate_hz_from_header"] == metadata["sample_rate_hz"]
