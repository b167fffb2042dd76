"""Synthetic runs of every File profile and version, and what the reader says of them:
the oracle the export tests compare each format with."""

from __future__ import annotations

import os
import signal
from dataclasses import dataclass
from pathlib import Path

import numpy as np

import kestrune
from kestrune_tools.batch import Outcome
from kestrune_tools.runs import ms_level_rule
from kestrune_tools.synthetic import (
    SMALL_SCAN_OFFSETS,
    Trailer,
    demo_file,
    narrow_block,
    rising_mz,
    with_demo_texts,
)

# The file name selects the File profile.
PROFILE_NAMES = {"orbitrap": "run_orbitrap.raw", "small": "small.RAW", "generic": "plain.raw"}
CASES = [(profile, version) for profile in PROFILE_NAMES for version in (57, 66)]


def write_run(directory: Path, profile: str, version: int, name: str | None = None) -> Path:
    """The demo acquisition with its texts, plus small-profile tables and narrow peak
    blocks, so that every profile finds scans, peaks and precursors of its own."""
    raw = with_demo_texts(demo_file()).header(version, version, creation_time=133_444_736_000_000_000)
    # Scan 14, a fragment scan of survey scan 13, holds no precursor m/z, and scan 15
    # is an MS3 scan of it (an MS2 scan where the file holds no "MS Order").
    # Text fields padded with spaces, as the demo's are.
    raw.trailer(14, Trailer(injection_time=54.5, master_scan=13, ms_order_byte=1, resolution=30_000,
                            agc=b"1.0e6".ljust(13), collision_energy=b"30.0".ljust(16),
                            hcd_energy=b"30".ljust(16), isolation_width=1.6))
    raw.trailer(15, Trailer(injection_time=54.5, master_scan=14, monoisotopic_mz=587.5, charge=2,
                            ms_order_byte=2, resolution=30_000, agc=b"1.0e6".ljust(13),
                            collision_energy=b"35.0".ljust(16), hcd_energy=b"35".ljust(16)))
    for k in range(48):
        raw.small_retention_time(k + 1, 0.1 * k)
        raw.small_block(k + 1, 5.0 + k)
    for k, offset in enumerate(SMALL_SCAN_OFFSETS):
        raw.put(offset, narrow_block(rising_mz(120 + k, 150.0 + k), [1000.0 + 17.25 * j for j in range(120 + k)]))
    directory.mkdir(parents=True, exist_ok=True)
    return Path(raw.write(directory / (name or PROFILE_NAMES[profile])))


@dataclass
class Scan:
    """One scan as the reader answers it (no peak data: empty arrays)."""

    number: int
    ms_level: int
    rt: float
    mz: np.ndarray
    intensity: np.ndarray
    precursor_mz: float | None
    precursor_charge: int | None


def reader_scans(path: Path) -> list[Scan]:
    reader = kestrune.RawFileReader(str(path))
    scans = []
    for n in range(1, reader.num_scans + 1):
        level = ms_level_rule(reader.get_trailer_extra(n), reader.get_master_scan(n))
        peaks = reader.native_get_peaks(n)
        mz, intensity = peaks if peaks is not None else ([], [])
        msn = level >= 2
        mono, charge = reader.get_monoisotopic_mz(n), reader.get_charge_state(n)
        scans.append(Scan(n, level, reader.get_rt(n), np.array(mz, np.float64), np.array(intensity, np.float32),
                          mono if msn and mono > 0 else None, charge if msn and charge > 0 else None))
    return scans


def tables_of(source: str) -> Outcome:
    """A task answering Arrow tables: `source` rows, its name in the schema's metadata,
    and an empty slice of them."""
    import pyarrow as pa

    table = pa.table({"k": list(range(int(source)))}).replace_schema_metadata({"source": source})
    return Outcome.done(source, "converted", {"rows": table, "none": table.slice(0, 0), "count": int(source)})


def crash_on_marked(source: str) -> Outcome:
    """A task that kills its own worker process for a source named "crash"."""
    if source == "crash":
        os.kill(os.getpid(), signal.SIGKILL)
    return Outcome(source, "converted")
