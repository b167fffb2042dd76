"""The PROXI spectra service of `kestrune serve`, free of any web framework.

    service = ProxiService(RunCatalogue([Path("archive")]), collection="USI000000")
    spectra = service.spectra([("resultType", "full"), ("usi", "mzspec:USI000000:run17:scan:42")])

A request names a spectrum by its USI; the answer is a list of one PROXI spectrum
object, or a `ProxiError` that the server sends as the PROXI error object.

What is served and how a run name finds its file:

- The runs are the .raw files found under the served paths, as `kestrune convert`
  finds them. A run is known by its path within its served folder: `[a/b]run17`
  is `a/b/run17.raw`; a file served by name is at the top. A file whose real place
  is outside the served folders (through a link) is never served.
- A run name is only ever compared with the names of the runs found: no file name is
  made from it, so `..`, absolute paths or odd characters find nothing.
- `<msRun>` is the file name, or the name without its extension; `.raw` in any case,
  and the peak list extensions a converted copy of the run would carry, are
  understood. Asked without its `[folder]` prefix, a name that two folders hold is
  ambiguous.
- The folders are searched again when a name is not found (at most every
  `MISS_RESCAN_SECONDS`) and, whatever the requests, every `RESCAN_SECONDS`: runs
  added later are found without a restart.
- Open runs are kept in a bounded cache (`OpenRuns`), each reopened when its file
  changed and checked once more to be the file found, just before it is opened.
"""

from __future__ import annotations

import collections
import math
import os
import threading
import time
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

from kestrune_tools.inputs import Discovery, discover_inputs, is_panic, is_raw_name
from kestrune_tools.usi import MalformedUsi, Usi, parse_usi

if TYPE_CHECKING:
    from kestrune_tools.runs import Run, Spectrum

__all__ = ["DEFAULT_COLLECTION", "OpenRuns", "ProxiError", "ProxiService", "RunCatalogue", "ServedRun"]

DEFAULT_COLLECTION = "USI000000"  # the USI placeholder for a collection with no public identifier
RESCAN_SECONDS = 30.0
MISS_RESCAN_SECONDS = 0.5
OPEN_RUNS = 32
# The extensions a USI's run name may carry for the same run, compared without regard to case.
RUN_EXTENSIONS = (".raw", ".mzml", ".mzxml", ".mgf")
RESULT_TYPES = ("full", "compact")
# Ten digits hold every scan number the reader takes (up to 4294967295).
MAX_SCAN_DIGITS = 10


# -- errors


@dataclass(frozen=True)
class ProxiError(Exception):
    """A request that gets no spectrum: sent as the PROXI error object. `detail` names
    only what the request said, never a path of this machine."""

    status: int
    kind: str
    title: str
    detail: str

    def body(self) -> dict[str, Any]:
        # `code` and `message` are the error object's fields in the PROXI API's own
        # definition; `type`, `title`, `status` and `detail` are what clients read.
        return {"type": self.kind, "title": self.title, "status": self.status, "detail": self.detail,
                "code": self.status, "message": self.detail}


def bad_request(detail: str) -> ProxiError:
    return ProxiError(400, "MalformedRequest", "Malformed request", detail)


def not_found(kind: str, title: str, detail: str) -> ProxiError:
    return ProxiError(404, kind, title, detail)


def not_implemented(kind: str, detail: str) -> ProxiError:
    return ProxiError(501, kind, "Not implemented", detail)


# -- the runs served


@dataclass(frozen=True)
class ServedRun:
    """A run found under a served path: where it is read, and its name in USIs."""

    path: Path
    real_path: str  # where the path led when found; a path that leads elsewhere later is refused
    folder: str  # its folder within the served folder, "/"-separated, "" at the top
    file_name: str

    @property
    def stem(self) -> str:
        return self.file_name[:-len(".raw")] if is_raw_name(Path(self.file_name)) else self.file_name

    @property
    def usi_name(self) -> str:
        """Its `<msRun>` in a USI that names its folder: `[a/b]run17`, `[]run17` at the top."""
        return f"[{self.folder}]{self.stem}"


@dataclass
class Found:
    """One search of the served paths."""

    runs: list[ServedRun] = field(default_factory=list)
    outside: list[Path] = field(default_factory=list)  # led outside the served folders
    unreadable: list[tuple[Path, str]] = field(default_factory=list)


def find_runs(paths: Sequence[Path]) -> Found:
    """The runs under `paths` (folders searched as `kestrune convert` searches them;
    files served as given), each real file once."""
    found = Found()
    seen: set[str] = set()
    for path in paths:
        discovery: Discovery = discover_inputs([path])
        found.unreadable += discovery.unreadable_folders
        for candidate in discovery.inputs:
            run = _served(path, candidate) if path.is_dir() else _served_file(candidate)
            if run is None:
                found.outside.append(candidate)
            elif run.real_path not in seen:
                seen.add(run.real_path)
                found.runs.append(run)
    return found


