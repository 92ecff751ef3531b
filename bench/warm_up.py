"""The start of a benchmark child that may warm up the memory a run will need.

Touches and frees as much memory as the run will need, so that it faults in pages the guest
already holds: this VM hands freed memory back to its host after about two seconds, and the
first touch of such memory costs several times more, by whatever luck of timing. Both sides of
a comparison get the same treatment; peak-RSS runs go without it. The child's first argument is
"warm" or "cold".
"""

WARM_UP = """
import sys
import numpy
if sys.argv.pop(1) == "warm":
    numpy.ones(2_200_000_000 // 8, dtype=numpy.int64)
"""
