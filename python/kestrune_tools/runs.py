"""Acquisition runs as Python users expect them, on top of `kestrune.RawFileReader`.

    with open_run(path) as run:
        spectrum = run[7]
        for spectrum in run.spectra(ms_level=2, rt_range=(1.0, 5.0)): ...
        rt, intensity = run.tic()
        table = run.scan_table()

Conventions, each stated once here and reused by everything built on a run:

- Scan numbers run from 1 to `len(run)`.
- Retention times are in minutes (as the reader answers them), injection times in
  milliseconds; `UNITS` names the unit of every column that has one.
- No peaks: the reader answers a scan without peak data with one-element `[0.0]`
  arrays; a real peak block never holds fewer than 11 peaks, so `scan_peaks` maps
  every one-element answer to empty arrays of the same dtypes (float64 m/z,
  float32 intensity). Other answers pass on as the reader's own arrays, no copy.
- MS level (`ms_level_rule`): the scan's "MS Order" where its orbitrap trailer
  record was read (version-66 orbitrap files), otherwise 2 for a scan whose master
  scan is above 0, otherwise 1.
- Precursor m/z, precursor charge and master scan are None where the file holds
  none (zero or below); precursor m/z and charge are None for every MS1 scan.

The per-scan values (retention time, MS level, precursor, injection time) are
read once per run, at their first use, and kept: the reader takes them from its
scan caches, except "MS Order", which the companion's `_native.ms_levels` reads
from each scan's trailer record, the file opened once, with `ms_level_rule`'s rule.
Peaks are read from the file whenever they are asked for.

Whole-run work (`scan_table`, `tic`, `bpc`, `xic`, the exports) goes through
`Run.scan_pass`: one native pass that reads each scan's peak block once, with the
reader's own search and decoding, without the interpreter lock. Its sums have a
fixed order, reproduced by `kestrune_tools._reference` (the NumPy oracle): the TIC
over eight interleaved lanes combined pairwise, then the tail; a window's sum in
ascending m/z.
"""

from __future__ import annotations

import inspect
import math
import operator
import os
import warnings
from collections.abc import Iterator, Mapping, Sequence
from dataclasses import dataclass
from functools import cached_property
from types import TracebackType
from typing import TYPE_CHECKING, Any, NamedTuple, SupportsIndex, TypeGuard, cast

import numpy as np
from numpy.typing import ArrayLike, NDArray

import kestrune
from kestrune_tools import _native, arrow
from kestrune_tools.profiles import (GenericProfileWarning, checked_profile, generic_profile_message, path_profile,
                                     profile_reason)

if TYPE_CHECKING:
    import matchms
    import pandas
    import pyarrow
    import pyopenms
    import spectrum_utils.spectrum

__all__ = [
    "Run", "Spectrum", "open_run", "ms_level_rule", "scan_peaks", "native_id", "UNITS",
    "SCAN_TABLE_COLUMNS", "PeakStats", "ScanPass", "RunPeaks", "scan_number_argument", "ms_level_argument",
    "GenericProfileWarning",
]

FloatArray = NDArray[np.float64]
IntensityArray = NDArray[np.float32]
TrailerValue = float | int | str

UNITS: Mapping[str, str] = {
    "rt": "minute",
    "injection_time": "millisecond",
    "precursor_mz": "m/z",
    "base_peak_mz": "m/z",
}

# The largest MS level an int8 column holds; a larger "MS Order" is not a plausible
# order of a real acquisition, and the master-scan rule decides instead.
MAX_MS_LEVEL = 127

# Present in a trailer exactly when the reader found the scan's orbitrap trailer
# record; without it, the trailer's "MS Order" is the constant 1.
_ORBITRAP_RECORD_KEY = "Orbitrap Resolution"


def ms_level_rule(trailer: Mapping[str, TrailerValue], master_scan: int) -> int:
    """The MS level of a scan from its trailer and its master scan number."""
    if _ORBITRAP_RECORD_KEY in trailer:
        order = trailer.get("MS Order")
        if isinstance(order, int) and 1 <= order <= MAX_MS_LEVEL:
            return order
    return 2 if master_scan > 0 else 1


def scan_peaks(reader: kestrune.RawFileReader, scan_number: int) -> tuple[FloatArray, IntensityArray]:
    """The scan's peaks from `get_peaks`, empty arrays where it found none."""
    mz, intensity = reader.get_peaks(scan_number)
    if len(mz) == 1:  # the reader's "no result"; a peak block holds at least 11 peaks
        return mz[:0], intensity[:0]
    return mz, intensity


