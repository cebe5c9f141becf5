"""Play a recording through the camera interface and print, per frame, the
median distance and the number of 3-D points.

    python3 examples/python/replay_depth.py REC.raw

(with the package installed, or PYTHONPATH=build/python from the build tree)
"""
import sys

import numpy as np

import kavro

with kavro.open_replay(sys.argv[1]) as dev:      # no set-up call: the library sets itself up
    print("product:", dev.product)
    dev.set_param(kavro.PARAM_FRAME_RATE, 30)
    frames = 0
    for frame in dev.stream():                   # starts capture; stops it when the loop ends
        depth = frame.distance()                 # float32 (height, width), metres
        valid = depth[(depth > 0) & (depth < 60)]
        points = frame.pointcloud()              # float32 (n, 3)
        print(f"frame {frame.index}: median {np.median(valid):.3f} m, {len(points)} points")
        frames += 1
    print("frames:", frames)
