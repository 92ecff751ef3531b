"""write_cwa_csv: exact bytes of its three ways against a model built from read_cwa_file, its
error texts and order of checks, and what it leaves on disk."""

from __future__ import annotations

import datetime
import math
import os
import pathlib
import random
import subprocess
import sys
import zoneinfo

import numpy as np
import pytest
from conftest import recording
from cwa_builder import CwaFile, Packet, consecutive_packets

import velmora

DEFAULT_FLAGS = dict(
    include_magnetometer=True, include_temperature=False, include_light=False, include_battery=False
)
ALL_FLAGS = dict(
    include_magnetometer=True, include_temperature=True, include_light=True, include_battery=True
)
NO_FLAGS = dict(
    include_magnetometer=False,
    include_temperature=False,
    include_light=False,
    include_battery=False,
)
PLUS_2H = datetime.timezone(datetime.timedelta(hours=2))
MINUS_5H = datetime.timezone(datetime.timedelta(hours=-5))
ENOENT = "No such file or directory (os error 2)"
ENOSPC = "No space left on device (os error 28)"


def value_text(value) -> str:
    value = float(value)
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    return "%.6f" % value


def expected_csv(path, **arguments) -> bytes:
    """The CSV text of the samples that read_cwa_file returns for the same arguments."""
    flags = {**DEFAULT_FLAGS, **{k: v for k, v in arguments.items() if k.startswith("include_")}}
    frame = velmora.read_cwa_file(path, **{**arguments, **flags})
    # The index holds UTC (or device-clock) microseconds, the offset already subtracted.
    micros = frame.index.as_unit("us").asi8
    columns = [frame[name].to_numpy() for name in frame.columns]
    lines = [",".join(["time", *frame.columns])]
    for row, time_us in enumerate(micros):
        fields = ["%.4f" % (int(time_us) / 1000000.0)]
        fields.extend(value_text(column[row]) for column in columns)
        lines.append(",".join(fields))
    return ("\n".join(lines) + "\n").encode("ascii")


def written_csv(tmp_path, path, **arguments) -> bytes:
    output = tmp_path / "out.csv"
    output.write_bytes(b"stale text longer than most outputs\n" * 4000)  # must be truncated
    assert velmora.write_cwa_csv(path, str(output), **arguments) is None
    return output.read_bytes()


