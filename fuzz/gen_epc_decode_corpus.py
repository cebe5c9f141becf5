#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_epc_decode: small EPC frames (four-DCS,
one-DCS and two-DCS sport mode, hostile headers) behind the fuzz target's
control bytes (stage switches, output format and destination size)."""
import math
import os
import struct
import sys


def frinfo(frame_size, fmt, w, h, cb=400, ib=350, idx=7):
    prop = struct.pack("<HHhh4x", w, h, cb, ib)
    return struct.pack("<IHH", frame_size, idx, fmt) + prop


def dcs_images(w, h, n_img):
    """n_img images of w*h 12-bit samples: a depth ramp with varied amplitude,
    some saturated and empty pixels."""
    n = w * h
    out = [0] * (n_img * n)
    for i in range(n):
        phi = 2 * math.pi * (0.1 + 0.8 * i / n)
        a = 50 + (i * 37) % 900
        for k in range(n_img):
            out[k * n + i] = max(0, min(4095, round(2048 + a * math.cos(phi - k * math.pi / 2))))
    out[3] = 4095
    out[(n if n_img > 1 else 0) + 5] = 0
    return struct.pack("<%dH" % len(out), *out)


def seed(switches, fmt_out, dst_mode, sport, hdr, data):
    mode = (fmt_out & 7) | (dst_mode & 3) << 3 | (sport & 3) << 5
    return bytes([switches, mode]) + hdr + data


def main(out_dir):
    os.makedirs(out_dir, exist_ok=True)
    w, h = 16, 8
    four = dcs_images(w, h, 4)
    one = dcs_images(w, h, 1)
    seeds = {
        "dcs4_distance_all_stages": seed(0xFF, 1, 0, 0, frinfo(len(four), 2, w, h), four),
        "dcs4_distance_plain": seed(0x00, 1, 0, 0, frinfo(len(four), 2, w, h), four),
        "dcs4_gray": seed(0x03, 2, 0, 0, frinfo(len(four), 2, w, h), four),
        "dcs4_dst_one_short": seed(0x01, 1, 1, 0, frinfo(len(four), 2, w, h), four),
        "dcs1_distance": seed(0x23, 1, 0, 0, frinfo(len(one), 4, w, h), one),
        "sport_two_dcs": seed(0x01, 1, 0, 2, frinfo(len(four), 2, w, h), four),
        "sport_one_dcs": seed(0x01, 1, 0, 1, frinfo(len(one), 2, w, h), one),
        "claims_vga_small_data": seed(0x01, 1, 0, 0, frinfo(640 * 480 * 8, 2, 640, 480), four),
        "odd_size_undistort": seed(0x10, 1, 0, 0, frinfo(len(dcs_images(10, 6, 4)), 2, 10, 6),
                                   dcs_images(10, 6, 4)),
        "interference_one_image": seed(0x08, 1, 0, 0, frinfo(len(one), 2, w, h), one),
    }
    for name, data in seeds.items():
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus", "epc_decode"))
