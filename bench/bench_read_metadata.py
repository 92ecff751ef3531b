"""Benchmark of read_metadata on the cached synthetic week-long 100 Hz recording.

Usage: PYTHONPATH=<build dir> python bench/bench_read_metadata.py [--runs N] [--variant week|hour]

Prints, from one run: the best time of read_metadata, the best time of a plain 1 MiB-chunk read
of the same file in Python, and their ratio (target: at most 1.0). Wall-clock and CPU times are
both shown; the CPU ratio is steadier on a busy machine.
"""

from __future__ import annotations

import argparse
import pathlib
import resource
import sys
import time

import velmora

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from synthetic import synthetic_recording

CHUNK = 1 << 20


def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def timed(action) -> tuple[float, float]:
    wall, cpu = time.perf_counter(), cpu_seconds()
    action()
    return time.perf_counter() - wall, cpu_seconds() - cpu


def best_of_alternating(runs: int, first, second) -> tuple[tuple[float, float], ...]:
    """Smallest wall and CPU seconds of each action; runs alternate so both see the same load."""
    times: list[list[tuple[float, float]]] = [[], []]
    for _ in range(runs):
        times[0].append(timed(first))
        times[1].append(timed(second))
    return tuple((min(t[0] for t in each), min(t[1] for t in each)) for each in times)


def plain_read(path: pathlib.Path) -> int:
    buffer = bytearray(CHUNK)
    view = memoryview(buffer)
    total = 0
    with open(path, "rb", buffering=0) as source:
        while count := source.readinto(view):
            total += count
    return total


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--variant", default="week", choices=["week", "hour"])
    options = parser.parse_args()
    path = synthetic_recording(options.variant)
    plain_read(path)  # page the file in so every run reads from the cache
    metadata = velmora.read_metadata(str(path))
    (metadata_wall, metadata_cpu), (plain_wall, plain_cpu) = best_of_alternating(
        options.runs, lambda: velmora.read_metadata(str(path)), lambda: plain_read(path)
    )
    size_mb = path.stat().st_size / 1e6
    print(f"file: {path} ({size_mb:.1f} MB)")
    print(f"data span: {metadata['start_from_data_raw']} .. {metadata['end_from_data_raw']}")
    print(f"read_metadata: {metadata_wall * 1e3:8.1f} ms wall {metadata_cpu * 1e3:8.1f} ms cpu")
    print(f"plain 1 MiB reads: {plain_wall * 1e3:8.1f} ms wall {plain_cpu * 1e3:8.1f} ms cpu")
    wall_ratio = metadata_wall / plain_wall
    cpu_ratio = metadata_cpu / plain_cpu if plain_cpu > 0 else float("nan")
    print(
        f"ratio read_metadata / plain read: {wall_ratio:.2f} wall, {cpu_ratio:.2f} cpu"
        " (target <= 1.0)"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
