"""The study package's private extension module (src/module/py_blocks_module.cpp)."""

from typing import Any, BinaryIO

import numpy as np
import pandas as pd

def scan_blocks(file_path: str, /) -> dict[str, Any]: ...
def scan_stream(readable: BinaryIO, /) -> dict[str, dict[str, Any] | RuntimeError]: ...
def count_at_limit(
    acc_x: np.ndarray, acc_y: np.ndarray, acc_z: np.ndarray, limit: float, /
) -> int: ...
def read_cwa_file(
    masked_blocks: bytes, visible_bytes: int | None, file_path: str, /, *args: Any, **kwargs: Any
) -> pd.DataFrame: ...
def write_cwa_csv(
    masked_blocks: bytes,
    visible_bytes: int | None,
    file_path: str,
    output_path: str,
    /,
    *args: Any,
    **kwargs: Any,
) -> None: ...
def read_metadata(
    masked_blocks: bytes, visible_bytes: int | None, file_path: str, /
) -> dict[str, Any]: ...
def sampling_consistency_report(
    masked_blocks: bytes, visible_bytes: int | None, file_path: str, /
) -> dict[str, Any]: ...
