"""Non-wear detection: rows recorded while the device lay still off the body.

ggir ("2023"): 60 min windows stepping 15 min; a window in which at least 2 axes have SD below
13 mg and range below 150 mg is non-wear as a whole. actipy: runs of still 10 s windows (SD below
15 mg on every axis) lasting more than 90 min. vanhees2011 (van Hees et al. 2011): 30 min
windows with SD below 3 mg on at least 2 axes, or range below 50 mg on at least 2 axes.
"""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass

import numpy as np
import pandas as pd

from . import windows as win


@dataclass(frozen=True)
class NonwearRule:
    """The published choices of a method; each can be overridden by keyword."""

    window_s: float  # the span judged at once
    step_s: float  # how far windows step; a whole multiple of it divides window_s
    sd_limit_g: float
    range_limit_g: float | None  # None: the range is not looked at
    axes: int  # how many axes must meet the limits
    both: bool  # True: SD and range on the same axes; False: either on enough axes
    min_still_s: float = 0.0  # runs of still windows: how long they must last (actipy)


RULES = {
    "ggir": NonwearRule(3600.0, 900.0, 0.013, 0.150, 2, both=True),
    "actipy": NonwearRule(10.0, 10.0, 0.015, None, 3, both=True, min_still_s=5400.0),
    "vanhees2011": NonwearRule(1800.0, 1800.0, 0.003, 0.050, 2, both=False),
}


def rule_for(method: str, overrides: dict) -> NonwearRule:
    if method not in RULES:
        raise ValueError(f"method must be one of {sorted(RULES)}, not {method!r}")
    try:
        rule = dataclasses.replace(RULES[method], **overrides)
    except TypeError:
        known = [field.name for field in dataclasses.fields(NonwearRule)]
        unknown = sorted(set(overrides) - set(known))
        raise TypeError(f"detect_nonwear() got unknown options {unknown}; known: {known}") from None
    blocks = rule.window_s / rule.step_s
    if rule.step_s <= 0 or blocks < 1 or abs(blocks - round(blocks)) > 1e-9:
        raise ValueError("window_s must be a whole multiple of step_s")
    return rule


def _combined(values: np.ndarray, ends: np.ndarray, reduce, empty) -> np.ndarray:
    """reduce over blocks j .. ends[j] − 1 of each j, for windows spanning a few blocks."""
    result = values.copy()
    for shift in range(1, int(np.max(ends - np.arange(len(ends)), initial=1))):
        inside = np.arange(len(ends)) + shift < ends
        shifted = np.concatenate((values[:, shift:], np.full((len(values), shift), empty)), axis=1)
        result = np.where(inside, reduce(result, shifted), result)
    return result


def _window_flags(frame, rule: NonwearRule, windows: win.ClockWindows, times) -> np.ndarray:
    """Per block of `step_s`: whether a non-wear window covers it."""
    stats = win.moments(windows, win.axes_of(frame), extremes=rule.range_limit_g is not None)
    span = int(round(rule.window_s / rule.step_s))
    ids = windows.ids
    # Window j starts at block j and takes the blocks of the next `span` steps that hold rows.
    ends = np.searchsorted(ids, ids + span)
    totals = np.concatenate((np.zeros((3, 1)), np.cumsum(stats.sums, axis=1)), axis=1)
    squares = np.concatenate((np.zeros((3, 1)), np.cumsum(stats.squares, axis=1)), axis=1)
    counts = np.concatenate(([0], np.cumsum(windows.counts)))
    first = np.arange(len(ids))
    n = (counts[ends] - counts[first]).astype(np.float64)
    sums = totals[:, ends] - totals[:, first]
    with np.errstate(invalid="ignore", divide="ignore"):
        spread = (squares[:, ends] - squares[:, first] - sums * sums / n) / (n - 1)
    sds = np.sqrt(np.maximum(spread, 0.0))
    still_sd = sds < rule.sd_limit_g
    if rule.range_limit_g is None:
        still_range = np.ones_like(still_sd)
    else:
        # Extremes were gathered exactly because a range limit is set.
        assert stats.lows is not None and stats.highs is not None
        lows = _combined(stats.lows, ends, np.minimum, np.inf)
        highs = _combined(stats.highs, ends, np.maximum, -np.inf)
        still_range = (highs - lows) < rule.range_limit_g
    if rule.both:
        nonwear = np.sum(still_sd & still_range, axis=0) >= rule.axes
    else:
        nonwear = (np.sum(still_sd, axis=0) >= rule.axes) | (
            np.sum(still_range, axis=0) >= rule.axes
        )
    full_span = int(round(rule.window_s * win.US_PER_S))
    nonwear &= win.well_filled(n, full_span, win.sample_interval_us(times))
    # Every block of a non-wear window is non-wear: +1 where such a window starts, −1 after it.
    marks = np.zeros(len(ids) + 1, dtype=np.int64)
    np.add.at(marks, first[nonwear], 1)
    np.add.at(marks, ends[nonwear], -1)
    return np.cumsum(marks[:-1]) > 0


