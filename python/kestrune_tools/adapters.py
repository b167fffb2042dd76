"""Spectra and runs handed to the field's Python libraries in memory, without a file:
matchms, spectrum_utils and pyopenms (each from the `interop` extra, imported only
when asked for). `Spectrum.to_matchms()`, `Spectrum.to_spectrum_utils()` and
`Run.to_pyopenms()` call these.

Conventions shared by the three:

- Retention times are handed over in seconds, the unit each library holds them in
  (matchms reads MGF's RTINSECONDS into "retention_time", OpenMS's RT is in seconds,
  spectrum_utils keeps what it is given, and its MGF and mzML users give seconds).
- Peaks are handed over in ascending m/z order (stably sorted where the file holds
  them otherwise): matchms refuses any other order and OpenMS's algorithms assume it.
- Peaks whose m/z or intensity is no finite number (NaN, +-inf; a damaged block can
  hold them) are left out, by all three alike: no order holds a NaN, and none of the
  libraries computes anything sound from one. The reader's own arrays keep them.
- A scan without peaks becomes a spectrum with no peaks, which all three accept.
- The scan's native id is "scan=N", as in the mzML export.
"""

from __future__ import annotations

import math
from collections.abc import Iterable, Iterator
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    import matchms
    import pyopenms
    import spectrum_utils.spectrum

    from kestrune_tools.runs import FloatArray, IntensityArray, Spectrum

INSTALL_HINT = "pip install 'kestrune[interop]'"
SECONDS_PER_MINUTE = 60.0


@contextmanager
def needs(name: str) -> Iterator[None]:
    """Turns the failed import of library `name` into an ImportError naming the extra."""
    try:
        yield
    except ImportError as error:
        raise ImportError(f"{name} is not installed; it comes with {INSTALL_HINT}") from error


def seconds(rt_minutes: float) -> float:
    return rt_minutes * SECONDS_PER_MINUTE


def mz_ordered(spectrum: Spectrum) -> tuple[FloatArray, IntensityArray]:
    """The spectrum's finite peaks in ascending m/z order: its own arrays where they
    already are."""
    mz, intensity = spectrum.mz, spectrum.intensity
    finite = np.isfinite(mz) & np.isfinite(intensity)
    if not finite.all():
        mz, intensity = mz[finite], intensity[finite]
    if len(mz) > 1 and not (mz[1:] >= mz[:-1]).all():
        order = np.argsort(mz, kind="stable")
        return mz[order], intensity[order]
    return mz, intensity


def to_matchms(spectrum: Spectrum) -> matchms.Spectrum:
    """A `matchms.Spectrum` with the metadata keys matchms harmonises to: "scan_number",
    "ms_level", "retention_time" (seconds), "native_id", and "precursor_mz" and
    "charge" where the scan has them. A scan without a precursor m/z (every MS1
    scan among them) has no "precursor_mz" key, so matchms' `require_precursor_mz`
    drops it; one without peaks has empty arrays."""
    with needs("matchms"):
        import matchms
    metadata: dict[str, Any] = {"scan_number": spectrum.scan_number, "ms_level": spectrum.ms_level,
                                "native_id": spectrum.native_id}
    if math.isfinite(spectrum.rt):
        metadata["retention_time"] = seconds(spectrum.rt)
    if spectrum.precursor_mz is not None:
        metadata["precursor_mz"] = spectrum.precursor_mz
    if spectrum.precursor_charge is not None:
        metadata["charge"] = spectrum.precursor_charge
    mz, intensity = mz_ordered(spectrum)
    return matchms.Spectrum(mz=np.asarray(mz, np.float64), intensities=np.asarray(intensity, np.float64),
                            metadata=metadata)


def to_spectrum_utils(spectrum: Spectrum) -> spectrum_utils.spectrum.MsmsSpectrum:
    """A `spectrum_utils.spectrum.MsmsSpectrum` identified by the native id, with the
    retention time in seconds. spectrum_utils needs a number for the precursor: a
    scan without a precursor m/z gets NaN, one without a charge 0 (its "unknown")."""
    with needs("spectrum_utils"):
        import spectrum_utils.spectrum
    mz, intensity = mz_ordered(spectrum)
    precursor_mz = spectrum.precursor_mz if spectrum.precursor_mz is not None else math.nan
    return spectrum_utils.spectrum.MsmsSpectrum(spectrum.native_id, precursor_mz, spectrum.precursor_charge or 0, mz, intensity,
                               retention_time=seconds(spectrum.rt))


def to_pyopenms(spectra: Iterable[Spectrum]) -> pyopenms.MSExperiment:
    """A `pyopenms.MSExperiment` of these spectra: MS level, RT in seconds, the native
    id, the peaks, and one precursor (m/z, and charge where known, else OpenMS's 0)
    for a scan with a precursor m/z; a scan without one has no precursor entry."""
    with needs("pyopenms"):
        import pyopenms
    experiment = pyopenms.MSExperiment()
    for spectrum in spectra:
        experiment.addSpectrum(openms_spectrum(spectrum))
    return experiment


def openms_spectrum(spectrum: Spectrum) -> pyopenms.MSSpectrum:
    import pyopenms

    converted = pyopenms.MSSpectrum()
    converted.setMSLevel(spectrum.ms_level)
    converted.setRT(seconds(spectrum.rt))
    converted.setNativeID(spectrum.native_id)
    converted.set_peaks(mz_ordered(spectrum))
    if spectrum.precursor_mz is not None:
        precursor = pyopenms.Precursor()
        precursor.setMZ(spectrum.precursor_mz)
        precursor.setCharge(spectrum.precursor_charge or 0)
        converted.setPrecursors([precursor])
    return converted
