"""The header, the File profiles, the scan caches and the per-scan queries."""

import math
import os
import struct

import pytest

import kestrune
from helpers import panics
from kestrune_tools.synthetic import (
    SMALL_BLOCK_AT,
    SMALL_RT_AT,
    SMALL_RT_STRIDE,
    RawFile,
    Trailer,
    orbitrap_minimum_length,
    scan_count,
    trailer_at,
)

PER_SCAN = ["get_rt", "get_injection_time", "get_master_scan", "get_charge_state", "get_monoisotopic_mz"]
SUMMARY_KEYS = ["scan_number", "rt", "injection_time", "master_scan", "charge", "monomz"]


def orbitrap_file(version=66, rts=None, lengths=None, trailers=None, length=None):
    n = scan_count(version)
    raw = RawFile().header(version=version)
    raw.orbitrap_index(lengths or [0] * n, rts or [0.0] * n)
    for scan, trailer in (trailers or {}).items():
        raw.trailer(scan, trailer)
    return raw.at_least(length or orbitrap_minimum_length(version))


@pytest.mark.parametrize(
    "at_36, at_12, version",
    [(66, 7, 66), (57, 7, 57), (65, 57, 57), (0, 57, 57), (67, 57, 57), (65, 12345, 12345), (1, 0, 0)],
)
def test_version_rule(open_raw, at_36, at_12, version):
    reader = open_raw(RawFile().header(version=at_36, fallback_version=at_12))
    assert reader.version == version
    assert reader.num_scans == scan_count(version)


@pytest.mark.parametrize(
    "ticks, text",
    [
        (0, "0"),
        (116444736000000000, "0"),
        (116444736009999999, "0"),
        (116444736010000000, "1"),
        (133444736000000000, "1700000000"),
        (133444736009999999, "1700000000"),
        (2**64 - 1, "1833029933770"),
    ],
)
def test_creation_date(open_raw, ticks, text):
    assert open_raw(RawFile().header(creation_time=ticks)).creation_date == text


def test_forty_byte_file_constructs_with_zero_caches(files):
    path = files / "plain.raw"
    path.write_bytes(b"\0" * 36 + struct.pack("<I", 57))
    reader = kestrune.RawFileReader(str(path))
    assert reader.num_scans == 48
    assert all(s[k] == 0 for s in reader.list_spectra() for k in SUMMARY_KEYS[1:])


@pytest.mark.parametrize("version", [57, 66, 0, 65, 12345])
def test_scan_count_and_listing_length(open_raw, version):
    reader = open_raw(RawFile().header(version=version))
    spectra = reader.list_spectra()
    assert len(spectra) == reader.num_scans == scan_count(version)
    assert [s["scan_number"] for s in spectra] == list(range(1, reader.num_scans + 1))


@pytest.mark.parametrize(
    "name, has_rt",
    [
        ("small.RAW", True),
        ("small.raw", False),
        ("Small.RAW", False),
        ("small.RAW.d/plain.raw", True),
        ("data_small.RAW_copy", True),
    ],
)
def test_small_profile_is_a_case_sensitive_substring(files, name, has_rt):
    raw = RawFile().header(version=57).small_retention_time(1, 4.5).small_retention_time(48, 9.25)
    path = files / name
    path.parent.mkdir(parents=True, exist_ok=True)
    reader = kestrune.RawFileReader(raw.write(path))
    assert (reader.get_rt(1), reader.get_rt(48)) == ((4.5, 9.25) if has_rt else (0.0, 0.0))


def test_small_profile_rt_table_clipped_by_file_length(open_raw):
    raw = RawFile().header(version=66)
    for scan in range(1, 146):
        raw.small_retention_time(scan, float(scan))
    # Cut the file inside the table: scans whose float64 does not fit read 0.0.
    cut = SMALL_RT_AT + SMALL_RT_STRIDE * 9 + 7
    data = raw.to_bytes()[:cut]
    reader = open_raw(RawFile().put(0, data), "small.RAW")
    assert [reader.get_rt(s) for s in range(1, 12)] == [float(s) for s in range(1, 10)] + [0.0, 0.0]


def test_small_profile_short_file_has_zero_retention_times(open_raw):
    reader = open_raw(RawFile().header(version=57).at_least(SMALL_RT_AT + 7), "small.RAW")
    assert all(reader.get_rt(s) == 0.0 for s in range(1, 49))


