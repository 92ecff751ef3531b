"""A recording read in pieces of a few million rows whose rows join to those of the whole read.

A blocks cut that starts past block 0 takes its continuity seed from the data packet before it,
so pieces of blocks give exactly the timestamps of one read of them all. A resampled read is not
split: the resampler's grid and interpolation run across the whole window.
"""

from __future__ import annotations

import math
import os

import velmora

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

    A seconds cut is read whole: each seconds read scans every packet header of the file, which
    for pieces of a week-long file would cost more than the conversion itself.
    """
    cut = reading.get("cut")
    if reading.get("resample_hz") is not None or (cut is not None and cut["type"] != "blocks"):
        return [cut]
    return _block_pieces(path, cut)


def read(path: str, reading: dict, cuts: list[dict | None]):
    """Yields the DataFrame of each piece that holds a sample.

    When no piece does, the whole read is made, to fail as it fails.
    """
    if len(cuts) == 1:
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
    if not found:
        yield velmora.read_cwa_file(path, **reading)
