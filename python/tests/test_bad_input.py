"""Bad input from Python code: each case runs in its own interpreter, which
must raise the expected exception with a message and exit normally (a crash
of the extension would end the process on a signal)."""
import textwrap

import pytest

import kavro
from conftest import run_python

PRELUDE = textwrap.dedent("""
    import sys
    import numpy as np
    import kavro
    rec = sys.argv[1]
    def capturing():
        dev = kavro.open_replay(rec)
        dev.start()
        return dev
""")

# (name, code run after PRELUDE, exception types the last statement may raise)
CASES = [
    # wrong dtypes
    ("strings as distances", "capturing().pointcloud(np.array([['a', 'b']]))", (ValueError, TypeError)),
    ("object array as image", "kavro.save_distance('d.bin', np.array([[object()]], dtype=object))",
     (ValueError, TypeError)),
    ("complex distances", "capturing().pointcloud(np.zeros((240, 320), complex))", (ValueError, TypeError)),
    ("float samples for raw", "kavro.save_raw('r.raw', np.array(['x'] * 8), 2, 2, 2, 't')", (ValueError, TypeError)),
    ("str as register values", "capturing().reg_write(kavro.DEV_REG_CAM0, 0, ['a'])", (TypeError,)),
    ("None as parameter value", "capturing().set_param(kavro.PARAM_FRAME_RATE, None)", (TypeError,)),
    # wrong shapes
    ("1-D distance image", "capturing().pointcloud(np.zeros(320 * 240, np.float32))", (ValueError,)),
    ("3-D distance image", "capturing().pointcloud_organized(np.zeros((2, 240, 320), np.float32))", (ValueError,)),
    ("distance image of the wrong size", "capturing().pointcloud(np.zeros((7, 5), np.float32))", (kavro.Error,)),
    ("empty distance image", "capturing().pointcloud(np.zeros((0, 0), np.float32))", (kavro.Error,)),
    ("camera of two values", "capturing().pointcloud(np.zeros((240, 320), np.float32), camera=(1, 2))",
     (ValueError,)),
    ("4-D image stack", "kavro.save_gray('g.bin', np.zeros((1, 1, 2, 2)))", (ValueError,)),
    ("scalar as colormap input", "kavro.colormap(np.float32(1.0), 0.5, 5.0, 99)", (ValueError, kavro.Error)),
    ("raw samples not whole frames", "kavro.save_raw('r.raw', np.zeros(10, np.uint16), 2, 2, 2, 't')",
     (kavro.Error,)),
    # closed devices
    ("capture on a closed device", "d = capturing(); d.close(); d.capture()", (kavro.Error,)),
    ("stream of a closed device", "d = capturing(); d.close(); next(d.stream())", (kavro.Error,)),
    ("closed while streaming", "d = kavro.open_replay(rec)\nfor f in d.stream():\n    d.close()",
     (kavro.Error,)),
    ("product of a closed device", "d = capturing(); d.close(); d.product", (kavro.Error,)),
    ("device used after uninit", "d = capturing(); kavro.uninit(); d.capture()", (kavro.Error,)),
    # frames outliving their device
    ("frame decoded after close", "d = capturing(); f = d.capture(); d.close(); f.distance()", (kavro.Error,)),
    ("frame decoded after uninit", "d = capturing(); f = d.capture(); del d; kavro.uninit(); f.pointcloud()",
     (kavro.Error,)),
    ("frame bytes after close", "d = capturing(); f = d.capture(); d.close(); del d\n"
                                "assert f.data.size == f.size; f.data[0] = 1", (ValueError,)),
    # negative counts and out-of-range numbers
    ("negative stream count", "capturing().stream(count=-1)", (ValueError,)),
    ("negative register count", "capturing().reg_read(kavro.DEV_REG_CAM0, 0, -1)", (TypeError,)),
    ("negative buffer frames", "kavro.open_replay(rec).start(buffer_frames=-2)", (TypeError,)),
    ("negative list size", "kavro.list_devices(-1)", (ValueError,)),
    ("negative frame rate", "capturing().set_param(kavro.PARAM_FRAME_RATE, -5)", (ValueError,)),
    ("integration time over 16 bits", "capturing().set_param(kavro.PARAM_INTG_TIME, 70000)", (ValueError,)),
    ("text as camera values", "capturing().pointcloud(np.zeros((240, 320), np.float32), camera='abcd')",
     (TypeError,)),
    ("None among camera values",
     "capturing().pointcloud(np.zeros((240, 320), np.float32), camera=(1, 2, None, 4))", (TypeError,)),
    ("unknown parameter", "capturing().get_param(-3)", (ValueError,)),
    ("image type out of range", "capturing().data_write(300, 'x.bin')", (ValueError,)),
    ("negative image size for raw", "kavro.save_raw('r.raw', np.zeros(8, np.uint16), -2, 2, 2, 't')",
     (kavro.Error, ValueError)),
]


@pytest.mark.parametrize("name, code, expected", CASES, ids=[c[0] for c in CASES])
def test_bad_input_raises_and_the_interpreter_survives(recording, tmp_path, name, code, expected):
    names = ", ".join(e.__qualname__ if e.__module__ == "builtins" else f"kavro.{e.__qualname__}"
                      for e in expected)
    script = (PRELUDE + "try:\n" + textwrap.indent(code, "    ") + "\n" +
              f"except ({names},) as e:\n"
              "    assert str(e), 'an exception without a message'\n"
              "    print('raised', type(e).__name__, e)\n"
              "else:\n"
              "    print('nothing raised')\n")
    done = run_python(script, tmp_path, recording)
    assert done.returncode == 0, f"exit {done.returncode}: {done.stderr}"
    assert done.stdout.startswith("raised "), done.stdout + done.stderr