@pytest.mark.parametrize("version, with_metadata", [(57, True), (66, False), (3, False)])
def test_small_profile_version_57_blocks(open_raw, version, with_metadata):
    n = scan_count(version)
    raw = RawFile().header(version=version)
    raw.small_block(1, 12.5).small_block(2, 7.25)
    # Scan 3's block is cut short by the end of the file: it keeps the defaults.
    raw.at_least(SMALL_BLOCK_AT + 254 * 2 + 39)
    reader = open_raw(raw, "small.RAW")
    expected = [(12.5, -1), (7.25, -1), (0.0, 0)] if with_metadata else [(0.0, 0)] * 3
    assert [(reader.get_injection_time(s), reader.get_master_scan(s)) for s in (1, 2, 3)] == expected
    assert reader.get_charge_state(1) == 0 and reader.get_monoisotopic_mz(1) == 0.0
    assert reader.num_scans == n


def test_generic_profile_is_all_zero(open_raw):
    raw = orbitrap_file(rts=[1.0] * 145, trailers={1: Trailer(injection_time=5.0, charge=3)})
    reader = open_raw(raw, "Orbitrap.raw")
    assert all(s[k] == 0 for s in reader.list_spectra() for k in SUMMARY_KEYS[1:])


def test_orbitrap_profile_reads_index_and_trailer_records(open_raw):
    trailers = {
        1: Trailer(injection_time=12.5, master_scan=-7, monoisotopic_mz=445.12, charge=2),
        145: Trailer(injection_time=1.6, master_scan=144, monoisotopic_mz=1e300, charge=255),
    }
    rts = [0.5 * k for k in range(145)]
    reader = open_raw(orbitrap_file(rts=rts, trailers=trailers), "run_orbitrap.raw")
    assert [reader.get_rt(s) for s in range(1, 146)] == rts
    first = [getattr(reader, m)(1) for m in PER_SCAN]
    last = [getattr(reader, m)(145) for m in PER_SCAN]
    assert first == [0.0, 12.5, -7, 2, 445.12]
    assert last == [72.0, float(struct.unpack("<f", struct.pack("<f", 1.6))[0]), 144, 255, 1e300]


def test_orbitrap_in_a_directory_name_counts(files):
    directory = files / "orbitrap_runs"
    directory.mkdir()
    raw = orbitrap_file(rts=[2.0] * 145)
    reader = kestrune.RawFileReader(raw.write(directory / "plain.raw"))
    assert reader.get_rt(145) == 2.0


def test_orbitrap_special_floats_pass_unchanged(open_raw):
    trailers = {2: Trailer(injection_time=float("nan"), monoisotopic_mz=float("-inf"))}
    reader = open_raw(orbitrap_file(rts=[float("inf")] * 145, trailers=trailers), "orbitrap.raw")
    assert math.isnan(reader.get_injection_time(2))
    assert reader.get_monoisotopic_mz(2) == float("-inf")
    assert reader.get_rt(1) == float("inf")


@pytest.mark.parametrize("version", [57, 66, 100])
def test_orbitrap_minimum_length_boundary(files, version):
    minimum = orbitrap_minimum_length(version)
    assert minimum == {57: 6468310, 66: 6476846, 100: 6472886}[version]
    ok = kestrune.RawFileReader(orbitrap_file(version, length=minimum).write(files / "orbitrap.raw"))
    assert ok.num_scans == scan_count(version)
    short = RawFile().header(version=version).at_least(minimum - 1).write(files / "orbitrap.raw")
    panics(
        lambda: kestrune.RawFileReader(short),
        f"range end index {minimum} out of range for slice of length {minimum - 1}",
    )


@pytest.mark.parametrize(
    "length, message",
    [
        (40, "range start index 6464170 out of range for slice of length 40"),
        (1000000, "range start index 6464170 out of range for slice of length 1000000"),
        (6464170, "range end index 6464174 out of range for slice of length 6464170"),
        (6464172, "range end index 6464174 out of range for slice of length 6464172"),
        (6464257, "range start index 6464258 out of range for slice of length 6464257"),
        (6464261, "range end index 6464262 out of range for slice of length 6464261"),
    ],
)
def test_orbitrap_index_outside_the_file_panics(files, length, message):
    path = RawFile().header(version=66).at_least(length).write(files / "orbitrap.raw")
    panics(lambda: kestrune.RawFileReader(path), message)


