"""Benchmark of velmora_batch.prepare on synthetic week-long 100 Hz recordings; prints ratios.

Usage: PYTHONPATH=<build dir>:python python bench/bench_prepare.py [--runs N] [--files week,still]

Measures, each in a fresh subprocess, the variants taking turns in every round:
prepare(path, "ggir"), prepare(path, "ggir", lowpass_hz=20.0) and prepare(path, "actipy"), each
after a plain read_cwa_file of the same file in the same process, so that every ratio has a
pair measured under the same load (on a shared machine the load swings the times threefold);
then the peak RSS of the two ggir variants against the DataFrame's bytes.
Two files: "week", the synthetic week of bench/synthetic.py, which moves all the time (so the
calibration finds no still windows and changes nothing), and "still", the same week with 8 h
a night lying still in a new orientation every 20 min on a miscalibrated device, and 2 h a day
off the body, so that every step does its full work. Each timed child first touches and frees
the memory the run will need, and reads the small sample once, untimed.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from synthetic import (  # noqa: E402
    CACHE_DIR,
    PACKET_DTYPE,
    RATE_HZ,
    SAMPLES_PER_PACKET,
    VARIANTS,
    metadata_block,
    packet_chunk,
    synthetic_recording,
)

WARM_BYTES = 4_500_000_000  # more than the largest run's peak
OFFSET = np.array([0.03, -0.02, 0.015])  # g, the still file's calibration error
SCALE = np.array([1.01, 0.99, 1.005])

CHILD = """
import sys
import numpy
if sys.argv.pop(1) == "warm":
    numpy.ones(int(sys.argv.pop(1)) // 8, dtype=numpy.int64)
else:
    sys.argv.pop(1)
import json, resource, time
import velmora, velmora_batch

path, small, variant = sys.argv[1:4]
options = {"ggir": {}, "ggir20": {"lowpass_hz": 20.0}, "actipy": {}}
preset = "actipy" if variant == "actipy" else "ggir"
# Untimed: one-off imports (scipy, the parts of pandas a frame needs).
velmora_batch.prepare(small, preset, **options[variant])
# The plain read first, then prepare, in the same process: the pair sees the same load.
cpu, began = time.process_time(), time.perf_counter()
frame = velmora.read_cwa_file(path)
read_seconds, read_cpu = time.perf_counter() - began, time.process_time() - cpu
frame_bytes = int(frame.memory_usage(index=True, deep=False).sum())
del frame
cpu, began = time.process_time(), time.perf_counter()
samples, epochs, report = velmora_batch.prepare(path, preset, **options[variant])
seconds, cpu_seconds = time.perf_counter() - began, time.process_time() - cpu
print(json.dumps({
    "read_seconds": read_seconds,
    "read_cpu": read_cpu,
    "seconds": seconds,
    "cpu_seconds": cpu_seconds,
    "rows": len(samples),
    "frame_bytes": frame_bytes,
    "peak_rss": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024,
    "calibrated": report["calibration"]["accepted"],
    "nonwear": report["nonwear"]["fraction"],
}))
"""


def still_recording() -> pathlib.Path:
    """The week with still nights in many orientations and daily off-body spells (cached)."""
    packets = VARIANTS["week"]
    path = CACHE_DIR / "week-still-100hz.cwa"
    if path.exists() and path.stat().st_size == 1024 + 512 * packets:
        return path
    rng = np.random.default_rng(11)
    directions = rng.normal(size=(200, 3))
    directions /= np.linalg.norm(directions, axis=1)[:, None]
    partial = path.with_suffix(".partial")
    with open(partial, "wb") as out:
        out.write(metadata_block(packets))
        for first in range(0, packets, 20_000):
            count = min(20_000, packets - first)
            records = packet_chunk(first, count, rng)
            hours = np.arange(first, first + count) * SAMPLES_PER_PACKET / RATE_HZ / 3600.0
            hour_of_day = hours % 24
            night = hour_of_day < 8
            table = (hour_of_day >= 12) & (hour_of_day < 14)
            spell = (hours * 3).astype(np.int64) % len(directions)  # a new one every 20 min
            truth = np.where(table[:, None], [0.0, 0.0, 1.0], directions[spell])
            still = night | table
            noise = rng.normal(0.0, 0.004, (int(still.sum()), SAMPLES_PER_PACKET, 3))
            raw = ((truth[still][:, None, :] + noise) - OFFSET) / SCALE * 256.0
            counts = np.clip(np.rint(raw), -512, 511).astype(np.int64) & 0x3FF
            words = counts[..., 0] | (counts[..., 1] << 10) | (counts[..., 2] << 20)
            records["samples"][still] = words.astype(np.uint32)
            halves = records.view(np.uint16).reshape(count, 256)
            total = halves[:, :255].sum(axis=1, dtype=np.uint64)
            records["checksum"] = ((-total.astype(np.int64)) & 0xFFFF).astype(np.uint16)
            out.write(records.tobytes())
    partial.replace(path)
    return path


assert PACKET_DTYPE.itemsize == 512


def child(state: str, *arguments: str) -> dict:
    result = subprocess.run(
        [sys.executable, "-c", CHILD, state, str(WARM_BYTES), *arguments],
        capture_output=True,
        text=True,
        check=True,
        env=dict(os.environ, PYTHONPATH=os.environ.get("PYTHONPATH", "")),
    )
    return json.loads(result.stdout)


def page_in(path: pathlib.Path) -> None:
    with open(path, "rb") as handle:
        while handle.read(1 << 24):
            pass


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--files", default="week,still")
    options = parser.parse_args()
    small = str(HERE.parent / "examples" / "sample.cwa")
    files = {"week": synthetic_recording, "still": still_recording}
    variants = ("ggir", "ggir20", "actipy")
    limits = {"ggir": 3.0, "ggir20": 8.0, "actipy": 8.0}
    labels = {
        "ggir": 'prepare "ggir"',
        "ggir20": 'prepare "ggir" + 20 Hz low-pass',
        "actipy": 'prepare "actipy" (20 Hz low-pass)',
    }
    for name in options.files.split(","):
        path = files[name]() if name == "still" else files[name]("week")
        page_in(path)
        results = {variant: [] for variant in variants}
        for _ in range(options.runs):
            for variant in variants:
                results[variant].append(child("warm", str(path), small, variant))
        memory = {variant: child("cold", str(path), small, variant) for variant in variants[:2]}
        every = [run for runs in results.values() for run in runs]
        best_read = min(run["read_seconds"] for run in every)
        frame_mb = every[0]["frame_bytes"] / 2**20
        print(f"file {name}: {path} ({every[0]['rows']} rows, frame {frame_mb:.0f} MiB)")
        print(
            f"  read_cwa_file: best {best_read:.2f} s, median "
            f"{statistics.median(run['read_seconds'] for run in every):.2f} s"
        )
        for variant in variants:
            runs = results[variant]
            best = min(run["seconds"] for run in runs)
            paired = statistics.median(run["seconds"] / run["read_seconds"] for run in runs)
            cpu = statistics.median(run["cpu_seconds"] / run["read_cpu"] for run in runs)
            print(
                f"  {labels[variant]:<34} best {best:.2f} s = {best / best_read:.2f} x best read; "
                f"median of paired runs {paired:.2f} x, CPU {cpu:.2f} x "
                f"(limit {limits[variant]:g} x); calibrated: {runs[0]['calibrated']}, "
                f"non-wear {runs[0]['nonwear']:.3f}"
            )
        for variant, result in memory.items():
            print(
                f"  peak RSS, {labels[variant]:<34} {result['peak_rss'] / 2**20:.0f} MiB = "
                f"{result['peak_rss'] / result['frame_bytes']:.2f} x frame (limit 2.5)"
            )


if __name__ == "__main__":
    main()
