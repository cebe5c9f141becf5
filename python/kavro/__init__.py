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

from ._kavro import *  # noqa: F401,F403
from ._kavro import Device, Error, Frame, uninit as _uninit

for _cls in (Device, Error, Frame):
    _cls.__module__ = __name__  # shown as kavro.Error, not kavro._kavro.Error

__all__ = [name for name in dir() if not name.startswith("_")]

# Devices still open at exit are closed before the library is released.
_atexit.register(_uninit)
