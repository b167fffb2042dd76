"""mzPeak export of a run: one uncompressed ZIP archive of Parquet files.

    with open_run(path) as run:
        write_mzpeak(run, "run.mzpeak")

The archive holds, in this order:

- `mzpeak_index.json`: its members, each with its entity type and data kind, and the
  run's file-level metadata (the same documents as the metadata members' key-value
  metadata);
- `spectra_data.parquet`: one row per peak under the group `point`: `spectrum_index`
  (uint64), `mz` (float64) and `intensity` (float32), the reader's own values, by
  spectrum and within a spectrum by ascending m/z (a scan whose peaks the file holds
  in another order is sorted, stably); its key-value metadata holds the array index;
- `spectra_metadata.parquet`: packed parallel tables, one row per spectrum in the
  `spectrum` and `scan` groups, and the precursors and selected ions packed at the top
  of the `precursor` and `selected_ion` groups (null below);
- `chromatograms_metadata.parquet` and `chromatograms_data.parquet`: the total-ion
  (index 0, id `TIC`) and base-peak (index 1, `BPC`) chromatograms of the MS1 scans
  written (of the scans written where `ms_level` selects MSn scans), time in minutes.

Columns named after a vocabulary term carry its unit in their name where it has one:
times in minutes (`UO:0000031`), injection times in milliseconds, m/z in `MS:1000040`,
intensities in detector counts. Each spectrum's summary values are those of the scan
table (`Run.scan_table()`): number of data points, total ion current and base peak
intensity are 0 for a scan without peaks, its base peak m/z and lowest and highest
observed m/z null. Retention times are the reader's, NaN included.

Every key-value metadata value is JSON text; pyarrow's own schema copy is left out.
Floats are byte-stream-split, the spectrum index delta-encoded, pages compressed with
zstd, and every Parquet member has its page index. The same run and options give the
same bytes.

The peaks come from one pass over the run in bounded groups of scans, as the Parquet
export reads them (`kestrune_tools.parquet.pass_in_groups`), each group's arrays handed
to pyarrow as they are.
"""

from __future__ import annotations

import contextlib
import functools
import json
import os
import zipfile
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path
from types import TracebackType
from typing import IO, TYPE_CHECKING, Any, Literal

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

from kestrune_tools.psi import (
    ACQUISITION_FILE_FORMAT,
    BPC_CHROMATOGRAM,
    CUSTOM_SOFTWARE,
    DETECTOR_COUNTS,
    DISSOCIATION_METHOD,
    DISSOCIATION_METHODS,
    ELECTRONVOLT,
    INSTRUMENT_MODEL,
    MILLISECOND,
    MS1_SPECTRUM,
    MSN_SPECTRUM,
    MZ,
    PROCESSING_ID,
    SCAN_NUMBER_NATIVE_ID,
    SOFTWARE_ID,
    SOURCE_FILE_ID,
    TIC_CHROMATOGRAM,
    kestrune_version,
    psi_ms_vocabulary,
    run_start_time,
)
from kestrune_tools.outputs import NothingToWrite, atomic_destinations
from kestrune_tools.parquet import pass_in_groups

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from kestrune_tools.runs import PeakStats, Run, RunPeaks

__all__ = ["write_mzpeak", "MEMBERS", "INDEX_NAME", "member_options", "point_batch"]

INDEX_NAME = "mzpeak_index.json"
SPECTRA_DATA = "spectra_data.parquet"
SPECTRA_METADATA = "spectra_metadata.parquet"
CHROMATOGRAMS_METADATA = "chromatograms_metadata.parquet"
CHROMATOGRAMS_DATA = "chromatograms_data.parquet"
# Each member: its entity type and data kind.
MEMBERS = {
    SPECTRA_DATA: ("spectrum", "data arrays"),
    SPECTRA_METADATA: ("spectrum", "metadata"),
    CHROMATOGRAMS_METADATA: ("chromatogram", "metadata"),
    CHROMATOGRAMS_DATA: ("chromatogram", "data arrays"),
}
# A fixed time for every member, so that the same run gives the same bytes.
MEMBER_TIME = (1980, 1, 1, 0, 0, 0)
ZSTD_LEVEL = 1

