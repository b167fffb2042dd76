"""Everything a report shows of one run, read once: the scan table's columns, the
file's texts and the viewer's thinned spectra."""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from kestrune_tools.runs import Run, RunPeaks

# The viewer holds at most this many peaks over all scans (about 1.9 MB in the
# page), and between these many per scan.
VIEWER_PEAK_BUDGET = 120_000
VIEWER_PEAKS_PER_SCAN = (100, 2000)


@dataclass(frozen=True)
class ScanColumns:
    """The scan table as NumPy arrays; NaN (m/z) and 0 (charge) where the table holds null."""

    scan_number: NDArray[np.int64]
    rt: NDArray[np.float64]
    ms_level: NDArray[np.int64]
    precursor_mz: NDArray[np.float64]
    precursor_charge: NDArray[np.int64]
    injection_time: NDArray[np.float64]
    peak_count: NDArray[np.int64]
    tic: NDArray[np.float64]
    base_peak_mz: NDArray[np.float64]
    base_peak_intensity: NDArray[np.float64]


@dataclass(frozen=True)
class ViewerSpectra:
    """The viewer's peaks of all scans, end to end: scan k's peaks are
    mz[offsets[k - 1]:offsets[k]]."""

    mz: NDArray[np.float64]
    intensity: NDArray[np.float32]
    offsets: NDArray[np.int64]


@dataclass(frozen=True)
class RunDigest:
    name: str
    path: str
    version: int
    creation_date: str
    scans: ScanColumns
    instrument_method: str
    status_log_labels: list[str]
    error_logs: list[str]
    viewer: ViewerSpectra

    def level_counts(self) -> dict[int, int]:
        levels, counts = np.unique(self.scans.ms_level, return_counts=True)
        return {int(level): int(count) for level, count in zip(levels, counts)}

    def survey_trace(self, values: NDArray[np.float64]) -> tuple[NDArray[np.int64], NDArray[np.float64],
                                                                    NDArray[np.float64]]:
        """The chromatograms' trace, in rt order: (scan numbers, rt, values) of the MS1
        scans, or of every scan where the run has none."""
        scans = self.scans
        traced = scans.ms_level == 1
        if not traced.any():
            traced = np.ones(len(traced), bool)
        order = np.argsort(scans.rt[traced], kind="stable")
        return scans.scan_number[traced][order], scans.rt[traced][order], values[traced][order]

    def rt_range(self) -> tuple[float, float] | None:
        rt = self.scans.rt[np.isfinite(self.scans.rt)]
        return (float(rt.min()), float(rt.max())) if len(rt) else None


def read_digest(run: Run) -> RunDigest:
    """The run's digest; one pass over its peaks feeds both the scan table and the viewer."""
    path = run.path
    scan_numbers = list(run.scan_numbers)
    made = run.scan_pass(scan_numbers, with_peaks=True)
    scans = scan_columns(run.scan_table_of(scan_numbers, made.stats))
    assert made.peaks is not None
    return RunDigest(
        name=os.path.basename(path) or path,
        path=path,
        version=run.version,
        creation_date=run.creation_date,
        scans=scans,
        instrument_method=run.instrument_method(),
        status_log_labels=run.status_log_labels(),
        error_logs=run.error_logs(),
        viewer=viewer_spectra(made.peaks, viewer_limit(len(scans.scan_number))),
    )


def scan_columns(table: Any) -> ScanColumns:
    def column(name: str, null: float, dtype: type) -> Any:
        return np.asarray(table.column(name).fill_null(null).to_numpy(), dtype=dtype)

    return ScanColumns(
        scan_number=column("scan_number", 0, np.int64),
        rt=column("rt", np.nan, np.float64),
        ms_level=column("ms_level", 0, np.int64),
        precursor_mz=column("precursor_mz", np.nan, np.float64),
        precursor_charge=column("precursor_charge", 0, np.int64),
        injection_time=column("injection_time", np.nan, np.float64),
        peak_count=column("peak_count", 0, np.int64),
        tic=column("tic", 0.0, np.float64),
        base_peak_mz=column("base_peak_mz", np.nan, np.float64),
        base_peak_intensity=column("base_peak_intensity", 0.0, np.float64),
    )


def viewer_limit(scan_count: int) -> int:
    low, high = VIEWER_PEAKS_PER_SCAN
    return int(np.clip(VIEWER_PEAK_BUDGET // max(scan_count, 1), low, high))


def viewer_spectra(peaks: RunPeaks, limit: int) -> ViewerSpectra:
    mz_parts: list[NDArray[np.float64]] = []
    intensity_parts: list[NDArray[np.float32]] = []
    for row in range(len(peaks.offsets) - 1):
        mz, intensity = thin_peaks(*peaks.of_row(row), limit)
        mz_parts.append(mz)
        intensity_parts.append(intensity)
    offsets = np.zeros(len(mz_parts) + 1, np.int64)
    np.cumsum([len(part) for part in mz_parts], out=offsets[1:])
    return ViewerSpectra(
        mz=np.concatenate(mz_parts) if mz_parts else np.empty(0),
        intensity=np.concatenate(intensity_parts) if intensity_parts else np.empty(0, np.float32),
        offsets=offsets,
    )


def thin_peaks(
    mz: NDArray[np.float64], intensity: NDArray[np.float32], limit: int
) -> tuple[NDArray[np.float64], NDArray[np.float32]]:
    """At most `limit` peaks, in file order: the most intense peak of each of `limit`
    equal slices of the m/z range, so the stick plot keeps its outline and its base
    peak. Peaks with a non-finite m/z or intensity cannot be drawn and are left out."""
    finite = np.isfinite(mz) & np.isfinite(intensity)
    if not finite.all():
        mz, intensity = mz[finite], intensity[finite]
    if len(mz) <= limit:
        return mz, intensity
    low, span = mz.min(), np.ptp(mz)
    slices = np.zeros(len(mz), np.int64) if span == 0 else np.minimum(((mz - low) / span * limit).astype(np.int64), limit - 1)
    strongest = np.full(limit, -np.inf, np.float32)
    np.maximum.at(strongest, slices, intensity)
    winner = np.full(limit, -1, np.int64)
    candidates = np.flatnonzero(intensity == strongest[slices])
    winner[slices[candidates]] = candidates  # one peak a slice where several tie
    keep = np.sort(winner[winner >= 0])
    return mz[keep], intensity[keep]
