"""The reader's whole method surface, and what each call may answer.

Every outcome of a call is either a value of the method's documented type or one
of the exceptions its failure rules name; `check` enforces that, whatever the
file underneath looks like.
"""

from __future__ import annotations

import os

import kestrune
from helpers import is_panic

try:
    import numpy
except ImportError:  # pragma: no cover
    numpy = None

SCAN_METHODS = ["get_rt", "get_injection_time", "get_master_scan", "get_charge_state",
                "get_monoisotopic_mz", "get_trailer_extra", "get_instrument_method"]
PEAK_METHODS = ["get_peaks", "native_get_peaks"]
NO_ARG_METHODS = ["get_status_log_labels", "get_error_logs", "list_spectra"]
ATTRIBUTES = ["version", "num_scans", "creation_date"]

# Arguments outside the unsigned 32-bit range, or not integers, and what they raise.
BAD_ARGUMENTS = [(-1, OverflowError), (2**32, OverflowError), (2**64, OverflowError),
                 ("1", TypeError), (1.0, TypeError), (None, TypeError)]


def _is_float_array(value, dtype) -> bool:
    return isinstance(value, numpy.ndarray) and value.dtype == dtype and value.ndim == 1


def valid_result(name: str, value) -> bool:
    if name in ("get_rt", "get_injection_time", "get_monoisotopic_mz"):
        return type(value) is float
    if name in ("get_master_scan", "get_charge_state"):
        return type(value) is int and -(2**31) <= value < 2**31
    if name == "get_trailer_extra":
        return type(value) is dict and all(type(k) is str and type(v) in (int, float, str)
                                           for k, v in value.items())
    if name == "get_instrument_method":
        return type(value) is str
    if name in ("get_status_log_labels", "get_error_logs"):
        return type(value) is list and all(type(t) is str for t in value)
    if name == "list_spectra":
        return type(value) is list and all(type(d) is dict and len(d) == 6 for d in value)
    if name == "native_get_peaks":
        return value is None or (type(value) is tuple and len(value) == 2
                                 and all(type(v) is list for v in value)
                                 and len(value[0]) == len(value[1])
                                 and all(type(x) is float for v in value for x in v))
    if name == "get_peaks":
        return (type(value) is tuple and len(value) == 2
                and _is_float_array(value[0], numpy.float64) and _is_float_array(value[1], numpy.float32)
                and len(value[0]) == len(value[1]) >= 1)
    if name == "initialize_caches":
        return value is None
    if name in ("version", "num_scans"):
        return type(value) is int and 0 <= value < 2**32
    if name == "creation_date":
        return type(value) is str and value.isdigit()
    raise AssertionError(f"unknown method {name}")


def call(reader, name: str, *args):
    """Calls one method (or reads one attribute) and checks the outcome.

    Returns ("value", result) or ("panic", error). Only initialize_caches may raise
    PanicException (and get_peaks where NumPy is not installed): every other read of
    a changed or malformed file answers with a neutral value.
    """
    try:
        if name in ATTRIBUTES:
            result = getattr(reader, name)
        else:
            result = getattr(reader, name)(*args)
    except BaseException as error:
        if is_panic(error) and name == "initialize_caches":
            return "panic", error
        if is_panic(error) and name == "get_peaks" and numpy is None:
            assert str(error).startswith("Failed to access NumPy array API capsule")
            return "panic", error
        raise AssertionError(f"{name}{args!r} raised {error!r}") from error
    assert valid_result(name, result), f"{name}{args!r} answered {result!r:.200}"
    return "value", result


def call_everything(reader, scans=None):
    """Every method and attribute, for scan 0, 1, the last, one past it and 2**32 - 1,
    then every failing argument. Returns the outcomes, for comparisons."""
    n = reader.num_scans
    scans = scans if scans is not None else [0, 1, n, n + 1, 2**32 - 1]
    outcomes = {}
    for name in ATTRIBUTES + NO_ARG_METHODS:
        outcomes[name] = call(reader, name)
    for name in SCAN_METHODS + PEAK_METHODS:
        for scan in scans:
            outcomes[name, scan] = call(reader, name, scan)
    for name in SCAN_METHODS + PEAK_METHODS:
        for argument, error in BAD_ARGUMENTS:
            try:
                getattr(reader, name)(argument)
            except error:
                pass
            else:  # pragma: no cover
                raise AssertionError(f"{name}({argument!r}) did not raise {error.__name__}")
    return outcomes


def open_reader(path):
    """Constructs a reader: a reader, or an OSError or PanicException as the
    constructor's failure rules allow. Returns None for the failures."""
    try:
        return kestrune.RawFileReader(os.fspath(path))
    except OSError:
        return None
    except BaseException as error:
        if is_panic(error):
            return None
        raise AssertionError(f"constructor raised {error!r}") from error
