"""velmora_batch.inventory and convert on a small study folder, in-process and on a process pool."""

from __future__ import annotations

import datetime
import gzip
import json
import os
import subprocess
import sys

import pandas as pd
import pytest

import velmora

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
pytest.importorskip("tqdm")
import pyarrow.dataset  # noqa: E402
from batch_files import DAMAGED, die_on_three, die_writing, study, three_axis  # noqa: E402

import velmora_batch  # noqa: E402
from velmora_batch import parquet_out, partials, runner  # noqa: E402
from velmora_batch import study as study_tools  # noqa: E402

ALL_COLUMNS = [
    "timestamp",
    "acc_x",
    "acc_y",
    "acc_z",
    "gyro_x",
    "gyro_y",
    "gyro_z",
    "mag_x",
    "mag_y",
    "mag_z",
    "temperature",
    "light",
    "battery",
    "recording",
    "device_id",
]
CHANNELS = ALL_COLUMNS[1:-2]


def expected_error(path, reader=velmora.read_metadata) -> str:
    with pytest.raises(RuntimeError) as info:
        reader(str(path))
    return f"RuntimeError: {info.value}"


def plain_copy(path, tmp_path) -> str:
    """A readable .cwa for a file that may be gzipped."""
    if not str(path).endswith(".gz"):
        return str(path)
    unpacked = tmp_path / (os.path.basename(path) + ".plain.cwa")
    unpacked.write_bytes(gzip.decompress(open(path, "rb").read()))
    return str(unpacked)


def test_inventory_reads_each_recording_and_reports_the_damaged_one(tmp_path):
    folder = study(tmp_path)
    frame = velmora_batch.inventory([folder], progress=False)
    names = [os.path.relpath(path, folder) for path in frame["path"]]
    assert names == ["a_wrist.cwa", DAMAGED, "site2/c_hip.cwa.gz"]
    assert frame["status"].tolist() == ["ok", "error", "ok"]
    assert frame.loc[1, "error"] == expected_error(folder / DAMAGED)
    assert frame.loc[1, "size"] == os.path.getsize(folder / DAMAGED)
    for index in (0, 2):
        row = frame.loc[index]
        source = plain_copy(row["path"], tmp_path)
        facts = {**velmora.read_metadata(source), **velmora.sampling_consistency_report(source)}
        # A column with a gap elsewhere holds a missing value where the dict has None.
        assert {key: None if pd.isna(row[key]) else row[key] for key in facts} == facts
        assert frame["device_id"].dtype == "Int64"
        assert row["size"] == os.path.getsize(row["path"])
        assert row["rate_ratio"] == (
            facts["samplingrate_hz_from_data"] / facts["samplingrate_hz_from_header"]
        )
    assert frame.loc[2, "hardware_type"] == "AX6"


@pytest.mark.parametrize("workers", [None, 2])
def test_convert_writes_parquet_that_reads_back_as_read_cwa_file(tmp_path, workers):
    folder, out = study(tmp_path), tmp_path / "out"
    outcome = velmora_batch.convert(str(folder), out, workers=workers, progress=False)
    assert outcome["status"].tolist() == ["ok", "error", "ok"]
    assert outcome.loc[1, "error"] == expected_error(folder / DAMAGED, velmora.read_cwa_file)
    assert sorted(p.relative_to(out).as_posix() for p in out.rglob("*")) == [
        "a_wrist.parquet",
        "site2",
        "site2/c_hip.parquet",
    ]  # no partial file, no output for the damaged file
    for row in outcome[outcome["status"] == "ok"].itertuples():
        source = plain_copy(row.path, tmp_path)
        table = pq.read_table(row.output)
        assert table.schema.names == ALL_COLUMNS
        assert table.schema.field("timestamp").type == pa.timestamp("us")
        assert {table.schema.field(name).type for name in CHANNELS} == {pa.float32()}
        expected = velmora.read_cwa_file(source)
        back = table.to_pandas().set_index("timestamp")
        recording = os.path.relpath(row.path, folder).removesuffix(".gz").removesuffix(".cwa")
        assert back.pop("recording").unique().tolist() == [recording]
        assert back.pop("device_id").unique().tolist() == [
            velmora.read_metadata(source)["device_id"]
        ]
        assert row.rows == len(expected) == len(back)
        pd.testing.assert_frame_equal(back[expected.columns], expected, check_exact=True)
        assert back.drop(columns=expected.columns).isna().all().all()
        facts = json.loads(table.schema.metadata[parquet_out.METADATA_KEY])
        assert facts["metadata"] == velmora.read_metadata(source)
        assert facts["report"] == velmora.sampling_consistency_report(source)
    dataset = pyarrow.dataset.dataset(out, format="parquet").to_table()
    assert len(dataset) == outcome["rows"].sum()
    assert dataset["recording"].type == pa.dictionary(pa.int32(), pa.string())


