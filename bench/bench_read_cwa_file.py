"""Benchmark of read_cwa_file on a synthetic week-long 100 Hz recording; prints ratios.

Usage: PYTHONPATH=<build dir> python bench/bench_read_cwa_file.py [--build-dir DIR] [--work DIR]

Measures, each in a fresh subprocess: read_cwa_file with the default channels against numpy.empty
plus fill of the same dtypes and lengths, peak RSS against the DataFrame's bytes, and a one-hour
seconds cut from the middle of the week against the whole read. With valgrind and the core-only
executable velmora_core_read (configure with -DVELMORA_BUILD_BENCH=ON) it also counts the core's
instructions per row on a one-hour file.
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

import numpy as np

PACKET_SECONDS = 1.2  # 120 samples at 100 Hz
PACKETS_PER_HOUR = 3000
PACKET = np.dtype(
    {
        "names": ["header", "length", "sequence", "timestamp", "light", "temperature",
                  "battery", "rate", "format", "offset", "count", "data"],
        "formats": ["S2", "<u2", "<u4", "<u4", "<u2", "<u2", "u1", "u1", "u1", "<i2", "<u2",
                    ("u1", 480)],
        "offsets": [0, 2, 10, 14, 18, 20, 23, 24, 25, 26, 28, 30],
        "itemsize": 512,
    }
)  # fmt: skip


def write_recording(path: pathlib.Path, hours: int, seed: int = 1) -> None:
    """A packed 3-axis 100 Hz recording from 2020-01-01, as a real device writes it: whole-second
    block timestamps with timestampOffset naming the sample that falls on that second."""
    count = hours * PACKETS_PER_HOUR
    index = np.arange(count, dtype=np.int64)
    # Packet k starts at 1.2 k s; its block timestamp is the next whole second W.
    whole = (12 * index + 9) // 10
    packets = np.zeros(count, PACKET)
    packets["header"] = b"AX"
    packets["length"] = 508
    packets["sequence"] = index
    day = 1 + whole // 86400
    second_of_day = whole % 86400
    packets["timestamp"] = (
        (20 << 26) | (1 << 22) | (day << 17) | ((second_of_day // 3600) << 12)
        | (((second_of_day // 60) % 60) << 6) | (second_of_day % 60)
    )  # fmt: skip
    rng = np.random.default_rng(seed)
    packets["light"] = rng.integers(0, 1024, count)
    packets["temperature"] = 0x0155
    packets["battery"] = 170
    packets["rate"] = 0x4A
    packets["format"] = 0x30
    packets["offset"] = 100 * whole - 120 * index
    packets["count"] = 120
    packets["data"] = rng.integers(0, 2**32, (count, 120), dtype=np.uint32).view(np.uint8)
    metadata = bytearray(1024)
    metadata[0:2] = b"MD"
    metadata[36] = 0x4A
    with open(path, "wb") as out:
        out.write(metadata)
        packets.tofile(out)


READ_CHILD = """
import json, resource, sys, time
import numpy, pandas, velmora

def rss():
    for line in open("/proc/self/status"):
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) * 1024

path, start, end = sys.argv[1], sys.argv[2], sys.argv[3]
cut = None if start == "-" else velmora.seconds(float(start), float(end))
before = rss()
cpu = time.process_time()
began = time.perf_counter()
frame = velmora.read_cwa_file(path, cut)
seconds = time.perf_counter() - began
print(json.dumps({
    "seconds": seconds,
    "cpu_seconds": time.process_time() - cpu,
    "rows": len(frame),
    "columns": [str(frame[c].dtype) for c in frame.columns],
    "frame_bytes": int(frame.memory_usage(index=True, deep=False).sum()),
    "rss_before": before,
    "peak_rss": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024,
}))
"""

FILL_CHILD = """
import json, sys, time
import numpy, pandas

