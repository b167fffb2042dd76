# The companion's compiled run-level pass (src/companion/native_module.cpp).
from collections.abc import Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray

import kestrune

def scan_pass(reader: kestrune.RawFileReader, scans: Sequence[int], bounds: NDArray[np.float64] | None = None,
              with_peaks: bool = False, peak_budget: int = 0) -> dict[str, NDArray[Any]]: ...
def narrow_mz(reader: kestrune.RawFileReader, /) -> bool: ...
def peak_stats(mz: NDArray[np.float64], intensity: NDArray[np.float32], /) -> tuple[int, float, float, float, float, float]: ...
def peak_block_reads() -> int: ...
