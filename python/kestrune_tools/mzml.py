"""Indexed mzML 1.1.0 export of a run, written with psims (pip install 'kestrune[tools]').

    with open_run(path) as run:
        write_mzml(run, "run.mzML", MzmlOptions(polarity="positive"))

What each spectrum carries, and where it comes from:

- its native ID `scan=N` ("scan number only nativeID format"), MS level, spectrum
  type (MS1 or MSn) and scan start time in minutes, all from the run;
- for a scan with peaks: its total ion current, base peak m/z and intensity, lowest
  and highest observed m/z, gathered in the pass over the peaks that writes them;
- the ion injection time in milliseconds, where the file holds one (above 0);
- for every MSn scan, a precursor: the selected ion's m/z and charge where the file
  holds the m/z (no selected ion at all where it does not: none is invented), a
  reference to the master scan's spectrum when that spectrum is in the same file,
  and from the trailer the activation, collision energy and isolation width where it
  holds them;
- m/z as 64-bit and intensity as 32-bit floats, exactly the reader's values in the
  reader's order (zlib-compressed only when asked).

`require_precursor=True` leaves the MSn scans without a precursor m/z out (a search
engine may refuse a whole file for one of them); `write_mzml` answers how many.
Values the file stores as 32-bit floats (injection time, isolation width, peak
intensities) are written as their shortest float32 text, `0.8` rather than
`0.800000011920929`; units name the vocabulary they come from (`unitCvRef="UO"`).

The chromatograms are the TIC and the BPC of the spectra written (all scans, or
those of `ms_level`), both arrays 64-bit. The file description names the source
file, its format and its SHA-1 checksum: that checksum is the one whole read of the
input an export makes.

The acquisition file records neither the polarity nor whether a scan is centroided:
`MzmlOptions` says what to write (no polarity at all unless one is given). The
output is deterministic: the same run and options give the same bytes, and nothing
is written but `destination` itself.
"""

from __future__ import annotations

import hashlib
import math
import os
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import IO, TYPE_CHECKING, Any, Literal

import numpy as np
from numpy.typing import NDArray
from psims.mzml import MzMLWriter
from psims.xml import CVParam

from kestrune_tools.numbers import float32_text, float64_text
from kestrune_tools.outputs import atomic_destinations
from kestrune_tools.psi import (
    ACQUISITION_FILE_FORMAT,
    ACTIVATION_ENERGY,
    BASE_PEAK_INTENSITY,
    BASE_PEAK_MZ,
    BPC_CHROMATOGRAM,
    COLLISION_ENERGY,
    CONVERSION_TO_MZML,
    CUSTOM_SOFTWARE,
    DETECTOR_COUNTS,
    DISSOCIATION_METHOD,
    DISSOCIATION_METHODS,
    ELECTRONVOLT,
    HIGHEST_OBSERVED_MZ,
    INSTRUMENT_MODEL,
    ION_INJECTION_TIME,
    LOWEST_OBSERVED_MZ,
    MILLISECOND,
    MS1_SPECTRUM,
    MSN_SPECTRUM,
    MZ,
    PROCESSING_ID,
    SCAN_NUMBER_NATIVE_ID,
    SHA1_CHECKSUM,
    SOFTWARE_ID,
    SOURCE_FILE_ID,
    TIC_CHROMATOGRAM,
    TOTAL_ION_CURRENT,
    UNIT_VOCABULARY,
    bundled_vocabularies,
    kestrune_version,
    psi_ms_vocabulary,
    run_start_time,
)
from kestrune_tools.runs import PeakStats

if TYPE_CHECKING:
    from kestrune_tools.runs import Run, Spectrum

__all__ = ["MzmlOptions", "write_mzml", "float32_text", "source_checksum", "psi_ms_vocabulary"]


@dataclass(frozen=True)
class MzmlOptions:
    """What to write where the acquisition file says nothing (each field's help text
    is in its metadata, under "help")."""

    polarity: Literal["positive", "negative"] | None = field(default=None, metadata={"help": (
        "scan polarity to record on every spectrum; the acquisition file does not store "
        "it, so none is written unless given")})
    spectrum_type: Literal["centroid", "profile"] = field(default="centroid", metadata={"help": (
        "spectrum representation to record on every spectrum (mzML requires one; the "
        "acquisition file does not store it): centroid (the default) or profile")})
    compression: bool = field(default=False, metadata={"help": (
        "zlib-compress the binary m/z, intensity and chromatogram arrays")})

    def __post_init__(self) -> None:
        # psims would write no polarity for an unknown word, and profile for any
        # spectrum type but "centroid": refuse those instead of writing them silently.
        if self.polarity not in (None, "positive", "negative"):
            raise ValueError(f"polarity must be 'positive', 'negative' or None, not {self.polarity!r}")
        if self.spectrum_type not in ("centroid", "profile"):
            raise ValueError(f"spectrum_type must be 'centroid' or 'profile', not {self.spectrum_type!r}")


