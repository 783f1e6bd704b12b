"""The test matrix: every pyenv CPython from 3.10 on, each with the oldest and
the newest NumPy it can install.

One sdist is built from the tree. For each interpreter, pip builds one wheel
from that sdist with build isolation, so its build dependencies (NumPy 2,
meson-python) come from PyPI exactly as a user's `pip install` gets them. The
wheel then goes into a fresh venv per NumPy version, and the whole pytest
suite runs there on a copy of the tests, outside the source tree.

    python scripts/matrix.py                 # the full table
    python scripts/matrix.py --newest-only   # the newest Python with its newest NumPy
    python scripts/matrix.py --python 3.12   # one Python's two cells

The table is printed and written to build/matrix.md. The exit status is 1 if
any cell failed.
"""
from __future__ import annotations

import argparse
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]

# The NumPy versions of each cell: the oldest release that ships a wheel for
# that Python (never older than the floor pyproject.toml declares, 1.22), and
# the newest release for it. NumPy 2.5 needs Python 3.12 or later.
NUMPY = {
    "3.10": ("1.22.0", "2.2.6"),
    "3.11": ("1.23.2", "2.4.6"),
    "3.12": ("1.26.0", "2.5.5"),
    "3.13": ("2.1.0", "2.5.5"),
}

# The test tools at the development lock file's versions, or, on a Python
# that those no longer support, the newest release before them; gymnasium
# for the environments of the gym extra.
TEST_TOOLS = ("pytest", "hypothesis", "mypy", "gymnasium")


def pyenv_interpreters() -> dict[str, Path]:
    """The newest pyenv build of each minor version in NUMPY."""
    root = Path(os.environ.get("PYENV_ROOT", Path.home() / ".pyenv"))
    found: dict[str, Path] = {}
    for minor in NUMPY:
        candidates = sorted(glob.glob(str(root / "versions" / f"{minor}.*" / "bin" / f"python{minor}")))
        candidates = [c for c in candidates if re.search(rf"/{re.escape(minor)}\.\d+/bin/", c)]
        if candidates:
            found[minor] = Path(candidates[-1])
    return found


def pinned_tools() -> list[str]:
    pins = {}
    for line in (ROOT / "requirements" / "dev.txt").read_text().splitlines():
        name, sep, version = line.partition("==")
        if sep:
            pins[name.lower()] = f"{name}<={version}"
    return [pins.get(tool, tool) for tool in TEST_TOOLS]


def run(cmd: list[str], log, **kwargs) -> subprocess.CompletedProcess:
    log.write(f"$ {' '.join(map(str, cmd))}\n")
    log.flush()
    return subprocess.run(list(map(str, cmd)), stdout=log, stderr=subprocess.STDOUT, text=True, **kwargs)


def build_sdist(work: Path, log) -> Path:
    source = work / "source"
    source.mkdir()
    files = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                           cwd=ROOT, check=True, capture_output=True).stdout.split(b"\0")
    for name in filter(None, files):
        path = Path(name.decode())
        if (ROOT / path).is_file():
            (source / path).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(ROOT / path, source / path)
    # `meson dist` packs what a repository tracks: make the copy one.
    for git in (["init", "-q"], ["add", "-A"],
                ["-c", "user.name=twirlkit", "-c", "user.email=build@localhost", "commit", "-q", "-m", "snapshot"]):
        subprocess.run(["git", "-C", str(source), *git], check=True, stdout=log, stderr=subprocess.STDOUT)
    out = work / "sdist"
    result = run([sys.executable, "-m", "build", "--sdist", "--outdir", out, source], log)
    if result.returncode != 0:
        raise SystemExit(f"building the sdist failed; see {log.name}")
    return next(out.glob("twirlkit-*.tar.gz"))


def test_tree(work: Path) -> Path:
    """The tests and the files they read, without the sources or the stubs."""
    tree = work / "tree"
    if not tree.exists():
        (tree / "tests").mkdir(parents=True)
        for part in ("python", "typing", "shim"):
            if (ROOT / "tests" / part).exists():
                shutil.copytree(ROOT / "tests" / part, tree / "tests" / part)
        shutil.copytree(ROOT / "examples", tree / "examples")
        shutil.copy2(ROOT / "README.md", tree / "README.md")
    return tree


def summary_of(output: str) -> str:
    lines = [line for line in output.splitlines() if re.search(r"\b(passed|failed|error)", line)]
    return re.sub(r"=+", "", lines[-1]).strip() if lines else "no summary"


