"""Benchmark of read_cwa_file on a synthetic week-long 100 Hz recording; prints ratios.

Usage: PYTHONPATH=<build dir> python bench/bench_read_cwa_file.py [--build-dir DIR] [--runs N]

Measures, each in a fresh subprocess: read_cwa_file with the default channels against numpy.empty
plus fill of the same dtypes and lengths, peak RSS against the DataFrame's bytes, and a one-hour
seconds cut from the middle of the week against the whole read (best of five in its process).
Each child first reads a small file untimed, so one-off imports stay out of the figures. With
valgrind and the core-only executable velmora_core_read (configure with -DVELMORA_BUILD_BENCH=ON)
it also counts the core's instructions per row on a one-hour file.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import re
import shutil
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from synthetic import synthetic_recording
from warm_up import WARM_UP

READ_CHILD = (
    WARM_UP
    + """
import json, resource, sys, time
import numpy, pandas, velmora

def rss():
    for line in open("/proc/self/status"):
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) * 1024

path, start, end, small, repeat = sys.argv[1:6]
cut = None if start == "-" else velmora.seconds(float(start), float(end))
# Untimed: the first read of a process also imports the parts of pandas that building a frame
# needs, a one-off cost that a study reading thousands of files pays once.
velmora.read_cwa_file(small, None if cut is None else velmora.seconds(0.0, 60.0))
before = rss()
# A short read is timed as the best of a few in the same process: a few milliseconds are easily
# lost to the kernel still tidying up after the previous child's gigabytes.
best = None
for _ in range(int(repeat)):
    cpu = time.process_time()
    began = time.perf_counter()
    frame = velmora.read_cwa_file(path, cut)
    seconds = time.perf_counter() - began
    cpu_seconds = time.process_time() - cpu
    if best is None or seconds < best[0]:
        best = (seconds, cpu_seconds)
seconds, cpu_seconds = best
print(json.dumps({
    "seconds": seconds,
    "cpu_seconds": cpu_seconds,
    "rows": len(frame),
    "columns": [str(frame[c].dtype) for c in frame.columns],
    "frame_bytes": int(frame.memory_usage(index=True, deep=False).sum()),
    "rss_before": before,
    "peak_rss": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024,
}))
"""
)

FILL_CHILD = (
    WARM_UP
    + """
import json, sys, time
import numpy, pandas

rows, dtypes = int(sys.argv[1]), sys.argv[2].split(",")
for dtype in dtypes:  # untimed, as the read's first call
    numpy.empty(1000, dtype=dtype).fill(1)
cpu = time.process_time()
began = time.perf_counter()
arrays = []
for dtype in dtypes:
    array = numpy.empty(rows, dtype=dtype)
    array.fill(1)
    arrays.append(array)
