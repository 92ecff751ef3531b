"""Fixed-width windows on the clock over a frame's rows, and per-window sums computed in chunks.

Every step of data preparation summarises rows per window (10 s for calibration, 15 min for
non-wear, the epoch for summaries). The rows are sorted by time, so a window is a run of rows
found by binary search; sums are taken a chunk of whole windows at a time in float64, so that no
float64 copy of a whole column is ever made.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import pandas as pd

US_PER_S = 1_000_000
ROWS_PER_CHUNK = 1 << 18  # 2 MB of float64 a buffer: stays in the cache across the passes
AXES = ("acc_x", "acc_y", "acc_z")


def ticks(frame: pd.DataFrame) -> np.ndarray:
    """The index as int64 microseconds on its own clock (UTC for an aware index)."""
    index = frame.index
    if not isinstance(index, pd.DatetimeIndex):
        raise TypeError("the frame's index must be a DatetimeIndex, as read_cwa_file gives")
    if index.tz is not None:
        index = index.tz_convert(None)
    values = index.to_numpy()
    if values.dtype != np.dtype("datetime64[us]"):
        values = values.astype("datetime64[us]")
    return values.view(np.int64)


def check_sorted(frame: pd.DataFrame) -> None:
    if len(frame) == 0:
        raise ValueError("the frame has no rows")
    # pandas keeps the answer with the index, which the frames of every step share.
    if not frame.index.is_monotonic_increasing:
        raise ValueError("the frame's rows must be in time order")


def width_us(width) -> int:
    """A window width given as seconds, a pandas offset text ("5s", "1min") or a Timedelta."""
    if isinstance(width, (int, float, np.integer, np.floating)) and not isinstance(width, bool):
        value = int(round(float(width) * US_PER_S))
    else:
        value = pd.Timedelta(width) // pd.Timedelta(microseconds=1)
    if value <= 0:
        raise ValueError(f"a window width must be positive, not {width!r}")
    return value


def sample_interval_us(times: np.ndarray) -> float:
    """The typical spacing of rows: the median over the first 100,000 steps (gaps do not sway it)."""
    steps = np.diff(times[:100_001])
    steps = steps[steps > 0]
    if len(steps) == 0:
        return float("nan")
    return float(np.median(steps))


@dataclass(frozen=True)
class ClockWindows:
    """The non-empty windows [k·width, (k+1)·width) of the clock that hold rows, in time order."""

    width: int  # microseconds
    ids: np.ndarray  # k of each window: it starts at k·width microseconds
    starts: np.ndarray  # first row of each window
    counts: np.ndarray  # rows in each window

    @classmethod
    def over(cls, times: np.ndarray, width: int) -> ClockWindows:
        first, last = int(times[0]) // width, int(times[-1]) // width
        if last - first < len(times):
            edges = np.searchsorted(times, np.arange(first, last + 2, dtype=np.int64) * width)
            counts = np.diff(edges)
            held = counts > 0
            ids = np.arange(first, last + 1, dtype=np.int64)[held]
            return cls(width, ids, edges[:-1][held], counts[held])
        # Far more windows than rows (a clock jump of years): find the windows from the rows.
        starts: list[np.ndarray] = []
        found: list[np.ndarray] = []
        previous = None
        for begin in range(0, len(times), ROWS_PER_CHUNK):
            keys = times[begin : begin + ROWS_PER_CHUNK] // width
            new = np.flatnonzero(np.diff(keys)) + 1
            if previous is None or keys[0] != previous:
                new = np.concatenate(([0], new))
            starts.append(new + begin)
            found.append(keys[new])
            previous = keys[-1]
        start = np.concatenate(starts)
        return cls(width, np.concatenate(found), start, np.diff(np.append(start, len(times))))

    def __len__(self) -> int:
        return len(self.ids)

    def chunks(self, rows: int = ROWS_PER_CHUNK):
        """(first window, end window, first row, end row) of runs of whole windows of about `rows`."""
        ends = self.starts + self.counts
        window = 0
        while window < len(self.ids):
            stop = int(np.searchsorted(ends, self.starts[window] + rows, side="right"))
            stop = max(stop, window + 1)
            yield window, stop, int(self.starts[window]), int(ends[stop - 1])
            window = stop

    def rows_of(self, flags: np.ndarray) -> np.ndarray:
        """A per-window value spread over the rows (rows outside every window do not exist)."""
        return np.repeat(flags, self.counts)


@dataclass(frozen=True)
class Moments:
    """Per window and column: count, sum, sum of squares, minimum and maximum."""

    counts: np.ndarray
    sums: np.ndarray  # (columns, windows), float64
    squares: np.ndarray
    lows: np.ndarray | None
    highs: np.ndarray | None

    @property
    def means(self) -> np.ndarray:
        return self.sums / self.counts

    @property
    def sds(self) -> np.ndarray:
        """The sample standard deviation (n − 1), NaN for a window of one row."""
        n = self.counts.astype(np.float64)
        with np.errstate(invalid="ignore", divide="ignore"):
            spread = (self.squares - self.sums * self.sums / n) / (n - 1)
        return np.sqrt(np.maximum(spread, 0.0))


def moments(windows: ClockWindows, columns, *, extremes=False, plain=()) -> Moments:
    """Sums and sums of squares per window of each column, extremes when asked; the `plain`
    columns after them get sums only (their squares and extremes are left unset)."""
    every = [*columns, *plain]
    shape = (len(every), len(windows))
    sums, squared = np.empty(shape), np.full(shape, np.nan)
    lows = np.empty(shape, dtype=np.float32) if extremes else None
    highs = np.empty(shape, dtype=np.float32) if extremes else None
    buffer = np.empty(ROWS_PER_CHUNK)
    for first, stop, begin, end in windows.chunks():
        local = windows.starts[first:stop] - begin
        if end - begin > len(buffer):
            buffer = np.empty(end - begin)
        work = buffer[: end - begin]
        for index, column in enumerate(every):
            piece = column[begin:end]
            np.copyto(work, piece)
            sums[index, first:stop] = np.add.reduceat(work, local)
            if index >= len(columns):
                continue
            np.multiply(work, work, out=work)
            squared[index, first:stop] = np.add.reduceat(work, local)
            if lows is not None and highs is not None:
                lows[index, first:stop] = np.minimum.reduceat(piece, local)
                highs[index, first:stop] = np.maximum.reduceat(piece, local)
    return Moments(windows.counts, sums, squared, lows, highs)


def axes_of(frame: pd.DataFrame) -> list[np.ndarray]:
    missing = [name for name in AXES if name not in frame.columns]
    if missing:
        raise ValueError(f"the frame has no column {missing[0]!r}")
    return [frame[name].to_numpy() for name in AXES]


def temperature_of(frame: pd.DataFrame) -> np.ndarray | None:
    return frame["temperature"].to_numpy() if "temperature" in frame.columns else None


def well_filled(counts: np.ndarray, span_us: int, interval_us: float) -> np.ndarray:
    """Windows holding at least half the rows their span would hold at the typical rate."""
    if not np.isfinite(interval_us):
        return counts >= 2
    return counts >= max(2.0, 0.5 * span_us / interval_us)
