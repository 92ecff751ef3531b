"""The work done for one file, in whichever process runs it; each returns its outcome row."""

from __future__ import annotations

import os
import pathlib
import time

import velmora

from . import parquet_out
from .recording import (
    METADATA_KEYS,
    REPORT_KEYS,
    error_text,
    header_facts,
    rate_ratio,
    readable,
)

INVENTORY_COLUMNS = (
    ("path", "size", "status", "error")
    + METADATA_KEYS
    + tuple(key for key in REPORT_KEYS if key not in METADATA_KEYS)
    + ("rate_ratio",)
)
CONVERT_COLUMNS = ("path", "output", "status", "error", "rows", "seconds")


def inventory_one(path: str) -> dict:
    row = dict.fromkeys(INVENTORY_COLUMNS)
    row["path"] = path
    try:
        # The read goes first, so that a missing file gets the extension's error text.
        with readable(pathlib.Path(path)) as source:
            metadata, report = header_facts(source)
        row["size"] = os.stat(path).st_size
        row.update(metadata)
        row.update(report)
        row["rate_ratio"] = rate_ratio(report)
        row["status"] = "ok"
    except Exception as error:
        row["status"], row["error"] = "error", error_text(error)
    return row


def inventory_chunk(paths: list[str]) -> list[dict]:
    return [inventory_one(path) for path in paths]


def partial_name(output: pathlib.Path) -> pathlib.Path:
    # A leading dot: pyarrow.dataset and dask skip such files, so a reader of the folder never
    # sees a half-written output, and the pid keeps two writers of one name apart.
    return output.with_name(f".{output.name}.partial-{os.getpid()}")


def remove_stale_partials(output: pathlib.Path) -> None:
    """Removes what a run that was killed before it could tidy up left for this output."""
    for stale in output.parent.glob(f".{output.name}.partial-*"):
        stale.unlink(missing_ok=True)


def count_lines(path: pathlib.Path) -> int:
    lines = 0
    with open(path, "rb") as text:
        while block := text.read(1 << 22):
            lines += block.count(b"\n")
    return lines


def _write(source: str, partial: pathlib.Path, options: dict) -> int:
    """Writes one output to `partial` and returns its row count."""
    reading = {key: value for key, value in options["reading"].items() if value is not None}
    if options["to"] == "csv":
        velmora.write_cwa_csv(source, os.fspath(partial), **reading)
        return count_lines(partial) - 1
    frame = velmora.read_cwa_file(source, **reading)
    metadata, report = header_facts(source)
    facts = {"source": options["source"], "metadata": metadata, "report": report}
    utc = reading.get("fixed_utc_offset_timezone") is not None
    table = parquet_out.frame_table(frame, options["columns"], facts, utc)
    del frame
    parquet_out.write(table, partial)
    return table.num_rows


def convert_one(path: str, output: str, options: dict) -> dict:
    began = time.perf_counter()
    row = dict.fromkeys(CONVERT_COLUMNS)
    row.update(path=path, output=output)
    target = pathlib.Path(output)
    if target.exists() and not options["overwrite"]:
        row.update(status="skipped", seconds=time.perf_counter() - began)
        return row
    partial = partial_name(target)
    try:
        target.parent.mkdir(parents=True, exist_ok=True)
        remove_stale_partials(target)
        with readable(pathlib.Path(path)) as source:
            rows = _write(source, partial, dict(options, source=path))
        os.replace(partial, target)
        row.update(status="ok", rows=rows)
    except BaseException as error:
        # An interrupt too must not leave a partial file behind; only errors become rows.
        partial.unlink(missing_ok=True)
        if not isinstance(error, Exception):
            raise
        row.update(status="error", error=error_text(error))
    row["seconds"] = time.perf_counter() - began
    return row
