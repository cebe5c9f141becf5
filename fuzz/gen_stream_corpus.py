#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_stream: valid camera byte streams and
regression inputs, each prefixed with the fuzz target's control bytes
(mode byte, number of cut lengths, the cut lengths as u16 little-endian)."""
import os
import struct
import sys

HDR = 36


def hash16(data, seed=0):
    s1, s2 = seed & 0xFF, seed >> 8
    for b in data:
        s1 = (s1 + b) % 255
        s2 = (s2 + s1) % 255
    return s1 | (s2 << 8)


def payload_sum(p):
    return sum(struct.unpack_from("<I", p, i)[0] for i in range(0, len(p) - 3, 4)) & 0xFFFFFFFF


def header(idx, payload, frame_size, frame_idx, flag=1, frame_format=2, prop=b"", sum_on=False):
    if sum_on:
        flag |= 0x100
    prop = (prop + bytes(12))[:12]
    head = struct.pack("<HHIIHH12sIH", 0x98FB, idx & 0xFFFF, len(payload), frame_size, frame_idx & 0xFFFF,
                       frame_format, prop, payload_sum(payload) if sum_on else 0, flag)
    return head + struct.pack("<H", hash16(head)) + payload


def pattern(n, seed):
    return bytes((i * 31 + seed * 7) & 0xFF for i in range(n))


def control(mode, cuts):
    return bytes([mode, len(cuts)]) + b"".join(struct.pack("<H", c) for c in cuts)


def main(out_dir):
    os.makedirs(out_dir, exist_ok=True)
    seeds = {}
    # Three whole frames, one feed per 50 bytes, list limit 2, take one per feed.
    s = b"".join(header(i, pattern(64, i), 64, i + 10, prop=b"\x40\x00\x01\x00") for i in range(3))
    seeds["valid_whole_frames"] = control(0x0A, [50]) + s
    # A frame under three headers with payload sums, cuts not word-aligned.
    f = pattern(90, 5)
    s = header(7, f[:41], 90, 5, sum_on=True) + header(8, f[41:82], 90, 5, flag=0, sum_on=True) + \
        header(9, f[82:], 90, 5, flag=0, sum_on=True)
    seeds["valid_split_frame_with_sums"] = control(0x17, [1, 13, 35, 2]) + s
    # Three frames under one header, then one more, peeking between feeds.
    s = header(0xFFFF, pattern(72, 1), 24, 0xFFFE) + header(0, pattern(24, 2), 24, 1)
    seeds["valid_multi_frame_header"] = control(0x14, [20, 16]) + s
    # Garbage with fake sync bytes before a frame, a reset halfway.
    s = b"\x00\xfb\x98\x01\x02\xfb" + bytes(40) + b"\xfb" + header(3, pattern(48, 3), 48, 1) + \
        header(4, pattern(48, 4), 48, 2)
    seeds["garbage_then_frames_with_reset"] = control(0x9C, [7]) + s
    # Regression: a header claiming zero-byte frames once made payload cutting
    # loop forever.
    s = header(0, pattern(16, 9), 0, 1) + header(1, pattern(16, 8), 16, 2)
    seeds["regress_frame_size_zero_loops_forever"] = control(0x03, []) + s
    # Regression: the largest frame size a header may claim is allocated once,
    # not per piece, and dropped at the next frame boundary.
    s = header(0, pattern(32, 1), 0x7FFFFFF, 1) + header(1, pattern(32, 2), 0x7FFFFFF, 1, flag=0) + \
        header(2, pattern(16, 3), 16, 2)
    seeds["regress_max_frame_size_claim_dropped_at_boundary"] = control(0x01, [40]) + s
    # Regression: a header beginning inside a fake header held from earlier
    # small feeds was lost when the held bytes failed the check.
    s = b"\x00\xfb\x98\x01\x02\xfb\x98\xfb" + header(5, pattern(50, 5), 50, 3)
    seeds["regress_header_inside_held_fake_header_lost"] = control(0x0B, [3]) + s
    for name, data in seeds.items():
        with open(os.path.join(out_dir, name), "wb") as fh:
            fh.write(data)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus", "stream"))
