"""Benchmark of write_cwa_csv on a synthetic week-long 100 Hz recording; prints ratios.

Usage: PYTHONPATH=<build dir> python bench/bench_csv.py [--hours N] [--work DIR] [--repeat N]

Measures, by the rules of measure.py: the streamed write_cwa_csv with the default channels
against a plain buffered write (16 MiB buffer, 1 MiB writes of CSV text) of the same number of
bytes to the same directory (target: ratio of the medians at most 2.0), the CPU time of the
streamed write to /dev/null (decoding and formatting alone), the instructions per row, and the
CSV number formatter against snprintf in a small C++ program compiled here with the system's g++
(target: at least 5 times faster).
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

import velmora

BENCH_DIR = pathlib.Path(__file__).resolve().parent
ROOT = BENCH_DIR.parent
sys.path.insert(0, str(BENCH_DIR))

import measure  # noqa: E402
from measure import Side, alternate, callgrind_instructions, report_ratio  # noqa: E402
from synthetic import synthetic_recording, write_recording  # noqa: E402

CHUNK = 1 << 20

# The written file goes after the clock stops: its dirty pages then need no writing back.
CSV_SETUP = """
import velmora
source, output = sys.argv[1:3]

def _after():
    if output != os.devnull:
        os.unlink(output)

def write():
    velmora.write_cwa_csv(source, output)
    return os.path.getsize(output) if output != os.devnull else 0
"""

PLAIN_SETUP = """
chunk_path, output, size = sys.argv[1], sys.argv[2], int(sys.argv[3])
chunk = open(chunk_path, "rb").read()

def _after():
    if os.path.exists(output):  # a run without the action wrote none
        os.unlink(output)

def write():
    with open(output, "wb", buffering=16 << 20) as out:
        remaining = size
        while remaining >= len(chunk):
            out.write(chunk)
            remaining -= len(chunk)
        out.write(chunk[:remaining])
    return size
"""


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
    parser.add_argument("--runs", type=int, default=5, help="runs of each write")
    parser.add_argument(
        "--skip-instructions", action="store_true", help="leave out the callgrind counts (slow)"
    )
    args = parser.parse_args()
    measure.SKIP_CALLGRIND = args.skip_instructions

    with tempfile.TemporaryDirectory(dir=args.work) as directory:
        work = pathlib.Path(directory)
        if args.hours is None:
            recording = synthetic_recording("week")
        else:
            recording = work / "recording.cwa"
            write_recording(recording, args.hours)
        rows = (recording.stat().st_size - 1024) // 512 * 120
        chunk_path = work / "chunk.csv"
        chunk_path.write_bytes(csv_chunk(recording, work))
        output = work / "out.csv"
        streamed = Side("write_cwa_csv", CSV_SETUP, "write()", [str(recording), str(output)])
        # The first run gives the size that the plain write then matches.
        streamed.run()
        size = streamed.runs[-1]["rows"]
        plain = Side(
            "plain write", PLAIN_SETUP, "write()", [str(chunk_path), str(output), str(size)]
        )
        plain.run()
        alternate(streamed, plain, args.runs - 1)
        print(f"file: {recording}, {rows} rows, {size / 1e9:.2f} GB of CSV")
        report_ratio("streamed CSV / plain write of the same bytes", streamed, plain, 2.0)
        # Without the page-cache copy: what decoding and formatting cost by themselves.
        to_null = Side(
            "write_cwa_csv to /dev/null", CSV_SETUP, "write()", [str(recording), os.devnull]
        )
        for _ in range(3):
            to_null.run(prime_bytes=0)
        print(
            f"write_cwa_csv to /dev/null: best {to_null.best():.3f} s (user "
            f"{to_null.best('user'):.3f}, system {to_null.best('system'):.3f})"
        )
        hour = synthetic_recording("hour")
        hour_rows = (hour.stat().st_size - 1024) // 512 * 120
        counted = callgrind_instructions(
            Side("csv", CSV_SETUP, "write()", [str(hour), str(work / "hour.csv")]),
            "velmora::write_streamed_csv*",
        )
        hour_size = hour_rows * size // rows
        floor = callgrind_instructions(
            Side("plain", PLAIN_SETUP, "write()", [str(chunk_path), str(output), str(hour_size)]),
            None,
        )
        if counted is not None and floor is not None:
            print(
                f"instructions per row (callgrind, one-hour file, user space): write_cwa_csv "
                f"{counted / hour_rows:.1f}, plain write {floor / hour_rows:.1f}"
            )
        print("formatter:", json.dumps(formatter_benchmark(work)))


if __name__ == "__main__":
    main()
