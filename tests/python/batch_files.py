"""Study folders for the velmora_batch tests, and tasks that misbehave in worker processes."""

from __future__ import annotations

import gzip
import os
import pathlib
import random

from cwa_builder import CwaFile, Metadata, consecutive_packets, packed_samples, unpacked_samples

DAMAGED = "b_damaged.cwa"


def three_axis(seed: int, packets: int = 6) -> bytes:
    rng = random.Random(seed)
    words = [[rng.getrandbits(32) for _ in range(120)] for _ in range(packets)]
    blocks = consecutive_packets(packets, light=seed)
    for block, chunk in zip(blocks, words):
        block.sample_data = packed_samples(chunk)
    return CwaFile(blocks=blocks).to_bytes()


def six_axis(seed: int, packets: int = 5) -> bytes:
    rng = random.Random(seed)
    blocks = consecutive_packets(packets, sample_format=0x62, sample_count=40)
    for block in blocks:
        rows = [[rng.randint(-3000, 3000) for _ in range(6)] for _ in range(40)]
        block.sample_data = unpacked_samples(rows).ljust(480, b"\0")
    metadata = Metadata(hardware_type=0x64, sensor_config=0x03)
    return CwaFile(metadata=metadata, blocks=blocks).to_bytes()


def study(root: pathlib.Path) -> pathlib.Path:
    """A folder: a 3-axis file, a damaged one, a 6-axis .cwa.gz in a subfolder, a stray text."""
    folder = root / "study"
    (folder / "site2").mkdir(parents=True)
    (folder / "a_wrist.cwa").write_bytes(three_axis(1))
    (folder / DAMAGED).write_bytes(three_axis(2)[:1500])
    (folder / "site2" / "c_hip.cwa.gz").write_bytes(gzip.compress(six_axis(3)))
    (folder / "notes.txt").write_text("not a recording")
    return folder


def die_on_three(chunk):
    """A task whose worker process dies on item 3 and that echoes every other item."""
    if 3 in chunk:
        os._exit(7)
    return [{"item": item, "status": "ok"} for item in chunk]


def die_writing(jobs):
    """A conversion task whose worker dies when it has begun to write its first output."""
    from velmora_batch import partials

    for _path, output, _name in jobs:
        partials.partial_name(pathlib.Path(output)).write_bytes(b"half a file")
        os._exit(9)