rows, dtypes = int(sys.argv[1]), sys.argv[2].split(",")
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
            [valgrind, "--tool=callgrind", f"--callgrind-out-file={out}",
             "--toggle-collect=velmora::read_cwa_data*", str(core_read), str(path)],
            capture_output=True, text=True, check=True,
        )  # fmt: skip
        rows = int(run.stdout.strip())
        totals = re.search(r"^(?:summary|totals):\s*(\d+)", out.read_text(), re.MULTILINE)
        return int(totals.group(1)), rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", type=pathlib.Path, default=pathlib.Path("build"))
    parser.add_argument("--work", type=pathlib.Path,
                        default=pathlib.Path(tempfile.gettempdir()) / "velmora-bench")  # fmt: skip
    parser.add_argument("--runs", type=int, default=7)
    options = parser.parse_args()
    options.work.mkdir(parents=True, exist_ok=True)
    week = options.work / "week-100hz-packed.cwa"
    hour = options.work / "hour-100hz-packed.cwa"
    if not week.exists():
        write_recording(week, hours=24 * 7)
    if not hour.exists():
        write_recording(hour, hours=1)
    # Page the file in so that every run reads from the cache.
    with open(week, "rb") as handle:
        while handle.read(1 << 24):
            pass

    # Alternate the runs so that both sides see the same background load.
    middle = 3.5 * 86400
    reads, fills, cuts = [], [], []
    for _ in range(options.runs):
        reads.append(run_child(READ_CHILD, str(week), "-", "-"))
        dtypes = ",".join(["int64"] + reads[-1]["columns"])
        fills.append(run_child(FILL_CHILD, str(reads[-1]["rows"]), dtypes))
        cuts.append(run_child(READ_CHILD, str(week), str(middle), str(middle + 3600)))
    whole, fill, cut = best_of(reads), best_of(fills), best_of(cuts)

    frame_mb = whole["frame_bytes"] / 2**20
    peak_mb = whole["peak_rss"] / 2**20
    growth_mb = (whole["peak_rss"] - whole["rss_before"]) / 2**20
    print(f"file: {week} ({os.path.getsize(week) / 2**20:.0f} MiB, {whole['rows']} rows)")
    print(f"read_cwa_file, default channels:  {whole['seconds']:.3f} s "
          f"(median {whole['median_seconds']:.3f} s)")  # fmt: skip
    print(f"numpy.empty + fill, same arrays:   {fill['seconds']:.3f} s "
          f"(median {fill['median_seconds']:.3f} s)")  # fmt: skip
    print(f"ratio read / fill:                 {whole['seconds'] / fill['seconds']:.2f} "
          "(target <= 1.2)")  # fmt: skip
    print(f"ratio of the medians:              "
          f"{whole['median_seconds'] / fill['median_seconds']:.2f}")  # fmt: skip
    # CPU time (user + system) is steadier than wall time on a busy machine.
    print(f"CPU seconds read / fill:           {whole['min_cpu_seconds']:.3f} / "
          f"{fill['min_cpu_seconds']:.3f} = "
          f"{whole['min_cpu_seconds'] / fill['min_cpu_seconds']:.2f}")  # fmt: skip
    print(f"DataFrame bytes:                   {frame_mb:.0f} MiB")
    print(f"peak RSS:                          {peak_mb:.0f} MiB = "
          f"{peak_mb / frame_mb:.3f} x frame; limit 1.10 x frame + 64 = "
          f"{1.10 * frame_mb + 64:.0f} MiB")  # fmt: skip
    print(f"peak RSS growth during the read:   {growth_mb:.0f} MiB = "
          f"{growth_mb / frame_mb:.3f} x frame")  # fmt: skip
    print(f"one-hour seconds cut (middle):     {cut['seconds']:.3f} s = "
          f"{cut['seconds'] / whole['seconds']:.3f} of the whole read (target < 0.1)")  # fmt: skip
    counted = instructions_per_row(options.build_dir / "bench" / "velmora_core_read", hour)
    if counted is None:
        print("instructions per row:              skipped (valgrind or velmora_core_read missing)")
    else:
        instructions, rows = counted
        print(f"instructions per row (callgrind):  {instructions / rows:.1f} "
              f"({instructions} over {rows} rows of a one-hour file; target <= 60)")  # fmt: skip


if __name__ == "__main__":
    main()
