"""The part of a run the report reads, and how a path becomes such a run."""

from __future__ import annotations

import os
from collections.abc import Iterator
from contextlib import AbstractContextManager
from typing import Any, Protocol

import numpy as np
from numpy.typing import NDArray


class SpectrumLike(Protocol):
    @property
    def scan_number(self) -> int: ...
    @property
    def mz(self) -> NDArray[np.float64]: ...
    @property
    def intensity(self) -> NDArray[np.float32]: ...


class ReportRun(Protocol):
    """What the report needs of a run (the companion's run answers all of it)."""

    def __len__(self) -> int: ...
    @property
    def path(self) -> Any: ...
    @property
    def version(self) -> int: ...
    @property
    def creation_date(self) -> str: ...
    def scan_table(self) -> Any: ...  # a pyarrow.Table of the companion's scan-table columns
    def spectra(self) -> Iterator[SpectrumLike]: ...
    def instrument_method(self) -> str: ...
    def status_log_labels(self) -> list[str]: ...
    def error_logs(self) -> list[str]: ...


def open_for_report(path: str | os.PathLike[str]) -> AbstractContextManager[ReportRun]:
    import kestrune_tools

    open_run = getattr(kestrune_tools, "open_run", None)
    if open_run is None:  # until the companion's run interface is merged
        return _ReaderRun(os.fspath(path))
    run: AbstractContextManager[ReportRun] = open_run(path)
    return run


class _ReaderRun:
    """Temporary stand-in for the companion's run, on the public reader only."""

    def __init__(self, path: str) -> None:
        import kestrune

        self.path = path
        self.reader = kestrune.RawFileReader(path)
        self.version = self.reader.version
        self.creation_date = self.reader.creation_date

    def __enter__(self) -> "_ReaderRun":
        return self

    def __exit__(self, *exc: object) -> None:
        pass

    def __len__(self) -> int:
        return self.reader.num_scans

    def _peaks(self, scan: int) -> tuple[NDArray[np.float64], NDArray[np.float32]]:
        if self.reader.native_get_peaks(scan) is None:
            return np.empty(0), np.empty(0, np.float32)
        return self.reader.get_peaks(scan)

    def _ms_level(self, scan: int, master: int) -> int:
        order = self.reader.get_trailer_extra(scan).get("MS Order")
        if self.version == 66 and "orbitrap" in self.path and isinstance(order, int) and order > 0:
            return order
        return 2 if master > 0 else 1

    def spectra(self) -> Iterator[SpectrumLike]:
        from types import SimpleNamespace

        for scan in range(1, len(self) + 1):
            mz, intensity = self._peaks(scan)
            yield SimpleNamespace(scan_number=scan, mz=mz, intensity=intensity)  # type: ignore[misc]

    def scan_table(self) -> Any:
        import pyarrow as pa

        rows = self.reader.list_spectra()
        levels, counts, tics, bp_mz, bp_int = [], [], [], [], []
        for row in rows:
            mz, intensity = self._peaks(row["scan_number"])
            levels.append(self._ms_level(row["scan_number"], row["master_scan"]))
            counts.append(len(mz))
            tics.append(float(intensity.sum(dtype=np.float64)))
            top = int(np.argmax(intensity)) if len(mz) else -1
            bp_mz.append(float(mz[top]) if top >= 0 else None)
            bp_int.append(float(intensity[top]) if top >= 0 else 0.0)
        ms2 = [level > 1 for level in levels]
        return pa.table({
            "scan_number": pa.array([r["scan_number"] for r in rows], pa.int32()),
            "rt": pa.array([r["rt"] for r in rows], pa.float64()),
            "ms_level": pa.array(levels, pa.int8()),
            "precursor_mz": pa.array([r["monomz"] if m and r["monomz"] > 0 else None for r, m in zip(rows, ms2)],
                                     pa.float64()),
            "precursor_charge": pa.array([r["charge"] if m and r["charge"] > 0 else None for r, m in zip(rows, ms2)],
                                         pa.int16()),
            "master_scan": pa.array([r["master_scan"] if r["master_scan"] > 0 else None for r in rows], pa.int32()),
            "injection_time": pa.array([r["injection_time"] for r in rows], pa.float64()),
            "peak_count": pa.array(counts, pa.int32()),
            "tic": pa.array(tics, pa.float64()),
            "base_peak_mz": pa.array(bp_mz, pa.float64()),
            "base_peak_intensity": pa.array(bp_int, pa.float64()),
        })

    def instrument_method(self) -> str:
        return self.reader.get_instrument_method(0)

    def status_log_labels(self) -> list[str]:
        return self.reader.get_status_log_labels()

    def error_logs(self) -> list[str]:
        return self.reader.get_error_logs()
