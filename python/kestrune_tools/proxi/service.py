"""The spectra endpoint: a request's query parameters checked, the USI it names read
from the run catalogue, and the PROXI spectrum object answered."""

from __future__ import annotations

from collections.abc import Iterable
from typing import TYPE_CHECKING, Any

from kestrune_tools.inputs import is_panic
from kestrune_tools.proxi.catalogue import RunCatalogue, ServedRun
from kestrune_tools.proxi.errors import ProxiError, bad_request, not_found, not_implemented
from kestrune_tools.proxi.open_runs import OpenRuns, RunGone
from kestrune_tools.proxi.spectrum import spectrum_object
from kestrune_tools.usi import MalformedUsi, Usi, parse_usi

if TYPE_CHECKING:
    from kestrune_tools.runs import Spectrum

DEFAULT_COLLECTION = "USI000000"  # the USI placeholder for a collection with no public identifier
RESULT_TYPES = ("full", "compact")
# Ten digits hold every scan number the reader takes (up to 4294967295).
MAX_SCAN_DIGITS = 10


class ProxiService:
    """Answers the PROXI spectra requests from the runs of `catalogue`."""

    def __init__(self, catalogue: RunCatalogue, collection: str = DEFAULT_COLLECTION,
                 open_runs: OpenRuns | None = None) -> None:
        self.catalogue = catalogue
        self.collection = collection
        self.open_runs = open_runs or OpenRuns()

    def spectra(self, params: Iterable[tuple[str, str]]) -> list[dict[str, Any]]:
        """The answer to `GET .../spectra` with these query parameters."""
        query = _single_values(params)
        result_type = query.get("resultType", "compact")
        if result_type not in RESULT_TYPES:
            raise bad_request(f"resultType is {result_type!r}; it must be full or compact")
        if "usi" not in query:
            raise bad_request("no usi given: ask for a spectrum with usi=mzspec:...")
        try:
            usi = parse_usi(query["usi"])
        except MalformedUsi as malformed:
            raise ProxiError(400, "MalformedUSI", "Malformed USI", f"the USI {malformed}") from None
        return [self.spectrum(usi, with_peaks=result_type == "full", usi_text=query["usi"])]

    def spectrum(self, usi: Usi, *, with_peaks: bool, usi_text: str) -> dict[str, Any]:
        if usi.collection != self.collection:
            raise not_found("UnknownCollection", "Unknown collection",
                            f"the collection {usi.collection!r} is not served here; this server serves "
                            f"{self.collection!r}")
        if usi.index_type != "scan":
            raise not_implemented("UnsupportedIndexType",
                                  f"the index type {usi.index_type!r} is not served; ask by scan number")
        scan = _scan_number(usi.index)
        served = self.catalogue.find(usi.run_folder, usi.run_name)
        spectrum, isolation_width = self._read(served, scan, usi)
        return spectrum_object(spectrum, usi_text, with_peaks, isolation_width)

    def _read(self, served: ServedRun, scan: int, usi: Usi) -> tuple[Spectrum, float | None]:
        """The scan and its isolation width (where its trailer holds one)."""
        gone = not_found("UnknownMsRun", "Unknown MS run", f"the run {usi.run_name!r} cannot be read now")
        try:
            run = self.open_runs.get(served)
            if scan not in run:
                raise not_found("UnknownScan", "Unknown scan",
                                f"the run {usi.run_name!r} has no scan {scan} (its scans are 1 to {len(run)})")
            spectrum = run[scan]
            return spectrum, spectrum.isolation_width
        except RunGone:
            self.open_runs.forget(served)
            raise gone from None
        except BaseException as error:
            if is_panic(error):  # the file changed under the reader in a way it refuses
                self.open_runs.forget(served)
                raise gone from None
            raise


def _single_values(params: Iterable[tuple[str, str]]) -> dict[str, str]:
    query: dict[str, str] = {}
    for name, value in params:
        if name in query and name in ("usi", "resultType"):
            raise bad_request(f"{name} is given more than once")
        query[name] = value
    return query


def _scan_number(index: str) -> int:
    if not (index.isascii() and index.isdigit()):
        raise ProxiError(400, "MalformedUSI", "Malformed USI", f"the scan number {index!r} is not a number")
    if len(index.lstrip("0")) > MAX_SCAN_DIGITS:
        raise not_found("UnknownScan", "Unknown scan", f"no run holds a scan {index}")
    return int(index)
