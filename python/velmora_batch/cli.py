"""The `velmora` command: info, inventory, convert, prepare and plot for files and study folders."""

from __future__ import annotations

import argparse
import datetime
import json
import os
import re
import sys

from ._extras import MissingExtra


def utc_offset(text: str) -> datetime.timezone:
    match = re.fullmatch(r"([+-])(\d{1,2}):?(\d{2})?", text.strip())
    if text.strip().upper() in ("Z", "UTC", "0"):
        return datetime.timezone.utc
    if not match:
        raise argparse.ArgumentTypeError(f"not a UTC offset like +01:00: {text!r}")
    sign = -1 if match[1] == "-" else 1
    delta = datetime.timedelta(hours=int(match[2]), minutes=int(match[3] or 0))
    if delta >= datetime.timedelta(hours=24):
        raise argparse.ArgumentTypeError(f"UTC offset out of range: {text!r}")
    return datetime.timezone(sign * delta)


def default_workers() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def _info(arguments) -> int:
    import pathlib

    from .recording import header_facts, rate_ratio, readable

    with readable(pathlib.Path(arguments.file)) as source:
        metadata, report = header_facts(source)
    if arguments.json:
        print(json.dumps({"metadata": metadata, "report": report}, indent=2))
        return 0
    facts = dict(metadata, **report, rate_ratio=rate_ratio(report))
    width = max(map(len, facts))
    for key, value in facts.items():
        print(f"{key:<{width}}  {value}")
    return 0


def _client(arguments):
    return arguments.scheduler or None


def _failures(frame) -> int:
    failed = frame[frame["status"] == "error"]
    for path, error in zip(failed["path"], failed["error"]):
        print(f"failed: {path}: {error}", file=sys.stderr)
    return len(failed)


def _inventory(arguments) -> int:
    from ._extras import require
    from .study import inventory

    if arguments.out and arguments.out.lower().endswith(".parquet"):
        require("pyarrow.parquet")  # before the work, not after it
    frame = inventory(
        arguments.paths,
        workers=arguments.workers,
        client=_client(arguments),
        progress=not arguments.no_progress,
    )
    if arguments.out:
        if arguments.out.lower().endswith(".parquet"):
            frame.to_parquet(arguments.out, index=False)
        else:
            frame.to_csv(arguments.out, index=False)
    else:
        shown = [
            "path",
            "status",
            "hardware_type",
            "device_id",
            "sample_rate_hz",
            "start_from_data_raw",
            "end_from_data_raw",
            "rate_ratio",
        ]
        print(frame[shown].to_string(index=False, na_rep="-"))
    ok = frame["status"] == "ok"
    hours = frame.loc[ok, "duration_s_from_data"].fillna(0).sum() / 3600
    failed = _failures(frame)
    print(
        f"{len(frame)} files: {ok.sum()} read, {failed} failed; {hours:.1f} h of data",
        file=sys.stderr,
    )
    return 1 if failed else 0


def _convert(arguments) -> int:
    import velmora

    from .study import convert

    cut = None
    if arguments.start is not None or arguments.end is not None:
        cut = velmora.seconds(arguments.start, arguments.end)
    frame = convert(
        arguments.paths,
        arguments.out,
        to=arguments.to,
        cut=cut,
        resample_hz=arguments.resample,
        fixed_utc_offset_timezone=arguments.utc_offset,
        overwrite=arguments.overwrite,
        workers=arguments.workers,
        client=_client(arguments),
        progress=not arguments.no_progress,
    )
    counts = frame["status"].value_counts()
    failed = _failures(frame)
    print(
        f"{len(frame)} files: {counts.get('ok', 0)} converted, {counts.get('skipped', 0)} "
        f"already there, {failed} failed; {frame['rows'].sum()} rows written to {arguments.out}",
        file=sys.stderr,
    )
    return 1 if failed else 0


