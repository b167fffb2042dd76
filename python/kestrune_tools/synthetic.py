"""Synthetic acquisition files for the examples, tests and benchmarks.

A file is described as byte pieces laid at absolute offsets; everything between
them stays zero. Files are written sparse (the gaps are holes), so a file of
several gigabytes costs no disk and little time.

The layout rules mirror what the reader expects: the header fields, the scan
index and trailer records of the orbitrap profile, the retention-time table and
version-57 blocks of the small profile.
"""

from __future__ import annotations

import math
import os
import random
import struct
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field

# Header fields.
FALLBACK_VERSION_AT = 12
CREATION_TIME_AT = 16
VERSION_AT = 36
HEADER_LENGTH = 40

# Orbitrap profile: the scan index (a u32 data length then the float64 retention
# time, 88 bytes a scan) and the 558-byte trailer record of each scan.
ORBITRAP_INDEX_AT = 6_464_170
ORBITRAP_INDEX_STRIDE = 88
ORBITRAP_FIRST_SCAN_AT = 3666
TRAILER_AT = 6_514_414
TRAILER_STRIDE = 558

# Small profile: the retention-time table and the version-57 metadata blocks.
SMALL_RT_AT = 1_481_842
SMALL_RT_STRIDE = 72
SMALL_BLOCK_AT = 1_492_161
SMALL_BLOCK_STRIDE = 254
SMALL_SCAN_OFFSETS = (88820, 118112, 105244, 109492, 117780, 124332, 129828, 135892, 295708, 146733)

SCAN_COUNTS = {57: 48, 66: 145}


def scan_count(version: int) -> int:
    return SCAN_COUNTS.get(version, 100)


def orbitrap_minimum_length(version: int) -> int:
    """The shortest orbitrap-profile file whose scan index fits."""
    return ORBITRAP_INDEX_AT + ORBITRAP_INDEX_STRIDE * (scan_count(version) - 1) + 4


def trailer_at(scan_number: int) -> int:
    return TRAILER_AT + TRAILER_STRIDE * (scan_number - 1)


@dataclass
class Trailer:
    """The fields of one orbitrap trailer record (text fields as raw bytes)."""

    injection_time: float = 0.0
    master_scan: int = 0
    monoisotopic_mz: float = 0.0
    charge: int = 0
    elapsed_time: float = 0.0
    resolution: int = 0
    ms_order_byte: int = 0
    agc: bytes = b""
    collision_energy: bytes = b""
    hcd_energy: bytes = b""
    isolation_width: float = 0.0

    def pack(self) -> bytes:
        record = bytearray(140)
        record[0:13] = self.agc.ljust(13, b"\0")[:13]
        # The AGC field's last byte is also the first byte of the injection time.
        struct.pack_into("<f", record, 12, self.injection_time)
        struct.pack_into("<f", record, 16, self.elapsed_time)
        struct.pack_into("<I", record, 21, self.resolution)
        record[29] = self.ms_order_byte
        struct.pack_into("<i", record, 62, self.master_scan)
        struct.pack_into("<d", record, 66, self.monoisotopic_mz)
        record[74] = self.charge
        record[75:91] = self.collision_energy.ljust(16, b"\0")[:16]
        record[100:116] = self.hcd_energy.ljust(16, b"\0")[:16]
        struct.pack_into("<f", record, 125, self.isolation_width)
        return bytes(record)


