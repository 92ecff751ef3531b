"""The bundled sample recording reads as generated, and the tour script runs on it."""

from __future__ import annotations

import pathlib
import subprocess
import sys

import numpy as np

import velmora

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
SAMPLE = str(EXAMPLES / "sample.cwa")
ROWS = 18000  # three minutes at 100 Hz
GYRO_FROM_ROW = 12000  # the last minute is 6-axis


def test_sample_matches_its_generator(tmp_path):
    output = tmp_path / "sample.cwa"
    subprocess.run(
        [sys.executable, str(EXAMPLES / "make_sample.py"), str(output)],
        check=True,
        capture_output=True,
    )
    assert output.read_bytes() == pathlib.Path(SAMPLE).read_bytes()


def test_sample_metadata():
    assert list(velmora.read_metadata(SAMPLE).items()) == [
        ("packet_header", "MD"),
        ("packet_length", 1020),
        ("hardware_type", "AX6"),
        ("device_id", 0x2A1F),
        ("session_id", 4242),
        ("upper_device_id", 0),
        ("logging_start_time_raw", "2024-03-14T09:30:00"),
        ("logging_end_time_raw", "2024-03-14T09:35:00"),
        ("last_change_time_raw", "2024-03-13T17:02:11"),
        ("start_from_data_raw", "2024-03-14T09:30:00"),
        ("end_from_data_raw", "2024-03-14T09:32:59.990"),
        ("flash_led", 0),
        ("sensor_config", 2),
        ("sample_rate_hz", 100.0),
        ("accel_range", 8),
        ("firmware_revision", 52),
        ("annotation", "velmora sample: walking, arm raises, wrist turns"),
        ("gyro_range", 2000),
        ("magnetometer_enabled", False),
    ]


def test_sample_timing_is_consistent():
    report = velmora.sampling_consistency_report(SAMPLE)
    assert report == {
        "start_from_header_raw": "2024-03-14T09:30:00",
        "end_from_header_raw": "2024-03-14T09:35:00",
        "duration_s_from_header": 300.0,
        "start_from_data_raw": "2024-03-14T09:30:00",
        "end_from_data_raw": "2024-03-14T09:32:59.990",
        "duration_s_from_data": 179.99,
        "samplingrate_hz_from_header": 100.0,
        "samplingrate_hz_from_data": (ROWS - 1) / 179.99,
    }


def test_sample_frame_holds_three_minutes_of_motion():
    frame = velmora.read_cwa_file(SAMPLE)
    assert list(frame.columns) == [
        "acc_x",
        "acc_y",
        "acc_z",
        "gyro_x",
        "gyro_y",
        "gyro_z",
        "temperature",
        "light",
        "battery",
    ]
    assert len(frame) == ROWS
    assert (frame.dtypes == np.float32).all()
    assert str(frame.index[0]) == "2024-03-14 09:30:00"
    assert str(frame.index[-1]) == "2024-03-14 09:32:59.990000"
    # Packets join without gaps or overlaps: every step is 10 ms to the microsecond.
    steps = np.diff(frame.index.asi8)
    assert steps.min() >= 9999 and steps.max() <= 10001
    gyro = frame["gyro_x"].to_numpy()
    assert np.isnan(gyro[:GYRO_FROM_ROW]).all() and not np.isnan(gyro[GYRO_FROM_ROW:]).any()
    magnitude = np.sqrt((frame[["acc_x", "acc_y", "acc_z"]].to_numpy(np.float64) ** 2).sum(axis=1))
    assert 0.95 < np.median(magnitude) < 1.05


def test_tour_runs_on_the_sample(tmp_path):
    csv = tmp_path / "tour.csv"
    done = subprocess.run(
        [sys.executable, str(EXAMPLES / "tour.py"), "--csv", str(csv)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    assert f"velmora tour of {SAMPLE}" in done.stdout
    for title in ("read_metadata", "sampling_consistency_report", "read_cwa_file", "write_cwa_csv"):
        assert f"=== {title}" in done.stdout
    assert f"wrote {csv} " in done.stdout
    lines = csv.read_text().splitlines()
    assert lines[0] == "time,acc_x,acc_y,acc_z,gyro_x,gyro_y,gyro_z,temperature"
    assert len(lines) == ROWS + 1


def test_tour_runs_on_a_recording_shorter_than_two_minutes(tmp_path):
    from cwa_builder import CwaFile, consecutive_packets

    short = CwaFile(blocks=consecutive_packets(20)).write(tmp_path / "short.cwa")
    done = subprocess.run(
        [sys.executable, str(EXAMPLES / "tour.py"), short, "--csv", str(tmp_path / "t.csv")],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    assert "=== write_cwa_csv" in done.stdout
