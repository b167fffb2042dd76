"""The PROXI spectrum object of one scan: its attributes, named by PSI-MS terms, and
its peaks."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from kestrune_tools.runs import Spectrum

# PSI-MS terms by accession, with their names; units from the unit ontology.
MS_LEVEL = ("MS:1000511", "ms level")
SCAN_NUMBER = ("MS:1003057", "scan number")
SCAN_START_TIME = ("MS:1000016", "scan start time")
NUMBER_OF_PEAKS = ("MS:1008040", "number of peaks")
TOTAL_ION_CURRENT = ("MS:1000285", "total ion current")
BASE_PEAK_MZ = ("MS:1000504", "base peak m/z")
BASE_PEAK_INTENSITY = ("MS:1000505", "base peak intensity")
LOWEST_OBSERVED_MZ = ("MS:1000528", "lowest observed m/z")
HIGHEST_OBSERVED_MZ = ("MS:1000527", "highest observed m/z")
ION_INJECTION_TIME = ("MS:1000927", "ion injection time")
SELECTED_ION_MZ = ("MS:1000744", "selected ion m/z")
CHARGE_STATE = ("MS:1000041", "charge state")
ISOLATION_TARGET = ("MS:1000827", "isolation window target m/z")
ISOLATION_LOWER_OFFSET = ("MS:1000828", "isolation window lower offset")
ISOLATION_UPPER_OFFSET = ("MS:1000829", "isolation window upper offset")
MINUTE = ("UO:0000031", "minute")
MILLISECOND = ("UO:0000028", "millisecond")
MZ = ("MS:1000040", "m/z")


def attribute(term: tuple[str, str], value: str, unit: tuple[str, str] | None = None) -> dict[str, str]:
    entry = {"accession": term[0], "name": term[1], "value": value}
    if unit is not None:
        entry["unit_accession"], entry["unit_name"] = unit
    return entry


def spectrum_object(spectrum: Spectrum, usi_text: str, with_peaks: bool,
                    isolation_width: float | None = None) -> dict[str, Any]:
    """The PROXI spectrum object of one scan; its peaks as the reader's arrays (float64
    m/z, float32 intensities), which the server writes as the shortest text that reads
    back as the same value of that type, and a value that is no number as null."""
    answer: dict[str, Any] = {"usi": usi_text, "status": "READABLE",
                              "attributes": spectrum_attributes(spectrum, isolation_width)}
    if with_peaks:
        answer["mzs"], answer["intensities"] = spectrum.mz, spectrum.intensity
    return answer


def spectrum_attributes(spectrum: Spectrum, isolation_width: float | None = None) -> list[dict[str, str]]:
    from kestrune_tools.numbers import float64_text

    attributes = [attribute(MS_LEVEL, str(spectrum.ms_level)),
                  attribute(SCAN_NUMBER, str(spectrum.scan_number))]
    if math.isfinite(spectrum.rt):
        attributes.append(attribute(SCAN_START_TIME, float64_text(spectrum.rt), MINUTE))
    return attributes + _peak_summary(spectrum) + _injection(spectrum) + _precursor(spectrum, isolation_width)


def _peak_summary(spectrum: Spectrum) -> list[dict[str, str]]:
    from kestrune_tools.numbers import float32_text, float64_text
    from kestrune_tools.runs import PeakStats

    count = len(spectrum.mz)
    if not count:
        return [attribute(NUMBER_OF_PEAKS, "0")]
    stats = PeakStats(1)
    stats.add(0, spectrum.mz, spectrum.intensity)  # the scan table's arithmetic
    return [attribute(NUMBER_OF_PEAKS, str(count)),
            attribute(TOTAL_ION_CURRENT, float64_text(stats.tic[0])),
            attribute(BASE_PEAK_MZ, float64_text(stats.base_peak_mz[0]), MZ),
            attribute(BASE_PEAK_INTENSITY, float32_text(stats.base_peak_intensity[0])),
            attribute(LOWEST_OBSERVED_MZ, float64_text(stats.lowest_mz[0]), MZ),
            attribute(HIGHEST_OBSERVED_MZ, float64_text(stats.highest_mz[0]), MZ)]


def _injection(spectrum: Spectrum) -> list[dict[str, str]]:
    from kestrune_tools.numbers import float32_text

    time_ms = spectrum.injection_time
    if not (math.isfinite(time_ms) and time_ms > 0.0):  # the reader answers 0 where the file holds none
        return []
    return [attribute(ION_INJECTION_TIME, float32_text(time_ms), MILLISECOND)]


def _precursor(spectrum: Spectrum, isolation_width: float | None) -> list[dict[str, str]]:
    """What the file holds of an MSn scan's precursor: its m/z (also the isolation
    window's target), its charge, the isolation window's half width on either side."""
    from kestrune_tools.numbers import float32_text, float64_text

    if spectrum.ms_level < 2:
        return []
    attributes = []
    if spectrum.precursor_mz is not None:
        mz = float64_text(spectrum.precursor_mz)
        attributes += [attribute(SELECTED_ION_MZ, mz, MZ), attribute(ISOLATION_TARGET, mz, MZ)]
    if spectrum.precursor_charge is not None:
        attributes.append(attribute(CHARGE_STATE, str(spectrum.precursor_charge)))
    if isolation_width is not None and math.isfinite(isolation_width) and isolation_width > 0.0:
        half = float32_text(isolation_width / 2)  # half a 32-bit width is again a 32-bit float
        attributes += [attribute(ISOLATION_LOWER_OFFSET, half, MZ), attribute(ISOLATION_UPPER_OFFSET, half, MZ)]
    return attributes
