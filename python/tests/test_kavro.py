"""The Python package against the C interface on a replayed simulator
recording, its errors, its device life cycle and its frame files."""
import re

import numpy as np
import pytest

import kavro
from conftest import (CMAP_RANGE, FRAMES, WARM_FPS, WARM_FRAMES, WARM_INTG_US, c_reference, replay)


def decode_all(path, fps=30):
    """Every frame of a replay decoded through the package, by frame index."""
    frames = {}
    with replay(path, fps) as dev:
        while (f := dev.capture()) is not None:
            frames[f.index] = {
                "frame": f,
                "raw": f.data.tobytes(),
                "size": f.size,
                "distance": f.distance(),
                "gray": f.gray(),
                "pointcloud": f.pointcloud(),
                "pointcloud_xyzd": f.pointcloud_xyzd(),
                "colormap": f.colormap(*CMAP_RANGE),
            }
    return frames


@pytest.fixture(scope="module")
def decoded(recording):
    return decode_all(recording)


def test_every_frame_is_captured(decoded, reference):
    assert sorted(decoded) == sorted(reference) == list(range(1, FRAMES + 1))


def test_default_replay_gives_every_frame_as_the_c_interface(recording, reference):
    # No frame rate set: a `while (f := dev.capture())` loop still gets every
    # recorded frame, and decodes each as the C interface does.
    got = decode_all(recording, fps=None)
    assert sorted(got) == list(range(1, FRAMES + 1))
    for idx, frame_ref in reference.items():
        np.testing.assert_array_equal(got[idx]["distance"], frame_ref["distance"], err_msg=f"frame {idx}")


@pytest.mark.parametrize("key", ["raw", "size", "distance", "gray", "pointcloud", "pointcloud_xyzd",
                                 "colormap"])
def test_decode_equals_c_interface(decoded, reference, key):
    for idx, frame_ref in reference.items():
        got, ref = decoded[idx][key], frame_ref[key]
        if isinstance(ref, np.ndarray):
            assert got.dtype == ref.dtype and got.shape == ref.shape, (idx, got.dtype, got.shape)
            np.testing.assert_array_equal(got, ref, err_msg=f"frame {idx}")
        else:
            assert got == ref, f"frame {idx}"


def test_frame_says_calibration_and_temperature(decoded, reference):
    # The frame description's flags, as the C interface gives them.
    names = {0x0: "none", 0x2: "simple", 0x4: "per-pixel"}
    for idx, frame_ref in reference.items():
        frame = decoded[idx]["frame"]
        assert frame.calibration == names[frame_ref["flags"] & 0x6], f"frame {idx}"
        assert frame.temperature_measured == bool(frame_ref["flags"] & 0x1), f"frame {idx}"


def test_frames_hold_the_recorded_samples(decoded, recording):
    # The replay hands out the recorded samples unchanged, frame k of the file as index k + 1.
    rec = kavro.load_raw(str(recording))
    assert rec["tag"] == "KVSIM-E2-320"
    assert rec["samples"].shape == (FRAMES, rec["width"] * rec["height"] * rec["dcs"])
    for idx, d in decoded.items():
        assert d["raw"] == rec["samples"][idx - 1].astype("<u2").tobytes(), f"frame {idx}"


def _side_file(recording):
    """The header records of a recording's side file, by key."""
    lines = (recording.parent / (recording.name + ".info")).read_text().splitlines()
    assert lines[0] == "kavro-recording 1"
    return {l.split()[0]: l.split()[1:] for l in lines[1:] if l and not l.startswith(("#", "frame "))}


def _meta_temperatures(recording):
    """The temperatures the simulator rendered each frame with, by frame index."""
    temps = {}
    for line in (recording.parent / (recording.name + ".meta")).read_text().splitlines():
        f = line.split()
        if len(f) == 3 and f[0].isdigit():
            temps[int(f[0]) + 1] = (int(f[1]), int(f[2]))
    return temps


