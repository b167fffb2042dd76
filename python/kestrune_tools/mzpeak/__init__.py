"""mzPeak export of a run: one uncompressed ZIP archive of Parquet files.

    with open_run(path) as run:
        write_mzpeak(run, "run.mzpeak")

The archive holds, in this order:

- `mzpeak_index.json`: its members, each with its entity type and data kind, and the
  run's file-level metadata (the same documents as the metadata members' key-value
  metadata);
- `spectra_data.parquet`: one row per peak under the group `point`: `spectrum_index`
  (uint64), `mz` (float64) and `intensity` (float32), the reader's own values, by
  spectrum and within a spectrum by ascending m/z (a scan whose peaks the file holds
  in another order is sorted, stably); its key-value metadata holds the array index;
- `spectra_metadata.parquet`: packed parallel tables, one row per spectrum in the
  `spectrum` and `scan` groups, and the precursors and selected ions packed at the top
  of the `precursor` and `selected_ion` groups (null below);
- `chromatograms_metadata.parquet` and `chromatograms_data.parquet`: the total-ion
  (index 0, id `TIC`) and base-peak (index 1, `BPC`) chromatograms of the MS1 scans
  written (of the scans written where `ms_level` selects MSn scans), time in minutes.

Columns named after a vocabulary term carry its unit in their name where it has one:
times in minutes (`UO:0000031`), injection times in milliseconds, m/z in `MS:1000040`,
intensities in detector counts. Each spectrum's summary values are those of the scan
table (`Run.scan_table()`): number of data points, total ion current and base peak
intensity are 0 for a scan without peaks, its base peak m/z and lowest and highest
observed m/z null. Retention times are the reader's, NaN included.

Every key-value metadata value is JSON text; pyarrow's own schema copy is left out.
Floats are byte-stream-split, the spectrum index delta-encoded, pages compressed with
zstd, and every Parquet member has its page index. The same run and options give the
same bytes.

The peaks come from one pass over the run in bounded groups of scans, as the Parquet
export reads them (`kestrune_tools.parquet.pass_in_groups`), each group's arrays handed
to pyarrow as they are.
"""

from kestrune_tools.mzpeak.schema import (
    BASE_PEAK_INTENSITY as BASE_PEAK_INTENSITY,
    BASE_PEAK_MZ as BASE_PEAK_MZ,
    CHARGE_STATE as CHARGE_STATE,
    CHROMATOGRAMS_DATA as CHROMATOGRAMS_DATA,
    CHROMATOGRAMS_METADATA as CHROMATOGRAMS_METADATA,
    COLLISION_ENERGY as COLLISION_ENERGY,
    DATA_POINTS as DATA_POINTS,
    HIGHEST_MZ as HIGHEST_MZ,
    INDEX_NAME,
    INJECTION_TIME as INJECTION_TIME,
    LOWEST_MZ as LOWEST_MZ,
    MEMBERS,
    MS_LEVEL as MS_LEVEL,
    SCAN_START_TIME as SCAN_START_TIME,
    SELECTED_ION_MZ as SELECTED_ION_MZ,
    SPECTRA_DATA as SPECTRA_DATA,
    SPECTRA_METADATA as SPECTRA_METADATA,
    TOTAL_ION_CURRENT as TOTAL_ION_CURRENT,
    member_options,
    term_column as term_column,
)
from kestrune_tools.mzpeak.points import point_batch
from kestrune_tools.mzpeak.writer import write_mzpeak

__all__ = ["write_mzpeak", "MEMBERS", "INDEX_NAME", "member_options", "point_batch"]
