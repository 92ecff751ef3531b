"""The block scan: how velmora's readers take every 512-byte block of a recording."""

from __future__ import annotations

import dataclasses
import os
import stat

import numpy as np
import pandas as pd

KINDS = ("data", "skipped", "damaged", "truncated")
DATA, SKIPPED, DAMAGED, TRUNCATED = range(4)
METADATA_BYTES = 1024
BLOCK_BYTES = 512
# One record of the extension's scan, field for field (ScannedBlock in src/packet/block_scan.hpp).
RECORD = np.dtype(
    [
        ("start_us", "<i8"),
        ("end_us", "<i8"),
        ("rate_hz", "<f4"),
        ("sequence_id", "<u4"),
        ("samples", "<u2"),
        ("reason", "<u2"),
        ("kind", "u1"),
        ("checksum_ok", "u1"),
        ("axes", "u1"),
        ("padding", "u1"),
    ]
)


def _extension():
    # Imported on first use, so that the package imports where only velmora is built.
    from . import _blocks

    return _blocks


@dataclasses.dataclass(frozen=True)
class RawScan:
    """The scan's columns as NumPy arrays, one entry per block after the metadata block."""

    path: str
    file_bytes: int
    accel_range: int | None  # g, from the metadata block; None when it does not parse
    reasons: tuple[str, ...]
    kind: np.ndarray  # uint8 codes into KINDS
    reason: np.ndarray  # uint16: 1 + index into reasons, 0 for none
    checksum_ok: np.ndarray  # bool; data blocks only
    start_us: np.ndarray  # int64 natural start, device clock; data blocks only
    end_us: np.ndarray
    samples: np.ndarray  # uint16
    rate_hz: np.ndarray  # float64
    axes: np.ndarray  # uint8
    sequence_id: np.ndarray  # uint32

    @property
    def truncated(self) -> bool:
        return len(self.kind) > 0 and self.kind[-1] == TRUNCATED

    @property
    def whole_bytes(self) -> int:
        """The file's length up to its last whole block."""
        whole = (self.file_bytes - METADATA_BYTES) // BLOCK_BYTES
        return METADATA_BYTES + BLOCK_BYTES * whole

    def bad_checksum(self) -> np.ndarray:
        return (self.kind == DATA) & ~self.checksum_ok

    def masked_blocks(self, drop_bad_checksums: bool) -> np.ndarray:
        """Whole blocks a salvaged read passes over, as little-endian uint64 indices."""
        dropped = self.kind == DAMAGED
        if drop_bad_checksums:
            dropped |= self.bad_checksum()
        return np.flatnonzero(dropped).astype("<u8")


def raw_scan(path) -> RawScan:
    """Scans a recording's blocks; raises RuntimeError with the reader's text when the file is
    no CWA file at all (no "MD" header, shorter than the metadata block, unreadable)."""
    name = os.fspath(path)
    if not isinstance(name, str):
        raise TypeError(f"path must be str or os.PathLike[str], not {type(name).__name__}")
    refuse_special_file(name)
    return unpacked_scan(name, _extension().scan_blocks(name))


def refuse_special_file(name: str) -> None:
    """Raises RuntimeError for a named pipe, socket or device: opening a named pipe waits for a
    writer, and a scan of a study folder must not stall on one."""
    try:
        mode = os.stat(name).st_mode
    except OSError:
        return  # the reader reports the failure with its own text
    if not (stat.S_ISREG(mode) or stat.S_ISDIR(mode)):
        raise RuntimeError(f"Not a regular file: {name}")


def unpacked_scan(name: str, packed: dict) -> RawScan:
    """The RawScan of the extension's packed scan of the recording called `name`."""
    records = packed["blocks"].view(RECORD)
    return RawScan(
        path=name,
        file_bytes=packed["file_bytes"],
        accel_range=packed["accel_range"],
        reasons=tuple(packed["reasons"]),
        kind=records["kind"],
        reason=records["reason"],
        checksum_ok=records["checksum_ok"].astype(bool),
        start_us=records["start_us"],
        end_us=records["end_us"],
        samples=records["samples"],
        rate_hz=records["rate_hz"].astype(np.float64),
        axes=records["axes"],
        sequence_id=records["sequence_id"],
    )


def scan_blocks(path) -> pd.DataFrame:
    """One row per 512-byte block after the metadata block, as velmora's readers take it.

    Columns: block, offset (bytes), kind ("data", "skipped" for a block the readers pass over,
    "damaged" for one that fails every read reaching it, "truncated" for a partial last block),
    reason (for a damaged block, the exact error text of the read), checksum_ok (the block's
    256 little-endian 16-bit words sum to 0 modulo 65536; data blocks only), start and end
    (the natural bounds on the device clock, datetime64[us]), samples, rate_hz and axes (data
    blocks only). Only the packet headers are read.
    """
    scan = raw_scan(path)
    count = len(scan.kind)
    block = np.arange(count, dtype=np.int64)
    data = scan.kind == DATA
    reason_codes = scan.reason.astype(np.int64) - 1
    return pd.DataFrame(
        {
            "block": block,
            "offset": METADATA_BYTES + BLOCK_BYTES * block,
            "kind": pd.Categorical.from_codes(
                scan.kind.astype(np.int8), categories=pd.Index(KINDS)
            ),
            "reason": pd.Categorical.from_codes(reason_codes, categories=pd.Index(scan.reasons)),
            "checksum_ok": pd.array(np.where(data, scan.checksum_ok, False), dtype="boolean"),
            "start": _times(scan.start_us, data),
            "end": _times(scan.end_us, data),
            "samples": pd.array(scan.samples.astype(np.int64), dtype="Int64"),
            "rate_hz": np.where(data, scan.rate_hz, np.nan),
            "axes": pd.array(scan.axes.astype(np.int64), dtype="Int64"),
        }
    ).pipe(_mask_non_data, ~data)


def _times(values_us: np.ndarray, present: np.ndarray) -> np.ndarray:
    times = values_us.astype("datetime64[us]")
    times[~present] = np.datetime64("NaT", "us")
    return times


def _mask_non_data(frame: pd.DataFrame, absent: np.ndarray) -> pd.DataFrame:
    for name in ("checksum_ok", "samples", "axes"):
        frame.loc[absent, name] = pd.NA
    return frame
