"""Gives a path the extension can read for a .cwa or .cwa.gz file, and reads its header facts."""

from __future__ import annotations

import contextlib
import gzip
import os
import pathlib
import shutil
import tempfile
from collections.abc import Mapping
from typing import Any

import velmora

METADATA_KEYS = (
    "packet_header",
    "packet_length",
    "hardware_type",
    "device_id",
    "session_id",
    "upper_device_id",
    "logging_start_time_raw",
    "logging_end_time_raw",
    "last_change_time_raw",
    "start_from_data_raw",
    "end_from_data_raw",
    "flash_led",
    "sensor_config",
    "sample_rate_hz",
    "accel_range",
    "firmware_revision",
    "annotation",
    "gyro_range",
    "magnetometer_enabled",
)
REPORT_KEYS = (
    "start_from_header_raw",
    "end_from_header_raw",
    "duration_s_from_header",
    "start_from_data_raw",
    "end_from_data_raw",
    "duration_s_from_data",
    "samplingrate_hz_from_header",
    "samplingrate_hz_from_data",
)


def is_gzip(path: pathlib.Path) -> bool:
    return path.name.lower().endswith(".gz")


@contextlib.contextmanager
def readable(path: pathlib.Path):
    """Yields a plain CWA path; a .cwa.gz is unpacked into the temp folder and removed after."""
    if not is_gzip(path):
        yield os.fspath(path)
        return
    handle, unpacked = tempfile.mkstemp(prefix="velmora-", suffix=".cwa")
    try:
        with os.fdopen(handle, "wb") as out, gzip.open(path, "rb") as packed:
            shutil.copyfileobj(packed, out, 1 << 20)
        yield unpacked
    finally:
        os.unlink(unpacked)


def header_facts(path: str) -> tuple[Mapping[str, Any], Mapping[str, Any]]:
    """The metadata and the sampling report of a readable path."""
    return velmora.read_metadata(path), velmora.sampling_consistency_report(path)


def rate_ratio(report: Mapping[str, Any]):
    """Effective over nominal sampling rate, None when either is unknown or the nominal is 0."""
    nominal = report.get("samplingrate_hz_from_header")
    effective = report.get("samplingrate_hz_from_data")
    if not nominal or effective is None:
        return None
    return effective / nominal


def error_text(error: BaseException) -> str:
    return f"{type(error).__name__}: {error}"
