"""A separate, slow model of read_cwa_file without resampling, for differential tests.

It works on the bytes of a whole file and gives either the expected DataFrame parts or the
expected exception (type and text). Arithmetic follows the stated widths: numpy.float32 scalars
for sample scaling and per-packet readings, Python floats (64-bit) for times.
"""

from __future__ import annotations

import ctypes
import datetime
import math
import struct
from dataclasses import dataclass, field

import numpy as np

F32 = np.float32
I64_MAX = 2**63 - 1
I64_MIN = -(2**63)
CHANNEL_ORDER = (
    "acc_x",
    "acc_y",
    "acc_z",
    "gyro_x",
    "gyro_y",
    "gyro_z",
    "mag_x",
    "mag_y",
    "mag_z",
    "temperature",
    "light",
    "battery",
)
MOTION = ("gyro_x", "gyro_y", "gyro_z", "mag_x", "mag_y", "mag_z")
BYTES_PER_SAMPLE = {0x30: 4, 0x32: 6, 0x62: 12, 0x92: 18}
EPOCH_ORDINAL = datetime.date(1970, 1, 1).toordinal()

# The C library's single-precision power function; NumPy's float32 power rounds differently.
_LIBM = ctypes.CDLL("libm.so.6")
_LIBM.powf.restype = ctypes.c_float
_LIBM.powf.argtypes = (ctypes.c_float, ctypes.c_float)


class ModelError(Exception):
    """The exception read_cwa_file must raise: its type name and its exact text."""

    def __init__(self, kind: str, text: str):
        super().__init__(kind, text)
        self.kind = kind
        self.text = text


def runtime(text: str) -> ModelError:
    return ModelError("RuntimeError", text)


# --- timestamps of packets -------------------------------------------------------------------


def packed_to_unix(value: int):
    """Whole seconds since 1970 of a packed timestamp, or None when unset or not a date-time."""
    if value in (0, 0xFFFFFFFF):
        return None
    year = 2000 + (value >> 26)
    month = (value >> 22) & 0xF
    day = (value >> 17) & 0x1F
    hour = (value >> 12) & 0x1F
    minute = (value >> 6) & 0x3F
    second = value & 0x3F
    if hour > 23 or minute > 59 or second > 59:
        return None
    try:
        date = datetime.date(year, month, day)
    except ValueError:
        return None
    return (date.toordinal() - EPOCH_ORDINAL) * 86400 + hour * 3600 + minute * 60 + second


def rate_of(code: int):
    return F32(3200.0 / (1 << (15 - (code & 0x0F))))


def natural_bounds(packed: int, offset: int, count: int, rate_code: int):
    whole = packed_to_unix(packed)
    rate = rate_of(rate_code)
    x = F32(-F32(offset)) / rate
    f = F32(np.floor(x))
    start = float(F32(x - f)) + (float(f) + float(whole))
    d = F32(count) / rate
    return start, start + float(d)


def to_micros(seconds: float) -> int:
    product = seconds * 1000000.0
    if math.isnan(product):
        return 0
    if product >= 2.0**63:
        return I64_MAX
    if product < -(2.0**63):
        return I64_MIN
    return int(product)  # int() truncates toward zero


# --- one packet --------------------------------------------------------------------------------


@dataclass
class Packet:
    header: bytes
    light: int
    temperature: int
    battery: int
    rate_code: int
    sample_format: int
    offset: int
    count: int
    timestamp: int
    data: bytes


def split_packet(block: bytes) -> Packet:
    (light, temperature) = struct.unpack_from("<HH", block, 18)
    (offset, count) = struct.unpack_from("<hH", block, 26)
    return Packet(
        header=block[0:2],
        light=light,
        temperature=temperature,
        battery=block[23],
        rate_code=block[24],
        sample_format=block[25],
        offset=offset,
        count=count,
        timestamp=struct.unpack_from("<I", block, 14)[0],
        data=block[30:510],
    )


