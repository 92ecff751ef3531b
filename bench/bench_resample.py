"""Benchmark of resampled reads on a synthetic week-long 100 Hz recording; prints ratios.

Usage: PYTHONPATH=<build dir> python bench/bench_resample.py [--runs N]

Measures, each in a fresh subprocess and in the same run: read_cwa_file(resample_hz=100) against
the plain read_cwa_file (target ratio <= 2.0), the peak RSS of the resampled read against the
DataFrame's bytes (limit 1.10 x frame + 64 MiB), and a one-hour seconds cut at 30 Hz from the
middle of the week, which must stop reading once its grid is complete.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys

sys.path.insert(0, str(pathlib.Path(__file__).parent))

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

path, start, end, hz, small = sys.argv[1:6]
cut = None if start == "-" else velmora.seconds(float(start), float(end))
resample_hz = None if hz == "-" else float(hz)
# Untimed: the first read of a process also imports the parts of pandas that building a frame
# needs, a one-off cost that a study reading thousands of files pays once.
velmora.read_cwa_file(small, resample_hz=resample_hz)
before = rss()
usage = resource.getrusage(resource.RUSAGE_SELF)
cpu = time.process_time()
began = time.perf_counter()
frame = velmora.read_cwa_file(path, cut, resample_hz=resample_hz)
seconds = time.perf_counter() - began
print(json.dumps({
    "seconds": seconds,
    "cpu_seconds": time.process_time() - cpu,
    "user_seconds": resource.getrusage(resource.RUSAGE_SELF).ru_utime - usage.ru_utime,
    "system_seconds": resource.getrusage(resource.RUSAGE_SELF).ru_stime - usage.ru_stime,
    "rows": len(frame),
    "frame_bytes": int(frame.memory_usage(index=True, deep=False).sum()),
    "rss_before": before,
    "peak_rss": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024,
}))
"""
)


def run_child(*arguments: str) -> dict:
    result = subprocess.run(
        [sys.executable, "-c", READ_CHILD, *arguments], capture_output=True, text=True, check=True
    )
    return json.loads(result.stdout)


def best_of(runs: int, *arguments: str) -> dict:
    results = [run_child(*arguments) for _ in range(runs)]
    best = min(results, key=lambda r: r["seconds"])
    best["median_seconds"] = statistics.median(r["seconds"] for r in results)
    best["min_cpu_seconds"] = min(r["cpu_seconds"] for r in results)
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    options = parser.parse_args()
    week = synthetic_recording("week")
    # Page the file in so that every run reads from the cache.
    with open(week, "rb") as handle:
        while handle.read(1 << 24):
            pass

    small = str(pathlib.Path(__file__).resolve().parent.parent / "examples" / "sample.cwa")

    # Alternate the two reads so that both see the same machine load.
    plain_runs, resampled_runs = [], []
    for _ in range(options.runs):
        plain_runs.append(run_child("warm", str(week), "-", "-", "-", small))
        resampled_runs.append(run_child("warm", str(week), "-", "-", "100", small))
    plain = min(plain_runs, key=lambda r: r["seconds"])
    resampled = min(resampled_runs, key=lambda r: r["seconds"])
    plain_cpu = min(r["cpu_seconds"] for r in plain_runs)
    resampled_cpu = min(r["cpu_seconds"] for r in resampled_runs)
    plain_user = min(r["user_seconds"] for r in plain_runs)
    resampled_user = min(r["user_seconds"] for r in resampled_runs)
    plain_system = min(r["system_seconds"] for r in plain_runs)
    resampled_system = min(r["system_seconds"] for r in resampled_runs)
    middle = 3.5 * 86400
    cut = best_of(options.runs, "warm", str(week), str(middle), str(middle + 3600), "30", small)
    memory = run_child("cold", str(week), "-", "-", "100", small)

    frame_mb = resampled["frame_bytes"] / 2**20
    peak_mb = memory["peak_rss"] / 2**20
    print(f"file: {week} ({os.path.getsize(week) / 2**20:.0f} MiB, {plain['rows']} rows)")
    print(f"plain read_cwa_file:                {plain['seconds']:.3f} s")
    print(
        f"read_cwa_file(resample_hz=100):     {resampled['seconds']:.3f} s "
        f"({resampled['rows']} rows)"
    )
    print(
        f"ratio resampled / plain:            {resampled['seconds'] / plain['seconds']:.2f} "
        "(target <= 2.0)"
    )
    print(
        f"CPU seconds resampled / plain:      {resampled_cpu:.3f} / {plain_cpu:.3f} = "
        f"{resampled_cpu / plain_cpu:.2f}"
    )
    # System time is mostly the kernel zeroing output pages, which varies with huge-page supply.
    print(f"user seconds resampled / plain:     {resampled_user:.3f} / {plain_user:.3f}")
    print(f"system seconds resampled / plain:   {resampled_system:.3f} / {plain_system:.3f}")
    print(f"resampled DataFrame bytes:          {frame_mb:.0f} MiB")
    print(
        f"peak RSS of the resampled read:     {peak_mb:.0f} MiB = {peak_mb / frame_mb:.3f} x "
        f"frame; limit 1.10 x frame + 64 = {1.10 * frame_mb + 64:.0f} MiB"
    )
    print(
        f"one-hour seconds cut at 30 Hz:      {cut['seconds']:.3f} s ({cut['rows']} rows) = "
        f"{cut['seconds'] / plain['seconds']:.3f} of the plain whole read"
    )


if __name__ == "__main__":
    main()
