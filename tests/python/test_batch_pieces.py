"""Recordings converted in pieces of blocks: the same table as one whole read gives."""

from __future__ import annotations

import random

import pytest

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
from cwa_builder import CwaFile, consecutive_packets, packed_samples, unpacked_samples  # noqa: E402

import velmora_batch  # noqa: E402
from velmora_batch import pieces  # noqa: E402


def mixed_recording(path):
    """3-axis packets, two blocks that are not data, a 6-axis packet late in the file, more 3-axis."""
    rng = random.Random(5)
    blocks = consecutive_packets(12)
    for block in blocks:
        block.sample_data = packed_samples(rng.getrandbits(32) for _ in range(120))
    blocks[9] = blocks[9].with_(
        sample_format=0x62,
        sample_count=40,
        sample_data=unpacked_samples(
            [[rng.randint(-3000, 3000) for _ in range(6)] for _ in range(40)]
        ),
    )
    blocks[4:6] = [bytes(512), bytes(512)]
    return CwaFile(blocks=blocks).write(path)


@pytest.mark.parametrize("same_columns", [True, False])
@pytest.mark.parametrize(
    "cut",
    [
        None,
        {"type": "blocks", "start": 1, "end": 11},
        {"type": "seconds", "start": 2.5, "end": 11.0},
        {"type": "seconds", "start": None, "end": 10.0},
        {"type": "seconds", "start": 1.7, "end": None},
    ],
)
def test_pieces_join_to_the_table_of_the_whole_read(tmp_path, monkeypatch, same_columns, cut):
    source = mixed_recording(tmp_path / "mixed.cwa")
    monkeypatch.setattr(pieces, "EDGE_SECONDS", 1.5)
    tables = []
    for piece_blocks in (10_000, 2):
        monkeypatch.setattr(pieces, "PIECE_BLOCKS", piece_blocks)
        out = tmp_path / f"out{piece_blocks}"
        outcome = velmora_batch.convert(
            source, out, cut=cut, same_columns=same_columns, progress=False
        )
        assert outcome["status"].tolist() == ["ok"], outcome["error"].tolist()
        tables.append(pq.ParquetFile(out / "mixed.parquet"))
    whole, pieced = tables
    assert whole.metadata.num_row_groups == 1 and pieced.metadata.num_row_groups > 2
    assert pieced.schema_arrow.equals(whole.schema_arrow, check_metadata=True)
    assert pieced.read().to_pandas().equals(whole.read().to_pandas())  # NaN equal to NaN
    assert "gyro_x" in pieced.schema_arrow.names


def test_a_file_without_data_blocks_fails_as_the_whole_read_does(tmp_path, monkeypatch):
    monkeypatch.setattr(pieces, "PIECE_BLOCKS", 2)
    source = CwaFile(blocks=[bytes(512)] * 5).write(tmp_path / "blank.cwa")
    outcome = velmora_batch.convert(source, tmp_path / "out", progress=False)
    assert outcome.loc[0, "error"] == (
        "RuntimeError: No valid sample data found in the specified range"
    )
