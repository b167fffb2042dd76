"""Peak extraction through native_get_peaks and get_peaks."""

import gc
import math
import os
import random
import struct
import subprocess
import sys
import textwrap

import pytest

np = pytest.importorskip("numpy")

import kestrune
from kestrune_tools.synthetic import (
    SMALL_SCAN_OFFSETS,
    RawFile,
    narrow_block,
    orbitrap_peak_file,
    rising_mz,
    wide_block,
)

ORBITRAP_START = 3666  # scan 1 of an orbitrap file whose index lengths are 0
SMALL_START = SMALL_SCAN_OFFSETS[0]  # scan 1 of a small-profile file
PREFIX = "Failed to access NumPy array API capsule"


def wide_reader(open_raw, blocks, raw=None):
    """A version-66 orbitrap file with blocks at offsets from scan 1's start."""
    raw = raw or orbitrap_peak_file()
    for offset, block in blocks.items():
        raw.put(ORBITRAP_START + offset, block)
    return open_raw(raw, "x_orbitrap.raw")


def narrow_reader(open_raw, blocks):
    """A version-57 small-profile file with blocks at offsets from scan 1's start."""
    raw = RawFile().header(version=57)
    for offset, block in blocks.items():
        raw.put(SMALL_START + offset, block)
    return open_raw(raw, "small.RAW")


def block_for(layout, count, first=100.0, stored_count=None):
    make = wide_block if layout == "wide" else narrow_block
    return make(rising_mz(count, first), [1000.0] * count, stored_count)


def reader_with(open_raw, layout, blocks):
    return (wide_reader if layout == "wide" else narrow_reader)(open_raw, blocks)


def reference_peaks(data: bytes, start: int, version: int):
    """The search over the whole file, as plainly as it can be written."""
    length = len(data)
    if start >= length:
        return None

    def u32(at):
        return struct.unpack_from("<I", data, at)[0]

    found = None
    if version == 66:
        for i in range(start, min(length, start + 10000)):
            if i + 12 >= length:
                break
            n = u32(i)
            if not 11 <= n <= 199999 or i + 4 + 12 * n > length:
                continue
            first, second = struct.unpack_from("<d", data, i + 4)[0], struct.unpack_from("<d", data, i + 16)[0]
            if not 50.0 < first < 5000.0 or second < first - 0.001:
                continue
            found = [struct.unpack_from("<df", data, i + 4 + 12 * k) for k in range(n)]
            if n > 50:
                break
    else:
        candidates = [(start + c, 11) for c in (190, 124, 0)] + [(start + j, 101) for j in range(512)]
        for at, smallest in candidates:
            if at + 4 > length:
                continue
            n = u32(at)
            if smallest <= n <= 199999 and at + 4 + 8 * n <= length and 50.0 < struct.unpack_from("<f", data, at + 4)[0] < 5000.0:
                found = [struct.unpack_from("<ff", data, at + 4 + 8 * k) for k in range(n)]
                break
    return None if found is None else ([m for m, _ in found], [i for _, i in found])


def bits(values):
    return struct.pack(f"<{len(values)}d", *values)


@pytest.mark.parametrize(
    "layout, offset, count, found",
    [
        ("wide", 0, 10, False),
        ("wide", 0, 11, True),
        ("wide", 0, 199999, True),
        ("wide", 0, 200000, False),
        ("narrow", 0, 10, False),  # fixed candidate at the start
        ("narrow", 0, 11, True),
        ("narrow", 190, 199999, True),
        ("narrow", 190, 200000, False),
        ("narrow", 20, 100, False),  # sliding search
        ("narrow", 20, 101, True),
        ("narrow", 20, 199999, True),
        ("narrow", 20, 200000, False),
    ],
)
def test_count_bounds(open_raw, layout, offset, count, found):
    reader = reader_with(open_raw, layout, {offset: block_for(layout, count)})
    peaks = reader.native_get_peaks(1)
    if found:
        assert len(peaks[0]) == len(peaks[1]) == count
        assert peaks[0][:2] == [100.0, 100.5]
    else:
        assert peaks is None


@pytest.mark.parametrize("layout", ["wide", "narrow"])
@pytest.mark.parametrize(
    "first, found", [(50.0, False), (5000.0, False), (math.nan, False), (50.01, True), (4999.99, True)]
)
def test_first_mz_bounds_are_exclusive(open_raw, layout, first, found):
    reader = reader_with(open_raw, layout, {0: block_for(layout, 11, first)})
    assert (reader.native_get_peaks(1) is not None) == found