def _is_integer(value: object) -> TypeGuard[SupportsIndex]:
    """An integer (NumPy's too), never a bool or a float. Tested by the attribute, not
    by isinstance against SupportsIndex: that protocol check costs tens of times more,
    and a pass checks every scan number it is given."""
    return not isinstance(value, bool) and hasattr(value, "__index__")


def scan_number_argument(scan_number: object) -> int:
    """A scan number given to the run: an integer (NumPy's too), never a bool or a
    float; TypeError for anything else."""
    if not _is_integer(scan_number):
        raise TypeError(f"scan numbers are integers, not {type(scan_number).__name__}")
    return operator.index(scan_number)


def _scan_numbers(scans: Sequence[object]) -> list[int]:
    """Scan numbers given to the run, each by `scan_number_argument`'s rule; a list
    of plain integers (a selection of the run's own, the common case) is taken as it
    is, without the rule's cost for each of thousands."""
    if isinstance(scans, range):
        return list(scans)
    if all(type(scan) is int for scan in scans):
        return cast("list[int]", list(scans))
    return [scan_number_argument(scan) for scan in scans]


def ms_level_argument(ms_level: object) -> int | None:
    """An MS level given to the run: None (every level) or an integer, by the same
    rule as a scan number; TypeError for anything else, so that `ms_level="1"` is no
    silent empty answer."""
    if ms_level is None:
        return None
    if not _is_integer(ms_level):
        raise TypeError(f"MS levels are integers or None, not {type(ms_level).__name__}")
    return operator.index(ms_level)


def native_id(scan_number: int) -> str:
    return f"scan={scan_number}"


def _positive_or_none(value: float) -> float | None:
    return value if value > 0.0 else None


def _count_or_none(value: int) -> int | None:
    return value if value > 0 else None


@dataclass(frozen=True, eq=False)
class Spectrum:
    """One scan: its peaks and its metadata.

    Attributes
    ----------
    scan_number : int
        From 1 to the run's number of scans.
    ms_level : int
        1 for a survey scan, 2 for a fragment scan (see `ms_level_rule`).
    rt : float
        Retention time, minutes.
    mz, intensity : numpy.ndarray
        The peaks, float64 m/z and float32 intensity, in the file's order; both empty
        for a scan without peak data.
    precursor_mz : float or None
        Monoisotopic precursor m/z of an MSn scan; None for MS1 or where not recorded.
    precursor_charge : int or None
        Precursor charge of an MSn scan; None where not recorded.
    master_scan : int or None
        The survey scan an MSn scan's precursor was picked from.
    injection_time : float
        Ion injection time, milliseconds.
    native_id : str
        ``"scan=<scan_number>"``, the mzML native ID.
    isolation_width : float or None
        Width (m/z) of an MSn scan's isolation window, centred on the precursor.
    activation : str or None
        How an MSn scan's ions were fragmented, as the trailer names it
        (``"HigherEnergyCollisionalDissociation"``).
    collision_energy : float or None
        Collision energy of an MSn scan, the trailer's "Collision Energy" (the mzML
        export writes it in electronvolts).

    Examples
    --------
    >>> spectrum = run[70]                                      # doctest: +SKIP
    >>> spectrum                                                # doctest: +SKIP
    <Spectrum scan 70, MS2, rt 7.4000 min, precursor m/z 524.2650 2+, 80 peaks>
    """

    scan_number: int
    ms_level: int
    rt: float
    mz: FloatArray
    intensity: IntensityArray
    precursor_mz: float | None
    precursor_charge: int | None
    master_scan: int | None
    injection_time: float
    native_id: str
    isolation_width: float | None = None
    activation: str | None = None
    collision_energy: float | None = None

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Spectrum):
            return NotImplemented
        fields = ("scan_number", "ms_level", "rt", "precursor_mz", "precursor_charge",
                  "master_scan", "injection_time", "native_id", "isolation_width", "activation",
                  "collision_energy")
        return all(getattr(self, name) == getattr(other, name) for name in fields) and (
            np.array_equal(self.mz, other.mz) and np.array_equal(self.intensity, other.intensity)
        )

    def __repr__(self) -> str:
        # What identifies a scan at a glance, never its arrays.
        precursor = ""
        if self.precursor_mz is not None:
            charge = f" {self.precursor_charge}+" if self.precursor_charge is not None else ""
            precursor = f", precursor m/z {self.precursor_mz:.4f}{charge}"
        return (f"<Spectrum scan {self.scan_number}, MS{self.ms_level}, rt {self.rt:.4f} min"
                f"{precursor}, {len(self.mz)} peaks>")

    __hash__ = None  # type: ignore[assignment]  # holds arrays

    def to_matchms(self) -> matchms.Spectrum:
        """This scan as a `matchms.Spectrum` (see `kestrune_tools.adapters.to_matchms`)."""
        from kestrune_tools.adapters import to_matchms

        return to_matchms(self)

    def to_spectrum_utils(self) -> spectrum_utils.spectrum.MsmsSpectrum:
        """This scan as a spectrum_utils `MsmsSpectrum` (see `kestrune_tools.adapters`)."""
        from kestrune_tools.adapters import to_spectrum_utils

        return to_spectrum_utils(self)

    def _repr_html_(self) -> str:
        from kestrune_tools.notebook import spectrum_html

        return spectrum_html(self)


