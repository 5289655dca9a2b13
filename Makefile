# Developer entry points. `make test` and `make demo` work on a fresh clone.
SHELL := /bin/bash
PYTHON ?=
# The interpreter version to find when PYTHON is not given (3.12 is the target).
PY_VERSION ?= 3.12
VENV ?= .venv
PY := $(VENV)/bin/python
# msgspec, orjson: the command line's JSON; bpe-openai: the tokens extra; dask, distributed: the
# JSON Lines recipe run on a local cluster; pytest-xdist: the suite on every core.
DEV_DEPS := scikit-build-core cmake ninja pytest pytest-xdist hypothesis mypy msgspec orjson bpe-openai \
  dask distributed
BUILD_DIR ?= build/{wheel_tag}
# pytest worker processes (pytest-xdist): `auto` is one per core, 0 runs the suite in this process.
TEST_JOBS ?= auto
export TEST_JOBS

.PHONY: all venv install test cpptest test-3.13 test-asan test-debug-malloc fuzz fuzz-replay demo bench clean format

all: test

$(PY):
	@py=$$(PYTHON='$(PYTHON)' tools/find-python $(PY_VERSION)) || exit 1; \
	  echo "using $$py"; "$$py" -m venv --clear $(VENV)
	$(PY) -m pip install -q --upgrade pip

# Reinstalled whenever the list of tools changes.
$(VENV)/.deps: Makefile | $(PY)
	$(PY) -m pip install -q $(DEV_DEPS)
	touch $@

venv: $(VENV)/.deps

# Builds the extension (incrementally, in build/) and installs the package into the venv.
install: $(VENV)/.deps
	$(PY) -m pip install -q --no-build-isolation --no-deps -Cbuild-dir=$(BUILD_DIR) \
	  -Ccmake.define.VARDEL_TEST_HOOKS=ON .

test: install cpptest
	$(PY) -m pytest -q -p no:cacheprovider -n $(TEST_JOBS)

# The C++ unit tests of the core and the codec (ctest), in build/cpptests.
cpptest: $(VENV)/.deps
	$(VENV)/bin/cmake -S . -B build/cpptests -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
	  -DVARDEL_EXTENSION=OFF -DVARDEL_CPP_TESTS=ON -DVARDEL_TEST_HOOKS=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
	$(VENV)/bin/cmake --build build/cpptests
	$(VENV)/bin/ctest --test-dir build/cpptests --output-on-failure

# The same suite against CPython 3.13, in its own venv and build directory.
test-3.13:
	$(MAKE) test PY_VERSION=3.13 VENV=.venv-3.13

# The whole suite against an ASan + UBSan build of the extension (.venv-asan, build/asan).
test-asan:
	tools/sanitize-tests

# The memory and reference tests under the interpreter's debug allocator.
test-debug-malloc:
	tools/sanitize-tests --debug-malloc

# Every fuzz target for FUZZ_TIME seconds (default 60; clang with libFuzzer).
fuzz: venv
	tools/fuzz run

# The fuzz targets as plain programs (g++, ASan + UBSan) over the committed corpus.
fuzz-replay: venv
	tools/fuzz replay

demo: install
	$(PY) -m vardel encode --stats examples/users.json

# Speed against json, orjson and msgspec, with every speed target (about 6 minutes;
# `make bench BENCH_ARGS=--quick` for a smoke run). Tables go to stdout and benchmarks/results/,
# with the chart of the ratios (matplotlib); BENCH_ARGS=--readme also writes them into README.md.
BENCH_DEPS := orjson msgspec matplotlib
BENCH_ARGS ?=
bench: install
	$(PY) -m pip install -q $(BENCH_DEPS)
	BENCH_COMMAND="make bench$(if $(BENCH_ARGS), BENCH_ARGS='$(BENCH_ARGS)')" \
	  $(PY) -m benchmarks.run $(BENCH_ARGS)

format:
	clang-format -i $$(git ls-files 'src/*.cpp' 'src/*.h' 'fuzz/*.cpp' 'fuzz/*.h' 'tests/cpp/*.cpp' 'tests/cpp/*.h')

clean:
	rm -rf build $(VENV) .venv-asan fuzz/out