# The names and unit of each term `_term` writes, by (accession, unit): the bundled
# vocabularies are the same for every file.
_term_names: dict[tuple[str, str | None], dict[str, str | None]] = {}
INSTRUMENT_ID = "instrument"
CHECKSUM_CHUNK = 1 << 20


def write_mzml(run: Run, destination: str | os.PathLike[str], options: MzmlOptions = MzmlOptions(),
               *, ms_level: int | None = None, require_precursor: bool = False) -> int:
    """Write the run as indexed mzML 1.1.0.

    Parameters
    ----------
    run : Run
    destination : str or os.PathLike
        The file written, exactly this path.
    options : MzmlOptions
        What to record where the file says nothing: polarity, spectrum type
        (centroid by default), compression.
    ms_level : int, optional
        Only the scans of this MS level (every scan for None).
    require_precursor : bool, default False
        Leave out the MSn scans that hold no precursor m/z.

    Returns
    -------
    int
        The number of scans left out for want of a precursor m/z.

    Examples
    --------
    >>> from kestrune_tools.mzml import MzmlOptions, write_mzml
    >>> with open_run("run_orbitrap.raw") as run:              # doctest: +SKIP
    ...     write_mzml(run, "run.mzML", MzmlOptions(polarity="positive"))
    """
    scans, left_out = run.export_scans(ms_level, require_precursor=require_precursor)
    checksum = source_checksum(run.path)
    with atomic_destinations([destination]) as (path,):
        with open(path, "w+b") as out:
            with MzMLWriter(out, close=False, vocabulary_resolver=bundled_vocabularies()) as writer:
                _write_header(writer, run, checksum, scans)
                with writer.run(id=_run_id(run.path), instrument_configuration=INSTRUMENT_ID,
                                source_file=SOURCE_FILE_ID, **_start_time(run)):
                    rt, stats = _write_spectra(writer, run, scans, options)
                    _write_chromatograms(writer, rt, stats, options)
            _point_at_index_list(out)
    return len(left_out)


# psims takes the index list's offset before the indentation that precedes the
# element, and writes it a few bytes short; the offset must be that of `<indexList`.
INDEX_LIST = b"<indexList "
INDEX_LIST_OFFSET = b"<indexListOffset>"
FILE_CHECKSUM = b"<fileChecksum>"
INDEX_TAIL_STEP = 1 << 20


def _point_at_index_list(out: IO[bytes]) -> None:
    """Makes `<indexListOffset>` the offset of `<indexList` where it is not, and the
    file checksum (SHA-1 of the bytes up to and including `<fileChecksum>`) that of
    the mended file."""
    size = out.seek(0, os.SEEK_END)
    tail_at, tail = _index_tail(out, size)
    found = tail_at + tail.rindex(INDEX_LIST)
    offset_at = tail.rindex(INDEX_LIST_OFFSET) + len(INDEX_LIST_OFFSET)
    offset_end = tail.index(b"<", offset_at)
    if int(tail[offset_at:offset_end]) == found:
        return
    checksum_at = tail.index(FILE_CHECKSUM, offset_end) + len(FILE_CHECKSUM)
    head = tail[:offset_at] + str(found).encode() + tail[offset_end:checksum_at]
    out.seek(tail_at)
    out.truncate()
    out.write(head)
    digest = hashlib.sha1(usedforsecurity=False)
    out.seek(0)
    while chunk := out.read(CHECKSUM_CHUNK):
        digest.update(chunk)
    out.write(digest.hexdigest().encode() + tail[tail.index(b"<", checksum_at):])


def _index_tail(out: IO[bytes], size: int) -> tuple[int, bytes]:
    """The end of the file from a point before its index list: where it starts, and its bytes."""
    step = INDEX_TAIL_STEP
    while True:
        tail_at = max(0, size - step)
        out.seek(tail_at)
        tail = out.read()
        if INDEX_LIST in tail or tail_at == 0:
            return tail_at, tail
        step *= 2


