"""Self-contained HTML quality-control reports of runs (needs the `report` extra).

    from kestrune_tools.report import write_run_report, write_batch
    write_run_report("run_orbitrap.raw", "run.html")            # one run, one page
    write_batch(["a_orbitrap.raw", "b_orbitrap.raw"], "qc/")    # a page per run and qc/index.html

Each page holds Bokeh's JavaScript inline and opens with no network. Texts read from
a file (instrument method, logs) appear as escaped text only.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
from numpy.typing import NDArray

from kestrune_tools.batch import Outcome, guarded, run_tasks
from kestrune_tools.jobs import page_name
from kestrune_tools.markup import isolated, levels_text, rt_text, text, visible
from kestrune_tools.outputs import atomic_output
from kestrune_tools.runs import Run, open_run

from ._digest import RunDigest, read_digest
from ._figures import overlay, run_layout
from ._page import render_page, run_sections

__all__ = ["FailedInput", "ReportJob", "RunSummary", "batch_jobs", "finish_batch", "report_file", "write_batch",
           "write_index", "write_run_report"]

PathLike = str | os.PathLike[str]


@dataclass(frozen=True)
class RunSummary:
    """What the batch page shows of a run whose page was written."""

    name: str
    path: str
    page: Path
    version: int
    level_counts: dict[int, int]
    rt_range: tuple[float, float] | None
    warnings: list[str]
    tic: tuple[NDArray[np.float64], NDArray[np.float64]] = field(repr=False)

    @property
    def scans(self) -> int:
        return sum(self.level_counts.values())


@dataclass(frozen=True)
class FailedInput:
    """An input that got no page, and why."""

    path: str
    reason: str


def write_run_report(run_or_path: Run | PathLike, destination: PathLike, profile: str | None = None) -> RunSummary:
    """Writes the report page of one run (an open run, or the path of a file, read with
    `profile` or, for None, the File profile its path selects)."""
    digest = digest_of(run_or_path, profile) if isinstance(run_or_path, (str, os.PathLike)) else \
        read_digest(run_or_path)
    return write_digest_page(digest, Path(destination))


def digest_of(path: PathLike, profile: str | None = None) -> RunDigest:
    with open_run(path, profile) as run:
        return read_digest(run)


def write_digest_page(digest: RunDigest, page: Path) -> RunSummary:
    before, after = run_sections(digest)
    write_page(page, render_page(f"{visible(digest.name)}: run report", run_layout(digest), before, after))
    return summarise(digest, page)


def write_page(page: Path, html: str) -> None:
    with atomic_output(page) as temporary:
        temporary.write_text(html, encoding="utf-8")


def summarise(digest: RunDigest, page: Path) -> RunSummary:
    _, rt, tic = digest.survey_trace(digest.scans.tic)
    return RunSummary(name=digest.name, path=digest.path, page=page, version=digest.version,
                      level_counts=digest.level_counts(), rt_range=digest.rt_range(),
                      warnings=list(digest.error_logs), tic=(rt, tic))


@dataclass(frozen=True)
class ReportJob:
    """One page of a batch: a plain value, so a process pool or a cluster can run it."""

    source: str
    page: str
    profile: str | None = None  # the File profile read with; None: the one the path selects

    def outputs(self) -> list[Path]:
        return [Path(self.page)]


REPORTED = "reported"
INDEX_PAGE = "index.html"


def report_file(job: ReportJob) -> Outcome[RunSummary]:
    """The page of one input; a bad input becomes a failed Outcome, never an error. The
    run is read whole first, so that an input that changed meanwhile gets no page."""
    read = guarded(job.source, lambda: Outcome.done(job.source, REPORTED, digest_of(job.source, job.profile)))
    digest = read.value
    if digest is None:
        return Outcome.failed(job.source, read.reason or "failed")
    return guarded(job.source, lambda: Outcome.done(job.source, REPORTED, write_digest_page(digest, Path(job.page))),
                   watch_input=False)


def write_batch(inputs: Iterable[PathLike], directory: PathLike, *, workers: int = 1, scheduler: str | None = None,
                failed: Sequence[FailedInput] = (), record: Callable[[Outcome[RunSummary]], None] | None = None,
                ) -> list[RunSummary | FailedInput]:
    """Writes a page per input file into `directory` (made if missing) and the batch
    page `index.html` there. An input that cannot be read is listed on the batch page
    with its reason (as are the `failed` given), and the others still get their pages.
    The pages are written by `workers` local processes or on the Dask cluster at
    `scheduler`; `record` sees each input's outcome as it ends."""
    out = Path(directory)
    out.mkdir(parents=True, exist_ok=True)
    jobs = batch_jobs(inputs, out)
    return finish_batch(jobs, run_tasks(report_file, jobs, workers=workers, scheduler=scheduler), out,
                        failed=failed, record=record)


