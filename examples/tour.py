"""A tour of velmora on a CWA recording (the bundled sample unless a path is given).

Prints the metadata and the sampling consistency report, reads the samples into a pandas
DataFrame, reads a resampled two-second window, and writes all samples to a CSV file.

    python examples/tour.py [recording.cwa] [--csv output.csv]
"""

from __future__ import annotations

import argparse
import pathlib
import pprint
import tempfile

import velmora

SAMPLE = pathlib.Path(__file__).resolve().with_name("sample.cwa")


def step(title: str, action) -> None:
    print(f"\n=== {title}")
    action()


def show_frame(path: str) -> None:
    frame = velmora.read_cwa_file(path)
    print(f"{len(frame)} rows, columns: {', '.join(frame.columns)}")
    print(f"index {frame.index.name!r} from {frame.index[0]} to {frame.index[-1]}")
    print(frame.head().to_string())


def show_window(path: str) -> None:
    # Two seconds from two minutes after the first sample (from the middle of a shorter
    # recording), resampled onto a 25 Hz grid.
    duration = velmora.sampling_consistency_report(path)["duration_s_from_data"] or 0.0
    start = 120.0 if duration >= 122 else max(0.0, duration / 2 - 1)
    cut = velmora.seconds(start, start + 2) if duration > 2 else None
    window = velmora.read_cwa_file(path, cut=cut, resample_hz=25)
    print(window.head(8).to_string())


def write_csv(path: str, output: pathlib.Path) -> None:
    velmora.write_cwa_csv(path, str(output), include_temperature=True)
    with output.open() as text:
        head = [next(text, "") for _ in range(3)]
    size_kb = output.stat().st_size / 1024
    print(f"wrote {output} ({size_kb:.0f} KiB); first lines:")
    print("".join(head), end="")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("recording", nargs="?", default=str(SAMPLE), help="a CWA file")
    parser.add_argument(
        "--csv",
        type=pathlib.Path,
        default=pathlib.Path(tempfile.gettempdir()) / "velmora-tour.csv",
        help="where to write the CSV file (default: %(default)s)",
    )
    args = parser.parse_args()
    path = args.recording
    args.csv.parent.mkdir(parents=True, exist_ok=True)
    print(f"velmora tour of {path}")

    step("read_metadata", lambda: pprint.pprint(velmora.read_metadata(path), sort_dicts=False))
    step(
        "sampling_consistency_report",
        lambda: pprint.pprint(velmora.sampling_consistency_report(path), sort_dicts=False),
    )
    step("read_cwa_file: the samples as a DataFrame", lambda: show_frame(path))
    step("read_cwa_file with a seconds cut, resampled to 25 Hz", lambda: show_window(path))
    step("write_cwa_csv", lambda: write_csv(path, args.csv))


if __name__ == "__main__":
    main()
