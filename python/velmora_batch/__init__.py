"""Study tools for velmora: inventory, conversion and analysis-ready preparation of recordings,
and the condition of damaged ones."""

from __future__ import annotations

import pkgutil

# Run from a source tree, the private extension module is built into <build dir>/velmora_batch.
__path__ = pkgutil.extend_path(__path__, __name__)

__all__ = [
    "Quality",
    "__version__",
    "calibrate",
    "convert",
    "detect_nonwear",
    "epochs",
    "inventory",
    "lowpass",
    "nonwear_episodes",
    "prepare",
    "quality",
    "read_salvaged",
    "scan_blocks",
    "to_dask",
]

# Where each public name lives; data preparation's modules import only NumPy and pandas.
_HOMES = {
    "convert": "study",
    "inventory": "study",
    "to_dask": "dask_frame",
    "calibrate": "calibration",
    "detect_nonwear": "nonwear",
    "nonwear_episodes": "nonwear",
    "lowpass": "filtering",
    "epochs": "epoch_table",
    "prepare": "preparation",
    "scan_blocks": "blocks",
    "Quality": "summary",
    "quality": "summary",
    "read_salvaged": "salvage",
}


def __getattr__(name: str):
    # Imported on first use: the command's --help and --version, and a worker unpickling its
    # task, need no pandas until a function that uses it is called.
    if name in _HOMES:
        import importlib

        return getattr(importlib.import_module(f".{_HOMES[name]}", __name__), name)
    if name == "__version__":
        from .options import package_version

        return package_version()
    raise AttributeError(f"module 'velmora_batch' has no attribute {name!r}")
