"""read_cwa_file against the separate model in read_model.py, on generated and real recordings."""

from __future__ import annotations

import datetime
import random

import numpy as np
import pytest
from conftest import recording
from cwa_builder import JAN_2020, CwaFile, Metadata, Packet, add_seconds
from read_model import ModelError, expected_frame

import velmora

FORMATS = (0x30, 0x32, 0x62, 0x92)
CAPACITY = {0x30: 120, 0x32: 80, 0x62: 40, 0x92: 26}


def random_packet(rng: random.Random, fmt: int, timestamp: int, rate_code: int, sequence: int):
    return Packet(
        timestamp=timestamp,
        sequence_id=sequence,
        light=rng.getrandbits(16),
        temperature=rng.getrandbits(16),
        battery=rng.getrandbits(8),
        rate_code=rate_code,
        sample_format=fmt,
        sample_data=rng.randbytes(480),
        timestamp_offset=rng.choice((0, 0, rng.randint(-150, 150), rng.randint(-32768, 32767))),
        sample_count=CAPACITY[fmt] if rng.random() < 0.7 else rng.randint(1, CAPACITY[fmt]),
    )


def non_data_block(rng: random.Random) -> bytes:
    kind = rng.randrange(4)
    if kind == 0:
        return bytes(512)
    if kind == 1:
        return b"MD" + rng.randbytes(510)
    if kind == 2:
        # Sample count 0: skipped whatever else the header holds.
        return Packet(sample_count=0, rate_code=0, timestamp=0).to_bytes()
    return b"XY" + rng.randbytes(510)


def broken_packet(rng: random.Random, timestamp: int) -> Packet:
    return rng.choice(
        (
            Packet(timestamp=0xFFFFFFFF),
            Packet(timestamp=timestamp, rate_code=0),
            Packet(timestamp=timestamp, sample_format=0x31),
            Packet(timestamp=timestamp, sample_format=0x62, sample_count=41),
        )
    )


def random_recording(rng: random.Random) -> tuple[bytes, int]:
    """File bytes and the number of blocks."""
    main_format = rng.choice(FORMATS)
    rate_code = rng.choice((0x47, 0x48, 0x49, 0x4A, 0x4B, 0x4C, 0x1A, 0xEA))
    blocks = []
    seconds = 0
    for sequence in range(rng.randint(1, 25)):
        roll = rng.random()
        if roll < 0.1:
            blocks.append(non_data_block(rng))
            continue
        if roll < 0.115:
            blocks.append(broken_packet(rng, add_seconds(JAN_2020, seconds)))
            continue
        fmt = main_format if rng.random() < 0.85 else rng.choice(FORMATS)
        step = rng.choice((1, 1, 1, 0, 2, 3, -2, 5, 100))
        seconds = max(seconds + step, 0)
        blocks.append(random_packet(rng, fmt, add_seconds(JAN_2020, seconds), rate_code, sequence))
    contents = CwaFile(Metadata(rate_code=rate_code), blocks).to_bytes()
    return contents, len(blocks)


def random_cut(rng: random.Random, block_count: int):
    """(velmora cut, model cut)."""
    kind = rng.randrange(3)
    if kind == 0:
        return None, None
    if kind == 1:
        start = rng.choice((None, rng.randint(0, block_count)))
        low = 0 if start is None else start + 1
        end = rng.choice((None, rng.randint(low, block_count + 2)))
        return velmora.blocks(start, end), ("blocks", start, end)
    start = rng.choice((None, 0.0, rng.uniform(0, 40)))
    low = 0.0 if start is None else start
    end = rng.choice((None, low + rng.uniform(0.001, 30)))
    return velmora.seconds(start, end), ("seconds", start, end)


def assert_read_matches(path: str, contents: bytes, cut, model_cut, flags, offset_us):
    tz = None if offset_us is None else datetime.timezone(datetime.timedelta(0, 0, offset_us))
    try:
        expected = expected_frame(contents, model_cut, flags, offset_us)
    except ModelError as error:
        with pytest.raises(Exception) as raised:
            velmora.read_cwa_file(path, cut, *flags, fixed_utc_offset_timezone=tz)
        assert (type(raised.value).__name__, str(raised.value)) == (error.kind, error.text)
        return
    frame = velmora.read_cwa_file(path, cut, *flags, fixed_utc_offset_timezone=tz)
    assert list(frame.columns) == expected.columns
    for name in expected.columns:
        values = frame[name].to_numpy()
        assert values.dtype == np.float32, name
        # Bit patterns: equal values, equal NaN positions, equal signs of zero.
        np.testing.assert_array_equal(
            values.view(np.uint32), expected.arrays[name].view(np.uint32), err_msg=name
        )
    assert frame.index.name == "timestamp"
    assert str(frame.index.dtype) == ("datetime64[us, UTC]" if expected.utc else "datetime64[us]")
    np.testing.assert_array_equal(np.asarray(frame.index.asi8), expected.index_us)


@pytest.mark.parametrize("seed", range(400))
def test_generated_recording_matches_model(seed, cwa_path):
    rng = random.Random(seed)
    contents, block_count = random_recording(rng)
    cut, model_cut = random_cut(rng, block_count)
    flags = tuple(rng.random() < 0.7 for _ in range(4))
    odd_offset = rng.randint(-86_399, 86_399) * 1_000_000 + 7
    offset_us = rng.choice((None, None, 0, 3_600_000_000, -18_000_000_000, odd_offset))
    assert_read_matches(cwa_path(contents), contents, cut, model_cut, flags, offset_us)


@pytest.mark.parametrize("name", ["ax3-packed-100hz.cwa", "ax6-gyro-100hz.cwa"])
@pytest.mark.parametrize(
    "cut",
    [
        None,
        ("blocks", 3, 40),
        ("blocks", 100, None),
        ("seconds", 0.0, None),
        ("seconds", 12.345, 47.5),
        ("seconds", None, 3.0),
    ],
    ids=repr,
)
@pytest.mark.parametrize("offset_us", [None, 7_200_000_000])
def test_real_recording_matches_model(name, cut, offset_us):
    path = recording(name)
    with open(path, "rb") as handle:
        contents = handle.read()
    velmora_cut = None if cut is None else getattr(velmora, cut[0])(cut[1], cut[2])
    assert_read_matches(path, contents, velmora_cut, cut, (True, True, True, True), offset_us)
