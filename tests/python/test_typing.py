"""The installed type stubs: stubtest against the module, and a strict check of typed use."""
import ast
import importlib.util
import os
import runpy
import site
import subprocess
import sys
from pathlib import Path

import pytest

import twirlkit

TYPING = Path(__file__).resolve().parents[1] / "typing"
USAGE = TYPING / "usage.py"
ALLOWLIST = TYPING / "stubtest_allowlist.txt"
SOURCE_STUB = Path(__file__).resolve().parents[2] / "stubs" / "twirlkit-stubs" / "__init__.pyi"

pytestmark = [
    pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy not installed"),
    pytest.mark.skipif(not USAGE.exists(), reason="typed usage file not present"),
    pytest.mark.skipif(bool(os.environ.get("TWIRLKIT_SANITIZED")),
                       reason="static checks gain nothing from a sanitized module"),
]


def installed_stub():
    """The stub that mypy finds for this interpreter: next to the module or in site-packages."""
    places = [Path(twirlkit.__file__).parent, *map(Path, site.getsitepackages())]
    for place in places:
        stub = place / "twirlkit-stubs" / "__init__.pyi"
        if stub.exists():
            return stub
    pytest.fail("twirlkit-stubs is not installed in " + ", ".join(map(str, places)))


@pytest.fixture(scope="module")
def checks(tmp_path_factory):
    """stubtest and mypy --strict, started together since each takes seconds.

    They run outside the source tree with MYPYPATH unset, so mypy can only
    find the installed stubs.
    """
    installed_stub()
    cwd = tmp_path_factory.mktemp("mypy")
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    if "PYTHONPATH" in os.environ:  # keep a module built elsewhere importable at run time
        env["PYTHONPATH"] = os.environ["PYTHONPATH"]
    commands = {
        "stubtest": [sys.executable, "-m", "mypy.stubtest", "twirlkit", "--concise",
                     "--allowlist", str(ALLOWLIST)],
        "strict": [sys.executable, "-m", "mypy", "--strict", "--cache-dir", os.devnull,
                   "--no-error-summary", str(USAGE)],
    }
    running = {name: subprocess.Popen(cmd, cwd=cwd, env=env, text=True,
                                      stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
               for name, cmd in commands.items()}
    return {name: (proc.communicate(timeout=300)[0], proc.returncode)
            for name, proc in running.items()}


def test_stubtest_passes(checks):
    output, code = checks["stubtest"]
    assert code == 0, output


def test_typed_usage_passes_strict_mypy_and_runs(checks):
    output, code = checks["strict"]
    assert code == 0, output
    runpy.run_path(str(USAGE), run_name="__main__")


def test_stub_names_match_the_module():
    stub = installed_stub()
    tree = ast.parse(stub.read_text())
    defined = {node.name for node in tree.body if isinstance(node, (ast.ClassDef, ast.FunctionDef))}
    public = {name for name in dir(twirlkit) if not name.startswith("_")}
    assert defined == public  # stubtest ignores names that __all__ leaves out
    declared = next(node.value for node in tree.body if isinstance(node, ast.Assign)
                    and node.targets[0].id == "__all__")
    assert ast.literal_eval(declared) == twirlkit.__all__
    if SOURCE_STUB.exists():
        assert stub.read_text() == SOURCE_STUB.read_text(), "installed stubs are stale"
