"""Resampled reads: generated recordings compared bit for bit with a separate model, the
worked cases, the grid-origin lift, real recordings and the errors with their exact texts."""

from __future__ import annotations

import datetime
import math
import os
import random
import subprocess
import sys

import numpy as np
import pytest
from conftest import raises_exactly, recording
from cwa_builder import JAN_2020, CwaFile, Packet, add_seconds, consecutive_packets
from read_model import ModelError, natural_bounds, plan_for
from resample_model import MOTION, READINGS, NoRows, resampled_read

import velmora

FORMAT_CAPACITY = {0x30: 120, 0x32: 80, 0x62: 40, 0x92: 26}
CHANNELS = ("acc_x", "acc_y", "acc_z") + MOTION + READINGS
RATES = (
    0.1,
    0.5,
    1.0,
    3.7,
    10.0,
    25.0,
    30.0,
    50.0,
    99.9,
    100.0,
    128.0,
    250.0,
    1000.0,
    3333.3,
    10000.0,
)
RATE_CODES = (0x46, 0x48, 0x4A, 0x4B, 0x4C, 0x4E)
GRID_BUDGET = 4000  # grid points per generated case, to keep the model quick


def rate_of(code: int) -> float:
    return 3200.0 / 2 ** (15 - (code & 0x0F))


def bounds(packet: Packet) -> tuple[float, float]:
    return natural_bounds(
        packet.timestamp, packet.timestamp_offset, packet.sample_count, packet.rate_code
    )


def random_packet(rng: random.Random, fmt: int, rate_code: int, when: float) -> Packet:
    """A packet of format `fmt` whose first sample falls near `when` seconds after 2020."""
    count = FORMAT_CAPACITY[fmt] if rng.random() < 0.8 else rng.randint(1, FORMAT_CAPACITY[fmt])
    rate = rate_of(rate_code)
    # The block timestamp is the time of sample `offset`: whole seconds only.
    stamp = math.floor(when + rng.randint(-count, count) / rate)
    offset = max(-32768, min(32767, int(round((stamp - when) * rate))))
    return Packet(
        timestamp=add_seconds(JAN_2020, stamp),
        rate_code=rate_code,
        sample_format=fmt,
        sample_count=count,
        timestamp_offset=offset,
        light=rng.randrange(0x10000),
        temperature=rng.randrange(0x10000),
        battery=rng.randrange(256),
        sample_data=rng.randbytes(480),
    )


def random_recording(rng: random.Random, hz: float) -> list:
    # Three full packets at most fill the grid budget.
    codes = [c for c in RATE_CODES if 360 / rate_of(c) * hz <= GRID_BUDGET] or [0x4E]
    rate_code = rng.choice(codes)
    formats = list(FORMAT_CAPACITY) if rng.random() < 0.5 else [rng.choice(list(FORMAT_CAPACITY))]
    duration = min(GRID_BUDGET / hz, 400.0)
    blocks = []
    when = rng.randint(0, 86400 * 30) + rng.random()
    elapsed = 0.0
    while (elapsed < duration and len(blocks) < 300) or len(blocks) < 3:
        packet = random_packet(rng, rng.choice(formats), rate_code, when)
        blocks.append(packet)
        step = packet.sample_count / rate_of(rate_code)
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


def frame_columns(frame) -> dict:
    columns = {"timestamps": np.asarray(frame.index.asi8, dtype=np.int64)}
    for name in frame.columns:
        columns[name] = np.asarray(frame[name].to_numpy(), dtype=np.float32)
    return columns


def model_input(path, cut, include_magnetometer):
    """The plain samples of the same blocks, with every absent channel as NaN."""
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
        assert (a.dtype, a.shape) == (e.dtype, e.shape), name
        mismatch = np.flatnonzero(a.view(f"u{a.itemsize}") != e.view(f"u{e.itemsize}"))
        assert mismatch.size == 0, f"{name}: first difference at row {mismatch[:5]}"


