"""Block scan, salvaged reads and the quality summary of damaged recordings.

The oracle for "damaged" is the reader itself: a block is damaged when a file holding only that
block fails read_cwa_file with another error than "no samples". A salvaged read must equal
read_cwa_file on a copy of the file in which those blocks start with two zero bytes.
"""

from __future__ import annotations

import os
import pathlib
import random
import struct
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
from conftest import raises_exactly, recording
from cwa_builder import CwaFile, checksum_ok, consecutive_packets, packed_samples, packed_word

import velmora
from velmora_batch import quality, read_salvaged, scan_blocks

NO_SAMPLES = "No valid sample data found in the specified range"
BLOCK = 512


def block_bytes(data: bytes, k: int) -> bytes:
    return data[1024 + BLOCK * k : 1024 + BLOCK * (k + 1)]


def reader_verdict(tmp_path, data: bytes, k: int) -> tuple[str, str | None]:
    """("data" | "skipped" | "damaged", error text) as read_cwa_file takes block k alone."""
    alone = tmp_path / "alone.cwa"
    alone.write_bytes(data[:1024] + block_bytes(data, k))
    try:
        velmora.read_cwa_file(str(alone))
    except RuntimeError as error:
        if str(error) == NO_SAMPLES:
            return "skipped", None
        return "damaged", str(error)
    return "data", None


