"""A dask DataFrame straight from recordings: one partition per piece of each recording."""

from __future__ import annotations

import datetime
import pathlib

import numpy as np
import pandas as pd

import velmora

from . import parquet_out, pieces
from ._extras import require
from .options import ConvertOptions, checked
from .paths import discover
from .recording import is_gzip, readable


def _empty_frame(columns, categories, utc: bool) -> pd.DataFrame:
    index = pd.DatetimeIndex([], dtype="datetime64[us, UTC]" if utc else "datetime64[us]")
    frame = pd.DataFrame({name: np.empty(0, np.float32) for name in columns}, index=index)
    frame.index.name = "timestamp"
    frame["recording"] = pd.Categorical([], categories=categories)
    return frame


def _piece(part, reading: dict, channels: list[str], categories: list[str]) -> pd.DataFrame:
    path, name, cut, split = part
    try:
        with readable(pathlib.Path(path)) as source:
            frame = velmora.read_cwa_file(source, **dict(reading, cut=cut))
    except RuntimeError as error:
        # Blocks that are not data may fill a piece of a file whose other pieces hold samples.
        if not (split and str(error) in pieces.EMPTY_PIECE):
            raise
        return _empty_frame(channels, categories, "fixed_utc_offset_timezone" in reading)
    rows = len(frame)
    absent = None
    for channel in channels:
        if channel not in frame.columns:
            if absent is None:
                absent = np.full(rows, np.nan, dtype=np.float32)
            frame[channel] = absent
    frame = frame[channels]
    codes = np.full(rows, categories.index(name), dtype=np.int32)
    frame["recording"] = pd.Categorical.from_codes(codes, categories=categories)
    return frame


def to_dask(
    paths,
    *,
    cut=None,
    include_magnetometer: bool = True,
    include_temperature: bool = True,
    include_light: bool = True,
    include_battery: bool = True,
    resample_hz=None,
    resample_method: str = "cubic",
    fixed_utc_offset_timezone: datetime.tzinfo | None = None,
):
    """The samples of every recording as one dask DataFrame, read only when it is computed.

    Takes the options of read_cwa_file; `paths` is that of inventory. A partition is a piece of
    a few million rows of one recording (the whole window when resampling, with a seconds cut
    or for a .cwa.gz), with read_cwa_file's index and columns, plus a categorical `recording` column (the
    path under the folder it was found in, without suffix). Every partition has the channels
    a parquet output of convert has: NaN where a recording has no such channel. A piece made
    only of blocks that are not data is an empty partition.
    """
    dataframe = require("dask.dataframe")
    options = checked(
        ConvertOptions(
            cut=cut,
            include_magnetometer=include_magnetometer,
            include_temperature=include_temperature,
            include_light=include_light,
            include_battery=include_battery,
            resample_hz=resample_hz,
            resample_method=resample_method if resample_hz is not None else None,
            fixed_utc_offset_timezone=fixed_utc_offset_timezone,
        )
    )
    reading = options.reading()
    found = discover(paths)
    categories, first = [], {}
    for recording in found:
        if recording.name in first:
            raise ValueError(
                f"{recording.path} and {first[recording.name]} would both be named "
                f"{recording.name!r}"
            )
        first[recording.name] = recording.path
        categories.append(recording.name)
    parts = []
    for recording in found:
        path = str(recording.path)
        # A packed file is unpacked whole for each read, so it is read in one.
        cuts = [reading.get("cut")] if is_gzip(recording.path) else pieces.plan(path, reading)
        parts += [(path, recording.name, piece, len(cuts) > 1) for piece in cuts]
    channels = parquet_out.columns_for(options.include())
    meta = _empty_frame(channels, categories, fixed_utc_offset_timezone is not None)
    return dataframe.from_map(
        _piece,
        parts,
        reading=reading,
        channels=channels,
        categories=categories,
        meta=meta,
        enforce_metadata=False,
    )