def meta_of(block: bytes):
    """None for a block that is not a data packet; raises ModelError for a bad header."""
    packet = split_packet(block)
    if packet.header != b"AX" or packet.count == 0:
        return None
    if packet.rate_code == 0:
        raise runtime("Old CWA format packets are not supported")
    size = BYTES_PER_SAMPLE.get(packet.sample_format)
    if size is None:
        fmt = packet.sample_format
        raise runtime(f"Unsupported sample format: {fmt >> 4} axes, packing {fmt & 0x0F}")
    if size * packet.count > 480:
        raise runtime("Sample count exceeds packet capacity")
    if packed_to_unix(packet.timestamp) is None:
        raise runtime("Invalid block timestamp")
    return packet


def gyro_range(s: int) -> int:
    return 2000 if s == 0 else 8000 >> s


def decode(packet: Packet, include_magnetometer: bool):
    """Columns of one packet: dict name -> list of float32 (absent channels missing)."""
    n = packet.count
    k = packet.light >> 13
    s = (packet.light >> 10) & 7
    out = {name: [] for name in ("acc_x", "acc_y", "acc_z")}
    fmt = packet.sample_format
    data = packet.data
    if fmt == 0x30:
        divisor = F32(2 ** (8 + k))
        for i in range(n):
            (word,) = struct.unpack_from("<I", data, 4 * i)
            exponent = word >> 30
            for axis, name in enumerate(("acc_x", "acc_y", "acc_z")):
                raw = (word >> (10 * axis)) & 0x3FF
                if raw & 0x200:
                    raw -= 0x400
                out[name].append(F32(raw * (1 << exponent)) / divisor)
        return out
    if fmt == 0x32:
        divisor = F32(2 ** (8 + k))
        for i in range(n):
            raws = struct.unpack_from("<3h", data, 6 * i)
            for raw, name in zip(raws, ("acc_x", "acc_y", "acc_z")):
                out[name].append(F32(raw) / divisor)
        return out
    gyro_names = ("gyro_x", "gyro_y", "gyro_z")
    for name in gyro_names:
        out[name] = []
    if fmt == 0x62:
        divisor = F32(2 ** (8 + k))
        d = F32(16.384) if s == 0 else F32(32768) / F32(gyro_range(s))
        for i in range(n):
            raws = struct.unpack_from("<6h", data, 12 * i)
            for raw, name in zip(raws[:3], gyro_names):
                out[name].append(F32(raw) / d)
            for raw, name in zip(raws[3:], ("acc_x", "acc_y", "acc_z")):
                out[name].append(F32(raw) / divisor)
        return out
    # 9 axes: multiplications by exact powers of two and by G.
    acc_factor = F32(2.0 ** -(8 + k))
    g = F32(0.06103515625) if s == 0 else F32(gyro_range(s)) * F32(2.0**-15)
    mag_factor = F32(2.0**-15)
    mag_names = ("mag_x", "mag_y", "mag_z")
    if include_magnetometer:
        for name in mag_names:
            out[name] = []
    for i in range(n):
        raws = struct.unpack_from("<9h", data, 18 * i)
        for raw, name in zip(raws[:3], gyro_names):
            out[name].append(F32(raw) * g)
        for raw, name in zip(raws[3:6], ("acc_x", "acc_y", "acc_z")):
            out[name].append(F32(raw) * acc_factor)
        if include_magnetometer:
            for raw, name in zip(raws[6:], mag_names):
                out[name].append(F32(raw) * mag_factor)
    return out


def per_packet_readings(packet: Packet):
    temperature = F32(F32(F32(packet.temperature & 0x3FF) * F32(75)) * F32(0.00390625)) + F32(-50)
    light = _LIBM.powf(10.0, float(F32(packet.light & 0x3FF) / F32(341)))
    battery = F32(F32(F32(packet.battery) + F32(512)) * F32(6)) * F32(0.0009765625)
    return {"temperature": F32(temperature), "light": F32(light), "battery": F32(battery)}


