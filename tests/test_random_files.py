"""Random and mutated files, cut at every interesting boundary, read through the
whole method surface: each answer is a value of the method's type or one of the
exceptions its failure rules name, never a crash.

Seeded, so a failure names its case and replays; KESTRUNE_FUZZ_CASES sets how
many mutated files are drawn (default 40).
"""

import os
import random
import struct

import pytest

from surface import call, call_everything, open_reader
from kestrune_tools.synthetic import (
    DEMO_LOGS_AT,
    DEMO_METHOD_AT,
    ORBITRAP_INDEX_AT,
    SMALL_BLOCK_AT,
    SMALL_RT_AT,
    SMALL_SCAN_OFFSETS,
    RawFile,
    demo_file,
    narrow_block,
    rising_mz,
    trailer_at,
    wide_block,
    with_demo_texts,
)

CASES = int(os.environ.get("KESTRUNE_FUZZ_CASES", "40"))
NAMES = ["plain.raw", "small.RAW", "orbitrap.raw", "orbitrap-small.RAW"]
VERSIONS = [57, 66, 0, 65, 67, 2**32 - 1]
FOUR_MIB = 4 * 1024 * 1024


def boundaries():
    """Lengths at which a file is cut: around each header field and each table."""
    edges = [12, 16, 24, 36, 40, 3666, ORBITRAP_INDEX_AT, ORBITRAP_INDEX_AT + 88 * 47 + 4,
             ORBITRAP_INDEX_AT + 88 * 99 + 4, ORBITRAP_INDEX_AT + 88 * 144 + 4, trailer_at(1) + 76,
             trailer_at(1) + 140, trailer_at(48) + 76, trailer_at(145) + 140, SMALL_RT_AT + 8,
             SMALL_RT_AT + 72 * 47 + 8, SMALL_BLOCK_AT + 40, SMALL_BLOCK_AT + 254 * 47 + 40,
             DEMO_METHOD_AT + 20, FOUR_MIB, DEMO_LOGS_AT + 30, *SMALL_SCAN_OFFSETS]
    return sorted({e + d for e in edges for d in (-1, 0, 1) if e + d >= 0})


def rich_file(version=66):
    """The demo file with its texts, small-profile tables and narrow peak blocks too."""
    raw = with_demo_texts(demo_file())
    raw.header(version=version, fallback_version=version)
    for k in range(48):
        raw.small_retention_time(k + 1, 0.1 * k)
        raw.small_block(k + 1, 5.0 + k)
    for offset in SMALL_SCAN_OFFSETS:
        raw.put(offset, narrow_block(rising_mz(120)))
    raw.put(ORBITRAP_INDEX_AT - 13_000, wide_block(rising_mz(30)))
    return raw


def cut(raw: RawFile, length: int) -> RawFile:
    out = RawFile(length=length)
    for offset, data in raw.pieces.items():
        if offset < length:
            out.pieces[offset] = data[: length - offset]
    return out


def mutate(raw: RawFile, rng: random.Random) -> RawFile:
    out = RawFile(pieces=dict(raw.pieces), length=raw.length)
    offsets = sorted(out.pieces)
    for _ in range(rng.randrange(1, 40)):
        roll = rng.random()
        if roll < 0.5:  # flip bytes inside a piece
            offset = rng.choice(offsets)
            data = bytearray(out.pieces[offset])
            for _ in range(rng.randrange(1, 8)):
                data[rng.randrange(len(data))] = rng.randrange(256)
            out.pieces[offset] = bytes(data)
        elif roll < 0.7:  # an extreme value over a number
            offset = rng.choice(offsets) + rng.randrange(0, 16)
            value = rng.choice([b"\xff" * 4, b"\0" * 4, struct.pack("<f", float("nan")),
                                struct.pack("<d", float("inf")), struct.pack("<I", 199_999),
                                struct.pack("<I", 2**31)])
            out.put(offset, value)
        elif roll < 0.9:  # random bytes somewhere
            out.put(rng.randrange(0, raw.length), rng.randbytes(rng.randrange(1, 300)))
        else:
            out.header(version=rng.choice(VERSIONS), fallback_version=rng.choice(VERSIONS))
    if rng.random() < 0.5:
        out = cut(out, rng.choice(boundaries()))
    return out


def exercise(path, name):
    reader = open_reader(path)
    if reader is None:
        return
    call_everything(reader, scans=[0, 1, 2, 10, 11, 48, 100, 145, 146, 2**32 - 1])
    call(reader, "initialize_caches")
    call_everything(reader, scans=[0, 1, reader.num_scans])


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("version", [57, 66, 100])
def test_cut_at_every_boundary(files, name, version):
    raw = rich_file(version)
    for length in boundaries():
        path = cut(raw, length).write(files / name)
        exercise(path, name)


@pytest.mark.parametrize("case", range(CASES))
def test_mutated_files(files, case):
    rng = random.Random(case)
    name = NAMES[case % len(NAMES)]
    raw = mutate(rich_file(rng.choice([57, 66, 100])), rng)
    exercise(raw.write(files / name), name)


@pytest.mark.parametrize("case", range(CASES // 4))
def test_random_small_files(files, case):
    rng = random.Random(10_000 + case)
    name = NAMES[case % len(NAMES)]
    raw = RawFile(length=0).put(0, rng.randbytes(rng.randrange(0, 5000)))
    if rng.random() < 0.5:
        raw.header(version=rng.choice(VERSIONS))
    exercise(raw.write(files / name), name)
