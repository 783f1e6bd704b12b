#!/usr/bin/env bash
# Builds the wheel into dist/, installs it into a fresh virtual environment
# outside the source tree and runs the Python test suite there, so that the
# tests see only what the wheel installs (the module and its type stubs).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
PYTHON=${PYTHON:-/usr/bin/python3}

work=$(mktemp -d /tmp/twirlkit-wheel.XXXXXX)
trap 'rm -rf "$work"' EXIT

# The build runs on a copy: the backend writes its native file and build
# directory into the source directory, and neither belongs in this tree.
mkdir "$work/src"
tar -cf - --exclude=./.git --exclude=./.venv --exclude=./build --exclude=./dist \
	--exclude=./.hypothesis --exclude=__pycache__ --exclude=./.mesonpy-native-file.ini . |
	tar -xf - -C "$work/src"
rm -f dist/twirlkit-*.whl
(cd "$work/src" && "$PYTHON" -m build --wheel --no-isolation --outdir "$root/dist" \
	--config-setting=setup-args=-Dwerror=true .)
wheels=("$root"/dist/twirlkit-*.whl)
wheel=${wheels[0]}
echo "built $wheel"

"$PYTHON" -m venv --system-site-packages "$work/venv"
"$work/venv/bin/python" -m pip install --no-deps --no-index -q "$wheel"

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
print(f"testing {where}")
PY
"$work/venv/bin/python" -m pytest -q -p no:cacheprovider tests/python
