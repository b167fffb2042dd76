import math
import os

import pytest

from kestrune_tools.synthetic import RawFile, Trailer, orbitrap_minimum_length, trailer_at

CACHE_KEYS = ["Ion Injection Time (ms)", "Master Scan Number", "Charge State", "Monoisotopic M/Z",
              "Precursor Mass"]
ORBITRAP = "x_orbitrap.raw"
CACHED = dict(injection_time=12.5, master_scan=7, monoisotopic_mz=445.25, charge=255)
CACHED_VALUES = [12.5, 7, 255, 445.25, 445.25]


def orbitrap_file(record=None, version=66):
    raw = RawFile().header(version=version).at_least(orbitrap_minimum_length(version))
    return raw.trailer(1, record or Trailer(**CACHED))


def extra(open_raw, **fields):
    return open_raw(orbitrap_file(Trailer(**fields)), ORBITRAP).get_trailer_extra(1)


@pytest.mark.parametrize("version, name", [(57, "plain.raw"), (66, "plain.raw"), (66, "x_Orbitrap.raw"),
                                           (65, ORBITRAP)])
def test_outside_the_orbitrap_case_ms_order_is_one(open_raw, version, name):
    reader = open_raw(orbitrap_file(version=version), name)
    trailer = reader.get_trailer_extra(1)
    assert list(trailer) == CACHE_KEYS + ["MS Order"] and trailer["MS Order"] == 1
    # The five cache keys come from the trailer record only for an "orbitrap" path.
    expected = CACHED_VALUES if name == ORBITRAP else [0.0, 0, 0, 0.0, 0.0]
    assert list(trailer.values())[:5] == expected


@pytest.mark.parametrize("name", ["plain.raw", ORBITRAP])
@pytest.mark.parametrize("scan", [0, 146, 2**32 - 1])
def test_scan_outside_the_file_gives_an_empty_dictionary(open_raw, name, scan):
    assert open_raw(orbitrap_file(), name).get_trailer_extra(scan) == {}


def test_orbitrap_record_fields_in_order(open_raw):
    trailer = extra(open_raw, **CACHED, elapsed_time=0.12, resolution=2**32 - 1, ms_order_byte=1,
                    agc=b"1.0e6", collision_energy=b"30.0".center(16), hcd_energy=b"30".ljust(16),
                    isolation_width=1.6)
    assert trailer == {
        **dict(zip(CACHE_KEYS, CACHED_VALUES)),
        "Elapsed Scan Time (sec)": 0.11999999731779099, "Orbitrap Resolution": 2**32 - 1, "MS Order": 2,
        "HCD Energy eV": "30", "Activation Type": "HigherEnergyCollisionalDissociation",
        "Collision Energy": 30.0, "Isolation Width": 1.600000023841858, "AGC": "1.0e6\0\0\0\0\0\0\0\0",
    }
    assert list(trailer)[5:] == ["Elapsed Scan Time (sec)", "Orbitrap Resolution", "MS Order",
                                 "HCD Energy eV", "Activation Type", "Collision Energy", "Isolation Width",
                                 "AGC"]


@pytest.mark.parametrize("length, scan, full", [
    (trailer_at(1) + 139, 1, False), (trailer_at(1) + 140, 1, True), (trailer_at(1) + 140, 145, False)])
def test_short_orbitrap_file_keeps_only_the_cache_keys(open_raw, files, length, scan, full):
    reader = open_raw(orbitrap_file(), ORBITRAP)
    os.truncate(files / ORBITRAP, length)
    trailer = reader.get_trailer_extra(scan)
    assert ("MS Order" in trailer) == full and list(trailer)[:5] == CACHE_KEYS


def test_unreadable_file_keeps_only_the_cache_keys(open_raw, files):
    reader = open_raw(orbitrap_file(), ORBITRAP)
    os.remove(files / ORBITRAP)
    assert list(reader.get_trailer_extra(1)) == CACHE_KEYS


@pytest.mark.parametrize("byte, order", [(0, 1), (255, 256)])
def test_ms_order_is_the_record_byte_plus_one(open_raw, byte, order):
    assert extra(open_raw, ms_order_byte=byte)["MS Order"] == order


@pytest.mark.parametrize("field, expected", [
    (b" " * 16, None),
    (b"35" + b"\0" * 14, "35" + "\0" * 14),  # NUL is not white space: it stays in the text
    ("\u3000\u00a035\u2028".encode(), "35"),
    ("\x1c35".encode(), "\x1c35"),  # U+001C is not Unicode white space
    (b"A" * 14 + "\u20ac".encode()[:2], None),  # a character cut by the field's end
    (b"\xc0\xaf", None), (b"\xed\xa0\x80", None), (b"\xf4\x90\x80\x80", None), (b"\xff", None),
])
def test_hcd_text_and_activation_type_come_together(open_raw, field, expected):
    trailer = extra(open_raw, hcd_energy=field.ljust(16, b" "))
    assert trailer.get("HCD Energy eV") == expected
    assert ("Activation Type" in trailer) == (expected is not None)


@pytest.mark.parametrize("text, value", [
    ("35.0", 35.0), ("35", 35.0), ("35.", 35.0), (".5", 0.5), ("-2.5e1", -25.0), ("+1E+2", 100.0),
    ("\t35\n", 35.0), ("inf", math.inf), ("-Infinity", -math.inf), ("INF", math.inf),
    ("1e400", math.inf), ("1e-400", 0.0), ("3e-324", 5e-324),
])
def test_collision_energy_accepts_decimal_literals(open_raw, text, value):
    assert extra(open_raw, collision_energy=text.encode().center(16))["Collision Energy"] == value


@pytest.mark.parametrize("text", ["nan", "NaN", "-nan"])
def test_collision_energy_nan(open_raw, text):
    assert math.isnan(extra(open_raw, collision_energy=text.encode().center(16))["Collision Energy"])


@pytest.mark.parametrize("field", [
    b"35.0" + b"\0" * 12, b"0x10", b"1e", b".", b"+", b"infinit", b"35.0.1", b"e5", b"35 0", b"1_0",
    b"nan(1)", b"1,5", b"\x1c35", b"", "\uff13\uff15".encode(),
])
def test_collision_energy_rejects_other_texts(open_raw, field):
    assert "Collision Energy" not in extra(open_raw, collision_energy=field.center(16)[:16])


@pytest.mark.parametrize("width, present", [(0.0, False), (-1.5, False), (math.nan, False),
                                            (math.inf, True), (1e-30, True)])
def test_isolation_width_only_when_positive(open_raw, width, present):
    assert ("Isolation Width" in extra(open_raw, isolation_width=width)) == present


def test_agc_field_ends_in_the_first_byte_of_the_injection_time(open_raw):
    # 1.0000304 is stored as ff 00 80 3f: its first byte makes the AGC field invalid UTF-8.
    assert "AGC" not in extra(open_raw, agc=b"1.0e6", injection_time=1.0000304)
    assert extra(open_raw, agc=b"1.0e6", injection_time=20.0)["AGC"] == "1.0e6" + "\0" * 8
