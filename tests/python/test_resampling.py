"""Resampled reads: generated recordings compared bit for bit with a separate model, the
worked cases, the grid-origin lift, real recordings and the errors with their exact texts."""

from __future__ import annotations

import datetime
import math
import random
import sys

import numpy as np
import pytest

import velmora
from conftest import recording
from cwa_builder import JAN_2020, CwaFile, Packet, pack_time
from resample_model import MOTION, READINGS, NoRows, resampled_read

F32 = np.float32
FORMAT_CAPACITY = {0x30: 120, 0x32: 80, 0x62: 40, 0x92: 26}
CHANNELS = ("acc_x", "acc_y", "acc_z") + MOTION + READINGS
RATES = (0.1, 0.5, 1.0, 3.7, 10.0, 25.0, 30.0, 50.0, 99.9, 100.0, 128.0, 250.0, 1000.0, 3333.3,
         10000.0)  # fmt: skip
GRID_BUDGET = 8000  # grid points per generated case, to keep the model quick


# --- packet timing, for locating the blocks that a seconds cut plans -------------------------


def unpack_seconds(packed: int) -> int:
    moment = datetime.datetime(
        2000 + (packed >> 26), (packed >> 22) & 0xF, (packed >> 17) & 0x1F,
        (packed >> 12) & 0x1F, (packed >> 6) & 0x3F, packed & 0x3F,
    )  # fmt: skip
    return (moment.toordinal() - datetime.date(1970, 1, 1).toordinal()) * 86400 + (
        moment.hour * 3600 + moment.minute * 60 + moment.second
    )


def natural_bounds(packet: Packet) -> tuple[float, float]:
    rate = F32(3200.0 / 2 ** (15 - (packet.rate_code & 0x0F)))
    x = F32(-F32(packet.timestamp_offset)) / rate
    floor = F32(math.floor(x))
    start = float(F32(x - floor)) + (float(floor) + float(unpack_seconds(packet.timestamp)))
    return start, start + float(F32(F32(packet.sample_count) / rate))


def seconds_plan(blocks, cut_start, cut_end):
    """Returns (first block, block count, range start, range end) or the plan's error text."""
    spans = []
    previous_end = None
    for index, block in enumerate(blocks):
        if not is_data(block):
            continue
        start, end = natural_bounds(block)
        span_start = start if previous_end is None or start - previous_end >= 1.0 else previous_end
        spans.append((index, span_start, end))
        previous_end = end
    first_data_time = next(natural_bounds(b) for b in blocks if is_data(b))[0]
    low = None if cut_start is None else cut_start + first_data_time
    high = None if cut_end is None else cut_end + first_data_time
    selected = []
    for k, (_, span_start, span_end) in enumerate(spans):
        if low is not None and span_end <= low:
            continue
        if high is not None and span_start >= high:
            break
        selected.append(k)
    if not selected:
        return "No samples remain after applying seconds cut"
    first = max(selected[0] - 1, 0)
    last = min(selected[-1] + 1, len(spans) - 1)
    return spans[first][0], spans[last][0] - spans[first][0] + 1, low, high


def is_data(block) -> bool:
    return isinstance(block, Packet) and block.header == b"AX" and block.sample_count > 0


# --- generated recordings --------------------------------------------------------------------


def add_seconds(packed: int, seconds: int) -> int:
    moment = datetime.datetime(2000, 1, 1) + datetime.timedelta(
        seconds=unpack_seconds(packed) - unpack_seconds(pack_time(2000, 1, 1)) + seconds
    )
    return pack_time(moment.year, moment.month, moment.day, moment.hour, moment.minute,
                     moment.second)  # fmt: skip


def random_packet(rng: random.Random, fmt: int, rate_code: int, when: float) -> Packet:
    """A packet of format `fmt` whose first sample falls near `when` seconds after W."""
    count = FORMAT_CAPACITY[fmt] if rng.random() < 0.8 else rng.randint(1, FORMAT_CAPACITY[fmt])
    rate = 3200.0 / 2 ** (15 - (rate_code & 0x0F))
    offset = rng.randint(-count, count)
    # The block timestamp is the time of sample `offset`: whole seconds only.
    stamp = math.floor(when + offset / rate)
    offset = int(round((stamp - when) * rate))
    offset = max(-32768, min(32767, offset))
    return Packet(
        timestamp=add_seconds(JAN_2020, stamp), rate_code=rate_code, sample_format=fmt,
        sample_count=count, timestamp_offset=offset,
        light=rng.randrange(0x10000), temperature=rng.randrange(0x10000),
        battery=rng.randrange(256), sample_data=rng.randbytes(480),
    )  # fmt: skip


