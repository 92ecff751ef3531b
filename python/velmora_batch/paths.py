"""Turns the files, folders and globs a user names into the list of recordings to work on."""

from __future__ import annotations

import glob
import os
import pathlib
from dataclasses import dataclass

SUFFIXES = (".cwa", ".cwa.gz")


@dataclass(frozen=True)
class Recording:
    path: pathlib.Path  # the file as found, made absolute
    relative: pathlib.PurePath  # its place under the folder it was found in

    @property
    def name(self) -> str:
        """The recording's name in a study table: its relative path without the suffix."""
        return self.relative.with_name(stem(self.relative)).as_posix()

    def output(self, out_dir: pathlib.Path, suffix: str) -> pathlib.Path:
        """Where its output goes: the same layout, with names a dataset reader does not skip."""
        parts = [visible(part) for part in self.relative.parent.parts]
        return out_dir.joinpath(*parts, visible(stem(self.relative)) + suffix)


def is_recording(path: pathlib.Path) -> bool:
    return path.name.lower().endswith(SUFFIXES)


def stem(path: pathlib.PurePath) -> str:
    """The name without .cwa or .cwa.gz."""
    name = path.name
    for suffix in (".cwa.gz", ".cwa"):
        if name.lower().endswith(suffix):
            return name[: -len(suffix)]
    return name


def visible(name: str) -> str:
    # pyarrow.dataset and dask skip files and folders whose names start with "." or "_".
    return name.lstrip("._") or "unnamed"


def _in_folder(folder: pathlib.Path):
    found = [p for p in folder.rglob("*") if p.is_file() and is_recording(p)]
    return [Recording(p, p.relative_to(folder)) for p in sorted(found)]


def discover(paths) -> list[Recording]:
    """Files as named, folders searched recursively for *.cwa and *.cwa.gz, globs expanded.

    A named file that does not exist is kept, so its outcome row reports it; a glob that matches
    nothing raises FileNotFoundError, since there is no file to report on. A file reached twice
    is listed once.
    """
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    found: list[Recording] = []
    for item in paths:
        # Absolute here, in the caller: workers elsewhere have another working folder.
        text = os.fspath(item)
        path = pathlib.Path(os.path.abspath(text))
        if path.is_dir():
            found.extend(_in_folder(path))
        elif path.exists() or not glob.has_magic(text):
            found.append(Recording(path, pathlib.PurePath(path.name)))
        else:
            pattern = text if os.path.isabs(text) else os.path.join(glob.escape(os.getcwd()), text)
            matches = sorted(glob.glob(pattern, recursive=True))
            if not matches:
                raise FileNotFoundError(f"no file matches {text!r}")
            for match in map(pathlib.Path, matches):
                if match.is_dir():
                    found.extend(_in_folder(match))
                else:
                    found.append(Recording(match, pathlib.PurePath(match.name)))
    unique, seen = [], set()
    for recording in found:
        key = os.path.realpath(recording.path)
        if key not in seen:
            seen.add(key)
            unique.append(recording)
    return unique