@dataclass
class RawFile:
    """Byte pieces at absolute offsets, and a length of at least their end."""

    pieces: dict[int, bytes] = field(default_factory=dict)
    length: int = HEADER_LENGTH

    def put(self, offset: int, data: bytes) -> "RawFile":
        self.pieces[offset] = bytes(data)
        self.length = max(self.length, offset + len(data))
        return self

    def pack(self, offset: int, fmt: str, *values: float) -> "RawFile":
        return self.put(offset, struct.pack("<" + fmt, *values))

    def header(self, version: int = 66, fallback_version: int = 0, creation_time: int = 0) -> "RawFile":
        self.pack(FALLBACK_VERSION_AT, "I", fallback_version)
        self.pack(CREATION_TIME_AT, "Q", creation_time)
        return self.pack(VERSION_AT, "I", version)

    def at_least(self, length: int) -> "RawFile":
        self.length = max(self.length, length)
        return self

    def orbitrap_index(self, lengths: Iterable[int], retention_times: Iterable[float]) -> "RawFile":
        """Scan index entries for scans 1, 2, ...: data lengths and retention times."""
        for k, (size, rt) in enumerate(zip(lengths, retention_times)):
            self.pack(ORBITRAP_INDEX_AT + ORBITRAP_INDEX_STRIDE * k, "Id", size, rt)
        return self

    def trailer(self, scan_number: int, record: Trailer) -> "RawFile":
        return self.put(trailer_at(scan_number), record.pack())

    def small_retention_time(self, scan_number: int, rt: float) -> "RawFile":
        return self.pack(SMALL_RT_AT + SMALL_RT_STRIDE * (scan_number - 1), "d", rt)

    def small_block(self, scan_number: int, injection_time: float) -> "RawFile":
        block = struct.pack("<f", injection_time).ljust(40, b"\0")
        return self.put(SMALL_BLOCK_AT + SMALL_BLOCK_STRIDE * (scan_number - 1), block)

    def to_bytes(self) -> bytes:
        data = bytearray(self.length)
        for offset, piece in self.pieces.items():
            data[offset : offset + len(piece)] = piece
        return bytes(data)

    def write(self, path: str | os.PathLike[str]) -> str:
        """Writes the file sparse: the pieces at their offsets, holes between them."""
        with open(path, "wb") as out:
            out.truncate(self.length)
            for offset in sorted(self.pieces):
                out.seek(offset)
                out.write(self.pieces[offset])
        return os.fspath(path)


DEMO_SCAN_LENGTH = 2600  # room for a wide block of up to 216 peaks


def demo_peaks(scan: int, survey: bool) -> tuple[list[float], list[float]]:
    """Peaks of one demo scan: rising m/z values with a few strong isotope clusters."""
    rng = random.Random(scan)
    count = 200 if survey else 80
    low, high = (350.0, 1500.0) if survey else (120.0, 400.0 + 12.5 * scan)
    mz = sorted(rng.uniform(low, high) for _ in range(count))
    centres = [rng.uniform(low, high) for _ in range(4)]
    intensity = [
        rng.uniform(1e3, 2e4) + sum(5e5 * math.exp(-(((m - c) / 2.0) ** 2)) for c in centres) for m in mz
    ]
    return mz, intensity


def demo_file() -> RawFile:
    """A small orbitrap acquisition of version 66: 145 scans, every fourth a survey
    scan followed by three fragment scans of its precursors."""
    raw = RawFile().header(version=66, creation_time=133_444_736_000_000_000)
    count = scan_count(66)
    lengths = [DEMO_SCAN_LENGTH + 16 * (k % 7) for k in range(count)]
    rts = [0.25 + 0.05 * k for k in range(count)]
    raw.orbitrap_index(lengths, rts)
    offset = ORBITRAP_FIRST_SCAN_AT
    for scan in range(1, count + 1):
        survey = (scan - 1) % 4 == 0
        raw.put(offset, wide_block(*demo_peaks(scan, survey)))
        offset += lengths[scan - 1]
        raw.trailer(
            scan,
            Trailer(
                injection_time=20.0 if survey else 54.5,
                master_scan=0 if survey else scan - (scan - 1) % 4,
                monoisotopic_mz=0.0 if survey else 400.0 + 12.5 * scan,
                charge=0 if survey else 2 + scan % 2,
                elapsed_time=0.12,
                resolution=120_000 if survey else 30_000,
                ms_order_byte=0 if survey else 1,
                # Text fields padded with spaces, which the reader trims.
                agc=b"1.0e6".ljust(13),
                collision_energy=b" " * 16 if survey else b"30.0".ljust(16),
                hcd_energy=b" " * 16 if survey else b"30".ljust(16),
                isolation_width=0.0 if survey else 1.6,
            ),
        )
    return raw



