"""Prints what kestrune reads from an acquisition file.

    python examples/summary.py            # writes the demo run ./run_orbitrap.raw and reads it
    python examples/summary.py run.raw    # reads the given file

With no argument it leaves a small synthetic demo run, run_orbitrap.raw, in the
current folder (an existing file of that name is read, never overwritten), for the
README's snippets and commands to try.

The File profile is chosen from the path: a path containing "orbitrap" selects the
orbitrap profile, one containing "small.RAW" the small profile, any other the
generic profile, whose scans repeat one peak block and hold no retention times.
"""

from __future__ import annotations

import os
import sys
from datetime import datetime, timezone

import kestrune
from kestrune_tools.synthetic import demo_run

DEMO_RUN = "run_orbitrap.raw"


def print_header(reader: kestrune.RawFileReader, path: str) -> None:
    created = datetime.fromtimestamp(int(reader.creation_date), tz=timezone.utc)
    print(f"file:      {path}")
    print(f"version:   {reader.version}")
    print(f"created:   {created:%Y-%m-%d %H:%M:%S} UTC ({reader.creation_date} s)")
    print(f"scans:     {reader.num_scans}")


def print_scan_table(reader: kestrune.RawFileReader, limit: int = 12) -> None:
    print()
    print(f"{'scan':>5} {'rt (min)':>9} {'inj (ms)':>9} {'master':>6} {'z':>3} {'mono m/z':>10}")
    spectra = reader.list_spectra()
    for summary in spectra[:limit]:
        print(
            f"{summary['scan_number']:>5} {summary['rt']:>9.3f} {summary['injection_time']:>9.2f} "
            f"{summary['master_scan']:>6} {summary['charge']:>3} {summary['monomz']:>10.4f}"
        )
    if len(spectra) > limit:
        print(f"  ... {len(spectra) - limit} more scans")


def print_peaks(reader: kestrune.RawFileReader, scan: int, shown: int = 5) -> None:
    print()
    found = reader.native_get_peaks(scan)
    if found is None:
        print(f"scan {scan}: no peaks found")
        return
    mz, intensity = found
    strongest = sorted(range(len(mz)), key=lambda i: intensity[i], reverse=True)[:shown]
    print(f"scan {scan}: {len(mz)} peaks, m/z {min(mz):.4f} to {max(mz):.4f}; the strongest:")
    for i in sorted(strongest):
        print(f"  m/z {mz[i]:>10.4f}  intensity {intensity[i]:>12.1f}")


def print_trailer(reader: kestrune.RawFileReader, scan: int) -> None:
    print()
    print(f"trailer of scan {scan}:")
    for key, value in reader.get_trailer_extra(scan).items():
        print(f"  {key}: {value!r}")


def print_instrument_method(reader: kestrune.RawFileReader, lines: int = 6) -> None:
    report = reader.get_instrument_method(0)
    print()
    if not report:
        print("instrument method: none found")
        return
    print("instrument method (first lines):")
    for line in report.splitlines()[:lines]:
        print(f"  {line}")


def print_logs(reader: kestrune.RawFileReader) -> None:
    print()
    print("status-log labels:", reader.get_status_log_labels())
    print("error log:        ", reader.get_error_logs())


def summarise(path: str) -> None:
    reader = kestrune.RawFileReader(path)
    print_header(reader, path)
    print_scan_table(reader)
    print_peaks(reader, 1)
    print_trailer(reader, 2)
    print_instrument_method(reader)
    print_logs(reader)


def main(argv: list[str]) -> int:
    if len(argv) > 1:
        summarise(argv[1])
        return 0
    if os.path.exists(DEMO_RUN):
        print(f"(reading the existing {DEMO_RUN}; remove it to write the demo run afresh)")
    else:
        demo_run().write(DEMO_RUN)
    summarise(DEMO_RUN)
    print()
    print(f"the demo run is {os.path.abspath(DEMO_RUN)}: try `kestrune info {DEMO_RUN}`")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