seconds = time.perf_counter() - began
print(json.dumps({"seconds": seconds, "cpu_seconds": time.process_time() - cpu}))
"""
)


def run_child(script: str, *arguments: str) -> dict:
    result = subprocess.run(
        [sys.executable, "-c", script, *arguments], capture_output=True, text=True, check=True
    )
    return json.loads(result.stdout)


def best_of(results: list) -> dict:
    best = min(results, key=lambda r: r["seconds"])
    best["median_seconds"] = statistics.median(r["seconds"] for r in results)
    best["min_cpu_seconds"] = min(r["cpu_seconds"] for r in results)
    return best


def instructions_per_row(core_read: pathlib.Path, path: pathlib.Path) -> tuple[int, int] | None:
    valgrind = shutil.which("valgrind")
    if valgrind is None or not core_read.exists():
        return None
    with tempfile.TemporaryDirectory() as work:
        out = pathlib.Path(work) / "callgrind.out"
        run = subprocess.run(
            [
                valgrind,
                "--tool=callgrind",
                f"--callgrind-out-file={out}",
                "--toggle-collect=velmora::read_cwa_data*",
                str(core_read),
                str(path),
            ],
            capture_output=True,
            text=True,
            check=True,
        )
        rows = int(run.stdout.strip())
        totals = re.search(r"^(?:summary|totals):\s*(\d+)", out.read_text(), re.MULTILINE)
        return int(totals.group(1)), rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", type=pathlib.Path, default=pathlib.Path("build"))
    parser.add_argument("--runs", type=int, default=7)
    options = parser.parse_args()
    week = synthetic_recording("week")
    small = str(pathlib.Path(__file__).resolve().parent.parent / "examples" / "sample.cwa")
    hour = synthetic_recording("hour")
    # Page the file in so that every run reads from the cache.
    with open(week, "rb") as handle:
        while handle.read(1 << 24):
            pass

    # Alternate the runs so that both sides see the same background load.
    middle = 3.5 * 86400
    reads, fills, cuts = [], [], []
    for _ in range(options.runs):
        reads.append(run_child(READ_CHILD, "warm", str(week), "-", "-", small, "1"))
        dtypes = ",".join(["int64"] + reads[-1]["columns"])
        fills.append(run_child(FILL_CHILD, "warm", str(reads[-1]["rows"]), dtypes))
        cuts.append(
            run_child(READ_CHILD, "warm", str(week), str(middle), str(middle + 3600), small, "5")
        )
    whole, fill, cut = best_of(reads), best_of(fills), best_of(cuts)
    memory = run_child(READ_CHILD, "cold", str(week), "-", "-", small, "1")

    frame_mb = whole["frame_bytes"] / 2**20
    peak_mb = memory["peak_rss"] / 2**20
    growth_mb = (memory["peak_rss"] - memory["rss_before"]) / 2**20
    print(f"file: {week} ({os.path.getsize(week) / 2**20:.0f} MiB, {whole['rows']} rows)")
    print(
        f"read_cwa_file, default channels:  {whole['seconds']:.3f} s "
        f"(median {whole['median_seconds']:.3f} s)"
    )
    print(
        f"numpy.empty + fill, same arrays:   {fill['seconds']:.3f} s "
        f"(median {fill['median_seconds']:.3f} s)"
    )
    print(
        f"ratio read / fill:                 {whole['seconds'] / fill['seconds']:.2f} "
        "(target <= 1.3)"
    )
    print(
        f"ratio of the medians:              {whole['median_seconds'] / fill['median_seconds']:.2f}"
    )
    # CPU time (user + system) is steadier than wall time on a busy machine.
    print(
        f"CPU seconds read / fill:           {whole['min_cpu_seconds']:.3f} / "
        f"{fill['min_cpu_seconds']:.3f} = "
        f"{whole['min_cpu_seconds'] / fill['min_cpu_seconds']:.2f}"
    )
    print(f"DataFrame bytes:                   {frame_mb:.0f} MiB")
    print(
        f"peak RSS:                          {peak_mb:.0f} MiB = "
        f"{peak_mb / frame_mb:.3f} x frame; limit 1.10 x frame + 64 = "
        f"{1.10 * frame_mb + 64:.0f} MiB"
    )
    print(
        f"peak RSS growth during the read:   {growth_mb:.0f} MiB = "
        f"{growth_mb / frame_mb:.3f} x frame"
    )
    print(
        f"one-hour seconds cut (middle):     {cut['seconds']:.3f} s = "
        f"{cut['seconds'] / whole['seconds']:.3f} of the whole read (target <= 0.15; "
        f"median {cut['median_seconds']:.3f} s)"
    )
    counted = instructions_per_row(options.build_dir / "bench" / "velmora_core_read", hour)
    if counted is None:
        print("instructions per row:              skipped (valgrind or velmora_core_read missing)")
    else:
        instructions, rows = counted
        print(
            f"instructions per row (callgrind):  {instructions / rows:.1f} "
            f"({instructions} over {rows} rows of a one-hour file; target <= 60)"
        )


if __name__ == "__main__":
    main()
