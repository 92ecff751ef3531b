"""A recording read in pieces of a few million rows whose rows join to those of the whole read.

A blocks cut that starts past block 0 takes its continuity seed from the data packet before it,
so pieces of blocks give exactly the timestamps of one read of them all; a seconds cut is split
by sample times (see _seconds). A resampled read is not split: the resampler's grid and
interpolation run across the whole window.
"""

from __future__ import annotations

import math
import os

import numpy as np

import velmora

from .parquet_out import MAGNETOMETER, MOTION, microseconds

MOST_SAMPLES_PER_BLOCK = 120  # packed 3-axis packets; the other formats carry 80, 40 or 26
PIECE_ROWS = 3_000_000
PIECE_BLOCKS = PIECE_ROWS // MOST_SAMPLES_PER_BLOCK
# The texts with which a piece that holds no sample fails; the whole read may still have some.
EMPTY_PIECE = ("No valid sample data found in the specified range",)


def data_blocks(path: str) -> int:
    return max(0, (os.stat(path).st_size - 1024) // 512)


def _block_pieces(path: str, cut: dict | None) -> list[dict | None]:
    start = (cut or {}).get("start") or 0
    wanted_end = (cut or {}).get("end")
    end = min(data_blocks(path), wanted_end if wanted_end is not None else math.inf)
    if end - start <= PIECE_BLOCKS:
        return [cut]
    starts = range(start, int(end), PIECE_BLOCKS)
    ends = [*starts[1:], wanted_end]
    return [velmora.blocks(first, last) for first, last in zip(starts, ends)]


def plan(path: str, reading: dict) -> list[dict | None]:
    """The cuts of the pieces of one read; the read's own cut when it is not split.

    A seconds cut is one piece here: each seconds read scans every packet header of the file,
    which for pieces of a week-long file would cost more than the conversion itself. `frames`
    splits it in another way.
    """
    cut = reading.get("cut")
    if reading.get("resample_hz") is not None or (cut is not None and cut["type"] != "blocks"):
        return [cut]
    return _block_pieces(path, cut)


def read(path: str, reading: dict, cuts: list[dict | None], empty_ok: bool = False):
    """Yields the DataFrame of each piece that holds a sample.

    When no piece does, the whole read is made, to fail as it fails (unless `empty_ok`).
    """
    if len(cuts) == 1 and not empty_ok:
        yield velmora.read_cwa_file(path, **dict(reading, cut=cuts[0]))
        return
    found = False
    for cut in cuts:
        try:
            frame = velmora.read_cwa_file(path, **dict(reading, cut=cut))
        except RuntimeError as error:
            if str(error) in EMPTY_PIECE:
                continue
            raise
        found = True
        yield frame
    if not found and not empty_ok:
        yield velmora.read_cwa_file(path, **reading)


def frames(path: str, reading: dict):
    """Yields the DataFrames of one read, in pieces when it is long: see plan and _seconds."""
    cut = reading.get("cut")
    seconds = cut is not None and cut["type"] == "seconds"
    if seconds and reading.get("resample_hz") is None and data_blocks(path) > PIECE_BLOCKS:
        yield from _seconds(path, reading)
    else:
        yield from read(path, reading, plan(path, reading))


EDGE_SECONDS = 60.0  # the windows read with the seconds cut itself, at its two ends
# The texts with which a seconds read fails when its window holds no sample.
EMPTY_WINDOW = (
    "No samples remain after applying seconds cut",
    "No samples remain after applying time range",
)


def _rows_between(frame, after: int, before: int):
    """The rows whose times (us) lie strictly between; motion channels left all NaN go."""
    ticks = microseconds(frame.index)
    first = np.searchsorted(ticks, after, side="right")
    kept = frame.iloc[first : np.searchsorted(ticks, before, side="left")]
    optional = MOTION[3:] + MAGNETOMETER
    return kept.drop(
        columns=[name for name in optional if name in kept and kept[name].isna().all()]
    )


def _seconds(path: str, reading: dict):
    """A seconds cut in pieces: its first and last minute read with the cut, the rest between.

    Sample times never decrease along a file (a packet that overlaps the one before starts where
    it ends), so the whole read holds exactly the samples from the first of its first minute to
    the last of its last minute: those between come from pieces of blocks, with the channels
    present that have a value in them, as the whole read decides it.
    """
    low, high = reading["cut"]["start"], reading["cut"]["end"]
    if high is not None and high - (low or 0.0) <= 3 * EDGE_SECONDS:
        yield velmora.read_cwa_file(path, **reading)
        return
    windows = [velmora.seconds(low, (low or 0.0) + EDGE_SECONDS)]
    if high is not None:
        windows.append(velmora.seconds(high - EDGE_SECONDS, high))
    edges = []
    for window in windows:
        try:
            edges.append(velmora.read_cwa_file(path, **dict(reading, cut=window)))
        except RuntimeError as error:
            if str(error) not in EMPTY_WINDOW:
                raise
            # A gap at an end of the window: too rare to be worth more than one whole read.
            yield velmora.read_cwa_file(path, **reading)
            return
    after = int(microseconds(edges[0].index)[-1])
    before = int(microseconds(edges[1].index)[0]) if high is not None else np.iinfo(np.int64).max
    yield edges.pop(0)
    unbounded = {key: value for key, value in reading.items() if key != "cut"}
    for frame in read(path, unbounded, _block_pieces(path, None), empty_ok=True):
        ticks = microseconds(frame.index)
        if ticks[-1] <= after:
            continue
        if ticks[0] >= before:
            break
        kept = _rows_between(frame, after, before)
        del frame, ticks
        if len(kept):
            yield kept
    yield from edges
