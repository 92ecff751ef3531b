"""Study tools for velmora: inventory, conversion and analysis-ready preparation of recordings."""

from __future__ import annotations

__all__ = [
    "__version__",
    "calibrate",
    "convert",
    "detect_nonwear",
    "epochs",
    "inventory",
    "lowpass",
    "nonwear_episodes",
    "prepare",
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
