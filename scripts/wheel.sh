#!/usr/bin/env bash
# Builds an sdist and, from it, a wheel with build isolation (the build
# dependencies come from PyPI), repairs the wheel with auditwheel to the
# manylinux tag its symbols allow, then installs the repaired wheel into a
# fresh venv outside the source tree and runs the Python test suite there, so
# that the tests see only what the wheel installs (the module and its stubs).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
PYTHON=${PYTHON:-$root/.venv/bin/python}

work=$(mktemp -d /tmp/twirlkit-wheel.XXXXXX)
trap 'rm -rf "$work"' EXIT

# The build runs on a copy: the backend writes its native file and build
# directory into the source directory, and neither belongs in this tree.
mkdir "$work/src"
# The sdist is made by `meson dist`, which packs what a repository tracks, so
# the copy becomes a repository of one commit: the files this tree tracks,
# with their changes, and the new files it does not ignore.
git ls-files -z --cached --others --exclude-standard | tar --null -T - -cf - | tar -xf - -C "$work/src"
git -C "$work/src" init -q
git -C "$work/src" add -A
git -C "$work/src" -c user.name=twirlkit -c user.email=build@localhost commit -q -m snapshot
rm -rf dist && mkdir -p dist "$work/raw"
(cd "$work/src" && "$PYTHON" -m build --outdir "$work/raw" \
	--config-setting=setup-args=-Dwerror=true .)
cp "$work"/raw/twirlkit-*.tar.gz dist/
raw=("$work"/raw/twirlkit-*.whl)
"$PYTHON" -m auditwheel repair --wheel-dir dist "${raw[0]}"
wheels=(dist/twirlkit-*manylinux*.whl)
wheel=$root/${wheels[0]}
"$PYTHON" -m auditwheel show "$wheel"
echo "built $wheel and $(ls dist/*.tar.gz)"

# A venv that sees nothing of this machine's packages: NumPy, the test
# tools and gymnasium (the gym extra) at the pinned versions, from PyPI.
"$PYTHON" -m venv "$work/venv"
grep -E '^(numpy|pytest|hypothesis|mypy|iniconfig|pluggy|packaging|Pygments|sortedcontainers|mypy_extensions|typing_extensions|pathspec|librt|ast_serialize|gymnasium|cloudpickle|Farama-Notifications)==' \
	requirements/dev.txt > "$work/test-requirements.txt"
"$work/venv/bin/python" -m pip install -q -r "$work/test-requirements.txt"
"$work/venv/bin/python" -m pip install -q --no-deps "$wheel"

# The tests and the files they exercise, but not the sources or the stubs.
mkdir -p "$work/tree/tests"
cp -r tests/python tests/typing "$work/tree/tests/"
if [ -d tests/shim ]; then cp -r tests/shim "$work/tree/tests/"; fi
cp -r examples README.md "$work/tree/"
cd "$work/tree"

"$work/venv/bin/python" - "$work/venv" <<'PY'
import pathlib, sys, twirlkit
where = pathlib.Path(twirlkit.__file__).resolve()
assert pathlib.Path(sys.argv[1]).resolve() in where.parents, f"imported {where}"
assert (where.parent / "twirlkit-stubs" / "__init__.pyi").exists(), "wheel lacks twirlkit-stubs"
print(f"testing {where}, version {twirlkit.__version__}")
PY
"$work/venv/bin/python" -m pytest -q -p no:cacheprovider tests/python