# ---------------------------------------------------------------------------
# The demo run: a small data-dependent acquisition that looks like one. Peptide
# ions elute as Gaussian chromatographic peaks; every survey scan holds their
# isotope envelopes over a low noise floor, and the three fragment scans after it
# pick the three strongest ions eluting there, as a top-3 method would.


@dataclass(frozen=True)
class DemoAnalyte:
    """One peptide ion of the demo run: m/z of its monoisotopic peak, charge, apex
    retention time and peak width (sigma, minutes), and height at the apex."""

    mz: float
    charge: int
    apex_rt: float
    sigma: float
    height: float

    def abundance(self, rt: float) -> float:
        return self.height * math.exp(-0.5 * ((rt - self.apex_rt) / self.sigma) ** 2)


DEMO_ANALYTES = (
    DemoAnalyte(524.265, 2, 7.2, 0.55, 4.0e6),
    DemoAnalyte(445.120, 2, 3.1, 0.45, 1.6e6),
    DemoAnalyte(722.325, 3, 4.6, 0.60, 2.2e6),
    DemoAnalyte(613.310, 2, 5.8, 0.40, 1.2e6),
    DemoAnalyte(785.842, 2, 8.9, 0.50, 2.8e6),
    DemoAnalyte(571.287, 2, 10.4, 0.70, 1.9e6),
    DemoAnalyte(937.480, 2, 11.8, 0.45, 1.4e6),
    DemoAnalyte(652.838, 2, 12.9, 0.55, 2.4e6),
    DemoAnalyte(488.763, 2, 6.5, 0.35, 0.9e6),
    DemoAnalyte(1021.510, 3, 9.7, 0.60, 1.1e6),
)
DEMO_RT_START = 0.5  # minutes
DEMO_RT_STEP = 0.1
NEUTRON = 1.003355
ISOTOPE_SHARES = (1.0, 0.85, 0.45, 0.18)
DEMO_PRECURSOR_FLOOR = 2.0e4  # weaker ions are not picked for fragmentation
DEMO_SURVEY_NOISE_PEAKS = 150
DEMO_FRAGMENT_PEAKS = 80


def demo_run_rt(scan: int) -> float:
    return DEMO_RT_START + DEMO_RT_STEP * (scan - 1)


def demo_noise_height(rt: float) -> float:
    """The noise floor of a survey scan: low, rising gently through the gradient."""
    return 2.0e3 * (1.0 + 0.4 * math.sin(math.pi * rt / 15.0))


def demo_survey_peaks(scan: int) -> tuple[list[float], list[float]]:
    """Isotope envelopes of the eluting ions over noise, in rising m/z."""
    rng = random.Random(scan)
    rt = demo_run_rt(scan)
    floor = demo_noise_height(rt)
    peaks = [(rng.uniform(350.0, 1500.0), floor * rng.uniform(0.3, 1.5)) for _ in range(DEMO_SURVEY_NOISE_PEAKS)]
    for analyte in DEMO_ANALYTES:
        abundance = analyte.abundance(rt)
        for k, share in enumerate(ISOTOPE_SHARES):
            # Below the noise floor an ion is no peak of its own.
            if abundance * share > floor * 0.5:
                peaks.append((analyte.mz + k * NEUTRON / analyte.charge, abundance * share))
    peaks.sort()
    return [mz for mz, _ in peaks], [height for _, height in peaks]


