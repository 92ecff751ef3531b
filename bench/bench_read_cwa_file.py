"""Benchmark of read_cwa_file on a synthetic week-long 100 Hz recording; prints ratios.

Usage: PYTHONPATH=<build dir> python bench/bench_read_cwa_file.py [--runs N]

Measures, by the rules of measure.py: read_cwa_file with the default channels against
numpy.empty plus fill of the same dtypes and lengths (target: ratio of the medians at most 1.2),
peak RSS against the DataFrame's bytes, a one-hour seconds cut from the middle of the week against
the whole read, and the instructions per row of both sides.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import measure
from measure import Side, alternate, callgrind_instructions, report_ratio
from synthetic import synthetic_recording

SMALL = str(pathlib.Path(__file__).resolve().parent.parent / "examples" / "sample.cwa")

# Untimed: the first read of a process also imports the parts of pandas that building a frame
# needs, a one-off cost that a study reading thousands of files pays once.
READ_SETUP = """
import pandas, velmora
path, start, end, small = sys.argv[1:5]
cut = None if start == "-" else velmora.seconds(float(start), float(end))
velmora.read_cwa_file(small, None if cut is None else velmora.seconds(0.0, 60.0))

def read():
    frame = velmora.read_cwa_file(path, cut)
    dtypes = ",".join(["int64"] + [str(frame[c].dtype) for c in frame.columns])
    return _keep(frame, [int(frame.memory_usage(index=True, deep=False).sum()), dtypes])
"""

FILL_SETUP = """
rows, dtypes = int(sys.argv[1]), sys.argv[2].split(",")
for dtype in dtypes:  # untimed, as the read's first call
    numpy.empty(1000, dtype=dtype).fill(1)

def fill():
    arrays = []
    for dtype in dtypes:
        array = numpy.empty(rows, dtype=dtype)
        array.fill(1)
        arrays.append(array)
    return _keep(arrays) and rows
"""


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument(
        "--skip-instructions", action="store_true", help="leave out the callgrind counts (slow)"
    )
    options = parser.parse_args()
    measure.SKIP_CALLGRIND = options.skip_instructions
    week = synthetic_recording("week")
    hour = synthetic_recording("hour")
    # Page the file in so that every run reads from the cache.
    with open(week, "rb") as handle:
        while handle.read(1 << 24):
            pass

    read = Side("read_cwa_file", READ_SETUP, "read()", [str(week), "-", "-", SMALL])
    read.run()
    rows = read.runs[0]["rows"]
    frame_bytes, dtypes = read.runs[0]["extra"]
    fill = Side("numpy.empty + fill", FILL_SETUP, "fill()", [str(rows), dtypes])
    fill.run()
    alternate(read, fill, options.runs - 1)
    print(f"file: {week} ({os.path.getsize(week) / 2**20:.0f} MiB, {rows} rows, {dtypes})")
    report_ratio("plain read / NumPy allocate-and-fill", read, fill, 1.2)

    frame_mb = frame_bytes / 2**20
    peak_mb = max(run["peak_rss"] for run in read.runs) / 2**20
    print(
        f"peak RSS: {peak_mb:.0f} MiB = {peak_mb / frame_mb:.3f} x frame ({frame_mb:.0f} MiB); "
        f"limit 1.10 x frame + 64 = {1.10 * frame_mb + 64:.0f} MiB"
    )
    middle = 3.5 * 86400
    cut = Side(
        "one-hour cut", READ_SETUP, "read()", [str(week), str(middle), str(middle + 3600), SMALL]
    )
    for _ in range(3):
        cut.run()
    print(
        f"one-hour seconds cut (middle): best {cut.best():.3f} s = "
        f"{cut.best() / read.best():.3f} of the whole read (target <= 0.15)"
    )

    hour_rows = (hour.stat().st_size - 1024) // 512 * 120
    counted = callgrind_instructions(
        Side("read", READ_SETUP, "read()", [str(hour), "-", "-", SMALL]), "velmora::read_cwa_data*"
    )
    floor = callgrind_instructions(
        Side("fill", FILL_SETUP, "fill()", [str(hour_rows), dtypes]), None
    )
    if counted is not None and floor is not None:
        print(
            f"instructions per row (callgrind, one-hour file, user space): core read "
            f"{counted / hour_rows:.1f}, NumPy fill {floor / hour_rows:.1f}"
        )


if __name__ == "__main__":
    main()
