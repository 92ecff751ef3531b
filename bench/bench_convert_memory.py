"""Peak memory of one worker converting a 14-day 100 Hz recording to parquet; prints figures.

Usage: python bench/bench_convert_memory.py [--variant fortnight]
(needs velmora on PYTHONPATH or installed, and pyarrow)

The conversion runs in a fresh interpreter, as a pool worker would; its peak resident set is
what the kernel reports for it (ru_maxrss), the interpreter and its imports included.
"""

from __future__ import annotations

import argparse
import pathlib
import resource
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from synthetic import synthetic_recording  # noqa: E402

CONVERT = """
import sys
import velmora_batch
outcome = velmora_batch.convert(sys.argv[1], sys.argv[2], progress=False)
assert (outcome["status"] == "ok").all(), outcome["error"].tolist()
print(int(outcome["rows"].sum()))
"""
IMPORTS = "import pyarrow.parquet, velmora_batch.tasks"


def peak_mb(code: str, *arguments: str) -> tuple[float, float, str]:
    """Runs `code` in a fresh interpreter; its peak RSS in MB, its wall seconds and its output."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    began = time.perf_counter()
    done = subprocess.run(
        [sys.executable, "-c", code, *arguments], check=True, capture_output=True, text=True
    )
    seconds = time.perf_counter() - began
    after = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    # RUSAGE_CHILDREN holds the largest child so far, so the import-only run goes first.
    return max(after, before) / 1024, seconds, done.stdout.strip()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--variant", default="fortnight")
    arguments = parser.parse_args()
    source = synthetic_recording(arguments.variant)
    imports, _, _ = peak_mb(IMPORTS)
    with tempfile.TemporaryDirectory(prefix="velmora-bench-memory-") as out:
        peak, seconds, rows = peak_mb(CONVERT, str(source), out)
        size = sum(path.stat().st_size for path in pathlib.Path(out).iterdir())
    print(f"{source.name}: {source.stat().st_size / 1e6:.0f} MB, {int(rows):,} rows")
    print(f"interpreter with pandas, pyarrow and velmora: {imports:6.0f} MB peak RSS")
    print(f"convert to parquet:                           {peak:6.0f} MB peak RSS  (goal <= 800)")
    print(f"  in {seconds:.1f} s wall, output {size / 1e6:.0f} MB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
