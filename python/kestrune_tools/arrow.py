"""Arrow arrays made straight from NumPy buffers.

pyarrow's conversions (`pa.array`, `pa.scalar`) import pandas, where it is
installed, at their first use: a sixth of a second in every process that builds a
table, paid again by each worker of a batch, though nothing here uses pandas. The
scan table and the catalog build their columns from buffers instead, with the same
types and the same nulls.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    import pyarrow as pa
    from numpy.typing import ArrayLike, NDArray


def numeric(values: ArrayLike, kind: pa.DataType, nulls: NDArray[np.bool_] | None = None) -> pa.Array:
    """An array of `kind` (an integer or floating type) holding `values`, null where
    `nulls` is true; NaN stays a value, as `pa.array` keeps it from NumPy."""
    import pyarrow as pa

    data = np.ascontiguousarray(values, dtype=_storage(kind))
    return pa.Array.from_buffers(kind, len(data), [_validity(nulls), pa.py_buffer(data)],
                                 null_count=_null_count(nulls))


def optional(values: Sequence[Any], kind: pa.DataType) -> pa.Array:
    """An array of `kind` holding `values`, null where a value is None."""
    nulls = np.fromiter((value is None for value in values), dtype=np.bool_, count=len(values))
    filled = [0 if value is None else value for value in values] if nulls.any() else values
    return numeric(filled, kind, nulls if nulls.any() else None)


def texts(values: Sequence[str]) -> pa.Array:
    """A string array of `values`."""
    import pyarrow as pa

    encoded = [value.encode() for value in values]
    offsets = np.zeros(len(encoded) + 1, dtype=np.int32)
    np.cumsum([len(text) for text in encoded], out=offsets[1:])
    return pa.Array.from_buffers(pa.string(), len(encoded),
                                 [None, pa.py_buffer(offsets), pa.py_buffer(b"".join(encoded))], null_count=0)


def of_values(values: Sequence[Any], kind: pa.DataType) -> pa.Array:
    """An array of `kind` (strings, seconds timestamps, integers or floats) holding
    `values` (texts, datetimes, numbers), null where a value is None."""
    import pyarrow as pa

    if pa.types.is_string(kind):
        return texts(values)
    if pa.types.is_timestamp(kind):  # whole seconds, as the header's creation date is
        return optional([None if value is None else int(value.timestamp()) for value in values], kind)
    return optional(values, kind)


def repeated(values: Sequence[Any], kind: pa.DataType, counts: Sequence[int]) -> pa.Array:
    """An array of `kind` holding each of `values` (as `of_values` takes them) as many
    times as its count says, one after the other: run-wide values on each row of a run."""
    import pyarrow as pa

    owner = numeric(np.repeat(np.arange(len(values), dtype=np.int32), counts), pa.int32())
    return of_values(values, kind).take(owner)


def _storage(kind: pa.DataType) -> np.dtype[Any]:
    """The NumPy type of `kind`'s values (pyarrow's own answer asks pandas)."""
    import pyarrow as pa

    if pa.types.is_timestamp(kind):
        return np.dtype(np.int64)
    if pa.types.is_floating(kind):
        return np.dtype(f"float{kind.bit_width}")
    if pa.types.is_integer(kind):
        return np.dtype(f"{'' if pa.types.is_signed_integer(kind) else 'u'}int{kind.bit_width}")
    raise TypeError(f"no NumPy storage for {kind}")


def _validity(nulls: NDArray[np.bool_] | None) -> pa.Buffer | None:
    import pyarrow as pa

    if nulls is None or not nulls.any():
        return None
    return pa.py_buffer(np.packbits(~nulls, bitorder="little"))


def _null_count(nulls: NDArray[np.bool_] | None) -> int:
    return 0 if nulls is None else int(nulls.sum())
