"""Benchmark of velmora_batch on a study of synthetic day-long recordings; prints ratios.

Usage: python bench/bench_batch.py [--files 16] [--hours 24] [--runs 3]
(needs velmora installed or on PYTHONPATH, and the batch extra: pyarrow, tqdm, dask[distributed])

Measures in one run: convert with workers=1 against workers=2 (runs alternated, medians), a two-worker dask LocalCluster
against the two-process pool, convert per file against read_cwa_file(p).to_parquet(out) (in wall
and in CPU seconds), and inventory of 1,000 small files, in files per second per worker.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import shutil
import statistics
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "python"))  # the tree's velmora_batch, not an older install
from synthetic import CACHE_DIR, build  # noqa: E402

import velmora  # noqa: E402
import velmora_batch  # noqa: E402


def study(files: int, hours: float) -> list[pathlib.Path]:
    folder = CACHE_DIR / f"study-{hours:g}h"
    paths = [folder / f"day{index}.cwa" for index in range(files)]
    packets = int(round(hours * 3000))
    for seed, path in enumerate(paths):
        if not path.exists() or path.stat().st_size != 1024 + 512 * packets:
            build(path, packets, seed=seed)
    return paths


def small_files(folder: pathlib.Path, count: int) -> pathlib.Path:
    """`count` one-minute recordings (50 packets each)."""
    target = folder / "small"
    target.mkdir()
    build(target / "0.cwa", 50)
    for index in range(1, count):
        os.link(target / "0.cwa", target / f"{index}.cwa")
    return target


def timed(call, clock=time.perf_counter) -> float:
    began = clock()
    call()
    return clock() - began


def best(runs: int, call, clock=time.perf_counter) -> float:
    return min(timed(call, clock) for _ in range(runs))


def alternated(runs: int, *calls) -> list[float]:
    """The median time of each call, the calls taking turns, so that a busy spell hits all."""
    times = [[] for _ in calls]
    for _ in range(runs):
        for call, spent in zip(calls, times):
            spent.append(timed(call))
    return [statistics.median(spent) for spent in times]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=16)
    parser.add_argument("--hours", type=float, default=24.0)
    parser.add_argument("--runs", type=int, default=3, help="runs of each measure")
    arguments = parser.parse_args()
    import distributed

    paths = study(arguments.files, arguments.hours)
    scratch = pathlib.Path(tempfile.mkdtemp(prefix="velmora-bench-batch-"))
    counter = iter(range(1_000_000))

    per_file = {}

    def convert(**options):
        out = scratch / f"out{next(counter)}"
        outcome = velmora_batch.convert(paths, out, progress=False, **options)
        assert (outcome["status"] == "ok").all(), outcome["error"].dropna().tolist()
        shutil.rmtree(out)
        # A file's own time: near the in-process one when the cores are free, longer when
        # other processes take them, which shows in this figure and not in the code.
        key = "client" if "client" in options else options.get("workers")
        per_file[key] = min(per_file.get(key, float("inf")), outcome["seconds"].mean())

    def naive():
        out = scratch / f"out{next(counter)}"
        out.mkdir()
        for path in paths:
            velmora.read_cwa_file(str(path)).to_parquet(out / (path.stem + ".parquet"))
        shutil.rmtree(out)

    load_before = os.getloadavg()[0]
    try:
        # Untimed: page cache, imports, and the fork server's first start, which a process
        # pays once.
        convert(workers=2)
        naive()
        # CPU seconds as well: other processes on the machine stretch the wall times, far less
        # the CPU a conversion itself takes.
        cpu_one = best(arguments.runs, lambda: convert(workers=1), clock=time.process_time)
        cpu_plain = best(arguments.runs, naive, clock=time.process_time)
        one, two = alternated(
            arguments.runs, lambda: convert(workers=1), lambda: convert(workers=2)
        )
        plain = best(arguments.runs, naive)
        with (
            distributed.LocalCluster(
                n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
            ) as cluster,
            distributed.Client(cluster) as client,
        ):
            convert(client=client)
            on_dask = best(arguments.runs, lambda: convert(client=client))
            small = small_files(scratch, 1000)
            velmora_batch.inventory(small, client=client, progress=False)
            dask_inventory = best(
                arguments.runs,
                lambda: velmora_batch.inventory(small, client=client, progress=False),
            )
        serial_inventory = best(
            arguments.runs, lambda: velmora_batch.inventory(small, progress=False)
        )
        pool_inventory = best(
            arguments.runs, lambda: velmora_batch.inventory(small, workers=2, progress=False)
        )
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    n = len(paths)
    print(
        f"{n} files of {arguments.hours:g} h at 100 Hz, {paths[0].stat().st_size / 1e6:.0f} MB "
        f"each; {os.cpu_count()} cores; {arguments.runs} runs, workers=1 and 2 alternated "
        f"(medians), the others best of"
    )
    print(f"load average {load_before:.1f} before, {os.getloadavg()[0]:.1f} after")
    print(f"convert workers=1          {one:7.2f} s  (a file takes {per_file[1]:.2f} s)")
    print(f"convert workers=2          {two:7.2f} s  (a file takes {per_file[2]:.2f} s)")
    print(f"convert on LocalCluster(2) {on_dask:7.2f} s  (a file takes {per_file['client']:.2f} s)")
    print(f"read_cwa_file.to_parquet   {plain:7.2f} s  ({plain / n:.2f} s a file)")
    print(f"speed-up workers=2 over workers=1:       {one / two:5.2f}  (goal >= 1.7)")
    print(f"LocalCluster(2) over the 2-process pool:  {on_dask / two:5.2f}  (goal <= 1.15)")
    print(
        f"convert over naive to_parquet, per file:  {one / plain:5.2f}  (goal <= 1.05); "
        f"in CPU seconds {cpu_one / cpu_plain:.2f}"
    )
    print("inventory of 1,000 small files, files/s per worker:")
    print(
        f"  in-process {1000 / serial_inventory:6.0f}   pool of 2 {500 / pool_inventory:6.0f}   "
        f"LocalCluster(2) {500 / dask_inventory:6.0f}  (goal >= 500)"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
