"""kestrune info: what a run holds, at a glance."""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
from pathlib import Path
from typing import Any

from kestrune_tools.batch import Outcome, guarded
from kestrune_tools.cli.common import ExitStatus, report_error, write_line
from kestrune_tools.cli.needs import require_tools
from kestrune_tools.cli.profile_option import add_profile_option, warn_if_generic
from kestrune_tools.text import escaped

NAME = "info"
SUMMARY = "header values, scan counts, rt range, method, logs of one run"
METHOD_LINES = 10
DESCRIPTION = f"""\
Print what FILE holds: its File profile and why it has it, its size, the header values (format version, creation date
in UTC, number of scans), the scan count of each MS level, the retention-time range
(minutes, over the finite times), the first {METHOD_LINES} lines of the instrument
method, the status-log labels and the error log. Reads only the byte ranges these
need, except that the status-log and error-log searches read the whole file where
it holds no log.

A creation time that is no calendar date (past year 9999) is shown as its seconds
since 1970 (in JSON: creation_date null, creation_seconds always). Control and
escape characters of the file's texts and name are shown escaped (\\x1b); the JSON
output is strict (a NaN or infinite value is null).

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
    add_profile_option(parser)


def describe(path: Path, profile: str | None = None) -> dict[str, Any]:
    """The values `info` prints, as JSON-ready values (read with `profile`, or the
    path's own profile for None)."""
    import numpy as np  # here, so that the command line's other commands and --help need none

    import kestrune_tools as kt
    from kestrune_tools.parquet import creation_time

    with kt.open_run(path, profile) as run:
        rts = run.retention_times()
        rts = rts[np.isfinite(rts)]  # a NaN or infinite time is no point of the range
        created = creation_time(run)
        return {
            "path": os.fspath(path),
            "profile": run.profile,
            "profile_reason": run.profile_reason,
            "size": path.stat().st_size,
            "version": run.version,
            "creation_date": created.isoformat() if created is not None else None,
            "creation_seconds": int(run.creation_date),
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
        f"File profile:      {values['profile']} ({values['profile_reason']})",
        f"size:              {values['size']} bytes",
        f"version:           {values['version']}",
        f"creation date:     {creation_text(values)}",
        f"scans:             {values['num_scans']} ({levels or 'none'})",
        f"rt range:          {rt_range[0]:.4f} to {rt_range[1]:.4f} min" if rt_range else "rt range:          -",
        "instrument method:" + ("" if shown else " none"),
        *("  " + line for line in shown),
        f"status-log labels: {len(values['status_log_labels'])}",
        *("  " + label for label in values["status_log_labels"]),
        f"error log:         {len(values['error_logs'])}",
        *("  " + entry for entry in values["error_logs"]),
    ]
    return "\n".join(map(escaped, lines))


def creation_text(values: dict[str, Any]) -> str:
    if values["creation_date"] is not None:
        return str(values["creation_date"])
    return f"{values['creation_seconds']} s since 1970 (no calendar date)"


def strict_json(value: Any) -> Any:
    """`value` with every NaN or infinite float as None: JSON has no such numbers."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {key: strict_json(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [strict_json(item) for item in value]
    return value


def run(args: argparse.Namespace) -> int:
    require_tools(NAME)
    path: Path = args.file
    outcome = guarded(str(path), lambda: Outcome.done(str(path), "described", describe(path, args.profile)))
    if outcome.value is None:
        report_error(path, outcome.reason or "failed")
        return ExitStatus.FAILED
    warn_if_generic(path, args.profile)
    text = json.dumps(strict_json(outcome.value), indent=2, allow_nan=False) if args.json else as_text(outcome.value)
    # Standard output closed early (`| head -1`): what was asked was not all shown.
    return ExitStatus.OK if write_line(text, sys.stdout) else ExitStatus.FAILED
