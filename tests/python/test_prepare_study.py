"""velmora prepare and convert(prepare=...): epochs per recording and one summary table."""

from __future__ import annotations

import pandas as pd
import pytest

pytest.importorskip("pyarrow")
pytest.importorskip("tqdm")
pytest.importorskip("scipy")
from batch_files import DAMAGED, study

import velmora_batch
from velmora_batch import cli, parquet_out


def test_prepare_writes_epochs_and_a_summary_and_reports_the_failed_file(tmp_path, capsys):
    folder, out = study(tmp_path), tmp_path / "out"
    arguments = ["prepare", str(folder), "--out", str(out), "--workers", "1", "--no-progress"]
    assert cli.main(arguments) == 1
    err = capsys.readouterr().err
    assert f"failed: {folder / DAMAGED}: RuntimeError: " in err
    assert "3 files: 2 prepared, 0 already there, 0 stale, 1 failed" in err
    summary = pd.read_csv(out / "summary.csv")
    assert list(summary["status"]) == ["ok", "error", "ok"]
    epochs = out / "epochs" / "site2" / "c_hip.parquet"
    facts = parquet_out.stored_facts(epochs)
    assert facts["source"] == str(folder / "site2" / "c_hip.cwa.gz")
    assert facts["report"]["preset"] == "ggir"
    table = pd.read_parquet(epochs)
    assert list(table.columns) == [
        "timestamp",
        "samples",
        "enmo",
        "mad",
        "anglez",
        "temperature",
        "nonwear",
    ]
    assert table["samples"].sum() == facts["report"]["rows"]
    row = summary.iloc[2]
    assert row["wear_hours"] == pytest.approx(facts["report"]["summary"]["wear_hours"])
    assert not row["calibration_accepted"]

    # A second run keeps the outputs and reads their figures back.
    again = velmora_batch.convert(folder, out, prepare="ggir", progress=False)
    assert list(again["status"]) == ["skipped", "error", "skipped"]
    pd.testing.assert_series_equal(again["wear_hours"], summary["wear_hours"])
    other = velmora_batch.convert(folder, out, prepare="actipy", progress=False)
    assert list(other["status"]) == ["stale", "error", "stale"]
    assert other["error"][0].startswith("made with ('ggir', Steps(")
