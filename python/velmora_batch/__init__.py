"""Study tools for velmora: inventory, conversion and analysis-ready preparation of recordings."""

from .calibration import calibrate
from .epoch_table import epochs
from .filtering import lowpass
from .nonwear import detect_nonwear, nonwear_episodes
from .preparation import prepare
from .study import convert, inventory

__all__ = [
    "calibrate",
    "convert",
    "detect_nonwear",
    "epochs",
    "inventory",
    "lowpass",
    "nonwear_episodes",
    "prepare",
]
