"""Play a recording through the camera interface and print, per frame, the
median distance and the number of 3-D points.

    PYTHONPATH=build/python /usr/bin/python3 examples/python/replay_depth.py REC.raw
"""
import sys

import numpy as np

import kavro

kavro.init("replay_depth.log")  # optional: without it the log is kavro_YYYYMMDD.log
with kavro.open_replay(sys.argv[1]) as dev:
    print("product:", dev.product)
    dev.set_param(kavro.PARAM_FRAME_RATE, 30)
    dev.start()
    frames = 0
    while (frame := dev.capture()) is not None:
        depth = frame.distance()                 # float32 (height, width), metres
        valid = depth[(depth > 0) & (depth < 60)]
        points = frame.pointcloud()              # float32 (n, 3)
        print(f"frame {frame.index}: median {np.median(valid):.3f} m, {len(points)} points")
        frames += 1
    print("frames:", frames)
kavro.uninit()
