# Type information for the velmora extension module, which carries none of its own: the dicts
# it returns, the cuts it takes, and the six functions' parameter types. The TypedDicts exist
# only for type checkers: import them under `if typing.TYPE_CHECKING:`.
"""Read CWA accelerometer recordings into pandas DataFrames and CSV files."""

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
    """Read the metadata block and the first and last sample times, decoding no sample.

    Raises RuntimeError when the file cannot be read or is not a valid CWA file.
    """

def sampling_consistency_report(file_path: str) -> ConsistencyReport:
    """Set the metadata block's logging window and rate beside those the data packets hold.

    `samplingrate_hz_from_data` is (sample count - 1) over the first-to-last-sample span.
    """

def seconds(
    start: SupportsFloat | SupportsIndex | None = None,
    end: SupportsFloat | SupportsIndex | None = None,
) -> SecondsCut:
    """Make a cut of the samples from `start` up to, not including, `end` seconds.

    Seconds count from the first sample of the file (`start_from_data_raw` of
    `read_metadata`), not from the logging start of the metadata block, and on the device
    clock, before any `fixed_utc_offset_timezone` applies. Either bound may be None for an
    open side. A window with no sample in it makes the read raise RuntimeError "No samples
    remain after applying seconds cut".

    Raises ValueError for a bound that is negative or not finite, and for an end not after
    the start.
    """

def blocks(start: SupportsIndex | None = None, end: SupportsIndex | None = None) -> BlocksCut:
    """Make a cut of the data blocks from `start` up to, not including, `end`.

    Block k is the 512 bytes at byte 1024 + 512 * k, right after the metadata block; every
    block counts, whether or not it holds a data packet. A start at or beyond the end of the
    file makes the read raise RuntimeError, an end beyond it reads to the end. The sample
    times are those of a whole read: the packet before `start` still sets where the first
    packet's samples join on.

    Raises ValueError for an end not after the start, OverflowError for a negative bound and
    TypeError for one that is not an integer.
    """

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
    """Read the samples into a DataFrame indexed by a DatetimeIndex named `timestamp`.

    `cut` is a `seconds()` or `blocks()` cut. The index is naive device-clock time, or UTC
    when `fixed_utc_offset_timezone` is a `datetime.timezone`, whose offset is subtracted.
    Channel columns are float32.
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
    """Write the samples that `read_cwa_file` would read to a CSV file.

    The `time` column holds Unix seconds with four decimals: device-clock time read as UTC,
    or UTC when `fixed_utc_offset_timezone` is given. `cut` is a `seconds()` or `blocks()` cut.
    """
