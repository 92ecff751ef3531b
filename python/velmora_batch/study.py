"""inventory and convert: the header facts, or a converted copy, of every recording of a study."""

from __future__ import annotations

import functools
import os
import pathlib

import pandas as pd

from . import partials, tasks
from ._extras import require
from .options import FORMATS, ConvertOptions, checked
from .paths import discover
from .recording import error_text

INTEGER_KEYS = (
    "size",
    "packet_length",
    "device_id",
    "session_id",
    "upper_device_id",
    "flash_led",
    "sensor_config",
    "accel_range",
    "firmware_revision",
    "gyro_range",
)


def _lost_inventory(path, error):
    row = dict.fromkeys(tasks.INVENTORY_COLUMNS)
    row.update(path=path, status="error", error=error_text(error))
    return row


def inventory(paths, *, workers=None, client=None, progress=True) -> pd.DataFrame:
    """One row per recording: path, size, status, error, its metadata and report, rate_ratio.

    Only headers are read. `paths` takes files, folders (searched for *.cwa and *.cwa.gz), globs,
    as str or os.PathLike. workers=N above 1 uses a local pool of N processes (else the work
    runs in this process); client= a dask.distributed.Client or a scheduler address. A file that
    cannot be read gets status "error" and the exception's type and text in `error`.
    """
    _start_early(workers, client)
    names = [os.fspath(found.path) for found in discover(paths)]
    rows = _run(
        tasks.inventory_chunk,
        names,
        _lost_inventory,
        workers,
        client,
        progress,
        "inventory",
        largest=64,
    )
    frame = pd.DataFrame(rows, columns=list(tasks.INVENTORY_COLUMNS))
    # Nullable types, so that an error row's gaps do not turn ids into floats or flags into objects.
    return frame.astype(
        {name: "Int64" for name in INTEGER_KEYS} | {"magnetometer_enabled": "boolean"}
    )


def _lost_conversion(job, error):
    # A worker that died (three times, on a cluster) left its partial file; no one else will.
    partials.remove_abandoned(pathlib.Path(job[1]))
    row = dict.fromkeys(tasks.CONVERT_COLUMNS)
    row.update(path=job[0], output=job[1], status="error", error=error_text(error))
    return row


def _outputs(found, out_dir: pathlib.Path, suffix: str) -> list[str]:
    outputs, first = [], {}
    for recording in found:
        output = recording.output(out_dir, suffix)
        if output in first:
            raise ValueError(
                f"{recording.path} and {first[output]} would both be written to {output}"
            )
        first[output] = recording.path
        outputs.append(os.fspath(output))
    return outputs


def convert(
    paths,
    out_dir,
    *,
    to="parquet",
    cut=None,
    resample_hz=None,
    resample_method="cubic",
    include_magnetometer=None,
    include_temperature=None,
    include_light=None,
    include_battery=None,
    fixed_utc_offset_timezone=None,
    same_columns=True,
    overwrite=False,
    workers=None,
    client=None,
    progress=True,
) -> pd.DataFrame:
    """Converts every recording to a parquet or CSV file under out_dir; returns one row per file.

    Outcome columns: path, output, status ("ok", "skipped", "stale" or "error"), error, rows,
    seconds. Outputs keep the layout of the folders they were found in. Each is written under a
    temporary name and renamed when complete, with a record of the options that made it. An
    existing output is skipped when it was made with the same options and package version, and
    reported "stale" (with the first option that differs in `error`) when not; `overwrite`
    redoes both. An include_* left as None takes the default of read_cwa_file (parquet) or
    write_cwa_csv (csv). With `same_columns`, every parquet file gets the same columns, NaN
    where a file has no such channel. The options are checked here, before any work is sent.
    `paths`, `workers`, `client` and `progress` are those of inventory.
    """
    include = {
        "include_magnetometer": include_magnetometer,
        "include_temperature": include_temperature,
        "include_light": include_light,
        "include_battery": include_battery,
    }
    if to == "parquet":
        require("pyarrow.parquet")  # once here, rather than once per file
        include = {key: True if value is None else value for key, value in include.items()}
    options = checked(
        ConvertOptions(
            to=to,
            cut=cut,
            resample_hz=resample_hz,
            resample_method=resample_method if resample_hz is not None else None,
            fixed_utc_offset_timezone=fixed_utc_offset_timezone,
            same_columns=same_columns,
            **include,
        )
    )
    return convert_with(paths, out_dir, options, overwrite, workers, client, progress)


def convert_with(paths, out_dir, options, overwrite, workers, client, progress) -> pd.DataFrame:
    """convert with its options already gathered and checked."""
    _start_early(workers, client)
    found = discover(paths)
    out_dir = pathlib.Path(os.path.abspath(out_dir))
    outputs = _outputs(found, out_dir, FORMATS[options.to])
    jobs = [
        (os.fspath(recording.path), output, recording.name)
        for recording, output in zip(found, outputs)
    ]
    task = functools.partial(tasks.convert_chunk, options=options, overwrite=overwrite)
    rows = _run(task, jobs, _lost_conversion, workers, client, progress, "convert", largest=1)
    frame = pd.DataFrame(rows, columns=list(tasks.CONVERT_COLUMNS))
    return frame.astype({"rows": "Int64", "seconds": "float64"})


def _start_early(workers, client) -> None:
    # Local workers get ready while the files of a large study are looked for.
    if client is None and workers is not None and workers > 1:
        from .runner import start_workers_early

        start_workers_early()


def _run(task, items, lost, workers, client, progress, desc, largest):
    from .runner import run

    return run(
        task,
        items,
        lost,
        workers=workers,
        client=client,
        progress=progress,
        desc=desc,
        largest=largest,
    )
