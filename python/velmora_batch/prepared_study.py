"""prepare for a whole study: per recording the epochs as parquet, and one summary table.

Outputs: OUT/epochs/<the input's folders>/<name>.parquet, each with the prepare report in its
stored facts, and OUT/summary.csv, one row per recording. The epochs have a folder of their own
so that it reads as one parquet dataset.
"""

from __future__ import annotations

import functools
import json
import os
import pathlib
import time
from dataclasses import dataclass

import numpy as np
import pandas as pd

from . import partials, preparation
from ._extras import require
from .parquet_out import METADATA_KEY, microseconds
from .paths import discover, stem
from .recording import error_text, header_facts, readable

SUMMARY_COLUMNS = (
    "path",
    "output",
    "status",
    "error",
    "seconds",
    "epochs",
    "calibration_accepted",
    "calibration_reason",
    "calibration_error_before_mg",
    "calibration_error_after_mg",
    "wear_hours",
    "days",
    "days_16h_wear",
    "mean_enmo_mg_worn",
)


@dataclass(frozen=True)
class PrepareJob:
    """What every worker needs: the resolved steps, the reader's options, and overwrite."""

    preset: str
    steps: preparation.Steps
    reading: tuple  # (name, value) pairs for the reader
    overwrite: bool

    def made_with(self) -> str:
        """The options as a text stored with an output, to tell a rerun with others."""
        return repr((self.preset, self.steps, self.reading))


def summary_row(row: dict, report: dict) -> dict:
    calibration = report.get("calibration") or {}
    summary = report.get("summary") or {}
    row.update(
        epochs=report.get("epochs"),
        calibration_accepted=calibration.get("accepted"),
        calibration_reason=calibration.get("reason"),
        calibration_error_before_mg=calibration.get("error_before_mg"),
        calibration_error_after_mg=calibration.get("error_after_mg"),
        wear_hours=summary.get("wear_hours"),
        days=summary.get("days"),
        days_16h_wear=summary.get("days_16h_wear"),
        mean_enmo_mg_worn=summary.get("mean_enmo_mg_worn"),
    )
    return row


def epochs_table(table: pd.DataFrame, facts: dict):
    """The epochs as an arrow table: timestamp[us] (UTC when the index is aware), then columns."""
    pa = require("pyarrow")
    index = table.index
    assert isinstance(index, pd.DatetimeIndex)  # an epochs table is indexed by epoch start
    utc = index.tz is not None
    arrays = [pa.array(microseconds(index), type=pa.timestamp("us", tz="UTC" if utc else None))]
    arrays += [pa.array(np.asarray(table[name])) for name in table.columns]
    result = pa.Table.from_arrays(arrays, names=["timestamp", *table.columns])
    return result.replace_schema_metadata({METADATA_KEY: json.dumps(facts).encode()})


def prepare_one(path: str, output: str, job: PrepareJob) -> dict:
    began = time.perf_counter()
    row = dict.fromkeys(SUMMARY_COLUMNS)
    row.update(path=path, output=output)
    target = pathlib.Path(output)
    if target.exists() and not job.overwrite:
        try:
            facts = json.loads(
                require("pyarrow.parquet").read_schema(target).metadata[METADATA_KEY]
            )
            summary_row(row, facts["report"])
            made_with = facts.get("made_with")
            if made_with == job.made_with():
                row["status"] = "skipped"
            else:
                # Not the figures this run asks for: reported, and kept until --overwrite.
                row.update(status="stale", error=f"made with {made_with}")
        except Exception as error:
            row.update(status="error", error=error_text(error))
        row["seconds"] = time.perf_counter() - began
        return row
    partial = partials.partial_name(target)
    try:
        target.parent.mkdir(parents=True, exist_ok=True)
        partials.remove_abandoned(target)
        with readable(pathlib.Path(path)) as source:
            samples = preparation.reader()(source, **dict(job.reading))
            metadata, consistency = header_facts(source)
        samples, table, report = preparation.prepare_frame(samples, job.steps, owned=True)
        del samples
        report = {"preset": job.preset, **report}
        facts = {
            "source": path,
            "metadata": metadata,
            "consistency": consistency,
            "report": report,
            "made_with": job.made_with(),
        }
        require("pyarrow.parquet").write_table(
            epochs_table(table, facts), partial, compression="zstd"
        )
        os.replace(partial, target)
        summary_row(row, report)
        row["status"] = "ok"
    except BaseException as error:
        # An interrupt too must not leave a partial file behind; only errors become rows.
        partial.unlink(missing_ok=True)
        if not isinstance(error, Exception):
            raise
        row.update(status="error", error=error_text(error))
    row["seconds"] = time.perf_counter() - began
    return row


def prepare_chunk(jobs, job: PrepareJob):
    return [prepare_one(path, output, job) for path, output in jobs]


def _lost(item, error):
    row = dict.fromkeys(SUMMARY_COLUMNS)
    row.update(path=item[0], output=item[1], status="error", error=error_text(error))
    return row


def prepare_study(
    paths,
    out_dir,
    *,
    preset="ggir",
    overwrite=False,
    workers=None,
    client=None,
    progress=True,
    **options,
) -> pd.DataFrame:
    """Prepares every recording; writes the epochs and OUT/summary.csv; returns the summary.

    `options` are prepare's keywords (step changes and the reader's options). Existing outputs
    are kept unless `overwrite`, and their summary row is read back from their stored report;
    one made with other options is reported "stale" (the options in `error`) and left as it is.
    `paths`, `workers`, `client` and `progress` are those of inventory.
    """
    from .runner import run

    require("pyarrow.parquet")  # once here, rather than once per file
    steps = preparation.steps_for(preset, options)
    job = PrepareJob(preset, steps, tuple(sorted(options.items())), overwrite)
    out = pathlib.Path(os.path.abspath(out_dir))  # workers may run elsewhere
    found = discover(paths)
    outputs: list[str] = []
    first: dict[pathlib.Path, pathlib.Path] = {}
    for recording in found:
        output = (
            out / "epochs" / recording.relative.parent / (stem(recording.relative) + ".parquet")
        )
        if output in first:
            raise ValueError(
                f"{recording.path} and {first[output]} would both be written to {output}"
            )
        first[output] = recording.path
        outputs.append(os.fspath(output))
    items = [(os.fspath(recording.path), output) for recording, output in zip(found, outputs)]
    rows = run(
        functools.partial(prepare_chunk, job=job),
        items,
        _lost,
        workers=workers,
        client=client,
        progress=progress,
        desc="prepare",
        largest=1,
    )
    frame = pd.DataFrame(rows, columns=list(SUMMARY_COLUMNS)).astype(
        {
            "epochs": "Int64",
            "days": "Int64",
            "days_16h_wear": "Int64",
            "calibration_accepted": "boolean",
            "seconds": "float64",
        }
    )
    out.mkdir(parents=True, exist_ok=True)
    frame.to_csv(out / "summary.csv", index=False)
    return frame
