# Quick start: `make demo` runs the sample school, `make test` runs the test suite.
# Both create .venv with python3.12 when it is missing and install the package into it.

PYTHON  ?= python3.12
VENV    := .venv
VPY     := $(VENV)/bin/python
# Compiler warnings fail the build here, as they do in CI.
PIPFLAGS := --quiet --disable-pip-version-check -C cmake.define.ROTAVEL_WERROR=ON

.PHONY: demo test bench install check-deps clean

check-deps:
	@command -v $(PYTHON) >/dev/null 2>&1 || { \
	  echo "error: $(PYTHON) was not found. rotavel needs CPython 3.12 (with its headers) on PATH." >&2; exit 1; }
	@$(PYTHON) -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' || { \
	  echo "error: $(PYTHON) is not CPython 3.12." >&2; exit 1; }
	@if [ ! -f /usr/include/unicode/uchar.h ]; then \
	  if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then \
	    echo "ICU headers missing: installing libicu-dev"; \
	    apt-get install -y -q libicu-dev >/dev/null || { apt-get update -q >/dev/null && apt-get install -y -q libicu-dev >/dev/null; }; \
	  fi; \
	  [ -f /usr/include/unicode/uchar.h ] || { \
	    echo "error: the ICU development headers are missing; install them with: apt-get install libicu-dev" >&2; exit 1; }; \
	fi

$(VPY): | check-deps
	$(PYTHON) -m venv $(VENV)

install: check-deps $(VPY)
	$(VPY) -m pip install $(PIPFLAGS) '.[test]'

demo: install
	$(VPY) -m rotavel_cli

test: install
	$(VPY) -m pytest

bench: install
	$(VPY) bench/run.py

clean:
	rm -rf build $(VENV) .pytest_cache .hypothesis
