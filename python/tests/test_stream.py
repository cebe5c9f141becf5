"""dev.stream(): the frames of a replayed recording through a for loop, with
capture started and stopped around the loop however it ends, and each frame's
description as attributes."""
import math

import numpy as np
import pytest

import kavro
from conftest import FRAMES, WARM_FRAMES, WARM_INTG_US, c_reference


@pytest.fixture(scope="module")
def warm_reference(warm_recording, tmp_path_factory):
    return c_reference(warm_recording, tmp_path_factory.mktemp("warm_ref"))


def test_stream_yields_every_frame_with_its_description(warm_recording, warm_reference):
    with kavro.open_replay(str(warm_recording)) as dev:
        assert not dev.capturing
        got = []
        for frame in dev.stream():
            assert dev.capturing
            got.append((frame, frame.distance()))
        assert not dev.capturing  # the loop's end stopped capture
    assert [f.index for f, _ in got] == list(range(1, WARM_FRAMES + 1))
    stamps = []
    for frame, dist in got:
        ref = warm_reference[frame.index]
        np.testing.assert_array_equal(dist, ref["distance"], err_msg=f"frame {frame.index}")
        # The sensor temperature as the frame described it (0.1 degC units).
        if ref["flags"] & 0x1:
            assert frame.temperature == pytest.approx(ref["temperatures"][0] / 10.0)
        else:
            assert frame.temperature is None
        assert frame.integration_time == WARM_INTG_US
        assert frame.timestamp == pytest.approx(frame.host_ns * 1e-9)
        stamps.append(frame.timestamp)
    # Guards the comparison above against agreeing on nothing.
    assert all(f.temperature is not None for f, _ in got)
    assert stamps == sorted(stamps)


@pytest.mark.parametrize("count", [0, 1, 2, FRAMES, FRAMES + 3])
def test_stream_count(recording, count):
    with kavro.open_replay(str(recording)) as dev:
        indices = [f.index for f in dev.stream(count=count, timeout=30)]
        assert not dev.capturing
    assert indices == list(range(1, min(count, FRAMES) + 1))


def test_break_and_raise_stop_the_capture_the_stream_started(recording):
    with kavro.open_replay(str(recording)) as dev:
        for frame in dev.stream():
            break
        assert frame.index == 1 and not dev.capturing

        with pytest.raises(ZeroDivisionError):
            for frame in dev.stream():
                1 / 0
        assert not dev.capturing

        # The device streams again afterwards.
        assert len(list(dev.stream(count=1))) == 1
        assert not dev.capturing


def test_capture_started_by_the_caller_is_left_running(recording):
    with kavro.open_replay(str(recording)) as dev:
        dev.start()
        first = [f.index for f in dev.stream(count=2)]
        assert dev.capturing  # not the stream's to stop
        rest = [f.index for f in dev.stream()]
        assert first + rest == list(range(1, FRAMES + 1))


def test_frames_of_capture_carry_no_integration_time(recording):
    # capture() makes no extra device call per frame.
    with kavro.open_replay(str(recording)) as dev:
        dev.start()
        frame = dev.capture()
        assert frame.index == 1 and frame.integration_time is None and frame.temperature is not None


@pytest.mark.parametrize("kwargs, error", [
    ({"count": -1}, ValueError),
    ({"count": 2.0}, TypeError),
    ({"count": "3"}, TypeError),
    ({"timeout": -0.5}, ValueError),
    ({"timeout": math.nan}, ValueError),
    ({"timeout": "1"}, TypeError),
])
def test_stream_checks_its_arguments_at_once(recording, kwargs, error):
    with kavro.open_replay(str(recording)) as dev:
        with pytest.raises(error, match="count|timeout"):
            dev.stream(**kwargs)
        assert not dev.capturing


def test_stream_of_a_closed_device_raises(recording):
    dev = kavro.open_replay(str(recording))
    dev.close()
    with pytest.raises(kavro.Error, match="closed"):
        dev.stream()
