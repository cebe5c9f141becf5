"""The package with the libraries people use next to it: OpenCV's projection
with the intrinsics the device reports, and open3d point clouds."""
import textwrap

import numpy as np
import pytest

import kavro
from conftest import replay, run_python


@pytest.mark.parametrize("undistort", [False, True], ids=["raw image", "undistorted"])
def test_opencv_projects_each_point_onto_its_pixel(recording, undistort):
    cv2 = pytest.importorskip("cv2")
    with replay(recording) as dev:
        if undistort:
            assert dev.filter_enable(kavro.FILTER_LEN_CALIB)
        frame = dev.capture()
        dist = frame.distance()
        intr = dev.intrinsics(frame.width, frame.height)
        pts = frame.pointcloud()
    rows, cols = np.nonzero((dist > 0) & (dist < 60))
    assert len(pts) == len(rows) > dist.size // 2
    uv, _ = cv2.projectPoints(pts.astype(np.float64), np.zeros(3), np.zeros(3), intr["camera_matrix"],
                              intr["dist_coeffs"])
    uv = uv.reshape(-1, 2)
    np.testing.assert_allclose(uv[:, 0], cols, atol=2e-3)
    np.testing.assert_allclose(uv[:, 1], rows, atol=2e-3)


def test_opencv_undistorts_with_the_intrinsics(recording):
    # cv2.undistort takes the arrays as they are (layout, dtype, shape).
    cv2 = pytest.importorskip("cv2")
    with replay(recording) as dev:
        frame = dev.capture()
        intr = dev.intrinsics(frame.width, frame.height)
        gray = frame.gray()
    out = cv2.undistort(gray, intr["camera_matrix"], intr["dist_coeffs"])
    assert out.shape == gray.shape and out.dtype == gray.dtype
    # A barrel lens: undistorting moves the picture, so the images differ.
    assert not np.array_equal(out, gray)


def test_to_open3d_holds_the_frame_cloud(recording):
    o3d = pytest.importorskip("open3d")
    with replay(recording) as dev:
        frame = dev.capture()
        cloud = frame.to_open3d()
        pts = frame.pointcloud()
    assert isinstance(cloud, o3d.geometry.PointCloud)
    np.testing.assert_array_equal(np.asarray(cloud.points), pts.astype(np.float64))


def test_to_open3d_without_open3d_says_what_to_install(recording, tmp_path):
    done = run_python(textwrap.dedent("""
        import sys
        sys.modules["open3d"] = None  # as if it were not installed
        import kavro
        with kavro.open_replay(sys.argv[1]) as dev:
            for frame in dev.stream(count=1):
                try:
                    frame.to_open3d()
                except ImportError as e:
                    print(e)
    """), tmp_path, recording)
    assert done.returncode == 0, done.stderr
    assert "needs the open3d package" in done.stdout and "python3-open3d" in done.stdout