@dataclass(frozen=True)
class Fragmentation:
    """What a fragment scan's trailer says of its precursor's isolation and activation
    (None where it says nothing)."""

    isolation_width: float | None
    activation: str | None
    collision_energy: float | None

    @classmethod
    def of(cls, trailer: Mapping[str, TrailerValue]) -> Fragmentation:
        width, activation, energy = (trailer.get(key) for key in ("Isolation Width", "Activation Type",
                                                                  "Collision Energy"))
        return cls(width if isinstance(width, float) and width > 0.0 else None,
                   activation if isinstance(activation, str) and activation else None,
                   energy if isinstance(energy, float) else None)


NO_FRAGMENTATION = Fragmentation(None, None, None)


@dataclass(frozen=True)
class ScanIndex:
    """The per-scan values of a run, one list entry per scan (index = scan number - 1)."""

    rt: list[float]
    ms_level: list[int]
    precursor_mz: list[float | None]
    precursor_charge: list[int | None]
    master_scan: list[int | None]
    injection_time: list[float]

    @classmethod
    def read(cls, reader: kestrune.RawFileReader) -> ScanIndex:
        summaries = reader.list_spectra()
        levels = _native.ms_levels(reader)  # ms_level_rule for every scan, without its trailer dicts
        ms2 = [level >= 2 for level in levels]
        return cls(
            rt=[s["rt"] for s in summaries],
            ms_level=levels,
            precursor_mz=[_positive_or_none(s["monomz"]) if p else None for s, p in zip(summaries, ms2)],
            precursor_charge=[_count_or_none(s["charge"]) if p else None for s, p in zip(summaries, ms2)],
            master_scan=[_count_or_none(s["master_scan"]) for s in summaries],
            injection_time=[s["injection_time"] for s in summaries],
        )

    def select(self, ms_level: int | None, rt_range: tuple[float, float] | None = None) -> list[int]:
        """Scan numbers of that MS level (any for None) within rt_range (inclusive).
        Without a range every scan counts, even one whose retention time is NaN; with
        one, a NaN time is outside it (it compares false with both ends). Every
        selection of the run passes here, so the MS level's argument rule is kept here."""
        ms_level = ms_level_argument(ms_level)
        levels = enumerate(self.ms_level, 1)
        chosen = [scan for scan, level in levels if ms_level is None or level == ms_level]
        if rt_range is None:
            return chosen
        low, high = rt_range
        return [scan for scan in chosen if low <= self.rt[scan - 1] <= high]


class ExportScans(NamedTuple):
    """The scans an export writes, and those it leaves out for want of a precursor m/z."""

    written: list[int]
    left_out: list[int]


SCAN_TABLE_COLUMNS = (
    "scan_number", "rt", "ms_level", "precursor_mz", "precursor_charge", "master_scan",
    "injection_time", "peak_count", "tic", "base_peak_mz", "base_peak_intensity",
)


