"""The chromatogram members: the total-ion and base-peak chromatograms of the scans
written, from the statistics the spectra pass gathered."""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np
import pyarrow as pa

from kestrune_tools.mzpeak.schema import (
    BPC_ID,
    CHROMATOGRAM_POINT,
    CHROMATOGRAM_TYPE,
    FLOAT64,
    INTENSITY_ARRAY,
    MINUTE,
    POLARITY,
    TIC_ID,
    TIME_ARRAY,
    array_entry,
    no_parameters,
    packed_group,
)
from kestrune_tools.mzpeak.spectra_metadata import Precursors
from kestrune_tools.psi import BPC_CHROMATOGRAM, DETECTOR_COUNTS, TIC_CHROMATOGRAM

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from kestrune_tools.runs import PeakStats, Run

def chromatogram_traces(run: Run, scans: list[int], stats: PeakStats,
                        ms_level: int | None) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]:
    """Times, TIC and BPC of the MS1 scans written (of every scan written where only
    MSn scans are): `run.tic()` and `run.bpc()` of that level, from the statistics the
    export gathered anyway."""
    levels = run.ms_levels()
    level = ms_level or 1
    rows = np.array([k for k, scan in enumerate(scans) if levels[scan - 1] == level], dtype=np.intp)
    rt = run.retention_times()
    times = np.array([rt[scans[k] - 1] for k in rows], dtype=np.float64)
    return times, stats.tic[rows], stats.base_peak_intensity[rows]


def chromatograms_metadata_table(polarity: int | None) -> pa.Table:
    chromatogram = {
        "index": pa.array([0, 1], pa.uint64()),
        "id": pa.array([TIC_ID, BPC_ID], pa.large_string()),
        POLARITY: pa.array([polarity, polarity], pa.int32()),
        CHROMATOGRAM_TYPE: pa.array([TIC_CHROMATOGRAM, BPC_CHROMATOGRAM], pa.large_string()),
        "number_of_auxiliary_arrays": pa.array([0, 0], pa.int32()),
        "parameters": no_parameters(2),
    }
    # No precursors and no selected ions, but their groups all the same: readers
    # expect the four groups of a packed table.
    empty = Precursors([], [], [], [], [], [], [], [], [], [])
    return pa.table({
        "chromatogram": pa.StructArray.from_arrays(list(chromatogram.values()), names=list(chromatogram)),
        "precursor": packed_group(empty.precursor_columns(), 0, 2),
        "selected_ion": packed_group(empty.selected_ion_columns(), 0, 2),
    })


def chromatograms_data_table(times: NDArray[np.float64], tic: NDArray[np.float64],
                             bpc: NDArray[np.float64]) -> tuple[pa.Table, dict[str, object]]:
    count = len(times)
    chromatogram_index = np.repeat(np.array([0, 1], dtype=np.uint64), count)
    point = pa.StructArray.from_arrays(
        [pa.array(chromatogram_index), pa.array(np.concatenate([times, times])), pa.array(np.concatenate([tic, bpc]))],
        fields=list(CHROMATOGRAM_POINT))
    # The time array is sorted where the run's times rise (a NaN time is no order).
    rising = bool(np.all(times[1:] >= times[:-1])) and not np.isnan(times).any()
    index: dict[str, object] = {"prefix": "point", "entries": [
        array_entry("chromatogram", "point.time", FLOAT64, TIME_ARRAY, "time array", MINUTE, 0 if rising else None),
        array_entry("chromatogram", "point.intensity", FLOAT64, INTENSITY_ARRAY, "intensity array",
                     DETECTOR_COUNTS, None),
    ]}
    return pa.table({"point": point}), index