def test_convert_to_utc_gives_an_aware_timestamp_column(tmp_path):
    folder, out = study(tmp_path), tmp_path / "out"
    zone = datetime.timezone(datetime.timedelta(hours=2))
    velmora_batch.convert(
        folder / "a_wrist.cwa",
        out,
        fixed_utc_offset_timezone=zone,
        include_light=False,
        same_columns=False,
        progress=False,
    )
    table = pq.read_table(out / "a_wrist.parquet")
    assert table.schema.field("timestamp").type == pa.timestamp("us", tz="UTC")
    expected = velmora.read_cwa_file(
        str(folder / "a_wrist.cwa"), include_light=False, fixed_utc_offset_timezone=zone
    )
    back = table.to_pandas().set_index("timestamp").drop(columns=["recording", "device_id"])
    pd.testing.assert_frame_equal(back, expected, check_exact=True)


def test_convert_to_csv_writes_what_write_cwa_csv_writes(tmp_path):
    folder, out = study(tmp_path), tmp_path / "out"
    cut = velmora.seconds(1.5, 4.0)
    outcome = velmora_batch.convert(
        folder, out, to="csv", cut=cut, include_battery=True, progress=False
    )
    reference = tmp_path / "reference.csv"
    velmora.write_cwa_csv(
        str(folder / "a_wrist.cwa"), str(reference), cut=cut, include_battery=True
    )
    written = (out / "a_wrist.csv").read_bytes()
    assert written == reference.read_bytes()
    assert outcome.loc[0, "rows"] == written.count(b"\n") - 1


def partial_of(output, pid: int):
    """The temporary name that process `pid` on this host writes `output` under."""
    own = partials.partial_name(output)
    return own.with_name(own.name.replace(f"-{os.getpid()}.", f"-{pid}."))


def ended_process() -> int:
    child = subprocess.Popen([sys.executable, "-c", ""])
    child.wait()
    return child.pid


@pytest.mark.parametrize("to", ["parquet", "csv"])
def test_rerun_skips_same_options_flags_others_and_clears_what_dead_writers_left(tmp_path, to):
    folder, out = study(tmp_path), tmp_path / "out"
    velmora_batch.convert(folder / "a_wrist.cwa", out, to=to, progress=False)
    done = out / f"a_wrist.{to}"
    os.utime(done, (1, 1))
    (out / "site2").mkdir()
    abandoned = partial_of(out / "site2" / f"c_hip.{to}", ended_process())
    running = partial_of(out / "site2" / f"c_hip.{to}", 1)  # another run's writer, alive
    for partial in (abandoned, running):
        partial.write_bytes(b"half a file")
    outcome = velmora_batch.convert(folder, out, to=to, progress=False)
    assert outcome["status"].tolist() == ["skipped", "error", "ok"]
    assert done.stat().st_mtime == 1 and not abandoned.exists() and running.exists()
    zone = datetime.timezone(datetime.timedelta(hours=1))
    other = velmora_batch.convert(
        folder, out, to=to, fixed_utc_offset_timezone=zone, resample_hz=50, progress=False
    )
    assert other["status"].tolist() == ["stale", "error", "stale"]
    assert other.loc[0, "error"] == "made with resample_hz=None, now 50"
    again = velmora_batch.convert(
        folder, out, to=to, resample_hz=50, overwrite=True, progress=False
    )
    assert again["status"].tolist() == ["ok", "error", "ok"] and done.stat().st_mtime > 1
    rerun = velmora_batch.convert(folder, out, to=to, resample_hz=50, progress=False)
    assert rerun["status"].tolist() == ["skipped", "error", "skipped"]


