import os

import pytest

from kestrune_tools.synthetic import XML_DECLARATION, RawFile, method_xml, utf16

AT = 1000
WINDOW = 200_000


def method_of(open_raw, *pieces, length=None, at=AT):
    """The report of a file holding the byte pieces one after another from `at`."""
    raw = RawFile().put(at, b"".join(pieces))
    if length is not None:
        raw.at_least(length)
    return open_raw(raw).get_instrument_method(0)


def test_report_runs_to_the_end_of_the_method_element(open_raw):
    xml = method_xml()
    assert method_of(open_raw, xml, b"trailing</CmData>") == xml.decode()


@pytest.mark.parametrize("at, found", [(4_194_299, True), (4_194_300, False), (4_194_304, False),
                                       ((1 << 20) - 3, True), (41, True)])
def test_declaration_must_lie_inside_the_first_4_mib(open_raw, at, found):
    xml = method_xml()
    assert method_of(open_raw, xml, at=at) == (xml.decode() if found else "")


def test_first_end_marker_wins_even_after_the_second(open_raw):
    xml = XML_DECLARATION + b"<a></CmData><b></InstrumentMethod><c>"
    assert method_of(open_raw, xml) == xml[:-3].decode()
    assert method_of(open_raw, XML_DECLARATION, b"<a></CmData>rest") == (XML_DECLARATION + b"<a></CmData>").decode()


@pytest.mark.parametrize("extra, expected", [(10, 10 + len(XML_DECLARATION)), (WINDOW, WINDOW)])
def test_without_end_marker_the_whole_window(open_raw, extra, expected):
    # The zeros after the declaration are valid UTF-8 and come back as NUL characters.
    report = method_of(open_raw, XML_DECLARATION, length=AT + len(XML_DECLARATION) + extra)
    assert len(report) == expected and report.endswith("\0")


@pytest.mark.parametrize("bad_at, valid", [
    (50, False), (WINDOW - 1, False), (WINDOW, True),  # a byte 0xff inside the window, or just past it
])
def test_invalid_utf8_anywhere_in_the_window(open_raw, bad_at, valid):
    xml = method_xml()
    raw = RawFile().put(AT, xml).put(AT + bad_at, b"\xff")
    assert open_raw(raw).get_instrument_method(0) == (xml.decode() if valid else "")


@pytest.mark.parametrize("at, valid", [(WINDOW - 2, True), (WINDOW - 1, False)])
def test_character_cut_by_the_window_end(open_raw, at, valid):
    raw = RawFile().put(AT, method_xml()).put(AT + at, "é".encode())
    assert bool(open_raw(raw).get_instrument_method(0)) == valid


@pytest.mark.parametrize("bad", [b"\xc0\xaf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xe2\x82"])
def test_strict_utf8_forms(open_raw, bad):
    assert method_of(open_raw, XML_DECLARATION, bad, b"</InstrumentMethod>") == ""


def test_only_the_first_declaration_is_tried(open_raw):
    assert method_of(open_raw, XML_DECLARATION, b"\xff", b" " * 20, method_xml()) == ""


def test_utf16_declaration_is_not_found(open_raw):
    assert method_of(open_raw, utf16(method_xml().decode())) == ""


def test_unreadable_or_tiny_file_gives_empty_text(open_raw, files):
    reader = open_raw(RawFile().put(AT, method_xml()))
    os.truncate(files / "plain.raw", 4)
    assert reader.get_instrument_method(0) == ""
    os.remove(files / "plain.raw")
    assert reader.get_instrument_method(0) == ""


@pytest.mark.parametrize("index", [0, 7, 2**32 - 1, True])
def test_index_is_ignored(open_raw, index):
    assert open_raw(RawFile().put(AT, method_xml())).get_instrument_method(index) == method_xml().decode()


@pytest.mark.parametrize("index, error, message", [
    (-1, OverflowError, "out of range integral type conversion attempted"),
    ("1", TypeError, "argument '_index': "),
])
def test_index_conversion_errors(open_raw, index, error, message):
    with pytest.raises(error, match=message):
        open_raw(RawFile()).get_instrument_method(index)
