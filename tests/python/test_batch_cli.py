"""The `velmora` command: its subcommands, exit codes, summaries and missing-extra message."""

from __future__ import annotations

import argparse
import datetime
import importlib.metadata
import json
import os
import subprocess
import sys

import pandas as pd
import pytest

import velmora

pytest.importorskip("pyarrow")
pytest.importorskip("tqdm")
from batch_files import DAMAGED, study

import velmora_batch
from velmora_batch import cli, tasks


def test_the_console_script_is_installed():
    (script,) = importlib.metadata.entry_points(group="console_scripts", name="velmora")
    assert script.value == "velmora_batch.cli:main"


@pytest.mark.parametrize(
    "text, hours",
    [
        ("+01:00", 1),
        ("-05:30", -5.5),
        ("+0200", 2),
        ("Z", 0),
        ("+9", 9),
        ("01:00", None),
        ("+25:00", None),
    ],
)
def test_utc_offsets(text, hours):
    if hours is None:
        with pytest.raises(argparse.ArgumentTypeError, match="UTC offset"):
            cli.utc_offset(text)
    else:
        assert cli.utc_offset(text) == datetime.timezone(datetime.timedelta(hours=hours))


def test_info_prints_metadata_and_report_as_json(tmp_path, capsys):
    path = str(study(tmp_path) / "a_wrist.cwa")
    assert cli.main(["info", path, "--json"]) == 0
    assert json.loads(capsys.readouterr().out) == {
        "metadata": velmora.read_metadata(path),
        "report": velmora.sampling_consistency_report(path),
    }


def test_convert_lists_the_failed_file_and_exits_non_zero(tmp_path, capsys):
    folder, out = study(tmp_path), tmp_path / "out"
    code = cli.main(
        [
            "convert",
            str(folder),
            "--out",
            str(out),
            "--workers",
            "1",
            "--start",
            "1",
            "--utc-offset",
            "+01:00",
            "--damaged",
            "error",
            "--no-progress",
        ]
    )
    err = capsys.readouterr().err
    assert code == 1
    assert f"failed: {folder / DAMAGED}: RuntimeError: Incomplete CWA data block" in err
    assert "3 files: 2 converted, 0 already there, 0 stale, 1 failed" in err
    expected = velmora.read_cwa_file(
        str(folder / "a_wrist.cwa"),
        cut=velmora.seconds(1, None),
        fixed_utc_offset_timezone=datetime.timezone(datetime.timedelta(hours=1)),
    )
    back = pd.read_parquet(out / "a_wrist.parquet").set_index("timestamp")
    pd.testing.assert_frame_equal(back[expected.columns], expected, check_exact=True)


def test_inventory_writes_its_table(tmp_path, capsys):
    folder, table = study(tmp_path), tmp_path / "inventory.csv"
    assert cli.main(["inventory", str(folder / "a_wrist.cwa"), "--out", str(table)]) == 0
    assert "1 files: 1 read, 0 failed" in capsys.readouterr().err
    assert pd.read_csv(table)["device_id"].tolist() == [0x1234]


@pytest.mark.parametrize("width", [2, 0.5])
def test_plot_draws_bins_of_the_width_asked_on_a_clock_axis_into_a_new_folder(tmp_path, width):
    matplotlib_dates = pytest.importorskip("matplotlib.dates")
    from velmora_batch.plot import quick_look

    picture = tmp_path / "pictures" / "look.png"
    source = study(tmp_path) / "site2" / "c_hip.cwa.gz"
    assert cli.main(["plot", str(source), "--out", str(picture), "--bin", str(width)]) == 0
    assert picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    figure = quick_look(source, bin_seconds=width)
    assert figure._suptitle.get_text().endswith(f"per {width:g} s")
    first = pd.Timestamp(velmora_batch.inventory(source, progress=False)["start_from_data_raw"][0])
    left = matplotlib_dates.num2date(figure.axes[-1].get_xlim()[0]).replace(tzinfo=None)
    assert abs(pd.Timestamp(left) - first) < pd.Timedelta(milliseconds=1)


def test_a_missing_extra_is_named_in_one_line(tmp_path, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    path = str(study(tmp_path) / "a_wrist.cwa")
    assert cli.main(["plot", path, "--out", str(tmp_path / "x.png")]) == 2
    assert capsys.readouterr().err == (
        "velmora: matplotlib is not installed; install it with: pip install 'velmora[plot]'\n"
    )


def test_version(capsys):
    with pytest.raises(SystemExit) as exit_:
        cli.main(["--version"])
    assert exit_.value.code == 0
    assert capsys.readouterr().out == f"velmora {velmora_batch.__version__}\n"
    # The same command through `python -m`, where the script is not on PATH.
    run = subprocess.run(
        [sys.executable, "-m", "velmora_batch", "--version"], capture_output=True, text=True
    )
    assert (run.returncode, run.stdout) == (0, f"velmora {velmora_batch.__version__}\n")


def test_a_reader_that_goes_away_ends_the_command_quietly(tmp_path):
    path = str(study(tmp_path) / "a_wrist.cwa")
    command = "import sys; from velmora_batch.cli import main; sys.exit(main(sys.argv[1:]))"
    child = subprocess.Popen(
        [sys.executable, "-c", command, "info", path],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)),
    )
    child.stdout.close()  # before the child writes: as `| head -0` would
    assert child.stderr.read() == b"" and child.wait() == 141


def test_an_interrupted_convert_says_how_far_it_came(tmp_path, capsys, monkeypatch):
    folder, converted = study(tmp_path), []

    def convert_one(path, *arguments):
        if converted:
            raise KeyboardInterrupt
        converted.append(path)
        return real(path, *arguments)

    real = tasks.convert_one
    monkeypatch.setattr(tasks, "convert_one", convert_one)
    code = cli.main(["convert", str(folder), "--out", str(tmp_path / "o"), "--workers", "1"])
    assert code == 130
    assert capsys.readouterr().err.endswith(
        "velmora: interrupted; 1 of 3 files finished; a rerun skips them and goes on\n"
    )
