"""Zero-phase low-pass filtering of the acceleration axes, segment by segment.

A gap of a second or more between rows is a real gap (shorter ones the reader has closed), and
filtering across it would smear one side into the other, so each continuous segment is filtered
on its own. Long segments are filtered in overlapping pieces: each piece carries enough rows on
either side for the filter's response to have died away (to 1e-12 of its peak), so the kept
rows equal a filtering of the whole segment to well below float32 resolution.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

from . import windows as win
from ._extras import require

GAP_US = win.US_PER_S
PIECE_ROWS = 1 << 20
# A filter whose response dies away within this many rows runs in float32, at twice the speed:
# the 20 Hz filter at 100 Hz (150 rows) then differs from float64 by at most 1.5e-6 g, and a
# 10 Hz one (250 rows) by 3e-6 g. Slower filters, whose poles lie near the unit circle, lose
# more in float32 (1.3e-5 g at 5 Hz, 3e-3 g at 0.2 Hz) and run in float64.
SHORT_MEMORY_ROWS = 300


def segment_starts(times: np.ndarray, gap_us: int = GAP_US) -> np.ndarray:
    """First row of each continuous segment: row 0 and every row a gap of gap_us or more after its
    predecessor."""
    found = [np.zeros(1, dtype=np.int64)]
    for begin in range(0, len(times) - 1, win.ROWS_PER_CHUNK):
        steps = np.diff(times[begin : begin + win.ROWS_PER_CHUNK + 1])
        found.append(np.flatnonzero(steps >= gap_us) + begin + 1)
    return np.concatenate(found)


def _padding(sos: np.ndarray) -> int:
    """The padding sosfiltfilt uses by default; a segment must be longer than it."""
    zeros = min(int(np.sum(sos[:, 2] == 0)), int(np.sum(sos[:, 5] == 0)))
    return 3 * (2 * len(sos) + 1 - zeros)


def _margin(signal, sos: np.ndarray) -> int:
    """Rows after which the filter's impulse response stays below 1e-12 of its peak."""
    length = 4096
    while True:
        impulse = np.zeros(length)
        impulse[0] = 1.0
        response = np.abs(signal.sosfilt(sos, impulse))
        last = int(np.flatnonzero(response > 1e-12 * response.max())[-1])
        if last < length // 2 or length >= 1 << 24:
            return last + 1
        length *= 4


def _filter_segment(signal, sos, column, out, begin, end, margin) -> None:
    for keep in range(begin, end, PIECE_ROWS):
        keep_end = min(keep + PIECE_ROWS, end)
        lo, hi = max(begin, keep - margin), min(end, keep_end + margin)
        piece = signal.sosfiltfilt(sos, column[lo:hi].astype(sos.dtype, copy=False))
        out[keep:keep_end] = piece[keep - lo : keep_end - lo]


def lowpass(frame: pd.DataFrame, hz: float = 20.0, order: int = 8) -> pd.DataFrame:
    """The frame with acc_x, acc_y and acc_z low-pass filtered, zero-phase (forward and back).

    A Butterworth filter of `order` with cutoff `hz` (scipy.signal.butter as second-order
    sections, run by sosfiltfilt) per continuous segment. A segment too
    short to filter (not longer than the filter's padding) is left as it is; the new frame's
    attrs["lowpass"] reports the rate, the segments and those left unfiltered.
    """
    signal = require("scipy.signal")
    win.check_sorted(frame)
    if order < 1:
        raise ValueError(f"order must be at least 1, not {order}")
    times = win.ticks(frame)
    interval = win.sample_interval_us(times)
    rate = win.US_PER_S / interval if np.isfinite(interval) else float("nan")
    if not (0 < hz < rate / 2):
        raise ValueError(
            f"hz must lie between 0 and half the sample rate ({rate / 2:g} Hz), not {hz!r}"
        )
    sos = signal.butter(order, hz, btype="lowpass", output="sos", fs=rate)
    padding, margin = _padding(sos), _margin(signal, sos)
    if margin <= SHORT_MEMORY_ROWS:
        sos = sos.astype(np.float32)
    starts = segment_starts(times)
    ends = np.append(starts[1:], len(times))
    short = (ends - starts) <= padding
    results = []
    for column in win.axes_of(frame):
        out = np.empty(len(column), dtype=np.float32)
        for begin, end, too_short in zip(starts.tolist(), ends.tolist(), short.tolist()):
            if too_short:
                out[begin:end] = column[begin:end]
            else:
                _filter_segment(signal, sos, column, out, begin, end, margin)
        results.append(out)
    columns = {name: frame[name].to_numpy() for name in frame.columns}
    columns.update(zip(win.AXES, results))
    filtered = pd.DataFrame(columns, index=frame.index, copy=False)
    filtered.attrs.update(frame.attrs)
    filtered.attrs["lowpass"] = {
        "hz": float(hz),
        "order": int(order),
        "sample_rate_hz": rate,
        "segments": len(starts),
        "unfiltered_segments": [
            {
                "start": frame.index[begin].isoformat(),
                "end": frame.index[end - 1].isoformat(),
                "rows": int(end - begin),
            }
            for begin, end in zip(starts[short].tolist(), ends[short].tolist())
        ],
    }
    return filtered
