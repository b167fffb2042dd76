"""The module and the RawFileReader class as the interpreter sees them."""

import copy
import pickle
import subprocess
import sys
import textwrap
import weakref

import pytest

import kestrune
from kestrune_tools.synthetic import RawFile

METHODS = [
    "initialize_caches",
    "get_rt",
    "get_injection_time",
    "get_master_scan",
    "get_charge_state",
    "get_monoisotopic_mz",
    "get_trailer_extra",
    "get_instrument_method",
    "get_status_log_labels",
    "get_error_logs",
    "get_peaks",
    "native_get_peaks",
    "list_spectra",
]

SIGNATURES = {
    "initialize_caches": "($self)",
    "get_rt": "($self, scan_number)",
    "get_trailer_extra": "($self, scan_number)",
    "get_instrument_method": "($self, _index)",
    "get_status_log_labels": "($self)",
    "get_peaks": "($self, scan_num)",
    "native_get_peaks": "($self, scan_num)",
    "list_spectra": "($self)",
}

DOCS = {
    "get_rt": "Returns the retention time (in minutes) for the specified scan number.",
    "get_injection_time": "Returns the ion injection time (in milliseconds) for the specified scan number.",
    "list_spectra": "Returns a list of all scan summaries in the file.\n"
    "Each entry contains scan_number, rt, injection_time, master_scan, charge, and monomz.",
    "version": "Returns the Thermo RAW file version (e.g., 57 or 66).",
    "num_scans": "Returns the total number of scans available in the file.",
    "creation_date": "Returns the file creation date as a formatted UTC timestamp string.",
}


@pytest.fixture
def reader(open_raw):
    return open_raw(RawFile().header(version=57))


def test_module_namespace():
    assert kestrune.__all__ == ["RawFileReader"]
    assert kestrune.__doc__ == ""
    public = {name for name in vars(kestrune) if not name.startswith("__")}
    assert public == {"RawFileReader"}


def test_class_identity_and_docs():
    cls = kestrune.RawFileReader
    assert (cls.__name__, cls.__qualname__, cls.__module__) == ("RawFileReader",) * 2 + ("builtins",)
    assert cls.__doc__ == "High-performance native reader for Thermo Fisher .raw files."
    assert cls.__text_signature__ == "(path)"
    assert cls.__bases__ == (object,)


def test_methods_are_registered_in_table_order():
    names = [name for name in vars(kestrune.RawFileReader) if name in METHODS]
    assert names == METHODS


@pytest.mark.parametrize("name, signature", SIGNATURES.items())
def test_text_signatures(name, signature):
    assert getattr(kestrune.RawFileReader, name).__text_signature__ == signature


@pytest.mark.parametrize("name, doc", DOCS.items())
def test_docstrings(name, doc):
    assert getattr(kestrune.RawFileReader, name).__doc__ == doc


def test_class_cannot_be_subclassed():
    with pytest.raises(TypeError):
        type("Sub", (kestrune.RawFileReader,), {})


def test_class_attributes_can_be_set():
    kestrune.RawFileReader.note = 1
    del kestrune.RawFileReader.note


@pytest.mark.parametrize("attribute", ["version", "num_scans", "creation_date", "extra"])
def test_instance_attributes_are_read_only(reader, attribute):
    with pytest.raises(AttributeError):
        setattr(reader, attribute, 1)


@pytest.mark.parametrize("operation", [weakref.ref, pickle.dumps, copy.copy])
def test_instances_refuse_weakrefs_pickling_and_copying(reader, operation):
    with pytest.raises(TypeError):
        operation(reader)


@pytest.mark.parametrize("call", [lambda r: r.list_spectra(1), lambda r: r.initialize_caches(x=1)])
def test_no_argument_methods_reject_arguments(reader, call):
    with pytest.raises(TypeError):
        call(reader)


def test_instances_compare_by_identity(reader):
    assert reader == reader
    assert hash(reader) == hash(reader)
    assert "RawFileReader object at 0x" in repr(reader)


def test_reimport_gives_the_same_module():
    module, cls = kestrune, kestrune.RawFileReader
    del sys.modules["kestrune"]
    import kestrune as again

    assert again is module
    assert again.RawFileReader is cls
    assert again.__all__ == ["RawFileReader"]


def test_subinterpreter_import_fails():
    script = textwrap.dedent(
        """
        import kestrune, sys
        try:
            import _testcapi
        except ImportError:
            sys.exit(77)
        # 0 when the import fails with ImportError, -1 when it succeeds.
        code = "try:\\n import kestrune\\nexcept ImportError:\\n pass\\nelse:\\n raise SystemError"
        sys.exit(1 if _testcapi.run_in_subinterp(code) else 0)
        """
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    if result.returncode == 77:
        pytest.skip("no _testcapi in this interpreter")
    assert result.returncode == 0, result.stderr