def random_recording(rng: random.Random, hz: float) -> list:
    rate_code = rng.choice([0x46, 0x48, 0x4A, 0x4B, 0x4C, 0x4E])
    rate = 3200.0 / 2 ** (15 - (rate_code & 0x0F))
    mixed = rng.random() < 0.5
    single_format = rng.choice(list(FORMAT_CAPACITY))
    duration = min(GRID_BUDGET / hz, 400.0)
    blocks = []
    when = rng.randint(0, 86400 * 30) + rng.random()
    elapsed = 0.0
    while (elapsed < duration and len(blocks) < 300) or len(blocks) < 3:
        fmt = rng.choice(list(FORMAT_CAPACITY)) if mixed else single_format
        packet = random_packet(rng, fmt, rate_code, when)
        blocks.append(packet)
        step = packet.sample_count / rate
        roll = rng.random()
        if roll < 0.05:
            step += rng.uniform(0.0, 0.9)  # a short gap, closed by continuity
        elif roll < 0.09 and step < duration / 3:
            step += rng.uniform(1.0, max(1.5, duration / 4))  # a real gap
        elif roll < 0.13:
            step -= rng.uniform(0.0, step * 1.5)  # an overlap
        elif roll < 0.15:
            step -= rng.uniform(2.0, 5.0)  # the clock jumps back
        if rng.random() < 0.04:
            blocks.append(bytes(512) if rng.random() < 0.5 else Packet(sample_count=0))
        when += step
        elapsed += max(step, 0.01)
    return blocks


# --- running both sides ----------------------------------------------------------------------


def frame_columns(frame) -> dict:
    columns = {"timestamps": np.asarray(frame.index.asi8, dtype=np.int64)}
    for name in frame.columns:
        columns[name] = np.asarray(frame[name].to_numpy(), dtype=np.float32)
    return columns


def model_input(path, cut, include_magnetometer):
    plain = velmora.read_cwa_file(path, cut=cut, include_magnetometer=include_magnetometer)
    assert str(plain.index.dtype) == "datetime64[us]"
    columns = frame_columns(plain)
    rows = len(columns["timestamps"])
    for name in CHANNELS:
        columns.setdefault(name, np.full(rows, np.nan, dtype=np.float32))
    return columns


def assert_same_columns(actual: dict, expected: dict):
    assert list(actual) == list(expected)
    for name in expected:
        a, e = actual[name], expected[name]
        assert a.dtype == e.dtype, name
        assert a.shape == e.shape, name
        mismatch = np.flatnonzero(a.view(np.uint32 if a.dtype == np.float32 else np.uint64)
                                  != e.view(np.uint32 if e.dtype == np.float32 else np.uint64))
        assert mismatch.size == 0, f"{name}: first difference at row {mismatch[:5]}"


def run_case(tmp_path, blocks, hz, cut_kind, rng, readings=READINGS, include_magnetometer=True):
    path = CwaFile(blocks=blocks).write(tmp_path / "generated.cwa")
    start = end = None
    cut = None
    input_cut = None
    data_blocks = [k for k, b in enumerate(blocks) if is_data(b)]
    if cut_kind == "blocks":
        first = rng.randrange(0, len(blocks))
        last = rng.randrange(first + 1, len(blocks) + 2)
        cut = input_cut = velmora.blocks(first, last)
    elif cut_kind == "seconds":
        total = natural_bounds(blocks[data_blocks[-1]])[1] - natural_bounds(blocks[data_blocks[0]])[0]
        span = max(abs(total), 1.0)
        cut_start = rng.choice([None, rng.uniform(0.0, span * 0.6)])
        cut_end = rng.choice([None, (cut_start or 0.0) + rng.uniform(0.001, span * 0.6)])
        cut = velmora.seconds(cut_start, cut_end)
        plan = seconds_plan(blocks, cut_start, cut_end)
        if isinstance(plan, str):
            with pytest.raises(RuntimeError) as caught:
                velmora.read_cwa_file(path, cut=cut, resample_hz=hz)
            assert str(caught.value) == plan
            return
        first, count, start, end = plan
        input_cut = velmora.blocks(first, first + count)
    kwargs = {"include_" + name: name in readings for name in READINGS}
    try:
        samples = model_input(path, input_cut, include_magnetometer)
    except RuntimeError as error:
        with pytest.raises(RuntimeError) as caught:
            velmora.read_cwa_file(path, cut=cut, resample_hz=hz,
                                  include_magnetometer=include_magnetometer, **kwargs)
        assert str(caught.value) == str(error)
        return
    try:
        expected = resampled_read(samples["timestamps"], samples, hz, start, end,
                                  tuple(name for name in READINGS if name in readings))
    except NoRows as outcome:
        with pytest.raises(RuntimeError) as caught:
            velmora.read_cwa_file(path, cut=cut, resample_hz=hz,
                                  include_magnetometer=include_magnetometer, **kwargs)
        assert str(caught.value) == str(outcome)
        return
    frame = velmora.read_cwa_file(path, cut=cut, resample_hz=hz,
                                  include_magnetometer=include_magnetometer, **kwargs)
    assert frame.index.name == "timestamp"
    assert_same_columns(frame_columns(frame), expected)


