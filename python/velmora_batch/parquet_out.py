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


def microseconds(index) -> np.ndarray:
    """The index as int64 microseconds (UTC for an aware one), without a copy when it is in us."""
    if index.tz is not None:
        index = index.tz_convert(None)
    values = index.to_numpy()  # as_unit("us") would copy even when the unit is already us
    if values.dtype != np.dtype("datetime64[us]"):
        values = values.astype("datetime64[us]")
    return values.view(np.int64)


def frame_table(frame, columns, facts: dict, utc: bool):
    """The frame as an arrow table: a timestamp[us] column, then float32 columns, NaN when absent.

    The arrays share the frame's buffers; only one column for the channels a file lacks is made.
    """
    pa = require("pyarrow")
    ticks = microseconds(frame.index)
    times = pa.array(ticks, type=pa.timestamp("us", tz="UTC" if utc else None))
    names = ["timestamp"] + list(columns or frame.columns)
    arrays, absent = [times], None
    for name in names[1:]:
        if name in frame.columns:
            arrays.append(pa.array(np.asarray(frame[name], dtype=np.float32)))
        else:
            # Arrow arrays are immutable, so every absent channel can share one.
            if absent is None:
                absent = pa.array(np.full(len(frame), np.nan, dtype=np.float32))
            arrays.append(absent)
    table = pa.Table.from_arrays(arrays, names=names)
    return table.replace_schema_metadata({METADATA_KEY: json.dumps(facts).encode()})


def write(table, path) -> None:
    parquet = require("pyarrow.parquet")
    # Sample times step by near-constant deltas, and a float's bytes split by position leave
    # zstd long runs of the slowly changing sign and exponent bytes: half the size and time of
    # plain pages. Dictionaries would only be tried and dropped for the noisy channels.
    encodings = {name: "BYTE_STREAM_SPLIT" for name in table.column_names[1:]}
    encodings["timestamp"] = "DELTA_BINARY_PACKED"
    parquet.write_table(
        table, path, compression="zstd", use_dictionary=False, column_encoding=encodings
    )


def stored_facts(path) -> dict:
    """The metadata and report a converted file carries."""
    parquet = require("pyarrow.parquet")
    return json.loads(parquet.read_schema(path).metadata[METADATA_KEY])
