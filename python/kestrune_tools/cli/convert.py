"""kestrune convert: export runs to mzML, MGF, Parquet or mzPeak."""

from __future__ import annotations

import argparse
from pathlib import Path

from kestrune_tools.cli.batch_command import BatchPlan, add_batch_options, add_input_arguments, run_batch
from kestrune_tools.cli.common import UsageError, positive_int
from kestrune_tools.cli.needs import require_tools
from kestrune_tools.inputs import Discovery
from kestrune_tools.jobs import (
    CONVERTED,
    FORMATS,
    export_worker_modules,
    ConvertJob,
    ExportOptions,
    convert_file,
    format_available,
    name_collisions,
)

NAME = "convert"
SUMMARY = "export runs to mzML, MGF, Parquet or mzPeak"
DESCRIPTION = """\
Export each run to OUTDIR, one task per input file:

  --to mzml      OUTDIR/<stem>.mzML      indexed mzML 1.1.0, every scan, TIC and BPC
  --to mgf       OUTDIR/<stem>.mgf       the MS2 scans that hold a precursor m/z
  --to parquet   OUTDIR/<stem>.scans.parquet   the scan table with the header values
                 OUTDIR/<stem>.peaks.parquet   scan_number, mz, intensity per peak
  --to mzpeak    OUTDIR/<stem>.mzpeak    mzPeak archive: every scan's metadata and
                                         peaks, TIC and BPC, in Parquet members

An MSn scan whose precursor m/z the file does not hold is left out of the MGF
(an entry without PEPMASS is not searchable, and some search engines stop at it),
and out of the mzML and mzPeak with --require-precursor; the summary line counts them. A run
with no scan to write to MGF (no MS2 scan, or none of --ms-level) has nothing to
write: no .mgf, a line naming it and why, counted apart in the summary ("N with
nothing to write"); that is no failure, and a rerun passes it over quietly.

Each output is written under a temporary name in OUTDIR and renamed into place
when complete, so an interrupted batch never leaves a partial file under a final
name. Beside each output, a hidden record (.<output>.source.json) says what it was
made from: the input's size, mtime, device and inode and a SHA-256 of its first and
last MiB, and the format and every option (a run with nothing to write gets such a
record too, without an output). A rerun skips an output only when its
record matches this input and these options (unless --overwrite), so it resumes
where an interrupted batch stopped and redoes what an option change or a changed
input makes stale. An input that changes while it is read fails, and none of its
new outputs is kept.

Inputs are never written: an output that would be an input, an existing .raw file
or the same file as one is refused. One command at a time writes into an OUTDIR (it
holds OUTDIR/.kestrune.lock for the batch): a second one is refused at once, exit
status 2; run it when the first has ended.

A bad input (missing, unreadable, a directory, too short, not a regular file) is
reported on one line naming the file and the reason; every other file is still
converted. An output that cannot be written (a full disk) fails its input, naming
the output. Two inputs with the same stem (compared without regard to case) would
write the same outputs: that is refused before anything is written.

Exit status: 0 all files converted, skipped or with nothing to write, 1 some file
failed (or a folder could not be listed), 2 usage error (such as an OUTDIR that
cannot be made or written, or that another command is writing into)."""
EPILOG = """\
examples:
  kestrune convert /archive/2024 -o /exports/mgf --to mgf
  kestrune convert a.raw b.raw -o out --to parquet --ms-level 2 -j 4
  kestrune convert /archive -o /shared/mzml --to mzml --scheduler tcp://head:8786
  kestrune convert /archive -o /search/mzml --to mzml --require-precursor"""


def configure(parser: argparse.ArgumentParser) -> None:
    add_input_arguments(parser)
    parser.add_argument("-o", "--outdir", required=True, type=Path, metavar="OUTDIR",
                        help="the folder for the outputs (made if missing)")
    parser.add_argument("--to", required=True, choices=sorted(FORMATS), dest="format_name",
                        help="the output format")
    parser.add_argument("--ms-level", type=positive_int, metavar="N",
                        help="only the scans of MS level N (default: every scan; for MGF the MS2 "
                             "scans, the level named in the file's first line)")
    parser.add_argument("--require-precursor", action="store_true",
                        help="mzML and mzPeak: leave out the MSn scans whose precursor m/z the file does not "
                             "hold, for search engines that refuse a file holding one (default: "
                             "every scan is written, such a scan with a precursor element that "
                             "names its master scan and isolation width but no m/z); MGF always "
                             "leaves them out")
    parser.add_argument("--overwrite", action="store_true",
                        help="write every output again, even those whose record says they were made "
                             "from this input with these options")
    add_batch_options(parser)
    mzml = parser.add_argument_group(
        "mzML and mzPeak options", "Values the .raw file does not hold. mzML and mzPeak state "
        "--polarity and --spectrum-type per spectrum, so they are yours to give; nothing is "
        "invented where you give none. --zlib is mzML's alone.")
    mzml.add_argument("--polarity", choices=["positive", "negative"],
                      help="the scan polarity to state (default: none; the spectra then state no polarity)")
    mzml.add_argument("--spectrum-type", choices=["centroid", "profile"], default="centroid",
                      help="whether the peaks are centroids or profile points (default: centroid)")
    mzml.add_argument("--zlib", action="store_true",
                      help="zlib-compress the binary arrays (default: off, for readers that "
                           "cannot decompress, and faster writing)")


def run(args: argparse.Namespace) -> int:
    require_tools(NAME)
    if not format_available(args.format_name):
        raise UsageError(f"--to {args.format_name} needs {FORMATS[args.format_name].module}, "
                         f"which this installation lacks")
    options = ExportOptions.from_arguments(args)

    def plan(discovery: Discovery) -> BatchPlan[ConvertJob]:
        jobs = [ConvertJob(str(source), str(args.outdir), args.format_name, options, args.overwrite)
                for source in discovery.inputs]
        return BatchPlan(folder=args.outdir, outputs=[path for job in jobs for path in job.outputs()],
                         task=convert_file, items=jobs, collisions=name_collisions(discovery.inputs))

    return run_batch(args, NAME, CONVERTED, plan, preload=export_worker_modules(args.format_name))
