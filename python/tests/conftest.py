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


def c_reference(recording, out):
    """What the C interface makes of every frame of `recording`, by frame index."""
    run = subprocess.run([_tool("KAVRO_PY_REFERENCE"), str(recording), str(out)], check=True,
                         capture_output=True, text=True)
    frames = {}
    for line in run.stdout.splitlines():
        if not line.startswith("frame "):
            continue  # only the frame lines are results
        _, idx, size, w, h, flags, temp0, temp1 = line.split()
        base = out / idx
        w, h = int(w), int(h)
        frames[int(idx)] = {
            "raw": (base.with_suffix(".raw")).read_bytes(),
            "size": int(size),
            "flags": int(flags),
            "temperatures": (int(temp0), int(temp1)),
            "distance": np.fromfile(base.with_suffix(".dist"), dtype="<f4").reshape(h, w),
            "gray": np.fromfile(base.with_suffix(".gray"), dtype="<f4").reshape(h, w),
            "pointcloud": np.fromfile(base.with_suffix(".pcl"), dtype="<f4").reshape(-1, 3),
            "pointcloud_xyzd": np.fromfile(base.with_suffix(".xyzd"), dtype="<f4").reshape(-1, 4),
            "colormap": np.fromfile(base.with_suffix(".rgb"), dtype=np.uint8).reshape(h, w, 3),
        }
    return frames


@pytest.fixture(scope="session")
def reference(recording, tmp_path_factory):
    """What the C interface makes of every frame of the recording, by frame index."""
    return c_reference(recording, tmp_path_factory.mktemp("reference"))


WARM_FRAMES = 5
WARM_FPS = 15
WARM_INTG_US = 2000


@pytest.fixture(scope="session")
def warm_recording(workdir):
    """A recording of a warming-up sensor (temperatures change from frame to
    frame) at settings away from the defaults."""
    rec = workdir / "warm.raw"
    subprocess.run([_tool("KAVRO_SIM"), "record", "--scene", "stairs", "--frames", str(WARM_FRAMES),
                    "--errors", "fpn,wiggle,drift,noise", "--fps", str(WARM_FPS), "--intg", str(WARM_INTG_US),
                    str(rec)], check=True, stdout=subprocess.DEVNULL)
    return rec


def replay(path, fps=30):
    """An open, capturing replay of `path`; with fps None, at the replay's
    default pace (no frame rate set)."""
    dev = kavro.open_replay(str(path))
    if fps is not None:
        dev.set_param(kavro.PARAM_FRAME_RATE, fps)
    dev.start()
    return dev


def run_python(code, cwd, *args):
    """Run `code` in a fresh interpreter (the package not yet set up) in `cwd`;
    the finished process, its output as text."""
    import sys
    return subprocess.run([sys.executable, "-c", code, *map(str, args)], cwd=cwd, capture_output=True,
                          text=True, timeout=240)