class Run:
    """An open acquisition file: its scans as spectra, chromatograms and tables.

    Make one with `open_run`; close it (or use ``with``) when done. Scan numbers run
    from 1 to ``len(run)``; ``run[n]`` is scan n as a `Spectrum`; iterating a run
    yields every scan in order.

    Examples
    --------
    >>> with open_run("run_orbitrap.raw") as run:                # doctest: +SKIP
    ...     spectrum = run[2]
    ...     rt, tic = run.tic()
    ...     rt, (xic,) = run.xic([524.265], ppm=10.0)
    ...     peaks = run.peak_table(ms_level=2)
    """

    def __init__(self, path: str | os.PathLike[str], profile: str | None = None) -> None:
        self._path = os.fspath(path)
        self._chosen_profile = checked_profile(profile)
        self._reader: kestrune.RawFileReader | None = (
            kestrune.RawFileReader(self._path) if profile is None else _native.open_reader(self._path, profile))
        self._index: ScanIndex | None = None
        self._fragmentations: dict[int, Fragmentation] = {}
        if profile is None and self.profile == "generic":
            warnings.warn(generic_profile_message(self._path), GenericProfileWarning, stacklevel=3)

    # -- lifetime

    def close(self) -> None:
        self._reader = None
        self._index = None
        self._fragmentations = {}

    @property
    def closed(self) -> bool:
        return self._reader is None

    def __enter__(self) -> Run:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else f"{len(self)} scans"
        return f"<Run {self._path!r}, {state}, {self.profile} profile>"

    def _repr_html_(self) -> str:
        from kestrune_tools.notebook import run_html

        return run_html(self)

    # -- the reader and its file-wide values

    @property
    def reader(self) -> kestrune.RawFileReader:
        """The underlying reader; ValueError once the run is closed."""
        if self._reader is None:
            raise ValueError("I/O operation on a closed run")
        return self._reader

    @property
    def path(self) -> str:
        return self._path

    @property
    def profile(self) -> str:
        """The File profile the run is read with: "small", "orbitrap" or "generic"."""
        return self._chosen_profile or path_profile(self._path)

    @property
    def profile_reason(self) -> str:
        """Why the run has its profile: the substring of its path, or the choice."""
        return profile_reason(self._path, self._chosen_profile)

    @property
    def version(self) -> int:
        return self.reader.version

    @property
    def creation_date(self) -> str:
        return self.reader.creation_date

    @cached_property
    def narrow_mz(self) -> bool:
        """Whether the file holds its peaks' m/z as 32-bit floats (the reader widens
        them to 64 bits): values taken from m/z then have 32-bit precision."""
        return _native.narrow_mz(self.reader)

    def trailer(self, scan_number: int) -> dict[str, TrailerValue]:
        """The scan's trailer extra fields, as the reader answers them."""
        return self.reader.get_trailer_extra(self._scan_number(scan_number))

    def instrument_method(self) -> str:
        """The instrument method report (XML text), empty where the file holds none."""
        return self.reader.get_instrument_method(0)

    def status_log_labels(self) -> list[str]:
        return self.reader.get_status_log_labels()

    def error_logs(self) -> list[str]:
        return self.reader.get_error_logs()

    def summary(self) -> dict[str, Any]:
        """Cheap file-wide values: path, File profile, version, creation date, scan counts
        by MS level."""
        levels = self._scans().ms_level
        return {
            "path": self._path,
            "profile": self.profile,
            "version": self.version,
            "creation_date": self.creation_date,
            "num_scans": len(levels),
            "scans_by_ms_level": {level: levels.count(level) for level in sorted(set(levels))},
        }

    # -- scans

    def __len__(self) -> int:
        return self.reader.num_scans

    @property
    def scan_numbers(self) -> range:
        return range(1, len(self) + 1)

    def __contains__(self, scan_number: object) -> bool:
        try:
            scan = scan_number_argument(scan_number)
        except TypeError:
            return False
        return 1 <= scan <= len(self)

    def __getitem__(self, scan_number: SupportsIndex) -> Spectrum:
        scan = self._scan_number(scan_number)
        if not 1 <= scan <= len(self):
            raise KeyError(scan_number)
        return self._spectrum(scan)

    def __iter__(self) -> Iterator[Spectrum]:
        return self.spectra()

    def spectra(self, ms_level: int | None = None,
                rt_range: tuple[float, float] | None = None) -> Iterator[Spectrum]:
        """The scans in scan order, as spectra read one at a time.

        Parameters
        ----------
        ms_level : int, optional
            Only scans of this MS level (every level for None).
        rt_range : (float, float), optional
            Only scans within this retention-time range, minutes, both ends inclusive.

        Returns
        -------
        iterator of Spectrum

        Examples
        --------
        >>> for spectrum in run.spectra(ms_level=2, rt_range=(7.0, 7.5)):   # doctest: +SKIP
        ...     print(spectrum.precursor_mz, spectrum.precursor_charge)
        """
        scans = self._scans().select(ms_level, rt_range)
        return (self._spectrum(scan) for scan in scans)

    def export_scans(self, ms_level: int | None = None, rt_range: tuple[float, float] | None = None, *,
                     require_precursor: bool = False) -> ExportScans:
        """The scans every export writes: those `spectra` selects (of `ms_level`, within
        `rt_range`), in scan order, less, with `require_precursor`, the MSn scans whose
        precursor m/z the file does not hold (an entry without one is no searchable
        spectrum): those are answered apart, as left out. Reads no peaks, and for every
        scan not even the scans' values."""
        if ms_level is None and rt_range is None and not require_precursor:
            return ExportScans(list(self.scan_numbers), [])
        index = self._scans()
        written: list[int] = []
        left_out: list[int] = []
        for scan in index.select(ms_level, rt_range):
            unsearchable = index.ms_level[scan - 1] >= 2 and index.precursor_mz[scan - 1] is None
            (left_out if require_precursor and unsearchable else written).append(scan)
        return ExportScans(written, left_out)

    def ms_levels(self) -> NDArray[np.int8]:
        """The MS level of every scan, index = scan number - 1."""
        return np.array(self._scans().ms_level, dtype=np.int8)

    def retention_times(self) -> FloatArray:
        """The retention time (minutes) of every scan, index = scan number - 1."""
        return np.array(self._scans().rt, dtype=np.float64)

    def peaks(self, scan_number: int) -> tuple[FloatArray, IntensityArray]:
        """One scan's peaks.

        Parameters
        ----------
        scan_number : int

        Returns
        -------
        mz, intensity : numpy.ndarray
            float64 m/z and float32 intensity, in the file's order; both empty where
            the scan holds no peak data.
        """
        return scan_peaks(self.reader, self._scan_number(scan_number))

    # -- tables and chromatograms

    def scan_table(self) -> pyarrow.Table:
        """One row per scan, as a pyarrow Table.

        Returns
        -------
        pyarrow.Table
            The columns of `SCAN_TABLE_COLUMNS` (scan number, rt, MS level, precursor,
            injection time, peak count, TIC, base peak); units in each field's metadata
            (`UNITS`).

        Examples
        --------
        >>> run.scan_table().to_pandas().head()                     # doctest: +SKIP
        """
        scans = self.scan_numbers
        return self.scan_table_of(scans, self.scan_pass(scans).stats)

    def scan_table_of(self, scans: Sequence[int], stats: PeakStats) -> pyarrow.Table:
        """The scan table's rows of `scans` (in that order), with their peak statistics
        from a pass already made (`scan_pass(scans).stats`)."""
        import pyarrow as pa

        index = self._scans()
        rows = [scan - 1 for scan in scans]
        columns = {
            "scan_number": arrow.numeric(scans, pa.int32()),
            "rt": arrow.numeric([index.rt[k] for k in rows], pa.float64()),
            "ms_level": arrow.numeric([index.ms_level[k] for k in rows], pa.int8()),
            "precursor_mz": arrow.optional([index.precursor_mz[k] for k in rows], pa.float64()),
            "precursor_charge": arrow.optional([index.precursor_charge[k] for k in rows], pa.int16()),
            "master_scan": arrow.optional([index.master_scan[k] for k in rows], pa.int32()),
            "injection_time": arrow.numeric([index.injection_time[k] for k in rows], pa.float64()),
            "peak_count": arrow.numeric(stats.peak_count, pa.int32()),
            "tic": arrow.numeric(stats.tic, pa.float64()),
            "base_peak_mz": arrow.numeric(stats.base_peak_mz, pa.float64(), nulls=stats.peak_count == 0),
            "base_peak_intensity": arrow.numeric(stats.base_peak_intensity, pa.float64()),
        }
        fields = [pa.field(name, columns[name].type,
                           metadata={"unit": UNITS[name]} if name in UNITS else None)
                  for name in SCAN_TABLE_COLUMNS]
        return pa.Table.from_arrays([columns[name] for name in SCAN_TABLE_COLUMNS],
                                    schema=pa.schema(fields))

    def peak_table(self, ms_level: int | None = None, rt_range: tuple[float, float] | None = None,
                   scans: Sequence[int] | None = None) -> pyarrow.Table:
        """Every peak of the chosen scans as one long table.

        Parameters
        ----------
        ms_level : int, optional
            Only scans of this MS level (every level for None).
        rt_range : (float, float), optional
            Only scans within this retention-time range (minutes, both ends inclusive).
        scans : sequence of int, optional
            Only these scan numbers, in the order given (every scan for None).

        Returns
        -------
        pyarrow.Table
            One row per peak: ``scan_number`` (int32), ``mz`` (float64), ``intensity``
            (float32), in the scans' order and within a scan in the file's order; the
            columns of the Parquet export's peak file.

        Examples
        --------
        >>> peaks = run.peak_table(ms_level=2, rt_range=(7.0, 7.5))   # doctest: +SKIP
        >>> peaks.column_names                                      # doctest: +SKIP
        ['scan_number', 'mz', 'intensity']
        """
        from kestrune_tools.parquet import PEAK_SCHEMA

        chosen = self._chosen(ms_level, rt_range, scans)
        peaks = self.scan_pass(chosen, with_peaks=True).peaks
        assert peaks is not None  # asked for
        import pyarrow as pa

        # The pass's arrays are wrapped, not copied.
        columns = [pa.array(peaks.scan_number), pa.array(peaks.mz), pa.array(peaks.intensity)]
        return pa.Table.from_arrays(columns, schema=PEAK_SCHEMA)

    def peak_frame(self, ms_level: int | None = None, rt_range: tuple[float, float] | None = None,
                   scans: Sequence[int] | None = None) -> pandas.DataFrame:
        """`peak_table` as a pandas DataFrame (the same arguments and columns).

        Examples
        --------
        >>> frame = run.peak_frame(scans=[1, 5])                    # doctest: +SKIP
        >>> frame.groupby("scan_number").intensity.max()            # doctest: +SKIP
        """
        _needs("pandas", "Run.peak_frame", "pip install pandas")
        return self.peak_table(ms_level, rt_range, scans).to_pandas()

    def tic(self, ms_level: int | None = 1) -> tuple[FloatArray, FloatArray]:
        """Total-ion chromatogram.

        Parameters
        ----------
        ms_level : int or None, default 1
            The scans summed (every scan for None).

        Returns
        -------
        rt, intensity : numpy.ndarray
            Retention times (minutes) and each scan's summed intensity (float64).

        Examples
        --------
        >>> rt, tic = run.tic()                                     # doctest: +SKIP
        >>> rt[tic.argmax()]                                        # doctest: +SKIP
        """
        scans = self._scans().select(ms_level)
        return self._rts(scans), self.scan_pass(scans).stats.tic

    def bpc(self, ms_level: int | None = 1) -> tuple[FloatArray, FloatArray]:
        """Base-peak chromatogram.

        Parameters
        ----------
        ms_level : int or None, default 1
            The scans read (every scan for None).

        Returns
        -------
        rt, intensity : numpy.ndarray
            Retention times (minutes) and each scan's largest intensity (0.0 for a scan
            without peaks).
        """
        scans = self._scans().select(ms_level)
        return self._rts(scans), self.scan_pass(scans).stats.base_peak_intensity

    def xic(self, targets: ArrayLike, *, ppm: float | None = None, da: float | None = None,
            ms_level: int | None = 1) -> tuple[FloatArray, FloatArray]:
        """Extracted-ion chromatograms of one or more target m/z values.

        Every scan's peaks are read once for all targets.

        Parameters
        ----------
        targets : array_like of float
            The target m/z values.
        ppm, da : float
            The half-width of each window, in parts per million of its target or in
            daltons; give exactly one. Both ends of a window are inclusive.
        ms_level : int or None, default 1
            The scans read (every scan for None).

        Returns
        -------
        rt : numpy.ndarray
            Retention times, minutes, one per scan.
        intensity : numpy.ndarray
            Shape (targets, scans): the summed intensity within each target's window.

        Examples
        --------
        >>> rt, (xic,) = run.xic([524.265], ppm=10.0)              # doctest: +SKIP
        >>> float(rt[xic.argmax()])                                 # doctest: +SKIP
        7.3
        """
        centres = np.asarray(targets, dtype=np.float64).reshape(-1)
        bounds = _windows(centres, ppm, da)
        scans = self._scans().select(ms_level)
        return self._rts(scans), self.scan_pass(scans, bounds=bounds).window_sums

    def scan_pass(self, scans: Sequence[int], *, bounds: FloatArray | None = None,
                  with_peaks: bool = False, peak_budget: int = 0) -> ScanPass:
        """One pass over the peaks of `scans` (each read once, in the order given): their
        statistics, the summed intensity within each window of `bounds` (as `_windows`
        makes them), and with `with_peaks` every peak of those scans. With peaks and a
        `peak_budget` above 0, the pass ends before the scan whose peaks would take it
        past that many: it answers the first scans asked for, at least one (as many
        rows as its statistics have)."""
        numbers = _scan_numbers(scans)
        budget = operator.index(peak_budget)
        if budget < 0:
            raise ValueError(f"peak_budget must be at least 0, not {budget}")
        answer = _native.scan_pass(self.reader, numbers, bounds, with_peaks, budget)
        peaks = (RunPeaks(answer["peak_offsets"], answer["peak_scan"], answer["peak_mz"],
                          answer["peak_intensity"]) if with_peaks else None)
        return ScanPass(PeakStats.of_pass(answer), answer["window_sums"], peaks)

    def to_pyopenms(self, ms_level: int | None = None) -> pyopenms.MSExperiment:
        """The run's scans (of one MS level, or all) as a `pyopenms.MSExperiment` in
        memory (see `kestrune_tools.adapters.to_pyopenms`)."""
        from kestrune_tools.adapters import to_pyopenms

        return to_pyopenms(self.spectra(ms_level))

    # -- helpers

    def _scans(self) -> ScanIndex:
        reader = self.reader
        if self._index is None:
            self._index = ScanIndex.read(reader)
        return self._index

    def _scan_number(self, scan_number: SupportsIndex) -> int:
        return scan_number_argument(scan_number)

    def fragmentation(self, scan_number: int) -> Fragmentation:
        """What the scan's trailer says of its precursor's isolation width, activation
        and collision energy (all None for an MS1 scan): the one reading of those
        fields, for the spectra and the exports alike."""
        scan = self._scan_number(scan_number)
        return self._fragmentation(scan, self._scans().ms_level[scan - 1])

    def _fragmentation(self, scan: int, ms_level: int) -> Fragmentation:
        """A fragment scan's isolation and activation, from its trailer, read at its
        first use and kept: the MS levels need no trailer dictionaries, and a batch
        that makes no spectra reads none."""
        if ms_level < 2:
            return NO_FRAGMENTATION
        known = self._fragmentations.get(scan)
        if known is None:
            known = self._fragmentations[scan] = Fragmentation.of(self.reader.get_trailer_extra(scan))
        return known

    def _spectrum(self, scan: int) -> Spectrum:
        index, k = self._scans(), scan - 1
        mz, intensity = scan_peaks(self.reader, scan)
        fragmentation = self._fragmentation(scan, index.ms_level[k])
        return Spectrum(scan, index.ms_level[k], index.rt[k], mz, intensity, index.precursor_mz[k],
                        index.precursor_charge[k], index.master_scan[k], index.injection_time[k],
                        native_id(scan), fragmentation.isolation_width, fragmentation.activation,
                        fragmentation.collision_energy)

    def _chosen(self, ms_level: int | None, rt_range: tuple[float, float] | None,
                scans: Sequence[int] | None) -> list[int]:
        """The scans of `scans` (every scan for None), in their order, that are of
        `ms_level` and within `rt_range`."""
        selected = self._scans().select(ms_level, rt_range)
        if scans is None:
            return selected
        wanted = [self._scan_number(scan) for scan in scans]
        for scan in wanted:
            if scan not in self:
                raise ValueError(f"scan {scan} is not in the run (scans 1 to {len(self)})")
        kept = set(selected)
        return [scan for scan in wanted if scan in kept]

    def _rts(self, scans: Sequence[int]) -> FloatArray:
        rt = self._scans().rt
        return np.array([rt[scan - 1] for scan in scans], dtype=np.float64)


    # -- the scan table for pandas

    def scan_frame(self) -> pandas.DataFrame:
        """`scan_table()` as a pandas DataFrame whose integer columns keep their missing
        values: pandas' nullable Int8/Int16/Int32 dtypes (`precursor_charge` and
        `master_scan` hold <NA> where the file holds none), where a plain `to_pandas()`
        turns such a column into float64. Float columns hold NaN where missing."""
        _needs("pandas", "Run.scan_frame", "pip install pandas")
        import pandas as pd
        import pyarrow as pa

        nullable = {pa.int8(): pd.Int8Dtype(), pa.int16(): pd.Int16Dtype(), pa.int32(): pd.Int32Dtype(),
                    pa.int64(): pd.Int64Dtype()}
        return self.scan_table().to_pandas(types_mapper=nullable.get)