def zeroed_copy(tmp_path, data: bytes, blocks) -> str:
    copy = bytearray(data[: 1024 + BLOCK * ((len(data) - 1024) // BLOCK)])
    for k in blocks:
        copy[1024 + BLOCK * k : 1024 + BLOCK * k + 2] = b"\0\0"
    path = tmp_path / "zeroed.cwa"
    path.write_bytes(bytes(copy))
    return str(path)


def outcome(call, *args, **kwargs):
    try:
        return call(*args, **kwargs)
    except (RuntimeError, ValueError, MemoryError) as error:
        return (type(error), str(error))


def assert_same(salvaged, expected):
    if isinstance(expected, tuple):
        assert salvaged == expected
        return
    assert not isinstance(salvaged, tuple), salvaged
    pd.testing.assert_frame_equal(salvaged, expected, check_exact=True)


CORRUPTIONS = [
    lambda p, rng: p.with_(rate_code=0),
    lambda p, rng: p.with_(sample_format=rng.choice([0x31, 0x60, 0x00, 0xFF])),
    lambda p, rng: p.with_(sample_count=rng.choice([121, 500, 0xFFFF])),
    lambda p, rng: p.with_(timestamp=rng.choice([0, 0xFFFFFFFF, 0x7FFFFFFF])),
    lambda p, rng: p.with_(header=b"MD"),
    lambda p, rng: p.with_(sample_count=0, rate_code=0),
    # Within the day fields: a flipped year would make resampled reads of decades.
    lambda p, rng: p.with_(timestamp=p.timestamp ^ (1 << rng.randrange(17))),
]


def random_file(rng: random.Random) -> tuple[bytes, list]:
    count = rng.randrange(1, 12)
    packets = consecutive_packets(count, seconds_per_packet=rng.choice([1, 2, 5]))
    for packet in packets:
        packet.sample_data = packed_samples(rng.getrandbits(32) for _ in range(120))
        packet.light = rng.getrandbits(16)
    blocks = []
    for packet in packets:
        roll = rng.random()
        if roll < 0.3:
            blocks.append(rng.choice(CORRUPTIONS)(packet, rng).to_bytes())
        elif roll < 0.4:  # a bit of the block outside the time's date, checksum left as it was
            raw = bytearray(packet.to_bytes())
            raw[rng.choice([*range(16), *range(18, BLOCK)])] ^= 1 << rng.randrange(8)
            blocks.append(bytes(raw))
        else:
            blocks.append(packet.to_bytes())
    tail = b"" if rng.random() < 0.8 else bytes(rng.randrange(1, BLOCK))
    return CwaFile(blocks=blocks, tail=tail).to_bytes(), blocks


def random_options(rng: random.Random) -> dict:
    options = {}
    if rng.random() < 0.3:
        options["cut"] = velmora.blocks(rng.randrange(3), rng.randrange(3, 12))
    elif rng.random() < 0.3:
        options["cut"] = velmora.seconds(rng.choice([0, 0.5, 3]), rng.choice([None, 8.0]))
    if rng.random() < 0.25:
        options["resample_hz"] = rng.choice([25.0, 100.0])
    options["include_light"] = rng.random() < 0.5
    return options


@pytest.mark.parametrize("seed", range(20))
def test_salvaged_reads_equal_reads_of_the_zeroed_copy(tmp_path, seed):
    rng = random.Random(seed)
    for _ in range(10):
        data, blocks = random_file(rng)
        path = tmp_path / "damaged.cwa"
        path.write_bytes(data)
        verdicts = [reader_verdict(tmp_path, data, k) for k in range(len(blocks))]
        damaged = [k for k, (kind, _) in enumerate(verdicts) if kind == "damaged"]
        bad_sum = [
            k
            for k, (kind, _) in enumerate(verdicts)
            if kind == "data" and not checksum_ok(blocks[k])
        ]

        scan = scan_blocks(path)
        kinds = [kind for kind, _ in verdicts] + (["truncated"] if len(data) % BLOCK else [])
        assert scan["kind"].tolist() == kinds
        reasons = [None if pd.isna(r) else r for r in scan["reason"].iloc[: len(blocks)]]
        assert reasons == [reason for _, reason in verdicts]

        options = random_options(rng)
        expected = outcome(velmora.read_cwa_file, zeroed_copy(tmp_path, data, damaged), **options)
        assert_same(outcome(read_salvaged, str(path), **options), expected)
        strict = zeroed_copy(tmp_path, data, damaged + bad_sum)
        expected = outcome(velmora.read_cwa_file, strict, **options)
        salvaged = outcome(read_salvaged, path, drop_bad_checksums=True, **options)
        assert_same(salvaged, expected)
        if not isinstance(salvaged, tuple):
            assert salvaged.attrs["quality"]["checksum_failures"] == len(bad_sum)


@pytest.mark.parametrize("options", [{}, {"include_light": True, "cut": velmora.seconds(2, 9)}])
def test_salvaged_csv_and_header_facts_equal_the_zeroed_copys(tmp_path, options):
    from velmora_batch.blocks import raw_scan
    from velmora_batch.salvage import masked_header_facts, masked_write_csv

    blocks = [p.to_bytes() for p in consecutive_packets(10)]
    blocks[3] = CORRUPTIONS[3](consecutive_packets(10)[3], random.Random(1)).to_bytes()
    data = CwaFile(blocks=blocks, tail=b"xyz").to_bytes()
    path = tmp_path / "damaged.cwa"
    path.write_bytes(data)
    masked_write_csv(raw_scan(path), True, str(tmp_path / "salvaged.csv"), **options)
    velmora.write_cwa_csv(zeroed_copy(tmp_path, data, [3]), str(tmp_path / "zeroed.csv"), **options)
    assert (tmp_path / "salvaged.csv").read_bytes() == (tmp_path / "zeroed.csv").read_bytes()
    copy = zeroed_copy(tmp_path, data, [3])
    expected = (velmora.read_metadata(copy), velmora.sampling_consistency_report(copy))
    assert masked_header_facts(raw_scan(path), True) == expected


def flipped_checksum_file() -> bytes:
    """Ten 1 s packets; block 6's timestamp gets one high bit flipped, months away."""
    blocks = [p.to_bytes() for p in consecutive_packets(10)]
    raw = bytearray(blocks[6])
    raw[14 + 3] ^= 0x40  # bit 30 of the packed time: the year field, 16 years on
    blocks[6] = bytes(raw)
    return CwaFile(blocks=blocks).to_bytes()


def test_a_flipped_timestamp_bit_fails_the_checksum_and_is_suspect(cwa_path):
    path = cwa_path(flipped_checksum_file())
    scan = scan_blocks(path)
    assert scan["checksum_ok"].tolist() == [True] * 6 + [False] + [True] * 3
    summary = quality(path, drop_bad_checksums=False)
    assert summary.suspect_blocks == [6]
    assert summary.checksum_failed_blocks == [6]
    assert [(jump.previous_block, jump.block) for jump in summary.time_jumps] == [(5, 6), (6, 7)]
    # Dropped, the block leaves a 1 s hole between intact neighbours, not a 16-year span.
    strict = quality(path)
    assert strict.damaged_run_list[0].first_block == 6
    assert strict.damaged_run_list[0].reason == "Checksum mismatch"
    assert strict.damaged_run_list[0].lost_seconds == pytest.approx(1.0 - 1.2 + 1.0)
    assert strict.data_seconds == pytest.approx(10.2)


def test_quality_reports_runs_gaps_rate_and_clipping(cwa_path):
    packets = consecutive_packets(12)
    for packet in packets[9:]:  # a 5 s gap before block 9
        packet.timestamp += 5
    packets[3].sample_data = packed_samples([packed_word(511, 0, 0, 3)] * 120)  # x = 16 g
    blocks = [p.to_bytes() for p in packets]
    blocks[5] = packets[5].with_(timestamp=0).to_bytes()
    blocks[6] = packets[6].with_(rate_code=0).to_bytes()
    path = cwa_path(CwaFile(blocks=blocks, tail=b"x" * 10))
    summary = quality(path)
    assert (summary.data_blocks, summary.damaged_blocks, summary.truncated_blocks) == (10, 2, 1)
    assert summary.dropped_blocks == 3
    (run,) = summary.damaged_run_list
    assert (run.first_block, run.last_block) == (5, 6)
    assert run.reason == "Invalid block timestamp; Old CWA format packets are not supported"
    assert run.lost_seconds == pytest.approx(7.0 - 5.2)
    assert summary.gaps == 2  # across the damaged run, and the 5 s break
    assert summary.gap_seconds_longest == pytest.approx(13.0 - 8.2)
    assert summary.nominal_rate_hz == 100.0
    assert summary.effective_rate_hz == pytest.approx(1200 / (17.2 - 0.0))
    assert (summary.clipped_samples, summary.accel_range_g) == (120, 8)
    assert summary.clipped_fraction == pytest.approx(120 / 1200)
    attached = read_salvaged(path, drop_bad_checksums=True, count_clipping=True).attrs["quality"]
    assert attached == summary.to_dict()
    assert read_salvaged(path).attrs["quality"]["clipped_samples"] is None
    assert summary.to_json()  # plain JSON values throughout


def test_quality_counts_samples_at_the_range_limit(cwa_path):
    from velmora_batch.summary import count_clipped

    frame = pd.DataFrame(
        {
            "acc_x": np.array([0.0, 8.0, -8.0, 7.99], dtype=np.float32),
            "acc_y": np.array([0.0, 0.0, 0.0, 0.0], dtype=np.float32),
            "acc_z": np.array([-9.0, 0.0, 1.0, 0.0], dtype=np.float32),
        }
    )
    assert count_clipped(frame, 8) == (3, 4)


def test_damaged_metadata_and_nothing_intact_fail_with_the_readers_texts(cwa_path):
    good = CwaFile(blocks=consecutive_packets(3)).to_bytes()
    bad_metadata = cwa_path(b"XX" + good[2:])
    raises_exactly(RuntimeError, "Not a valid CWA file", read_salvaged, bad_metadata)
    all_damaged = CwaFile(blocks=[p.with_(rate_code=0) for p in consecutive_packets(3)])
    raises_exactly(RuntimeError, NO_SAMPLES, read_salvaged, cwa_path(all_damaged))
    assert quality(cwa_path(all_damaged)).clipped_samples is None


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs named pipes")
def test_scan_refuses_a_named_pipe_without_waiting(tmp_path):
    pipe = tmp_path / "pipe.cwa"
    os.mkfifo(pipe)
    with pytest.raises(RuntimeError, match="Not a regular file"):
        scan_blocks(pipe)


def damage_timestamps(data: bytes, blocks) -> bytes:
    out = bytearray(data)
    for k in blocks:
        struct.pack_into("<I", out, 1024 + BLOCK * k + 14, 0)
    return bytes(out)


@pytest.mark.parametrize("name", ["ax3-packed-100hz.cwa", "ax6-gyro-100hz.cwa"])
def test_real_recordings_salvage_as_their_zeroed_copies(tmp_path, name):
    data = open(recording(name), "rb").read()
    assert scan_blocks(recording(name))["checksum_ok"].all()
    damaged = [20, 21, 22, 60, 100, 101]
    path = tmp_path / name
    path.write_bytes(damage_timestamps(data, damaged))
    raises_exactly(RuntimeError, "Invalid block timestamp", velmora.read_cwa_file, str(path))
    for options in ({}, {"cut": velmora.blocks(15, 110)}, {"resample_hz": 30.0}):
        expected = velmora.read_cwa_file(zeroed_copy(tmp_path, data, damaged), **options)
        assert_same(read_salvaged(path, **options), expected)
    summary = quality(path)
    assert [(r.first_block, r.last_block) for r in summary.damaged_run_list] == [
        (20, 22),
        (60, 60),
        (100, 101),
    ]
    assert summary.checksum_failures == 0  # checksums count for data blocks only


def test_the_readme_example_runs(tmp_path):
    root = pathlib.Path(__file__).resolve().parents[2]
    text = (root / "README.md").read_text()
    section = text[text.index("## Damaged recordings") :]
    start = section.index("```python\n") + len("```python\n")
    code = section[start : section.index("\n```", start)]
    (tmp_path / "examples").symlink_to(root / "examples")
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run(
        [sys.executable, "-c", code], cwd=tmp_path, env=environment, capture_output=True, text=True
    )
    assert run.returncode == 0, run.stderr
    assert "['damaged', 'Invalid block timestamp']" in run.stdout
