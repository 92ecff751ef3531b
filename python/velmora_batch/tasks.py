"""The work done for one file, in whichever process runs it; each returns its outcome row."""

from __future__ import annotations

import contextlib
import functools
import json
import os
import pathlib
import time

import velmora

from . import parquet_out, partials, pieces
from .blocks import raw_scan, refuse_special_file
from .gzip_facts import gzip_facts
from .options import first_difference
from .recording import (
    METADATA_KEYS,
    REPORT_KEYS,
    error_text,
    header_facts,
    is_gzip,
    rate_ratio,
    readable,
)
from .salvage import masked_header_facts, masked_read, masked_write_csv
from .summary import INVENTORY_KEYS, header_counts, scan_counts

INVENTORY_COLUMNS = (
    ("path", "size", "status", "error")
    + METADATA_KEYS
    + tuple(key for key in REPORT_KEYS if key not in METADATA_KEYS)
    + ("rate_ratio",)
    + INVENTORY_KEYS
)
CONVERT_COLUMNS = ("path", "output", "status", "error", "rows", "seconds", "dropped_blocks")


def inventory_one(path: str) -> dict:
    row = dict.fromkeys(INVENTORY_COLUMNS)
    row["path"] = path
    try:
        # A named pipe would stall the read until some process writes to it.
        refuse_special_file(path)
        # The block counts come first: they are there for a damaged file too.
        if is_gzip(pathlib.Path(path)):
            # One pass over the stream, without an unpacked copy: the last blocks decide the
            # data's end, so every block is unpacked either way.
            facts = gzip_facts(path)
            if not isinstance(facts.scan, RuntimeError):
                row.update(scan_counts(facts.scan))
            metadata, report = facts.header_facts()
        else:
            with contextlib.suppress(RuntimeError):
                row.update(header_counts(path))
            metadata, report = header_facts(path)
        row.update(metadata)
        row.update(report)
        row["rate_ratio"] = rate_ratio(report)
        row["status"] = "ok"
    except Exception as error:
        row["status"], row["error"] = "error", error_text(error)
    # A damaged file's size too: a truncated copy shows in it.
    with contextlib.suppress(OSError):
        row["size"] = os.stat(path).st_size
    return row


def inventory_chunk(paths: list[str]) -> list[dict]:
    return [inventory_one(path) for path in paths]


def count_lines(path: pathlib.Path) -> int:
    lines = 0
    with open(path, "rb") as text:
        while block := text.read(1 << 22):
            lines += block.count(b"\n")
    return lines


def sidecar(output: pathlib.Path) -> pathlib.Path:
    """Where a CSV output's record of the options that made it is kept."""
    return output.with_name(f"_{output.name}.velmora.json")


def stored_record(output: pathlib.Path, to: str) -> dict | None:
    """The options that made an existing output, None when it carries no readable record."""
    try:
        if to == "csv":
            return json.loads(sidecar(output).read_text())
        return parquet_out.stored_facts(output)["made_by"]
    except Exception:  # a missing or foreign record: either way the output cannot be trusted
        return None


def _write_parquet(
    source: str, partial: pathlib.Path, options, facts: dict, recording: str, read_file
):
    reading = options.reading()
    metadata = facts["metadata"]
    grow = not options.same_columns
    columns = [] if grow else parquet_out.columns_for(options.include())
    while True:
        written = parquet_out.write_pieces(
            pieces.frames(source, reading, read_file),
            partial,
            columns,
            grow,
            facts,
            recording,
            metadata["device_id"],
        )
        if isinstance(written, int):
            return written
        columns = written  # a channel turned up late: start again with it


def _salvaged_read(scan, path: str, **reading):
    return masked_read(scan, True, **reading)


def _write(source: str, partial: pathlib.Path, options, made_by: dict, path: str, recording: str):
    """Writes one output to `partial`; returns its row count and the blocks left out."""
    salvage = options.damaged == "salvage"
    scan = raw_scan(source) if salvage else None
    dropped = len(scan.masked_blocks(True)) + int(scan.truncated) if scan is not None else 0
    if options.to == "csv":
        if scan is not None:
            masked_write_csv(scan, True, os.fspath(partial), **options.reading())
        else:
            velmora.write_cwa_csv(source, os.fspath(partial), **options.reading())
        return count_lines(partial) - 1, dropped
    read_file = functools.partial(_salvaged_read, scan) if salvage else velmora.read_cwa_file
    try:
        metadata, report = (
            masked_header_facts(scan, True) if scan is not None else header_facts(source)
        )
    except RuntimeError:
        # The reading's own error says more, and matches what read_cwa_file says.
        for _ in pieces.frames(source, options.reading(), read_file):
            pass
        raise
    facts = {
        "source": path,
        "recording": recording,
        "metadata": metadata,
        "report": report,
        "made_by": made_by,
        "dropped_blocks": dropped,
    }
    rows = _write_parquet(source, partial, options, facts, recording, read_file)
    return rows, dropped


def _place(partial: pathlib.Path, target: pathlib.Path, to: str, made_by: dict) -> None:
    if to != "csv":
        os.replace(partial, target)
        return
    # The old record goes first: a CSV file without a record is reported stale by a rerun, while
    # one left with the record of the file it replaced would pass for that file.
    record = sidecar(target)
    record.unlink(missing_ok=True)
    os.replace(partial, target)
    staged = partials.partial_name(record)
    staged.write_text(json.dumps(made_by))
    os.replace(staged, record)


def convert_one(path: str, output: str, recording: str, options, overwrite: bool) -> dict:
    began = time.perf_counter()
    row = dict.fromkeys(CONVERT_COLUMNS)
    row.update(path=path, output=output)
    target = pathlib.Path(output)
    made_by = options.made_by()
    if target.exists() and not overwrite:
        difference = first_difference(stored_record(target, options.to), made_by)
        if difference is None:
            row.update(status="skipped")
        else:
            row.update(status="stale", error=difference)
        row["seconds"] = time.perf_counter() - began
        return row
    partial = partials.partial_name(target)
    try:
        target.parent.mkdir(parents=True, exist_ok=True)
        partials.remove_abandoned(target)
        partials.remove_abandoned(sidecar(target))
        with readable(pathlib.Path(path)) as source:
            rows, dropped = _write(source, partial, options, made_by, path, recording)
        _place(partial, target, options.to, made_by)
        row.update(status="ok", rows=rows, dropped_blocks=dropped)
    except BaseException as error:
        # An interrupt too must not leave a partial file behind; only errors become rows.
        partial.unlink(missing_ok=True)
        if not isinstance(error, Exception):
            raise
        row.update(status="error", error=error_text(error))
    row["seconds"] = time.perf_counter() - began
    return row


def convert_chunk(jobs: list[tuple[str, str, str]], options, overwrite: bool) -> list[dict]:
    return [convert_one(*job, options, overwrite) for job in jobs]