def _served(root: Path, candidate: Path) -> ServedRun | None:
    real_root, real = os.path.realpath(root), os.path.realpath(candidate)
    if os.path.commonpath([real_root, real]) != real_root:
        return None
    relative = candidate.relative_to(root)
    return ServedRun(candidate, real, "/".join(relative.parent.parts), relative.name)


def _served_file(candidate: Path) -> ServedRun:
    return ServedRun(candidate, os.path.realpath(candidate), "", candidate.name)


class RunCatalogue:
    """The runs under the served paths, by name; searched again as the module says."""

    def __init__(self, paths: Sequence[Path]) -> None:
        self.paths = list(paths)
        self._lock = threading.Lock()
        self._by_name: dict[str, list[ServedRun]] = {}
        self._by_stem: dict[str, list[ServedRun]] = {}
        self._searched = -math.inf
        self.last = self.rescan()

    def rescan(self) -> Found:
        found = find_runs(self.paths)
        by_name: dict[str, list[ServedRun]] = collections.defaultdict(list)
        by_stem: dict[str, list[ServedRun]] = collections.defaultdict(list)
        for run in found.runs:
            by_name[run.file_name].append(run)
            by_stem[run.stem].append(run)
        self._by_name, self._by_stem = dict(by_name), dict(by_stem)
        self._searched = time.monotonic()
        self.last = found
        return found

    def __len__(self) -> int:
        return sum(len(runs) for runs in self._by_name.values())

    def find(self, folder: str | None, name: str) -> ServedRun:
        """The run of that name (in that folder, where given); ProxiError 404 where
        there is none, 400 where several folders hold it and none was named."""
        self._rescan_after(RESCAN_SECONDS)
        runs = self._matching(folder, name)
        if not runs and self._rescan_after(MISS_RESCAN_SECONDS):
            runs = self._matching(folder, name)
        if not runs:
            where = f" in the folder [{folder}]" if folder is not None else ""
            raise not_found("UnknownMsRun", "Unknown MS run", f"no run named {name!r}{where} is served")
        if len(runs) > 1:
            names = " and ".join(sorted(run.usi_name for run in runs))
            raise ProxiError(400, "AmbiguousMsRun", "Ambiguous MS run",
                             f"several folders hold a run named {name!r}: {names}; "
                             f"name one with its [folder] prefix ([] for the top folder)")
        return runs[0]

    def _rescan_after(self, seconds: float) -> bool:
        with self._lock:
            if time.monotonic() - self._searched < seconds:
                return False
            self.rescan()
            return True

    def _matching(self, folder: str | None, name: str) -> list[ServedRun]:
        """The runs the name means: its file name first, then its stem, then its stem
        with a run extension taken off."""
        for table, key in ((self._by_name, name), (self._by_stem, name), (self._by_stem, _without_extension(name))):
            runs = [run for run in table.get(key, []) if folder is None or run.folder == folder.strip("/")]
            if runs:
                return runs
        return []


def _without_extension(name: str) -> str:
    for extension in RUN_EXTENSIONS:
        if name.lower().endswith(extension) and len(name) > len(extension):
            return name[:-len(extension)]
    return name


# -- open runs


class RunGone(Exception):
    """The run's file is gone, cannot be read, or now leads outside the served folders."""


class OpenRuns:
    """At most `capacity` open runs, the least recently used dropped first. A run
    whose file changed (another file, size or modification time) is opened anew."""

    def __init__(self, capacity: int = OPEN_RUNS) -> None:
        self.capacity = capacity
        self._lock = threading.Lock()
        self._runs: collections.OrderedDict[str, tuple[tuple[int, ...], Run]] = collections.OrderedDict()

    def __len__(self) -> int:
        return len(self._runs)

    def get(self, served: ServedRun) -> Run:
        identity = _identity(served)
        key = os.fspath(served.path)
        with self._lock:
            cached = self._runs.get(key)
            if cached is not None and cached[0] == identity:
                self._runs.move_to_end(key)
                return cached[1]
            run = _open(served)
            self._runs[key] = (identity, run)
            self._runs.move_to_end(key)
            while len(self._runs) > self.capacity:
                # Dropped, not closed: a request may still be reading it; it closes
                # with its last reference.
                self._runs.popitem(last=False)
            return run

    def forget(self, served: ServedRun) -> None:
        with self._lock:
            self._runs.pop(os.fspath(served.path), None)


def _identity(served: ServedRun) -> tuple[int, ...]:
    if os.path.realpath(served.path) != served.real_path:
        raise RunGone
    try:
        status = os.stat(served.path)
    except OSError:
        raise RunGone from None
    return (status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns)


def _open(served: ServedRun) -> Run:
    from kestrune_tools.runs import open_run

    try:
        return open_run(served.path)
    except OSError:
        raise RunGone from None


# -- the spectra endpoint


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
            width = run.trailer(scan).get(ISOLATION_WIDTH_KEY)
            return run[scan], width if isinstance(width, float) else None
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


# -- the spectrum object

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
ISOLATION_WIDTH_KEY = "Isolation Width"


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
