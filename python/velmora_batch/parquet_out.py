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


def _schema(columns, facts: dict, utc: bool):
    pa = require("pyarrow")
    fields = [pa.field("timestamp", pa.timestamp("us", tz="UTC" if utc else None))]
    fields += [pa.field(name, pa.float32()) for name in columns]
    fields += [
        pa.field("recording", pa.dictionary(pa.int32(), pa.string())),
        ("device_id", pa.uint32()),
    ]
    return pa.schema(fields, metadata={METADATA_KEY: json.dumps(facts).encode()})


def piece_table(frame, schema, recording: str, device_id: int):
    """A piece as an arrow table of `schema`: NaN for the channels the piece lacks.

    The arrays share the frame's buffers; only one column for the absent channels is made.
    """
    pa = require("pyarrow")
    rows = len(frame)
    arrays, absent = [pa.array(microseconds(frame.index), type=schema.field(0).type)], None
    for name in schema.names[1:-2]:
        if name in frame.columns:
            arrays.append(pa.array(np.asarray(frame[name], dtype=np.float32)))
        else:
            # Arrow arrays are immutable, so every absent channel can share one.
            if absent is None:
                absent = pa.array(np.full(rows, np.nan, dtype=np.float32))
            arrays.append(absent)
    # The recording's name once, and a zero index per row: the dictionary costs 4 bytes a row.
    names = pa.array([recording], type=pa.string())
    arrays.append(pa.DictionaryArray.from_arrays(pa.array(np.zeros(rows, np.int32)), names))
    arrays.append(pa.array(np.full(rows, device_id, dtype=np.uint32)))
    return pa.Table.from_arrays(arrays, schema=schema)


def _writer(path, schema):
    parquet = require("pyarrow.parquet")
    # Sample times step by near-constant deltas, and a float's bytes split by position leave
    # zstd long runs of the slowly changing sign and exponent bytes: half the size and time of
    # plain pages. Dictionaries would only be tried and dropped for the noisy channels; the
    # recording and device columns hold one value each, which a dictionary stores once.
    encodings = {name: "BYTE_STREAM_SPLIT" for name in schema.names[1:-2]}
    encodings["timestamp"] = "DELTA_BINARY_PACKED"
    return parquet.ParquetWriter(
        path,
        schema,
        compression="zstd",
        use_dictionary=["recording", "device_id"],
        column_encoding=encodings,
    )


def ordered(names) -> list[str]:
    """Channel names in the order of read_cwa_file's columns."""
    return [name for name in MOTION + MAGNETOMETER + PER_PACKET if name in names]


def write_pieces(frames, path, columns, grow: bool, facts: dict, recording: str, device_id: int):
    """Streams the frames into one parquet file, a row group each; returns the row count.

    With `grow`, the file gets `columns` and the channels the frames have: then a frame with a
    channel that the file lacks ends the write and returns the channels needed, to start again.
    """
    writer = None
    rows = 0
    try:
        for frame in frames:
            if grow:
                wanted = ordered(set(frame.columns) | set(columns))
                if writer is not None and wanted != columns:
                    return wanted
                columns = wanted
            if writer is None:
                schema = _schema(columns, facts, frame.index.tz is not None)
                writer = _writer(path, schema)
            table = piece_table(frame, schema, recording, device_id)
            del frame
            writer.write_table(table, row_group_size=max(1, table.num_rows))
            rows += table.num_rows
            del table  # before the next piece is read: one piece in memory at a time
    finally:
        if writer is not None:
            writer.close()
    return rows


def stored_facts(path) -> dict:
    """The metadata and report a converted file carries, and the options that made it."""
    parquet = require("pyarrow.parquet")
    return json.loads(parquet.read_schema(path).metadata[METADATA_KEY])
