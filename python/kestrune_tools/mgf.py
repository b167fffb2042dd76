"""MGF export of a run's MSn scans.

One `BEGIN IONS` block per scan, in scan order, with

    TITLE=<stem>.<scan>.<scan>.<charge> File:"<file name>", NativeID:"scan=<scan>"
    PEPMASS=<precursor m/z>      (left out where the file holds none)
    RTINSECONDS=<rt x 60>
    CHARGE=<charge>+             (left out where the file holds none)
    SCANS=<scan>

then one `m/z intensity` line per peak in the file's order. m/z values are written
in their shortest exact float64 form, intensities with 9 significant digits, which
give every float32 back exactly: reading them back yields the same values bit for
bit.

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

import numpy as np

from kestrune_tools.text import escaped

if TYPE_CHECKING:
    from kestrune_tools.runs import Run, Spectrum


def title(stem: str, file_name: str, spectrum: Spectrum) -> str:
    """The common `<stem>.<scan>.<scan>.<charge>` title, with the file and native ID."""
    scan, charge = spectrum.scan_number, spectrum.precursor_charge or 0
    text = escaped(f'{stem}.{scan}.{scan}.{charge} File:"{file_name}", NativeID:"{spectrum.native_id}"')
    return text.replace(RECORD_START, INERT_RECORD_START)


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
    """The scans of `ms_level`, or every scan of MS level 2 and above for None."""
    levels = run.ms_levels()
    wanted = levels >= 2 if ms_level is None else levels == ms_level
    return (run[int(scan)] for scan in np.flatnonzero(wanted) + 1)


def write_mgf(run: Run, destination: str | os.PathLike[str], ms_level: int | None = None) -> None:
    """Writes the MSn scans of `run` (those of `ms_level` if given) as MGF."""
    file_name = os.path.basename(run.path)
    stem = Path(file_name).stem
    with open(destination, "w", encoding="utf-8", newline="\n") as output:
        for spectrum in msn_spectra(run, ms_level):
            write_block(output, stem, file_name, spectrum)