# Vocabulary terms by accession (those the mzML export writes too come from there).
MINUTE = "UO:0000031"
FLOAT64 = "MS:1000523"
FLOAT32 = "MS:1000521"
MZ_ARRAY = "MS:1000514"
INTENSITY_ARRAY = "MS:1000515"
TIME_ARRAY = "MS:1000595"
CENTROID = "MS:1000127"
PROFILE = "MS:1000128"
FORMAT_CONVERSION = "MS:1000530"
POLARITIES = {None: None, "positive": 1, "negative": -1}
REPRESENTATIONS = {"centroid": CENTROID, "profile": PROFILE}

INSTRUMENT_ID = 0  # an integer here, where mzML has a text id
TIC_ID, BPC_ID = "TIC", "BPC"


# -- column names, after the vocabulary's terms


def term_column(accession: str, name: str, unit: str | None = None) -> str:
    """`MS_1000504_base_peak_mz_unit_MS_1000040` from the term, its name and unit."""
    cleaned = "".join(c if c.isalnum() or c in "_-" else "_" for c in name.replace("m/z", "mz"))
    base = f"{accession.replace(':', '_')}_{cleaned}"
    return base if unit is None else f"{base}_unit_{unit.replace(':', '_')}"


MS_LEVEL = term_column("MS:1000511", "ms level")
POLARITY = term_column("MS:1000465", "scan polarity")
REPRESENTATION = term_column("MS:1000525", "spectrum representation")
SPECTRUM_TYPE = term_column("MS:1000559", "spectrum type")
DATA_POINTS = term_column("MS:1003060", "number of data points")
TOTAL_ION_CURRENT = term_column("MS:1000285", "total ion current", DETECTOR_COUNTS)
BASE_PEAK_MZ = term_column("MS:1000504", "base peak m/z", MZ)
BASE_PEAK_INTENSITY = term_column("MS:1000505", "base peak intensity", DETECTOR_COUNTS)
LOWEST_MZ = term_column("MS:1000528", "lowest observed m/z", MZ)
HIGHEST_MZ = term_column("MS:1000527", "highest observed m/z", MZ)
SCAN_START_TIME = term_column("MS:1000016", "scan start time", MINUTE)
INJECTION_TIME = term_column("MS:1000927", "ion injection time", MILLISECOND)
TARGET_MZ = term_column("MS:1000827", "isolation window target m/z", MZ)
LOWER_OFFSET = term_column("MS:1000828", "isolation window lower offset", MZ)
UPPER_OFFSET = term_column("MS:1000829", "isolation window upper offset", MZ)
COLLISION_ENERGY = term_column("MS:1000045", "collision energy", ELECTRONVOLT)
SELECTED_ION_MZ = term_column("MS:1000744", "selected ion m/z", MZ)
CHARGE_STATE = term_column("MS:1000041", "charge state")
CHROMATOGRAM_TYPE = term_column("MS:1000626", "chromatogram type")

# -- Parquet types

PARAM_VALUE = pa.struct([("integer", pa.int64()), ("float", pa.float64()), ("string", pa.large_string()),
                         ("boolean", pa.bool_())])
PARAM = pa.struct([("value", PARAM_VALUE), ("accession", pa.large_string()), ("name", pa.large_string()),
                   ("unit", pa.large_string())])
PARAMETERS = pa.large_list(PARAM)
POINT = pa.struct([pa.field("spectrum_index", pa.uint64(), nullable=False),
                   pa.field("mz", pa.float64(), nullable=False),
                   pa.field("intensity", pa.float32(), nullable=False)])
SPECTRA_DATA_SCHEMA = pa.schema([pa.field("point", POINT, nullable=False)])
CHROMATOGRAM_POINT = pa.struct([pa.field("chromatogram_index", pa.uint64(), nullable=False),
                                pa.field("time", pa.float64(), nullable=False),
                                pa.field("intensity", pa.float64(), nullable=False)])


def member_options(index: str | None = None, floats: Sequence[str] = ()) -> dict[str, Any]:
    """How each Parquet member is written: zstd pages, a page index, and for a data
    member (`index`, the name of its entity index column under `point`) the index
    delta-encoded and the `floats` columns byte-stream-split. No copy of pyarrow's
    schema (`ARROW:schema`, no JSON): the key-value metadata holds JSON values only,
    added with `add_key_value_metadata`."""
    encodings = {} if index is None else {f"point.{index}": "DELTA_BINARY_PACKED",
                                          **{f"point.{name}": "BYTE_STREAM_SPLIT" for name in floats}}
    return {"compression": "zstd", "compression_level": ZSTD_LEVEL, "write_page_index": True,
            "store_schema": False, "use_dictionary": False, "column_encoding": encodings}


# -- the export


@dataclass(frozen=True)
class _Settings:
    ms_level: int | None
    polarity: int | None
    representation: str