def test_replay_answers_the_recorded_camera(warm_recording):
    # Identity and settings come from the side file, as the simulated camera
    # would answer them; the recorded rate paces the replay.
    side = _side_file(warm_recording)
    with kavro.open_replay(str(warm_recording)) as dev:
        assert dev.product == side["product"][0]
        assert dev.vendor == side["vendor"][0]
        words = [int(w, 16) for w in side["serial"][0].split("-")]
        assert dev.serial == np.array(words, dtype="<u4").tobytes()
        assert "hw_%d,_sw_%d,_sw2_%d,_hw2_%d" % dev.version == side["version"][0]
        assert dev.get_param(kavro.PARAM_FRAME_RATE) == WARM_FPS
        assert dev.get_param(kavro.PARAM_INTG_TIME) == WARM_INTG_US


def test_default_replay_gives_every_frame_as_the_c_interface(warm_recording, tmp_path):
    # No frame rate set, nothing but start(): every frame arrives, with the
    # temperatures the sensor had when it was recorded, and decodes exactly
    # as through the C interface.
    ref = c_reference(warm_recording, tmp_path)
    temps = _meta_temperatures(warm_recording)
    assert sorted(temps) == list(range(1, WARM_FRAMES + 1))
    got = {}
    with kavro.open_replay(str(warm_recording)) as dev:
        dev.start()
        while (f := dev.capture()) is not None:
            got[f.index] = (f.temperatures, f.data.tobytes(), f.distance())
    assert sorted(got) == sorted(ref) == list(range(1, WARM_FRAMES + 1))
    for idx, (t, raw, dist) in got.items():
        assert t == temps[idx] == ref[idx]["temperatures"], f"frame {idx}"
        assert t != (0, 0), "a warm sensor: the recorded temperatures, not a replay's 0"
        assert raw == ref[idx]["raw"], f"frame {idx}"
        np.testing.assert_array_equal(dist, ref[idx]["distance"], err_msg=f"frame {idx}")


def test_decoded_images_are_not_empty(decoded):
    # Guards the comparisons above against agreeing on nothing.
    for d in decoded.values():
        dist = d["distance"]
        valid = (dist > 0) & (dist < 60)
        assert valid.mean() > 0.5
        assert 1.0 < np.median(dist[valid]) < 6.0  # the room is 1.2 ... 5.5 m deep
        assert d["gray"].max() > 0


@pytest.mark.parametrize("method, dtype, shape", [
    ("distance", np.float32, lambda f, n: (f.height, f.width)),
    ("gray", np.float32, lambda f, n: (f.height, f.width)),
    ("pointcloud", np.float32, lambda f, n: (n, 3)),
    ("pointcloud_xyzd", np.float32, lambda f, n: (n, 4)),
    ("colormap", np.uint8, lambda f, n: (f.height, f.width, 3)),
])
def test_shapes_and_dtypes(decoded, method, dtype, shape):
    d = next(iter(decoded.values()))
    f = d["frame"]
    n = int(np.count_nonzero((d["distance"] > 0) & (d["distance"] < 60)))
    arr = d[method]
    assert arr.dtype == dtype
    assert arr.shape == shape(f, n)
    assert arr.flags.c_contiguous


def test_pointcloud_geometry(recording):
    # A pixel at the principal point lies on the optical axis: X = Y = 0, Z = d.
    dist = np.zeros((4, 6), dtype=np.float32)
    dist[2, 3] = 2.5
    dist[0, 0] = 60.0  # outside the valid window: no point
    with kavro.open_replay(str(recording)) as dev:
        pts = dev.pointcloud(dist, camera=(3.0, 2.0, 100.0, 100.0))
        xyzd = dev.pointcloud_xyzd(dist, camera=(3.0, 2.0, 100.0, 100.0, 2.0))
    np.testing.assert_array_equal(pts, [[0.0, 0.0, 2.5]])
    np.testing.assert_array_equal(xyzd, [[0.0, 0.0, 5.0, 5.0]])  # scale 2 doubles the distance


