"""Temporary names for outputs being written, and the removal of those whose writer is gone.

A temporary name is short whatever the output's name (a name near the file system's limit must
still fit), hidden (pyarrow.dataset and dask skip it), and says which host and process write it,
so that one run never removes what another, still running, is writing.
"""

from __future__ import annotations

import hashlib
import os
import pathlib
import socket

_SUFFIX = ".velmora-partial"


def _host() -> str:
    return hashlib.blake2b(socket.gethostname().encode(), digest_size=3).hexdigest()


def _of(output: pathlib.Path) -> str:
    return hashlib.blake2b(output.name.encode(), digest_size=6).hexdigest()


def partial_name(output: pathlib.Path) -> pathlib.Path:
    return output.with_name(f".{_of(output)}-{_host()}-{os.getpid()}{_SUFFIX}")


_PF_EXITING = 0x4  # include/linux/sched.h


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    # A writer that has died but not yet been reaped by its parent (a dask nanny, a pool) is a
    # zombie, which signal 0 still reaches. One still exiting has already closed its sockets, so
    # the scheduler may report its death before it is a zombie: the kernel's PF_EXITING flag
    # tells it apart.
    try:
        with open(f"/proc/{pid}/stat", "rb") as stat:
            fields = stat.read().rpartition(b")")[2].split()
        return fields[0] != b"Z" and not int(fields[6]) & _PF_EXITING
    except (OSError, IndexError, ValueError):
        return True


def remove_abandoned(output: pathlib.Path) -> None:
    """Removes partial files of `output` whose writer, a process on this host, has ended.

    Those written on another host are left alone: whether their writer lives cannot be told here.
    """
    host = _host()
    for partial in output.parent.glob(f".{_of(output)}-*{_SUFFIX}"):
        writer = partial.name[: -len(_SUFFIX)].split("-")
        if len(writer) != 3 or writer[1] != host or not writer[2].isdigit():
            continue
        if not _alive(int(writer[2])):
            partial.unlink(missing_ok=True)
