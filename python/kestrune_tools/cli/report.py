"""kestrune report: self-contained HTML quality-control pages of runs."""

from __future__ import annotations

import argparse
import importlib.util
import os
from pathlib import Path

from kestrune_tools.cli.batch_command import BatchPlan, Outcomes, add_batch_options, add_input_arguments, run_batch
from kestrune_tools.cli.common import Progress, UsageError
from kestrune_tools.inputs import Discovery
from kestrune_tools.jobs import name_collisions

NAME = "report"
SUMMARY = "self-contained HTML quality-control pages of runs"
DESCRIPTION = """\
Write a quality-control page of each run: header values, scan counts per MS level,
rt range, error log and status-log labels; zoomable TIC and base-peak chromatograms
with the MS2 scans marked; injection time per scan, precursor m/z against rt, the
precursor charges; a spectrum viewer (pick a scan with the slider, or tap an MS2
marker); the instrument method, collapsed. Each page holds all its JavaScript and
styles, so it opens with no network (from a file, or an email attachment).

  kestrune report FILE -o PAGE.html             one page
  kestrune report FILE_OR_DIR... -o OUTDIR      a page per run (OUTDIR/<stem>.html)
                                                and OUTDIR/index.html across them

The second form applies to several inputs, a folder among them, or an -o naming an
existing folder or ending with "/" (made if missing). The index overlays the runs' TICs, lists scans and warnings per run
with a link to each page, and lists the inputs that failed with their reason; the
others still get their pages; a run that changes while it is read gets none. Two
runs whose pages would share a name (OUTDIR/<stem>.html, the stem's characters other
than letters, digits, ".", "_" and "-" as "_", compared without regard to case) are
refused before anything is written. Pages are written under a temporary name and
renamed into place when complete. Inputs are never written: a page that would be an input, an
existing .raw file or the same file as one is refused. One command at a time writes
into a folder (it holds .kestrune.lock there for the batch): a second one is
refused at once, exit status 2. Needs the extra: pip install 'kestrune[report]'.

Exit status: 0 every page written, 1 some file failed (or a folder could not be
listed), 2 usage error (such as a folder that cannot be made or written)."""
EPILOG = """\
examples:
  kestrune report run17.raw -o run17.html
  kestrune report /archive/2024-05 -o qc/ -j 4"""


def configure(parser: argparse.ArgumentParser) -> None:
    add_input_arguments(parser)
    parser.add_argument("-o", "--output", required=True, metavar="PAGE_OR_OUTDIR",
                        help="the page to write (one FILE), or the folder for the pages and index.html "
                             "(made if missing; end it with / to make one for a single FILE)")
    add_batch_options(parser)


def run(args: argparse.Namespace) -> int:
    if importlib.util.find_spec("bokeh") is None:
        raise UsageError("reports need Bokeh: pip install 'kestrune[report]'")
    from kestrune_tools.report import REPORTED, FailedInput, ReportJob, batch_jobs, finish_batch, report_file

    output = Path(args.output)

    def plan(discovery: Discovery) -> BatchPlan[ReportJob]:
        failed = [FailedInput(str(folder), reason) for folder, reason in discovery.failures()]
        if one_page(args, discovery):
            job = ReportJob(str(discovery.inputs[0]), str(output), args.profile)
            return BatchPlan(folder=output.parent, outputs=[output], task=report_file, items=[job],
                             in_this_process=True)
        jobs = batch_jobs(discovery.inputs, output, args.profile)

        def finish(outcomes: Outcomes, progress: Progress) -> None:
            finish_batch(jobs, outcomes, output, failed=failed, record=progress.record)

        return BatchPlan(folder=output, outputs=[output / "index.html", *(Path(job.page) for job in jobs)],
                         task=report_file, items=jobs, collisions=name_collisions(discovery.inputs, pages=True),
                         finish=finish)

    return run_batch(args, NAME, REPORTED, plan)


def one_page(args: argparse.Namespace, discovery: Discovery) -> bool:
    """Whether the command writes the page of its one input at -o (rather than a page
    per run and an index into the folder -o)."""
    return len(args.inputs) == 1 and not discovery.failures() and not Path(args.inputs[0]).is_dir() \
        and not Path(args.output).is_dir() and not args.output.endswith(("/", os.sep))