def _project(points, intr):
    """Pixel positions of camera-space points under the common camera model
    (camera matrix and k1, k2, p1, p2, k3), written out with numpy."""
    k = intr["camera_matrix"]
    k1, k2, p1, p2, k3 = intr["dist_coeffs"]
    x = points[:, 0].astype(np.float64) / points[:, 2]
    y = points[:, 1].astype(np.float64) / points[:, 2]
    r2 = x * x + y * y
    radial = 1 + k1 * r2 + k2 * r2 ** 2 + k3 * r2 ** 3
    xd = x * radial + 2 * p1 * x * y + p2 * (r2 + 2 * x * x)
    yd = y * radial + p1 * (r2 + 2 * y * y) + 2 * p2 * x * y
    return np.stack([k[0, 0] * xd + k[0, 1] * yd + k[0, 2], k[1, 1] * yd + k[1, 2]], axis=1)


@pytest.mark.parametrize("undistort", [False, True], ids=["raw image", "undistorted"])
def test_intrinsics_reproject_the_point_cloud(recording, undistort):
    # Every point of the driver's cloud, projected with the intrinsics the
    # device reports, lands on the pixel it was made from.
    with replay(recording) as dev:
        if undistort:
            assert dev.filter_enable(kavro.FILTER_LEN_CALIB)
        frame = dev.capture()
        assert frame is not None
        dist = frame.distance()
        intr = dev.intrinsics()
        pts = dev.pointcloud(dist)
    assert intr["size"] == (dist.shape[1], dist.shape[0]) == (320, 240)
    assert intr["camera_matrix"].shape == (3, 3) and intr["dist_coeffs"].shape == (5,)
    assert intr["camera_matrix"].dtype == intr["dist_coeffs"].dtype == np.float64
    np.testing.assert_array_equal(intr["camera_matrix"][2], [0.0, 0.0, 1.0])
    assert intr["undistorted"] is undistort
    if undistort:
        np.testing.assert_array_equal(intr["dist_coeffs"], np.zeros(5))
    else:
        assert intr["dist_coeffs"][0] < 0  # the simulated lens is barrel-shaped
    rows, cols = np.nonzero((dist > 0) & (dist < 60))
    assert len(pts) == len(rows) > dist.size // 2
    uv = _project(pts, intr)
    np.testing.assert_allclose(uv[:, 0], cols, atol=2e-3)
    np.testing.assert_allclose(uv[:, 1], rows, atol=2e-3)


def test_intrinsics_scale_with_the_image_size(recording):
    with kavro.open_replay(str(recording)) as dev:
        full = dev.intrinsics()
        half = dev.intrinsics(160, 120)
        with pytest.raises(kavro.Error, match=r"^\[epc_lens_param_get\] lens param not match the frame size: lens: 320x240, frame: 300x240$"):
            dev.intrinsics(300, 240)
    assert half["size"] == (160, 120)
    np.testing.assert_allclose(half["camera_matrix"][:2], full["camera_matrix"][:2] / 2)
    np.testing.assert_array_equal(half["dist_coeffs"], full["dist_coeffs"])


def test_colormap_formats():
    d = np.array([[0.5, 1.0], [3.0, 5.0]], dtype=np.float32)
    rgb = kavro.colormap(d, 0.5, 5.0, kavro.CMAP_RGB)
    bgr = kavro.colormap(d, 0.5, 5.0, kavro.CMAP_BGR)
    rgba = kavro.colormap(d, 0.5, 5.0, kavro.CMAP_RGBA)
    assert rgb.shape == (2, 2, 3) and rgba.shape == (2, 2, 4)
    np.testing.assert_array_equal(bgr, rgb[..., ::-1])
    np.testing.assert_array_equal(rgba[..., :3], rgb)
    assert len({tuple(px) for px in rgb.reshape(-1, 3)}) > 1  # different distances, different colours
    with pytest.raises(kavro.Error, match="unknown output format"):
        kavro.colormap(d, 0.5, 5.0, 7)


