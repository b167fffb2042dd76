"""kestrune info: what a run holds, at a glance."""

from __future__ import annotations

import argparse
import json
import os
from pathlib import Path
from typing import Any

from kestrune_tools.batch import Outcome, guarded
from kestrune_tools.cli.common import ExitStatus, report_error

NAME = "info"
SUMMARY = "header values, scan counts, rt range, method, logs of one run"
METHOD_LINES = 10
DESCRIPTION = f"""\
Print what FILE holds: its size, the header values (format version, creation date
in UTC, number of scans), the scan count of each MS level, the retention-time range
(minutes), the first {METHOD_LINES} lines of the instrument method, the status-log
labels and the error log. Reads only the byte ranges these need, except that the
status-log and error-log searches read the whole file where it holds no log.

Exit status: 0 done, 1 the file cannot be read, 2 usage error."""
EPILOG = """\
examples:
  kestrune info run17.raw
  kestrune info run17.raw --json | jq .scans_by_ms_level"""


def configure(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("file", type=Path, metavar="FILE", help="a .raw file")
    parser.add_argument("--json", action="store_true",
                        help="print one JSON object instead of text (the same values, the "
                             "instrument method whole)")


def describe(path: Path) -> dict[str, Any]:
    """The values `info` prints, as JSON-ready values."""
    import kestrune_tools as kt
    from kestrune_tools.parquet import creation_time

    with kt.open_run(path) as run:
        rts = run.retention_times()
        return {
            "path": os.fspath(path),
            "size": path.stat().st_size,
            "version": run.version,
            "creation_date": creation_time(run).isoformat(),
            "num_scans": len(run),
            "scans_by_ms_level": {str(level): count for level, count in
                                  run.summary()["scans_by_ms_level"].items()},
            "rt_range_minutes": [float(rts.min()), float(rts.max())] if len(rts) else None,
            "instrument_method": run.instrument_method(),
            "status_log_labels": run.status_log_labels(),
            "error_logs": run.error_logs(),
        }


def as_text(values: dict[str, Any]) -> str:
    method = values["instrument_method"].splitlines()
    shown = method[:METHOD_LINES] + ([f"... ({len(method) - METHOD_LINES} more lines)"]
                                     if len(method) > METHOD_LINES else [])
    levels = ", ".join(f"MS{level}: {count}" for level, count in values["scans_by_ms_level"].items())
    rt_range = values["rt_range_minutes"]
    lines = [
        f"file:              {values['path']}",
        f"size:              {values['size']} bytes",
        f"version:           {values['version']}",
        f"creation date:     {values['creation_date']}",
        f"scans:             {values['num_scans']} ({levels or 'none'})",
        f"rt range:          {rt_range[0]:.4f} to {rt_range[1]:.4f} min" if rt_range else "rt range:          -",
        "instrument method:" + ("" if shown else " none"),
        *("  " + line for line in shown),
        f"status-log labels: {len(values['status_log_labels'])}",
        *("  " + label for label in values["status_log_labels"]),
        f"error log:         {len(values['error_logs'])}",
        *("  " + entry for entry in values["error_logs"]),
    ]
    return "\n".join(lines)


def run(args: argparse.Namespace) -> int:
    path: Path = args.file
    outcome = guarded(str(path), lambda: Outcome(str(path), "converted", rows=describe(path)))
    if outcome.status == "failed":
        report_error(path, outcome.reason or "failed")
        return ExitStatus.FAILED
    print(json.dumps(outcome.rows, indent=2) if args.json else as_text(outcome.rows))
    return ExitStatus.OK
