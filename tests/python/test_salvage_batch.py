"""Damaged recordings in the study tools: convert salvages them, inventory counts their blocks,
velmora qc reports them and velmora plot shades what they lost."""

from __future__ import annotations

import json

import pandas as pd
import pytest
from cwa_builder import CwaFile, consecutive_packets, packed_samples

import velmora

pq = pytest.importorskip("pyarrow.parquet")

import velmora_batch  # noqa: E402
from velmora_batch import cli, parquet_out  # noqa: E402

DAMAGED_BLOCK, BAD_SUM_BLOCK = 2, 5


def damaged_recording() -> bytes:
    """Eight packets: block 2's time unset, block 5's samples changed after sealing, 10 s more
    before block 6, a partial block at the end."""
    packets = consecutive_packets(8)
    for packet in packets[6:]:
        packet.timestamp += 10
    for k, packet in enumerate(packets):
        packet.sample_data = packed_samples(range(k, k + 120))
    blocks = [p.to_bytes() for p in packets]
    blocks[DAMAGED_BLOCK] = packets[DAMAGED_BLOCK].with_(timestamp=0).to_bytes()
    broken = bytearray(blocks[BAD_SUM_BLOCK])
    broken[100] ^= 0x10
    blocks[BAD_SUM_BLOCK] = bytes(broken)
    return CwaFile(blocks=blocks, tail=bytes(100)).to_bytes()


def zeroed(data: bytes, tmp_path) -> str:
    copy = bytearray(data[: len(data) - 100])
    for k in (DAMAGED_BLOCK, BAD_SUM_BLOCK):
        copy[1024 + 512 * k : 1024 + 512 * k + 2] = b"\0\0"
    path = tmp_path / "zeroed.cwa"
    path.write_bytes(bytes(copy))
    return str(path)


@pytest.fixture
def folder(tmp_path):
    study = tmp_path / "study"
    study.mkdir()
    (study / "damaged.cwa").write_bytes(damaged_recording())
    return study


@pytest.mark.parametrize("to", ["parquet", "csv"])
def test_convert_salvages_and_counts_the_blocks_it_leaves_out(tmp_path, folder, to):
    out = tmp_path / "out"
    outcome = velmora_batch.convert(folder, out, to=to, progress=False)
    assert outcome[["status", "dropped_blocks"]].values.tolist() == [["ok", 3]]
    copy = zeroed(damaged_recording(), tmp_path)
    if to == "csv":
        velmora.write_cwa_csv(copy, str(tmp_path / "zeroed.csv"))
        assert (out / "damaged.csv").read_bytes() == (tmp_path / "zeroed.csv").read_bytes()
        return
    expected = velmora.read_cwa_file(copy)
    back = pq.read_table(out / "damaged.parquet").to_pandas().set_index("timestamp")
    pd.testing.assert_frame_equal(back[expected.columns], expected, check_exact=True)
    facts = parquet_out.stored_facts(out / "damaged.parquet")
    assert facts["dropped_blocks"] == 3
    assert facts["metadata"] == velmora.read_metadata(copy)


def test_convert_with_damaged_error_keeps_the_error_row(tmp_path, folder):
    outcome = velmora_batch.convert(folder, tmp_path / "out", damaged="error", progress=False)
    assert outcome[["status", "error"]].values.tolist() == [
        ["error", "RuntimeError: Incomplete CWA data block"]
    ]
    with pytest.raises(ValueError, match="damaged must be 'salvage' or 'error'"):
        velmora_batch.convert(folder, tmp_path / "out", damaged="skip", progress=False)


def test_inventory_counts_the_blocks_of_a_file_it_cannot_read(folder):
    (row,) = velmora_batch.inventory(folder, progress=False).to_dict("records")
    assert row["status"] == "error"
    counts = [row[key] for key in ("data_blocks", "damaged_blocks", "truncated_blocks")]
    assert counts == [7, 1, 1]
    assert (row["checksum_failures"], row["dropped_blocks"]) == (1, 3)


def test_qc_prints_the_summary(folder, capsys):
    path = str(folder / "damaged.cwa")
    assert cli.main(["qc", path, "--json"]) == 0
    summary = json.loads(capsys.readouterr().out)
    assert summary["path"] == path
    assert [summary[k] for k in ("damaged_blocks", "checksum_failures", "dropped_blocks")] == [
        1,
        1,
        3,
    ]
    assert cli.main(["qc", path]) == 0
    assert "damaged blocks 2-2: Invalid block timestamp" in capsys.readouterr().out


def test_plot_draws_a_damaged_file_and_shades_what_it_lost(folder):
    pytest.importorskip("matplotlib")
    from velmora_batch.plot import quick_look

    figure = quick_look(folder / "damaged.cwa")
    shaded = [patch.get_gid() for axes in figure.axes for patch in axes.patches]
    assert sorted(set(shaded) - {None}) == ["damaged", "gap"]
