# Developer entry points. `make test` and `make demo` work on a fresh clone.
SHELL := /bin/bash
PYTHON ?=
VENV ?= .venv
PY := $(VENV)/bin/python
DEV_DEPS := scikit-build-core cmake ninja pytest hypothesis
BUILD_DIR ?= build/{wheel_tag}

.PHONY: all venv install test demo clean format

all: test

$(VENV)/.deps:
	@py=$$(PYTHON='$(PYTHON)' tools/find-python 3.12) || exit 1; \
	  echo "using $$py"; "$$py" -m venv --clear $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q $(DEV_DEPS)
	touch $@

venv: $(VENV)/.deps

# Builds the extension (incrementally, in build/) and installs the package into the venv.
install: $(VENV)/.deps
	$(PY) -m pip install -q --no-build-isolation --no-deps -Cbuild-dir=$(BUILD_DIR) \
	  -Ccmake.define.VARDEL_TEST_HOOKS=ON .

test: install
	$(PY) -m pytest -q -p no:cacheprovider

demo: install
	$(PY) -m vardel encode --stats examples/users.json

format:
	clang-format -i $$(git ls-files 'src/*.cpp' 'src/*.h' 'fuzz/*.cpp')

clean:
	rm -rf build $(VENV)
