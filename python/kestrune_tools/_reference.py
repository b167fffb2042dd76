"""The NumPy oracle of the run-level pass (`Run.scan_pass`): the same answers from a
plain loop over `get_peaks`, kept to check the native pass against.

The sums follow the pass's fixed order: a scan's TIC over eight interleaved lanes
(peak k in lane k % 8, each lane summed in order), the lanes combined as
((0+1)+(2+3))+((4+5)+(6+7)), then the peaks past the last whole group one by one; a
window's sum over its peaks in ascending m/z (a stable sort, NaN last). The base
peak is NumPy's argmax (the first largest, a NaN first of all); the lowest and
highest m/z are NumPy's min and max (NaN when any m/z is).
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray

import kestrune
from kestrune_tools.runs import STATS, FloatArray, IntensityArray, scan_peaks

LANES = 8


def lane_sum(intensity: IntensityArray) -> float:
    with np.errstate(invalid="ignore"):  # a signalling NaN read from the file turns quiet
        values = intensity.astype(np.float64)
    whole = len(values) - len(values) % LANES
    lanes = [0.0] * LANES
    if whole:
        lanes = [float(v) for v in np.cumsum(values[:whole].reshape(-1, LANES), axis=0)[-1]]
    total = ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]))
    for value in values[whole:]:
        total += float(value)
    return total


def peak_stats(mz: FloatArray, intensity: IntensityArray) -> tuple[int, float, float, float, float, float]:
    """(count, tic, base peak m/z, base peak intensity, lowest m/z, highest m/z)."""
    if not len(mz):
        return 0, 0.0, 0.0, 0.0, 0.0, 0.0
    top = int(np.argmax(intensity))
    return (len(mz), lane_sum(intensity), float(mz[top]), float(intensity[top]),
            float(mz.min()), float(mz.max()))


def window_sums(mz: FloatArray, intensity: IntensityArray, bounds: FloatArray) -> FloatArray:
    """Summed intensity of the peaks within each window of `_windows`."""
    if len(mz) > 1 and not (mz[1:] >= mz[:-1]).all():  # peaks come in file order
        order = np.argsort(mz, kind="stable")
        mz, intensity = mz[order], intensity[order]
    ends = np.searchsorted(mz, bounds)
    first = ends[0::2]
    counts = ends[1::2] - first
    # Only the peaks inside the windows are touched: the positions of each window's
    # peaks, side by side, and the window each belongs to.
    total = int(counts.sum())
    if total == 0:
        return np.zeros(len(first))
    window = np.repeat(np.arange(len(first)), counts)
    positions = np.arange(total) + np.repeat(first - (np.cumsum(counts) - counts), counts)
    sums = np.bincount(window, weights=intensity[positions], minlength=len(first))
    return sums.astype(np.float64, copy=False)  # float64 already: weights make it so



def reference_pass(reader: kestrune.RawFileReader, scans: Sequence[int], bounds: FloatArray | None = None,
                   with_peaks: bool = False) -> dict[str, NDArray[Any]]:
    """The answer of `_native.scan_pass(reader, scans, bounds, with_peaks)`, by NumPy."""
    windows = 0 if bounds is None else len(bounds) // 2
    rows = [peak_stats(*peaks) for peaks in _each(reader, scans)]
    answer: dict[str, NDArray[Any]] = {
        name: np.array([row[k] for row in rows], np.int32 if k == 0 else np.float64).reshape(len(scans))
        for k, name in enumerate(STATS)}
    sums = np.zeros((windows, len(scans)))
    if bounds is not None:
        for row, peaks in enumerate(_each(reader, scans)):
            sums[:, row] = window_sums(*peaks, bounds) if len(peaks[0]) else 0.0
    answer["window_sums"] = sums
    if with_peaks:
        every = list(_each(reader, scans))
        answer["peak_offsets"] = np.concatenate([[0], np.cumsum([len(mz) for mz, _ in every])]).astype(np.int64)
        answer["peak_scan"] = np.concatenate(
            [np.zeros(0, np.int32)] + [np.full(len(mz), scan, np.int32) for scan, (mz, _) in zip(scans, every)])
        answer["peak_mz"] = np.concatenate([np.zeros(0)] + [mz for mz, _ in every])
        answer["peak_intensity"] = np.concatenate([np.zeros(0, np.float32)] + [i for _, i in every])
    return answer


def _each(reader: kestrune.RawFileReader, scans: Sequence[int]) -> list[tuple[FloatArray, IntensityArray]]:
    return [scan_peaks(reader, scan) for scan in scans]