def source_checksum(path: str | os.PathLike[str]) -> str:
    """The SHA-1 of the file's bytes, hex digits, over one read in 1 MiB chunks."""
    digest = hashlib.sha1(usedforsecurity=False)
    buffer = bytearray(CHECKSUM_CHUNK)
    view = memoryview(buffer)
    with open(path, "rb", buffering=0) as source:
        while count := source.readinto(buffer):
            digest.update(view[:count])
    return digest.hexdigest()


def _run_id(path: str) -> str:
    stem = os.path.splitext(os.path.basename(path))[0]
    # An xs:ID: a letter or underscore first, then no spaces or colons.
    cleaned = "".join(c if c.isalnum() or c in "-_." else "_" for c in stem)
    return cleaned if cleaned[:1].isalpha() else f"run_{cleaned}"


def _start_time(run: Run) -> dict[str, str]:
    start = run_start_time(run)
    return {} if start is None else {"start_time": start}


def _write_header(writer: MzMLWriter, run: Run, checksum: str, scans: Sequence[int]) -> None:
    levels = run.ms_levels()
    contents = sorted({MS1_SPECTRUM if levels[scan - 1] == 1 else MSN_SPECTRUM for scan in scans})
    path = Path(os.path.abspath(run.path))
    source = writer.SourceFile(
        location=path.parent.as_uri(), name=path.name, id=SOURCE_FILE_ID,
        params=[SCAN_NUMBER_NATIVE_ID, ACQUISITION_FILE_FORMAT, {SHA1_CHECKSUM: checksum}])
    writer.controlled_vocabularies()
    _units_from_their_own_vocabulary(writer)
    writer.file_description(contents, [source])
    writer.software_list([writer.Software(
        id=SOFTWARE_ID, version=kestrune_version(), params=[{CUSTOM_SOFTWARE: SOFTWARE_ID}])])
    instrument = writer.InstrumentConfiguration(id=INSTRUMENT_ID, component_list=[], params=[INSTRUMENT_MODEL])
    # The file names no ion source, analyser or detector; mzML lets the component
    # list be left out, and psims writes an empty (invalid) one unless told not to.
    instrument.component_list = None
    writer.instrument_configuration_list([instrument])
    method = writer.ProcessingMethod(order=0, software_reference=SOFTWARE_ID,
                                     params=[CONVERSION_TO_MZML, {"kestrune File profile": run.profile}])
    writer.data_processing_list([writer.DataProcessing([method], id=PROCESSING_ID)])


def _units_from_their_own_vocabulary(writer: MzMLWriter) -> None:
    """psims names a unit's vocabulary by the first one that holds its term, and the
    PSI-MS vocabulary holds copies of the UO units: looking in UO first makes every
    `UO:` unit `unitCvRef="UO"`. The cvList is written by then, in its own order."""
    writer.context.vocabularies.storage.move_to_end(UNIT_VOCABULARY, last=False)


def _write_spectra(writer: MzMLWriter, run: Run, scans: Sequence[int],
                   options: MzmlOptions) -> tuple[NDArray[np.float64], PeakStats]:
    """Writes the spectra; answers their retention times and peak statistics, the
    chromatograms' values, gathered from the same pass over the peaks."""
    written = set(scans)
    compression = "zlib" if options.compression else "none"
    rt = np.zeros(len(scans), dtype=np.float64)
    stats = PeakStats(len(scans))
    # An m/z the file holds as a 32-bit float is written as one.
    mz_text = float32_text if run.narrow_mz else float64_text
    with writer.spectrum_list(count=len(scans)):
        for row, scan in enumerate(scans):
            spectrum = run[scan]
            rt[row] = spectrum.rt
            stats.add(row, spectrum.mz, spectrum.intensity)
            writer.write_spectrum(
                spectrum.mz, spectrum.intensity, id=spectrum.native_id,
                polarity=options.polarity, centroided=options.spectrum_type == "centroid",
                # xs:double has no "nan" or "inf" as Python writes them: a time that is
                # no number is left out, and the scan is written all the same.
                scan_start_time=spectrum.rt if math.isfinite(spectrum.rt) else None,
                params=_spectrum_params(writer, spectrum, stats, row, mz_text),
                scan_params=_scan_params(writer, spectrum),
                precursor_information=_precursor(writer, run, spectrum, written),
                encoding={"m/z array": np.float64, "intensity array": np.float32},
                compression=compression)
    return rt, stats


