"""A quick-look picture of one recording: the acceleration envelope per time bin, and temperature."""

from __future__ import annotations

import os
import pathlib

import numpy as np

import velmora

from ._extras import require
from .parquet_out import microseconds
from .recording import readable

DAY_US = 86_400_000_000
HOUR_US = 3_600_000_000


CHUNK_BLOCKS = 20_000  # ~10 MB a column: small enough for the allocator to reuse its pages


class Bins:
    """Minimum, sum, count and maximum per bin of fixed width, gathered one piece at a time."""

    def __init__(self, origin_us: int, width_us: int, count: int, extremes: bool = True):
        self.origin, self.width, self.extremes = origin_us, width_us, extremes
        self.low = np.full(count, np.inf)
        self.high = np.full(count, -np.inf)
        self.total = np.zeros(count)
        self.count = np.zeros(count, dtype=np.int64)

    def add(self, times_us, values) -> None:
        # A piece timed on its own may reach a little past the file's own first or last sample.
        inside = slice(
            *np.searchsorted(times_us, [self.origin, self.origin + self.width * len(self.count)])
        )
        times_us, values = times_us[inside], values[inside]
        if len(times_us) == 0:
            return
        first = (int(times_us[0]) - self.origin) // self.width
        last = (int(times_us[-1]) - self.origin) // self.width
        edges = self.origin + self.width * np.arange(first, last + 1, dtype=np.int64)
        starts = np.searchsorted(times_us, edges)
        counts = np.diff(np.append(starts, len(times_us)))
        filled = counts > 0
        # reduceat reads from each start to the next, so only non-empty bins' starts go in.
        at, where = starts[filled], np.arange(first, last + 1)[filled]
        if self.extremes:
            np.minimum.at(self.low, where, np.minimum.reduceat(values, at))
            np.maximum.at(self.high, where, np.maximum.reduceat(values, at))
        np.add.at(self.total, where, np.add.reduceat(values, at, dtype=np.float64))
        np.add.at(self.count, where, counts[filled])

    def stats(self):
        """Minimum, mean and maximum per bin; NaN where a bin has no sample."""
        empty = self.count == 0
        with np.errstate(invalid="ignore", divide="ignore"):
            mean = self.total / self.count
        return [np.where(empty, np.nan, column) for column in (self.low, mean, self.high)]