@pytest.mark.parametrize("seed", range(60))
def test_generated_recording_matches_model(tmp_path, seed):
    rng = random.Random(seed)
    hz = RATES[seed % len(RATES)] if seed < 45 else rng.uniform(0.1, 10000.0)
    blocks = random_recording(rng, hz)
    cut_kind = ("none", "seconds", "blocks", "seconds")[seed % 4]
    readings = tuple(name for name in READINGS if rng.random() < 0.7)
    run_case(tmp_path, blocks, hz, cut_kind, rng, readings, include_magnetometer=seed % 5 != 3)


@pytest.mark.parametrize("name", ["ax3-packed-100hz.cwa", "ax6-gyro-100hz.cwa"])
@pytest.mark.parametrize("hz", [1.0, 30.0, 100.0, 333.0])
def test_real_recording_matches_model(name, hz):
    path = recording(name)
    samples = model_input(path, None, True)
    expected = resampled_read(samples["timestamps"], samples, hz)
    assert_same_columns(frame_columns(velmora.read_cwa_file(path, resample_hz=hz)), expected)


# --- worked cases through read_cwa_file ------------------------------------------------------


def whole_second_packets(count, **fields):
    return [Packet(timestamp=add_seconds(JAN_2020, k), sample_count=100, **fields)
            for k in range(count)]  # fmt: skip


def test_seconds_window_gives_whole_second_rows(cwa_path):
    path = cwa_path(CwaFile(blocks=whole_second_packets(30)))
    frame = velmora.read_cwa_file(path, cut=velmora.seconds(10, 20), resample_hz=1)
    first = 1577836800 * 1000000
    assert list(frame.index.asi8) == [first + s * 1000000 for s in range(10, 20)]
    assert list(frame.columns) == ["acc_x", "acc_y", "acc_z", "temperature", "light", "battery"]


def test_first_grid_point_rounding_below_first_sample_still_resamples(cwa_path):
    packet = Packet(rate_code=0x43, timestamp_offset=-60)
    path = cwa_path(CwaFile(blocks=[packet, packet.with_(timestamp=add_seconds(JAN_2020, 153))]))
    frame = velmora.read_cwa_file(path, resample_hz=1)
    assert frame.index.asi8[0] == 1577836876800003
    assert len(frame) > 150


def test_subnormal_rate_reports_no_samples(cwa_path):
    path = cwa_path(CwaFile(blocks=whole_second_packets(5)))
    with pytest.raises(RuntimeError) as caught:
        velmora.read_cwa_file(path, resample_hz=sys.float_info.min * sys.float_info.epsilon)
    assert str(caught.value) == "No samples remain after applying time range/resampling"


@pytest.mark.parametrize(
    ("kwargs", "kind", "text"),
    [
        ({"resample_hz": 0}, ValueError, "resample_hz must be a finite value > 0"),
        ({"resample_hz": -1.0}, ValueError, "resample_hz must be a finite value > 0"),
        ({"resample_hz": math.nan}, ValueError, "resample_hz must be a finite value > 0"),
        ({"resample_hz": math.inf}, ValueError, "resample_hz must be a finite value > 0"),
        ({"resample_hz": 10000.5}, ValueError, "resample_hz must be <= 10000"),
        ({"resample_hz": 50, "resample_method": "Cubic"}, ValueError,
         "Unsupported resample_method 'Cubic'. Supported: cubic"),
        ({"resample_hz": 0, "resample_method": "Cubic"}, ValueError,
         "resample_hz must be a finite value > 0"),
        ({"resample_hz": 0, "cut": {"type": "Seconds"}}, ValueError,
         "cut type must be 'seconds' or 'blocks'"),
        ({"resample_hz": 5, "cut": {"type": "blocks", "end": 0}}, RuntimeError,
         "No valid sample data found in the specified range"),
    ],
)  # fmt: skip
def test_option_errors_come_first_with_exact_text(cwa_path, kwargs, kind, text):
    path = cwa_path(CwaFile(blocks=whole_second_packets(3)))
    with pytest.raises(kind) as caught:
        velmora.read_cwa_file(path, **kwargs)
    assert type(caught.value) is kind
    assert str(caught.value) == text


def test_bad_rate_is_reported_before_missing_file(tmp_path):
    with pytest.raises(ValueError, match="^resample_hz must be <= 10000$"):
        velmora.read_cwa_file(str(tmp_path / "missing.cwa"), resample_hz=20000)
    with pytest.raises(RuntimeError, match="^IO error: "):
        velmora.read_cwa_file(str(tmp_path / "missing.cwa"), resample_hz=100)


def test_method_ignored_without_rate(cwa_path):
    path = cwa_path(CwaFile(blocks=whole_second_packets(2)))
    assert len(velmora.read_cwa_file(path, resample_method="Cubic")) == 200


def test_utc_offset_moves_grid_times(cwa_path):
    path = cwa_path(CwaFile(blocks=whole_second_packets(3)))
    plain = velmora.read_cwa_file(path, resample_hz=7)
    shifted = velmora.read_cwa_file(
        path, resample_hz=7,
        fixed_utc_offset_timezone=datetime.timezone(datetime.timedelta(hours=1)),
    )  # fmt: skip
    assert list(shifted.index.asi8) == [t - 3600 * 1000000 for t in plain.index.asi8]

