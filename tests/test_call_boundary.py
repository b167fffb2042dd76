"""Argument parsing and conversion, borrowing, and how failures reach Python."""

import os
import pathlib

import pytest

import kestrune
from helpers import panics
from kestrune_tools.synthetic import RawFile


@pytest.fixture
def reader(open_raw):
    return open_raw(RawFile().header(version=57))


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "RawFileReader.get_rt() missing 1 required positional argument: 'scan_number'"),
        ((1, 2), {}, "RawFileReader.get_rt() takes 1 positional arguments but 2 were given"),
        ((1,), {"scan_number": 1}, "RawFileReader.get_rt() got multiple values for argument 'scan_number'"),
        ((), {"scan": 1}, "RawFileReader.get_rt() got an unexpected keyword argument 'scan'"),
        ((), {"scan": 1, "other": 2}, "RawFileReader.get_rt() got an unexpected keyword argument 'scan'"),
    ],
)
def test_argument_parsing_messages(reader, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        reader.get_rt(*args, **kwargs)
    assert str(caught.value) == message


def test_keyword_and_positional_forms_agree(reader):
    assert reader.get_master_scan(scan_number=3) == reader.get_master_scan(3)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "RawFileReader.__new__() missing 1 required positional argument: 'path'"),
        (("a", "b"), {}, "RawFileReader.__new__() takes 1 positional arguments but 2 were given"),
        (("a",), {"path": "a"}, "RawFileReader.__new__() got multiple values for argument 'path'"),
        ((), {"file": "a"}, "RawFileReader.__new__() got an unexpected keyword argument 'file'"),
        ((42,), {}, "argument 'path': 'int' object cannot be converted to 'PyString'"),
        ((b"x.raw",), {}, "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
        ((pathlib.Path("x.raw"),), {}, "argument 'path': 'PosixPath' object cannot be converted to 'PyString'"),
    ],
)
def test_constructor_argument_messages(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        kestrune.RawFileReader(*args, **kwargs)
    assert str(caught.value) == message


def test_constructor_takes_path_by_keyword(files):
    path = RawFile().header(version=66).write(files / "plain.raw")
    assert kestrune.RawFileReader(path=path).version == 66


def test_constructor_accepts_str_subclass(files):
    class Text(str):
        pass

    path = RawFile().header(version=57).write(files / "plain.raw")
    assert kestrune.RawFileReader(Text(path)).num_scans == 48


def test_unencodable_path_raises_unicode_error():
    with pytest.raises(UnicodeEncodeError):
        kestrune.RawFileReader("bad\udc80.raw")


@pytest.mark.parametrize("value", [4294967295, True, 0])
def test_unsigned_32_bit_values_are_accepted(reader, value):
    assert reader.get_rt(value) == 0.0


def test_index_objects_are_accepted(reader):
    np = pytest.importorskip("numpy")
    assert reader.get_master_scan(np.int64(1)) == reader.get_master_scan(1)


@pytest.mark.parametrize("value", [4294967296, -1, -5])
def test_out_of_range_integers_overflow_without_argument_name(reader, value):
    with pytest.raises(OverflowError) as caught:
        reader.get_rt(value)
    assert str(caught.value) == "out of range integral type conversion attempted"


def test_integers_beyond_64_bits_keep_the_interpreters_message(reader):
    with pytest.raises(OverflowError) as caught:
        reader.get_rt(2**70)
    assert not str(caught.value).startswith("argument")


@pytest.mark.parametrize("value", [1.0, "1", None])
def test_non_integers_name_the_argument(reader, value):
    with pytest.raises(TypeError) as caught:
        reader.get_rt(value)
    type_name = type(value).__name__
    assert str(caught.value) == f"argument 'scan_number': '{type_name}' object cannot be interpreted as an integer"
    assert type(caught.value) is TypeError
    assert caught.value.__cause__ is None


def test_argument_name_rule_keeps_the_cause_and_skips_subclasses(reader):
    class Cause(Exception):
        pass

    class Special(TypeError):
        pass

    class Chained:
        def __index__(self):
            try:
                raise Cause("inner")
            except Cause as inner:
                raise TypeError("outer") from inner

    class Odd:
        def __index__(self):
            raise Special("kept")

    with pytest.raises(TypeError) as caught:
        reader.get_rt(Chained())
    assert str(caught.value) == "argument 'scan_number': outer"
    assert isinstance(caught.value.__cause__, Cause)

    with pytest.raises(Special, match="^kept$"):
        reader.get_rt(Odd())


def test_missing_file_is_file_not_found(files):
    with pytest.raises(FileNotFoundError) as caught:
        kestrune.RawFileReader(str(files / "absent.raw"))
    error = caught.value
    assert str(error) == "No such file or directory (os error 2)"
    assert (error.errno, error.strerror, error.filename) == (None, None, None)


def test_directory_is_plain_os_error(files):
    with pytest.raises(OSError) as caught:
        kestrune.RawFileReader(str(files))
    assert type(caught.value) is OSError
    assert str(caught.value).endswith("(os error 21)")


@pytest.mark.skipif(os.geteuid() == 0, reason="root may read any file")
def test_unreadable_file_is_permission_error(files):
    path = RawFile().header().write(files / "plain.raw")
    os.chmod(path, 0)
    with pytest.raises(PermissionError):
        kestrune.RawFileReader(path)


@pytest.mark.parametrize("length", [0, 20, 39])
def test_short_header_fails_to_fill_buffer(files, length):
    path = files / "plain.raw"
    path.write_bytes(b"\x42" * length)
    with pytest.raises(OSError) as caught:
        kestrune.RawFileReader(str(path))
    assert type(caught.value) is OSError
    assert str(caught.value) == "failed to fill whole buffer"


def test_nul_in_path_is_refused_before_opening():
    with pytest.raises(OSError) as caught:
        kestrune.RawFileReader("plain\0.raw")
    assert type(caught.value) is OSError
    assert str(caught.value) == "file name contained an unexpected NUL byte"


def test_internal_failure_is_a_panic_exception(open_raw, files, capfd):
    reader = open_raw(RawFile().header(version=57))
    os.unlink(files / "plain.raw")
    error = panics(reader.initialize_caches)
    assert type(error).__bases__ == (BaseException,)
    assert error.args == ("called `Option::unwrap()` on a `None` value",)
    assert not hasattr(kestrune, "PanicException")
    assert "called `Option::unwrap()`" in capfd.readouterr().err
    # The same instance answers the next call normally.
    assert reader.num_scans == 48


def test_nested_exclusive_borrow_is_refused(reader):
    class Reentrant:
        def __index__(self):
            reader.initialize_caches()
            return 1

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        reader.get_rt(Reentrant())
    reader.initialize_caches()


def test_nested_shared_borrows_are_allowed(reader):
    class Reentrant:
        def __index__(self):
            return reader.num_scans

    assert reader.get_master_scan(Reentrant()) == 0


def test_foreign_self_is_refused():
    with pytest.raises(TypeError):
        kestrune.RawFileReader.get_rt(object(), 1)
    with pytest.raises(TypeError):
        kestrune.RawFileReader.initialize_caches(object())


@pytest.mark.parametrize(
    "call",
    [
        lambda r: r.get_rt(),
        lambda r: r.get_rt(-1),
        lambda r: r.get_rt("x"),
        lambda r: r.get_charge_state(2**40),
        lambda r: r.list_spectra(1),
    ],
)
def test_no_borrow_is_left_after_a_failure(reader, call):
    with pytest.raises((TypeError, OverflowError)):
        call(reader)
    reader.initialize_caches()
