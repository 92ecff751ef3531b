"""What makes one output: the options a conversion travels with, checked once in the caller.

Every field of ConvertOptions goes into the record stored with each output, so a rerun can tell
an output made with other options ("stale") from one it may keep. A new option is one new field.
"""

from __future__ import annotations

import contextlib
import dataclasses
import datetime
import importlib.metadata
import os
import tempfile
import uuid

import velmora

FORMATS = {"parquet": ".parquet", "csv": ".csv"}
INCLUDES = ("include_magnetometer", "include_temperature", "include_light", "include_battery")


def package_version() -> str:
    try:
        return importlib.metadata.version("velmora")
    except importlib.metadata.PackageNotFoundError:
        return "0+unknown"  # run from a build tree, not installed


@dataclasses.dataclass(frozen=True)
class ConvertOptions:
    """The reading options of a conversion, and what is written.

    An include_* of None takes the default of read_cwa_file (parquet) or write_cwa_csv (csv).
    """

    to: str = "parquet"
    cut: dict | None = None
    resample_hz: float | None = None
    resample_method: str | None = None
    include_magnetometer: bool | None = None
    include_temperature: bool | None = None
    include_light: bool | None = None
    include_battery: bool | None = None
    fixed_utc_offset_timezone: datetime.tzinfo | None = None
    same_columns: bool = True

    def reading(self) -> dict:
        """Keyword arguments for read_cwa_file or write_cwa_csv; unset ones are left out."""
        keys = ("cut", "resample_hz", "resample_method", *INCLUDES, "fixed_utc_offset_timezone")
        values = {key: getattr(self, key) for key in keys}
        return {key: value for key, value in values.items() if value is not None}

    def include(self) -> dict:
        return {key: getattr(self, key) for key in INCLUDES}

    def made_by(self) -> dict:
        """The record stored with an output: every field as plain JSON, then the version."""
        record = {}
        for field in dataclasses.fields(self):
            value = getattr(self, field.name)
            if isinstance(value, datetime.tzinfo):
                # A fixed offset is all that reaches the data; its seconds say it in JSON.
                value = value.utcoffset(None).total_seconds()
            record[field.name] = value
        record["velmora"] = package_version()
        return record


def first_difference(stored: dict | None, wanted: dict) -> str | None:
    """Names the first option in which a stored record differs from the wanted one."""
    if stored is None:
        return "no record of the options that made it"
    for name, value in wanted.items():
        if name not in stored:
            return f"made without {name}, now {name}={value!r}"
        if stored[name] != value:
            return f"made with {name}={stored[name]!r}, now {value!r}"
    return None


def _missing_path() -> str:
    return os.path.join(tempfile.gettempdir(), f"velmora-no-such-file-{uuid.uuid4().hex}.cwa")


def checked(options: ConvertOptions) -> ConvertOptions:
    """Raises the extension's own error for options it would refuse, before any file is read.

    A read of a file that does not exist checks the cut, the resampling options, the channel
    flags and the offset first, and fails on the missing file only when all of them pass. A
    seconds cut opens the file before the offset is looked at, so the offset is tried alone.
    """
    if options.to not in FORMATS:
        raise ValueError(f"to must be 'parquet' or 'csv', not {options.to!r}")
    trials = [options.reading()]
    if options.fixed_utc_offset_timezone is not None:
        trials.append(dict(trials[0], cut=None))
    for arguments in trials:
        with contextlib.suppress(RuntimeError):
            velmora.read_cwa_file(_missing_path(), **arguments)
    return options