@pytest.mark.parametrize("seed", range(40))
def test_generated_recording_matches_model(tmp_path, seed):
    rng = random.Random(seed)
    hz = RATES[seed % len(RATES)] if seed < 30 else rng.uniform(0.1, 10000.0)
    blocks = random_recording(rng, hz)
    readings = tuple(name for name in READINGS if rng.random() < 0.7)
    include_magnetometer = seed % 5 != 3
    path = CwaFile(blocks=blocks).write(tmp_path / "generated.cwa")
    cut = input_cut = start = end = None
    if seed % 4 == 2:
        first = rng.randrange(0, len(blocks))
        cut = input_cut = velmora.blocks(first, rng.randrange(first + 1, len(blocks) + 2))
    elif seed % 2 == 1:
        data = [b for b in blocks if isinstance(b, Packet) and b.sample_count > 0]
        span = max(abs(bounds(data[-1])[1] - bounds(data[0])[0]), 1.0)
        cut_start = rng.choice([None, rng.uniform(0.0, span * 0.6)])
        cut_end = rng.choice([None, (cut_start or 0.0) + rng.uniform(0.001, span * 0.6)])
        cut = velmora.seconds(cut_start, cut_end)

    def read():
        return velmora.read_cwa_file(
            path,
            cut=cut,
            resample_hz=hz,
            include_magnetometer=include_magnetometer,
            **{"include_" + name: name in readings for name in READINGS},
        )

    try:
        if cut is not None and cut["type"] == "seconds":
            plan = plan_for(CwaFile(blocks=blocks).to_bytes(), ("seconds", cut_start, cut_end))
            input_cut = velmora.blocks(plan.start_block, plan.start_block + plan.block_count)
            start, end = plan.range_start, plan.range_end
        samples = model_input(path, input_cut, include_magnetometer)
        expected = resampled_read(samples["timestamps"], samples, hz, start, end, readings)
    except (ModelError, NoRows, RuntimeError) as outcome:
        text = outcome.text if isinstance(outcome, ModelError) else str(outcome)
        raises_exactly(RuntimeError, text, read)
        return
    frame = read()
    assert frame.index.name == "timestamp"
    assert_same_columns(frame_columns(frame), expected)


@pytest.mark.parametrize("name", ["ax3-packed-100hz.cwa", "ax6-gyro-100hz.cwa"])
@pytest.mark.parametrize("hz", [1.0, 100.0, 333.0])
def test_real_recording_matches_model(name, hz):
    path = recording(name)
    samples = model_input(path, None, True)
    expected = resampled_read(samples["timestamps"], samples, hz)
    assert_same_columns(frame_columns(velmora.read_cwa_file(path, resample_hz=hz)), expected)


def test_grid_points_in_a_gap_lie_between_the_samples_around_it(cwa_path):
    # Five minutes without samples between two runs of noisy packets: a cubic through the close
    # pairs on either side would swing far outside the data in the gap.
    rng = random.Random(22)
    runs = [(0, 3), (303, 3)]
    blocks = [
        packet.with_(sample_data=rng.randbytes(480))
        for start, count in runs
        for packet in consecutive_packets(count, add_seconds(JAN_2020, start), sample_count=100)
    ]
    path = cwa_path(CwaFile(blocks=blocks))
    samples = model_input(path, None, True)
    frame = velmora.read_cwa_file(path, resample_hz=10.0)
    assert_same_columns(frame_columns(frame), resampled_read(samples["timestamps"], samples, 10.0))
    times = samples["timestamps"]
    before = int(np.flatnonzero(np.diff(times) > 60_000_000)[0])
    inside = (frame.index.asi8 > times[before]) & (frame.index.asi8 < times[before + 1])
    assert inside.sum() > 2900
    for name in ("acc_x", "acc_y", "acc_z"):
        ends = samples[name][before : before + 2]
        values = frame[name].to_numpy()[inside]
        assert ends.min() <= values.min() and values.max() <= ends.max(), name


def whole_second_packets(count):
    return consecutive_packets(count, sample_count=100)


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


