"""Every call holds the interpreter lock from start to end and starts no thread."""

from __future__ import annotations

import os
import pathlib
import subprocess
import sys
import textwrap
import time

import pytest
from cwa_builder import CwaFile, consecutive_packets

CHILD_ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))

# One call per way through the module: header scan, report, plain, cut and resampled reads, and
# the streamed and buffered CSV writers.
CALLS = textwrap.dedent("""
    import os, velmora
    def calls(path, directory):
        out = os.path.join(directory, "out.csv")
        return [
            lambda: velmora.read_metadata(path),
            lambda: velmora.sampling_consistency_report(path),
            lambda: velmora.read_cwa_file(path),
            lambda: velmora.read_cwa_file(path, velmora.seconds(60, 3600)),
            lambda: velmora.read_cwa_file(path, resample_hz=100.0),
            lambda: velmora.write_cwa_csv(path, out),
            lambda: velmora.write_cwa_csv(path, out, velmora.seconds(0, 600)),
        ]
""")


@pytest.fixture(scope="module")
def long_recording(tmp_path_factory) -> str:
    # Five hours of packets (9 MB): long enough that a call lasts well beyond the interval at
    # which the other side samples it.
    path = tmp_path_factory.mktemp("lock") / "long.cwa"
    return CwaFile(blocks=consecutive_packets(18_000)).write(path)


# The named pipe's writer is another process that stalls for STALL seconds after opening it, so
# each call waits that long inside a read. A counting thread of the same process may only make
# progress then if the call has let go of the interpreter lock. Its progress is compared with
# what it makes during a sleep as long as the call, measured right after, so that a busy
# machine slows both alike.
STALL = 0.5
LOCK_CHILD = CALLS + textwrap.dedent("""
    import subprocess, sys, threading, time
    STALL, directory = float(sys.argv[1]), sys.argv[2]
    count = 0
    def counter():
        global count
        while True:
            count += 1
    threading.Thread(target=counter, daemon=True).start()
    for number in range(7):
        pipe = os.path.join(directory, f"pipe{number}.cwa")
        os.mkfifo(pipe)
        writer = subprocess.Popen([sys.executable, "-c",
            "import sys, time\\n"
            "with open(sys.argv[1], 'wb') as pipe:\\n"
            "    time.sleep(float(sys.argv[2])); pipe.write(b'XX' + bytes(1022))",
            pipe, str(STALL)])
        call = calls(pipe, directory)[number]
        began, before = time.perf_counter(), count
        try:
            call()
        except RuntimeError:
            pass
        elapsed, progress = time.perf_counter() - began, count - before
        writer.wait()
        before = count
        time.sleep(elapsed)
        print(f"{elapsed:.3f} {progress / max(count - before, 1):.4f}")
""")


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs named pipes")
def test_no_other_python_thread_runs_during_a_call(tmp_path):
    result = subprocess.run(
        [sys.executable, "-c", LOCK_CHILD, str(STALL), str(tmp_path)],
        capture_output=True,
        text=True,
        timeout=120,
        env=CHILD_ENV,
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.split("\n")[:-1]
    assert len(lines) == 7, result.stdout
    for number, line in enumerate(lines):
        elapsed, relative_progress = map(float, line.split())
        assert elapsed >= STALL * 0.9, (number, line)
        # Released for the stall, the counter would run about as far as during the sleep; held,
        # it runs only around the call's edges, for a switch interval or two.
        assert relative_progress < 0.2, (number, line)


THREADS_CHILD = CALLS + textwrap.dedent("""
    import sys, time
    path, directory = sys.argv[1:3]
    for call in calls(path, directory):
        call()  # imports and first-use set-up, before the count is taken
    print(len(os.listdir("/proc/self/task")), flush=True)
    sys.stdin.readline()
    deadline = time.perf_counter() + 2.0
    while time.perf_counter() < deadline:
        for call in calls(path, directory):
            call()
""")


@pytest.mark.skipif(not pathlib.Path("/proc/self/task").is_dir(), reason="needs /proc")
def test_calls_start_no_threads(long_recording, tmp_path):
    child = subprocess.Popen(
        [sys.executable, "-c", THREADS_CHILD, long_recording, str(tmp_path)],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=CHILD_ENV,
    )
    try:
        settled = int(child.stdout.readline())
        tasks = pathlib.Path(f"/proc/{child.pid}/task")
        child.stdin.write("go\n")
        child.stdin.flush()
        counts = set()
        while child.poll() is None:
            try:
                counts.add(sum(1 for _ in tasks.iterdir()))
            except FileNotFoundError:
                break  # the child has just ended
            time.sleep(0.0005)
        assert child.wait(timeout=60) == 0, child.stderr.read()
    finally:
        child.kill()
        child.wait()
    assert max(counts) == settled, sorted(counts)


# Daemon threads inside calls while the interpreter exits: finalization must not abort the
# process, on any interpreter. read_cwa_file also runs pandas code, where a thread may be told to
# exit while the call is under way.
EXIT_CHILD = textwrap.dedent("""
    import sys, threading, time, velmora
    call = getattr(velmora, sys.argv[2])
    def loop(path):
        while True:
            call(path)
    for _ in range(4):
        threading.Thread(target=loop, args=(sys.argv[1],), daemon=True).start()
    time.sleep(0.2)
""")


@pytest.mark.parametrize("function", ["read_metadata", "read_cwa_file"])
def test_exit_with_daemon_threads_inside_calls_is_clean(cwa_path, function):
    path = cwa_path(CwaFile(blocks=consecutive_packets(50)))
    for _ in range(6):
        result = subprocess.run(
            [sys.executable, "-c", EXIT_CHILD, path, function],
            capture_output=True,
            text=True,
            timeout=60,
            env=CHILD_ENV,
        )
        assert result.returncode == 0, result.stderr
        assert result.stderr == ""
