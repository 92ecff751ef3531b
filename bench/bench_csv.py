"""Benchmark of write_cwa_csv on a synthetic week-long 100 Hz recording; prints ratios.

Usage: PYTHONPATH=<build dir> python bench/bench_csv.py [--hours N] [--work DIR] [--repeat N]

Measures, in one run: the streamed write_cwa_csv with the default channels against a plain
buffered write of the same number of bytes to the same directory, best of alternating runs
(target: ratio at most 2.5),
the CPU time of the streamed write to /dev/null (decoding and formatting alone),
and the CSV number formatter against snprintf in a small C++ program compiled here with the
system's g++ (target: at least 5 times faster).
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import velmora

BENCH_DIR = pathlib.Path(__file__).resolve().parent
ROOT = BENCH_DIR.parent
sys.path.insert(0, str(BENCH_DIR))

from synthetic import synthetic_recording, write_recording  # noqa: E402

CHUNK = 1 << 20


def cpu_seconds() -> tuple[float, float]:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime, usage.ru_stime


def timed(action) -> tuple[float, float, float]:
    """Wall-clock, user CPU and system CPU seconds of action(). CPU time is steadier on a busy
    machine; system time is mostly the kernel's copy into the page cache."""
    wall, (user, system) = time.perf_counter(), cpu_seconds()
    action()
    after_user, after_system = cpu_seconds()
    return time.perf_counter() - wall, after_user - user, after_system - system


def plain_write(output: pathlib.Path, size: int, chunk: bytes) -> None:
    with open(output, "wb", buffering=16 << 20) as out:
        remaining = size
        while remaining >= len(chunk):
            out.write(chunk)
            remaining -= len(chunk)
        out.write(chunk[:remaining])


def csv_chunk(recording: pathlib.Path, work: pathlib.Path) -> bytes:
    """About 1 MiB of real CSV lines, so the plain write moves text of the same kind."""
    sample = work / "sample.csv"
    velmora.write_cwa_csv(str(recording), str(sample), cut=velmora.blocks(0, 500))
    text = sample.read_bytes()
    sample.unlink()
    return (text * (CHUNK // len(text) + 1))[:CHUNK]


def formatter_benchmark(work: pathlib.Path) -> dict:
    compiler = shutil.which("g++")
    if compiler is None:
        return {"skipped": "g++ not found"}
    program = work / "csv_number_bench"
    subprocess.run(
        [
            compiler,
            "-std=c++23",
            "-O2",
            "-ffp-contract=off",
            f"-I{ROOT / 'src'}",
            str(BENCH_DIR / "csv_number_bench.cpp"),
            str(ROOT / "src/package/csv/csv_number.cpp"),
            "-o",
            str(program),
        ],
        check=True,
    )
    result = subprocess.run([str(program)], check=True, capture_output=True, text=True)
    return json.loads(result.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--hours",
        type=float,
        help="own recording of this length (default: the shared cached week-long recording)",
    )
    parser.add_argument("--work", type=pathlib.Path, help="directory for the files (default: temp)")
    parser.add_argument("--repeat", type=int, default=6, help="runs of each write (best, median)")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(dir=args.work) as directory:
        work = pathlib.Path(directory)
        if args.hours is None:
            recording = synthetic_recording("week")
        else:
            recording = work / "recording.cwa"
            write_recording(recording, args.hours)
        recording_bytes = recording.stat().st_size
        chunk = csv_chunk(recording, work)
        output = work / "out.csv"
        # Untimed: every timed write then starts alike, the input in the page cache and an
        # equally large file just deleted (a virtual machine may hand memory freed long ago back
        # to its host, and taking it again makes the kernel's copy several times slower).
        velmora.write_cwa_csv(str(recording), str(output))
        output.unlink()
        csv_runs, plain_runs = [], []
        size = 0
        for _ in range(args.repeat):
            csv_runs.append(timed(lambda: velmora.write_cwa_csv(str(recording), str(output))))
            size = output.stat().st_size
            output.unlink()
            plain_runs.append(timed(lambda: plain_write(output, size, chunk)))
            output.unlink()
        # The best run of each: on a virtual machine a write of gigabytes may wait seconds for the
        # host to hand back page-cache memory, at random, whichever side is running.
        csv_wall, csv_user, csv_system = min(csv_runs)
        plain_wall, plain_user, plain_system = min(plain_runs)
        csv_median = statistics.median(run[0] for run in csv_runs)
        plain_median = statistics.median(run[0] for run in plain_runs)
        # Without the page-cache copy: what decoding and formatting cost by themselves.
        devnull_runs = [
            timed(lambda: velmora.write_cwa_csv(str(recording), os.devnull))
            for _ in range(args.repeat)
        ]
        formatter = formatter_benchmark(work)

    report = {
        "recording": str(recording),
        "rows": (recording_bytes - 1024) // 512 * 120,
        "csv_bytes": size,
        "write_cwa_csv_s": round(csv_wall, 3),
        "plain_write_s": round(plain_wall, 3),
        "csv_vs_plain_ratio": round(csv_wall / plain_wall, 2),
        "ratio_of_medians": round(csv_median / plain_median, 2),
        "write_cwa_csv_user_system_s": [round(csv_user, 3), round(csv_system, 3)],
        "plain_write_user_system_s": [round(plain_user, 3), round(plain_system, 3)],
        "write_cwa_csv_to_devnull_user_system_s": [
            round(min(run[1] for run in devnull_runs), 3),
            round(min(run[2] for run in devnull_runs), 3),
        ],
        "csv_vs_plain_cpu_ratio": round((csv_user + csv_system) / (plain_user + plain_system), 2),
        "wall_s_each_run": {
            "csv": [round(run[0], 2) for run in csv_runs],
            "plain": [round(run[0], 2) for run in plain_runs],
        },
        "csv_MB_per_s": round(size / csv_wall / 1e6, 1),
        "ratio_target": "<= 2.5",
        "formatter": formatter,
        "formatter_target": ">= 5x snprintf",
    }
    print(json.dumps(report, indent=2))


if __name__ == "__main__":
    main()