def _term(writer: MzMLWriter, accession: str, value: str, unit: str | None = None) -> Any:
    """A cvParam of `accession` with `value` (and `unit`), its names looked up in the
    vocabularies once: psims would look them up again for every spectrum."""
    names = _term_names.get((accession, unit))
    if names is None:
        resolved = writer.param({"accession": accession, "value": value, "unit_accession": unit})
        names = {"ref": resolved.ref, "name": resolved.name, "unit_cv_ref": resolved.unit_cv_ref,
                 "unit_accession": resolved.unit_accession, "unit_name": resolved.unit_name}
        _term_names[(accession, unit)] = names
    return CVParam(accession=accession, value=value, **{key: v for key, v in names.items() if v is not None})


def _spectrum_params(writer: MzMLWriter, spectrum: Spectrum, stats: PeakStats, row: int,
                     mz_text: Callable[[float], str]) -> list[Any]:
    """MS level and spectrum type; for a scan with peaks, the values of its peaks: m/z
    in `mz_text`, the precision the file holds them in; intensities are 32-bit floats."""
    params: list[Any] = [{"ms level": spectrum.ms_level},
                         MS1_SPECTRUM if spectrum.ms_level == 1 else MSN_SPECTRUM]
    if not stats.peak_count[row]:
        return params
    return params + [
        _term(writer, TOTAL_ION_CURRENT, float64_text(stats.tic[row])),
        _term(writer, BASE_PEAK_MZ, mz_text(stats.base_peak_mz[row]), MZ),
        _term(writer, BASE_PEAK_INTENSITY, float32_text(stats.base_peak_intensity[row]), DETECTOR_COUNTS),
        _term(writer, LOWEST_OBSERVED_MZ, mz_text(stats.lowest_mz[row]), MZ),
        _term(writer, HIGHEST_OBSERVED_MZ, mz_text(stats.highest_mz[row]), MZ),
    ]


def _scan_params(writer: MzMLWriter, spectrum: Spectrum) -> list[Any]:
    """The injection time where the file holds one: the reader answers 0 where it holds none."""
    time = spectrum.injection_time
    if not (math.isfinite(time) and time > 0.0):
        return []
    return [_term(writer, ION_INJECTION_TIME, float32_text(time), MILLISECOND)]


def _precursor(writer: MzMLWriter, run: Run, spectrum: Spectrum, written: set[int]) -> dict[str, Any] | None:
    """Every MSn scan's precursor, with what the file holds of it: without a precursor
    m/z, no selected ion (psims writes none when m/z and charge are both None)."""
    if spectrum.ms_level < 2:
        return None
    known = spectrum.precursor_mz is not None
    precursor: dict[str, Any] = {"mz": spectrum.precursor_mz, "charge": spectrum.precursor_charge if known else None,
                                 "activation": _activation(writer, spectrum)}
    if spectrum.master_scan in written:
        precursor["spectrum_reference"] = f"scan={spectrum.master_scan}"
    width = spectrum.isolation_width  # the trailer's, as the spectrum read it
    if width is not None:
        # Half a 32-bit width is again a 32-bit float.
        half = float32_text(width / 2)
        precursor["isolation_window_args"] = {"target": spectrum.precursor_mz, "lower": half, "upper": half}
    return precursor


def _activation(writer: MzMLWriter, spectrum: Spectrum) -> list[Any]:
    params: list[Any] = [DISSOCIATION_METHODS.get(str(spectrum.activation), DISSOCIATION_METHOD)]
    energy = spectrum.collision_energy
    if energy is not None:
        # The trailer holds the energy as decimal text: its shortest float64 text is that text.
        params += [_term(writer, term, float64_text(energy), ELECTRONVOLT) for term in (COLLISION_ENERGY, ACTIVATION_ENERGY)]
    return params


def _write_chromatograms(writer: MzMLWriter, rt: NDArray[np.float64], stats: PeakStats,
                         options: MzmlOptions) -> None:
    compression = "zlib" if options.compression else "none"
    chromatograms = (("TIC", TIC_CHROMATOGRAM, (rt, stats.tic)),
                     ("BPC", BPC_CHROMATOGRAM, (rt, stats.base_peak_intensity)))
    with writer.chromatogram_list(count=len(chromatograms)):
        for identifier, kind, (rt, values) in chromatograms:
            writer.write_chromatogram(rt, values, id=identifier, chromatogram_type=kind,
                                      encoding=64, compression=compression)