def test_an_interrupted_write_leaves_no_file(tmp_path, monkeypatch):
    folder, out = study(tmp_path), tmp_path / "out"

    def interrupted(*arguments):
        raise KeyboardInterrupt

    monkeypatch.setattr(parquet_out, "piece_table", interrupted)
    with pytest.raises(KeyboardInterrupt):
        velmora_batch.convert(folder, out, progress=False)
    assert [p for p in out.rglob("*") if p.is_file()] == []


def test_outputs_that_would_collide_are_refused_before_any_work(tmp_path):
    (tmp_path / "x").mkdir()
    (tmp_path / "y").mkdir()
    for name in ("x/same.cwa", "y/same.cwa.gz"):
        (tmp_path / name).write_bytes(b"")
    with pytest.raises(ValueError, match="would both be written to"):
        velmora_batch.convert(
            [tmp_path / "x" / "same.cwa", tmp_path / "y" / "same.cwa.gz"],
            tmp_path / "out",
            progress=False,
        )
    assert not (tmp_path / "out").exists()


def test_globs_missing_files_and_duplicates(tmp_path):
    folder = study(tmp_path)
    frame = velmora_batch.inventory(
        [str(folder / "*.cwa"), folder / "a_wrist.cwa", folder / "gone.cwa"], progress=False
    )
    assert [os.path.basename(p) for p in frame["path"]] == ["a_wrist.cwa", DAMAGED, "gone.cwa"]
    assert frame.loc[2, "error"] == "RuntimeError: IO error: No such file or directory (os error 2)"
    with pytest.raises(FileNotFoundError, match="no file matches"):
        velmora_batch.inventory(str(folder / "*.nothing"), progress=False)


@pytest.mark.parametrize("items, largest, lost", [(4, 1, [3]), (16, 2, [3, 4])])
def test_a_dying_pool_worker_costs_only_its_own_chunk(items, largest, lost):
    rows = runner.run(
        die_on_three,
        list(range(1, items + 1)),
        lambda item, error: {"item": item, "status": "lost"},
        workers=2,
        progress=False,
        largest=largest,
    )
    assert [row["item"] for row in rows] == list(range(1, items + 1))
    assert [row["item"] for row in rows if row["status"] == "lost"] == lost


def test_a_worker_killed_while_writing_leaves_no_partial_file(tmp_path):
    jobs = [(str(tmp_path / "a.cwa"), str(tmp_path / "out" / "a.parquet"), "a")]
    (tmp_path / "out").mkdir()
    rows = runner.run(die_writing, jobs, study_tools._lost_conversion, workers=2, progress=False)
    assert rows[0]["status"] == "error" and rows[0]["error"].startswith("BrokenProcessPool")
    assert list((tmp_path / "out").iterdir()) == []


def test_options_a_read_would_refuse_fail_once_before_any_work(tmp_path, monkeypatch):
    zoneinfo = pytest.importorskip("zoneinfo")
    calls = []
    monkeypatch.setattr(velmora_batch.study, "discover", lambda paths: calls.append(paths))
    with pytest.raises(TypeError, match="'NoneType' object cannot be converted to 'PyDelta'"):
        velmora_batch.convert(
            tmp_path, tmp_path / "out", fixed_utc_offset_timezone=zoneinfo.ZoneInfo("Europe/Berlin")
        )
    with pytest.raises(ValueError, match="resample_hz"):
        velmora_batch.convert(tmp_path, tmp_path / "out", resample_hz=-5)
    assert calls == []


def test_output_names_that_readers_would_skip_or_that_are_long(tmp_path):
    folder = tmp_path / "study"
    (folder / "_site").mkdir(parents=True)
    long_name = "x" * 240 + ".cwa"
    for name in (".hidden.cwa", "_site/_under.cwa", long_name):
        (folder / name).write_bytes(three_axis(1))
    outcome = velmora_batch.convert(folder, tmp_path / "out", progress=False)
    assert outcome["status"].tolist() == ["ok"] * 3, outcome["error"].tolist()
    outputs = sorted(os.path.relpath(p, tmp_path / "out") for p in outcome["output"])
    assert outputs == sorted(["hidden.parquet", "site/under.parquet", "x" * 240 + ".parquet"])
    table = pyarrow.dataset.dataset(tmp_path / "out").to_table()
    assert sorted(table["recording"].unique().to_pylist()) == sorted(
        [".hidden", "_site/_under", "x" * 240]
    )