def random_packet(rng: random.Random, sample_format: int) -> Packet:
    per_sample = {0x30: 4, 0x32: 6, 0x62: 12, 0x92: 18}[sample_format]
    return Packet(
        sample_format=sample_format,
        sample_count=rng.randint(1, 480 // per_sample),
        sample_data=rng.randbytes(480),
        light=rng.getrandbits(16),
        temperature=rng.getrandbits(10),
        battery=rng.getrandbits(8),
        timestamp_offset=rng.randint(-5, 60),
    )


def random_file(seed: int, formats) -> CwaFile:
    rng = random.Random(seed)
    packets = consecutive_packets(12)
    blocks = []
    for index, packet in enumerate(packets):
        fields = random_packet(rng, rng.choice(formats))
        blocks.append(fields.with_(timestamp=packet.timestamp, sequence_id=index))
        if index == 5:
            blocks.append(bytes(512))  # not a data packet
    return CwaFile(blocks=blocks)


WAYS = {
    "streamed": {},
    "streamed_blocks": {"cut": velmora.blocks(2, 9)},
    "filtered": {"cut": velmora.seconds(1.5, 8.25)},
    "filtered_open_end": {"cut": velmora.seconds(3)},
    "resampled": {"resample_hz": 37.5},
    "resampled_cut": {"resample_hz": 100.0, "cut": velmora.seconds(2, 6)},
}
FILES = {
    "packed_3axis": (0x30,),
    "mixed_3_and_6_axes": (0x30, 0x32, 0x62),
    "nine_axes": (0x92, 0x32),
}


@pytest.mark.parametrize("way", WAYS)
@pytest.mark.parametrize("formats", FILES)
@pytest.mark.parametrize(
    "options",
    [
        {},
        ALL_FLAGS,
        NO_FLAGS,
        {"fixed_utc_offset_timezone": PLUS_2H},
        {"fixed_utc_offset_timezone": datetime.timezone.utc, "include_battery": True},
    ],
    ids=["defaults", "all_flags", "no_flags", "utc_plus_2", "utc_battery"],
)
def test_each_way_writes_the_bytes_of_the_read_samples(tmp_path, cwa_path, way, formats, options):
    path = cwa_path(random_file(sum(map(ord, way + formats)), FILES[formats]))
    arguments = {**WAYS[way], **options}
    assert written_csv(tmp_path, path, **arguments) == expected_csv(path, **arguments)


@pytest.mark.parametrize("name", ["ax3-packed-100hz.cwa", "ax6-gyro-100hz.cwa"])
@pytest.mark.parametrize("way", ["streamed", "filtered", "resampled"])
def test_real_recordings_give_the_bytes_of_the_read_samples(tmp_path, name, way):
    path = recording(name)
    arguments = {**WAYS[way], **ALL_FLAGS, "fixed_utc_offset_timezone": MINUS_5H}
    assert written_csv(tmp_path, path, **arguments) == expected_csv(path, **arguments)


def test_streamed_text_of_a_small_file(tmp_path, cwa_path):
    # Packed raw (-16, 6, 2) / 256 g: 6 / 256 and 2 / 256 are ties at the sixth decimal.
    word = (-16 & 0x3FF) | (6 << 10) | (2 << 20)
    packet = Packet(sample_count=2, sample_data=word.to_bytes(4, "little") * 2)
    path = cwa_path(CwaFile(blocks=[packet]))
    assert written_csv(tmp_path, path) == (
        b"time,acc_x,acc_y,acc_z\n"
        b"1577836800.0000,-0.062500,0.023438,0.007812\n"
        b"1577836800.0100,-0.062500,0.023438,0.007812\n"
    )


def test_offset_moves_every_time_by_whole_hours(tmp_path, cwa_path):
    path = cwa_path(random_file(3, (0x30,)))

    def times(tz):
        text = written_csv(tmp_path, path, fixed_utc_offset_timezone=tz).decode()
        return [float(line.split(",")[0]) for line in text.splitlines()[1:]]

    plain = times(None)
    assert [round(t - p, 4) for t, p in zip(times(PLUS_2H), plain)] == [-7200.0] * len(plain)
    assert [round(t - p, 4) for t, p in zip(times(MINUS_5H), plain)] == [18000.0] * len(plain)


def test_mixed_axes_streamed_print_nan_gyroscope_for_3_axis_samples(tmp_path, cwa_path):
    six = Packet(
        sample_format=0x62,
        sample_count=1,
        sample_data=np.array([0, 0, 0, 0, 0, 0], "<i2").tobytes(),
    )
    three = Packet(sample_format=0x32, sample_count=1, timestamp=six.timestamp + 1)
    path = cwa_path(CwaFile(blocks=[six, three]))
    lines = written_csv(tmp_path, path, **NO_FLAGS).decode().splitlines()
    assert lines[0] == "time,acc_x,acc_y,acc_z,gyro_x,gyro_y,gyro_z"
    assert lines[1].split(",")[4:] == ["0.000000"] * 3
    assert lines[2].split(",")[4:] == ["NaN"] * 3


@pytest.mark.parametrize("way", ["streamed", "filtered", "resampled"])
def test_magnetometer_columns_need_the_flag(tmp_path, cwa_path, way):
    path = cwa_path(random_file(11, (0x92,)))
    header = written_csv(tmp_path, path, **{**WAYS[way], "include_magnetometer": False})
    assert header.split(b"\n")[0] == b"time,acc_x,acc_y,acc_z,gyro_x,gyro_y,gyro_z"


@pytest.mark.parametrize(
    "blocks, options, header",
    [
        ([bytes(512)], {}, b"time,acc_x,acc_y,acc_z\n"),
        (
            [bytes(512), bytes(512)],
            ALL_FLAGS,
            b"time,acc_x,acc_y,acc_z,temperature,light,battery\n",
        ),
        (
            [Packet()],
            {"cut": velmora.blocks(end=0), "include_light": True},
            b"time,acc_x,acc_y,acc_z,light\n",
        ),
    ],
    ids=["no_data_packet", "no_data_packet_all_flags", "zero_blocks"],
)
def test_nothing_to_stream_gives_only_the_header(tmp_path, cwa_path, blocks, options, header):
    path = cwa_path(CwaFile(blocks=blocks))
    assert written_csv(tmp_path, path, **options) == header


def runtime_text(call) -> str:
    with pytest.raises(RuntimeError) as raised:
        call()
    assert type(raised.value) is RuntimeError
    return str(raised.value)


@pytest.mark.parametrize(
    "contents, arguments, message",
    [
        (b"MD" + bytes(1022), {"cut": velmora.blocks(0, 1)}, "Start block is beyond file size"),
        (b"XX" + bytes(1022), {}, "Not a valid CWA file"),
        (b"MD" + bytes(100), {}, "File too small to be a valid CWA file"),
        (b"M", {}, "IO error: failed to fill whole buffer"),
        (CwaFile(blocks=[Packet()], tail=bytes(3)), {}, "Incomplete CWA data block"),
        (CwaFile(blocks=[Packet(rate_code=0)]), {}, "Old CWA format packets are not supported"),
        (
            CwaFile(blocks=[Packet(sample_format=0x31)]),
            {},
            "Unsupported sample format: 3 axes, packing 1",
        ),
        (CwaFile(blocks=[Packet(timestamp=0)]), {}, "Invalid block timestamp"),
        (CwaFile(blocks=[Packet(sample_count=121)]), {}, "Sample count exceeds packet capacity"),
        (
            CwaFile(blocks=[Packet()]),
            {"cut": velmora.seconds(100)},
            "No samples remain after applying seconds cut",
        ),
        (CwaFile(blocks=[bytes(512)]), {"cut": velmora.seconds(1)}, "No valid sample data found"),
        (
            CwaFile(blocks=[Packet()]),
            {"cut": velmora.seconds(0.001, 0.002)},
            "No samples remain after applying time range",
        ),
        (
            CwaFile(blocks=[Packet()]),
            {"cut": velmora.seconds(0.1, 0.1000000001)},
            "range_end_time must be greater than range_start_time",
        ),
        (
            CwaFile(blocks=[Packet()]),
            {"cut": velmora.blocks(end=0), "resample_hz": 10.0},
            "No valid sample data found in the specified range",
        ),
        (
            CwaFile(blocks=[Packet()]),
            {"cut": velmora.seconds(1.195), "resample_hz": 10.0},
            "No samples remain after applying time range/resampling",
        ),
    ],
)
def test_file_and_range_errors_leave_no_output(tmp_path, cwa_path, contents, arguments, message):
    path = cwa_path(contents)
    output = tmp_path / "out.csv"
    assert runtime_text(lambda: velmora.write_cwa_csv(path, str(output), **arguments)) == message
    assert not output.exists()


@pytest.mark.parametrize(
    "arguments, error, message",
    [
        ({"cut": 5}, ValueError, "cut must be created by seconds() or blocks()"),
        ({"cut": {"start": 1}}, ValueError, "cut is missing type"),
        ({"cut": {"type": "minutes"}}, ValueError, "cut type must be 'seconds' or 'blocks'"),
        ({"resample_hz": 0.0}, ValueError, "resample_hz must be a finite value > 0"),
        ({"resample_hz": math.nan}, ValueError, "resample_hz must be a finite value > 0"),
        ({"resample_hz": 10000.5}, ValueError, "resample_hz must be <= 10000"),
        (
            {"resample_hz": 50.0, "resample_method": "linear"},
            ValueError,
            "Unsupported resample_method 'linear'. Supported: cubic",
        ),
        (
            {"cut": {"type": "minutes"}, "resample_hz": -1.0},
            ValueError,
            "cut type must be 'seconds' or 'blocks'",
        ),
        (
            {"fixed_utc_offset_timezone": zoneinfo.ZoneInfo("Europe/Berlin")},
            TypeError,
            "'NoneType' object cannot be converted to 'PyDelta'",
        ),
    ],
)
def test_argument_errors_come_before_the_file_is_read(tmp_path, arguments, error, message):
    output = tmp_path / "out.csv"
    with pytest.raises(error) as raised:
        velmora.write_cwa_csv(str(tmp_path / "missing.cwa"), str(output), **arguments)
    assert type(raised.value) is error and str(raised.value) == message
    assert not output.exists()


def test_missing_input_is_an_io_error(tmp_path):
    output = tmp_path / "out.csv"
    output.write_bytes(b"keep")
    missing = str(tmp_path / "missing.cwa")
    for arguments in ({}, {"cut": velmora.seconds(1)}, {"resample_hz": 5.0}):
        text = runtime_text(lambda: velmora.write_cwa_csv(missing, str(output), **arguments))
        assert text == "IO error: " + ENOENT
    assert output.read_bytes() == b"keep"


@pytest.mark.parametrize("way", ["streamed", "filtered", "resampled"])
def test_output_in_a_missing_directory_fails_after_the_read(tmp_path, cwa_path, way):
    path = cwa_path(random_file(5, (0x30,)))
    output = tmp_path / "nowhere" / "out.csv"
    text = runtime_text(lambda: velmora.write_cwa_csv(path, str(output), **WAYS[way]))
    assert text == "IO error: " + ENOENT
    assert not output.parent.exists()
    # A bad input is reported first: the output is only opened after the input was read.
    text = runtime_text(lambda: velmora.write_cwa_csv(str(tmp_path / "x.cwa"), str(output)))
    assert text == "IO error: " + ENOENT


def test_output_path_with_nul_is_an_io_error(tmp_path, cwa_path):
    path = cwa_path(random_file(6, (0x30,)))
    text = runtime_text(lambda: velmora.write_cwa_csv(path, str(tmp_path / "a\0b.csv")))
    assert text == "IO error: file name contained an unexpected NUL byte"
    assert list(tmp_path.iterdir()) == [pathlib.Path(path)]


def test_failed_input_leaves_an_existing_output_untouched(tmp_path, cwa_path):
    path = cwa_path(CwaFile(blocks=[Packet(), Packet(rate_code=0)]))
    output = tmp_path / "out.csv"
    output.write_bytes(b"previous")
    for arguments in ({}, {"cut": velmora.seconds(0.5)}, {"resample_hz": 10.0}):
        text = runtime_text(lambda: velmora.write_cwa_csv(path, str(output), **arguments))
        assert text == "Old CWA format packets are not supported"
        assert output.read_bytes() == b"previous"


# Streamed, cut and resampled: each way reads the input before it creates the output, and none
# may truncate the recording it is reading.
@pytest.mark.parametrize("link", ["same_path", "hard_link", "symlink"])
@pytest.mark.parametrize(
    "arguments",
    [{}, {"cut": velmora.seconds(1, 3)}, {"resample_hz": 20.0}, {"cut": velmora.blocks(1)}],
)
def test_writing_into_the_input_itself_fails_and_keeps_the_recording(
    tmp_path, cwa_path, link, arguments
):
    path = pathlib.Path(cwa_path(random_file(7, (0x30,))))
    before = path.read_bytes()
    output = tmp_path / "out.csv"
    if link == "same_path":
        output = path
    elif link == "hard_link":
        os.link(path, output)
    else:
        output.symlink_to(path)
    text = runtime_text(lambda: velmora.write_cwa_csv(str(path), str(output), **arguments))
    assert text == "output_path refers to the input file"
    assert path.read_bytes() == before


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_full_disk_at_the_final_flush_has_the_io_prefix(cwa_path):
    path = cwa_path(random_file(1, (0x30,)))
    for arguments in ({}, {"cut": velmora.seconds(1)}, {"resample_hz": 20.0}):
        text = runtime_text(lambda: velmora.write_cwa_csv(path, "/dev/full", **arguments))
        assert text == "IO error: " + ENOSPC


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_full_disk_while_writing_records_has_no_prefix(tmp_path, cwa_path):
    # 3500 packets of 120 samples, about 44 bytes a line: beyond the 16 MiB file buffer.
    path = cwa_path(CwaFile(blocks=consecutive_packets(3500, sample_data=bytes(range(240)) * 2)))
    assert runtime_text(lambda: velmora.write_cwa_csv(path, "/dev/full")) == ENOSPC
    assert len(written_csv(tmp_path, path)) > 17 * 2**20 + 2**19


# A file size limit makes the writes fail like a full disk, after the output was created: in
# the streamed and filtered ways while records are written (past the 16 MiB file buffer), in
# the resampled way (a smaller file) at the final flush.
SIZE_LIMITED_SCRIPT = """
import resource, signal, sys, velmora
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))
recording, output, way = sys.argv[1:4]
arguments = {"streamed": {}, "filtered": {"cut": velmora.seconds(0.5)},
             "resampled": {"resample_hz": 25.0}}[way]
try:
    velmora.write_cwa_csv(recording, output, **arguments)
except RuntimeError as error:
    print(error)
"""


@pytest.mark.parametrize(
    ("way", "text"),
    [
        ("streamed", "File too large (os error 27)"),
        ("filtered", "File too large (os error 27)"),
        ("resampled", "IO error: File too large (os error 27)"),
    ],
)
@pytest.mark.parametrize("existing", [False, True])
def test_failed_write_removes_the_output_it_created_or_truncated(
    tmp_path, cwa_path, way, text, existing
):
    path = cwa_path(CwaFile(blocks=consecutive_packets(3500, sample_data=bytes(range(240)) * 2)))
    output = tmp_path / "out.csv"
    if existing:
        output.write_bytes(b"previous")
    run = subprocess.run(
        [sys.executable, "-c", SIZE_LIMITED_SCRIPT, path, str(output), way],
        capture_output=True,
        text=True,
        env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)),
        check=True,
    )
    assert run.stdout == text + "\n", run.stderr
    assert not output.exists()


def test_no_file_stays_open(cwa_path, tmp_path, no_leaked_files):
    path = cwa_path(random_file(2, (0x62,)))
    written_csv(tmp_path, path)
    with pytest.raises(RuntimeError):
        velmora.write_cwa_csv(path, str(tmp_path / "nowhere" / "out.csv"))
    with pytest.raises(RuntimeError):
        velmora.write_cwa_csv(path, "/dev/full")
