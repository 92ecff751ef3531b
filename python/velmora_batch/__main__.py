"""`python -m velmora_batch` runs the `velmora` command, for environments without its script."""

import sys

from .cli import main

sys.exit(main())