def _settings(ms_level: int | None, polarity: str | None, spectrum_type: str) -> _Settings:
    """The options, refused before any file is made where they mean nothing."""
    if ms_level is not None and (isinstance(ms_level, bool) or not isinstance(ms_level, int) or ms_level < 1):
        raise ValueError(f"ms_level must be an MS level of at least 1 or None, not {ms_level!r}")
    if polarity not in POLARITIES:
        raise ValueError(f"polarity must be 'positive', 'negative' or None, not {polarity!r}")
    if spectrum_type not in REPRESENTATIONS:
        raise ValueError(f"spectrum_type must be 'centroid' or 'profile', not {spectrum_type!r}")
    return _Settings(ms_level, POLARITIES[polarity], REPRESENTATIONS[spectrum_type])


def write_mzpeak(run: Run, destination: str | os.PathLike[str], *, ms_level: int | None = None,
                 require_precursor: bool = False, polarity: Literal["positive", "negative"] | None = None,
                 spectrum_type: Literal["centroid", "profile"] = "centroid") -> int:
    """Writes the run (or its scans of `ms_level`; with `require_precursor`, without the
    MSn scans that hold no precursor m/z) as an mzPeak archive at `destination`, which
    appears complete or not at all; answers the number of scans left out for want of a
    precursor m/z. The file records neither polarity nor spectrum representation:
    `polarity` (none unless given) and `spectrum_type` say what to write. Raises
    NothingToWrite, before making any file, where no scan is left to write."""
    settings = _settings(ms_level, polarity, spectrum_type)
    scans, left_out = run.export_scans(ms_level, require_precursor=require_precursor)
    if not scans:
        level = "" if ms_level is None else f"MS{ms_level} "
        without = f" ({len(left_out)} without a precursor m/z left out)" if left_out else ""
        raise NothingToWrite(f"no {level}scans to write{without}: no mzPeak archive written")
    file_metadata = _file_metadata(run, scans, settings)
    with atomic_destinations([destination]) as (temporary,), _archive(temporary) as archive:
        _write_json(archive, INDEX_NAME, {"files": [{"name": name, "entity_type": kind, "data_kind": data}
                                                     for name, (kind, data) in MEMBERS.items()],
                                           "metadata": file_metadata})
        with _member(archive, SPECTRA_DATA, large=True) as stream:
            stats = _write_spectrum_points(run, scans, stream)
        with _member(archive, SPECTRA_METADATA, large=True) as stream:
            _write_table(stream, _spectra_metadata(run, scans, stats, settings),
                         {**file_metadata, "spectrum_count": len(scans),
                          "spectrum_data_point_count": int(stats.peak_count.sum(dtype=np.int64))})
        times, tic, bpc = _chromatograms(run, scans, stats, settings.ms_level)
        with _member(archive, CHROMATOGRAMS_METADATA) as stream:
            _write_table(stream, _chromatograms_metadata(settings.polarity),
                         {**file_metadata, "chromatogram_count": 2, "chromatogram_data_point_count": 2 * len(times)})
        with _member(archive, CHROMATOGRAMS_DATA) as stream:
            table, index = _chromatograms_data(times, tic, bpc)
            _write_table(stream, table, {"chromatogram_array_index": index},
                         member_options("chromatogram_index", ("time", "intensity")))
    return len(left_out)


@contextlib.contextmanager
def _archive(path: Path) -> Iterator[zipfile.ZipFile]:
    with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED, allowZip64=True) as archive:
        yield archive


@contextlib.contextmanager
def _member(archive: zipfile.ZipFile, name: str, large: bool = False) -> Iterator[IO[bytes]]:
    """A member written straight into the archive, stored (mzPeak members are never
    compressed), with the same time and permissions every time. A `large` one may
    pass 2 GiB: its local header has Zip64 sizes from the start, since its size is
    only known once it is written (a member that is not would fail, not be cut)."""
    info = zipfile.ZipInfo(name, MEMBER_TIME)
    info.compress_type = zipfile.ZIP_STORED
    info.external_attr = 0o644 << 16
    info.create_system = 3
    with archive.open(info, "w", force_zip64=large) as stream:
        yield stream


def _write_json(archive: zipfile.ZipFile, name: str, document: object) -> None:
    with _member(archive, name) as stream:
        stream.write(json.dumps(document, indent=2).encode("utf-8"))


def _json_metadata(values: dict[str, object]) -> dict[str, str]:
    return {key: json.dumps(value) for key, value in values.items()}