@pytest.mark.parametrize(
    "drop, found", [(0.0, True), (0.001, True), (-3.0, True), (0.0011, False), (math.nan, True)]
)
def test_wide_second_mz_tolerance(open_raw, drop, found):
    mz = rising_mz(51)
    mz[1] = mz[0] - drop
    later = wide_block(rising_mz(12, 300.0))  # reached only when the first one fails
    reader = wide_reader(open_raw, {0: wide_block(mz), 1000: later})
    assert len(reader.native_get_peaks(1)[0]) == (51 if found else 12)


@pytest.mark.parametrize(
    "counts, expected",
    [
        ((50, 20), (20, 300.0)),  # 50 peaks do not end the search: the later block replaces them
        ((51, 20), (51, 100.0)),  # 51 peaks do
        ((20, 30), (30, 300.0)),
        ((60, 20), (60, 100.0)),
        ((30,), (30, 100.0)),
    ],
)
def test_wide_replacement_rule(open_raw, counts, expected):
    blocks = {0: wide_block(rising_mz(counts[0]))}
    if len(counts) > 1:
        blocks[1000] = wide_block(rising_mz(counts[1], 300.0))
    mz, intensity = wide_reader(open_raw, blocks).native_get_peaks(1)
    assert (len(mz), mz[0]) == expected
    assert len(intensity) == len(mz)


@pytest.mark.parametrize("outer, expected", [(30, 11), (51, 51)])
def test_wide_search_goes_on_inside_a_replaceable_block(open_raw, outer, expected):
    # The inner block overwrites part of the outer block's records.
    blocks = {0: wide_block(rising_mz(outer)), 100: wide_block(rising_mz(11, 700.0))}
    assert len(wide_reader(open_raw, blocks).native_get_peaks(1)[0]) == expected


@pytest.mark.parametrize("offset, found", [(9999, True), (10000, False)])
def test_wide_window_bounds_the_count_position_only(open_raw, offset, found):
    block = wide_block(rising_mz(1000), [float(k) for k in range(1000)])
    peaks = wide_reader(open_raw, {offset: block}).native_get_peaks(1)
    if found:
        assert peaks == (rising_mz(1000), [float(k) for k in range(1000)])
    else:
        assert peaks is None


@pytest.mark.parametrize("offset, found", [(511, True), (512, False)])
def test_narrow_sliding_search_covers_512_positions(open_raw, offset, found):
    reader = narrow_reader(open_raw, {offset: block_for("narrow", 101)})
    assert (reader.native_get_peaks(1) is not None) == found


@pytest.mark.parametrize(
    "offsets, expected",
    [((190, 124, 0), 13), ((124, 0), 12), ((0,), 11), ((190, 0), 13), ((20,), None)],
)
def test_narrow_fixed_candidate_order(open_raw, offsets, expected):
    # 11 to 13 peaks: enough for a fixed candidate, too few for the sliding search.
    counts = {190: 13, 124: 12, 0: 11, 20: 50}
    reader = narrow_reader(open_raw, {o: block_for("narrow", counts[o], 100.0 + o) for o in offsets})
    peaks = reader.native_get_peaks(1)
    assert (peaks and len(peaks[0])) == expected


def test_narrow_sliding_search_passes_small_blocks_by(open_raw):
    blocks = {20: block_for("narrow", 50), 300: block_for("narrow", 101, 700.0)}
    mz, _ = narrow_reader(open_raw, blocks).native_get_peaks(1)
    assert (len(mz), mz[0]) == (101, 700.0)


@pytest.mark.parametrize("layout", ["wide", "narrow"])
@pytest.mark.parametrize("short_by, found", [(0, True), (1, False)])
def test_block_ending_at_end_of_file(open_raw, layout, short_by, found):
    count = 11 if layout == "wide" else 101
    block = block_for(layout, count)
    if layout == "wide":
        # Scan 2 starts past the orbitrap tables, its block ends the file.
        raw = orbitrap_peak_file(scan_lengths=[7_000_000 - ORBITRAP_START])
        reader = open_raw(raw.put(7_000_000, block[: len(block) - short_by]), "x_orbitrap.raw")
        scan = 2
    else:
        reader = narrow_reader(open_raw, {20: block[: len(block) - short_by]})
        scan = 1
    assert (reader.native_get_peaks(scan) is not None) == found


def test_narrow_values_are_widened_exactly(open_raw):
    block = narrow_block([1234.5678] + rising_mz(10, 200.0), [0.1] * 11)
    reader = narrow_reader(open_raw, {0: block})
    mz, intensity = reader.native_get_peaks(1)
    assert mz[0] == 1234.5677490234375
    assert intensity[0] == 0.10000000149011612
    mz_array, intensity_array = reader.get_peaks(1)
    assert mz_array[0] == 1234.5677490234375 and intensity_array[0] == np.float32(0.1)


