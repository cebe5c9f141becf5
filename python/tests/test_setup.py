"""The library is set up on first use and released at exit; init() chooses the
log file and behaves sensibly when called again. Each case runs in a fresh
interpreter, since the set-up is process-wide."""
import textwrap
from pathlib import Path

import pytest

from conftest import run_python

PRELUDE = textwrap.dedent("""
    import os, sys
    import kavro
    rec = sys.argv[1]
    def one_frame(dev):
        dev.start()
        f = dev.capture()
        assert f is not None and f.distance().shape == (f.height, f.width), f
        return f
""")


def run(code, cwd, recording):
    done = run_python(PRELUDE + textwrap.dedent(code), cwd, recording)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_first_use_sets_the_library_up_with_the_default_log(recording, tmp_path):
    out = run("""
        assert not kavro.is_initialized() and kavro.log_file() is None
        with kavro.open_replay(rec) as dev:      # no init()
            one_frame(dev)
        print(kavro.log_file())
        try:
            kavro.open_replay(rec + ".missing")
        except kavro.Error as e:
            print("error:", e)
    """, tmp_path, recording)
    log, err = out.splitlines()
    assert Path(log).parent == tmp_path and Path(log).name.startswith("kavro_") and Path(log).is_file()
    # The message of the failure comes from that log file.
    assert "open file failed" in err and "missing" in err
    assert "open file failed" in Path(log).read_text()


def test_init_again_keeps_or_switches_the_log_file(recording, tmp_path):
    out = run("""
        kavro.init("first.log")
        kavro.init("first.log")            # the same file: nothing happens
        kavro.init()                       # any file will do: nothing happens
        print(kavro.log_file())
        with kavro.open_replay(rec) as dev:
            one_frame(dev)
            try:
                kavro.init("second.log")   # a device is open: refused, nothing changes
            except kavro.Error as e:
                print("refused:", e)
            assert dev.capture() is not None   # the device still works
        kavro.init("second.log")           # nothing open any more: set up again with it
        print(kavro.log_file())
        try:
            kavro.open_replay("nothere.raw")
        except kavro.Error as e:
            print("error:", e)
    """, tmp_path, recording)
    first, refused, second, err = out.splitlines()
    assert first == str(tmp_path / "first.log")
    assert refused.startswith("refused:") and str(tmp_path / "first.log") in refused
    assert second == str(tmp_path / "second.log")
    assert "nothere.raw" in err
    assert "nothere.raw" in (tmp_path / "second.log").read_text()
    assert "nothere.raw" not in (tmp_path / "first.log").read_text()


def test_after_uninit_the_next_use_sets_up_again(recording, tmp_path):
    out = run("""
        kavro.init("a.log")
        with kavro.open_replay(rec) as dev:
            one_frame(dev)
        kavro.uninit()
        print(kavro.is_initialized())
        with kavro.open_replay(rec) as dev:
            one_frame(dev)
        print(kavro.is_initialized(), kavro.log_file())
    """, tmp_path, recording)
    after_uninit, again = out.splitlines()
    assert after_uninit == "False"
    assert again.startswith("True ") and Path(again.split()[1]).name.startswith("kavro_")


@pytest.mark.parametrize("ending", [
    "pass",                                       # a capturing device left open at exit
    "kavro.uninit(); print(dev.is_open)",         # uninit() closes what is open
    "del dev",                                    # collected before exit
])
def test_release_at_exit_with_devices_left(recording, tmp_path, ending):
    done = run_python(PRELUDE + textwrap.dedent(f"""
        dev = kavro.open_replay(rec)
        frame = one_frame(dev)
        {ending}
        print("end")
    """), tmp_path, recording)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[-1] == "end"
    assert done.stderr == ""
