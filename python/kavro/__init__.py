"""libkavro for Python: time-of-flight depth camera interface.

    import kavro
    with kavro.open_replay("rec.raw") as dev:
        dev.start()
        frame = dev.capture()          # kavro.Frame, or None when no frame came
        depth = frame.distance()       # float32 (height, width), metres

There is no set-up step: the first call that needs the library sets it up
(log file kavro_YYYYMMDD.log in the working folder) and it is released at
exit. kavro.init(log_file) before that chooses another log file.

Failures raise kavro.Error (a RuntimeError) with the error line the library
logged for the failing call, and its result code in `.code` when it has one.
"""
import atexit as _atexit
import time as _time

from ._kavro import *  # noqa: F401,F403
from ._kavro import (PARAM_INTG_TIME as _PARAM_INTG_TIME, Device, DeviceInfo, Error, Frame, FrameTimeoutError,
                     HotplugWatch, uninit as _uninit)

for _cls in (Device, DeviceInfo, Error, Frame, HotplugWatch):
    _cls.__module__ = __name__  # shown as kavro.Error, not kavro._kavro.Error


def _stream(self, count=None, timeout=None):
    """Iterate over the frames of the device: ``for frame in dev.stream(): ...``

    Starts capture (when it is not running yet), yields each Frame, and stops
    the capture it started when the loop ends, breaks or raises (or the
    iterator is closed or collected). Each frame carries ``integration_time``,
    read from the device when the frame arrives.

    count: at most this many frames (None: no limit; 0: none).
    timeout: seconds without a frame after which kavro.FrameTimeoutError is
        raised. The capture engine waits in steps of a frame period plus
        about 2 s, so the error comes up to one step late; None raises after
        the first step that brought no frame. A recording (open_replay)
        simply ends when it has no frame left.

    The arguments are checked when stream() is called: TypeError or
    ValueError for a count that is not a whole number >= 0 or a timeout that
    is not a number >= 0.
    """
    if count is not None:
        if isinstance(count, bool) or not isinstance(count, int):
            raise TypeError(f"count must be an int or None, not {type(count).__name__}")
        if count < 0:
            raise ValueError(f"count must be >= 0, not {count}")
    if timeout is not None:
        if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
            raise TypeError(f"timeout must be a number of seconds or None, not {type(timeout).__name__}")
        if not timeout >= 0:  # also NaN
            raise ValueError(f"timeout must be >= 0 seconds, not {timeout}")
    if not self.is_open:
        raise Error("the device is closed")
    return _frames(self, count, timeout)


def _frames(dev, count, timeout):
    started = False
    if not dev.capturing:
        dev.start()
        started = True
    try:
        delivered = 0
        last = _time.monotonic()
        while count is None or delivered < count:
            frame = dev.capture()
            if frame is None:
                if dev.is_replay:
                    return  # the recording has no frame left
                if timeout is None or _time.monotonic() - last >= timeout:
                    raise FrameTimeoutError(f"no frame came in {_time.monotonic() - last:.1f} s")
                continue
            try:
                frame._set_integration_time(dev.get_param(_PARAM_INTG_TIME))
            except Error:
                pass  # the frame is still good without it
            delivered += 1
            last = _time.monotonic()
            yield frame
    finally:
        if started and dev.is_open and dev.capturing:
            dev.stop()


Device.stream = _stream


def _to_open3d(self, camera=None):
    """The frame's point cloud as an open3d.geometry.PointCloud (points in
    metres, float64 as open3d keeps them; the same points as pointcloud()).

    Raises ImportError with what to install when open3d is not importable.
    """
    try:
        import open3d
    except ImportError as e:
        raise ImportError("Frame.to_open3d() needs the open3d package (Debian: python3-open3d; "
                          "pip: open3d)") from e
    cloud = open3d.geometry.PointCloud()
    cloud.points = open3d.utility.Vector3dVector(self.pointcloud(camera).astype("float64"))
    return cloud


Frame.to_open3d = _to_open3d

__all__ = [name for name in dir() if not name.startswith("_")]

# Devices still open at exit are closed before the library is released.
_atexit.register(_uninit)
