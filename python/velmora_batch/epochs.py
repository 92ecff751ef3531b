"""Epoch summaries on the clock: ENMO, MAD and the z angle per epoch, from the samples.

enmo: mean of max(‖a‖ − 1, 0), mg. mad: mean |‖a‖ − epoch mean of ‖a‖|, mg. anglez: mean of
atan(z / √(x² + y²)), degrees. Norms are taken in float64; the angle in float32, whose error
(about 1e-5 degrees) is far below what any use of it resolves and which halves its cost.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

from . import windows as win

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
) -> pd.DataFrame:
    """One row per epoch that holds samples, indexed by the epoch's start on the clock.

    Columns: samples, then the metrics asked for (of enmo, mad, anglez), temperature (the mean,
    when the frame has it), nonwear (the fraction of non-wear rows, when a series from
    detect_nonwear is given). `epoch` is seconds or a pandas offset text such as "5s" or "1min".
    Epochs at the ends of the recording or beside a gap may hold fewer rows: see `samples`.
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
    x, y, z = win.axes_of(frame)
    count = len(windows)
    sums = {name: np.empty(count) for name in metrics}
    temperature = win.temperature_of(frame)
    means_t = np.empty(count) if temperature is not None else None
    flags = (
        np.asarray(nonwear.to_numpy(), dtype=bool).view(np.uint8) if nonwear is not None else None
    )
    worn = np.empty(count) if flags is not None else None
    need_norm = "enmo" in metrics or "mad" in metrics
    rows = win.ROWS_PER_CHUNK
    norm, work = np.empty(rows), np.empty(rows)
    for first, stop, begin, end in windows.chunks():
        local = windows.starts[first:stop] - begin
        size = end - begin
        if size > len(norm):
            norm, work = np.empty(size), np.empty(size)
        n, w = norm[:size], work[:size]
        if need_norm:
            np.square(x[begin:end], out=n, dtype=np.float64)
            np.square(y[begin:end], out=w, dtype=np.float64)
            n += w
            np.square(z[begin:end], out=w, dtype=np.float64)
            n += w
            np.sqrt(n, out=n)
        if "enmo" in metrics:
            np.subtract(n, 1.0, out=w)
            np.maximum(w, 0.0, out=w)
            sums["enmo"][first:stop] = np.add.reduceat(w, local)
        if "mad" in metrics:
            centre = np.add.reduceat(n, local) / windows.counts[first:stop]
            np.subtract(n, np.repeat(centre, windows.counts[first:stop]), out=w)
            np.abs(w, out=w)
            sums["mad"][first:stop] = np.add.reduceat(w, local)
        if "anglez" in metrics:
            xs, ys = x[begin:end], y[begin:end]
            across = np.sqrt(xs * xs + ys * ys)
            angle = np.arctan2(z[begin:end], across, out=across)
            sums["anglez"][first:stop] = np.add.reduceat(angle, local, dtype=np.float64)
        if means_t is not None:
            means_t[first:stop] = np.add.reduceat(temperature[begin:end], local, dtype=np.float64)
        if worn is not None:
            worn[first:stop] = np.add.reduceat(flags[begin:end], local, dtype=np.float64)
    counts = windows.counts
    columns = {"samples": counts}
    scale = {"enmo": 1000.0, "mad": 1000.0, "anglez": 180.0 / np.pi}
    for name in metrics:
        columns[name] = sums[name] / counts * scale[name]
    if means_t is not None:
        columns["temperature"] = means_t / counts
    if worn is not None:
        columns["nonwear"] = worn / counts
    return pd.DataFrame(columns, index=_index(windows.ids, windows.width, frame.index))
