"""Draws one scan's peaks and the total-ion chromatogram of an acquisition file.

    python examples/plot_spectrum.py                      # a synthetic demo file
    python examples/plot_spectrum.py run_orbitrap.raw     # your own file
    python examples/plot_spectrum.py run.raw --scan 12 -o scan12.png

The upper panel is a stick plot of the chosen scan's peaks (m/z against
intensity); the lower panel sums each scan's intensities and plots the sums
against retention time, with the chosen scan marked. Without --scan the scan with
the largest summed intensity is drawn. Needs matplotlib: pip install '.[examples]'.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
from dataclasses import dataclass

import matplotlib

matplotlib.use("Agg")  # files only, no display needed

import matplotlib.pyplot as plt
import numpy as np
from numpy.typing import NDArray

import kestrune
from kestrune_tools.synthetic import demo_file


@dataclass
class Chromatogram:
    retention_times: NDArray[np.float64]
    total_intensities: NDArray[np.float64]


def scan_peaks(reader: kestrune.RawFileReader, scan: int) -> tuple[NDArray[np.float64], NDArray[np.float32]]:
    """The scan's peaks; empty arrays when the reader found none (it then answers
    with a single 0.0 in each array)."""
    mz, intensity = reader.get_peaks(scan)
    if len(mz) == 1 and mz[0] == 0.0 and intensity[0] == 0.0:
        return mz[:0], intensity[:0]
    return mz, intensity


def total_ion_chromatogram(reader: kestrune.RawFileReader) -> Chromatogram:
    scans = range(1, reader.num_scans + 1)
    rts = np.array([reader.get_rt(scan) for scan in scans], dtype=np.float64)
    totals = np.array(
        [scan_peaks(reader, scan)[1].sum(dtype=np.float64) for scan in scans], dtype=np.float64
    )
    return Chromatogram(rts, totals)


def draw(reader: kestrune.RawFileReader, title: str, scan: int | None, output: str) -> int:
    """Draws the figure into output and returns the scan that was drawn."""
    tic = total_ion_chromatogram(reader)
    if scan is None:
        scan = int(np.argmax(tic.total_intensities)) + 1 if reader.num_scans else 1
    mz, intensity = scan_peaks(reader, scan)

    figure, (spectrum_axes, tic_axes) = plt.subplots(2, 1, figsize=(9, 7), layout="constrained")
    figure.suptitle(title)

    spectrum_axes.set_title(f"scan {scan}, rt {reader.get_rt(scan):.3f} min, {len(mz)} peaks")
    spectrum_axes.set_xlabel("m/z")
    spectrum_axes.set_ylabel("intensity")
    if len(mz):
        spectrum_axes.vlines(mz, 0.0, intensity, linewidth=1.0, color="tab:blue")
        spectrum_axes.set_ylim(bottom=0.0)
    else:
        spectrum_axes.text(0.5, 0.5, "no peaks found for this scan", ha="center", va="center",
                           transform=spectrum_axes.transAxes)

    tic_axes.set_title("total-ion chromatogram")
    tic_axes.set_xlabel("retention time (min)")
    tic_axes.set_ylabel("summed intensity")
    tic_axes.plot(tic.retention_times, tic.total_intensities, linewidth=1.0, color="tab:gray")
    if 1 <= scan <= reader.num_scans:
        tic_axes.plot(tic.retention_times[scan - 1], tic.total_intensities[scan - 1], "o",
                      color="tab:red", label=f"scan {scan}")
        tic_axes.legend(loc="upper right")
    if not tic.total_intensities.any():
        tic_axes.text(0.5, 0.5, "no peaks found in any scan", ha="center", va="center",
                      transform=tic_axes.transAxes)
    tic_axes.set_ylim(bottom=0.0)

    figure.savefig(output, dpi=100)
    plt.close(figure)
    return scan


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    parser.add_argument("path", nargs="?", help="acquisition file (default: a synthetic demo file)")
    parser.add_argument("--scan", type=int, help="scan number to draw (default: the most intense)")
    parser.add_argument("-o", "--output", default="spectrum.png", help="PNG to write (default: %(default)s)")
    args = parser.parse_args(argv[1:])

    with tempfile.TemporaryDirectory(prefix="kestrune-demo-") as directory:
        # The word "orbitrap" in the demo file's name selects the orbitrap File profile.
        path = args.path or demo_file().write(os.path.join(directory, "demo_orbitrap.raw"))
        try:
            reader = kestrune.RawFileReader(path)
        except OSError as error:
            print(f"cannot open {path}: {error}", file=sys.stderr)
            return 1
        if args.scan is not None and not 1 <= args.scan <= reader.num_scans:
            print(f"scan {args.scan} is outside 1 to {reader.num_scans}", file=sys.stderr)
            return 1
        scan = draw(reader, os.path.basename(path), args.scan, args.output)
    print(f"wrote {args.output}: scan {scan} and the chromatogram of {reader.num_scans} scans")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
