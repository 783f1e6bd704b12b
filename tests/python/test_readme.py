"""Every Python block of the README runs, each as a script of its own."""
import re
import subprocess
import sys
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"
FENCE = re.compile(r"^```python\n(.*?)^```", re.DOTALL | re.MULTILINE)


def blocks():
    if not README.exists():
        return []
    text = README.read_text()
    found = []
    for match in FENCE.finditer(text):
        line = text.count("\n", 0, match.start()) + 1
        found.append(pytest.param(match.group(1), id=f"line{line}"))
    return found


def test_readme_has_python_blocks():
    if not README.exists():
        pytest.skip("README not present")
    assert len(blocks()) >= 5


@pytest.mark.parametrize("code", blocks())
def test_readme_block_runs(code, tmp_path):
    # A file rather than exec(), so that multiprocessing's spawn can import it.
    script = tmp_path / "snippet.py"
    script.write_text(code)
    done = subprocess.run([sys.executable, str(script)], cwd=tmp_path,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
