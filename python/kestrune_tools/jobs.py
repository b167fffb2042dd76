"""The per-file jobs of the commands: exporting a run, cataloguing it; the export
formats, their options, and the one rule that names every output.

A job is a plain picklable value and its task a module-level function, so that a
process pool and a Dask cluster run exactly the same code (`kestrune_tools.batch`).
"""

from __future__ import annotations

import importlib
import importlib.util
import re
from argparse import Namespace
from collections.abc import Callable, Mapping, Sequence
from dataclasses import asdict, dataclass, fields
from pathlib import Path
from typing import TYPE_CHECKING, Any, Literal

from kestrune_tools.batch.outcome import Outcome, guarded
from kestrune_tools.inputs import InputChanged, changed_since
from kestrune_tools.outputs import NothingToWrite, atomic_outputs, is_made_from, output_error, record_nothing, \
    record_source, source_identity, was_nothing_from

if TYPE_CHECKING:
    from kestrune_tools.catalog import RunRows
    from kestrune_tools.runs import Run


@dataclass(frozen=True)
class ExportOptions:
    """Options of the exports; the mzML ones name what the file does not hold. Each
    field is the `kestrune convert` option of the same name."""

    ms_level: int | None = None
    polarity: Literal["positive", "negative"] | None = None
    spectrum_type: Literal["centroid", "profile"] = "centroid"
    zlib: bool = False
    require_precursor: bool = False  # mzML: leave out MSn scans without a precursor m/z (MGF always does)
    profile: str | None = None  # the File profile read with; None: the one the path selects

    @classmethod
    def from_arguments(cls, args: Namespace) -> ExportOptions:
        return cls(**{option.name: getattr(args, option.name) for option in fields(cls)})


# -- the export formats

# A format's writer writes each of its files given a destination (by suffix; a file
# already made from this input gets none) and answers the number of MSn scans it left
# out for want of a precursor m/z. It raises `NothingToWrite` where the run holds
# nothing the format takes.
FormatWriter = Callable[["Run", Mapping[str, Path], ExportOptions], "int | None"]


@dataclass(frozen=True)
class ExportFormat:
    suffixes: tuple[str, ...]  # one output file per suffix: OUTDIR/<stem><suffix>
    module: str  # what writes it (an extra may lack it)
    writer: FormatWriter
    builds_arrow_tables: bool = False


def _write_mgf(run: Run, destinations: Mapping[str, Path], options: ExportOptions) -> int:
    from kestrune_tools.mgf import write_mgf

    return write_mgf(run, destinations[".mgf"], options.ms_level)


def _write_parquet(run: Run, destinations: Mapping[str, Path], options: ExportOptions) -> None:
    from kestrune_tools.parquet import write_parquet

    write_parquet(run, destinations.get(".scans.parquet"), destinations.get(".peaks.parquet"), options.ms_level)


def _write_mzml(run: Run, destinations: Mapping[str, Path], options: ExportOptions) -> int:
    mzml: Any = importlib.import_module(FORMATS["mzml"].module)
    settings = mzml.MzmlOptions(polarity=options.polarity, spectrum_type=options.spectrum_type,
                                compression=options.zlib)
    left_out: int = mzml.write_mzml(run, destinations[".mzML"], settings, ms_level=options.ms_level,
                                    require_precursor=options.require_precursor)
    return left_out


def _write_mzpeak(run: Run, destinations: Mapping[str, Path], options: ExportOptions) -> int:
    from kestrune_tools.mzpeak import write_mzpeak

    return write_mzpeak(run, destinations[".mzpeak"], ms_level=options.ms_level, polarity=options.polarity,
                        spectrum_type=options.spectrum_type, require_precursor=options.require_precursor)


FORMATS: dict[str, ExportFormat] = {
    "mzml": ExportFormat((".mzML",), "kestrune_tools.mzml", _write_mzml),
    "mgf": ExportFormat((".mgf",), "kestrune_tools.mgf", _write_mgf),
    "parquet": ExportFormat((".scans.parquet", ".peaks.parquet"), "kestrune_tools.parquet", _write_parquet,
                             builds_arrow_tables=True),
    "mzpeak": ExportFormat((".mzpeak",), "kestrune_tools.mzpeak", _write_mzpeak, builds_arrow_tables=True),
}

# What a worker process imports once, ahead of its tasks: the modules of the command's
# own tasks only, as the fork server imports them before the first worker starts
# (mzML's writer alone brings pandas, more than half a second).
#
# pyarrow imports pandas, where it is installed, at its first conversion of a value
# (`pa.array`, `pa.scalar`): exports that convert have the fork server import it once,
# where each worker would otherwise spend a sixth of a second on it at its first run.
# The catalog converts nothing (`kestrune_tools.arrow`).
ARROW_CONVERSIONS = ("pyarrow", "pandas")
CATALOG_WORKER_MODULES = ("kestrune_tools.jobs", "kestrune_tools.catalog")


def export_worker_modules(format_name: str) -> tuple[str, ...]:
    export = FORMATS[format_name]
    return "kestrune_tools.jobs", export.module, *(ARROW_CONVERSIONS if export.builds_arrow_tables else ())


def format_available(format_name: str) -> bool:
    return importlib.util.find_spec(FORMATS[format_name].module) is not None


def mzml_available() -> bool:
    return format_available("mzml")


