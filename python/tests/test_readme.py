"""The Python code blocks of the README run as they are printed, on a
simulator recording (a block whose imports are missing here is skipped)."""
import re
from pathlib import Path

import pytest

from conftest import run_python

README = Path(__file__).resolve().parents[2] / "README.md"


def python_blocks():
    text = README.read_text()
    section = text[text.index("\n## Python"):]
    section = section[:section.find("\n## ", 1)] if "\n## " in section[1:] else section
    return re.findall(r"```python\n(.*?)```", section, re.S)


BLOCKS = python_blocks()


def test_the_readme_has_the_install_stream_and_interop_examples():
    assert len(BLOCKS) >= 2
    assert any("dev.stream()" in b for b in BLOCKS)
    assert any("cv2.projectPoints" in b and "to_open3d" in b for b in BLOCKS)
    assert "pip install --no-build-isolation ./python" in README.read_text()


@pytest.mark.parametrize("index", range(len(BLOCKS)))
def test_readme_block_runs(recording, tmp_path, index):
    code = BLOCKS[index]
    for module in re.findall(r"^import (\w+)", code, re.M):
        pytest.importorskip(module)
    assert "kavro.init" not in code  # no set-up step
    done = run_python(code, tmp_path, recording)
    assert done.returncode == 0, done.stderr
    assert re.search(r"^frame 1: ", done.stdout, re.M), done.stdout
