"""The layout every mzPeak member shares: the member names, the vocabulary's terms,
the column names made from them, the Parquet types and writer options, and the small
builders of packed tables and array indexes."""

from __future__ import annotations

import functools
import json
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import pyarrow as pa

from kestrune_tools.psi import DETECTOR_COUNTS, ELECTRONVOLT, MILLISECOND, MZ, psi_ms_vocabulary

INDEX_NAME = "mzpeak_index.json"
SPECTRA_DATA = "spectra_data.parquet"
SPECTRA_METADATA = "spectra_metadata.parquet"
CHROMATOGRAMS_METADATA = "chromatograms_metadata.parquet"
CHROMATOGRAMS_DATA = "chromatograms_data.parquet"
# Each member: its entity type and data kind.
MEMBERS = {
    SPECTRA_DATA: ("spectrum", "data arrays"),
    SPECTRA_METADATA: ("spectrum", "metadata"),
    CHROMATOGRAMS_METADATA: ("chromatogram", "metadata"),
    CHROMATOGRAMS_DATA: ("chromatogram", "data arrays"),
}
# A fixed time for every member, so that the same run gives the same bytes.
MEMBER_TIME = (1980, 1, 1, 0, 0, 0)
ZSTD_LEVEL = 1

# Vocabulary terms by accession (those the mzML export writes too come from psi.py).
MINUTE = "UO:0000031"
FLOAT64 = "MS:1000523"
FLOAT32 = "MS:1000521"
MZ_ARRAY = "MS:1000514"
INTENSITY_ARRAY = "MS:1000515"
TIME_ARRAY = "MS:1000595"
CENTROID = "MS:1000127"
PROFILE = "MS:1000128"
FORMAT_CONVERSION = "MS:1000530"
POLARITIES = {None: None, "positive": 1, "negative": -1}
REPRESENTATIONS = {"centroid": CENTROID, "profile": PROFILE}

INSTRUMENT_ID = 0  # an integer here, where mzML has a text id
TIC_ID, BPC_ID = "TIC", "BPC"


# -- column names, after the vocabulary's terms


def term_column(accession: str, name: str, unit: str | None = None) -> str:
    """`MS_1000504_base_peak_mz_unit_MS_1000040` from the term, its name and unit."""
    cleaned = "".join(c if c.isalnum() or c in "_-" else "_" for c in name.replace("m/z", "mz"))
    base = f"{accession.replace(':', '_')}_{cleaned}"
    return base if unit is None else f"{base}_unit_{unit.replace(':', '_')}"


MS_LEVEL = term_column("MS:1000511", "ms level")
POLARITY = term_column("MS:1000465", "scan polarity")
REPRESENTATION = term_column("MS:1000525", "spectrum representation")
SPECTRUM_TYPE = term_column("MS:1000559", "spectrum type")
DATA_POINTS = term_column("MS:1003060", "number of data points")
TOTAL_ION_CURRENT = term_column("MS:1000285", "total ion current", DETECTOR_COUNTS)
BASE_PEAK_MZ = term_column("MS:1000504", "base peak m/z", MZ)
BASE_PEAK_INTENSITY = term_column("MS:1000505", "base peak intensity", DETECTOR_COUNTS)
LOWEST_MZ = term_column("MS:1000528", "lowest observed m/z", MZ)
HIGHEST_MZ = term_column("MS:1000527", "highest observed m/z", MZ)
SCAN_START_TIME = term_column("MS:1000016", "scan start time", MINUTE)
INJECTION_TIME = term_column("MS:1000927", "ion injection time", MILLISECOND)
TARGET_MZ = term_column("MS:1000827", "isolation window target m/z", MZ)
LOWER_OFFSET = term_column("MS:1000828", "isolation window lower offset", MZ)
UPPER_OFFSET = term_column("MS:1000829", "isolation window upper offset", MZ)
COLLISION_ENERGY = term_column("MS:1000045", "collision energy", ELECTRONVOLT)
SELECTED_ION_MZ = term_column("MS:1000744", "selected ion m/z", MZ)
CHARGE_STATE = term_column("MS:1000041", "charge state")
CHROMATOGRAM_TYPE = term_column("MS:1000626", "chromatogram type")

# -- Parquet types

PARAM_VALUE = pa.struct([("integer", pa.int64()), ("float", pa.float64()), ("string", pa.large_string()),
                         ("boolean", pa.bool_())])
PARAM = pa.struct([("value", PARAM_VALUE), ("accession", pa.large_string()), ("name", pa.large_string()),
                   ("unit", pa.large_string())])
PARAMETERS = pa.large_list(PARAM)
POINT = pa.struct([pa.field("spectrum_index", pa.uint64(), nullable=False),
                   pa.field("mz", pa.float64(), nullable=False),
                   pa.field("intensity", pa.float32(), nullable=False)])
SPECTRA_DATA_SCHEMA = pa.schema([pa.field("point", POINT, nullable=False)])
CHROMATOGRAM_POINT = pa.struct([pa.field("chromatogram_index", pa.uint64(), nullable=False),
                                pa.field("time", pa.float64(), nullable=False),
                                pa.field("intensity", pa.float64(), nullable=False)])


def member_options(index: str | None = None, floats: Sequence[str] = ()) -> dict[str, Any]:
    """How each Parquet member is written: zstd pages, a page index, and for a data
    member (`index`, the name of its entity index column under `point`) the index
    delta-encoded and the `floats` columns byte-stream-split. No copy of pyarrow's
    schema (`ARROW:schema`, no JSON): the key-value metadata holds JSON values only,
    added with `add_key_value_metadata`."""
    encodings = {} if index is None else {f"point.{index}": "DELTA_BINARY_PACKED",
                                          **{f"point.{name}": "BYTE_STREAM_SPLIT" for name in floats}}
    return {"compression": "zstd", "compression_level": ZSTD_LEVEL, "write_page_index": True,
            "store_schema": False, "use_dictionary": False, "column_encoding": encodings}



@dataclass(frozen=True)
class Settings:
    ms_level: int | None
    polarity: int | None
    representation: str



def json_metadata(values: dict[str, object]) -> dict[str, str]:
    return {key: json.dumps(value) for key, value in values.items()}


def array_entry(context: str, path: str, data_type: str, array_type: str, name: str, unit: str,
                sorting_rank: int | None) -> dict[str, object]:
    return {"context": context, "path": path, "data_type": data_type, "array_type": array_type,
            "array_name": name, "unit": unit, "buffer_format": "point", "transform": None,
            "data_processing_id": None, "buffer_priority": "primary", "sorting_rank": sorting_rank}


@functools.cache
def term_name(accession: str) -> str:
    """The term's name in the PSI-MS vocabulary bundled with psims (the mzML export's)."""
    return str(psi_ms_vocabulary()[accession].name)


def packed_group(columns: dict[str, pa.Array], rows: int, total: int) -> pa.StructArray:
    """A packed table's group: its `rows` records at the top, null rows below to `total`."""
    padded = [pa.concat_arrays([array, pa.nulls(total - rows, array.type)]) for array in columns.values()]
    mask = pa.array(np.arange(total) >= rows)
    return pa.StructArray.from_arrays(padded, names=list(columns), mask=mask)


def no_parameters(rows: int) -> pa.Array:
    return pa.array([[]] * rows, PARAMETERS)
