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

import kestrune_tools as kt
from kestrune_tools.synthetic import demo_file


@dataclass
class Chromatogram:
    retention_times: NDArray[np.float64]
    total_intensities: NDArray[np.float64]


def total_ion_chromatogram(run: kt.Run) -> Chromatogram:
    """Every scan's summed intensity, whatever its MS level."""
    return Chromatogram(*run.tic(ms_level=None))


def draw(run: kt.Run, title: str, scan: int | None, output: str) -> int:
    """Draws the figure into output and returns the scan that was drawn."""
    tic = total_ion_chromatogram(run)
    if scan is None:
        scan = int(np.argmax(tic.total_intensities)) + 1 if len(run) else 1
    spectrum = run[scan]
    mz, intensity = spectrum.mz, spectrum.intensity  # empty for a scan without peaks

    figure, (spectrum_axes, tic_axes) = plt.subplots(2, 1, figsize=(9, 7), layout="constrained")
    figure.suptitle(title)

    spectrum_axes.set_title(f"scan {scan} (MS{spectrum.ms_level}), rt {spectrum.rt:.3f} min, {len(mz)} peaks")
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
    if scan in run:
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
            run = kt.open_run(path)
        except OSError as error:
            print(f"cannot open {path}: {error}", file=sys.stderr)
            return 1
        with run:
            if args.scan is not None and args.scan not in run:
                print(f"scan {args.scan} is outside 1 to {len(run)}", file=sys.stderr)
                return 1
            scan = draw(run, os.path.basename(path), args.scan, args.output)
            count = len(run)
    print(f"wrote {args.output}: scan {scan} and the chromatogram of {count} scans")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
