"""Calibration, non-wear, low-pass filter and epochs against recordings of known motion."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest
from motion_files import (
    RATE_HZ,
    random_directions,
    recording,
    still_orientations,
    temperature_raw,
)

import velmora
import velmora_batch
from velmora_batch import filtering

pytest.importorskip("scipy")

REPORT_KEYS = [
    "method",
    "accepted",
    "reason",
    "error_before_mg",
    "error_after_mg",
    "offset",
    "scale",
    "temperature_coefficient",
    "temperature_reference",
    "windows",
    "iterations",
]
OFFSET = np.array([0.021, -0.034, 0.012])
SCALE = np.array([1.012, 0.986, 1.004])
COEFFICIENT = np.array([0.0015, -0.0008, 0.0011])  # g/°C


@pytest.mark.parametrize("method", ["ggir", "actipy"])
def test_calibration_recovers_offset_scale_and_temperature_coefficient(cwa_path, method):
    rng = np.random.default_rng(7)
    file, _ = still_orientations(
        rng, random_directions(rng, 80), 30, OFFSET, SCALE, COEFFICIENT, noise_g=0.004
    )
    frame = velmora.read_cwa_file(cwa_path(file))
    calibrated, report = velmora_batch.calibrate(frame, method=method)
    assert list(report) == REPORT_KEYS
    assert report["accepted"], report["reason"]
    assert report["windows"] == 80 * 3
    # The fit's reference is the mean temperature; the offset moves with it along the coefficient.
    expected = OFFSET + COEFFICIENT * (report["temperature_reference"] - 27.5)
    assert np.abs(np.array(report["offset"]) - expected).max() < 0.001
    assert np.abs(np.array(report["scale"]) / SCALE - 1).max() < 0.001
    assert np.abs(np.array(report["temperature_coefficient"]) - COEFFICIENT).max() < 0.0002
    assert report["error_after_mg"] < 1.0 < report["error_before_mg"]
    raw = frame[["acc_x", "acc_y", "acc_z"]].to_numpy(np.float64)
    shift = frame["temperature"].to_numpy(np.float64) - report["temperature_reference"]
    direct = (
        report["offset"]
        + raw * report["scale"]
        + shift[:, None] * np.array(report["temperature_coefficient"])
    )
    assert calibrated["acc_x"].dtype == np.float32
    np.testing.assert_array_equal(
        calibrated[["acc_x", "acc_y", "acc_z"]].to_numpy(), direct.astype(np.float32)
    )
    pd.testing.assert_series_equal(calibrated["light"], frame["light"])


def test_calibration_refuses_too_few_orientations_and_keeps_the_frame(cwa_path):
    rng = np.random.default_rng(3)
    file, _ = still_orientations(
        rng, random_directions(rng, 40, min_z=0.5), 30, OFFSET, SCALE, COEFFICIENT, 0.004
    )
    frame = velmora.read_cwa_file(cwa_path(file))
    calibrated, report = velmora_batch.calibrate(frame)
    assert not report["accepted"]
    assert report["reason"].startswith("too few orientations: still means ")
    assert "none below -0.3 g on z" in report["reason"]
    assert report["iterations"] == 0 and report["scale"] == [1.0, 1.0, 1.0]
    assert calibrated is frame


def test_calibration_without_still_windows_says_so(cwa_path):
    rng = np.random.default_rng(4)
    moving = rng.normal(0.0, 0.3, (60 * RATE_HZ, 3))
    frame = velmora.read_cwa_file(cwa_path(recording(moving, np.full(60, 256))))
    _, report = velmora_batch.calibrate(frame, method="actipy")
    assert (report["accepted"], report["reason"], report["windows"]) == (
        False,
        "no still 10 s windows",
        0,
    )


def _worn_then_still(rng, noise_g):
    """2 h of movement, 3 h lying still on a table, 2 h of movement: rows of 25 Hz."""
    hours = [2, 3, 2]
    parts = []
    for index, length in enumerate(hours):
        rows = length * 3600 * RATE_HZ
        if index == 1:
            parts.append(np.array([0.02, -0.01, 1.0]) + rng.normal(0.0, noise_g, (rows, 3)))
        else:
            parts.append(rng.normal(0.0, 0.25, (rows, 3)) + [0.0, 0.0, 1.0])
    acc = np.vstack(parts)
    return recording(acc, np.full(len(acc) // RATE_HZ, temperature_raw(25.0)[0]))


@pytest.mark.parametrize("method", ["ggir", "actipy", "vanhees2011"])
def test_nonwear_finds_the_still_span(cwa_path, method):
    frame = velmora.read_cwa_file(cwa_path(_worn_then_still(np.random.default_rng(5), 0.001)))
    flags = velmora_batch.detect_nonwear(frame, method=method)
    assert flags.index.equals(frame.index) and flags.dtype == bool
    begin = frame.index[0] + pd.Timedelta(hours=2)
    end = begin + pd.Timedelta(hours=3)
    expected = (frame.index >= begin) & (frame.index < end)
    np.testing.assert_array_equal(flags.to_numpy(), expected)
    episodes = velmora_batch.nonwear_episodes(flags)
    assert episodes.to_dict("list") == {
        "start": [begin],
        "end": [end],
        "duration": [pd.Timedelta(hours=3)],
    }


def test_nonwear_needs_long_enough_stillness(cwa_path):
    frame = velmora.read_cwa_file(cwa_path(_worn_then_still(np.random.default_rng(6), 0.001)))
    flags = velmora_batch.detect_nonwear(frame, method="actipy", min_still_s=4 * 3600)
    assert not flags.any()
    with pytest.raises(TypeError, match=r"unknown options \['patience'\]"):
        velmora_batch.detect_nonwear(frame, method="actipy", patience=1)


def _frame(rows, start="2024-01-01 00:00:03", step_ms=10, seed=1):
    rng = np.random.default_rng(seed)
    times = pd.date_range(start, periods=rows, freq=f"{step_ms}ms", unit="us")
    # A gap of 7.5 s splits the rows, so epochs around it are partial.
    times = times.where(np.arange(rows) < rows // 2, times + pd.Timedelta(seconds=7.5))
    columns = {
        name: rng.normal(0, 0.6, rows).astype(np.float32) for name in ("acc_x", "acc_y", "acc_z")
    }
    columns["temperature"] = rng.uniform(20, 30, rows).astype(np.float32)
    return pd.DataFrame(columns, index=pd.DatetimeIndex(times, name="timestamp"))


def test_epochs_match_the_formulas_row_by_row():
    frame = _frame(10_007)
    flags = pd.Series(np.arange(len(frame)) % 3 == 0, index=frame.index)
    table = velmora_batch.epochs(frame, "5s", nonwear=flags)
    acc = frame[["acc_x", "acc_y", "acc_z"]].to_numpy(np.float64)
    norm = np.sqrt((acc**2).sum(axis=1))
    keys = frame.index.floor("5s")
    rows = pd.DataFrame(
        {
            "norm": norm,
            "enmo": np.maximum(norm - 1, 0) * 1000,
            "anglez": np.degrees(np.arctan(acc[:, 2] / np.sqrt(acc[:, 0] ** 2 + acc[:, 1] ** 2))),
            "temperature": frame["temperature"].to_numpy(np.float64),
            "nonwear": flags.to_numpy(np.float64),
        },
        index=keys,
    )
    groups = rows.groupby(level=0)
    rows["mad"] = np.abs(rows["norm"] - groups["norm"].transform("mean")) * 1000
    expected = rows.groupby(level=0).agg(
        samples=("norm", "size"),
        enmo=("enmo", "mean"),
        mad=("mad", "mean"),
        anglez=("anglez", "mean"),
        temperature=("temperature", "mean"),
        nonwear=("nonwear", "mean"),
    )
    assert list(table.columns) == list(expected.columns)
    assert table.index.name == "timestamp" and table.index.dtype == frame.index.dtype
    np.testing.assert_array_equal(table.index, expected.index)
    np.testing.assert_array_equal(table["samples"], expected["samples"])
    for name in ("enmo", "mad", "temperature", "nonwear"):
        np.testing.assert_allclose(table[name], expected[name], rtol=1e-9, atol=1e-9)
    np.testing.assert_allclose(table["anglez"], expected["anglez"], atol=1e-4)


def _sines(seconds=600, gap_after=None):
    t = np.arange(seconds * 100) / 100.0
    slow = 0.5 * np.sin(2 * np.pi * 1.5 * t)
    fast = 0.2 * np.sin(2 * np.pi * 37.0 * t + 0.3)
    times = pd.Timestamp("2024-01-01") + pd.to_timedelta(t, unit="s")
    if gap_after is not None:
        times = times.where(np.arange(len(t)) < gap_after, times + pd.Timedelta(seconds=1))
    columns = {name: (slow + fast).astype(np.float32) for name in ("acc_x", "acc_y", "acc_z")}
    frame = pd.DataFrame(columns, index=pd.DatetimeIndex(times, name="timestamp").as_unit("us"))
    return frame, slow


def test_lowpass_keeps_the_slow_sine_and_removes_the_fast_one():
    frame, slow = _sines()
    filtered = velmora_batch.lowpass(frame, hz=20.0)
    inner = slice(500, -500)  # away from the ends, where padding shapes the result
    assert np.abs(filtered["acc_z"].to_numpy()[inner] - slow[inner]).max() < 2e-3
    assert filtered.attrs["lowpass"]["segments"] == 1
    assert (
        np.abs(frame["acc_z"].to_numpy()[inner] - slow[inner]).max() > 0.19
    )  # the input still has it


def test_lowpass_in_pieces_equals_one_pass_per_segment(monkeypatch):
    signal = pytest.importorskip("scipy.signal")
    frame, _ = _sines(seconds=200, gap_after=12_000)
    monkeypatch.setattr(filtering, "PIECE_ROWS", 3_000)
    filtered = velmora_batch.lowpass(frame, hz=20.0)
    sos = signal.butter(8, 20.0, output="sos", fs=100.0)
    raw = frame["acc_x"].to_numpy()
    for precision, tolerance in ((np.float32, 1e-7), (np.float64, 3e-6)):
        whole = np.concatenate(
            [
                signal.sosfiltfilt(sos.astype(precision), raw[:12_000].astype(precision)),
                signal.sosfiltfilt(sos.astype(precision), raw[12_000:].astype(precision)),
            ]
        )
        np.testing.assert_allclose(filtered["acc_x"].to_numpy(), whole, rtol=0, atol=tolerance)
    assert filtered.attrs["lowpass"]["segments"] == 2


def test_lowpass_leaves_a_segment_too_short_to_filter_and_reports_it():
    frame, _ = _sines(seconds=60)
    frame = frame.iloc[np.r_[0:5000, 5990:6000]]  # a 9.9 s gap leaves 10 rows at the end
    filtered = velmora_batch.lowpass(frame, hz=20.0)
    np.testing.assert_array_equal(
        filtered["acc_y"].to_numpy()[-10:], frame["acc_y"].to_numpy()[-10:]
    )
    assert filtered.attrs["lowpass"]["unfiltered_segments"] == [
        {"start": frame.index[-10].isoformat(), "end": frame.index[-1].isoformat(), "rows": 10}
    ]
    with pytest.raises(ValueError, match="half the sample rate"):
        velmora_batch.lowpass(frame, hz=50.0)
