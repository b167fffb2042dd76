#!/usr/bin/env python3
"""Writes the seed corpus of the core fuzz harness (fuzz/corpus/).

Each seed is an input in the harness's own layout (see fuzz/harness.cpp): a small
header choosing version, path profile, operations, virtual length, chunk size and
source faults, then (anchor, delta, bytes) pieces laid into a sparse virtual file.
The seeds sketch well-formed files of every profile so the fuzzer starts from
inputs that reach deep into each operation.
"""

import pathlib
import struct

ANCHORS = [0, 3666, 88820, 146733, 295708, 1_000_000, 1_481_842, 1_492_161, 4_194_000,
           6_464_170, 6_476_762, 6_514_414, 6_560_000, 6_700_000]
VERSION = {57: 0, 66: 1, "other": 2, "header": 3}
PATH = {"none": 0, "small": 1, "orbitrap": 2, "both": 3}
OP = dict(caches=1, queries=2, trailer=4, peaks=8, method=16, status_log=32, error_log=64, reinit=128)
ALL_OPS = 0xFF


def piece(offset, data):
    """Encodes bytes at an absolute offset as the nearest anchor plus a delta."""
    out = b""
    while data:
        anchor = max(i for i, a in enumerate(ANCHORS) if a <= offset)
        delta = offset - ANCHORS[anchor]
        if delta > 0xFFFF:
            raise ValueError(f"offset {offset} is not within reach of an anchor")
        part = data[:0xFFFF]
        out += struct.pack("<BHH", anchor, delta, len(part)) + part
        offset, data = offset + len(part), data[len(part):]
    return out


def seed(version, path, ops, length, pieces, chunk=16, other_version=100, faults=0, fault_at=0):
    head = struct.pack("<BB", VERSION[version] | PATH[path] << 2, ops)
    head += length.to_bytes(3, "little") + bytes([chunk]) + struct.pack("<I", other_version)
    head += bytes([faults]) + (fault_at // 64).to_bytes(3, "little")
    return head + b"".join(piece(o, d) for o, d in pieces)


def header(version):
    return (0, b"\0" * 12 + struct.pack("<IQ", version, 133_444_736_000_000_000) + b"\0" * 12
            + struct.pack("<I", version))


def trailer(agc=b"1.0e6", energy=b"30.0", hcd=b"30", width=1.6):
    record = bytearray(140)
    record[0:13] = agc.ljust(13)[:13]
    struct.pack_into("<ffI", record, 12, 54.5, 0.12, 30000)
    record[29] = 1
    struct.pack_into("<idB", record, 62, 1, 512.25, 2)
    record[75:91] = energy.ljust(16)[:16]
    record[100:116] = hcd.ljust(16)[:16]
    struct.pack_into("<f", record, 125, width)
    return bytes(record)


def peak_block(version, count, first_mz=150.0):
    if version == 66:
        records = b"".join(struct.pack("<df", first_mz + 0.5 * i, 1000.0 + i) for i in range(count))
    else:
        records = b"".join(struct.pack("<ff", first_mz + 0.5 * i, 1000.0 + i) for i in range(count))
    return struct.pack("<I", count) + records


def orbitrap(version, n):
    lengths_rts = b"".join(struct.pack("<Id", 300, 0.25 + 0.05 * k).ljust(88, b"\0") for k in range(n))
    end = 6_514_414 + 558 * (n - 1) + 140
    pieces = [header(version), (6_464_170, lengths_rts)]
    pieces += [(6_514_414 + 558 * k, trailer()) for k in range(0, n, 7)]
    pieces += [(3666 + 300 * k, peak_block(version, 12 + k)) for k in range(3)]
    return pieces, end


def utf16(*texts, separator=0):
    return b"".join(t.encode("utf-16-le", "surrogatepass") + struct.pack("<H", separator) for t in texts)


def main():
    out = pathlib.Path(__file__).resolve().parent / "corpus"
    out.mkdir(exist_ok=True)
    for old in out.iterdir():
        old.unlink()
    seeds = {}
    for version, n in ((66, 145), (57, 48), ("other", 100)):
        pieces, end = orbitrap(66 if version == "other" else version, n)
        ops = OP["caches"] | OP["queries"] | OP["trailer"] | OP["peaks"] | OP["reinit"]
        seeds[f"orbitrap-{version}"] = seed(version, "orbitrap", ops, end, pieces)
        seeds[f"orbitrap-{version}-short"] = seed(version, "orbitrap", ops, end - 600, pieces)
        seeds[f"orbitrap-{version}-shrinks"] = seed(version, "orbitrap", ops, end, pieces,
                                                    faults=2, fault_at=6_500_000)
    small_rt = b"".join(struct.pack("<d", 0.1 * k).ljust(72, b"\0") for k in range(48))
    small_blocks = b"".join(struct.pack("<f", 10.0 + k).ljust(254, b"\0") for k in range(48))
    small = [header(57), (1_481_842, small_rt), (1_492_161, small_blocks),
             (88820, peak_block(57, 120)), (118112, peak_block(57, 11))]
    end = 1_492_161 + 254 * 47 + 40
    seeds["small-57"] = seed(57, "small", ALL_OPS & ~(OP["method"] | OP["status_log"] | OP["error_log"]),
                             end, small)
    seeds["small-57-failing-reads"] = seed(57, "small", OP["caches"] | OP["peaks"], end, small,
                                           faults=1, fault_at=1_485_000)
    seeds["both-66"] = seed(66, "both", OP["caches"] | OP["trailer"] | OP["peaks"], end, small)
    seeds["generic-header-version"] = seed("header", "none", OP["caches"] | OP["queries"] | OP["peaks"],
                                           200_000, [header(65), (3666, peak_block(65, 40))])
    method = b'<?xml version="1.0" encoding="utf-8"?><InstrumentMethod><Scan>HCD 30</Scan></InstrumentMethod>'
    cmdata = b'<?xml version="1.0"?><CmData><x>\xc3\xa9</x></CmData>'
    logs = (utf16("Possible spray instability", "Spray current low", "Spray current low", "Fan")
            + struct.pack("<HH", 0x2000, 0) + utf16("Coulombmeter", "Ion Gauge", "Fore Vacuum", "A"))
    text_ops = OP["method"] | OP["status_log"] | OP["error_log"]
    seeds["texts-small-file"] = seed(66, "none", text_ops, 4096, [(100, method), (1500, logs)], chunk=0)
    seeds["texts-chunk-seams"] = seed(66, "none", text_ops, 4096, [(61, method), (1501, logs)], chunk=1)
    seeds["texts-cmdata"] = seed(66, "none", OP["method"], 300_000, [(5, cmdata)], chunk=12)
    seeds["texts-far"] = seed(66, "none", text_ops, 6_800_000, [(1_000_000, method), (6_700_000, logs)], chunk=16,
                             faults=4)
    seeds["texts-method-at-limit"] = seed(66, "none", OP["method"], 4_200_000, [(4_194_300, method)], faults=4)
    seeds["texts-odd-marker"] = seed(66, "none", text_ops, 2048, [(101, logs)], chunk=2)
    for name, data in seeds.items():
        (out / name).write_bytes(data)
    print(f"wrote {len(seeds)} seeds to {out}")


if __name__ == "__main__":
    main()
