"""Writes one recording's DataFrame as a parquet file that a folder of them reads as one dataset."""

from __future__ import annotations

import json

import numpy as np

from ._extras import require

METADATA_KEY = b"velmora"
MOTION = ("acc_x", "acc_y", "acc_z", "gyro_x", "gyro_y", "gyro_z")
MAGNETOMETER = ("mag_x", "mag_y", "mag_z")
PER_PACKET = ("temperature", "light", "battery")


def columns_for(include: dict) -> list[str]:
    """The columns every file of a batch gets with these include_* choices."""
    names = list(MOTION)
    if include["include_magnetometer"]:
        names += MAGNETOMETER
    return names + [name for name in PER_PACKET if include[f"include_{name}"]]


def frame_table(frame, columns, facts: dict, utc: bool):
    """The frame as an arrow table: a timestamp[us] column, then float32 columns, NaN when absent.

    The arrays share the frame's buffers; only the channels a file lacks are allocated.
    """
    pa = require("pyarrow")
    ticks = np.asarray(frame.index.as_unit("us").asi8)
    times = pa.array(ticks, type=pa.timestamp("us", tz="UTC" if utc else None))
    names = ["timestamp"] + list(columns or frame.columns)
    arrays = [times]
    for name in names[1:]:
        if name in frame.columns:
            arrays.append(pa.array(np.asarray(frame[name], dtype=np.float32)))
        else:
            arrays.append(pa.array(np.full(len(frame), np.nan, dtype=np.float32)))
    table = pa.Table.from_arrays(arrays, names=names)
    return table.replace_schema_metadata({METADATA_KEY: json.dumps(facts).encode()})


def write(table, path) -> None:
    parquet = require("pyarrow.parquet")
    parquet.write_table(table, path, compression="zstd")


def stored_facts(path) -> dict:
    """The metadata and report a converted file carries."""
    parquet = require("pyarrow.parquet")
    return json.loads(parquet.read_schema(path).metadata[METADATA_KEY])