# ---- errors -------------------------------------------------------------------

def _unknown_product(tmp):
    path = tmp / "unknown.raw"
    kavro.save_raw(str(path), np.zeros(8 * 4 * 4, dtype=np.uint16), 8, 4, 4, "NOPE-X1-8")
    kavro.open_replay(str(path))


def _garbage_distance(tmp):
    path = tmp / "garbage.dist"
    path.write_bytes(b"VX_NOPE,1,2\n" + bytes(64))
    kavro.load_distance(str(path))


def _truncated_raw(tmp):
    path = tmp / "cut.raw"
    kavro.save_raw(str(path), np.arange(2 * 8 * 4, dtype=np.uint16), 8, 4, 1, "t")
    data = path.read_bytes()
    path.write_bytes(data[:-6])
    kavro.load_raw(str(path))


def _second_default_open(tmp, recording):
    with kavro.open_replay(str(recording)):
        kavro.open_replay(str(recording))


ERROR_CASES = [
    ("missing recording", lambda tmp, rec: kavro.open_replay(str(tmp / "missing.raw")),
     r"^\[kavro_dev_open_replay\] open file failed: .*/missing\.raw$"),
    ("no driver for the product", lambda tmp, rec: _unknown_product(tmp),
     r"^\[kavro_dev_open\] cannot find driver for device: product=NOPE-X1-8$"),
    ("second replay while one is open", lambda tmp, rec: _second_default_open(tmp, rec),
     r"^\[kavro_dev_open_replay\] default device may not close properly!$"),
    ("unknown distance header", lambda tmp, rec: _garbage_distance(tmp),
     r"^\[kavro_frame_load_distance\] faile to load VX file header$"),
    ("cut last raw frame", lambda tmp, rec: _truncated_raw(tmp),
     r"^\[kavro_frame_load_raw\] read 64 date failed: ret= 58$"),
    ("gray saved as float", lambda tmp, rec: kavro.save_gray(str(tmp / "g"), np.ones((2, 2)), kavro.SAVE_FLOAT32),
     r"^\[kavro_frame_save_gray\] wrong gray save format: 0$"),
    ("raw samples not whole frames", lambda tmp, rec: kavro.save_raw(str(tmp / "r"), np.zeros(10, np.uint16),
                                                                      2, 2, 2, "t"),
     r"^\[kavro_frame_save_raw\] wrong param: raw_len=10, w=2, h=2$"),
]


@pytest.mark.parametrize("name, call, message", ERROR_CASES, ids=[c[0] for c in ERROR_CASES])
def test_errors_carry_the_library_message(tmp_path, recording, name, call, message, capfd):
    capfd.readouterr()
    with pytest.raises(kavro.Error, match=message) as info:
        call(tmp_path, recording)
    assert isinstance(info.value, RuntimeError)
    # What is raised is not printed as well: a caught error leaves both
    # streams clean.
    out, err = capfd.readouterr()
    assert out == "" and err == "", (out, err)


def test_capture_before_start_reports_not_capturing(recording):
    with kavro.open_replay(str(recording)) as dev:
        with pytest.raises(kavro.NotCapturingError, match="not capturing") as info:
            dev.capture()
        assert info.value.code == -2 and isinstance(info.value, kavro.Error)


CLOSED_DEVICE_CALLS = [
    ("start", lambda d: d.start()),
    ("capture", lambda d: d.capture()),
    ("get_param", lambda d: d.get_param(kavro.PARAM_FRAME_RATE)),
    ("set_param", lambda d: d.set_param(kavro.PARAM_FRAME_RATE, 10)),
    ("reg_read", lambda d: d.reg_read(kavro.DEV_REG_CAM0, 0, 2)),
    ("filter_enable", lambda d: d.filter_enable(kavro.FILTER_MEDIAN, 3)),
    ("pointcloud", lambda d: d.pointcloud(np.ones((2, 2), np.float32))),
    ("intrinsics", lambda d: d.intrinsics()),
]


