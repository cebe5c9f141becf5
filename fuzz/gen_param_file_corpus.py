#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_param_file: valid calibration parameter
files in both block layouts, regression inputs for the size checks, and
files with EPC DRNU blocks the driver's calibration mount accepts (small
images, so the fuzzer spends its time in the readers, not in the fit)."""
import os
import struct
import sys

MAGIC_OLD = 1000
MAGIC = 0x31505856


def hash16(data, seed=0):
    s1, s2 = seed & 0xFF, seed >> 8
    for b in data:
        s1 = (s1 + b) % 255
        s2 = (s2 + s1) % 255
    return s1 | (s2 << 8)


def pattern(n, seed):
    return bytes((seed * 31 + i * 7) & 0xFF for i in range(n))


def param_file(ver, blocks, lens_name=b"", cx=160.0, cy=120.0, blk_cnt=None, total=None, blk_ck=None,
               unit_sizes=None, raw_body=None):
    """blocks: list of (type, data). unit_sizes overrides the size written in each unit header;
    raw_body (with blk_cnt) replaces the blocks by bytes that carry their own unit headers."""
    old = ver < 140
    lens = struct.pack("<64s4d5d2I", lens_name, cx, cy, 210.0, 211.0, -0.2, 0.1, 0.0, 0.0, 0.0, 320, 240)
    reserved2 = bytes((i * 7 + 0x5A) & 0xFF for i in range(1024))
    covered = lens + reserved2
    fix = struct.pack("<BIIIBIH", ver, 1700000000, MAGIC_OLD if old else MAGIC, 0, 2, 0, hash16(covered)) + covered
    body = b""
    for k, (typ, data) in enumerate(blocks):
        size = unit_sizes[k] if unit_sizes else len(data)
        if old:
            body += struct.pack("<B5IBI4I", typ, 1, 2, 3, 4, 5, 0xA0 + k, size, 6, 7, 8, 9) + data
        else:
            body += struct.pack("<BI", typ, size) + data
    if raw_body is not None:
        body = raw_body
    blks = struct.pack("<IIIH", 1700000123, len(blocks) if blk_cnt is None else blk_cnt,
                       len(body) if total is None else total, hash16(body) if blk_ck is None else blk_ck)
    return fix + blks + body


REC_SIZE = 153620  # one DRNU reference record: 20-byte head, 320 x 240 u16 phases


def drnu_block(freq, num_dist, w, h, atan_scale, old_layout=False, step=2000):
    """EPC block data (37-byte header + records); old_layout: the 42-byte old header instead."""
    payload = b""
    for k in range(num_dist):
        samples = struct.pack("<%dH" % (w * h), *[(1000 + 3 * p + k * step) & 0xFFFF for p in range(w * h)])
        rec = struct.pack("<iIIII", k * 250000, w, h, 0, 0) + samples
        payload += rec + bytes(REC_SIZE - len(rec))
    hdr = struct.pack("<IIfIhhbIIII", freq, 0, 29.5, 0, 400, 350, num_dist,
                      len(payload) if old_layout else 0, w, h, atan_scale)
    return hdr + payload


def main(out):
    os.makedirs(out, exist_ok=True)
    files = {
        "valid_current_three_blocks": param_file(150, [(1, pattern(40, 1)), (2, b""), (7, pattern(9, 2))],
                                                  lens_name=b"lens-A7"),
        "valid_current_empty": param_file(140, []),
        "valid_old_two_blocks": param_file(120, [(1, pattern(30, 3)), (1, pattern(5, 4))]),
        "refused_eight_blocks": param_file(150, [(1, b"x")] * 8),
        "refused_lens_cx": param_file(150, [(1, b"ab")], lens_name=b"L" * 64, cx=12.5),
        "regress_current_unit_size_past_end": param_file(150, [(1, pattern(10, 5))], unit_sizes=[0xFFFFFFFF]),
        "regress_old_unit_size_past_end": param_file(121, [(1, pattern(10, 6))], unit_sizes=[0x7FFFFFF0]),
        "regress_total_mismatch": param_file(150, [(1, pattern(10, 7))], total=14),
        # Mountable: a non-DRNU block to skip, then 12 MHz and 15 MHz DRNU
        # blocks of a version that needs the one-sample repair, phases at
        # 30000 per period.
        "mount_current_v149_two_freqs": param_file(
            149, [(2, pattern(12, 8)), (1, drnu_block(12000000, 2, 4, 2, 30000)),
                  (1, drnu_block(15000000, 2, 2, 2, 0))]),
    }
    # Old layout: the 42-byte block header carries the payload size.
    # Old layout: the 42-byte unit header is the type, the EPC header (whose
    # reserved word holds the payload size) and 4 reserved bytes.
    old = drnu_block(15000000, 2, 4, 2, 32768, old_layout=True)
    files["mount_old_layout"] = param_file(120, [], blk_cnt=1, raw_body=b"\x01" + old[:37] + bytes(4) + old[37:])
    for name, data in files.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus", "param_file"))