@pytest.mark.parametrize("scan, found", [(0, False), (1, True), (145, True), (146, False), (2**32 - 1, False)])
def test_scan_number_range(open_raw, scan, found):
    reader = wide_reader(open_raw, {0: wide_block(rising_mz(11))})
    assert (reader.native_get_peaks(scan) is not None) == found


def test_scan_offset_past_end_of_file(open_raw):
    # Every small-profile scan offset lies beyond this short file.
    reader = open_raw(RawFile().header(version=57).at_least(1000), "small.RAW")
    assert reader.native_get_peaks(1) is None
    assert_no_result_arrays(reader.get_peaks(1))


def assert_no_result_arrays(arrays):
    mz, intensity = arrays
    assert (mz.dtype, intensity.dtype) == (np.float64, np.float32)
    assert mz.tolist() == [0.0] and intensity.tolist() == [0.0]


def test_no_result_forms(open_raw, files):
    reader = wide_reader(open_raw, {})
    assert reader.native_get_peaks(1) is None
    assert_no_result_arrays(reader.get_peaks(1))
    os.remove(files / "x_orbitrap.raw")  # the file goes after construction
    assert reader.native_get_peaks(1) is None
    assert_no_result_arrays(reader.get_peaks(1))


@pytest.mark.parametrize("layout", ["wide", "narrow"])
def test_arrays_agree_with_lists(open_raw, layout):
    count = 150
    make = wide_block if layout == "wide" else narrow_block
    intensity = [float(k) - 20.5 for k in range(count)]
    reader = reader_with(open_raw, layout, {0: make(rising_mz(count), intensity)})
    mz_list, intensity_list = reader.native_get_peaks(1)
    mz_array, intensity_array = reader.get_peaks(scan_num=1)
    assert (mz_array.dtype, intensity_array.dtype) == (np.float64, np.float32)
    assert mz_array.shape == intensity_array.shape == (count,)
    assert mz_array.tolist() == mz_list and intensity_array.tolist() == intensity_list


WIDE_RECORD = np.dtype([("mz", "<f8"), ("intensity", "<f4")])
NARROW_RECORD = np.dtype([("mz", "<f4"), ("intensity", "<f4")])
# Float32 bit patterns that a wrong shuffle or conversion would show: NaNs (quiet,
# signalling, negative), infinities, signed zeros, subnormals, the largest finite.
AWKWARD_BITS = [0x7FC00000, 0xFFC00001, 0x7F800001, 0xFF800000, 0x7F800000, 0x80000000,
                0x00000000, 0x00000001, 0x807FFFFF, 0x7F7FFFFF]


def random_records(layout, count, seed):
    """Records of random bits whose first two m/z values pass the search."""
    rng = np.random.default_rng(seed)
    records = np.zeros(count, WIDE_RECORD if layout == "wide" else NARROW_RECORD)
    mz_bits = records["mz"].view("<u8" if layout == "wide" else "<u4")
    mz_bits[:] = rng.integers(0, np.iinfo(mz_bits.dtype).max, count, dtype=mz_bits.dtype, endpoint=True)
    records["mz"][:2] = [100.0, 100.5]
    intensity_bits = records["intensity"].view("<u4")
    intensity_bits[:] = rng.integers(0, 2**32, count, dtype="<u4")
    awkward = rng.random(count) < 0.125
    intensity_bits[awkward] = rng.choice(AWKWARD_BITS, int(awkward.sum()))
    return records


# Counts around the split's steps of four and eight records, around the 32768-record
# chunks that wide blocks are read in, and the largest count.
@pytest.mark.parametrize("layout", ["wide", "narrow"])
@pytest.mark.parametrize("count", [*range(101, 110), 32767, 32768, 32769, 65537, 199999])
def test_arrays_hold_every_record_bit_for_bit(open_raw, layout, count):
    records = random_records(layout, count, seed=count)
    block = struct.pack("<I", count) + records.tobytes()
    reader = reader_with(open_raw, layout, {0: block})
    mz, intensity = reader.get_peaks(1)
    with np.errstate(invalid="ignore"):  # signalling NaNs come out quieted, as any widening gives
        expected_mz = records["mz"].astype(np.float64)
    assert mz.view(np.uint64).tolist() == expected_mz.view(np.uint64).tolist()
    assert intensity.view(np.uint32).tolist() == records["intensity"].view(np.uint32).tolist()