def _long_still_runs(windows: win.ClockWindows, still: np.ndarray, min_s: float) -> np.ndarray:
    """Still windows in runs of adjacent still windows whose starts lie more than min_s apart."""
    if not still.any():
        return still
    adjacent = np.concatenate(([False], np.diff(windows.ids) == 1))
    begins = still & ~(adjacent & np.concatenate(([False], still[:-1])))
    run = np.cumsum(begins)  # run number of each window; meaningful where still
    first = np.flatnonzero(begins)
    last = np.flatnonzero(still & ~np.concatenate((still[1:] & adjacent[1:], [False])))
    lasting = (windows.ids[last] - windows.ids[first]) * windows.width > min_s * win.US_PER_S
    return still & lasting[np.maximum(run - 1, 0)]


def _verdicts(frame: pd.DataFrame, method: str, options: dict):
    """The windows of the method's step, and whether each is non-wear."""
    rule = rule_for(method, options)
    win.check_sorted(frame)
    times = win.ticks(frame)
    windows = win.ClockWindows.over(times, win.width_us(rule.step_s))
    if rule.min_still_s > 0:
        stats = win.moments(windows, win.axes_of(frame))
        full = win.well_filled(windows.counts, windows.width, win.sample_interval_us(times))
        still = full & (np.sum(stats.sds < rule.sd_limit_g, axis=0) >= rule.axes)
        return windows, _long_still_runs(windows, still, rule.min_still_s)
    return windows, _window_flags(frame, rule, windows, times)


def nonwear_runs(frame: pd.DataFrame, *, method: str = "ggir", **options):
    """(first rows, end rows) of the runs of non-wear rows, found from the windows' verdicts
    without a pass over the rows."""
    windows, flags = _verdicts(frame, method, options)
    # The windows cover every row, so runs of flagged windows are runs of rows.
    first, stop = runs(flags)
    return windows.starts[first], windows.starts[stop - 1] + windows.counts[stop - 1]


def detect_nonwear(frame: pd.DataFrame, *, method: str = "ggir", **options) -> pd.Series:
    """True for the rows recorded while the device was not worn, aligned with the frame's rows.

    `method` is "ggir", "actipy" or "vanhees2011"; keyword options override the method's rule
    (see NonwearRule). Windows lie on the clock; a window holding less than half the rows its
    span would hold (the ends of a recording, gaps) is judged only within longer windows.
    """
    windows, flags = _verdicts(frame, method, options)
    return pd.Series(windows.rows_of(flags), index=frame.index, name="nonwear", copy=False)


def runs(values: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """First row and end row of each run of True values."""
    values = np.asarray(values, dtype=bool)
    changes = np.flatnonzero(values[1:] != values[:-1]) + 1
    bounds = np.concatenate(([0], changes, [len(values)]))
    held = values[bounds[:-1]] if len(values) else values
    return bounds[:-1][held], bounds[1:][held]


def nonwear_episodes(nonwear: pd.Series) -> pd.DataFrame:
    """One row per run of non-wear rows: start (first row's time), end, duration.

    `end` is the last row's time plus the typical row spacing, so that durations add up to the
    time covered.
    """
    if not isinstance(nonwear.index, pd.DatetimeIndex):
        raise TypeError("the series' index must be a DatetimeIndex")
    return episodes_of(nonwear.index, *runs(nonwear.to_numpy()))


def episodes_of(index: pd.DatetimeIndex, first: np.ndarray, stop: np.ndarray) -> pd.DataFrame:
    step = pd.Timedelta(0)
    if len(first):
        interval = win.sample_interval_us(win.ticks(pd.DataFrame(index=index)))
        if np.isfinite(interval):
            step = pd.Timedelta(microseconds=interval)
    start = index[first]
    end = index[stop - 1] + step
    return pd.DataFrame({"start": start, "end": end, "duration": end - start})