@pytest.mark.parametrize("name, call", CLOSED_DEVICE_CALLS, ids=[c[0] for c in CLOSED_DEVICE_CALLS])
def test_closed_device_raises(recording, name, call):
    dev = kavro.open_replay(str(recording))
    dev.close()
    dev.close()  # a second close does nothing
    with pytest.raises(kavro.Error, match="the device is closed"):
        call(dev)


# ---- life cycle ---------------------------------------------------------------

def test_context_manager_closes_on_exception(recording):
    with pytest.raises(ZeroDivisionError):
        with replay(recording) as dev:
            frame = dev.capture()
            assert frame is not None and dev.capturing
            1 / 0
    assert not dev.is_open and not dev.capturing
    with pytest.raises(kavro.Error, match="the device is closed"):
        frame.distance()
    # The library's default record is free again, so another replay opens.
    with kavro.open_replay(str(recording)) as again:
        assert again.is_open
    assert not again.is_open


def test_frame_outlives_its_device_handle(recording, reference):
    # A frame keeps its Device object alive: decoding works after the name is gone.
    dev = replay(recording)
    frame = dev.capture()
    del dev
    np.testing.assert_array_equal(frame.distance(), reference[frame.index]["distance"])
    frame.device.close()


def test_frame_data_is_read_only(recording):
    with replay(recording) as dev:
        frame = dev.capture()
    with pytest.raises(ValueError):
        frame.data[0] = 1


def test_parameters(recording):
    with kavro.open_replay(str(recording)) as dev:
        assert dev.product == "KVSIM-E2-320"
        assert dev.get_param(kavro.PARAM_INFO_PRODUCT) == "KVSIM-E2-320"
        for fps in (12, 25):
            dev.set_param(kavro.PARAM_FRAME_RATE, fps)
            assert dev.get_param(kavro.PARAM_FRAME_RATE) == fps
        with pytest.raises(TypeError, match="structure"):
            dev.set_param(kavro.PARAM_ROI, 5)
        with pytest.raises(ValueError):
            dev.get_param(kavro.PARAM_ENUM_COUNT if hasattr(kavro, "PARAM_ENUM_COUNT") else 18)


def test_filters_reach_the_driver(recording, reference):
    with replay(recording) as dev:
        frame = dev.capture()
        ref = reference[frame.index]["distance"]
        valid = (ref > 0) & (ref < 60)
        assert dev.filter_enable(kavro.FILTER_OFFSET, 100)  # +100 mm
        shifted = frame.distance()
        assert not np.array_equal(shifted[valid], ref[valid])
        assert dev.filter_disable(kavro.FILTER_OFFSET)
        np.testing.assert_array_equal(frame.distance(), ref)
        assert not dev.filter_enable(3)  # the reserved id is refused


# ---- frame files ----------------------------------------------------------------

def _trunc(v, scale, modulus):
    return (np.trunc(v.astype(np.float64) * scale) % modulus)


FILE_CASES = [
    # save, load, format, values, what a load gives back
    ("distance f32", kavro.save_distance, kavro.load_distance, kavro.SAVE_FLOAT32,
     np.array([[[1.2345, 0.001], [59.99, 0.0]]], np.float32), lambda v: v),
    ("distance u32 mm", kavro.save_distance, kavro.load_distance, kavro.SAVE_UINT32,
     np.array([[[1.2345, 0.0019], [70.0, 0.25]]], np.float32), lambda v: _trunc(v, 1000, 2**32) / 1000.0),
    ("distance u16 mm wraps", kavro.save_distance, kavro.load_distance, kavro.SAVE_UINT16,
     np.array([[[1.2345, 0.0019], [70.0, 0.25]]], np.float32), lambda v: _trunc(v, 1000, 2**16) / 1000.0),
    ("gray u8 wraps", kavro.save_gray, kavro.load_gray, kavro.SAVE_UINT8,
     np.array([[[3.7, 255.0], [300.2, 0.0]]], np.float32), lambda v: _trunc(v, 1, 256)),
    ("gray u16, three frames", kavro.save_gray, kavro.load_gray, kavro.SAVE_UINT16,
     np.arange(3 * 2 * 5, dtype=np.float32).reshape(3, 2, 5) * 1000.5, lambda v: _trunc(v, 1, 2**16)),
]


