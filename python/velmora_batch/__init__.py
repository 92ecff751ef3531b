"""Study tools for velmora: inventory and conversion of whole folders of CWA recordings, and
the condition of damaged ones."""

from __future__ import annotations

import pkgutil

# Run from a source tree, the private extension module is built into <build dir>/velmora_batch.
__path__ = pkgutil.extend_path(__path__, __name__)

__all__ = [
    "Quality",
    "__version__",
    "convert",
    "inventory",
    "quality",
    "read_salvaged",
    "scan_blocks",
    "to_dask",
]

# Where each public name lives, imported on first use: the command's --help and --version, and
# a worker unpickling its task, need no pandas until a function that uses it is called.
_HOMES = {
    "convert": "study",
    "inventory": "study",
    "to_dask": "dask_frame",
    "scan_blocks": "blocks",
    "Quality": "summary",
    "quality": "summary",
    "read_salvaged": "salvage",
}


def __getattr__(name: str):
    if name in _HOMES:
        import importlib

        return getattr(importlib.import_module(f".{_HOMES[name]}", __name__), name)
    if name == "__version__":
        from .options import package_version

        return package_version()
    raise AttributeError(f"module 'velmora_batch' has no attribute {name!r}")