def batch_jobs(inputs: Iterable[PathLike], directory: Path, profile: str | None = None) -> list[ReportJob]:
    """A page job per input, each page named apart from the others and the index."""
    taken = {INDEX_PAGE}
    return [ReportJob(os.fspath(path), os.fspath(directory / page_name(Path(path).stem, taken)), profile)
            for path in inputs]


def finish_batch(jobs: Sequence[ReportJob], outcomes: Iterable[tuple[int, Outcome[RunSummary]]], directory: Path, *,
                 failed: Sequence[FailedInput] = (), record: Callable[[Outcome[RunSummary]], None] | None = None,
                 ) -> list[RunSummary | FailedInput]:
    """Takes the pages' outcomes as they end (`record` sees each), then writes the
    batch page; answers what became of each input, the `failed` first."""
    results: list[RunSummary | FailedInput] = [FailedInput(job.source, "not reported") for job in jobs]
    for index, outcome in outcomes:
        if record is not None:
            record(outcome)
        results[index] = outcome.value if outcome.kind == "done" and outcome.value is not None else FailedInput(
            outcome.source, outcome.reason or "failed")
    write_index([*failed, *results], directory / INDEX_PAGE)
    return [*failed, *results]


def write_index(outcomes: Sequence[RunSummary | FailedInput], destination: PathLike) -> None:
    """Writes the batch page: the runs' TICs overlaid, a table of scans and warnings
    per run linking each run's page, and the inputs that failed with their reason."""
    index = Path(destination)
    runs = [o for o in outcomes if isinstance(o, RunSummary)]
    failed = [o for o in outcomes if isinstance(o, FailedInput)]
    table = "".join(
        f"<tr><td class=\"short\">{k}</td><td class=\"name\"><a href=\"{text(relative_link(run.page, index.parent))}\">"
        f"{isolated(run.name)}</a></td><td class=\"short\">{run.version}</td><td class=\"short\">{run.scans}</td>"
        f"<td class=\"short\">{text(levels_text(run.level_counts))}</td><td class=\"short\">{text(rt_text(run.rt_range))}</td>"
        f"<td class=\"entries{' bad' if run.warnings else ''}\">{len(run.warnings)}"
        f"{''.join(isolated(w) for w in run.warnings)}</td></tr>"
        for k, run in enumerate(runs, 1))
    before = (
        f"<h1>Batch report: {len(runs)} run{'s' if len(runs) != 1 else ''}</h1>"
        "<table class=\"runs\"><tr><th>#</th><th>Run</th><th>Version</th><th>Scans</th><th>Per MS level</th>"
        f"<th>Retention time</th><th>Warnings</th></tr>{table}</table>"
    )
    after = ""
    if failed:
        after = (f"<h2 class=\"bad\">Inputs without a page ({len(failed)})</h2><table>"
                   + "".join(f"<tr><td>{isolated(f.path)}</td><td>{isolated(f.reason)}</td></tr>" for f in failed)
                   + "</table>")
    figure = overlay([run.name for run in runs], [run.tic for run in runs])
    write_page(index, render_page("Batch report", figure, before, after))


def relative_link(page: Path, base: Path) -> str:
    from urllib.parse import quote

    return quote(os.path.relpath(page, base).replace(os.sep, "/"))
