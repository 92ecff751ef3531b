"""quality: a recording's damaged blocks, checksum failures, time jumps, gaps, rate and clipping.

Everything but the clipping count comes from the block scan (packet headers only); the clipping
count needs the samples, and so one read of the accelerometer columns.
"""

from __future__ import annotations

import dataclasses
import json

import numpy as np

from .blocks import DAMAGED, DATA, KINDS, RawScan, raw_scan

GAP_US = 1_000_000  # a break the readers do not join across (their continuity threshold)
JUMP_US = 3_600_000_000  # consecutive packets this far apart in time are suspect
HOUR_US = 3_600_000_000
MIN_HOUR_COVER_US = 600_000_000  # hours covered less than this are too short to rate
LISTED = 100  # runs, gaps and jumps listed in full; the counts cover all of them
CHECKSUM_REASON = "Checksum mismatch"


def _time_of(us) -> str:
    return str(np.datetime64(int(us), "us"))


def _time_text(us) -> str | None:
    return None if us is None else _time_of(us)


@dataclasses.dataclass
class DamagedRun:
    first_block: int
    last_block: int
    reason: str  # the distinct reasons of the run's blocks, joined by "; "
    lost_from: str | None  # natural end of the intact data block before the run
    lost_to: str | None  # natural start of the intact data block after it
    lost_seconds: float | None


@dataclasses.dataclass
class Gap:
    after_block: int
    before_block: int
    start: str
    end: str
    seconds: float


@dataclasses.dataclass
class TimeJump:
    previous_block: int
    block: int
    seconds: float  # natural start of `block` minus natural end of `previous_block`


@dataclasses.dataclass
class Quality:
    """The summary; every field is a plain JSON value, a list of dataclasses or None."""

    path: str
    blocks: int
    data_blocks: int
    skipped_blocks: int
    damaged_blocks: int
    truncated_blocks: int
    dropped_blocks: int  # left out of a salvaged read: damaged, truncated, and failing checksums
    #   when those are dropped
    damaged_runs: int
    damaged_run_list: list[DamagedRun]
    checksum_failures: int
    checksum_failed_blocks: list[int]
    suspect_blocks: list[int]
    time_jumps: list[TimeJump]
    gaps: int
    gap_seconds_total: float
    gap_seconds_longest: float | None
    gap_longest_at: str | None
    gap_list: list[Gap]
    nominal_rate_hz: float | None
    effective_rate_hz: float | None
    worst_hour_start: str | None
    worst_hour_rate_hz: float | None
    clipped_samples: int | None
    clipped_fraction: float | None
    accel_range_g: int | None
    data_start: str | None
    data_end: str | None
    data_seconds: float | None

    def to_dict(self) -> dict:
        return dataclasses.asdict(self)

    def to_json(self, **dumps) -> str:
        return json.dumps(self.to_dict(), **dumps)

    def counts(self) -> dict:
        """The scalar facts, for a table with one row per recording."""
        return {
            field.name: getattr(self, field.name)
            for field in dataclasses.fields(self)
            if field.name in COUNT_KEYS
        }


COUNT_KEYS = (
    "data_blocks",
    "skipped_blocks",
    "damaged_blocks",
    "truncated_blocks",
    "dropped_blocks",
    "damaged_runs",
    "checksum_failures",
    "gaps",
    "gap_seconds_total",
    "gap_seconds_longest",
    "effective_rate_hz",
    "worst_hour_rate_hz",
    "clipped_samples",
    "clipped_fraction",
)


def quality(path, *, drop_bad_checksums: bool = True) -> Quality:
    """Summarises a recording's condition (see Quality); with `drop_bad_checksums` (the default,
    as convert does) blocks whose checksum fails count as lost, like damaged blocks.

    Raises RuntimeError with the reader's text when the file is no CWA file at all. The
    clipping count reads the accelerometer columns of the salvaged recording; it is None when
    no intact data block is left.
    """
    from .salvage import masked_read

    scan = raw_scan(path)
    clipped = None
    try:
        frame = masked_read(
            scan,
            drop_bad_checksums,
            include_magnetometer=False,
            include_temperature=False,
            include_light=False,
            include_battery=False,
        )
    except RuntimeError:
        frame = None  # nothing readable is left; the scan still describes the file
    if frame is not None:
        clipped = count_clipped(frame, scan.accel_range)
        del frame
    return summarise(scan, drop_bad_checksums, clipped)


