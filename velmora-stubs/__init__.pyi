# Type information for the velmora extension module, which carries none of its own: the dicts
# it returns, the cuts it takes, and the six functions' parameter types. The TypedDicts exist
# only for type checkers: import them under `if typing.TYPE_CHECKING:`. The module's and the
# functions' docstrings are the module's own, word for word (test_module_surface.py checks).
"""Python module that reads CWA accelerometer recordings into pandas and CSV."""

import datetime
from typing import Literal, SupportsFloat, SupportsIndex, TypedDict, type_check_only

import numpy
import pandas

__all__ = [
    "blocks",
    "read_cwa_file",
    "read_metadata",
    "sampling_consistency_report",
    "seconds",
    "write_cwa_csv",
]

@type_check_only
class Metadata(TypedDict):
    """The metadata block and the data timing of a recording, as `read_metadata` returns them.

    Times are naive ISO 8601 strings on the device clock, such as "2024-03-14T09:30:00.250",
    or None when unset; `start_from_data_raw` and `end_from_data_raw` are None when the file
    holds no sample.
    """

    packet_header: str
    packet_length: int
    hardware_type: Literal["AX3", "AX6"]
    device_id: int
    session_id: int
    upper_device_id: int
    logging_start_time_raw: str | None
    logging_end_time_raw: str | None
    last_change_time_raw: str | None
    start_from_data_raw: str | None
    end_from_data_raw: str | None
    flash_led: int
    sensor_config: int
    sample_rate_hz: float
    accel_range: int
    firmware_revision: int
    annotation: str
    gyro_range: int | None
    magnetometer_enabled: bool

@type_check_only
class ConsistencyReport(TypedDict):
    """The timing the metadata block promises beside the timing the data packets hold.

    The data values are None when the file holds no sample; `samplingrate_hz_from_data` also
    when fewer than two samples span a positive duration.
    """

    start_from_header_raw: str | None
    end_from_header_raw: str | None
    duration_s_from_header: float | None
    start_from_data_raw: str | None
    end_from_data_raw: str | None
    duration_s_from_data: float | None
    samplingrate_hz_from_header: float
    samplingrate_hz_from_data: float | None

@type_check_only
class SecondsCut(TypedDict):
    """A time window in seconds counted from the first sample (`start_from_data_raw`).

    `start` is inclusive and `end` exclusive; None leaves that side open. Build one with
    `seconds()`, which checks the bounds.
    """

    type: Literal["seconds"]
    start: float | None
    end: float | None

@type_check_only
class BlocksCut(TypedDict):
    """A range of 512-byte data blocks: block 0 starts right after the 1 KiB metadata block.

    `start` is inclusive and `end` exclusive; None leaves that side open. Build one with
    `blocks()`, which checks the bounds.
    """

    type: Literal["blocks"]
    start: int | None
    end: int | None

def read_metadata(file_path: str) -> Metadata:
    """Read CWA header and sample timing metadata without timezone conversion.
    Scans packet metadata without decoding sensor values.
    `logging_start_time_raw`, `logging_end_time_raw`, and `last_change_time_raw`
    are naive ISO 8601 strings preserving the unaltered sensor clock values,
    or None when unset. Convert them to UTC or local time for most analysis.
    `start_from_data_raw` and `end_from_data_raw` are the first and last actual
    sample timestamps, including packet sample offsets and continuity correction,
    or None when no valid samples exist. Seconds cuts start at `start_from_data_raw`.
    `last_change_time_raw` records the last metadata write, which need not be
    the last clock synchronization; check your configuration software.
    """

