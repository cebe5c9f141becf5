"""The package's camera calls on simulated cameras on the emulated USB bus:
the listing with identity and the open by serial, data transfer with
progress and cancel, and the hot-plug watch (plug, unplug, plug).

ctest runs this file under umockdev's preload with the test-only module
_kavro_simbus (KAVRO_SIMBUS_DIR), which holds the cameras in this process.
"""
import gc
import os
import queue
import sys

import pytest

import kavro

if os.environ.get("KAVRO_SIMBUS_DIR"):
    sys.path.insert(0, os.environ["KAVRO_SIMBUS_DIR"])
simbus = pytest.importorskip("_kavro_simbus")
if not simbus.available():
    pytest.skip("not running under umockdev", allow_module_level=True)


@pytest.fixture
def bus():
    b = simbus.Bus()
    yield b
    del b
    # A test's frames can still hold the bus in a reference cycle (an error
    # kept by pytest.raises refers to the frame that holds it): collect it, so
    # the next test's bus can attach its cameras at the same device paths.
    gc.collect()


def test_open_by_serial_from_the_listing(bus):
    bus.add_camera(port=1, addr=2, serial0=0x11)
    bus.add_camera(port=2, addr=3, serial0=0x22)
    plain = kavro.list_devices()
    assert [d.serial for d in plain] == [None, None]  # not asked without identify
    listed = kavro.list_devices(identify=True)
    assert sorted(d.serial for d in listed) == ["00000011-20240601-00000007", "00000022-20240601-00000007"]
    for info in listed:
        with kavro.open_serial(info.serial) as dev:
            assert dev.serial_text == info.serial
            assert dev.product == info.product
    with pytest.raises(kavro.NoCameraError, match="no camera with serial 00000033"):
        kavro.open_serial("00000033-20240601-00000007")


def test_open_on_an_empty_bus_says_no_camera(bus):
    with pytest.raises(kavro.NoCameraError) as err:
        kavro.open()
    assert isinstance(err.value, kavro.Error) and str(err.value)


def test_transfer_reports_progress_and_cancels(bus, tmp_path):
    bus.add_camera()
    image = bytes((i * 7 + 3) & 0xFF for i in range(150000))
    src = tmp_path / "image.bin"
    src.write_bytes(image)
    with kavro.open_serial("00C0FFEE-20240601-00000007") as dev:
        seen = []
        assert dev.data_write(5, str(src), version=2, addr=0x1000, progress=lambda d, t: seen.append((d, t)))
        assert bus.image(0, 5) == image
        assert len(seen) >= 2 and seen[-1] == (len(image), len(image))
        assert all(a[0] < b[0] for a, b in zip(seen, seen[1:]))

        back = tmp_path / "back.bin"
        assert dev.data_read(5, str(back))
        assert back.read_bytes() == image
        # Cancelled after the first piece: False, and no file.
        pieces = []
        back.unlink()
        assert not dev.data_read(5, str(back), progress=lambda d, t: pieces.append(d), cancel=lambda: bool(pieces))
        assert len(pieces) == 1 and not back.exists()
        # An exception in a callback stops the transfer and is raised.
        def boom(done, total):
            raise ValueError("stop here")
        with pytest.raises(ValueError, match="stop here"):
            dev.data_read(5, str(back), progress=boom)
        # A failed transfer raises with the result code.
        with pytest.raises(kavro.TransferError) as err:
            dev.data_read(42, str(back))
        assert err.value.code == kavro.XFER_FAILED and isinstance(err.value, kavro.Error)


@pytest.mark.parametrize("poll", [False, True], ids=["libusb_events", "list_comparison"])
def test_hotplug_plug_unplug_plug(bus, poll):
    events = queue.Queue()
    with kavro.watch_hotplug(lambda e, info: events.put((e, info.usb_port, info.usb_address)),
                             poll=poll, poll_ms=20) as watch:
        assert watch.native is (not poll)
        cam = bus.add_camera(port=4, addr=9)
        # The bound only keeps a broken build from hanging.
        assert events.get(timeout=60) == (kavro.HOTPLUG_ARRIVED, 4, 9)
        bus.unplug(cam)
        # The emulated bus keeps an unplugged camera listed until it is
        # plugged in again, so a list comparison sees it leave only then.
        bus.replug(cam)
        assert events.get(timeout=60) == (kavro.HOTPLUG_LEFT, 4, 9)
        assert events.get(timeout=60) == (kavro.HOTPLUG_ARRIVED, 4, 10)
    assert events.empty()


def test_stream_from_a_live_camera(bus):
    # The iterator over the real USB transport: frames in order, each with the
    # integration time the camera was set to, capture stopped after the loop.
    bus.add_camera()
    with kavro.open() as dev:
        dev.set_param(kavro.PARAM_INTG_TIME, 700)
        frames = list(dev.stream(count=3, timeout=30))
        assert not dev.capturing
        assert [f.integration_time for f in frames] == [700, 700, 700]
        indices = [f.index for f in frames]
        assert indices == sorted(indices) and len(set(indices)) == 3
        assert all(f.distance().shape == (f.height, f.width) for f in frames)


def test_stream_from_a_camera_that_sends_nothing_times_out(bus):
    # Every bulk read of this camera times out: the loop raises
    # FrameTimeoutError (a kavro.Error) and leaves the camera stopped and usable.
    bus.add_camera(mute=True)
    with kavro.open() as dev:
        with pytest.raises(kavro.FrameTimeoutError, match="no frame came") as err:
            for _ in dev.stream(timeout=0):
                pass
        assert isinstance(err.value, kavro.Error)
        assert not dev.capturing
        assert dev.get_param(kavro.PARAM_INTG_TIME) > 0


def test_uninit_closes_devices_and_hotplug_watches(bus):
    bus.add_camera()
    dev = kavro.open()
    watch = kavro.watch_hotplug(lambda e, info: None, poll=True, poll_ms=20)
    kavro.uninit()
    assert not kavro.is_initialized()
    assert not dev.is_open
    assert not watch.active
    # A later call sets the library up again, and the camera opens again.
    with kavro.open() as again:
        assert again.is_open
    watch.close()  # closing a closed watch is harmless
    dev.close()