# -- naming the outputs
#
# Every output of a batch is named after its input's file stem, then the output's
# suffix, in the output folder; a report page's stem keeps only the characters a link
# takes as they are. Names are compared without regard to case, as a
# case-insensitive file system would: two inputs whose outputs would share a name
# are refused by the command line before anything is written (`name_collisions`);
# the library's report batch, which has nobody to ask, tells their pages apart as
# <stem>-2.html (`page_name`).


def output_paths(source: Path, outdir: Path, format_name: str) -> list[Path]:
    return [outdir / (source.stem + suffix) for suffix in FORMATS[format_name].suffixes]


def link_safe(stem: str) -> str:
    """`stem` with every run of characters other than letters, digits, '.', '_' and
    '-' as one '_'."""
    return re.sub(r"[^A-Za-z0-9._-]+", "_", stem).strip("._") or "run"


def name_collisions(inputs: Sequence[Path], *, pages: bool = False) -> list[list[Path]]:
    """Groups of inputs whose outputs (report pages, with `pages`) would have the same
    names."""
    groups: dict[str, list[Path]] = {}
    for path in inputs:
        stem = link_safe(path.stem) if pages else path.stem
        groups.setdefault(stem.casefold(), []).append(path)
    return [group for group in groups.values() if len(group) > 1]


def page_name(file_stem: str, taken: set[str]) -> str:
    """The page of the run `file_stem` among the names `taken` (kept lower-case), which
    it joins: `<stem>.html`, or `<stem>-2.html` and on where that is taken."""
    stem = link_safe(file_stem)
    name, k = f"{stem}.html", 1
    while name.lower() in taken:
        k += 1
        name = f"{stem}-{k}.html"
    taken.add(name.lower())
    return name


# -- exporting one run

CONVERTED = "converted"


@dataclass(frozen=True)
class ConvertJob:
    """One input's export into `outdir` as `format_name`, a `Job` of the batch."""

    source: str
    outdir: str
    format_name: str
    options: ExportOptions = ExportOptions()
    overwrite: bool = False

    def outputs(self) -> list[Path]:
        return output_paths(Path(self.source), Path(self.outdir), self.format_name)

    def shaping_options(self) -> dict[str, Any]:
        """Everything that shapes the outputs: the format and every export option."""
        return {"format": self.format_name, **asdict(self.options)}


def convert_file(job: ConvertJob) -> Outcome[None]:
    """Writes the job's outputs that were not made from this very input with these
    options yet (all of them with `overwrite`), each under a temporary name first,
    and renames them into place only if the input did not change meanwhile. An input
    whose run had nothing to write with these options is skipped too."""
    finals = job.outputs()
    suffixes = FORMATS[job.format_name].suffixes

    def convert() -> Outcome[None]:
        made_from = {"input": source_identity(job.source), "options": job.shaping_options()}
        if not job.overwrite and all(was_nothing_from(final, made_from) for final in finals):
            return Outcome.skipped(job.source)
        parts = {suffix: final for suffix, final in zip(suffixes, finals)
                 if job.overwrite or not is_made_from(final, made_from)}
        if not parts:
            return Outcome.skipped(job.source)
        return _write_parts(job, parts, made_from)

    # The input is checked before the outputs are renamed in, with its whole identity.
    return guarded(job.source, convert, watch_input=False)


def _write_parts(job: ConvertJob, parts: dict[str, Path], made_from: dict[str, Any]) -> Outcome[None]:
    import kestrune_tools as kt

    finals = list(parts.values())
    pairs: list[tuple[Path, Path]] = []
    current = finals[0]  # the output an error names where it names no file of its own
    try:
        with atomic_outputs(finals) as temporaries:
            pairs = list(zip(finals, temporaries))
            with kt.open_run(job.source, job.options.profile) as run:
                # MSn scans without a precursor m/z that the outputs leave out
                left_out = FORMATS[job.format_name].writer(run, dict(zip(parts, temporaries)), job.options) or 0
            if changed_since(job.source, made_from["input"], source_identity):
                raise InputChanged  # so the outputs are never renamed in
            for final, temporary in pairs:
                record_source(final, temporary, made_from)
    except InputChanged as changed:
        return Outcome.failed(job.source, str(changed))
    except NothingToWrite as nothing:
        return _nothing_written(job, finals, made_from, nothing)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:  # the reader's PanicException is a BaseException
        if changed_since(job.source, made_from["input"], source_identity):
            return Outcome.failed(job.source, str(InputChanged()))
        reason = output_error(error, pairs, current)
        if reason is None:
            raise
        return Outcome.failed(job.source, reason)
    return Outcome.done(job.source, CONVERTED, left_out=left_out)


def _nothing_written(job: ConvertJob, finals: list[Path], made_from: dict[str, Any],
                     nothing: NothingToWrite) -> Outcome[None]:
    """Remembers, beside each output, that this input with these options has nothing
    to write, so that a rerun passes it over quietly."""
    if changed_since(job.source, made_from["input"], source_identity):
        return Outcome.failed(job.source, str(InputChanged()))
    for final in finals:
        record_nothing(final, made_from)
    return Outcome.nothing_to_write(job.source, str(nothing))


# -- cataloguing one run

CATALOGUED = "catalogued"


def catalog_file(source: str, profile: str | None = None) -> Outcome[RunRows]:
    """The catalog rows of one input (read with `profile`, or the one its path
    selects), in `Outcome.value`; none of an input that changed while it was read."""
    from kestrune_tools.catalog import run_rows

    return guarded(source, lambda: Outcome.done(source, CATALOGUED, run_rows(source, profile)))
