"""MGF export of a run's MS2 scans (or those of another MS level).

The file starts with MGF's comment parameter, naming the MS level written (MGF
itself has no MS level: a search engine takes every entry for the level it
searches); the source file is named in each TITLE, not here, as an indexed reader
takes any `TITLE=` before the first record for a record's title:

    COM=MS level 2 scans, File profile orbitrap, written by kestrune

A `#` comment line would say the same, but some MGF readers then read no spectrum
at all. Then one `BEGIN IONS` block per scan, in scan order, with

    TITLE=<stem>.<scan>.<scan>.<charge> File:"<file name>", NativeID:"scan=<scan>"
    PEPMASS=<precursor m/z>      (left out for an MS1 scan)
    RTINSECONDS=<rt x 60>
    CHARGE=<charge>+             (left out where the file holds none)
    SCANS=<scan>

then one `m/z intensity` line per peak in the file's order. m/z values are written
in their shortest exact float64 form, intensities with 9 significant digits, which
give every float32 back exactly: reading them back yields the same values bit for
bit.

An MSn scan whose precursor m/z the file does not hold is left out: an entry without
PEPMASS is no searchable spectrum, and one such entry stops a whole search in some
engines. `write_mgf` answers how many it left out. A run with no scan to write gives
no file at all: `NothingToWrite` says so, and the batch reports that input as having
nothing to write, so that an absent output is never taken for a converted one.

Every field is one line: the file name's control characters (CR, LF, NUL, ESC and
the rest of C0 and C1, U+2028 and U+2029, the bidirectional controls, undecodable
bytes) are written as escapes such as `\\x0a` (`kestrune_tools.text.escaped`), so a
file name can never end the TITLE line and start a record of its own; nor can the
words `BEGIN IONS` in a name, where indexed readers would start a record (their
space is written `\\x20`).

This is a small writer of its own: pyteomics' MGF writer formats each peak through
a generic per-value path and cost about 90% of an export (benchmarks/bench_convert.py
measures both); the format is the same, and pyteomics' reader reads it.
"""

from __future__ import annotations

import os
from collections.abc import Iterator
from pathlib import Path
from typing import TYPE_CHECKING, TextIO

from kestrune_tools.outputs import NothingToWrite, atomic_destinations
from kestrune_tools.text import escaped

if TYPE_CHECKING:
    from kestrune_tools.runs import Run, Spectrum

# MGF holds fragment spectra for database searches: MS2 unless asked otherwise.
DEFAULT_MS_LEVEL = 2


def title(stem: str, file_name: str, spectrum: Spectrum) -> str:
    """The common `<stem>.<scan>.<scan>.<charge>` title, with the file and native ID."""
    scan, charge = spectrum.scan_number, spectrum.precursor_charge or 0
    return field_text(f'{stem}.{scan}.{scan}.{charge} File:"{file_name}", NativeID:"{spectrum.native_id}"')


def field_text(text: str) -> str:
    """`text` as the value of one MGF line: its control characters escaped, and no
    record start within it."""
    return escaped(text).replace(RECORD_START, INERT_RECORD_START)


# An indexed MGF reader (pyteomics' among them) starts a record wherever these bytes
# appear, even within a line: in a title their space is written as an escape.
RECORD_START = "BEGIN IONS"
INERT_RECORD_START = "BEGIN\\x20IONS"


def header_lines(stem: str, file_name: str, spectrum: Spectrum) -> list[str]:
    lines = [f"TITLE={title(stem, file_name, spectrum)}"]
    if spectrum.precursor_mz is not None:
        lines.append(f"PEPMASS={spectrum.precursor_mz!r}")
    lines.append(f"RTINSECONDS={spectrum.rt * 60.0!r}")
    if spectrum.precursor_charge is not None:
        lines.append(f"CHARGE={spectrum.precursor_charge}+")
    lines.append(f"SCANS={spectrum.scan_number}")
    return lines


def write_block(output: TextIO, stem: str, file_name: str, spectrum: Spectrum) -> None:
    """One spectrum's BEGIN IONS ... END IONS block and the blank line after it."""
    header = "".join(line + "\n" for line in header_lines(stem, file_name, spectrum))
    peaks = "".join([f"{mz!r} {intensity:.9g}\n" for mz, intensity in
                     zip(spectrum.mz.tolist(), spectrum.intensity.tolist())])
    output.write(f"BEGIN IONS\n{header}{peaks}END IONS\n\n")


def msn_spectra(run: Run, ms_level: int | None = None) -> Iterator[Spectrum]:
    """The scans `write_mgf` writes: those of `ms_level` (MS2 for None) that hold a
    precursor m/z where they are MSn scans."""
    return (run[scan] for scan in run.export_scans(ms_level or DEFAULT_MS_LEVEL, require_precursor=True).written)


def write_mgf(run: Run, destination: str | os.PathLike[str], ms_level: int | None = None) -> int:
    """Write the fragment scans of a run as MGF, one record per scan with a precursor m/z.

    Parameters
    ----------
    run : Run
    destination : str or os.PathLike
    ms_level : int, optional
        The scans written (MS2 for None).

    Returns
    -------
    int
        The number of MSn scans left out for want of a precursor m/z.

    Raises
    ------
    NothingToWrite
        Before any file is made, where no scan is left to write. The file appears
        complete or not at all.

    Examples
    --------
    >>> from kestrune_tools.mgf import write_mgf
    >>> with open_run("run_orbitrap.raw") as run:              # doctest: +SKIP
    ...     write_mgf(run, "run.mgf")
    """
    level = ms_level or DEFAULT_MS_LEVEL
    scans, left_out = run.export_scans(level, require_precursor=True)
    file_name = os.path.basename(run.path)
    if not scans:
        raise NothingToWrite(_nothing_to_write(level, len(left_out)))
    stem = Path(file_name).stem
    with atomic_destinations([destination]) as (path,), open(path, "w", encoding="utf-8", newline="\n") as output:
        output.write(f"COM=MS level {level} scans, File profile {run.profile}, written by kestrune\n")
        for scan in scans:
            write_block(output, stem, file_name, run[scan])
    return len(left_out)


def _nothing_to_write(level: int, left_out: int) -> str:
    without = f" ({left_out} without a precursor m/z left out)" if left_out else ""
    return f"no MS{level} scans to write{without}: no MGF written"