def _write_table(stream: IO[bytes], table: pa.Table, metadata: dict[str, object],
                 options: dict[str, Any] | None = None) -> None:
    with pq.ParquetWriter(stream, table.schema, **(options or member_options())) as writer:
        writer.write_table(table)
        writer.add_key_value_metadata(_json_metadata(metadata))


# -- spectra_data.parquet


def _array_entry(context: str, path: str, data_type: str, array_type: str, name: str, unit: str,
                 sorting_rank: int | None) -> dict[str, object]:
    return {"context": context, "path": path, "data_type": data_type, "array_type": array_type,
            "array_name": name, "unit": unit, "buffer_format": "point", "transform": None,
            "data_processing_id": None, "buffer_priority": "primary", "sorting_rank": sorting_rank}


SPECTRUM_ARRAY_INDEX = {"prefix": "point", "entries": [
    _array_entry("spectrum", "point.mz", FLOAT64, MZ_ARRAY, "m/z array", MZ, 0),
    _array_entry("spectrum", "point.intensity", FLOAT32, INTENSITY_ARRAY, "intensity array", DETECTOR_COUNTS, None),
]}


def _write_spectrum_points(run: Run, scans: list[int], stream: IO[bytes]) -> PeakStats:
    """Writes every peak of `scans`, a row group for each group of scans the pass reads;
    answers the scans' statistics. A group is encoded and compressed in a second thread
    while the pass reads the next one (both without the interpreter lock): two groups'
    peaks at most are held at once, as in the Parquet export."""
    options = member_options("spectrum_index", ("mz", "intensity"))
    with pq.ParquetWriter(stream, SPECTRA_DATA_SCHEMA, **options) as writer, _OneBehind() as behind:
        writer.add_key_value_metadata(_json_metadata({"spectrum_array_index": SPECTRUM_ARRAY_INDEX}))
        first = 0

        def write_group(peaks: RunPeaks) -> None:
            nonlocal first
            if len(peaks.mz):  # a group of scans without peaks makes no empty row group
                behind.run(_write_points, writer, peaks, first)
            first += len(peaks.offsets) - 1

        made = pass_in_groups(run, scans, write_group)
    return made.stats


def _write_points(writer: pq.ParquetWriter, peaks: RunPeaks, first: int) -> None:
    writer.write_batch(point_batch(peaks, first), row_group_size=len(peaks.mz))


class _OneBehind:
    """Runs each call in a worker thread once the call before it has ended; its errors
    are raised by the next call, or when the block ends."""

    def __init__(self) -> None:
        self.pool = ThreadPoolExecutor(max_workers=1, thread_name_prefix="kestrune-mzpeak")
        self.pending: Future[Any] | None = None

    def __enter__(self) -> _OneBehind:
        return self

    def run(self, call: Callable[..., Any], *arguments: Any, **keywords: Any) -> None:
        self._wait()
        self.pending = self.pool.submit(call, *arguments, **keywords)

    def _wait(self) -> None:
        pending, self.pending = self.pending, None
        if pending is not None:
            pending.result()

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        try:
            if kind is None:
                self._wait()
        finally:
            self.pool.shutdown(wait=True)


def point_batch(peaks: RunPeaks, first: int) -> pa.RecordBatch:
    """A group's peaks as rows of the point layout, its first scan being spectrum
    `first`: the pass's arrays themselves, wrapped without a copy, where they are in
    m/z order."""
    index = np.repeat(np.arange(first, first + len(peaks.offsets) - 1, dtype=np.uint64), np.diff(peaks.offsets))
    mz, intensity = _in_mz_order(index, peaks.mz, peaks.intensity)
    point = pa.StructArray.from_arrays([pa.array(index), pa.array(mz), pa.array(intensity)], fields=list(POINT))
    return pa.record_batch([point], schema=SPECTRA_DATA_SCHEMA)


def _in_mz_order(index: NDArray[np.uint64], mz: NDArray[np.float64],
                 intensity: NDArray[np.float32]) -> tuple[NDArray[np.float64], NDArray[np.float32]]:
    """The peaks by ascending m/z within each spectrum: the arrays themselves where they
    are (every file written by an instrument), else a sorted copy (NaN last, ties in the
    file's order)."""
    out_of_order = ~(mz[1:] >= mz[:-1]) & (index[1:] == index[:-1])
    if not out_of_order.any():
        return mz, intensity
    order = np.lexsort((mz, index))
    return mz[order], intensity[order]


