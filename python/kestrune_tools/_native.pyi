# The companion's compiled run-level pass (src/companion/native_module.cpp).
import os
from collections.abc import Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray

import kestrune

def scan_pass(reader: kestrune.RawFileReader, scans: Sequence[int], bounds: NDArray[np.float64] | None = None,
              with_peaks: bool = False) -> dict[str, NDArray[Any]]: ...
def peak_stats(mz: NDArray[np.float64], intensity: NDArray[np.float32], /) -> tuple[int, float, float, float, float, float]: ...
def open_reader(path: str | os.PathLike[str], profile: str, /) -> kestrune.RawFileReader: ...
def peak_block_reads() -> int: ...
