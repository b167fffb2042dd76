"""kestrune report: self-contained HTML quality-control pages of runs."""

from __future__ import annotations

import argparse
import importlib.util
import os
from pathlib import Path

from kestrune_tools.batch import Outcome, SchedulerError, discover_inputs, guarded
from kestrune_tools.cli.common import Progress, UsageError, add_batch_options, add_input_arguments, \
    discovery_failures, refuse_nothing_to_do, refuse_stem_collisions, refuse_writing_inputs, writing_into

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
others still get their pages. Pages are written under a temporary name and renamed
into place when complete. Inputs are never written: a page that would be an input, an
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
    from kestrune_tools.report import FailedInput, write_batch, write_run_report

    output = Path(args.output)
    discovery = discover_inputs(args.inputs)
    refuse_nothing_to_do(discovery)
    empty = [FailedInput(str(folder), reason) for folder, reason in discovery_failures(discovery)]
    one_page = len(args.inputs) == 1 and not empty and not Path(args.inputs[0]).is_dir() \
        and not output.is_dir() and not args.output.endswith(("/", os.sep))
    if not one_page:
        refuse_stem_collisions(discovery.inputs)
    refuse_writing_inputs([output] if one_page else batch_pages(discovery.inputs, output), discovery.inputs)
    with writing_into(output.parent if one_page else output), \
            Progress(len(discovery.inputs), command=NAME, enabled=not args.no_progress, failed=len(empty),
                     done_word="reported") as progress:
        for failure in empty:
            progress.error(failure.path, failure.reason)
        if one_page:
            source = str(discovery.inputs[0])
            progress.record(guarded(source, lambda: Outcome(source, "converted", rows=write_run_report(source, output))))
        else:
            try:
                write_batch(discovery.inputs, output, workers=args.jobs, scheduler=args.scheduler, failed=empty,
                            record=progress.record)
            except SchedulerError as error:
                raise UsageError(str(error)) from None
    return progress.status


def batch_pages(inputs: list[Path], folder: Path) -> list[Path]:
    """The pages a batch writes into `folder`, named as `write_batch` names them."""
    from kestrune_tools.report import page_name

    taken = {"index.html"}
    return [folder / "index.html", *(folder / page_name(path.stem, taken) for path in inputs)]
