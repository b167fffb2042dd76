"""The archive: `write_mzpeak` checks the options, then writes the index JSON and the
four Parquet members, each stored straight into one ZIP archive that appears whole or
not at all."""

from __future__ import annotations

import contextlib
import json
import os
import zipfile
from collections.abc import Iterator
from pathlib import Path
from typing import IO, TYPE_CHECKING, Any, Literal

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

from kestrune_tools.mzpeak.chromatograms import (
    chromatogram_traces,
    chromatograms_data_table,
    chromatograms_metadata_table,
)
from kestrune_tools.mzpeak.file_metadata import file_level_metadata
from kestrune_tools.mzpeak.points import write_spectrum_points
from kestrune_tools.mzpeak.schema import (
    CHROMATOGRAMS_DATA,
    CHROMATOGRAMS_METADATA,
    INDEX_NAME,
    MEMBER_TIME,
    MEMBERS,
    POLARITIES,
    REPRESENTATIONS,
    SPECTRA_DATA,
    SPECTRA_METADATA,
    Settings,
    json_metadata,
    member_options,
)
from kestrune_tools.mzpeak.spectra_metadata import spectra_metadata_table
from kestrune_tools.outputs import NothingToWrite, atomic_destinations

if TYPE_CHECKING:
    from kestrune_tools.runs import Run

def _settings(ms_level: int | None, polarity: str | None, spectrum_type: str) -> Settings:
    """The options, refused before any file is made where they mean nothing."""
    if ms_level is not None and (isinstance(ms_level, bool) or not isinstance(ms_level, int) or ms_level < 1):
        raise ValueError(f"ms_level must be an MS level of at least 1 or None, not {ms_level!r}")
    if polarity not in POLARITIES:
        raise ValueError(f"polarity must be 'positive', 'negative' or None, not {polarity!r}")
    if spectrum_type not in REPRESENTATIONS:
        raise ValueError(f"spectrum_type must be 'centroid' or 'profile', not {spectrum_type!r}")
    return Settings(ms_level, POLARITIES[polarity], REPRESENTATIONS[spectrum_type])


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
    file_metadata = file_level_metadata(run, scans, settings)
    with atomic_destinations([destination]) as (temporary,), _archive(temporary) as archive:
        _write_json(archive, INDEX_NAME, {"files": [{"name": name, "entity_type": kind, "data_kind": data}
                                                     for name, (kind, data) in MEMBERS.items()],
                                           "metadata": file_metadata})
        with _member(archive, SPECTRA_DATA, large=True) as stream:
            stats = write_spectrum_points(run, scans, stream)
        with _member(archive, SPECTRA_METADATA, large=True) as stream:
            _write_table(stream, spectra_metadata_table(run, scans, stats, settings),
                         {**file_metadata, "spectrum_count": len(scans),
                          "spectrum_data_point_count": int(stats.peak_count.sum(dtype=np.int64))})
        times, tic, bpc = chromatogram_traces(run, scans, stats, settings.ms_level)
        with _member(archive, CHROMATOGRAMS_METADATA) as stream:
            _write_table(stream, chromatograms_metadata_table(settings.polarity),
                         {**file_metadata, "chromatogram_count": 2, "chromatogram_data_point_count": 2 * len(times)})
        with _member(archive, CHROMATOGRAMS_DATA) as stream:
            table, index = chromatograms_data_table(times, tic, bpc)
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



def _write_table(stream: IO[bytes], table: pa.Table, metadata: dict[str, object],
                 options: dict[str, Any] | None = None) -> None:
    with pq.ParquetWriter(stream, table.schema, **(options or member_options())) as writer:
        writer.write_table(table)
        writer.add_key_value_metadata(json_metadata(metadata))
