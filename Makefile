# Quick start: `make demo` runs the sample school, `make test` runs the test suite.
# Both create .venv with python3.12 when it is missing and install the package into it.

PYTHON  ?= python3.12
VENV    := .venv
VPY     := $(VENV)/bin/python
# Compiler warnings fail the build here, as they do in CI.
PIPFLAGS := --quiet --disable-pip-version-check -C cmake.define.ROTAVEL_WERROR=ON

.PHONY: demo test bench install check-deps clean test-asan test-hooks check valgrind check-browser

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

# The whole suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer.
# The interpreter is not instrumented, so the sanitizer runtime is preloaded (with libstdc++,
# or the first C++ throw aborts) and Python's own allocator is bypassed so ASan sees its memory.
ASAN_VENV := .venv-asan
test-asan: check-deps
	[ -x $(ASAN_VENV)/bin/python ] || $(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_VENV)/bin/python -m pip install $(PIPFLAGS) -C build-dir=build/asan \
	  -C cmake.define.ROTAVEL_SANITIZE=ON -C cmake.build-type=RelWithDebInfo '.[test]'
	PYTHONMALLOC=malloc \
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	$(ASAN_VENV)/bin/python -m pytest -p no:cacheprovider

# The whole suite against a build with test hooks: C++ allocations that can be made to fail,
# and a view of the keyed name hash.
HOOKS_VENV := .venv-hooks
test-hooks: check-deps
	[ -x $(HOOKS_VENV)/bin/python ] || $(PYTHON) -m venv $(HOOKS_VENV)
	$(HOOKS_VENV)/bin/python -m pip install $(PIPFLAGS) -C build-dir=build/hooks \
	  -C cmake.define.ROTAVEL_TEST_HOOKS=ON '.[test]'
	$(HOOKS_VENV)/bin/python -m pytest -p no:cacheprovider

# Memcheck over a full day (tests/valgrind_scenario.py). The interpreter leaves its own
# allocations at exit, so the check fails only on a memory error or on a leak whose stack
# passes through the module.
valgrind: install
	mkdir -p build
	PYTHONMALLOC=malloc valgrind --leak-check=full --show-leak-kinds=definite,indirect --num-callers=40 \
	  --log-file=build/valgrind.log $(VPY) tests/valgrind_scenario.py
	@grep -E "ERROR SUMMARY|definitely lost:|indirectly lost:" build/valgrind.log
	@! grep -nE "Invalid (read|write|free)|uninitialised|Mismatched free|rotavel" build/valgrind.log
	@echo "valgrind: no memory error and no leak through the module (full log: build/valgrind.log)"

# The board and the slips laid out by headless Chromium: the by-period view fits a 1920x1080
# screen, printed page counts, one slip a page on A4 and Letter (tests/test_browser.py).
# Screenshots and PDFs are left in build/browser to look at.
check-browser: install
	@if ! command -v chromium >/dev/null 2>&1; then \
	  if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then \
	    echo "Chromium missing: installing chromium"; \
	    apt-get install -y -q chromium >/dev/null || { apt-get update -q >/dev/null && apt-get install -y -q chromium >/dev/null; }; \
	  fi; \
	  command -v chromium >/dev/null 2>&1 || { \
	    echo "error: the browser checks need Chromium; install it with: apt-get install chromium" >&2; exit 1; }; \
	fi
	rm -rf build/browser
	ROTAVEL_BROWSER=required ROTAVEL_SHOTS=build/browser $(VPY) -m pytest -p no:cacheprovider tests/test_browser.py

# The slow checks: sanitizers, allocation failures, memcheck, and the fuzzers' corpus replay
# plus a short run.
check: test-asan test-hooks valgrind
	$(VPY) bench/flood.py
	fuzz/build.sh
	fuzz/run.sh replay
	fuzz/run.sh long 30

clean:
	rm -rf build $(VENV) $(ASAN_VENV) $(HOOKS_VENV) .pytest_cache .hypothesis fuzz/out
