"""Generates examples/sample.cwa: three minutes of a wrist-worn AX6 at 100 Hz.

The recording mixes the three common packet formats, one minute each: packed 3-axis (0x30)
while walking, unpacked 3-axis (0x32) while moving the arm slowly, and 6-axis with gyroscope
(0x62) while turning the wrist. Timestamps run on without gaps from packet to packet. The output
is the same bytes on every run: `python examples/make_sample.py [output path]`.
"""

from __future__ import annotations

import math
import pathlib
import random
import struct
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "python"))

from cwa_builder import CwaFile, Metadata, Packet, pack_time  # noqa: E402

RATE_HZ = 100
RATE_CODE = 0x4A  # 100 Hz, +-8 g
SESSION_ID = 4242
START = (2024, 3, 14, 9, 30, 0)  # first sample, device clock

# (format byte, samples per packet, accelerometer scale code, seconds of recording)
SEGMENTS = [
    (0x30, 120, 0, 60),  # packed 3-axis: 256 counts per g before the exponent
    (0x32, 80, 0, 60),  # unpacked 3-axis: 256 counts per g
    (0x62, 40, 4, 60),  # unpacked 6-axis: 4096 counts per g, gyroscope at 2000 deg/s
]
GYRO_SCALE_CODE = 2  # 2000 deg/s full scale
GYRO_COUNTS_PER_DPS = 32768 / 2000


def packed_from_datetime(seconds_since_start: int) -> int:
    import datetime

    moment = datetime.datetime(*START) + datetime.timedelta(seconds=seconds_since_start)
    return pack_time(
        moment.year, moment.month, moment.day, moment.hour, moment.minute, moment.second
    )


def motion(t: float, rng: random.Random) -> tuple[tuple[float, float, float], tuple[float, ...]]:
    """Acceleration in g and angular rate in deg/s at `t` seconds into the recording."""
    noise = [rng.gauss(0.0, 0.012) for _ in range(3)]
    if t < 60:
        # Walking: arm hanging, gravity mostly along -y, steps at 1.8 Hz with a harmonic.
        step = 2 * math.pi * 1.8 * t
        acc = (
            0.08 + 0.12 * math.sin(step) + 0.04 * math.sin(2 * step + 0.7),
            -0.97 + 0.28 * math.sin(step + 0.4) + 0.10 * math.sin(2 * step),
            0.18 + 0.09 * math.cos(step),
        )
        gyro = (0.0, 0.0, 0.0)
    elif t < 120:
        # Slow arm raise and lower: gravity swings between -y and +z every 20 s.
        angle = (math.pi / 2) * (0.5 - 0.5 * math.cos(2 * math.pi * (t - 60) / 20))
        acc = (0.05, -math.cos(angle), math.sin(angle))
        gyro = (0.0, 0.0, 0.0)
    else:
        # Wrist turns: rotation about x, 0.5 Hz, +-90 deg/s, gravity following the roll.
        phase = 2 * math.pi * 0.5 * (t - 120)
        roll = 0.9 * math.sin(phase)
        acc = (0.02, -math.sin(roll), math.cos(roll))
        rate = math.degrees(0.9 * 2 * math.pi * 0.5 * math.cos(phase))
        gyro = (rate + rng.gauss(0, 0.8), rng.gauss(0, 0.8), rng.gauss(0, 0.8))
    return tuple(a + n for a, n in zip(acc, noise)), gyro


def clamp16(value: float) -> int:
    return max(-32768, min(32767, round(value)))


def packed_word(acc: tuple[float, float, float]) -> int:
    """Packed 3-axis word with the smallest exponent that keeps every axis in 10 bits."""
    counts = [a * 256 for a in acc]
    for exponent in range(4):
        fields = [round(c / (1 << exponent)) for c in counts]
        if all(-512 <= f <= 511 for f in fields):
            break
    else:
        fields = [max(-512, min(511, f)) for f in fields]
    x, y, z = (f & 0x3FF for f in fields)
    return x | (y << 10) | (z << 20) | (exponent << 30)


def sample_bytes(fmt: int, scale_code: int, acc, gyro) -> bytes:
    if fmt == 0x30:
        return struct.pack("<I", packed_word(acc))
    counts_per_g = 1 << (8 + scale_code)
    acc_raw = [clamp16(a * counts_per_g) for a in acc]
    if fmt == 0x32:
        return struct.pack("<3h", *acc_raw)
    gyro_raw = [clamp16(g * GYRO_COUNTS_PER_DPS) for g in gyro]
    return struct.pack("<6h", *gyro_raw, *acc_raw)


def with_checksum(packet: bytes) -> bytes:
    """Sets the last word so that all 256 little-endian words sum to zero, as devices do."""
    words = struct.unpack("<255H", packet[:510])
    return packet[:510] + struct.pack("<H", (-sum(words)) & 0xFFFF)


def build() -> bytes:
    rng = random.Random(20240314)
    recording = CwaFile(
        metadata=Metadata(
            hardware_type=0x64,  # AX6
            device_id_low=0x2A1F,
            session_id=SESSION_ID,
            logging_start=packed_from_datetime(0),
            logging_end=packed_from_datetime(300),
            sensor_config=0x02,  # gyroscope 2000 deg/s, no magnetometer
            rate_code=RATE_CODE,
            last_change=pack_time(2024, 3, 13, 17, 2, 11),
            firmware_revision=52,
            annotation=b"velmora sample: walking, arm raises, wrist turns",
        )
    )
    first_sample = 0
    sequence = 0
    for fmt, per_packet, scale_code, seconds in SEGMENTS:
        for _ in range(seconds * RATE_HZ // per_packet):
            # The block timestamp is the next whole second; timestampOffset is its sample index.
            whole_second = -(-first_sample // RATE_HZ)
            offset = whole_second * RATE_HZ - first_sample
            data = b""
            for index in range(per_packet):
                t = (first_sample + index) / RATE_HZ
                acc, gyro = motion(t, rng)
                data += sample_bytes(fmt, scale_code, acc, gyro)
            minutes = first_sample / (60 * RATE_HZ)
            light_raw = int(300 + 60 * math.sin(minutes * 2.1)) & 0x3FF
            gyro_code = GYRO_SCALE_CODE if fmt == 0x62 else 0
            packet = Packet(
                session_id=SESSION_ID,
                sequence_id=sequence,
                timestamp=packed_from_datetime(whole_second),
                light=(scale_code << 13) | (gyro_code << 10) | light_raw,
                temperature=276 + int(minutes * 2),  # about 31 C, warming on the wrist
                battery=170 - int(minutes),  # about 4.0 V, slowly draining
                rate_code=RATE_CODE,
                sample_format=fmt,
                timestamp_offset=offset,
                sample_count=per_packet,
                sample_data=data,
            )
            recording.add(with_checksum(packet.to_bytes()))
            first_sample += per_packet
            sequence += 1
    return recording.to_bytes()


def main() -> None:
    output = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else HERE / "sample.cwa"
    data = build()
    output.write_bytes(data)
    print(f"wrote {output} ({len(data)} bytes)")


if __name__ == "__main__":
    main()