def test_offset_moves_grid_times_and_keeps_columns(cwa_path):
    path = cwa_path(CwaFile(blocks=whole_second_packets(3)))
    plain = velmora.read_cwa_file(path, resample_hz=7)
    utc_plus_one = datetime.timezone(datetime.timedelta(hours=1))
    shifted = velmora.read_cwa_file(path, resample_hz=7, fixed_utc_offset_timezone=utc_plus_one)
    assert list(shifted.index.asi8) == [t - 3600 * 1000000 for t in plain.index.asi8]
    assert (shifted.index.name, str(shifted.index.dtype)) == ("timestamp", "datetime64[us, UTC]")
    assert list(shifted.columns) == list(plain.columns)
    assert all(dtype == np.float32 for dtype in shifted.dtypes)


def test_method_is_ignored_without_rate(cwa_path):
    path = cwa_path(CwaFile(blocks=whole_second_packets(2)))
    assert len(velmora.read_cwa_file(path, resample_method="Cubic")) == 200


FINITE = "resample_hz must be a finite value > 0"


@pytest.mark.parametrize(
    ("good_file", "kwargs", "kind", "text"),
    [
        # Options are checked before the file is opened, the cut before the rate and the
        # rate before the method.
        (False, {"resample_hz": 0}, ValueError, FINITE),
        (False, {"resample_hz": -1.0}, ValueError, FINITE),
        (False, {"resample_hz": math.nan}, ValueError, FINITE),
        (False, {"resample_hz": math.inf}, ValueError, FINITE),
        (False, {"resample_hz": 10000.5}, ValueError, "resample_hz must be <= 10000"),
        (
            False,
            {"resample_hz": 50, "resample_method": "Cubic"},
            ValueError,
            "Unsupported resample_method 'Cubic'. Supported: cubic",
        ),
        (False, {"resample_hz": 0, "resample_method": "Cubic"}, ValueError, FINITE),
        (
            False,
            {"resample_hz": 0, "cut": {"type": "Seconds"}},
            ValueError,
            "cut type must be 'seconds' or 'blocks'",
        ),
        (
            False,
            {"resample_hz": 100},
            RuntimeError,
            "IO error: No such file or directory (os error 2)",
        ),
        (
            True,
            {"resample_hz": 5, "cut": {"type": "blocks", "end": 0}},
            RuntimeError,
            "No valid sample data found in the specified range",
        ),
        (
            True,
            {"resample_hz": sys.float_info.min * sys.float_info.epsilon},
            RuntimeError,
            "No samples remain after applying time range/resampling",
        ),
    ],
)
def test_errors_and_their_order(tmp_path, good_file, kwargs, kind, text):
    path = tmp_path / "three.cwa"
    if good_file:
        CwaFile(blocks=whole_second_packets(3)).write(path)
    raises_exactly(kind, text, velmora.read_cwa_file, str(path), **kwargs)


# One flipped bit in one block timestamp puts a packet 32 years later: its grid cannot be held.
# The child runs under an address-space limit, so that a read that grows without bound fails
# there instead of taking the machine's memory.
HUGE_GRID_CHILD = """
import resource, sys, velmora
resource.setrlimit(resource.RLIMIT_AS, (8 << 30, 8 << 30))
try:
    velmora.read_cwa_file(sys.argv[1], resample_hz=33.0)
except MemoryError as error:
    print(str(error))
"""


def test_a_grid_beyond_physical_memory_is_refused_at_once(cwa_path):
    packets = consecutive_packets(20)
    packets[10] = packets[10].with_(timestamp=packets[10].timestamp ^ (1 << 31))
    path = cwa_path(CwaFile(blocks=packets))
    assert len(velmora.read_cwa_file(path)) == 20 * 120
    run = subprocess.run(
        [sys.executable, "-c", HUGE_GRID_CHILD, path],
        capture_output=True,
        text=True,
        timeout=60,
        check=True,
        env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)),
    )
    text = run.stdout.strip()
    assert text.startswith("Cannot hold ") and " rows of " in text, text
    assert text.endswith("of physical memory"), text
    rows = int(text.split()[2])
    assert rows > 32 * 365 * 86400 * 33
