"""A pending signal ends a call that waits in a blocking open or read, closing everything."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest
from cwa_builder import CwaFile, consecutive_packets

pytestmark = pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs named pipes")

# The child blocks in one call and reports how it ended and whether its descriptors are back to
# what they were. Every wait below is for ever unless the signal ends it: opening a named pipe
# that nobody writes, reading one whose writer stays silent, creating the CSV as a named pipe
# that nobody reads, writing the CSV into one whose reader never reads (the abandoned call must
# not wait to hand over what it holds either).
CHILD = textwrap.dedent("""
    import os, signal, subprocess, sys, velmora
    # A child of a background job starts with SIGINT ignored; Ctrl-C's handler is wanted here.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    call, wait, recording, fifo = sys.argv[1:5]
    os.mkfifo(fifo)
    writer = None
    if wait in ("read", "write"):
        redirect = 'exec 3>"$0"' if wait == "read" else 'exec 3<"$0"'
        writer = subprocess.Popen(["sh", "-c", redirect + "; exec sleep 60", fifo],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if call == "write_cwa_csv":
        run = lambda: velmora.write_cwa_csv(recording, fifo)
    else:
        run = lambda: getattr(velmora, call)(fifo)
    before = len(os.listdir("/proc/self/fd"))
    print("calling", flush=True)
    try:
        run()
        print("returned")
    except BaseException as error:
        print(type(error).__name__, len(os.listdir("/proc/self/fd")) == before)
    if writer:
        writer.kill()
""")


@pytest.mark.parametrize(
    ("call", "wait"),
    [
        ("read_metadata", "open"),
        ("sampling_consistency_report", "read"),
        ("read_cwa_file", "read"),
        ("read_cwa_file", "open"),
        ("write_cwa_csv", "open"),
        ("write_cwa_csv", "write"),
    ],
)
def test_ctrl_c_ends_a_call_blocked_on_a_fifo(tmp_path, call, wait):
    # More CSV than a pipe holds.
    recording = CwaFile(blocks=consecutive_packets(40)).write(tmp_path / "rec.cwa")
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, call, wait, recording, str(tmp_path / "pipe")],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)),
    )
    try:
        assert child.stdout.readline() == "calling\n"
        time.sleep(0.5)  # into the blocking wait
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=30)
    finally:
        child.kill()
        child.wait()
    assert out == "KeyboardInterrupt True\n", err


# The child works through long calls that never wait (a regular file, /dev/null), reports
# how it ended, when (on the clock the parent shares), whether its descriptors are back to
# what they were and whether the CSV output is still there.
BUSY_CHILD = textwrap.dedent("""
    import os, signal, sys, time, velmora
    signal.signal(signal.SIGINT, signal.default_int_handler)
    call, recording, output = sys.argv[1:4]
    calls = {
        "read": lambda: velmora.read_cwa_file(recording),
        "read_resampled": lambda: velmora.read_cwa_file(recording, resample_hz=1000.0),
        "csv_streamed": lambda: velmora.write_cwa_csv(recording, output),
        "csv_resampled": lambda: velmora.write_cwa_csv(recording, output, resample_hz=1000.0),
    }
    import pandas  # noqa: F401  (its import is not part of the call)
    before = len(os.listdir("/proc/self/fd"))
    print("calling", flush=True)
    try:
        # Over and over, as a fast machine may finish one call before the signal comes; each
        # starts without an output, so that one left behind can only be the interrupted call's.
        while True:
            if os.path.exists(output):
                os.remove(output)
            calls[call]()
    except BaseException as error:
        ended = time.monotonic()
        print(type(error).__name__, ended, len(os.listdir("/proc/self/fd")) == before,
              os.path.exists(output))
""")


@pytest.fixture(scope="module")
def long_recording(tmp_path_factory):
    # 120,000 packets: a second or more of work for each call even on a fast machine, so that
    # only a check in its loops ends it soon, and a signal 0.1 s in always meets the C++ part.
    packets = b"".join(packet.to_bytes() for packet in consecutive_packets(1000))
    return CwaFile(blocks=[packets * 120]).write(tmp_path_factory.mktemp("long") / "long.cwa")


@pytest.mark.parametrize("call", ["read", "read_resampled", "csv_streamed", "csv_resampled"])
def test_ctrl_c_ends_a_long_call_promptly(tmp_path, long_recording, call):
    output = tmp_path / "out.csv"
    child = subprocess.Popen(
        [sys.executable, "-c", BUSY_CHILD, call, long_recording, str(output)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)),
    )
    try:
        assert child.stdout.readline() == "calling\n"
        time.sleep(0.1)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=120)
    finally:
        child.kill()
        child.wait()
    kind, ended, descriptors_back, output_left = out.split()
    assert (kind, descriptors_back, output_left) == ("KeyboardInterrupt", "True", "False"), err
    assert float(ended) - sent < 0.5