# -- spectra_metadata.parquet


def _params(*accessions: str) -> list[dict[str, object]]:
    return [_param(accession) for accession in accessions]


def _param(accession: str, value: object = None, unit: str | None = None) -> dict[str, object]:
    return {"name": _term_name(accession), "accession": accession, "value": value, "unit": unit}


def _parquet_param(accession: str) -> dict[str, object]:
    """A parameter of a `parameters` column: a term without a value."""
    return {"value": None, "accession": accession, "name": _term_name(accession), "unit": None}


@functools.cache
def _term_name(accession: str) -> str:
    """The term's name in the PSI-MS vocabulary bundled with psims (the mzML export's)."""
    return str(psi_ms_vocabulary()[accession].name)


def _group(columns: dict[str, pa.Array], rows: int, total: int) -> pa.StructArray:
    """A packed table's group: its `rows` records at the top, null rows below to `total`."""
    padded = [pa.concat_arrays([array, pa.nulls(total - rows, array.type)]) for array in columns.values()]
    mask = pa.array(np.arange(total) >= rows)
    return pa.StructArray.from_arrays(padded, names=list(columns), mask=mask)


def _no_parameters(rows: int) -> pa.Array:
    return pa.array([[]] * rows, PARAMETERS)


def _spectra_metadata(run: Run, scans: list[int], stats: PeakStats, settings: _Settings) -> pa.Table:
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
        "parameters": _no_parameters(count),
    }
    injection = np.array([index.injection_time[k] for k in rows], dtype=np.float64)
    scan = {
        "source_index": spectrum["index"],
        "instrument_configuration_ref": pa.array(np.full(count, INSTRUMENT_ID, dtype=np.uint32)),
        SCAN_START_TIME: spectrum["time"],
        # The reader answers 0 where the file holds no injection time.
        INJECTION_TIME: pa.array(injection, mask=~(injection > 0.0) | ~np.isfinite(injection)),
        "parameters": _no_parameters(count),
    }
    precursors = _precursors(run, scans)
    return pa.table({
        "spectrum": pa.StructArray.from_arrays(list(spectrum.values()), names=list(spectrum)),
        "scan": pa.StructArray.from_arrays(list(scan.values()), names=list(scan)),
        "precursor": _group(precursors.precursor_columns(), len(precursors.source), count),
        "selected_ion": _group(precursors.selected_ion_columns(), len(precursors.selected), count),
    })


@dataclass
class _Precursors:
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
             pa.array(self.half_width, pa.float64()), _no_parameters(len(self.source))],
            names=[TARGET_MZ, LOWER_OFFSET, UPPER_OFFSET, "parameters"])
        activation = pa.StructArray.from_arrays(
            [pa.array(self.energy, pa.float64()), pa.array(self.activation, PARAMETERS)],
            names=[COLLISION_ENERGY, "parameters"])
        return {"source_index": pa.array(self.source, pa.uint64()),
                "precursor_index": pa.array(self.precursor, pa.uint64()),
                "precursor_id": pa.array(self.precursor_id, pa.large_string()),
                "isolation_window": window, "activation": activation,
                "parameters": _no_parameters(len(self.source))}

    def selected_ion_columns(self) -> dict[str, pa.Array]:
        return {"source_index": pa.array([self.source[k] for k in self.selected], pa.uint64()),
                "precursor_index": pa.array([self.precursor[k] for k in self.selected], pa.uint64()),
                SELECTED_ION_MZ: pa.array(self.selected_mz, pa.float64()),
                CHARGE_STATE: pa.array(self.charge, pa.int32()),
                "parameters": _no_parameters(len(self.selected))}


def _precursors(run: Run, scans: list[int]) -> _Precursors:
    """Every MSn scan's precursor with what the file holds of it, as the mzML export
    writes it: the precursor spectrum's index where it is written too, its id wherever
    the file names a master scan; no selected ion without a precursor m/z."""
    index = run._scans()
    position = {scan: row for row, scan in enumerate(scans)}
    found = _Precursors([], [], [], [], [], [], [], [], [], [])
    for row, scan in enumerate(scans):
        k = scan - 1
        if index.ms_level[k] < 2:
            continue
        trailer = run.trailer(scan)
        master, mz = index.master_scan[k], index.precursor_mz[k]
        width = trailer.get("Isolation Width")
        energy = trailer.get("Collision Energy")
        found.source.append(row)
        found.precursor.append(position.get(master) if master is not None else None)
        found.precursor_id.append(f"scan={master}" if master is not None else None)
        found.target.append(mz)
        # Half a 32-bit width is again a 32-bit float: the offsets are exact.
        found.half_width.append(width / 2 if isinstance(width, float) else None)
        found.energy.append(energy if isinstance(energy, float) else None)
        found.activation.append([_parquet_param(
            DISSOCIATION_METHODS.get(str(trailer.get("Activation Type")), DISSOCIATION_METHOD))])
        if mz is not None:
            found.selected.append(len(found.source) - 1)
            found.selected_mz.append(mz)
            found.charge.append(index.precursor_charge[k])
    return found