def packet_timestamps(packet: Packet, n: int, prev_end):
    start, end = natural_bounds(packet.timestamp, packet.offset, n, packet.rate_code)
    if prev_end is not None and start - prev_end < 1.0:
        start = prev_end
    span = end - start
    return [to_micros(((float(i) * span) / float(n)) + start) for i in range(n)], end


# --- file, plan, read, filter ------------------------------------------------------------------


def check_structure(contents: bytes) -> int:
    """Number of data blocks, after the checks that every reader makes first."""
    if len(contents) < 2:
        raise runtime("IO error: failed to fill whole buffer")
    if contents[0:2] != b"MD":
        raise runtime("Not a valid CWA file")
    if len(contents) < 1024:
        raise runtime("File too small to be a valid CWA file")
    if len(contents) % 512 != 0:
        raise runtime("Incomplete CWA data block")
    return (len(contents) - 1024) // 512


def block_at(contents: bytes, index: int) -> bytes:
    return contents[1024 + 512 * index : 1024 + 512 * (index + 1)]


@dataclass
class Plan:
    start_block: int = 0
    block_count: int | None = None
    range_start: float | None = None
    range_end: float | None = None


def plan_for(contents: bytes, cut) -> Plan:
    """cut: None, ("blocks", start, end) or ("seconds", start, end)."""
    if cut is None:
        return Plan()
    kind, start, end = cut
    if kind == "blocks":
        first = 0 if start is None else start
        return Plan(first, None if end is None else end - first)
    total = check_structure(contents)
    if total == 0:
        raise runtime("Start block is beyond file size")
    spans = []
    prev_end = None
    first_time = None
    for index in range(total):
        packet = meta_of(block_at(contents, index))
        if packet is None:
            continue
        natural_start, natural_end = natural_bounds(
            packet.timestamp, packet.offset, packet.count, packet.rate_code
        )
        if first_time is None:
            first_time = natural_start
            span_start = natural_start
        else:
            span_start = prev_end if natural_start - prev_end < 1.0 else natural_start
        spans.append((index, span_start, natural_end))
        prev_end = natural_end
    if not spans:
        raise runtime("No valid sample data found")
    range_start = None if start is None else start + first_time
    range_end = None if end is None else end + first_time
    selected = []
    for position, (_, span_start, span_end) in enumerate(spans):
        if range_start is not None and span_end <= range_start:
            continue
        if range_end is not None and span_start >= range_end:
            break
        selected.append(position)
    if not selected:
        raise runtime("No samples remain after applying seconds cut")
    first = max(selected[0] - 1, 0)
    last = min(selected[-1] + 1, len(spans) - 1)
    start_block = spans[first][0]
    return Plan(start_block, spans[last][0] - start_block + 1, range_start, range_end)


@dataclass
class Columns:
    timestamps: list = field(default_factory=list)
    channels: dict = field(default_factory=dict)  # name -> list, only present channels


def read_blocks(contents: bytes, plan: Plan, flags) -> Columns:
    include_mag, include_temperature, include_light, include_battery = flags
    total = check_structure(contents)
    first = plan.start_block
    if first >= total:
        raise runtime("Start block is beyond file size")
    count = total - first if plan.block_count is None else plan.block_count
    end = min(first + count, total)
    prev_end = None
    for index in range(first - 1, -1, -1):
        packet = meta_of(block_at(contents, index))
        if packet is not None:
            prev_end = natural_bounds(
                packet.timestamp, packet.offset, packet.count, packet.rate_code
            )[1]
            break
    result = Columns()
    wanted_per_packet = [
        name
        for name, wanted in (
            ("temperature", include_temperature),
            ("light", include_light),
            ("battery", include_battery),
        )
        if wanted
    ]
    for name in ("acc_x", "acc_y", "acc_z", *wanted_per_packet):
        result.channels[name] = []
    for index in range(first, end):
        packet = meta_of(block_at(contents, index))
        if packet is None:
            continue
        values = decode(packet, include_mag)
        n = packet.count
        stamps, prev_end = packet_timestamps(packet, n, prev_end)
        rows_before = len(result.timestamps)
        result.timestamps.extend(stamps)
        for name in MOTION:
            if name in values:
                column = result.channels.get(name)
                if column is None:
                    column = result.channels[name] = [F32(np.nan)] * rows_before
                column.extend(values[name])
            elif name in result.channels:
                result.channels[name].extend([F32(np.nan)] * n)
        for name in ("acc_x", "acc_y", "acc_z"):
            result.channels[name].extend(values[name])
        readings = per_packet_readings(packet)
        for name in wanted_per_packet:
            result.channels[name].extend([readings[name]] * n)
    if not result.timestamps:
        raise runtime("No valid sample data found in the specified range")
    return result


