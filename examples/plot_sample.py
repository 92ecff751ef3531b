"""Draws a CWA recording (the bundled sample unless a path is given) with matplotlib.

Acceleration, then rotation and temperature when the recording has them, over device-clock time;
the README's picture is this script's output for the sample (needs `pip install matplotlib`):

    python examples/plot_sample.py [recording.cwa] [--output docs/sample.png]
"""

from __future__ import annotations

import argparse
import pathlib

import matplotlib

matplotlib.use("Agg")  # files only: no display needed

import matplotlib.pyplot as plt

import velmora

HERE = pathlib.Path(__file__).resolve().parent
SAMPLE = HERE / "sample.cwa"
AXIS_COLOURS = {"x": "tab:red", "y": "tab:green", "z": "tab:blue"}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("recording", nargs="?", default=str(SAMPLE), help="a CWA file")
    parser.add_argument(
        "--output",
        type=pathlib.Path,
        default=HERE.parent / "docs" / "sample.png",
        help="the PNG to write (default: %(default)s)",
    )
    args = parser.parse_args()

    frame = velmora.read_cwa_file(str(args.recording), include_light=False, include_battery=False)
    meta = velmora.read_metadata(str(args.recording))
    panels = [("acc", "acceleration (g)")]
    if "gyro_x" in frame:
        panels.append(("gyro", "rotation (°/s)"))
    if "mag_x" in frame:
        panels.append(("mag", "magnetic field"))

    figure, axes = plt.subplots(
        len(panels) + 1,
        1,
        sharex=True,
        figsize=(9, 2 + 1.6 * len(panels)),
        height_ratios=[3] * len(panels) + [1.4],
        layout="constrained",
    )
    for (prefix, label), ax in zip(panels, axes):
        for axis, colour in AXIS_COLOURS.items():
            ax.plot(frame.index, frame[f"{prefix}_{axis}"], lw=0.5, color=colour, label=axis)
        ax.set_ylabel(label)
        legend = ax.legend(loc="upper left", ncols=3, fontsize="small", frameon=False)
        for line in legend.get_lines():
            line.set_linewidth(2)
        ax.grid(alpha=0.3)
    axes[-1].plot(frame.index, frame["temperature"], color="tab:orange", lw=1)
    axes[-1].set_ylabel("temp. (°C)")
    axes[-1].grid(alpha=0.3)
    axes[-1].set_xlabel(f"device-clock time, {frame.index[0]:%Y-%m-%d}")
    axes[0].set_title(
        f"{meta['hardware_type']} {meta['device_id']}, session {meta['session_id']}, "
        f"{meta['sample_rate_hz']:g} Hz, ±{meta['accel_range']} g: {len(frame)} samples",
        fontsize="medium",
    )
    figure.autofmt_xdate()

    args.output.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(args.output, dpi=90)
    print(f"wrote {args.output} ({args.output.stat().st_size / 1024:.0f} KiB)")


if __name__ == "__main__":
    main()
