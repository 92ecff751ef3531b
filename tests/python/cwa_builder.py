"""Builds CWA files field by field for the tests, including invalid ones."""

from __future__ import annotations

import dataclasses
import datetime
import struct
from dataclasses import dataclass, field


def pack_time(year, month, day, hour=0, minute=0, second=0) -> int:
    """Packed timestamp of a date-time; no range checks, so invalid values can be built."""
    date = ((year - 2000) << 26) | (month << 22) | (day << 17)
    return date | (hour << 12) | (minute << 6) | second


JAN_2020 = pack_time(2020, 1, 1)


@dataclass
class Metadata:
    header: bytes = b"MD"
    packet_length: int = 1020
    hardware_type: int = 0x17
    device_id_low: int = 0x1234
    session_id: int = 7
    upper_device_id: int = 0
    logging_start: int = JAN_2020
    logging_end: int = 0xFFFFFFFF
    flash_led: int = 0
    sensor_config: int = 0
    rate_code: int = 0x4A
    last_change: int = 0
    firmware_revision: int = 45
    annotation: bytes = b""  # at offset 64; the rest of the 448 bytes is padded with spaces

    def to_bytes(self) -> bytes:
        block = bytearray(1024)
        block[0:2] = self.header
        struct.pack_into("<H", block, 2, self.packet_length)
        block[4] = self.hardware_type
        device = (self.device_id_low, self.session_id, self.upper_device_id)
        struct.pack_into("<HIH", block, 5, *device)
        struct.pack_into("<II", block, 13, self.logging_start, self.logging_end)
        block[26] = self.flash_led
        block[35] = self.sensor_config
        block[36] = self.rate_code
        struct.pack_into("<I", block, 37, self.last_change)
        block[41] = self.firmware_revision
        region = (self.annotation + b" " * 448)[:448]
        block[64:512] = region
        return bytes(block)


@dataclass
class Packet:
    header: bytes = b"AX"
    packet_length: int = 508
    device_fractional: int = 0
    session_id: int = 7
    sequence_id: int = 0
    timestamp: int = JAN_2020
    light: int = 0
    temperature: int = 0x0155
    events: int = 0
    battery: int = 170
    rate_code: int = 0x4A
    sample_format: int = 0x30
    timestamp_offset: int = 0
    sample_count: int = 120
    sample_data: bytes = bytes(480)
    checksum: int | None = None  # None: the word that seals the packet, as devices write it

    def with_(self, **changes) -> Packet:
        return dataclasses.replace(self, **changes)

    def to_bytes(self) -> bytes:
        block = bytearray(512)
        block[0:2] = self.header
        struct.pack_into(
            "<HHIIIHHBBBBhH",
            block,
            2,
            self.packet_length,
            self.device_fractional,
            self.session_id,
            self.sequence_id,
            self.timestamp,
            self.light,
            self.temperature,
            self.events,
            self.battery,
            self.rate_code,
            self.sample_format,
            self.timestamp_offset,
            self.sample_count,
        )
        block[30:510] = (self.sample_data + bytes(480))[:480]
        checksum = self.checksum
        if checksum is None:
            checksum = -sum(struct.unpack_from("<255H", block)) & 0xFFFF
        struct.pack_into("<H", block, 510, checksum)
        return bytes(block)


def checksum_ok(block: bytes) -> bool:
    """Whether a block's 256 little-endian 16-bit words sum to 0 modulo 65536."""
    return sum(struct.unpack("<256H", block)) & 0xFFFF == 0


def packed_word(x: int, y: int, z: int, exponent: int = 0) -> int:
    """Packed 3-axis word from 10-bit signed axis values and a 2-bit exponent."""
    return (x & 0x3FF) | ((y & 0x3FF) << 10) | ((z & 0x3FF) << 20) | ((exponent & 3) << 30)


def packed_samples(words) -> bytes:
    return b"".join(struct.pack("<I", w) for w in words)


def unpacked_samples(rows) -> bytes:
    """Unpacked samples from rows of raw int16 values in packet order (gyro, acc, mag)."""
    return b"".join(struct.pack(f"<{len(r)}h", *r) for r in rows)


@dataclass
class CwaFile:
    metadata: Metadata = field(default_factory=Metadata)
    blocks: list = field(default_factory=list)  # Packet objects or raw bytes
    tail: bytes = b""  # appended after the blocks, to build truncated files

    def add(self, *packets) -> CwaFile:
        self.blocks.extend(packets)
        return self

    def to_bytes(self) -> bytes:
        parts = [self.metadata.to_bytes()]
        for block in self.blocks:
            parts.append(block.to_bytes() if isinstance(block, Packet) else bytes(block))
        parts.append(self.tail)
        return b"".join(parts)

    def write(self, path) -> str:
        with open(path, "wb") as out:
            out.write(self.to_bytes())
        return str(path)


def add_seconds(packed: int, seconds: int) -> int:
    """Packed timestamp `seconds` later than a valid packed timestamp."""
    moment = datetime.datetime(
        2000 + (packed >> 26),
        (packed >> 22) & 0xF,
        (packed >> 17) & 0x1F,
        (packed >> 12) & 0x1F,
        (packed >> 6) & 0x3F,
        packed & 0x3F,
    ) + datetime.timedelta(seconds=seconds)
    return pack_time(*moment.timetuple()[:6])


def consecutive_packets(count: int, start=JAN_2020, seconds_per_packet: int = 1, **fields) -> list:
    """`count` packets whose block timestamps advance by whole seconds from `start`."""
    return [
        Packet(timestamp=add_seconds(start, k * seconds_per_packet), sequence_id=k, **fields)
        for k in range(count)
    ]