def filter_rows(columns: Columns, range_start, range_end) -> Columns:
    if range_start is None and range_end is None:
        return columns
    for bound in (range_start, range_end):
        if bound is not None and not math.isfinite(bound):
            raise runtime("time range values must be finite")
    if range_start is not None and range_end is not None and range_start >= range_end:
        raise runtime("range_end_time must be greater than range_start_time")
    keep = []
    for i, stamp in enumerate(columns.timestamps):
        seconds = float(stamp) / 1000000.0
        if range_start is not None and range_start > seconds:
            continue
        if range_end is not None and seconds >= range_end:
            continue
        keep.append(i)
    if not keep:
        raise runtime("No samples remain after applying time range")
    out = Columns([columns.timestamps[i] for i in keep], {})
    for name, values in columns.channels.items():
        kept = [values[i] for i in keep]
        if name in MOTION and all(math.isnan(v) for v in kept):
            continue
        out.channels[name] = kept
    return out


@dataclass
class Expected:
    columns: list  # names in output order
    arrays: dict  # name -> float32 ndarray
    index_us: np.ndarray  # int64 microseconds, UTC when utc is set
    utc: bool


def expected_frame(
    contents: bytes,
    cut=None,
    flags=(True, True, True, True),
    offset_us: int | None = None,
) -> Expected:
    """The frame read_cwa_file(path, cut, *flags, fixed_utc_offset_timezone=tz) must return,
    for a tz whose offset is offset_us; raises ModelError instead when it must fail."""
    plan = plan_for(contents, cut)
    columns = read_blocks(contents, plan, flags)
    columns = filter_rows(columns, plan.range_start, plan.range_end)
    stamps = columns.timestamps
    if offset_us is not None:
        stamps = [s - offset_us for s in stamps]
    names = [name for name in CHANNEL_ORDER if name in columns.channels]
    arrays = {name: np.array(columns.channels[name], dtype=np.float32) for name in names}
    return Expected(names, arrays, np.array(stamps, dtype=np.int64), offset_us is not None)


# --- data timing as read_metadata and sampling_consistency_report give it ----------------------


def data_time_span(contents: bytes):
    """First and last sample microseconds (None without data) and the sample total."""
    prev_end = first = last = None
    total = 0
    for index in range(check_structure(contents)):
        packet = meta_of(block_at(contents, index))
        if packet is None:
            continue
        start, end = natural_bounds(packet.timestamp, packet.offset, packet.count, packet.rate_code)
        if prev_end is not None and start - prev_end < 1.0:
            start = prev_end
        if first is None:
            first = to_micros(start)
        last = to_micros(((packet.count - 1) * ((end - start) / packet.count)) + start)
        total += packet.count
        prev_end = end
    return first, last, total


def iso_text(us: int) -> str:
    """Naive ISO 8601 text with no, three or six fraction digits."""
    moment = datetime.datetime(1970, 1, 1) + datetime.timedelta(microseconds=us)
    text = moment.strftime("%Y-%m-%dT%H:%M:%S")
    if moment.microsecond == 0:
        return text
    if moment.microsecond % 1000 == 0:
        return f"{text}.{moment.microsecond // 1000:03d}"
    return f"{text}.{moment.microsecond:06d}"