# -- chromatograms


def _chromatograms(run: Run, scans: list[int], stats: PeakStats,
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


def _chromatograms_metadata(polarity: int | None) -> pa.Table:
    chromatogram = {
        "index": pa.array([0, 1], pa.uint64()),
        "id": pa.array([TIC_ID, BPC_ID], pa.large_string()),
        POLARITY: pa.array([polarity, polarity], pa.int32()),
        CHROMATOGRAM_TYPE: pa.array([TIC_CHROMATOGRAM, BPC_CHROMATOGRAM], pa.large_string()),
        "number_of_auxiliary_arrays": pa.array([0, 0], pa.int32()),
        "parameters": _no_parameters(2),
    }
    # No precursors and no selected ions, but their groups all the same: readers
    # expect the four groups of a packed table.
    empty = _Precursors([], [], [], [], [], [], [], [], [], [])
    return pa.table({
        "chromatogram": pa.StructArray.from_arrays(list(chromatogram.values()), names=list(chromatogram)),
        "precursor": _group(empty.precursor_columns(), 0, 2),
        "selected_ion": _group(empty.selected_ion_columns(), 0, 2),
    })


def _chromatograms_data(times: NDArray[np.float64], tic: NDArray[np.float64],
                        bpc: NDArray[np.float64]) -> tuple[pa.Table, dict[str, object]]:
    count = len(times)
    chromatogram_index = np.repeat(np.array([0, 1], dtype=np.uint64), count)
    point = pa.StructArray.from_arrays(
        [pa.array(chromatogram_index), pa.array(np.concatenate([times, times])), pa.array(np.concatenate([tic, bpc]))],
        fields=list(CHROMATOGRAM_POINT))
    # The time array is sorted where the run's times rise (a NaN time is no order).
    rising = bool(np.all(times[1:] >= times[:-1])) and not np.isnan(times).any()
    index: dict[str, object] = {"prefix": "point", "entries": [
        _array_entry("chromatogram", "point.time", FLOAT64, TIME_ARRAY, "time array", MINUTE, 0 if rising else None),
        _array_entry("chromatogram", "point.intensity", FLOAT64, INTENSITY_ARRAY, "intensity array",
                     DETECTOR_COUNTS, None),
    ]}
    return pa.table({"point": point}), index


# -- file-level metadata


def _file_metadata(run: Run, scans: list[int], settings: _Settings) -> dict[str, object]:
    """The documents describing the run as a whole, by key."""
    levels = run.ms_levels()
    kinds = sorted({MS1_SPECTRUM if levels[scan - 1] == 1 else MSN_SPECTRUM for scan in scans})
    path = Path(os.path.abspath(run.path))
    return {
        "file_description": {
            "contents": _params(*kinds, settings.representation),
            "source_files": [{"id": SOURCE_FILE_ID, "name": path.name, "location": path.parent.as_uri(),
                              "parameters": _params(SCAN_NUMBER_NATIVE_ID, ACQUISITION_FILE_FORMAT)}],
        },
        "instrument_configuration_list": [{"id": INSTRUMENT_ID, "components": [],
                                           "parameters": _params(INSTRUMENT_MODEL),
                                           "software_reference": SOFTWARE_ID}],
        "data_processing_method_list": [{"id": PROCESSING_ID, "methods": [
            {"order": 0, "software_reference": SOFTWARE_ID, "parameters": _params(FORMAT_CONVERSION)}]}],
        "software_list": [{"id": SOFTWARE_ID, "version": kestrune_version(),
                           "parameters": [_param(CUSTOM_SOFTWARE, SOFTWARE_ID)]}],
        "sample_list": [],
        "run": {"id": Path(run.path).stem, "default_instrument_id": INSTRUMENT_ID,
                "default_data_processing_id": PROCESSING_ID, "default_source_file_id": SOURCE_FILE_ID,
                "start_time": run_start_time(run), "parameters": []},
    }
