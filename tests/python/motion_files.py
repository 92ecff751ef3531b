"""Recordings of known motion for the data-preparation tests, built with the CWA file builder.

Unpacked 3-axis packets at 25 Hz (one packet a second) with scale code 4, so that values step by
1/4096 g, and one temperature per packet.
"""

from __future__ import annotations

import numpy as np
from cwa_builder import CwaFile, Metadata, Packet, add_seconds

RATE_HZ = 25
START = (2024 - 2000) << 26 | 1 << 22 | 1 << 17  # 2024-01-01 00:00:00, packed
COUNTS_PER_G = 4096


def temperature_raw(celsius):
    """The raw temperature field nearest each temperature, and the temperature it reads back."""
    raw = np.rint((np.asarray(celsius) + 50.0) * 256.0 / 75.0).astype(np.int64)
    return raw, (raw * 75.0) / 256.0 - 50.0


def recording(acc: np.ndarray, temperature_raw_per_second: np.ndarray) -> CwaFile:
    """A file of acc (rows × 3, in g; a whole number of seconds) and one raw temperature a second."""
    counts = np.clip(np.rint(acc * COUNTS_PER_G), -32768, 32767).astype("<i2")
    seconds = len(acc) // RATE_HZ
    packets = []
    for second in range(seconds):
        block = counts[second * RATE_HZ : (second + 1) * RATE_HZ]
        packets.append(
            Packet(
                timestamp=add_seconds(START, second),
                sequence_id=second,
                light=0x8000,  # accelerometer scale code 4: 1/4096 g
                temperature=int(temperature_raw_per_second[second]),
                rate_code=0x48,  # 25 Hz
                sample_format=0x32,  # unpacked 3-axis
                sample_count=RATE_HZ,
                sample_data=block.tobytes(),
            )
        )
    return CwaFile(metadata=Metadata(logging_start=START, rate_code=0x48), blocks=packets)


def still_orientations(rng, directions, seconds_each, offset, scale, coefficient, noise_g):
    """Still spells in `directions` (unit vectors), at temperatures from 20 to 35 °C.

    The device reads raw = (true − offset − coefficient × (T − 27.5)) / scale, so that calibrating
    with (offset, scale, coefficient) at reference 27.5 °C restores the truth.
    Returns (file, temperatures read back per row).
    """
    spells = len(directions)
    raw_t, celsius = temperature_raw(rng.uniform(20.0, 35.0, spells))
    rows = seconds_each * RATE_HZ
    true = np.repeat(directions, rows, axis=0) + rng.normal(0.0, noise_g, (spells * rows, 3))
    per_row = np.repeat(celsius, rows)
    raw = (true - offset - coefficient * (per_row[:, None] - 27.5)) / scale
    return recording(raw, np.repeat(raw_t, seconds_each)), per_row


def random_directions(rng, count, min_z=-1.0):
    """`count` unit vectors spread over the sphere (or its cap z ≥ min_z)."""
    found = np.empty((0, 3))
    while len(found) < count:
        points = rng.normal(size=(4 * count, 3))
        points /= np.linalg.norm(points, axis=1)[:, None]
        found = np.vstack((found, points[points[:, 2] >= min_z]))
    return found[:count]
