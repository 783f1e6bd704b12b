#!/usr/bin/env bash
# No free-threaded CPython can be installed on these machines, so this keeps
# the Py_GIL_DISABLED paths of the binding layer compiling: every binding
# source is checked, warnings as errors, against CPython 3.13's headers with
# the macro defined. It proves nothing about behaviour; the code review does.
set -euo pipefail
cd "$(dirname "$0")/.."
PY313=$(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.13*/bin/python3.13 2>/dev/null | tail -n 1 || true)
if [ -z "$PY313" ]; then echo "no CPython 3.13 headers: skipped"; exit 0; fi
python_inc=$("$PY313" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
numpy_inc=$(.venv/bin/python -c 'import numpy; print(numpy.get_include())')
for source in src/binding/*.cpp; do
	g++ -std=c++20 -fsyntax-only -Wall -Wextra -Werror -DPy_GIL_DISABLED -DTWIRLKIT_VERSION='"check"' \
		-DNPY_NO_DEPRECATED_API=NPY_1_7_API_VERSION -DNPY_TARGET_VERSION=NPY_1_22_API_VERSION \
		-Isrc -I"$python_inc" -isystem "$numpy_inc" "$source"
done
echo "the Py_GIL_DISABLED paths compile against $python_inc"
