"""The measuring rules that every ratio benchmark follows on a shared virtual machine.

A virtual machine's host takes freed memory back, and faulting gigabytes in again costs seconds
that no bare machine pays, on either side of a ratio, in any run. So each timed call runs in a
fresh child process that first touches and frees about 6 GB (the run then starts from backed
memory) and resets the peak-RSS mark; the two sides of a ratio alternate, at least five runs
each, and the ratio is given of the medians and of the best runs, with the machine's load beside
every figure. Instructions per row come from the hardware counter (perf_event_open) when the
machine has one; a virtual machine without a PMU gets them from callgrind instead, on a shorter
input, user space only.
"""

from __future__ import annotations

import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
from dataclasses import dataclass, field

PRIME_BYTES = 6 * 10**9
# Set by a benchmark's --skip-instructions: callgrind runs take minutes on a busy machine.
SKIP_CALLGRIND = False

# The child's prologue: the untouched-memory treatment, then helpers for the timed part.
CHILD_PROLOGUE = """
import ctypes, json, os, resource, sys, time
import numpy

def _prime(nbytes):
    block = numpy.ones(nbytes // 8, dtype=numpy.int64)
    del block

def _reset_peak():
    with open("/proc/self/clear_refs", "w") as handle:
        handle.write("5")

def _status(key):
    for line in open("/proc/self/status"):
        if line.startswith(key + ":"):
            return int(line.split()[1]) * 1024
    return -1

class _Counter:
    # PERF_TYPE_HARDWARE / PERF_COUNT_HW_INSTRUCTIONS through the raw system call; None when the
    # machine (a VM without a PMU) has no such counter.
    def __init__(self):
        self.fd = -1
        libc = ctypes.CDLL(None, use_errno=True)
        attr = (ctypes.c_uint64 * 16)()
        attr[0] = 0 | (128 << 32)  # type HARDWARE, size of the struct
        attr[1] = 1                # config INSTRUCTIONS
        attr[5] = 1 | (1 << 6)     # flags: disabled, exclude_hv
        libc.syscall.restype = ctypes.c_long
        fd = libc.syscall(298, ctypes.byref(attr), 0, -1, -1, 0)
        if fd >= 0:
            self.fd = fd
            self.ioctl = libc.ioctl

    def start(self):
        if self.fd >= 0:
            self.ioctl(self.fd, 0x2403, 0)  # PERF_EVENT_IOC_RESET
            self.ioctl(self.fd, 0x2400, 0)  # PERF_EVENT_IOC_ENABLE

    def stop(self):
        if self.fd < 0:
            return None
        self.ioctl(self.fd, 0x2401, 0)  # PERF_EVENT_IOC_DISABLE
        return int.from_bytes(os.read(self.fd, 8), "little")

_counter = _Counter()

def _timed(action):
    _prime(PRIME_BYTES)
    _reset_peak()
    usage = resource.getrusage(resource.RUSAGE_SELF)
    _counter.start()
    began = time.perf_counter()
    global EXTRA
    EXTRA = None
    rows = action()
    wall = time.perf_counter() - began
    instructions = _counter.stop()
    after = resource.getrusage(resource.RUSAGE_SELF)
    print(json.dumps({
        "wall": wall,
        "user": after.ru_utime - usage.ru_utime,
        "system": after.ru_stime - usage.ru_stime,
        "peak_rss": _status("VmHWM"),
        "rows": rows,
        "instructions": instructions,
        "load": os.getloadavg()[0],
        "extra": EXTRA,
    }))
    # Unlinking a written file, freeing a frame: after the clock stopped.
    _after()

def _after():
    pass

def _keep(value, extra=None):
    # Holds the result past the timed part, so that freeing it is not timed; returns its rows.
    global KEPT, EXTRA
    KEPT = value
    EXTRA = extra
    return len(value)
"""


