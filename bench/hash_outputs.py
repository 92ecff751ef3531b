"""SHA-256 of every kind of output, to show that a speed-up changed no bit.

Usage: PYTHONPATH=<build dir> python bench/hash_outputs.py [--save FILE | --compare FILE]
       [--recordings DIR] [--skip-week]

Hashes, on the synthetic week file and on each real recording: the plain read (index and every
column), a seconds cut, a blocks cut, resampled reads at 100 and 33 Hz (whole and cut), and the
CSVs of the streamed, filtered and resampled ways. A CSV goes through a named pipe into
`sha256sum`, a process of its own, so gigabytes of text need no disk and the module can hold the
interpreter lock while it writes.
"""

from __future__ import annotations

import argparse
import contextlib
import datetime
import hashlib
import json
import os
import pathlib
import subprocess
import sys
import tempfile

import velmora

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from synthetic import synthetic_recording

ALL_CHANNELS = {
    "include_magnetometer": True,
    "include_temperature": True,
    "include_light": True,
    "include_battery": True,
}
UTC_PLUS_ONE = datetime.timezone(datetime.timedelta(hours=1))


def frame_hash(frame) -> str:
    digest = hashlib.sha256()
    digest.update(repr([(str(c), str(frame[c].dtype)) for c in frame.columns]).encode())
    digest.update(str(frame.index.dtype).encode())
    digest.update(frame.index.values.view("int64").tobytes())
    for column in frame.columns:
        digest.update(frame[column].to_numpy().tobytes())
    return f"{len(frame)} rows {digest.hexdigest()}"


def csv_hash(path: str, work: pathlib.Path, **options) -> str:
    fifo = work / "out.csv"
    os.mkfifo(fifo)
    try:
        # The hasher opens the pipe in its own process, so the writer never waits on a pipe
        # that nobody drains.
        hasher = subprocess.Popen(
            ["sh", "-c", 'exec sha256sum < "$0"', str(fifo)], stdout=subprocess.PIPE, text=True
        )
        try:
            velmora.write_cwa_csv(path, str(fifo), **options)
        except BaseException:
            # A call that failed before opening the pipe leaves the hasher waiting for a writer.
            with contextlib.suppress(OSError):
                os.close(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK))
            raise
        finally:
            out, _ = hasher.communicate()
    finally:
        fifo.unlink()
    return out.split()[0]


def cases(path: str, week: bool) -> dict:
    """Name -> thunk returning the hash text."""
    read = velmora.read_cwa_file
    if week:
        middle = 3.5 * 86400
        seconds = velmora.seconds(middle, middle + 3600)
        blocks = velmora.blocks(1000, 60000)
        channels: dict = {}
    else:
        seconds = velmora.seconds(60.0, 120.0)
        blocks = velmora.blocks(10, 100)
        channels = ALL_CHANNELS
    return {
        "read": lambda: frame_hash(read(path, **channels)),
        "read_offset": lambda: frame_hash(read(path, fixed_utc_offset_timezone=UTC_PLUS_ONE)),
        "read_seconds_cut": lambda: frame_hash(read(path, seconds, **channels)),
        "read_blocks_cut": lambda: frame_hash(read(path, blocks, **channels)),
        "resample_100": lambda: frame_hash(read(path, resample_hz=100.0, **channels)),
        "resample_33": lambda: frame_hash(read(path, resample_hz=33.0, **channels)),
        "resample_33_seconds_cut": lambda: frame_hash(
            read(path, seconds, resample_hz=33.0, **channels)
        ),
        "resample_100_blocks_cut": lambda: frame_hash(
            read(path, blocks, resample_hz=100.0, **channels)
        ),
        "csv": lambda: csv_hash(path, WORK, **channels),
        "csv_offset": lambda: csv_hash(path, WORK, fixed_utc_offset_timezone=UTC_PLUS_ONE),
        "csv_blocks_cut": lambda: csv_hash(path, WORK, cut=blocks, **channels),
        "csv_seconds_cut": lambda: csv_hash(path, WORK, cut=seconds, **channels),
        "csv_resample_33": lambda: csv_hash(path, WORK, resample_hz=33.0, **channels),
        "csv_resample_100_seconds_cut": lambda: csv_hash(
            path, WORK, cut=seconds, resample_hz=100.0, **channels
        ),
    }


WORK = pathlib.Path()


def main() -> int:
    global WORK
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--save", type=pathlib.Path)
    parser.add_argument("--compare", type=pathlib.Path)
    parser.add_argument(
        "--recordings",
        type=pathlib.Path,
        default=pathlib.Path(os.environ.get("VELMORA_RECORDINGS", "/work/shared/recordings")),
    )
    parser.add_argument("--skip-week", action="store_true")
    options = parser.parse_args()
    files = [] if options.skip_week else [(str(synthetic_recording("week")), True)]
    if options.recordings.is_dir():
        files += [(str(p), False) for p in sorted(options.recordings.glob("*.cwa"))]
    hashes: dict = {}
    with tempfile.TemporaryDirectory() as directory:
        WORK = pathlib.Path(directory)
        for path, week in files:
            for name, thunk in cases(path, week).items():
                key = f"{pathlib.Path(path).name}:{name}"
                try:
                    hashes[key] = thunk()
                except RuntimeError as error:
                    hashes[key] = f"RuntimeError: {error}"
                print(f"{key:55} {hashes[key]}", flush=True)
    if options.save:
        options.save.write_text(json.dumps(hashes, indent=1) + "\n")
    if options.compare:
        expected = json.loads(options.compare.read_text())
        differing = [k for k in hashes if expected.get(k) != hashes[k]]
        missing = [k for k in expected if k not in hashes]
        for key in differing:
            print(f"DIFFERS {key}: {expected.get(key)} -> {hashes[key]}")
        print(f"{len(hashes) - len(differing)} of {len(hashes)} equal; {len(missing)} not run")
        return 1 if differing else 0
    return 0


if __name__ == "__main__":
    sys.exit(main())