def _pieces(source: str):
    """The recording in pieces of CHUNK_BLOCKS blocks: times (us), |a|² and temperature."""
    blocks = max(0, (os.stat(source).st_size - 1024) // 512)
    for start in range(0, blocks, CHUNK_BLOCKS):
        # Each piece is timed on its own, so a packet join at a piece's edge may shift by less
        # than a second's fraction: invisible at a quick look's bin widths.
        frame = velmora.read_cwa_file(
            source,
            cut=velmora.blocks(start, start + CHUNK_BLOCKS),
            include_magnetometer=False,
            include_light=False,
            include_battery=False,
        )
        magnitude = np.square(frame["acc_x"].to_numpy())
        magnitude += np.square(frame["acc_y"].to_numpy())
        magnitude += np.square(frame["acc_z"].to_numpy())
        times = microseconds(frame.index)
        yield times, magnitude, frame["temperature"].to_numpy()


MOST_BINS = 2_000_000  # a few hundred MB of bin statistics; far more than a picture can show


def _bin_us(first: int, last: int, bin_seconds: float | None) -> int:
    if bin_seconds is None:
        # A short recording gets narrower bins, so that its picture still shows a shape.
        return max(10_000, min(60_000_000, (last - first) // 400))
    width = int(bin_seconds * 1e6)
    if width < 1 or (last - first) // width > MOST_BINS:
        least = (last - first) / MOST_BINS / 1e6
        raise ValueError(f"bin width {bin_seconds:g} s is too narrow; use at least {least:.3g} s")
    return width


def _clock_axis(axes) -> None:
    dates = require("matplotlib.dates")
    locator = dates.AutoDateLocator()
    axes.xaxis.set_major_locator(locator)
    axes.xaxis.set_major_formatter(dates.ConciseDateFormatter(locator))


def quick_look(path, out=None, *, bin_seconds: float | None = None):
    """Draws the recording at `path` (.cwa or .cwa.gz); returns the matplotlib Figure.

    The envelope is of the acceleration's magnitude |a| in g (minimum to maximum, and the RMS line)
    per bin of `bin_seconds` (default: 60 s, narrower for a recording shorter than 400 minutes).
    A recording longer than 36 hours gets one panel per day; a strip at the bottom shows
    temperature. Times are the device clock's. With `out`, the picture is saved there as PNG.
    """
    require("matplotlib")
    from matplotlib.figure import Figure

    path = pathlib.Path(path)
    with readable(path) as source:
        metadata = velmora.read_metadata(source)
        if metadata["start_from_data_raw"] is None:
            raise ValueError(f"{path} has no samples to draw")
        first = int(np.datetime64(metadata["start_from_data_raw"], "us").astype(np.int64))
        last = int(np.datetime64(metadata["end_from_data_raw"], "us").astype(np.int64))
        by_day = last - first > 36 * HOUR_US
        bin_us = _bin_us(first, last, bin_seconds)
        origin = first - first % DAY_US if by_day else first - first % bin_us
        count = (last - origin) // bin_us + 2
        motion = Bins(origin, bin_us, count)
        warmth = Bins(origin, bin_us, count, extremes=False)
        for times, squares, temperature in _pieces(source):
            motion.add(times, squares)
            warmth.add(times, temperature)
    # Extremes of |a|² are those of |a|, and their mean gives the RMS: one square root per bin.
    low, mean, high = map(np.sqrt, motion.stats())
    warmth = warmth.stats()[1]
    centres = origin + bin_us * np.arange(count, dtype=np.int64) + bin_us // 2
    clock = centres.astype("datetime64[us]")
    span = (np.datetime64(first, "us"), np.datetime64(last, "us"))

    days = int((last - origin) // DAY_US) + 1 if by_day else 1
    height = 1.7 * days + 1.6
    # Fixed margins: a layout engine would draw the whole figure once more to measure it.
    figure = Figure(figsize=(11, height))
    figure.subplots_adjust(
        left=0.08, right=0.98, top=1 - 0.5 / height, bottom=0.5 / height, hspace=0.55
    )
    panels = figure.subplots(days + 1, 1, height_ratios=[3] * days + [1.6], squeeze=False)[:, 0]
    for day, axes in enumerate(panels[:-1]):
        start = origin + day * DAY_US
        if by_day:
            inside = (centres >= start) & (centres < start + DAY_US)
            x = (centres[inside] - start) / HOUR_US
        else:
            inside, x = slice(None), clock
        axes.fill_between(x, low[inside], high[inside], color="#9bb7d4", linewidth=0, step="mid")
        axes.plot(x, mean[inside], color="#1f4e79", linewidth=0.6)
        label = str(np.datetime64(start, "us"))[:10]
        axes.set_ylabel(f"{label}\n|a| (g)" if by_day else "|a| (g)")
        if by_day:
            axes.set_xlim(0, 24)
            axes.set_xticks(range(0, 25, 3))
        else:
            axes.set_xlim(*span)
            _clock_axis(axes)
    if by_day:
        panels[-2].set_xlabel("hour of day (device clock)")
    strip = panels[-1]
    strip.plot(clock, warmth, color="#b5542a", linewidth=0.8)
    strip.set_ylabel("°C")
    strip.set_xlim(*span)
    _clock_axis(strip)
    strip.set_xlabel("device clock")
    figure.suptitle(f"{path.name}: |a| min–max and RMS per {bin_us / 1e6:g} s", fontsize=10)
    if out is not None:
        figure.savefig(out, dpi=90)
    return figure
