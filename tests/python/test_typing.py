"""The installed type stubs: stubtest against the module, and a strict check of typed use."""
import ast
import os
import runpy
import site
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

import twirlkit

TYPING = Path(__file__).resolve().parents[1] / "typing"
USAGE = TYPING / "usage.py"
ALLOWLIST = TYPING / "stubtest_allowlist.txt"
SOURCE_STUB = Path(__file__).resolve().parents[2] / "stubs" / "twirlkit-stubs" / "__init__.pyi"

try:
    import mypy  # noqa: F401  (only its presence matters; it runs in subprocesses)
    HAVE_MYPY = True
except ImportError:
    HAVE_MYPY = False

if not HAVE_MYPY:
    WHY_NOT = "mypy not installed"
elif not USAGE.exists():
    WHY_NOT = "typed usage file not present"
elif os.environ.get("TWIRLKIT_SANITIZED"):
    WHY_NOT = "static checks gain nothing from a sanitized module"
else:
    WHY_NOT = ""
with_mypy = pytest.mark.skipif(bool(WHY_NOT), reason=WHY_NOT)


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
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    # stubtest cannot use a cache; the strict check can, which leaves the
    # CPUs to stubtest on later runs.
    cache = Path(tempfile.gettempdir()) / f"twirlkit-mypy-cache-{os.getuid()}"
    commands = {
        "stubtest": [sys.executable, "-m", "mypy.stubtest", "twirlkit", "--concise",
                     "--allowlist", str(ALLOWLIST)],
        "strict": [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(cache),
                   "--no-error-summary", str(USAGE)],
    }
    running = {name: subprocess.Popen(cmd, cwd=cwd, env=env, text=True,
                                      stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
               for name, cmd in commands.items()}
    return {name: (proc.communicate(timeout=300)[0], proc.returncode)
            for name, proc in running.items()}


@with_mypy
def test_stubtest_passes(checks):
    output, code = checks["stubtest"]
    assert code == 0, output


@with_mypy
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