def test_orbitrap_short_of_trailer_records_has_zero_metadata(open_raw):
    trailer = Trailer(injection_time=3.0, master_scan=5, monoisotopic_mz=500.0, charge=4)
    raw = orbitrap_file(rts=[1.5] * 145, trailers={1: trailer})
    data = raw.to_bytes()[: trailer_at(1) + 75]
    reader = open_raw(RawFile().put(0, data), "orbitrap.raw")
    assert [getattr(reader, m)(1) for m in PER_SCAN] == [1.5, 0.0, 0, 0, 0.0]
    # One more byte and the record's cached fields fit.
    reader = open_raw(RawFile().put(0, raw.to_bytes()[: trailer_at(1) + 76]), "orbitrap.raw")
    assert [getattr(reader, m)(1) for m in PER_SCAN] == [1.5, 3.0, 5, 4, 500.0]


def test_path_with_both_profiles_mixes_small_offsets_and_orbitrap_metadata(open_raw):
    raw = RawFile().header(version=57).small_retention_time(1, 6.5)
    raw.trailer(1, Trailer(injection_time=9.0, master_scan=3, monoisotopic_mz=321.5, charge=2))
    raw.small_block(1, 99.0)
    reader = open_raw(raw, "orbitrap_small.RAW")
    assert [getattr(reader, m)(1) for m in PER_SCAN] == [6.5, 9.0, 3, 2, 321.5]


@pytest.mark.parametrize("method", PER_SCAN)
@pytest.mark.parametrize("scan", [0, 146, 4294967295])
def test_out_of_range_scans_give_defaults(open_raw, method, scan):
    trailer = Trailer(injection_time=1.0, master_scan=1, monoisotopic_mz=1.0, charge=1)
    raw = orbitrap_file(rts=[1.0] * 145, trailers={s: trailer for s in (1, 145)})
    reader = open_raw(raw, "orbitrap.raw")
    result = getattr(reader, method)(scan)
    assert result == 0 and type(result) is type(getattr(reader, method)(145))
    assert getattr(reader, method)(145) == 1


def test_list_spectra_agrees_with_the_per_scan_methods(open_raw):
    trailers = {s: Trailer(injection_time=s / 4, master_scan=s - 1, monoisotopic_mz=300 + s, charge=s % 5) for s in range(1, 146, 3)}
    reader = open_raw(orbitrap_file(rts=[k / 3 for k in range(145)], trailers=trailers), "orbitrap.raw")
    spectra = reader.list_spectra()
    assert len(spectra) == 145
    for summary in spectra:
        assert list(summary) == SUMMARY_KEYS
        s = summary["scan_number"]
        assert [summary[k] for k in SUMMARY_KEYS[1:]] == [getattr(reader, m)(s) for m in PER_SCAN]
    assert spectra is not reader.list_spectra()


def test_initialize_caches_rebuilds_from_the_current_file(files):
    path = files / "orbitrap.raw"
    orbitrap_file(rts=[1.0] * 145, trailers={2: Trailer(charge=3)}).write(path)
    reader = kestrune.RawFileReader(str(path))
    assert reader.initialize_caches() is None
    orbitrap_file(rts=[2.0] * 145).write(path)
    assert reader.get_rt(1) == 1.0  # caches are not re-read on their own
    reader.initialize_caches()
    assert (reader.get_rt(1), reader.get_charge_state(2)) == (2.0, 0)


@pytest.mark.parametrize("damage", ["truncate", "delete", "directory"])
def test_failed_rebuild_leaves_the_record_unchanged(files, damage):
    path = files / "orbitrap.raw"
    orbitrap_file(rts=[1.25] * 145, trailers={1: Trailer(charge=2)}).write(path)
    reader = kestrune.RawFileReader(str(path))
    before = (reader.list_spectra(), reader.version, reader.creation_date)
    if damage == "truncate":
        os.truncate(path, 1000000)
        message = "range start index 6464170 out of range for slice of length 1000000"
    else:
        os.unlink(path)
        if damage == "directory":
            path.mkdir()
        message = "called `Option::unwrap()` on a `None` value"
    panics(reader.initialize_caches, message)
    assert (reader.list_spectra(), reader.version, reader.creation_date) == before
    assert reader.num_scans == 145


def test_relative_paths_are_reopened_from_the_current_directory(files, monkeypatch):
    monkeypatch.chdir(files)
    RawFile().header(version=57).small_retention_time(1, 3.0).write("small.RAW")
    reader = kestrune.RawFileReader("small.RAW")
    assert reader.get_rt(1) == 3.0
    other = files / "elsewhere"
    other.mkdir()
    monkeypatch.chdir(other)
    panics(reader.initialize_caches)
    RawFile().header(version=57).small_retention_time(1, 8.0).write("small.RAW")
    reader.initialize_caches()
    assert reader.get_rt(1) == 8.0
