"""Shared fixtures: the file builder, real recordings, and open-file accounting."""

from __future__ import annotations

import os
import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).parent))

from cwa_builder import CwaFile

# A clean clone elsewhere (CI) names the recordings through VELMORA_RECORDINGS.
RECORDINGS = pathlib.Path(
    os.environ.get("VELMORA_RECORDINGS")
    or pathlib.Path(__file__).resolve().parents[3] / "shared" / "recordings"
)


@pytest.fixture
def cwa_path(tmp_path):
    """Writes a CwaFile (or raw bytes) to a fresh path and returns the path as str."""
    counter = iter(range(1_000_000))

    def write(contents) -> str:
        path = tmp_path / f"file{next(counter)}.cwa"
        data = contents.to_bytes() if isinstance(contents, CwaFile) else bytes(contents)
        path.write_bytes(data)
        return str(path)

    return write


def open_fd_count() -> int:
    return len(os.listdir("/proc/self/fd"))


@pytest.fixture
def no_leaked_files():
    """Fails the test when the process holds more open files afterwards than before."""
    before = open_fd_count()
    yield
    assert open_fd_count() == before


def raises_exactly(kind, message, call, *args, **kwargs):
    """Checks that the call raises exactly `kind` with the text `message` (None: any text)."""
    with pytest.raises(kind) as info:
        call(*args, **kwargs)
    assert type(info.value) is kind
    if message is not None:
        assert str(info.value) == message
    return info.value


def recording(name: str) -> str:
    path = RECORDINGS / name
    if not path.exists():
        pytest.skip(f"real recording {name} not available")
    return str(path)
