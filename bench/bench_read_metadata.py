"""Benchmark of read_metadata on the cached synthetic week-long 100 Hz recording.

Usage: PYTHONPATH=<build dir> python bench/bench_read_metadata.py [--runs N] [--variant week|hour]

Measures, by the rules of measure.py: read_metadata against a plain 1 MiB-chunk read of the same
file in Python (target: ratio of the medians at most 1.0), and the instructions per packet of
both.
"""

from __future__ import annotations

import argparse
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import measure
from measure import Side, alternate, callgrind_instructions, report_ratio
from synthetic import synthetic_recording

METADATA_SETUP = """
import velmora
path = sys.argv[1]
velmora.read_metadata(path)

def read():
    metadata = velmora.read_metadata(path)
    return (os.path.getsize(path) - 1024) // 512
"""

PLAIN_SETUP = """
path = sys.argv[1]

def read():
    buffer = bytearray(1 << 20)
    view = memoryview(buffer)
    total = 0
    with open(path, "rb", buffering=0) as source:
        while count := source.readinto(view):
            total += count
    return (total - 1024) // 512
"""


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument(
        "--skip-instructions", action="store_true", help="leave out the callgrind counts (slow)"
    )
    parser.add_argument("--variant", default="week", choices=["week", "hour"])
    options = parser.parse_args()
    measure.SKIP_CALLGRIND = options.skip_instructions
    path = synthetic_recording(options.variant)
    with open(path, "rb") as handle:  # page the file in so every run reads from the cache
        while handle.read(1 << 24):
            pass
    metadata = Side("read_metadata", METADATA_SETUP, "read()", [str(path)])
    plain = Side("plain 1 MiB reads", PLAIN_SETUP, "read()", [str(path)])
    alternate(metadata, plain, options.runs)
    print(f"file: {path} ({path.stat().st_size / 1e6:.1f} MB)")
    report_ratio("read_metadata / 1 MiB-chunk read", metadata, plain, 1.0)
    hour = synthetic_recording("hour")
    packets = (hour.stat().st_size - 1024) // 512
    counted = callgrind_instructions(
        Side("metadata", METADATA_SETUP, "read()", [str(hour)]), "velmora::scan_data_timing*"
    )
    floor = callgrind_instructions(Side("plain", PLAIN_SETUP, "read()", [str(hour)]), None)
    if counted is not None and floor is not None:
        print(
            f"instructions per packet (callgrind, one-hour file, user space): read_metadata "
            f"{counted / packets:.1f}, plain read {floor / packets:.1f}"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
