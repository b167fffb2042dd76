"""What the field's formats share in the exports: the PSI-MS terms they write (by
accession, so that a renamed term in a newer vocabulary changes nothing), the
vocabularies bundled with psims (no network, the same versions every time), and the
run-wide values every export names (the software's version, the run's start time).
The mzML and mzPeak exports take them from here."""

from __future__ import annotations

import functools
import io
from datetime import datetime, timezone
from importlib.metadata import PackageNotFoundError, version
from typing import IO, TYPE_CHECKING

from psims.controlled_vocabulary.controlled_vocabulary import ControlledVocabulary, OBOCache

if TYPE_CHECKING:
    from kestrune_tools.runs import Run

SCAN_NUMBER_NATIVE_ID = "MS:1000776"  # scan number only nativeID format: scan=N
ACQUISITION_FILE_FORMAT = "MS:1000563"  # the format of the acquisition files read here
SHA1_CHECKSUM = "MS:1000569"
MS1_SPECTRUM = "MS:1000579"
MSN_SPECTRUM = "MS:1000580"
# The file names no instrument model. The generic "instrument model" term has no
# parent that pymzml can look up (it logs "term not found" for it), and pyopenms
# requires a term of that branch: the family term of the instruments' maker, which
# the acquisition file format itself names, says what is known and no more.
INSTRUMENT_MODEL = "MS:1000483"
CUSTOM_SOFTWARE = "MS:1000799"  # custom unreleased software tool
CONVERSION_TO_MZML = "MS:1000544"
TIC_CHROMATOGRAM = "MS:1000235"
BPC_CHROMATOGRAM = "MS:1000628"
# "Activation Type" values of the trailer and their dissociation method terms; a
# fragment scan whose trailer names none gets the generic term, which says that its
# ions were dissociated and no more (mzML requires a dissociation method).
DISSOCIATION_METHODS = {"HigherEnergyCollisionalDissociation": "MS:1000422"}  # beam-type CID
DISSOCIATION_METHOD = "MS:1000044"
# "collision energy" is the term mzML prescribes; pyopenms answers getActivationEnergy()
# from "activation energy" only, so both carry the trailer's value.
COLLISION_ENERGY = "MS:1000045"
ACTIVATION_ENERGY = "MS:1000509"
ELECTRONVOLT = "UO:0000266"
ION_INJECTION_TIME = "MS:1000927"
MILLISECOND = "UO:0000028"
TOTAL_ION_CURRENT = "MS:1000285"
BASE_PEAK_MZ = "MS:1000504"
BASE_PEAK_INTENSITY = "MS:1000505"
LOWEST_OBSERVED_MZ = "MS:1000528"
HIGHEST_OBSERVED_MZ = "MS:1000527"
MZ = "MS:1000040"
DETECTOR_COUNTS = "MS:1000131"
UNIT_VOCABULARY = "UO"

SOFTWARE_ID = "kestrune"
SOURCE_FILE_ID = "source"
PROCESSING_ID = "export"
PSI_MS_URI = "http://purl.obolibrary.org/obo/ms/psi-ms.obo"


_vocabulary_cache: _BundledVocabularies | None = None


class _BundledVocabularies(OBOCache):  # type: ignore[misc]  # psims is untyped
    """The vocabularies bundled with psims: no network, no cache directory in the
    working directory, and the same vocabulary versions (so the same bytes) every time."""

    def __init__(self) -> None:
        super().__init__(enabled=False, use_remote=False)

    def resolve(self, uri: str) -> IO[bytes] | None:
        return self.fallback(uri)

    def fallback(self, uri: str) -> IO[bytes] | None:
        # psims hands out its bundled copies as gzip streams over a file it never
        # closes; read each whole and close both.
        stream = super().fallback(uri)
        if stream is None:
            return None
        inner = getattr(stream, "fileobj", None)
        with stream:
            data = stream.read()
        if inner is not None:
            inner.close()
        return io.BytesIO(data)


def bundled_vocabularies() -> _BundledVocabularies:
    """The vocabularies bundled with psims, made once: what a psims writer resolves terms from."""
    global _vocabulary_cache
    if _vocabulary_cache is None:
        _vocabulary_cache = _BundledVocabularies()
    return _vocabulary_cache


@functools.cache
def psi_ms_vocabulary() -> ControlledVocabulary:
    """The PSI-MS vocabulary bundled with psims, loaded once and without the network.

    Hand it to pyteomics' mzML readers as `cv=`: without one they fetch the vocabulary
    over the network (into a .obo_cache directory) at every opening."""
    return bundled_vocabularies().load(PSI_MS_URI)


def kestrune_version() -> str:
    try:
        return version("kestrune")
    except PackageNotFoundError:
        return "unknown"


def run_start_time(run: Run) -> str | None:
    """The file's creation date as the run's start time (UTC, RFC 3339), where the
    header holds one (0 means none; a date past year 9999 is no date an acquisition
    can have)."""
    seconds = int(run.creation_date)
    if seconds <= 0:
        return None
    try:
        stamp = datetime.fromtimestamp(seconds, tz=timezone.utc)
    except (OverflowError, OSError, ValueError):
        return None
    return stamp.strftime("%Y-%m-%dT%H:%M:%SZ")
