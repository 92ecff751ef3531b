"""Study tools for velmora: inventory and conversion of whole folders of CWA recordings."""

from .dask_frame import to_dask
from .options import package_version
from .study import convert, inventory

__version__ = package_version()
__all__ = ["__version__", "convert", "inventory", "to_dask"]
