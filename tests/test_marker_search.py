"""The marker searches among near misses: bytes that start or end a marker without
being one, packed densely before the real one, as binary data holds them."""

import pytest

from kestrune_tools.synthetic import ERROR_LOG_MARKER, STATUS_LOG_MARKER, RawFile, method_xml, utf16

CHUNK = 1 << 20  # the chunk the searches read at a time


def decoys(marker: str, length: int) -> bytes:
    """Every prefix and suffix of the marker but the whole, at even and odd offsets,
    over and over: each holds the marker's first or last letter."""
    units = utf16(marker)
    pieces = [units[:k] for k in range(2, len(units), 2)] + [units[k:] for k in range(2, len(units), 2)]
    block = b"".join(piece + b"\x01" for piece in pieces)
    return (block * (length // len(block) + 1))[:length]


@pytest.mark.parametrize("method, marker", [("get_status_log_labels", STATUS_LOG_MARKER),
                                            ("get_error_logs", ERROR_LOG_MARKER)])
@pytest.mark.parametrize("at", [CHUNK - 6, CHUNK + 2, 3 * CHUNK])
def test_log_marker_after_dense_near_misses_ending_the_file(open_raw, method, marker, at):
    # The marker ends exactly at the end of the file; before it, near misses fill
    # every chunk the search reads.
    raw = RawFile().put(0, decoys(marker, at)).put(at, utf16(marker))
    assert getattr(open_raw(raw), method)() == [marker]


@pytest.mark.parametrize("method, marker", [("get_status_log_labels", STATUS_LOG_MARKER),
                                            ("get_error_logs", ERROR_LOG_MARKER)])
def test_log_marker_absent_among_near_misses(open_raw, method, marker):
    raw = RawFile().put(0, decoys(marker, 2 * CHUNK + 100))
    assert getattr(open_raw(raw), method)() == []


@pytest.mark.parametrize("at", [0, 7, CHUNK - 3, 4 * CHUNK - len(method_xml())])
def test_instrument_method_after_near_misses(open_raw, at):
    # "<?xm" and "?xml" copies everywhere before the declaration, none after it.
    report = method_xml()
    near = (b"<?xm\x01?xml\x01<\x01l\x01" * (at // 14 + 1))[:at]
    raw = RawFile().put(0, near).put(at, report)
    assert open_raw(raw).get_instrument_method(0) == report.decode()
