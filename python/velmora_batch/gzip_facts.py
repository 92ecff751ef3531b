"""The header facts and the block scan of a .cwa.gz, taken from its stream in one pass.

gzip unpacks the file chunk by chunk into one reused buffer, and the extension scans each chunk
as it comes: no unpacked copy on disk, and no more memory than that buffer and the scan.
"""

from __future__ import annotations

import dataclasses
import gzip
import os
from collections.abc import Mapping
from typing import Any

from .blocks import RawScan, _extension, refuse_special_file, unpacked_scan


@dataclasses.dataclass(frozen=True)
class GzipFacts:
    """What read_metadata, sampling_consistency_report and the block scan give for the unpacked
    bytes; each a value, or the RuntimeError the reader gives for them."""

    scan: RawScan | RuntimeError
    metadata: Mapping[str, Any] | RuntimeError
    report: Mapping[str, Any] | RuntimeError

    def header_facts(self) -> tuple[Mapping[str, Any], Mapping[str, Any]]:
        """The metadata and the report; raises the reader's error when they cannot be read."""
        if isinstance(self.metadata, RuntimeError):
            raise self.metadata
        if isinstance(self.report, RuntimeError):
            raise self.report
        return self.metadata, self.report


def gzip_facts(path) -> GzipFacts:
    """Reads a gzipped recording once. gzip's own errors (gzip.BadGzipFile, EOFError for a cut
    stream, zlib.error) and a file that cannot be opened raise as they do for gzip.open."""
    name = os.fspath(path)
    refuse_special_file(name)
    with gzip.open(name, "rb") as unpacked:
        found = _extension().scan_stream(unpacked)
    scan = found["scan"]
    return GzipFacts(
        scan=scan if isinstance(scan, RuntimeError) else unpacked_scan(name, scan),
        metadata=found["metadata"],
        report=found["report"],
    )
