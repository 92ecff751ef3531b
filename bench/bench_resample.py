"""Benchmark of resampled reads on a synthetic week-long 100 Hz recording; prints ratios.

Usage: PYTHONPATH=<build dir> python bench/bench_resample.py [--runs N] [--hz HZ]

Measures, by the rules of measure.py: read_cwa_file(resample_hz=100) against the plain
read_cwa_file (target: ratio of the medians at most 2.0), the peak RSS of the resampled read
against the DataFrame's bytes (limit 1.10 x frame + 64 MiB), a one-hour seconds cut at 30 Hz from
the middle of the week, which must stop reading once its grid is complete, and the instructions
per row of both reads.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).parent))

import measure
from measure import Side, alternate, callgrind_instructions, report_ratio
from synthetic import synthetic_recording

SMALL = str(pathlib.Path(__file__).resolve().parent.parent / "examples" / "sample.cwa")

# Untimed: the first read of a process also imports the parts of pandas that building a frame
# needs, a one-off cost that a study reading thousands of files pays once.
SETUP = """
import pandas, velmora
path, start, end, hz = sys.argv[1:5]
cut = None if start == "-" else velmora.seconds(float(start), float(end))
resample_hz = None if hz == "-" else float(hz)
velmora.read_cwa_file(sys.argv[5], resample_hz=resample_hz)

def read():
    frame = velmora.read_cwa_file(path, cut, resample_hz=resample_hz)
    return _keep(frame, int(frame.memory_usage(index=True, deep=False).sum()))
"""


def side(name: str, path: pathlib.Path, hz: str, start: str = "-", end: str = "-") -> Side:
    return Side(name, SETUP, "read()", [str(path), start, end, hz, SMALL])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument(
        "--skip-instructions", action="store_true", help="leave out the callgrind counts (slow)"
    )
    parser.add_argument("--hz", default="100")
    options = parser.parse_args()
    measure.SKIP_CALLGRIND = options.skip_instructions
    week = synthetic_recording("week")
    hour = synthetic_recording("hour")
    # Page the file in so that every run reads from the cache.
    with open(week, "rb") as handle:
        while handle.read(1 << 24):
            pass

    plain = side("plain read_cwa_file", week, "-")
    resampled = side(f"read_cwa_file(resample_hz={options.hz})", week, options.hz)
    alternate(resampled, plain, options.runs)
    print(f"file: {week} ({os.path.getsize(week) / 2**20:.0f} MiB, {plain.runs[0]['rows']} rows)")
    report_ratio("resampled / plain read", resampled, plain, 2.0)

    frame_mb = resampled.runs[0]["extra"] / 2**20
    peak_mb = max(run["peak_rss"] for run in resampled.runs) / 2**20
    print(
        f"peak RSS of the resampled read: {peak_mb:.0f} MiB = {peak_mb / frame_mb:.3f} x frame "
        f"({frame_mb:.0f} MiB); limit 1.10 x frame + 64 = {1.10 * frame_mb + 64:.0f} MiB"
    )

    middle = 3.5 * 86400
    cut = side("one-hour seconds cut at 30 Hz", week, "30", str(middle), str(middle + 3600))
    for _ in range(3):
        cut.run()
    print(
        f"one-hour seconds cut at 30 Hz: best {cut.best():.3f} s ({cut.runs[0]['rows']} rows) = "
        f"{cut.best() / plain.best():.3f} of the plain whole read"
    )

    # User-space instructions of the core reads on the one-hour file.
    counted = {}
    for name, hz in (("resampled", options.hz), ("plain", "-")):
        hour_side = side(name, hour, hz)
        counted[name] = callgrind_instructions(hour_side, "velmora::read_cwa_data*")
    if None not in counted.values():
        rows = (hour.stat().st_size - 1024) // 512 * 120
        print(
            f"instructions per row (callgrind, one-hour file, core read only): resampled "
            f"{counted['resampled'] / rows:.1f}, plain {counted['plain'] / rows:.1f}"
        )


if __name__ == "__main__":
    main()
