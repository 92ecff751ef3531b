"""Analysis-ready data in one call: read, filter, calibrate, flag non-wear, summarise in epochs.

The presets follow the two established pipelines: ggir (the R package most studies use) and
actipy (the Python tools of the UK Biobank pipeline). Every step can be changed or switched off
by keyword, and the report records what each step decided.
"""

from __future__ import annotations

import dataclasses
import os
import pathlib
from dataclasses import dataclass

import numpy as np
import pandas as pd

import velmora

from . import windows as win
from .calibration import calibrate_frame
from .calibration import rule_for as calibration_rule
from .epoch_table import METRICS, epochs
from .filtering import lowpass
from .nonwear import episodes_of, nonwear_runs
from .nonwear import rule_for as nonwear_rule
from .recording import readable

DAY_WEAR_H = 16.0


@dataclass(frozen=True)
class Steps:
    """What prepare does; a preset is one of these, and keywords of the same names change it."""

    lowpass_hz: float | None  # None: no filter
    lowpass_order: int
    calibration: str | None  # a calibrate method, None: none
    calibration_options: dict | None
    nonwear: str | None  # a detect_nonwear method, None: none
    nonwear_options: dict | None
    epoch: str
    metrics: tuple


PRESETS = {
    "ggir": Steps(None, 8, "ggir", None, "ggir", None, "5s", METRICS),
    "actipy": Steps(20.0, 8, "actipy", None, "actipy", None, "60s", METRICS),
}
STEP_NAMES = tuple(field.name for field in dataclasses.fields(Steps))


def steps_for(preset: str, options: dict) -> Steps:
    """The preset with the step keywords among `options` applied; they are taken out of it."""
    if preset not in PRESETS:
        raise ValueError(f"preset must be one of {sorted(PRESETS)}, not {preset!r}")
    chosen = {name: options.pop(name) for name in STEP_NAMES if name in options}
    if "metrics" in chosen:
        chosen["metrics"] = tuple(chosen["metrics"])
    steps = dataclasses.replace(PRESETS[preset], **chosen)
    # Checked here, before any file is read, so that a study does not fail file by file.
    if steps.calibration is not None:
        calibration_rule(steps.calibration, steps.calibration_options or {})
    if steps.nonwear is not None:
        nonwear_rule(steps.nonwear, steps.nonwear_options or {})
    unknown = [name for name in steps.metrics if name not in METRICS]
    if unknown:
        raise ValueError(f"unknown metric {unknown[0]!r}; known: {list(METRICS)}")
    win.width_us(steps.epoch)
    return steps


def reader():
    """The salvaging reader where the package has one, which keeps what a damaged file still holds."""
    import velmora_batch

    return getattr(velmora_batch, "read_salvaged", None) or velmora.read_cwa_file


def wear_summary(table: pd.DataFrame, interval_us: float) -> dict:
    """Wear hours, days with at least 16 h of wear, and the mean ENMO over worn rows."""
    samples = table["samples"].to_numpy(dtype=np.float64)
    worn = samples * (1.0 - table["nonwear"].to_numpy()) if "nonwear" in table else samples
    seconds = worn * (interval_us / win.US_PER_S if np.isfinite(interval_us) else 0.0)
    index = table.index
    assert isinstance(index, pd.DatetimeIndex)  # an epochs table is indexed by epoch start
    days = pd.Series(seconds, index=index).groupby(index.floor("D")).sum()
    summary = {
        "wear_hours": float(seconds.sum() / 3600.0),
        "days": len(days),
        "days_16h_wear": int((days >= DAY_WEAR_H * 3600.0).sum()),
        "mean_enmo_mg_worn": None,
    }
    if "enmo" in table and worn.sum() > 0:
        summary["mean_enmo_mg_worn"] = float(np.sum(table["enmo"].to_numpy() * worn) / worn.sum())
    return summary


def prepare_frame(
    samples: pd.DataFrame, steps: Steps, *, owned: bool = False
) -> tuple[pd.DataFrame, pd.DataFrame, dict]:
    """The steps on a frame already read; returns (samples, epochs, report).

    `owned`: nothing else holds the frame's buffers, so the calibration may overwrite them.
    """
    report: dict = {"steps": dataclasses.asdict(steps), "rows": len(samples)}
    interval = win.sample_interval_us(win.ticks(samples))
    if steps.lowpass_hz is not None:
        rate = win.US_PER_S / interval if np.isfinite(interval) else 0.0
        if steps.lowpass_hz < rate / 2:
            samples = lowpass(samples, steps.lowpass_hz, steps.lowpass_order)
            report["lowpass"] = samples.attrs["lowpass"]
            owned = True  # the filtered axes are new arrays
        else:
            # As actipy does: a recording too slow for the filter is used as it is, so that one
            # 25 Hz file does not stop a study.
            report["lowpass"] = {
                "hz": float(steps.lowpass_hz),
                "skipped": f"the sample rate {rate:g} Hz is not above twice the cutoff",
            }
    if steps.calibration is not None:
        # In place when the axes are this function's own: a week's copy of them costs 720 MB
        # and their first touch.
        samples, report["calibration"] = calibrate_frame(
            samples, steps.calibration, steps.calibration_options or {}, in_place=owned
        )
    found = None
    if steps.nonwear is not None:
        found = nonwear_runs(samples, method=steps.nonwear, **(steps.nonwear_options or {}))
        index = samples.index
        assert isinstance(index, pd.DatetimeIndex)  # nonwear_runs turned any other away
        episodes = episodes_of(index, *found)
        report["nonwear"] = {
            "method": steps.nonwear,
            "fraction": float(np.sum(found[1] - found[0]) / len(samples)),
            "hours": float(pd.Timedelta(episodes["duration"].sum()) / pd.Timedelta(hours=1)),
            "episodes": [
                {"start": start.isoformat(), "end": end.isoformat()}
                for start, end in zip(episodes["start"], episodes["end"])
            ],
        }
    table = epochs(samples, steps.epoch, steps.metrics, nonwear_runs=found)
    report["epochs"] = len(table)
    report["summary"] = wear_summary(table, interval)
    return samples, table, report


def prepare(path, preset: str = "ggir", **options) -> tuple[pd.DataFrame, pd.DataFrame, dict]:
    """Reads a recording and makes it analysis-ready; returns (samples, epochs, report).

    preset "ggir": calibrate (ggir), non-wear (ggir), 5 s epochs. "actipy": 20 Hz low-pass,
    calibrate (actipy), non-wear (actipy), 60 s epochs. Keywords named as the fields of Steps
    change a step (None switches lowpass_hz, calibration or nonwear off; calibration_options and
    nonwear_options are dicts of that function's options); all other keywords go to the reader
    (read_cwa_file's cut, include_*, resample_hz, fixed_utc_offset_timezone). `path` may be a
    .cwa or .cwa.gz file, as str or os.PathLike.
    """
    steps = steps_for(preset, options)
    with readable(pathlib.Path(os.fspath(path))) as source:
        samples = reader()(source, **options)
    samples, table, report = prepare_frame(samples, steps, owned=True)
    report = {"preset": preset, **report}
    return samples, table, report
