"""The `velmora` command: info, inventory, convert, prepare and plot for files and study folders."""

from __future__ import annotations

import argparse
import datetime
import json
import os
import re
import sys
import zlib

from ._extras import MissingExtra
from .options import package_version
from .runner import Interrupted


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


def positive_seconds(text: str) -> float:
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"not a positive number of seconds: {text!r}")
    return value


def default_workers() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def _qc(arguments) -> int:
    import pathlib

    from .recording import readable
    from .summary import quality, summary_text

    with readable(pathlib.Path(arguments.file)) as source:
        summary = quality(source)
    summary.path = arguments.file  # the name given, not an unpacked .cwa.gz's temporary one
    print(summary.to_json(indent=2) if arguments.json else summary_text(summary))
    return 0


def _info(arguments) -> int:
    import pathlib

    from .recording import header_facts, is_gzip, rate_ratio

    path = pathlib.Path(arguments.file)
    if is_gzip(path):
        from .gzip_facts import gzip_facts

        # From the stream: a .cwa.gz's headers need no unpacked copy.
        metadata, report = gzip_facts(path).header_facts()
    else:
        metadata, report = header_facts(arguments.file)
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


def _failures(frame, status="error", label="failed") -> int:
    failed = frame[frame["status"] == status]
    for path, error in zip(failed["path"], failed["error"]):
        print(f"{label}: {path}: {error}", file=sys.stderr)
    return len(failed)


def _folder_of(out: str) -> None:
    # As convert does for its outputs: a folder that is not there yet is made, before the work.
    parent = os.path.dirname(os.path.abspath(out))
    os.makedirs(parent, exist_ok=True)


def _inventory(arguments) -> int:
    from ._extras import require
    from .study import inventory

    if arguments.out:
        if arguments.out.lower().endswith(".parquet"):
            require("pyarrow.parquet")  # before the work, not after it
        _folder_of(arguments.out)
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
        damaged=arguments.damaged,
        overwrite=arguments.overwrite,
        workers=arguments.workers,
        client=_client(arguments),
        progress=not arguments.no_progress,
    )
    counts = frame["status"].value_counts()
    failed = _failures(frame)
    stale = _failures(frame, "stale", "stale")
    print(
        f"{len(frame)} files: {counts.get('ok', 0)} converted, {counts.get('skipped', 0)} "
        f"already there, {stale} stale, {failed} failed; {frame['rows'].sum()} rows written "
        f"to {arguments.out}",
        file=sys.stderr,
    )
    dropped = frame["dropped_blocks"].sum()
    if dropped:
        print(
            f"{dropped} damaged blocks left out (the dropped_blocks of each file)", file=sys.stderr
        )
    if stale:
        print(
            "stale outputs were made with other options and are left as they are; "
            "--overwrite redoes them",
            file=sys.stderr,
        )
    return 1 if failed or stale else 0


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
    stale = _failures(frame, "stale", "stale")
    accepted = int(frame["calibration_accepted"].fillna(False).sum())
    print(
        f"{len(frame)} files: {counts.get('ok', 0)} prepared, {counts.get('skipped', 0)} already "
        f"there, {stale} stale, {failed} failed; calibration accepted for {accepted}; summary in "
        f"{os.path.join(arguments.out, 'summary.csv')}",
        file=sys.stderr,
    )
    if stale:
        print(
            "stale outputs were made with other options; --overwrite redoes them", file=sys.stderr
        )
    return 1 if failed or stale else 0


def _plot(arguments) -> int:
    from .plot import quick_look

    _folder_of(arguments.out)
    quick_look(arguments.file, arguments.out, bin_seconds=arguments.bin)
    print(arguments.out)
    return 0


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog="velmora", description="Study tools for CWA recordings.")
    top.add_argument("--version", action="version", version=f"velmora {package_version()}")
    commands = top.add_subparsers(dest="command", required=True)

    info = commands.add_parser("info", help="metadata and sampling report of one file")
    info.add_argument("file")
    info.add_argument("--json", action="store_true", help="print JSON")
    info.set_defaults(run=_info)

    qc = commands.add_parser(
        "qc", help="damaged blocks, checksums, time jumps, gaps, rates and clipping of one file"
    )
    qc.add_argument("file")
    qc.add_argument("--json", action="store_true", help="print JSON")
    qc.set_defaults(run=_qc)

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
    convert.add_argument(
        "--out", required=True, metavar="DIR", help="output folder (made when missing)"
    )
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
    convert.add_argument(
        "--overwrite",
        action="store_true",
        help="redo existing outputs; without it, one made with the same options is skipped and "
        "one made with other options (or another velmora version) is reported stale",
    )
    convert.add_argument(
        "--damaged",
        choices=("salvage", "error"),
        default="salvage",
        help="salvage (default): leave out damaged blocks and blocks whose checksum fails; "
        "error: such a file fails",
    )
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
    plot.add_argument("--out", required=True, metavar="PNG", help="picture to write")
    plot.add_argument(
        "--bin",
        type=positive_seconds,
        metavar="SECONDS",
        help="width of the envelope's time bins in seconds (default: 60, narrower for a "
        "recording shorter than 400 minutes, so that it still shows a shape)",
    )
    plot.set_defaults(run=_plot)
    return top


def _quiet_stdout() -> None:
    # The reader of our output has gone (`velmora info x.cwa | head -3`): what is still buffered
    # goes nowhere, rather than into a second BrokenPipeError when the interpreter flushes it.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())


def main(argv=None) -> int:
    arguments = parser().parse_args(argv)
    try:
        return arguments.run(arguments)
    except BrokenPipeError:
        _quiet_stdout()
        return 141  # as a command ended by SIGPIPE
    except MissingExtra as error:
        print(f"velmora: {error}", file=sys.stderr)
        return 2
    # EOFError and zlib.error: a .cwa.gz whose stream is cut or corrupt.
    except (RuntimeError, ValueError, TypeError, OSError, EOFError, zlib.error) as error:
        print(f"velmora: {type(error).__name__}: {error}", file=sys.stderr)
        return 1
    except Interrupted as interrupt:
        resumes = "; a rerun skips them and goes on" if arguments.command == "convert" else ""
        print(
            f"velmora: interrupted; {interrupt.finished} of {interrupt.total} files "
            f"finished{resumes}",
            file=sys.stderr,
        )
        return 130
    except KeyboardInterrupt:
        print("velmora: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