def _prepare(arguments) -> int:
    from .prepared_study import prepare_study

    reading = {}
    if arguments.utc_offset is not None:
        reading["fixed_utc_offset_timezone"] = arguments.utc_offset
    frame = prepare_study(
        arguments.paths,
        arguments.out,
        preset=arguments.preset,
        overwrite=arguments.overwrite,
        workers=arguments.workers,
        client=_client(arguments),
        progress=not arguments.no_progress,
        **reading,
    )
    counts = frame["status"].value_counts()
    failed = _failures(frame)
    accepted = int(frame["calibration_accepted"].fillna(False).sum())
    print(
        f"{len(frame)} files: {counts.get('ok', 0)} prepared, {counts.get('skipped', 0)} already "
        f"there, {failed} failed; calibration accepted for {accepted}; summary in "
        f"{os.path.join(arguments.out, 'summary.csv')}",
        file=sys.stderr,
    )
    return 1 if failed else 0


def _plot(arguments) -> int:
    from .plot import quick_look

    quick_look(arguments.file, arguments.out, bin_seconds=arguments.bin)
    print(arguments.out)
    return 0


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog="velmora", description="Study tools for CWA recordings.")
    commands = top.add_subparsers(dest="command", required=True)

    info = commands.add_parser("info", help="metadata and sampling report of one file")
    info.add_argument("file")
    info.add_argument("--json", action="store_true", help="print JSON")
    info.set_defaults(run=_info)

    def batch(name, help_text):
        command = commands.add_parser(name, help=help_text)
        command.add_argument("paths", nargs="+", help="files, folders or globs")
        command.add_argument(
            "--workers",
            type=int,
            default=default_workers(),
            help="local worker processes (default: the usable cores)",
        )
        command.add_argument(
            "--scheduler", metavar="ADDRESS", help="run on this dask.distributed scheduler instead"
        )
        command.add_argument("--no-progress", action="store_true", help="no progress bar")
        return command

    inventory = batch("inventory", "one row of header facts per recording")
    inventory.add_argument("--out", metavar="FILE", help="write the table to FILE.csv or .parquet")
    inventory.set_defaults(run=_inventory)

    convert = batch("convert", "convert recordings to parquet or CSV files")
    convert.add_argument("--out", required=True, metavar="DIR", help="output folder")
    convert.add_argument("--to", choices=("parquet", "csv"), default="parquet")
    convert.add_argument("--start", type=float, help="seconds after the first sample")
    convert.add_argument("--end", type=float, help="seconds after the first sample")
    convert.add_argument("--resample", type=float, metavar="HZ", help="resample to HZ")
    convert.add_argument(
        "--utc-offset",
        type=utc_offset,
        metavar="+HH:MM",
        help="device clock's offset from UTC; timestamps become UTC",
    )
    convert.add_argument("--overwrite", action="store_true", help="replace existing outputs")
    convert.set_defaults(run=_convert)

    prepare = batch("prepare", "calibrate, flag non-wear and summarise every recording in epochs")
    prepare.add_argument("--out", required=True, metavar="DIR", help="output folder")
    prepare.add_argument("--preset", choices=("ggir", "actipy"), default="ggir")
    prepare.add_argument(
        "--utc-offset",
        type=utc_offset,
        metavar="+HH:MM",
        help="device clock's offset from UTC; timestamps become UTC",
    )
    prepare.add_argument("--overwrite", action="store_true", help="replace existing outputs")
    prepare.set_defaults(run=_prepare)

    plot = commands.add_parser("plot", help="quick-look picture of one recording")
    plot.add_argument("file")
    plot.add_argument("--out", required=True, metavar="PNG")
    plot.add_argument(
        "--bin", type=float, default=60.0, metavar="SECONDS", help="envelope bin width (default 60)"
    )
    plot.set_defaults(run=_plot)
    return top


def main(argv=None) -> int:
    arguments = parser().parse_args(argv)
    try:
        return arguments.run(arguments)
    except MissingExtra as error:
        print(f"velmora: {error}", file=sys.stderr)
        return 2
    except (RuntimeError, ValueError, OSError) as error:
        print(f"velmora: {type(error).__name__}: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