def count_clipped(frame, accel_range) -> tuple[int, int] | None:
    """(samples with an axis at or beyond the range limit, samples) of a frame's acc columns."""
    if accel_range is None:
        return None
    from .blocks import _extension

    axes = [np.ascontiguousarray(frame[name].to_numpy()) for name in ("acc_x", "acc_y", "acc_z")]
    return _extension().count_at_limit(*axes, float(accel_range)), len(frame)


@dataclasses.dataclass(frozen=True)
class _Blocks:
    """Some of the scan's blocks, as contiguous arrays (the scan's fields are strided views)."""

    index: np.ndarray
    start_us: np.ndarray
    end_us: np.ndarray
    samples: np.ndarray  # uint16
    rate_hz: np.ndarray
    sequence_id: np.ndarray

    @classmethod
    def pick(cls, scan: RawScan, mask: np.ndarray) -> _Blocks:
        if mask.all():  # the usual case, which needs no copies
            fields = (scan.start_us, scan.end_us, scan.samples, scan.rate_hz, scan.sequence_id)
            return cls(np.arange(len(mask)), *fields)
        return cls(
            np.flatnonzero(mask),
            scan.start_us[mask],
            scan.end_us[mask],
            scan.samples[mask],
            scan.rate_hz[mask],
            scan.sequence_id[mask],
        )


def summarise(scan: RawScan, drop_bad_checksums: bool, clipped=None) -> Quality:
    kind = scan.kind
    data = kind == DATA
    bad_checksum = data & ~scan.checksum_ok
    dropped_sums = bad_checksum if drop_bad_checksums else np.zeros_like(bad_checksum)
    kept = _Blocks.pick(scan, data & ~dropped_sums)
    lost = (kind == DAMAGED) | dropped_sums
    counts = np.bincount(kind, minlength=len(KINDS))
    runs = _damaged_runs(scan, lost, kept)
    return Quality(
        path=scan.path,
        blocks=len(kind),
        data_blocks=int(counts[DATA]),
        skipped_blocks=int(counts[1]),
        damaged_blocks=int(counts[DAMAGED]),
        truncated_blocks=int(counts[3]),
        dropped_blocks=int(np.count_nonzero(lost)) + int(counts[3]),
        damaged_runs=runs[0],
        damaged_run_list=runs[1],
        checksum_failures=int(np.count_nonzero(bad_checksum)),
        checksum_failed_blocks=np.flatnonzero(bad_checksum)[:LISTED].tolist(),
        **_jumps(_Blocks.pick(scan, data) if drop_bad_checksums else kept),
        **_gaps(kept),
        **_rates(kept),
        clipped_samples=None if clipped is None else clipped[0],
        clipped_fraction=None if clipped is None or clipped[1] == 0 else clipped[0] / clipped[1],
        accel_range_g=scan.accel_range,
        **_span(kept),
    )