class PeakStats:
    """Per-scan peak count, summed intensity, base peak and m/z range of a list of
    scans: the values of the scan table and the TIC and BPC. A pass fills them all at
    once (`of_pass`); an export that reads every scan's peaks anyway adds them row by
    row from the peaks it has read (`add`), with the same arithmetic."""

    # The statistics, in the pass's order (STATS): the count, then the float64 values.
    peak_count: NDArray[np.int32]
    tic: FloatArray
    base_peak_mz: FloatArray
    base_peak_intensity: FloatArray
    lowest_mz: FloatArray
    highest_mz: FloatArray

    def __init__(self, rows: int) -> None:
        for k, name in enumerate(STATS):
            setattr(self, name, np.zeros(rows, dtype=np.int32 if k == 0 else np.float64))

    @classmethod
    def of_pass(cls, answer: Mapping[str, NDArray[Any]]) -> PeakStats:
        stats = cls(0)
        for name in STATS:
            setattr(stats, name, answer[name])
        return stats

    @classmethod
    def joined(cls, parts: Sequence[PeakStats]) -> PeakStats:
        """The rows of `parts`, one part after the other."""
        stats = cls(0)
        for name in STATS:
            setattr(stats, name, np.concatenate([getattr(stats, name)] + [getattr(part, name) for part in parts]))
        return stats

    def add(self, row: int, mz: FloatArray, intensity: IntensityArray) -> None:
        if not len(mz):
            return
        values = _native.peak_stats(np.ascontiguousarray(mz, np.float64), np.ascontiguousarray(intensity, np.float32))
        for name, value in zip(STATS, values):
            getattr(self, name)[row] = value


