"""The NumPy C API slots, dtype numbers and flag that the module uses without NumPy's headers
(src/package/python/py_numpy.cpp) against the headers and dtypes of the installed NumPy."""

from __future__ import annotations

import pathlib
import re

import numpy as np

SOURCE = pathlib.Path(__file__).resolve().parents[2] / "src" / "package" / "python" / "py_numpy.cpp"
HEADERS = pathlib.Path(np.get_include()) / "numpy"


def constants(pattern: str) -> dict[str, int]:
    """NumPy name -> value of the constants whose comment starts with that name."""
    found = re.findall(pattern + r" = (0x[0-9A-Fa-f]+|\d+);\s*// (\w+)", SOURCE.read_text())
    return {name: int(value, 0) for value, name in found}


def test_api_slots_are_where_the_installed_numpy_puts_them():
    # Continued lines joined, every "#define PyArray_X ... PyArray_API[n]" gives X's slot.
    header = (HEADERS / "__multiarray_api.h").read_text().replace("\\\n", " ")
    slots = {
        name: int(n) for name, n in re.findall(r"#define (\w+) [^\n]*PyArray_API\[(\d+)\]", header)
    }
    used = constants(r"kSlot\w+")
    assert len(used) == 4
    assert {name: slots.get(name) for name in used} == used


def test_dtype_numbers_and_writeable_flag_match_the_installed_numpy():
    used = constants(r"k(?:Type|Flag)\w+")
    header = (HEADERS / "ndarraytypes.h").read_text()
    writeable = re.search(r"#define NPY_ARRAY_WRITEABLE\s+(0x[0-9A-Fa-f]+)", header)
    assert used == {
        "NPY_LONG": np.dtype(np.int64).num,
        "NPY_FLOAT": np.dtype(np.float32).num,
        "NPY_ARRAY_WRITEABLE": int(writeable.group(1), 16),
    }
