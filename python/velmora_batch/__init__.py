"""Study tools for velmora: inventory and conversion of whole folders of CWA recordings."""

from __future__ import annotations

__all__ = ["__version__", "convert", "inventory", "to_dask"]


def __getattr__(name: str):
    # Imported on first use: the command's --help and --version, and a worker unpickling its
    # task, need no pandas until a function that uses it is called.
    if name in ("convert", "inventory"):
        from . import study

        return getattr(study, name)
    if name == "to_dask":
        from .dask_frame import to_dask

        return to_dask
    if name == "__version__":
        from .options import package_version

        return package_version()
    raise AttributeError(f"module 'velmora_batch' has no attribute {name!r}")
