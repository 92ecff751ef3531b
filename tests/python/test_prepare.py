"""prepare: the presets' steps on a recording read from disk, and keywords that change them."""

from __future__ import annotations

import gzip

import numpy as np
import pandas as pd
import pytest
from motion_files import random_directions, still_orientations

import velmora
import velmora_batch

pytest.importorskip("scipy")


@pytest.fixture(scope="module")
def orientations(tmp_path_factory):
    rng = np.random.default_rng(9)
    file, _ = still_orientations(
        rng,
        random_directions(rng, 40),
        30,
        np.array([0.02, 0.01, -0.03]),
        np.array([1.01, 0.99, 1.0]),
        np.zeros(3),
        noise_g=0.004,
    )
    path = tmp_path_factory.mktemp("prepare") / "orientations.cwa"
    return file.write(path)


def test_ggir_preset_calibrates_flags_and_summarises(orientations):
    samples, table, report = velmora_batch.prepare(orientations)
    frame = velmora.read_cwa_file(orientations)
    calibrated, calibration = velmora_batch.calibrate(frame)
    pd.testing.assert_frame_equal(samples, calibrated)
    assert report["calibration"] == calibration and calibration["accepted"]
    flags = velmora_batch.detect_nonwear(calibrated)
    pd.testing.assert_frame_equal(table, velmora_batch.epochs(calibrated, "5s", nonwear=flags))
    assert list(report) == [
        "preset",
        "steps",
        "rows",
        "calibration",
        "nonwear",
        "epochs",
        "summary",
    ]
    assert report["summary"]["wear_hours"] == pytest.approx(len(frame) / 25 / 3600)


def test_keywords_change_the_steps_and_the_rest_go_to_the_reader(orientations, tmp_path):
    packed = tmp_path / "orientations.cwa.gz"
    with open(orientations, "rb") as source:
        packed.write_bytes(gzip.compress(source.read()))
    samples, table, report = velmora_batch.prepare(
        packed,
        "actipy",
        nonwear=None,
        epoch="60s",
        calibration_options={"sd_limit_g": 0.0001},
        cut=velmora.seconds(0, 900),
        include_light=False,
    )
    assert report["lowpass"] == {
        "hz": 20.0,
        "skipped": "the sample rate 25 Hz is not above twice the cutoff",
    }
    assert not report["calibration"]["accepted"]
    assert report["calibration"]["reason"] == "no still 10 s windows"
    assert "nonwear" not in report and "nonwear" not in table.columns
    assert len(samples) == 900 * 25 and "light" not in samples.columns
    assert (table.index[1] - table.index[0]) == pd.Timedelta(seconds=60)
    _, _, report = velmora_batch.prepare(orientations, "actipy", lowpass_hz=5.0)
    assert report["lowpass"]["segments"] == 1 and report["calibration"]["accepted"]
    with pytest.raises(ValueError, match="preset must be one of"):
        velmora_batch.prepare(orientations, "gg1r")


@pytest.mark.parametrize(
    "options, kind, text",
    [
        ({"calibration_options": {"sd_limit": 0.01}}, TypeError, r"unknown options \['sd_limit'\]"),
        ({"nonwear": "vanhees2013"}, ValueError, "method must be one of"),
        ({"metrics": ("enmo", "sd")}, ValueError, "unknown metric 'sd'"),
    ],
)
def test_wrong_step_options_fail_before_the_file_is_read(tmp_path, options, kind, text):
    with pytest.raises(kind, match=text):
        velmora_batch.prepare(tmp_path / "missing.cwa", **options)