def sampling_consistency_report(file_path: str) -> ConsistencyReport:
    """Return a sampling consistency report for a CWA file.

    The returned dictionary contains:

    - `start_from_header_raw`: ISO 8601 timestamp from the metadata block `logging_start_time`
      field, or `None` when the header uses an unset marker.
    - `end_from_header_raw`: ISO 8601 timestamp from the metadata block `logging_end_time`
      field, or `None` when the header uses an unset marker.
    - `duration_s_from_header`: `end_from_header_raw - start_from_header_raw` in seconds, or
      `None` when either header timestamp is unavailable.
    - `start_from_data_raw`: ISO 8601 timestamp of the first sample produced by the data
      packets, using the same packet timestamp, `timestampOffset`, and continuity
      correction as `read_cwa_file`.
    - `end_from_data_raw`: ISO 8601 timestamp of the last sample produced by the data
      packets, using the same timestamp calculation as `read_cwa_file`.
    - `duration_s_from_data`: `end_from_data_raw - start_from_data_raw` in seconds. This is
      the inclusive first-sample-to-last-sample span, not the half-open packet end.
    - `samplingrate_hz_from_header`: nominal sampling rate decoded from the metadata
      block sampling-rate code as `3200 / (1 << (15 - (rate_code & 0x0f)))`.
    - `samplingrate_hz_from_data`: effective sampling rate calculated as
      `(sample_count - 1) / duration_s_from_data`, or `None` when fewer than two
      samples or no positive data duration are available.

    All timestamp strings preserve the raw device clock without a timezone.
    Convert them to UTC or local time before analysis using the clock-sync offset.
    This method accepts no UTC offset or timezone.
    """

# The module's `seconds` and `blocks` carry no docstring, so neither does the stub; in short:
# a cut of the samples from `start` up to, not including, `end` seconds, counted from the
# first sample of the file (`start_from_data_raw`) on the device clock, before any
# `fixed_utc_offset_timezone` applies; None leaves a side open. A window with no sample in it
# makes the read raise RuntimeError "No samples remain after applying seconds cut". Raises
# ValueError for a bound that is negative or not finite, and for an end not after the start.
def seconds(
    start: SupportsFloat | SupportsIndex | None = None,
    end: SupportsFloat | SupportsIndex | None = None,
) -> SecondsCut: ...

# A cut of the data blocks from `start` up to, not including, `end`: block k is the 512 bytes
# at byte 1024 + 512 * k, whether or not it holds a data packet. A start at or beyond the end
# of the file makes the read raise RuntimeError, an end beyond it reads to the end; the packet
# before `start` still sets where the first packet's samples join on. Raises ValueError for an
# end not after the start, OverflowError for a negative bound and TypeError for a non-integer.
def blocks(start: SupportsIndex | None = None, end: SupportsIndex | None = None) -> BlocksCut: ...
def read_cwa_file(
    file_path: str,
    cut: SecondsCut | BlocksCut | None = None,
    include_magnetometer: bool | numpy.bool_ = True,
    include_temperature: bool | numpy.bool_ = True,
    include_light: bool | numpy.bool_ = True,
    include_battery: bool | numpy.bool_ = True,
    resample_hz: SupportsFloat | SupportsIndex | None = None,
    resample_method: str = "cubic",
    *,
    fixed_utc_offset_timezone: datetime.tzinfo | None = None,
) -> pandas.DataFrame:
    """Python interface for reading CWA data.

    Returns a pandas DataFrame with a DatetimeIndex named `timestamp`.
    `fixed_utc_offset_timezone` accepts a Python `datetime.timezone` object.
    Its fixed offset is subtracted throughout and the index is UTC-aware.
    Otherwise the index is naive. Determine any named timezone's offset in Python
    at clock synchronization, rather than at recording start.
    Numeric channel columns retain their float32 dtype.

    Gyro and magnetometer columns are included only when present in the selected
    samples. Recorded zero measurements remain present; missing samples in a
    present channel are NaN.

    Optional resampling parameters:
    - `resample_hz`: when set, data is resampled onto a regular grid.
    - `resample_method`: currently supports `"cubic"`.
    """

def write_cwa_csv(
    file_path: str,
    output_path: str,
    cut: SecondsCut | BlocksCut | None = None,
    include_magnetometer: bool | numpy.bool_ = True,
    include_temperature: bool | numpy.bool_ = False,
    include_light: bool | numpy.bool_ = False,
    include_battery: bool | numpy.bool_ = False,
    resample_hz: SupportsFloat | SupportsIndex | None = None,
    resample_method: str = "cubic",
    *,
    fixed_utc_offset_timezone: datetime.tzinfo | None = None,
) -> None:
    """Write CWA samples directly to CSV.

    Supports the same optional resampling and time-range controls as `read_cwa_file`.
    `fixed_utc_offset_timezone` accepts a Python `datetime.timezone` object;
    with it, numeric `time` values are UTC Unix seconds.
    Otherwise they encode the device clock without assigning a timezone.
    """