def failures_of(output: str, limit: int = 150) -> str:
    """The failure section of a pytest run, or its tail when it has none."""
    lines = output.splitlines()
    start = next((i for i, line in enumerate(lines) if re.match(r"=+ (FAILURES|ERRORS) =+", line)), None)
    part = lines[start:] if start is not None else lines[-40:]
    if len(part) > limit:
        part = part[:limit // 2] + ["[...]"] + part[-limit // 2:]
    return "\n".join("    " + line for line in part)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--newest-only", action="store_true",
                        help="only the newest Python with its newest NumPy (CI's slice)")
    parser.add_argument("--python", action="append", metavar="3.X",
                        help="only these Python versions (repeatable)")
    args = parser.parse_args()

    interpreters = pyenv_interpreters()
    if args.python:
        interpreters = {minor: path for minor, path in interpreters.items() if minor in args.python}
    if not interpreters:
        print("no pyenv CPython 3.10 to 3.13 found", file=sys.stderr)
        return 1
    cells = [(minor, numpy) for minor in interpreters for numpy in NUMPY[minor]]
    if args.newest_only:
        newest = max(interpreters, key=lambda m: tuple(map(int, m.split("."))))
        cells = [(newest, NUMPY[newest][1])]

    out_dir = ROOT / "build"
    out_dir.mkdir(exist_ok=True)
    log_path = out_dir / "matrix.log"
    rows = []
    with tempfile.TemporaryDirectory(prefix="twirlkit-matrix.") as tmp, open(log_path, "w") as log:
        work = Path(tmp)
        sdist = build_sdist(work, log)
        print(f"sdist {sdist.name}; log in {log_path}", flush=True)
        tree = test_tree(work)
        wheels: dict[str, Path | None] = {}
        for minor, numpy in cells:
            python = interpreters[minor]
            start = time.monotonic()
            if minor not in wheels:
                wheel_dir = work / f"wheel-{minor}"
                built = run([python, "-m", "pip", "wheel", "--no-deps", "-q", "-w", wheel_dir,
                             "--config-settings=setup-args=-Dwerror=true", sdist], log)
                wheels[minor] = next(wheel_dir.glob("twirlkit-*.whl"), None) if built.returncode == 0 else None
            wheel = wheels[minor]
            if wheel is None:
                rows.append((minor, numpy, "FAIL", "the wheel did not build"))
                print(f"  {minor} numpy {numpy}: wheel build failed", flush=True)
                continue
            venv = work / f"venv-{minor}-{numpy}"
            ok = run([python, "-m", "venv", venv], log).returncode == 0
            vpy = venv / "bin" / "python"
            ok = ok and run([vpy, "-m", "pip", "install", "-q", "--only-binary", "numpy",
                             f"numpy=={numpy}", *pinned_tools()], log).returncode == 0
            ok = ok and run([vpy, "-m", "pip", "install", "-q", "--no-deps", wheel], log).returncode == 0
            if not ok:
                rows.append((minor, numpy, "FAIL", "the venv could not be set up"))
                print(f"  {minor} numpy {numpy}: set-up failed", flush=True)
                continue
            result = subprocess.run([str(vpy), "-m", "pytest", "-q", "-p", "no:cacheprovider", "tests/python"],
                                    cwd=tree, capture_output=True, text=True)
            log.write(result.stdout + result.stderr)
            status = "pass" if result.returncode == 0 else "FAIL"
            version = subprocess.run([str(vpy), "-c", "import sys, numpy; print(sys.version.split()[0], numpy.__version__)"],
                                     capture_output=True, text=True).stdout.split()
            rows.append((version[0] if version else minor, version[1] if len(version) > 1 else numpy,
                         status, summary_of(result.stdout)))
            print(f"  {minor} numpy {numpy}: {status} ({summary_of(result.stdout)}, "
                  f"{time.monotonic() - start:.0f} s)", flush=True)
            if result.returncode != 0:
                # CI keeps only what is printed: show what failed, not just how many.
                print(failures_of(result.stdout + result.stderr), flush=True)

    table = ["| CPython | NumPy | result | pytest |", "|---|---|---|---|"]
    table += [f"| {py} | {np_} | {status} | {summary} |" for py, np_, status, summary in rows]
    text = "\n".join(table) + "\n"
    (out_dir / "matrix.md").write_text(text)
    print(text)
    return 0 if all(row[2] == "pass" for row in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
