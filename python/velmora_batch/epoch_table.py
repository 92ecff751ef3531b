"""Epoch summaries on the clock: ENMO, MAD and the z angle per epoch, from the samples.

enmo: mean of max(‖a‖ − 1, 0), mg. mad: mean |‖a‖ − epoch mean of ‖a‖|, mg. anglez: mean of
atan(z / √(x² + y²)), degrees. Norms are taken in float64; the angle in float32, whose error
(about 1e-5 degrees) is far below what any use of it resolves and which halves its cost.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

from . import windows as win
from .nonwear import runs

METRICS = ("enmo", "mad", "anglez")


def _index(ids: np.ndarray, width: int, like: pd.DatetimeIndex) -> pd.DatetimeIndex:
    starts = (ids * width).astype("datetime64[us]")
    index = pd.DatetimeIndex(starts, name="timestamp")
    return index.tz_localize("UTC").tz_convert(like.tz) if like.tz is not None else index


def epochs(
    frame: pd.DataFrame,
    epoch="5s",
    metrics=METRICS,
    nonwear: pd.Series | None = None,
    *,
    nonwear_runs: tuple[np.ndarray, np.ndarray] | None = None,
) -> pd.DataFrame:
    """One row per epoch that holds samples, indexed by the epoch's start on the clock.

    Columns: samples, then the metrics asked for (of enmo, mad, anglez), temperature (the mean,
    when the frame has it), nonwear (the fraction of non-wear rows, when a series from
    detect_nonwear is given). `epoch` is seconds or a pandas offset text such as "5s" or "1min".
    Epochs at the ends of the recording or beside a gap may hold fewer rows: see `samples`.
    `nonwear_runs` may stand for `nonwear`: the (first rows, end rows) of its runs.
    """
    metrics = tuple(metrics)
    unknown = [name for name in metrics if name not in METRICS]
    if unknown:
        raise ValueError(f"unknown metric {unknown[0]!r}; known: {list(METRICS)}")
    win.check_sorted(frame)
    if nonwear is not None and len(nonwear) != len(frame):
        raise ValueError("the non-wear series must have one value per row of the frame")
    times = win.ticks(frame)
    windows = win.ClockWindows.over(times, win.width_us(epoch))
    sums = EpochSums(windows, metrics)
    x, y, z = win.axes_of(frame)
    temperature = win.temperature_of(frame)
    for first, stop, begin, end in windows.chunks():
        sums.add(first, stop, begin, x[begin:end], y[begin:end], z[begin:end])
        if temperature is not None:
            sums.add_temperature(first, stop, begin, temperature[begin:end])
    if nonwear is not None:
        nonwear_runs = runs(nonwear.to_numpy())
    flagged = None
    if nonwear_runs is not None:
        flagged = rows_in_runs(*nonwear_runs, windows.starts, windows.starts + windows.counts)
    index = frame.index
    assert isinstance(index, pd.DatetimeIndex)  # `ticks` turned any other away
    return sums.table(index, flagged)


def rows_in_runs(run_starts, run_stops, starts, stops) -> np.ndarray:
    """How many rows of each range [start, stop) lie in the runs [run_start, run_stop)."""
    if len(run_starts) == 0:
        return np.zeros(len(starts), dtype=np.int64)
    total = np.concatenate(([0], np.cumsum(run_stops - run_starts)))

    def before(bounds):
        # Rows of the runs below each bound: the runs starting below it, less what of the last
        # such run lies at or above it.
        j = np.searchsorted(run_starts, bounds, side="left")
        over = np.where(j > 0, np.maximum(run_stops[np.maximum(j - 1, 0)] - bounds, 0), 0)
        return total[j] - over

    return before(stops) - before(starts)


class EpochSums:
    """Per-epoch sums of the metrics, filled a chunk of whole epochs at a time."""

    def __init__(self, windows: win.ClockWindows, metrics):
        self.windows, self.metrics = windows, tuple(metrics)
        self.sums = {name: np.empty(len(windows)) for name in self.metrics}
        self.temperature: np.ndarray | None = None
        self.buffers = [np.empty(0)] * 5
        self.across = np.empty(0, dtype=np.float32)

    def _work(self, size):
        if len(self.buffers[0]) < size:
            self.buffers = [np.empty(max(size, win.ROWS_PER_CHUNK)) for _ in range(5)]
            self.across = np.empty(len(self.buffers[0]), dtype=np.float32)
        return [buffer[:size] for buffer in self.buffers] + [self.across[:size]]

    def add(self, first, stop, begin, x, y, z) -> None:
        """The rows of epochs first .. stop − 1, which begin at row `begin`; float32 or float64."""
        local = self.windows.starts[first:stop] - begin
        counts = self.windows.counts[first:stop]
        bx, by, bz, norm, work, across = self._work(len(x))
        for buffer, values in ((bx, x), (by, y), (bz, z)):
            np.copyto(buffer, values)
        np.multiply(bx, bx, out=norm)
        np.multiply(by, by, out=work)
        norm += work
        if "anglez" in self.metrics:
            np.copyto(across, norm, casting="same_kind")
            np.sqrt(across, out=across)
            np.arctan2(z, across, out=across)
            np.copyto(work, across)
            self.sums["anglez"][first:stop] = np.add.reduceat(work, local)
        if "enmo" not in self.metrics and "mad" not in self.metrics:
            return
        np.multiply(bz, bz, out=work)
        norm += work
        np.sqrt(norm, out=norm)
        if "enmo" in self.metrics:
            np.subtract(norm, 1.0, out=work)
            np.maximum(work, 0.0, out=work)
            self.sums["enmo"][first:stop] = np.add.reduceat(work, local)
        if "mad" in self.metrics:
            centre = np.add.reduceat(norm, local) / counts
            np.subtract(norm, np.repeat(centre, counts), out=work)
            np.abs(work, out=work)
            self.sums["mad"][first:stop] = np.add.reduceat(work, local)

    def add_temperature(self, first, stop, begin, temperature) -> None:
        if self.temperature is None:
            self.temperature = np.empty(len(self.windows))
        work = self._work(len(temperature))[4]
        np.copyto(work, temperature)
        local = self.windows.starts[first:stop] - begin
        self.temperature[first:stop] = np.add.reduceat(work, local)

    def table(self, like: pd.DatetimeIndex, flagged=None) -> pd.DataFrame:
        counts = self.windows.counts
        columns = {"samples": counts}
        scale = {"enmo": 1000.0, "mad": 1000.0, "anglez": 180.0 / np.pi}
        for name in self.metrics:
            columns[name] = self.sums[name] / counts * scale[name]
        if self.temperature is not None:
            columns["temperature"] = self.temperature / counts
        if flagged is not None:
            columns["nonwear"] = flagged / counts
        return pd.DataFrame(columns, index=_index(self.windows.ids, self.windows.width, like))
