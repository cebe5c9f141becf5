"""Shared fixtures: a simulated recording, its decode through the C interface,
and the library set up once for the session with its files in a temp folder.

ctest passes the simulator (KAVRO_SIM) and the reference program
(KAVRO_PY_REFERENCE) through the environment, and the build tree's package
through PYTHONPATH.
"""
import os
import subprocess
from pathlib import Path

import numpy as np
import pytest

import kavro

FRAMES = 4
CMAP_RANGE = (0.5, 5.0)  # the range the reference program colour-maps with


def _tool(var):
    path = os.environ.get(var)
    if not path:
        pytest.fail(f"{var} is not set: run the tests through ctest")
    return path


@pytest.fixture(scope="session")
def workdir(tmp_path_factory):
    return tmp_path_factory.mktemp("kavro")


@pytest.fixture(scope="session", autouse=True)
def library(workdir):
    kavro.set_path(str(workdir) + "/")
    kavro.init(str(workdir / "kavro_py.log"))
    yield
    kavro.uninit()


@pytest.fixture(scope="session")
def recording(workdir):
    """A recording of the simulator's room scene."""
    rec = workdir / "room.raw"
    subprocess.run([_tool("KAVRO_SIM"), "record", "--scene", "room", "--frames", str(FRAMES),
                    "--intg", "3000", str(rec)], check=True, stdout=subprocess.DEVNULL)
    return rec


@pytest.fixture(scope="session")
def reference(recording, tmp_path_factory):
    """What the C interface makes of every frame of the recording, by frame index."""
    out = tmp_path_factory.mktemp("reference")
    run = subprocess.run([_tool("KAVRO_PY_REFERENCE"), str(recording), str(out)], check=True,
                         capture_output=True, text=True)
    frames = {}
    for line in run.stdout.splitlines():
        _, idx, size, w, h = line.split()
        base = out / idx
        w, h = int(w), int(h)
        frames[int(idx)] = {
            "raw": (base.with_suffix(".raw")).read_bytes(),
            "size": int(size),
            "distance": np.fromfile(base.with_suffix(".dist"), dtype="<f4").reshape(h, w),
            "gray": np.fromfile(base.with_suffix(".gray"), dtype="<f4").reshape(h, w),
            "pointcloud": np.fromfile(base.with_suffix(".pcl"), dtype="<f4").reshape(-1, 3),
            "pointcloud_xyzd": np.fromfile(base.with_suffix(".xyzd"), dtype="<f4").reshape(-1, 4),
            "colormap": np.fromfile(base.with_suffix(".rgb"), dtype=np.uint8).reshape(h, w, 3),
        }
    return frames


def replay(path, fps=30):
    """An open, capturing replay of `path`; with fps None, at the replay's
    default pace (no frame rate set)."""
    dev = kavro.open_replay(str(path))
    if fps is not None:
        dev.set_param(kavro.PARAM_FRAME_RATE, fps)
    dev.start()
    return dev