# The names of the per-scan statistics, as the pass answers them and in its order.
STATS = tuple(inspect.get_annotations(PeakStats))


@dataclass(frozen=True, eq=False)
class RunPeaks:
    """Every peak of a pass's scans in three contiguous arrays, in scan order and within
    a scan in the file's order; scan k's peaks are [offsets[k], offsets[k + 1])."""

    offsets: NDArray[np.int64]
    scan_number: NDArray[np.int32]
    mz: FloatArray
    intensity: IntensityArray

    def of_row(self, row: int) -> tuple[FloatArray, IntensityArray]:
        start, stop = int(self.offsets[row]), int(self.offsets[row + 1])
        return self.mz[start:stop], self.intensity[start:stop]


@dataclass(frozen=True, eq=False)
class ScanPass:
    """What one pass over a list of scans answers (row k is the k-th scan asked for)."""

    stats: PeakStats
    window_sums: FloatArray  # (windows, scans)
    peaks: RunPeaks | None


def _needs(module: str, what: str, install: str) -> None:
    """ImportError naming what to install where an optional library is missing."""
    import importlib.util

    if importlib.util.find_spec(module) is None:
        raise ImportError(f"{what} needs {module}: {install}")


def _windows(centres: FloatArray, ppm: float | None, da: float | None) -> FloatArray:
    """The inclusive m/z window around each target, as the bounds to search for: the
    window's low end, then the next float above its high end, for each target in turn."""
    if not len(centres):
        raise ValueError("xic needs at least one target m/z")
    if not np.isfinite(centres).all():
        raise ValueError("xic targets must be finite m/z values")
    if (ppm is None) == (da is None):
        raise ValueError("give exactly one tolerance: ppm= or da=")
    tolerance = float(ppm if ppm is not None else da)  # type: ignore[arg-type]
    if not tolerance >= 0.0 or math.isinf(tolerance):
        raise ValueError(f"the tolerance must be a finite number of at least 0, not {tolerance}")
    # abs(): a window of negative width would make the peak gathering fail.
    # A window past the largest float reaches infinity, which the search takes as it is.
    with np.errstate(over="ignore"):
        half_width = np.abs(centres) * tolerance * 1e-6 if ppm is not None else np.full_like(centres, tolerance)
        bounds = np.empty(2 * len(centres), dtype=np.float64)
        bounds[0::2] = centres - half_width
        bounds[1::2] = np.nextafter(centres + half_width, np.inf)
    return bounds


def open_run(path: str | os.PathLike[str], profile: str | None = None) -> Run:
    """Open an acquisition file as a run.

    Parameters
    ----------
    path : str or os.PathLike
        The ``.raw`` file. Unless `profile` is given, the whole path chooses the File
        profile: "small.RAW" in it the small profile, else "orbitrap" the orbitrap
        profile, else the generic profile (warned about with `GenericProfileWarning`).
    profile : {"small", "orbitrap", "generic"}, optional
        Read the file as a path of this profile is read, whatever its name.

    Returns
    -------
    Run
        The open run; close it, or use it in a ``with`` block.

    Raises
    ------
    OSError
        The reader's OSError family, where the file cannot be opened or read.
    ValueError
        For an unknown profile name.

    Examples
    --------
    >>> import kestrune_tools as kt
    >>> with kt.open_run("run_orbitrap.raw") as run:            # doctest: +SKIP
    ...     print(len(run), run.profile)
    145 orbitrap
    >>> run = kt.open_run("sample01.raw", profile="orbitrap")   # doctest: +SKIP
    """
    return Run(path, profile)
