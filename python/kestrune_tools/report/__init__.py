"""Self-contained HTML quality-control reports of runs (needs the `report` extra).

    from kestrune_tools.report import write_run_report, write_batch
    write_run_report("run_orbitrap.raw", "run.html")            # one run, one page
    write_batch(["a_orbitrap.raw", "b_orbitrap.raw"], "qc/")    # a page per run and qc/index.html

Each page holds Bokeh's JavaScript inline and opens with no network. Texts read from
a file (instrument method, logs) appear as escaped text only.
"""

from __future__ import annotations

import os
import re
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
from numpy.typing import NDArray

from kestrune_tools.runs import Run, open_run

from ._digest import RunDigest, read_digest
from ._figures import overlay, run_layout
from ._page import levels_text, render_page, rt_text, run_sections, text, write_atomically

__all__ = ["FailedInput", "RunSummary", "write_batch", "write_index", "write_run_report"]

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


def write_run_report(run_or_path: Run | PathLike, destination: PathLike) -> RunSummary:
    """Writes the report page of one run (an open run, or the path of a file)."""
    if isinstance(run_or_path, (str, os.PathLike)):
        with open_run(run_or_path) as run:
            digest = read_digest(run)
    else:
        digest = read_digest(run_or_path)
    page = Path(destination)
    before, after = run_sections(digest)
    write_atomically(page, render_page(f"{digest.name}: run report", run_layout(digest), before, after))
    return summarise(digest, page)


def summarise(digest: RunDigest, page: Path) -> RunSummary:
    scans = digest.scans
    survey = scans.ms_level == 1
    traced = survey if survey.any() else np.ones(len(survey), bool)
    order = np.argsort(scans.rt[traced], kind="stable")
    return RunSummary(name=digest.name, path=digest.path, page=page, version=digest.version,
                      level_counts=digest.level_counts(), rt_range=digest.rt_range(),
                      warnings=list(digest.error_logs), tic=(scans.rt[traced][order], scans.tic[traced][order]))


def write_batch(inputs: Iterable[PathLike], directory: PathLike) -> list[RunSummary | FailedInput]:
    """Writes a page per input file into `directory` (created if needed) and the
    batch page `index.html` there. An input that cannot be read is listed on the
    batch page with its reason; the others still get their pages."""
    out = Path(directory)
    out.mkdir(parents=True, exist_ok=True)
    outcomes: list[RunSummary | FailedInput] = []
    taken = {"index.html"}
    for path in inputs:
        page = out / page_name(Path(path).stem, taken)
        try:
            outcomes.append(write_run_report(path, page))
        except BaseException as error:
            if not is_input_failure(error):
                raise
            outcomes.append(FailedInput(os.fspath(path), failure_reason(error)))
    write_index(outcomes, out / "index.html")
    return outcomes


def page_name(file_name: str, taken: set[str]) -> str:
    """A page file name of safe characters, unique within the batch."""
    stem = re.sub(r"[^A-Za-z0-9._-]+", "_", file_name).strip("._") or "run"
    name, k = f"{stem}.html", 1
    while name.lower() in taken:
        k += 1
        name = f"{stem}-{k}.html"
    taken.add(name.lower())
    return name


def is_input_failure(error: BaseException) -> bool:
    """Errors that belong to one input: the reader's OSError family, bad values, and
    the reader's PanicException (a BaseException) for a file it cannot take."""
    kind = type(error)
    return isinstance(error, Exception) or (kind.__module__, kind.__name__) == ("kestrune_runtime", "PanicException")


def failure_reason(error: BaseException) -> str:
    message = str(error).strip().splitlines()
    return f"{type(error).__name__}: {message[0]}" if message else type(error).__name__


def write_index(outcomes: Sequence[RunSummary | FailedInput], destination: PathLike) -> None:
    """Writes the batch page: the runs' TICs overlaid, a table of scans and warnings
    per run linking each run's page, and the inputs that failed with their reason."""
    index = Path(destination)
    runs = [o for o in outcomes if isinstance(o, RunSummary)]
    failed = [o for o in outcomes if isinstance(o, FailedInput)]
    table = "".join(
        f"<tr><td><a href=\"{text(relative_link(run.page, index.parent))}\">{text(run.name)}</a></td>"
        f"<td>{run.version}</td><td>{run.scans}</td><td>{text(levels_text(run.level_counts))}</td>"
        f"<td>{text(rt_text(run.rt_range))}</td><td class=\"{'bad' if run.warnings else ''}\">{len(run.warnings)}"
        f"{''.join(f'<br>{text(w)}' for w in run.warnings)}</td></tr>"
        for run in runs)
    before = (
        f"<h1>Batch report: {len(runs)} run{'s' if len(runs) != 1 else ''}</h1>"
        "<table><tr><th>Run</th><th>Version</th><th>Scans</th><th>Per MS level</th><th>Retention time</th>"
        f"<th>Warnings</th></tr>{table}</table>"
    )
    after = ""
    if failed:
        after = (f"<h2 class=\"bad\">Inputs without a page ({len(failed)})</h2><table>"
                   + "".join(f"<tr><td>{text(f.path)}</td><td>{text(f.reason)}</td></tr>" for f in failed)
                   + "</table>")
    figure = overlay([run.name for run in runs], [run.tic for run in runs])
    write_atomically(index, render_page("Batch report", figure, before, after))


def relative_link(page: Path, base: Path) -> str:
    from urllib.parse import quote

    return quote(os.path.relpath(page, base).replace(os.sep, "/"))