def _damaged_runs(scan: RawScan, lost: np.ndarray, kept: _Blocks):
    lost_blocks = np.flatnonzero(lost)
    if len(lost_blocks) == 0:
        return 0, []
    breaks = np.flatnonzero(np.diff(lost_blocks) > 1)
    firsts = np.concatenate(([lost_blocks[0]], lost_blocks[breaks + 1]))
    lasts = np.concatenate((lost_blocks[breaks], [lost_blocks[-1]]))
    listed = []
    for first, last in zip(firsts[:LISTED].tolist(), lasts[:LISTED].tolist()):
        # Distinct reasons in order of first appearance; code 0 is a failing checksum.
        codes = scan.reason[first : last + 1]
        distinct, at = np.unique(codes, return_index=True)
        reasons = [
            scan.reasons[code - 1] if code else CHECKSUM_REASON
            for code in distinct[np.argsort(at)].tolist()
        ]
        before = np.searchsorted(kept.index, first) - 1
        after = np.searchsorted(kept.index, last, side="right")
        lost_from = int(kept.end_us[before]) if before >= 0 else None
        lost_to = int(kept.start_us[after]) if after < len(kept.index) else None
        seconds = None
        if lost_from is not None and lost_to is not None:
            seconds = (lost_to - lost_from) / 1e6
        listed.append(
            DamagedRun(
                first, last, "; ".join(reasons), _time_text(lost_from), _time_text(lost_to), seconds
            )
        )
    return len(firsts), listed


def _jumps(data: _Blocks) -> dict:
    in_sequence = (data.sequence_id[1:] - data.sequence_id[:-1]) == 1  # uint32: wraps as the id
    step = data.start_us[1:] - data.end_us[:-1]
    jump_at = np.flatnonzero(in_sequence & (np.abs(step) > JUMP_US))
    # A block with a jump on each side is the odd one out, and the jump back is its own; any
    # other jump marks the block after it.
    suspect, previous_jump, taken = [], None, False
    for i in jump_at[: 2 * LISTED].tolist():
        if taken and previous_jump == i - 1:
            taken = False
        else:
            suspect.append(int(data.index[i + 1]))
            taken = True
        previous_jump = i
    jumps = [
        TimeJump(int(data.index[i]), int(data.index[i + 1]), int(step[i]) / 1e6)
        for i in jump_at[:LISTED].tolist()
    ]
    return {"suspect_blocks": suspect[:LISTED], "time_jumps": jumps}


def _gaps(kept: _Blocks) -> dict:
    step = kept.start_us[1:] - kept.end_us[:-1]
    at = np.flatnonzero(step >= GAP_US)
    if len(at) == 0:
        return {
            "gaps": 0,
            "gap_seconds_total": 0.0,
            "gap_seconds_longest": None,
            "gap_longest_at": None,
            "gap_list": [],
        }
    seconds = step[at] / 1e6
    longest = int(np.argmax(seconds))
    listed = [
        Gap(
            int(kept.index[i]),
            int(kept.index[i + 1]),
            _time_of(kept.end_us[i]),
            _time_of(kept.start_us[i + 1]),
            float(step[i]) / 1e6,
        )
        for i in at[:LISTED].tolist()
    ]
    return {
        "gaps": len(at),
        "gap_seconds_total": float(seconds.sum()),
        "gap_seconds_longest": float(seconds[longest]),
        "gap_longest_at": _time_text(kept.end_us[at[longest]]),
        "gap_list": listed,
    }