@dataclass
class Side:
    """One side of a ratio: `setup` runs untimed, then `action` (an expression returning the
    row count) is timed. Both are Python source run in the child with `args` as sys.argv[1:]."""

    name: str
    setup: str
    action: str
    args: list[str] = field(default_factory=list)
    runs: list[dict] = field(default_factory=list)

    def script(self, prime_bytes: int) -> str:
        return (
            f"PRIME_BYTES = {prime_bytes}\n"
            + CHILD_PROLOGUE
            + self.setup
            + f"\n_timed(lambda: {self.action})\n"
        )

    def run(self, prime_bytes: int = PRIME_BYTES) -> dict:
        result = subprocess.run(
            [sys.executable, "-c", self.script(prime_bytes), *self.args],
            capture_output=True,
            text=True,
        )
        if result.returncode != 0:
            raise RuntimeError(f"{self.name} failed:\n{result.stderr}")
        record = json.loads(result.stdout.strip().splitlines()[-1])
        self.runs.append(record)
        return record

    def median(self, key: str = "wall") -> float:
        return statistics.median(run[key] for run in self.runs)

    def best(self, key: str = "wall") -> float:
        return min(run[key] for run in self.runs)


def alternate(first: Side, second: Side, runs: int) -> None:
    """Runs the two sides in turn, so that both meet the same background load."""
    for _ in range(runs):
        first.run()
        second.run()


def describe(side: Side) -> str:
    walls = " ".join(f"{run['wall']:.3f}" for run in side.runs)
    cpus = " ".join(f"{run['user'] + run['system']:.3f}" for run in side.runs)
    loads = " ".join(f"{run['load']:.1f}" for run in side.runs)
    return (
        f"  {side.name}: median {side.median():.3f} s, best {side.best():.3f} s "
        f"(user {side.best('user'):.3f}, system {side.best('system'):.3f}); "
        f"peak RSS {max(r['peak_rss'] for r in side.runs) / 2**20:.0f} MiB\n"
        f"    runs {walls}\n    CPU  {cpus}\n    load {loads}"
    )


def report_ratio(title: str, measured: Side, floor: Side, target: float) -> dict:
    """Prints and returns the ratio of the medians and of the best runs, wall and CPU."""
    cpu = [sorted(r["user"] + r["system"] for r in side.runs) for side in (measured, floor)]
    cpu_median = [statistics.median(each) for each in cpu]
    figures = {
        "ratio_of_medians": measured.median() / floor.median(),
        "ratio_of_best": measured.best() / floor.best(),
        "cpu_ratio_of_medians": cpu_median[0] / cpu_median[1] if cpu_median[1] else None,
        "cpu_ratio_of_best": cpu[0][0] / cpu[1][0] if cpu[1][0] else None,
    }
    print(f"{title}")
    print(describe(measured))
    print(describe(floor))
    print(
        f"  ratio of medians {figures['ratio_of_medians']:.2f}, of best runs "
        f"{figures['ratio_of_best']:.2f} (target <= {target}); CPU (user + system) ratio of "
        f"medians {figures['cpu_ratio_of_medians'] or float('nan'):.2f}, of best "
        f"{figures['cpu_ratio_of_best'] or float('nan'):.2f}"
    )
    counted = [side.runs[-1]["instructions"] for side in (measured, floor)]
    if all(c is not None for c in counted):
        rows = measured.runs[-1]["rows"]
        print(
            f"  instructions per row (hardware counter): {counted[0] / rows:.1f} against the "
            f"floor's {counted[1] / rows:.1f}"
        )
    return figures


def callgrind_instructions(side: Side, toggle: str | None) -> int | None:
    """User-space instructions of the side's timed action under callgrind, without the 6 GB
    treatment: those of the functions matching `toggle`, or, without one, of the whole child
    less a run of the same child whose action does nothing (the setup's share)."""
    valgrind = shutil.which("valgrind")
    if valgrind is None or SKIP_CALLGRIND:
        return None

    def count(script: str, toggle: str | None) -> int:
        with tempfile.TemporaryDirectory() as work:
            out = os.path.join(work, "callgrind.out")
            command = [valgrind, "--tool=callgrind", f"--callgrind-out-file={out}"]
            if toggle:
                command.append(f"--toggle-collect={toggle}")
            # A fixed hash seed, so that the child without the action runs the same
            # instructions as the one with it, up to the action.
            subprocess.run(
                [*command, sys.executable, "-c", script, *side.args],
                capture_output=True,
                text=True,
                check=True,
                env={**os.environ, "PYTHONHASHSEED": "0"},
            )
            with open(out) as handle:
                text = handle.read()
            totals = re.search(r"^(?:summary|totals):\s*(\d+)", text, re.MULTILINE)
            return int(totals.group(1)) if totals else 0

    if toggle:
        return count(side.script(0), toggle)
    idle = Side(side.name, side.setup, "0", side.args)
    return count(side.script(0), None) - count(idle.script(0), None)
