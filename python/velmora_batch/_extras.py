"""Imports of the optional packages, each failing with one line that names the extra to install."""

from __future__ import annotations

import importlib

_EXTRA_OF = {
    "pyarrow": "batch",
    "pyarrow.parquet": "batch",
    "tqdm": "batch",
    "distributed": "batch",
    "dask.dataframe": "batch",
    "matplotlib": "plot",
    "matplotlib.dates": "plot",
}


class MissingExtra(ModuleNotFoundError):
    """An optional package is not installed; the text says which extra brings it."""


def require(module: str):
    try:
        return importlib.import_module(module)
    except ModuleNotFoundError as error:
        extra = _EXTRA_OF[module]
        raise MissingExtra(
            f"{module.split('.')[0]} is not installed; install it with: pip install 'velmora[{extra}]'",
            name=error.name,
        ) from None
