"""Turns the files, folders and globs a user names into the list of recordings to work on."""

from __future__ import annotations

import glob
import os
import pathlib
from dataclasses import dataclass

SUFFIXES = (".cwa", ".cwa.gz")


@dataclass(frozen=True)
class Recording:
    path: pathlib.Path  # the file as found
    relative: pathlib.PurePath  # where its outputs go under an output folder


def is_recording(path: pathlib.Path) -> bool:
    return path.name.lower().endswith(SUFFIXES)


def stem(path: pathlib.PurePath) -> str:
    """The name without .cwa or .cwa.gz."""
    name = path.name
    for suffix in (".cwa.gz", ".cwa"):
        if name.lower().endswith(suffix):
            return name[: -len(suffix)]
    return name


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
        text = os.fspath(item)
        path = pathlib.Path(text)
        if path.is_dir():
            found.extend(_in_folder(path))
        elif path.exists() or not glob.has_magic(text):
            found.append(Recording(path, pathlib.PurePath(path.name)))
        else:
            matches = sorted(glob.glob(text, recursive=True))
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
