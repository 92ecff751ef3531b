"""read_salvaged: a recording read with its damaged blocks passed over, as velmora reads it.

The blocks to pass over come from the block scan; the read is velmora's own read_cwa_file (or
write_cwa_csv) run while the file layer shows those blocks with their first two bytes zero, and
the file as ending before a partial last block. The result is therefore exactly that of the
module on a copy of the file changed that way, without the copy.
"""

from __future__ import annotations

import pandas as pd

from .blocks import RawScan, _extension, raw_scan


def _mask(scan: RawScan, drop_bad_checksums: bool):
    masked = scan.masked_blocks(drop_bad_checksums).tobytes()
    return masked, scan.whole_bytes if scan.truncated else None


def masked_read(scan: RawScan, drop_bad_checksums: bool, **options) -> pd.DataFrame:
    """velmora.read_cwa_file(scan.path, **options) with the scan's lost blocks passed over."""
    masked, visible = _mask(scan, drop_bad_checksums)
    return _extension().read_cwa_file(masked, visible, scan.path, **options)


def masked_write_csv(scan: RawScan, drop_bad_checksums: bool, output_path: str, **options) -> None:
    """velmora.write_cwa_csv with the scan's lost blocks passed over."""
    masked, visible = _mask(scan, drop_bad_checksums)
    _extension().write_cwa_csv(masked, visible, scan.path, output_path, **options)


def masked_header_facts(scan: RawScan, drop_bad_checksums: bool) -> tuple[dict, dict]:
    """read_metadata and sampling_consistency_report with the scan's lost blocks passed over."""
    masked, visible = _mask(scan, drop_bad_checksums)
    blocks = _extension()
    return (
        blocks.read_metadata(masked, visible, scan.path),
        blocks.sampling_consistency_report(masked, visible, scan.path),
    )


def read_salvaged(
    path, *, drop_bad_checksums: bool = False, count_clipping: bool = False, **options
) -> pd.DataFrame:
    """velmora.read_cwa_file(path, **options) with every damaged block passed over.

    The result equals read_cwa_file (same options) on a copy of the file in which each damaged
    block's first two bytes are zero, so that the reader skips it as a non-data block. With
    `drop_bad_checksums`, blocks whose checksum fails count as damaged too. A partial last
    block is left out. frame.attrs["quality"] holds the quality summary as a dict; its
    clipping count, over the rows returned, is made only with `count_clipping` (one more pass
    over the accelerometer columns; quality() always makes it).

    Errors are those of read_cwa_file: a file whose metadata block is damaged, or with no
    intact data block left, raises RuntimeError with the reader's text.
    """
    from .summary import count_clipped, summarise

    scan = raw_scan(path)
    frame = masked_read(scan, drop_bad_checksums, **options)
    clipped = count_clipped(frame, scan.accel_range) if count_clipping else None
    frame.attrs["quality"] = summarise(scan, drop_bad_checksums, clipped).to_dict()
    return frame
