"""The documents describing the run as a whole, held by the index JSON and by the
key-value metadata of the metadata members."""

from __future__ import annotations

import os
from pathlib import Path
from typing import TYPE_CHECKING

from kestrune_tools.mzpeak.schema import FORMAT_CONVERSION, INSTRUMENT_ID, Settings, term_name
from kestrune_tools.psi import (
    ACQUISITION_FILE_FORMAT,
    CUSTOM_SOFTWARE,
    INSTRUMENT_MODEL,
    MS1_SPECTRUM,
    MSN_SPECTRUM,
    PROCESSING_ID,
    SCAN_NUMBER_NATIVE_ID,
    SOFTWARE_ID,
    SOURCE_FILE_ID,
    kestrune_version,
    run_start_time,
)

if TYPE_CHECKING:
    from kestrune_tools.runs import Run

def _params(*accessions: str) -> list[dict[str, object]]:
    return [_param(accession) for accession in accessions]


def _param(accession: str, value: object = None, unit: str | None = None) -> dict[str, object]:
    return {"name": term_name(accession), "accession": accession, "value": value, "unit": unit}



def file_level_metadata(run: Run, scans: list[int], settings: Settings) -> dict[str, object]:
    """The documents describing the run as a whole, by key."""
    levels = run.ms_levels()
    kinds = sorted({MS1_SPECTRUM if levels[scan - 1] == 1 else MSN_SPECTRUM for scan in scans})
    path = Path(os.path.abspath(run.path))
    return {
        "file_description": {
            "contents": _params(*kinds, settings.representation),
            "source_files": [{"id": SOURCE_FILE_ID, "name": path.name, "location": path.parent.as_uri(),
                              "parameters": _params(SCAN_NUMBER_NATIVE_ID, ACQUISITION_FILE_FORMAT)}],
        },
        "instrument_configuration_list": [{"id": INSTRUMENT_ID, "components": [],
                                           "parameters": _params(INSTRUMENT_MODEL),
                                           "software_reference": SOFTWARE_ID}],
        "data_processing_method_list": [{"id": PROCESSING_ID, "methods": [
            {"order": 0, "software_reference": SOFTWARE_ID, "parameters": _params(FORMAT_CONVERSION)}]}],
        "software_list": [{"id": SOFTWARE_ID, "version": kestrune_version(),
                           "parameters": [_param(CUSTOM_SOFTWARE, SOFTWARE_ID)]}],
        "sample_list": [],
        "run": {"id": Path(run.path).stem, "default_instrument_id": INSTRUMENT_ID,
                "default_data_processing_id": PROCESSING_ID, "default_source_file_id": SOURCE_FILE_ID,
                "start_time": run_start_time(run), "parameters": []},
    }