def demo_precursors(survey_scan: int, picks: int = 3) -> list[DemoAnalyte]:
    """The `picks` strongest ions eluting at the survey scan (fewer where fewer rise
    above the fragmentation floor)."""
    rt = demo_run_rt(survey_scan)
    ranked = sorted(DEMO_ANALYTES, key=lambda analyte: analyte.abundance(rt), reverse=True)
    return [analyte for analyte in ranked[:picks] if analyte.abundance(rt) >= DEMO_PRECURSOR_FLOOR]


def demo_fragment_peaks(scan: int, precursor: DemoAnalyte | None) -> tuple[list[float], list[float]]:
    """Fragments of one precursor: the same ladder of ions in each of its scans (seeded
    by the precursor), scaled by its abundance; noise only without a precursor."""
    rng = random.Random(scan)
    if precursor is None:
        mz = sorted(rng.uniform(120.0, 900.0) for _ in range(DEMO_FRAGMENT_PEAKS))
        return mz, [rng.uniform(50.0, 400.0) for _ in mz]
    ladder = random.Random(round(precursor.mz * 1000))
    top = min(precursor.mz * precursor.charge, 1800.0)
    scale = precursor.abundance(demo_run_rt(scan)) * 0.05
    peaks = [(ladder.uniform(120.0, top), scale * ladder.uniform(0.05, 1.0) * rng.uniform(0.9, 1.1))
             for _ in range(DEMO_FRAGMENT_PEAKS)]
    peaks.sort()
    return [mz for mz, _ in peaks], [height for _, height in peaks]


def demo_run() -> RawFile:
    """A small orbitrap acquisition of version 66 that looks like a run: 145 scans
    over 0.5 to 14.9 minutes, every fourth a survey scan followed by three fragment
    scans of the strongest ions eluting there, with an instrument method and logs.
    Write it under a name holding "orbitrap" (`examples/summary.py` writes it as
    run_orbitrap.raw)."""
    raw = RawFile().header(version=66, creation_time=133_444_736_000_000_000)
    count = scan_count(66)
    lengths = [DEMO_SCAN_LENGTH + 16 * (k % 7) for k in range(count)]
    raw.orbitrap_index(lengths, [demo_run_rt(scan) for scan in range(1, count + 1)])
    offset = ORBITRAP_FIRST_SCAN_AT
    precursors: list[DemoAnalyte] = []
    for scan in range(1, count + 1):
        position = (scan - 1) % 4
        if position == 0:
            precursors = demo_precursors(scan)
            raw.put(offset, wide_block(*demo_survey_peaks(scan)))
            raw.trailer(scan, demo_survey_trailer())
        else:
            precursor = precursors[position - 1] if position <= len(precursors) else None
            raw.put(offset, wide_block(*demo_fragment_peaks(scan, precursor)))
            raw.trailer(scan, demo_fragment_trailer(scan - position, precursor))
        offset += lengths[scan - 1]
    return with_demo_texts(raw)


def demo_survey_trailer() -> Trailer:
    return Trailer(injection_time=20.0, elapsed_time=0.12, resolution=120_000, agc=b"3.0e6".ljust(13),
                   collision_energy=b" " * 16, hcd_energy=b" " * 16)


def demo_fragment_trailer(master_scan: int, precursor: DemoAnalyte | None) -> Trailer:
    # A fragment scan without a precursor is still an MS2 scan of its survey scan,
    # with no precursor m/z or charge recorded.
    return Trailer(
        injection_time=54.5, master_scan=master_scan,
        monoisotopic_mz=precursor.mz if precursor else 0.0, charge=precursor.charge if precursor else 0,
        elapsed_time=0.12, resolution=30_000, ms_order_byte=1, agc=b"1.0e5".ljust(13),
        collision_energy=b"30.0".ljust(16), hcd_energy=b"30".ljust(16), isolation_width=1.6,
    )

# ---------------------------------------------------------------------------
# Embedded texts: the XML instrument method report and the UTF-16 texts of the
# status log and the error log.

