"""Study tools for velmora: inventory and conversion of whole folders of CWA recordings."""

from .study import convert, inventory

__all__ = ["convert", "inventory"]