def test_arrays_own_their_storage(open_raw):
    reader = wide_reader(open_raw, {0: wide_block(rising_mz(11))})
    mz, intensity = reader.get_peaks(1)
    container = type(mz.base)
    assert container is type(intensity.base) and mz.base is not intensity.base
    assert (container.__name__, container.__module__) == ("PySliceContainer", "builtins")
    assert not hasattr(kestrune, "PySliceContainer")
    with pytest.raises(TypeError):
        container()
    assert mz.flags.writeable and intensity.flags.writeable
    mz[:] = -1.0
    intensity[:] = -2.0
    again = reader.get_peaks(1)
    assert again[0][0] == 100.0 and again[1][0] == 1.0
    del reader, again
    gc.collect()
    view = mz[2:5]
    del mz
    gc.collect()
    assert view.tolist() == [-1.0] * 3 and intensity.tolist() == [-2.0] * 11


@pytest.mark.parametrize("method", ["get_peaks", "native_get_peaks"])
def test_argument_errors(open_raw, method):
    call = getattr(wide_reader(open_raw, {}), method)
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        call(-5)
    with pytest.raises(TypeError, match="^argument 'scan_num': "):
        call(2.5)
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'scan_num'"):
        call()


def test_search_reads_no_more_than_it_needs(files):
    # A terabyte-long sparse file: reading it whole would not finish.
    raw = RawFile().header(version=57).put(300, narrow_block(rising_mz(101)))
    raw.length = 2**40
    reader = kestrune.RawFileReader(raw.write(files / "huge.raw"))
    assert len(reader.native_get_peaks(1)[0]) == 101


@pytest.mark.parametrize("version", [66, 57])
def test_search_matches_whole_file_search(files, version):
    rng = random.Random(version)
    make = wide_block if version == 66 else narrow_block
    # Counts, m/z values and positions that sit on the bounds of the search.
    counts = [10, 11, 12, 50, 51, 100, 101, 102, 300]
    firsts = [50.0, 50.01, 100.0, 4999.99, 5000.0]
    positions = [44, 124, 190, 300, 505, 511, 512, 9990, 9999, 10000, 10001]
    for case in range(120):
        raw = RawFile().header(version=version)
        for _ in range(rng.randint(1, 4)):
            mz = rising_mz(rng.choice(counts), rng.choice(firsts), rng.choice([0.5, -0.0005, -1.0]))
            raw.put(rng.choice(positions) + rng.randint(-3, 3), make(mz))
        data = raw.to_bytes()
        data = data[: max(41, len(data) - rng.choice([0, 0, 1, 7, 200]))]
        path = files / f"fuzz{case}.raw"
        path.write_bytes(data)
        got = kestrune.RawFileReader(str(path)).native_get_peaks(1)
        expected = reference_peaks(data, 0, version)
        if expected is None:
            assert got is None, case
        else:
            assert got is not None and tuple(map(bits, got)) == tuple(map(bits, expected)), case


NUMPY_SCRIPT = textwrap.dedent(
    """
    import sys
    import kestrune

    def panic_text(call):
        try:
            call()
        except BaseException as error:
            return type(error).__name__ + "|" + str(error)
        return "no failure"

    reader = kestrune.RawFileReader(sys.argv[1])
    if sys.argv[2] == "absent":
        sys.modules["numpy"] = None
        print(len(reader.native_get_peaks(1)[0]))
        print(panic_text(lambda: reader.get_peaks(1)))
        print(panic_text(lambda: reader.get_peaks(1)))
        del sys.modules["numpy"]
    else:
        import numpy
        major = int(numpy.__version__.split(".")[0])
        core = sys.modules["numpy._core" if major > 1 else "numpy.core"]
        capsule, core.multiarray._ARRAY_API = core.multiarray._ARRAY_API, 5
        print(panic_text(lambda: reader.get_peaks(1)))
        core.multiarray._ARRAY_API = capsule
    print(len(reader.get_peaks(1)[0]))  # the failure was not kept
    print(*[name for name in ("numpy.core", "numpy._core") if name + ".multiarray" in sys.modules])
    """
)


@pytest.mark.parametrize("numpy_state", ["absent", "capsule replaced"])
def test_numpy_unreachable(open_raw, files, numpy_state):
    wide_reader(open_raw, {0: wide_block(rising_mz(11))})
    out = subprocess.run(
        [sys.executable, "-W", "error", "-c", NUMPY_SCRIPT, str(files / "x_orbitrap.raw"), numpy_state],
        capture_output=True, text=True, check=True,
    ).stdout.splitlines()
    if numpy_state == "absent":
        assert out[0] == "11"
        panics = out[1:3]
    else:
        panics = out[:1]
        assert "PyCapsule" in panics[0]
    for line in panics:
        assert line.startswith("PanicException|" + PREFIX + ": ")
    assert out[-2] == "11"
    # Only the core package of the installed major version was imported.
    assert out[-1] == ("numpy._core" if int(np.__version__.split(".")[0]) > 1 else "numpy.core")
