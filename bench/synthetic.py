"""Builds synthetic packed 3-axis 100 Hz CWA recordings for benchmarks and caches them.

Usage: python bench/synthetic.py [fortnight|week|hour] [--force]   (prints the cached file's path)
"""

from __future__ import annotations

import argparse
import os
import pathlib
import struct
import sys

import numpy as np

CACHE_DIR = pathlib.Path(os.environ.get("XDG_CACHE_HOME", pathlib.Path.home() / ".cache")) / (
    "velmora-bench"
)
SAMPLES_PER_PACKET = 120
RATE_HZ = 100
START_UNIX = 1_704_067_200  # 2024-01-01T00:00:00 on the device clock
VARIANTS = {"fortnight": 1_008_000, "week": 504_000, "hour": 3_000}  # packets of 1.2 s each

PACKET_DTYPE = np.dtype(
    [
        ("header", "S2"),
        ("length", "<u2"),
        ("fractional", "<u2"),
        ("session", "<u4"),
        ("sequence", "<u4"),
        ("timestamp", "<u4"),
        ("light", "<u2"),
        ("temperature", "<u2"),
        ("events", "u1"),
        ("battery", "u1"),
        ("rate_code", "u1"),
        ("sample_format", "u1"),
        ("timestamp_offset", "<i2"),
        ("sample_count", "<u2"),
        ("samples", "<u4", (SAMPLES_PER_PACKET,)),
        ("checksum", "<u2"),
    ]
)
assert PACKET_DTYPE.itemsize == 512


def pack_times(unix_seconds: np.ndarray) -> np.ndarray:
    """Packed CWA timestamps of whole Unix seconds (vectorised)."""
    moments = unix_seconds.astype("datetime64[s]")
    years = moments.astype("datetime64[Y]")
    months = moments.astype("datetime64[M]")
    days = moments.astype("datetime64[D]")
    year = years.astype(np.int64) + 1970
    month = (months - years.astype("datetime64[M]")).astype(np.int64) + 1
    day = (days - months.astype("datetime64[D]")).astype(np.int64) + 1
    second_of_day = (moments - days.astype("datetime64[s]")).astype(np.int64)
    hour, rest = np.divmod(second_of_day, 3600)
    minute, second = np.divmod(rest, 60)
    packed = (
        ((year - 2000) << 26) | (month << 22) | (day << 17) | (hour << 12) | (minute << 6) | second
    )
    return packed.astype(np.uint32)


def metadata_block(packets: int) -> bytes:
    block = bytearray(1024)
    block[0:2] = b"MD"
    struct.pack_into("<H", block, 2, 1020)
    block[4] = 0x17  # AX3
    struct.pack_into("<HIH", block, 5, 0x4D2E, 4242, 0)
    start = int(pack_times(np.array([START_UNIX]))[0])
    end_seconds = START_UNIX + packets * SAMPLES_PER_PACKET // RATE_HZ + 2
    end = int(pack_times(np.array([end_seconds]))[0])
    struct.pack_into("<II", block, 13, start, end)
    block[35] = 0xFF
    block[36] = 0x4A  # 100 Hz, +-8 g
    struct.pack_into("<I", block, 37, int(pack_times(np.array([START_UNIX - 3600]))[0]))
    block[41] = 45
    block[64:512] = b"_p=left+wrist&_sc=bench".ljust(448, b" ")
    return bytes(block)


def packet_chunk(first: int, count: int, rng: np.random.Generator) -> np.ndarray:
    """`count` packets starting at packet index `first`, as structured records."""
    index = np.arange(first, first + count, dtype=np.int64)
    records = np.zeros(count, dtype=PACKET_DTYPE)
    records["header"] = b"AX"
    records["length"] = 508
    records["session"] = 4242
    records["sequence"] = index.astype(np.uint32)
    # Sample 0 of packet k falls at 1.2 k s; the block timestamp is the next whole second and
    # timestampOffset the sample index where it holds, nudged by a little clock jitter.
    centis = index * SAMPLES_PER_PACKET
    block_seconds = centis // RATE_HZ + 1
    records["timestamp"] = pack_times(START_UNIX + block_seconds)
    jitter = rng.integers(-2, 3, size=count)
    records["timestamp_offset"] = (block_seconds * RATE_HZ - centis + jitter).astype(np.int16)
    hours = index * 1.2 / 3600.0
    records["light"] = (200 + 150 * np.sin(2 * np.pi * hours / 24.0)).astype(np.uint16)
    records["temperature"] = (0x155 + 8 * np.sin(2 * np.pi * hours / 24.0 + 1)).astype(np.uint16)
    records["battery"] = (190 - 30 * hours / (24 * 7)).astype(np.uint8)
    records["rate_code"] = 0x4A
    records["sample_format"] = 0x30
    records["sample_count"] = SAMPLES_PER_PACKET

    t = (centis[:, None] + np.arange(SAMPLES_PER_PACKET)[None, :]).astype(np.float64) / RATE_HZ
    shape = t.shape
    x = 60 * np.sin(2 * np.pi * 0.3 * t) + rng.normal(0, 4, shape)
    y = 40 * np.sin(2 * np.pi * 0.05 * t + 1) + rng.normal(0, 4, shape)
    z = 256 + 30 * np.sin(2 * np.pi * 0.7 * t) + rng.normal(0, 4, shape)
    words = np.zeros(shape, dtype=np.uint32)
    for shift, axis in ((0, x), (10, y), (20, z)):
        raw = np.clip(np.rint(axis), -512, 511).astype(np.int32) & 0x3FF
        words |= raw.astype(np.uint32) << np.uint32(shift)
    records["samples"] = words

    # Checksum: the 16-bit words of a packet sum to zero.
    halves = records.view(np.uint16).reshape(count, 256)
    total = halves[:, :255].sum(axis=1, dtype=np.uint64)
    records["checksum"] = ((-total.astype(np.int64)) & 0xFFFF).astype(np.uint16)
    return records


PACKETS_PER_HOUR = 3_000


def build(path: pathlib.Path, packets: int, seed: int = 2024) -> None:
    """Writes a recording of `packets` packets to `path` (through a temporary name)."""
    rng = np.random.default_rng(seed)
    path.parent.mkdir(parents=True, exist_ok=True)
    partial = path.with_suffix(".partial")
    with open(partial, "wb") as out:
        out.write(metadata_block(packets))
        for first in range(0, packets, 20_000):
            out.write(packet_chunk(first, min(20_000, packets - first), rng).tobytes())
    partial.replace(path)


def write_recording(path: pathlib.Path, hours: float, seed: int = 1) -> None:
    """Writes a recording of `hours` hours to `path` (not cached)."""
    build(pathlib.Path(path), int(round(hours * PACKETS_PER_HOUR)), seed)


def synthetic_recording(variant: str = "week", force: bool = False) -> pathlib.Path:
    """Returns the cached recording of `variant` (see VARIANTS), building it if needed."""
    packets = VARIANTS[variant]
    path = CACHE_DIR / f"{variant}-100hz.cwa"
    if force or not path.exists() or path.stat().st_size != 1024 + 512 * packets:
        build(path, packets)
    return path


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("variant", nargs="?", default="week", choices=sorted(VARIANTS))
    parser.add_argument("--force", action="store_true", help="rebuild even if cached")
    arguments = parser.parse_args()
    print(synthetic_recording(arguments.variant, arguments.force))
    return 0


if __name__ == "__main__":
    sys.exit(main())
