import os

import pytest

from kestrune_tools.synthetic import ERROR_LOG_MARKER, STATUS_LOG_MARKER, RawFile, text_runs, units, utf16

AT = 1000
CHUNK = 1 << 20  # the chunk the scans read at a time


def status(open_raw, *pieces, at=AT):
    return open_raw(RawFile().put(at, b"".join(pieces))).get_status_log_labels()


def errors(open_raw, *pieces, at=AT):
    return open_raw(RawFile().put(at, b"".join(pieces))).get_error_logs()


BOTH = pytest.mark.parametrize("scan, marker", [(status, STATUS_LOG_MARKER), (errors, ERROR_LOG_MARKER)])


@BOTH
@pytest.mark.parametrize("at, found", [(AT, True), (AT + 1, False)])
def test_marker_only_at_even_offsets(open_raw, scan, marker, at, found):
    assert scan(open_raw, utf16(marker), at=at) == ([marker] if found else [])


@BOTH
def test_no_marker_or_unreadable_file(open_raw, files, scan, marker):
    assert scan(open_raw, utf16(marker[:-1])) == []
    reader = open_raw(RawFile().put(AT, utf16(marker)), "gone.raw")
    os.remove(files / "gone.raw")
    assert (reader.get_status_log_labels(), reader.get_error_logs()) == ([], [])


@BOTH
def test_final_odd_byte_is_not_a_unit(open_raw, scan, marker):
    assert scan(open_raw, utf16(marker), b"X") == [marker]


def test_status_log_example(open_raw):
    # A label may start with a space, the lowest unit that starts a run.
    labels = status(open_raw, utf16(STATUS_LOG_MARKER), units(0, 0), text_runs(" Ion Gauge", "X", "Next"))
    assert labels == [STATUS_LOG_MARKER, " Ion Gauge", "X"]


@pytest.mark.parametrize("unit", [0x00A9, 0xFFFF, 0x7F])
def test_status_units_outside_ascii_pass_over_but_stay_inside_labels(open_raw, unit):
    labels = status(open_raw, text_runs(STATUS_LOG_MARKER), units(unit, 0),
                    utf16("Vac") + units(unit, 0), utf16("Temp"))
    assert labels == [STATUS_LOG_MARKER, "Vac" + chr(unit), "Temp"]


def test_status_short_label_stops_only_with_two_texts_held(open_raw):
    # The marker's run fails to decode, so "X" is the first text held and "Y" the second.
    assert status(open_raw, utf16(STATUS_LOG_MARKER + "\ud800"), units(0), text_runs("X", "Y", "Zz")) == ["X", "Y"]


@BOTH
def test_lone_surrogates_are_skipped_and_pairs_decoded(open_raw, scan, marker):
    texts = scan(open_raw, text_runs(marker, "a\udc00b", "lone\ud800", "smile\U0001F600", "after"))
    assert texts == [marker, "smile\U0001F600", "after"]


@BOTH
def test_step_limit(open_raw, scan, marker):
    limit = 300 if scan is status else 100
    texts = scan(open_raw, text_runs(marker, *(f"text{i}" for i in range(limit + 50))))
    assert texts == [marker] + [f"text{i}" for i in range(limit - 1)]


def test_error_duplicates_use_up_steps(open_raw):
    runs = ["warn A", "warn B", "warn A"] + ["warn B"] * 95 + ["warn C", "warn D"]
    assert errors(open_raw, text_runs(ERROR_LOG_MARKER, *runs)) == [ERROR_LOG_MARKER, "warn A", "warn B", "warn C"]


@pytest.mark.parametrize("unit, more", [(0x0020, True), (0x0100, True), (0x007F, True), (0x00FF, True),
                                        (0x0101, False), (0xFFFF, False)])
def test_error_log_end_rule(open_raw, unit, more):
    texts = errors(open_raw, text_runs(ERROR_LOG_MARKER), units(unit), text_runs("fan \u0101 slow"))
    assert texts == [ERROR_LOG_MARKER] + ([chr(unit) + "fan \u0101 slow"] if more else [])


@BOTH
@pytest.mark.parametrize("at", [CHUNK - 2, CHUNK - 24, CHUNK - 50, CHUNK])
def test_marker_straddling_a_chunk_boundary(open_raw, scan, marker, at):
    # An odd-offset copy just before it must not be taken for the marker.
    assert scan(open_raw, utf16(marker), b"\0", utf16(marker), at=at - 2 * len(marker) - 1) == [marker]


@BOTH
def test_run_straddling_a_chunk_boundary(open_raw, scan, marker):
    # The runs are read in chunks from the marker on: a surrogate pair is cut by the boundary.
    pieces = text_runs(marker), b"\0" * (CHUNK - 2 * len(marker) - 6), utf16("a\U0001F600b")
    assert scan(open_raw, *pieces) == [marker, "a\U0001F600b"]


def test_texts_across_4_gib_of_empty_space(open_raw):
    # A sparse file read for real (one file for both scans: the first read of its
    # holes costs seconds): the stretches of zeros are passed over to a text past
    # byte 2**32, then on to the end of the file 1 MiB later.
    late = (1 << 32) + 6
    raw = (RawFile().put(AT, text_runs(STATUS_LOG_MARKER, "early label"))
           .put(AT + 4096, text_runs(ERROR_LOG_MARKER, "early warning"))
           .put(late, text_runs("late text")).at_least(late + CHUNK))
    reader = open_raw(raw)
    errors = [ERROR_LOG_MARKER, "early warning", "late text"]
    assert reader.get_error_logs() == errors
    assert reader.get_status_log_labels() == [STATUS_LOG_MARKER, "early label", *errors]