def _rates(kept: _Blocks) -> dict:
    none = {
        "nominal_rate_hz": None,
        "effective_rate_hz": None,
        "worst_hour_start": None,
        "worst_hour_rate_hz": None,
    }
    if len(kept.index) == 0:
        return none
    nominal = float(kept.rate_hz[0])
    if not (kept.rate_hz == nominal).all():  # the rate most samples were taken at
        rates, at = np.unique(kept.rate_hz, return_inverse=True)
        nominal = float(rates[np.argmax(np.bincount(at, weights=kept.samples))])
    start = int(kept.start_us[0])
    end = int(kept.end_us[-1])
    if end <= start:
        return dict(none, nominal_rate_hz=nominal)
    effective = float(kept.samples.sum(dtype=np.int64)) / ((end - start) / 1e6)
    # Samples per clock hour, against the part of that hour the recording spans. Times outside
    # the span (a suspect block far off) fall out of the hours rated.
    inside = (kept.start_us >= start) & (kept.start_us < end)
    first_hour = start // HOUR_US
    hour = kept.start_us[inside] // HOUR_US - first_hour
    hours = int(end // HOUR_US - first_hour) + 1
    per_hour = np.bincount(hour, weights=kept.samples[inside], minlength=hours)
    bounds = (first_hour + np.arange(hours + 1)) * HOUR_US
    cover = np.minimum(bounds[1:], end) - np.maximum(bounds[:-1], start)
    rated = cover >= min(MIN_HOUR_COVER_US, end - start)
    hour_rate = np.where(rated, per_hour / np.maximum(cover, 1) * 1e6, np.inf)
    worst = int(np.argmin(hour_rate))
    return {
        "nominal_rate_hz": nominal,
        "effective_rate_hz": effective,
        "worst_hour_start": _time_text(bounds[worst]),
        "worst_hour_rate_hz": float(hour_rate[worst]),
    }


def _span(kept: _Blocks) -> dict:
    if len(kept.index) == 0:
        return {"data_start": None, "data_end": None, "data_seconds": None}
    start = int(kept.start_us[0])
    end = int(kept.end_us[-1])
    return {
        "data_start": _time_text(start),
        "data_end": _time_text(end),
        "data_seconds": (end - start) / 1e6,
    }


INVENTORY_KEYS = tuple(key for key in COUNT_KEYS if not key.startswith("clipped"))


def header_counts(path) -> dict:
    """The summary's counts from the block scan alone (no clipping count, which needs samples)."""
    return scan_counts(raw_scan(path))


def scan_counts(scan: RawScan) -> dict:
    """header_counts of a scan already made."""
    summary = summarise(scan, True)
    return {key: getattr(summary, key) for key in INVENTORY_KEYS}


def marked_spans(summary: Quality | dict) -> list[tuple[str, str, str]]:
    """(start, end, "gap" | "damaged") of the listed gaps and damaged runs, as time texts; a run
    at the recording's edge, with no intact neighbour on one side, is left out."""
    facts = summary.to_dict() if isinstance(summary, Quality) else summary
    spans = [(gap["start"], gap["end"], "gap") for gap in facts["gap_list"]]
    for run in facts["damaged_run_list"]:
        if run["lost_from"] is not None and run["lost_to"] is not None:
            spans.append((run["lost_from"], run["lost_to"], "damaged"))
    return spans


def summary_text(summary: Quality) -> str:
    """The summary as a few lines for a terminal."""
    lines = [
        f"{summary.path}",
        f"  blocks: {summary.data_blocks} data, {summary.skipped_blocks} skipped, "
        f"{summary.damaged_blocks} damaged, {summary.truncated_blocks} truncated; "
        f"{summary.dropped_blocks} dropped by a salvaged read",
        f"  data: {summary.data_start} to {summary.data_end} ({summary.data_seconds} s)",
        f"  checksum failures: {summary.checksum_failures}; suspect blocks: "
        f"{summary.suspect_blocks or 'none'}",
        f"  gaps of 1 s or more: {summary.gaps}, {summary.gap_seconds_total:g} s in all"
        + (
            f", longest {summary.gap_seconds_longest:g} s at {summary.gap_longest_at}"
            if summary.gaps
            else ""
        ),
        f"  rate: nominal {summary.nominal_rate_hz} Hz, effective {_hz(summary.effective_rate_hz)}, "
        f"worst hour {_hz(summary.worst_hour_rate_hz)} from {summary.worst_hour_start}",
        f"  at the ±{summary.accel_range_g} g limit: {summary.clipped_samples} samples "
        f"({_percent(summary.clipped_fraction)})",
    ]
    for run in summary.damaged_run_list:
        lines.append(
            f"  damaged blocks {run.first_block}-{run.last_block}: {run.reason}; "
            f"lost {run.lost_seconds} s from {run.lost_from}"
        )
    return "\n".join(lines)


def _hz(rate: float | None) -> str:
    # Three decimals tell a drifting clock from a steady one; the JSON form keeps every digit.
    return "unknown" if rate is None else f"{rate:.3f} Hz"


def _percent(fraction: float | None) -> str:
    return "unknown" if fraction is None else f"{fraction:.4%}"