XML_DECLARATION = b'<?xml version="1.0" encoding="utf-8"?>'
STATUS_LOG_MARKER = "Coulombmeter"
ERROR_LOG_MARKER = "Possible spray instability"


def method_xml(body: str = "<Method>HCD 30</Method>", end: str = "</InstrumentMethod>") -> bytes:
    """An instrument method report: the declaration, the method element, its end."""
    return XML_DECLARATION + b"<InstrumentMethod>" + body.encode() + end.encode()


def utf16(text: str) -> bytes:
    """The UTF-16LE units of `text`; a lone surrogate such as "\\ud800" stays one unit."""
    return text.encode("utf-16-le", "surrogatepass")


def units(*values: int) -> bytes:
    """Raw 16-bit little-endian units."""
    return struct.pack(f"<{len(values)}H", *values)


def text_runs(*texts: str, separator: int = 0) -> bytes:
    """UTF-16 texts, each followed by one separator unit (a control unit by default)."""
    return b"".join(utf16(text) + units(separator) for text in texts)


DEMO_METHOD_AT = 1_000_000  # inside the first 4 MiB, clear of the scan data
DEMO_LOGS_AT = 6_700_000  # after the orbitrap trailer records


def with_demo_texts(raw: RawFile) -> RawFile:
    """Adds an instrument method report, status-log labels and error-log warnings."""
    method = method_xml(
        "\n  <Instrument>demo instrument</Instrument>\n  <Scan>Full MS, 120000 resolution</Scan>\n"
        "  <Scan>dd-MS2, HCD 30</Scan>\n"
    )
    raw.put(DEMO_METHOD_AT, method)
    status = text_runs(STATUS_LOG_MARKER, "Ion Gauge (E-5 Torr)", "Fore Vacuum (mbar)", "Analyzer Temperature (C)")
    warnings = text_runs(ERROR_LOG_MARKER, "Spray current low", "Spray current low", "Fan speed below limit")
    # A unit above 256 after the last warning ends the error log before the labels.
    return raw.put(DEMO_LOGS_AT, warnings + units(0x2000, 0) + status)


# ---------------------------------------------------------------------------
# Peak blocks: a u32 peak count followed by that many records. Version 66 files
# hold wide records (float64 m/z, float32 intensity), every other version narrow
# ones (float32 m/z, float32 intensity).

WIDE_RECORD = 12
NARROW_RECORD = 8


def wide_block(mz: Sequence[float], intensity: Sequence[float] | None = None, count: int | None = None) -> bytes:
    """A wide peak block; `count` overrides the stored count (for implausible ones)."""
    intensity = intensity if intensity is not None else [1.0] * len(mz)
    records = b"".join(struct.pack("<df", m, i) for m, i in zip(mz, intensity))
    return struct.pack("<I", len(mz) if count is None else count) + records


def narrow_block(mz: Sequence[float], intensity: Sequence[float] | None = None, count: int | None = None) -> bytes:
    """A narrow peak block; `count` overrides the stored count (for implausible ones)."""
    intensity = intensity if intensity is not None else [1.0] * len(mz)
    records = b"".join(struct.pack("<ff", m, i) for m, i in zip(mz, intensity))
    return struct.pack("<I", len(mz) if count is None else count) + records


def rising_mz(count: int, first: float = 100.0, step: float = 0.5) -> list[float]:
    """m/z values that pass every plausibility test from `first` on."""
    return [first + step * k for k in range(count)]


def orbitrap_peak_file(scan_lengths: Sequence[int] = ()) -> RawFile:
    """A version-66 file long enough for the orbitrap profile (write it under a name
    holding "orbitrap"). Scan 1 starts at 3666, scan k + 1 at the start of scan k plus
    scan_lengths[k - 1]."""
    count = scan_count(66)
    lengths = list(scan_lengths) + [0] * (count - len(scan_lengths))
    raw = RawFile().header(version=66).at_least(orbitrap_minimum_length(66))
    return raw.orbitrap_index(lengths, [0.0] * count)
