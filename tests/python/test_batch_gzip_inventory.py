"""inventory of a .cwa.gz reads the stream once, without an unpacked copy, and gives the row of
the plain file (its own size aside)."""

from __future__ import annotations

import gzip
import io
import os
import shutil
import tempfile

import pytest
from conftest import RECORDINGS, raises_exactly
from cwa_builder import CwaFile, consecutive_packets, packed_samples

from velmora_batch import tasks
from velmora_batch._blocks import scan_stream
from velmora_batch.recording import error_text


def damaged() -> bytes:
    packets = consecutive_packets(12, seconds_per_packet=2)
    for k, packet in enumerate(packets):
        packet.sample_data = packed_samples(range(k, k + 120))
    blocks = [packet.to_bytes() for packet in packets]
    blocks[3] = packets[3].with_(rate_code=0).to_bytes()  # damaged: the metadata read fails
    blocks[5] = packets[5].with_(sample_count=0).to_bytes()  # skipped
    flipped = bytearray(blocks[8])
    flipped[100] ^= 4  # a failing checksum
    blocks[8] = bytes(flipped)
    return CwaFile(blocks=blocks, tail=bytes(100)).to_bytes()


def clean_with_gap() -> bytes:
    packets = consecutive_packets(6) + consecutive_packets(
        4, start=consecutive_packets(60)[-1].timestamp
    )
    return CwaFile(blocks=packets).to_bytes()


CONTENTS = {
    "damaged and cut": damaged,
    "clean with a gap": clean_with_gap,
    "header only": lambda: CwaFile().to_bytes(),
    "shorter than the header": lambda: CwaFile().to_bytes()[:600],
    "no CWA file": lambda: b"x" * 3000,
    "empty": lambda: b"",
    **{
        name: (lambda path=path: path.read_bytes())
        for name, path in ((p.name, p) for p in sorted(RECORDINGS.glob("*.cwa")))
    },
}


def facts(row: dict) -> dict:
    """The row without path and size, each value as its repr (floats to the bit)."""
    return {key: repr(value) for key, value in row.items() if key not in ("path", "size")}


@pytest.mark.parametrize("make", CONTENTS.values(), ids=CONTENTS.keys())
def test_gzipped_row_equals_the_plain_files_without_a_temporary_copy(tmp_path, monkeypatch, make):
    data = make()
    plain, packed = tmp_path / "r.cwa", tmp_path / "r.cwa.gz"
    plain.write_bytes(data)
    packed.write_bytes(gzip.compress(data))
    # A temporary file would fail, and so the row.
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path / "no such folder"))
    row = tasks.inventory_one(str(packed))
    assert row["size"] == os.path.getsize(packed)
    assert facts(row) == facts(tasks.inventory_one(str(plain)))


def unpack_error(path) -> str:
    """What unpacking the whole file, as the other tasks do, raises."""
    with pytest.raises(Exception) as info, gzip.open(path, "rb") as packed:
        shutil.copyfileobj(packed, io.BytesIO())
    return error_text(info.value)


BROKEN = {
    "cut short": lambda packed: packed[: len(packed) // 2],
    "cut in the trailer": lambda packed: packed[:-3],
    "no gzip file": lambda packed: damaged(),
    "wrong checksum": lambda packed: packed[:-8] + bytes(4) + packed[-4:],
    "garbage after": lambda packed: packed + b"garbage",
}


@pytest.mark.parametrize("spoil", BROKEN.values(), ids=BROKEN.keys())
def test_a_broken_gzip_stream_gives_an_error_row_with_gzips_text(tmp_path, spoil):
    path = tmp_path / "r.cwa.gz"
    path.write_bytes(spoil(gzip.compress(clean_with_gap())))
    row = tasks.inventory_one(str(path))
    assert (row["status"], row["error"]) == ("error", unpack_error(path))
    assert row["size"] == os.path.getsize(path)
    assert row["data_blocks"] is None


class Reader:
    """A file object whose readinto() gives the replies in turn, then the end of the stream."""

    def __init__(self, *replies):
        self.replies = list(replies)

    def readinto(self, buffer):
        reply = self.replies.pop(0) if self.replies else 0
        if isinstance(reply, BaseException):
            raise reply
        if isinstance(reply, bytes):
            buffer[: len(reply)] = reply
            return len(reply)
        return reply(buffer) if callable(reply) else reply


@pytest.mark.parametrize(
    ("replies", "kind", "message"),
    [
        ((None,), TypeError, "readinto() returned NoneType, not a byte count"),
        ((-1,), ValueError, "readinto() returned -1 for a buffer of 1048576 bytes"),
        ((lambda buffer: len(buffer) + 1,), ValueError, None),
        ((b"MD", OSError("disk gone")), OSError, "disk gone"),
    ],
)
def test_scan_stream_refuses_a_reader_that_misreports(replies, kind, message):
    raises_exactly(kind, message, scan_stream, Reader(*replies))


@pytest.mark.parametrize("name", ["pipe.cwa", "pipe.cwa.gz"])
def test_inventory_refuses_a_named_pipe_instead_of_waiting_for_a_writer(tmp_path, name):
    path = tmp_path / name
    os.mkfifo(path)
    row = tasks.inventory_one(str(path))
    assert row["error"] == f"RuntimeError: Not a regular file: {path}"


def test_info_of_a_cwa_gz_prints_the_plain_files_facts_and_a_cut_stream_as_one_line(
    tmp_path, capsys
):
    from velmora_batch import cli

    plain = tmp_path / "rec.cwa"
    plain.write_bytes(clean_with_gap())
    packed = tmp_path / "rec.cwa.gz"
    packed.write_bytes(gzip.compress(plain.read_bytes()))
    assert cli.main(["info", str(plain)]) == 0
    expected = capsys.readouterr().out
    assert cli.main(["info", str(packed)]) == 0
    assert capsys.readouterr().out == expected
    cut = tmp_path / "cut.cwa.gz"
    cut.write_bytes(packed.read_bytes()[:-20])
    assert cli.main(["info", str(cut)]) == 1
    assert capsys.readouterr().err.startswith("velmora: EOFError: Compressed file ended")
