"""Study tools for velmora: inventory and conversion of whole folders of CWA recordings, and
the condition of damaged ones."""

import pkgutil

# Run from a source tree, the private extension module is built into <build dir>/velmora_batch.
__path__ = pkgutil.extend_path(__path__, __name__)

from .blocks import scan_blocks
from .quality import Quality, quality
from .salvage import read_salvaged
from .study import convert, inventory

__all__ = ["Quality", "convert", "inventory", "quality", "read_salvaged", "scan_blocks"]
