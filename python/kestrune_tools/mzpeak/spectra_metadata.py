"""`spectra_metadata.parquet`: one row per spectrum in the `spectrum` and `scan`
groups, the precursors and selected ions packed at the top of theirs."""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np
import pyarrow as pa

from kestrune_tools.mzpeak.schema import (
    BASE_PEAK_INTENSITY,
    BASE_PEAK_MZ,
    CHARGE_STATE,
    COLLISION_ENERGY,
    DATA_POINTS,
    HIGHEST_MZ,
    INJECTION_TIME,
    INSTRUMENT_ID,
    LOWER_OFFSET,
    LOWEST_MZ,
    MS_LEVEL,
    PARAMETERS,
    POLARITY,
    REPRESENTATION,
    SCAN_START_TIME,
    SELECTED_ION_MZ,
    SPECTRUM_TYPE,
    TARGET_MZ,
    TOTAL_ION_CURRENT,
    UPPER_OFFSET,
    Settings,
    no_parameters,
    packed_group,
    term_name,
)
from kestrune_tools.psi import DISSOCIATION_METHOD, DISSOCIATION_METHODS, MS1_SPECTRUM, MSN_SPECTRUM

if TYPE_CHECKING:
    from kestrune_tools.runs import PeakStats, Run

def _parquet_param(accession: str) -> dict[str, object]:
    """A parameter of a `parameters` column: a term without a value."""
    return {"value": None, "accession": accession, "name": term_name(accession), "unit": None}



def spectra_metadata_table(run: Run, scans: list[int], stats: PeakStats, settings: Settings) -> pa.Table:
    index = run._scans()  # the per-scan values, read once per run
    rows = [scan - 1 for scan in scans]
    count = len(scans)
    levels = np.array([index.ms_level[k] for k in rows], dtype=np.int32)
    rt = np.array([index.rt[k] for k in rows], dtype=np.float64)
    no_peaks = stats.peak_count == 0
    spectrum = {
        "index": pa.array(np.arange(count, dtype=np.uint64)),
        "id": pa.array([f"scan={scan}" for scan in scans], pa.large_string()),
        "time": pa.array(rt),
        MS_LEVEL: pa.array(levels),
        POLARITY: pa.nulls(count, pa.int32()) if settings.polarity is None else
        pa.array(np.full(count, settings.polarity, dtype=np.int32)),
        REPRESENTATION: pa.array([settings.representation] * count, pa.large_string()),
        SPECTRUM_TYPE: pa.array(np.where(levels == 1, MS1_SPECTRUM, MSN_SPECTRUM).tolist(), pa.large_string()),
        DATA_POINTS: pa.array(stats.peak_count),
        TOTAL_ION_CURRENT: pa.array(stats.tic),
        BASE_PEAK_MZ: pa.array(stats.base_peak_mz, mask=no_peaks),
        BASE_PEAK_INTENSITY: pa.array(stats.base_peak_intensity),
        LOWEST_MZ: pa.array(stats.lowest_mz, mask=no_peaks),
        HIGHEST_MZ: pa.array(stats.highest_mz, mask=no_peaks),
        "number_of_auxiliary_arrays": pa.array(np.zeros(count, dtype=np.int32)),
        "parameters": no_parameters(count),
    }
    injection = np.array([index.injection_time[k] for k in rows], dtype=np.float64)
    scan = {
        "source_index": spectrum["index"],
        "instrument_configuration_ref": pa.array(np.full(count, INSTRUMENT_ID, dtype=np.uint32)),
        SCAN_START_TIME: spectrum["time"],
        # The reader answers 0 where the file holds no injection time.
        INJECTION_TIME: pa.array(injection, mask=~(injection > 0.0) | ~np.isfinite(injection)),
        "parameters": no_parameters(count),
    }
    precursors = _precursors(run, scans)
    return pa.table({
        "spectrum": pa.StructArray.from_arrays(list(spectrum.values()), names=list(spectrum)),
        "scan": pa.StructArray.from_arrays(list(scan.values()), names=list(scan)),
        "precursor": packed_group(precursors.precursor_columns(), len(precursors.source), count),
        "selected_ion": packed_group(precursors.selected_ion_columns(), len(precursors.selected), count),
    })


@dataclass
class Precursors:
    """The precursor of every MSn scan written, and the selected ion of those whose
    precursor m/z the file holds; each list in spectrum order."""

    source: list[int]
    precursor: list[int | None]
    precursor_id: list[str | None]
    target: list[float | None]
    half_width: list[float | None]
    energy: list[float | None]
    activation: list[list[dict[str, object]]]
    selected: list[int]  # positions in `source`
    selected_mz: list[float]
    charge: list[int | None]

    def precursor_columns(self) -> dict[str, pa.Array]:
        window = pa.StructArray.from_arrays(
            [pa.array(self.target, pa.float64()), pa.array(self.half_width, pa.float64()),
             pa.array(self.half_width, pa.float64()), no_parameters(len(self.source))],
            names=[TARGET_MZ, LOWER_OFFSET, UPPER_OFFSET, "parameters"])
        activation = pa.StructArray.from_arrays(
            [pa.array(self.energy, pa.float64()), pa.array(self.activation, PARAMETERS)],
            names=[COLLISION_ENERGY, "parameters"])
        return {"source_index": pa.array(self.source, pa.uint64()),
                "precursor_index": pa.array(self.precursor, pa.uint64()),
                "precursor_id": pa.array(self.precursor_id, pa.large_string()),
                "isolation_window": window, "activation": activation,
                "parameters": no_parameters(len(self.source))}

    def selected_ion_columns(self) -> dict[str, pa.Array]:
        return {"source_index": pa.array([self.source[k] for k in self.selected], pa.uint64()),
                "precursor_index": pa.array([self.precursor[k] for k in self.selected], pa.uint64()),
                SELECTED_ION_MZ: pa.array(self.selected_mz, pa.float64()),
                CHARGE_STATE: pa.array(self.charge, pa.int32()),
                "parameters": no_parameters(len(self.selected))}


def _precursors(run: Run, scans: list[int]) -> Precursors:
    """Every MSn scan's precursor with what the file holds of it, as the mzML export
    writes it: the precursor spectrum's index where it is written too, its id wherever
    the file names a master scan; no selected ion without a precursor m/z."""
    index = run._scans()
    position = {scan: row for row, scan in enumerate(scans)}
    found = Precursors([], [], [], [], [], [], [], [], [], [])
    for row, scan in enumerate(scans):
        k = scan - 1
        if index.ms_level[k] < 2:
            continue
        fragmentation = run.fragmentation(scan)
        master, mz = index.master_scan[k], index.precursor_mz[k]
        width, energy = fragmentation.isolation_width, fragmentation.collision_energy
        found.source.append(row)
        found.precursor.append(position.get(master) if master is not None else None)
        found.precursor_id.append(f"scan={master}" if master is not None else None)
        found.target.append(mz)
        # Half a 32-bit width is again a 32-bit float: the offsets are exact.
        found.half_width.append(width / 2 if width is not None else None)
        found.energy.append(energy)
        found.activation.append([_parquet_param(
            DISSOCIATION_METHODS.get(str(fragmentation.activation), DISSOCIATION_METHOD))])
        if mz is not None:
            found.selected.append(len(found.source) - 1)
            found.selected_mz.append(mz)
            found.charge.append(index.precursor_charge[k])
    return found