@pytest.mark.parametrize("name, save, load, fmt, values, expect", FILE_CASES, ids=[c[0] for c in FILE_CASES])
def test_frame_file_round_trip(tmp_path, name, save, load, fmt, values, expect):
    path = str(tmp_path / "frames")
    save(path, values, fmt)
    back = load(path)
    assert back.dtype == np.float32 and back.shape == values.shape
    np.testing.assert_array_equal(back, expect(values).astype(np.float32))


def test_single_image_saves_as_one_frame(tmp_path):
    img = np.linspace(0.5, 4.0, 12, dtype=np.float32).reshape(3, 4)
    kavro.save_distance(str(tmp_path / "d"), img)
    np.testing.assert_array_equal(kavro.load_distance(str(tmp_path / "d")), img[np.newaxis])


@pytest.mark.parametrize("fmt", [kavro.SAVE_UINT16, kavro.SAVE_UINT32])
def test_raw_file_round_trip(tmp_path, fmt):
    samples = (np.arange(3 * 6 * 2 * 4) * 37 % 4096).astype(np.uint16).reshape(3, -1)
    path = str(tmp_path / "raw")
    kavro.save_raw(path, samples, 6, 2, 4, "tag-1", fmt)
    back = kavro.load_raw(path)
    assert (back["width"], back["height"], back["dcs"], back["tag"]) == (6, 2, 4, "tag-1")
    np.testing.assert_array_equal(back["samples"], samples)


def test_error_name():
    assert kavro.error_name(kavro.ERR_CAP_TIMEOUT) == "KAVRO_ERR_CAP_TIMEOUT"
    assert kavro.error_name(-3) == "**UNKNOWN**"


def test_log_file_is_absolute(workdir):
    assert kavro.log_file() == str(workdir / "kavro_py.log")
    assert re.search(r"\[kavro_dev_open_replay\]", open(kavro.log_file()).read())


def test_version_is_the_headers():
    assert kavro.version() == f"{kavro.VERSION_MAJOR}.{kavro.VERSION_MINOR}.{kavro.VERSION_PATCH}"


def test_frames_carry_their_host_arrival_time(recording):
    import time
    before = time.monotonic_ns()
    with replay(recording) as dev:
        times = []
        for _ in range(3):
            frame = dev.capture()
            assert frame is not None
            times.append(frame.host_ns)
        after = time.monotonic_ns()
    # The same clock as time.monotonic_ns(): between the open and the last
    # capture, later frames later.
    assert before <= times[0] < times[1] < times[2] <= after


def test_organised_pointcloud_holds_every_pixel_in_place(recording):
    with replay(recording) as dev:
        frame = dev.capture()
        dist = frame.distance()
        flat = frame.pointcloud()
        org = frame.pointcloud_organized()
        assert org.shape == (frame.height, frame.width, 3) and org.dtype == np.float32
        hole = np.isnan(org[..., 0])
        assert hole.any() and not hole.all()
        assert np.array_equal(np.isnan(org).any(axis=2), hole)  # NaN in all three or none
        valid = (dist > 0) & (dist < 60)
        assert not (hole & valid).any()
        np.testing.assert_array_equal(org[~hole], flat)  # the flat cloud, in pixel order
        # From a distance image and caller values too.
        cam = (159.5, 119.5, 150.0, 150.0)
        org_cam = dev.pointcloud_organized(dist, camera=cam)
        np.testing.assert_array_equal(org_cam[~np.isnan(org_cam[..., 0])], dev.pointcloud(dist, camera=cam))
