# Development entry points for tavrel.
#
#   make demo        install tavrel[lab] into .venv-demo, run the demo over the
#                    device lab's SSH
#   make test        build, then run the test suite     (PYTEST_ARGS=..., TESTS=...)
#   make test-asan   the test suite against an ASan/UBSan build
#   make test-no-fast-paths  the test suite against a build without the
#                    module's shortcuts (.venv-no-fast-paths)
#   make test-3.13   the test suite on CPython 3.13 (.venv-3.13); also 3.11, 3.12
#   make test-pythons  the test suite on 3.10 (.venv) and every EXTRA_PYTHONS
#   make wheels      the sdist and a manylinux wheel per CPython 3.10-3.13 in dist/
#   make test-wheel  install each wheel (binaries only) into a fresh venv of its
#                    interpreter and run the test suite there; also
#                    test-wheel-3.10 etc. for one of them
#   make test-sdist  install the sdist into a fresh venv, building it from
#                    source, and run the unpacked sdist's test suite
#   make bench       build, then run the benchmarks     (BENCH_ARGS=...)
#   make bench-processor  the dialog engine on a pty, side by side (BENCH_ARGS=...;
#                    BASE=<git revision> compares with that revision's build)
#   make bench-sessions  sessions against OpenSSH and the lab, side by side with
#                    pexpect over ssh and plain asyncssh (BENCH_ARGS=...)
#   make bench-devices  the device layer against the session's raw reads on
#                    the lab's switch (BENCH_ARGS=...); with the peers too
#                    once .venv-bench-peers exists
#   make bench-devices-peers  make .venv-bench-peers (netmiko and scrapli,
#                    for the benchmark only), then run bench-devices
#   make bench-fleet  one command on 2,000 lab devices: the single loop, a
#                    local Dask cluster, Nornir's threads (BENCH_ARGS=--devices N)
#   make test-differential  the incremental search against the full search, at
#                    length (DIFF_EXAMPLES=... search cases, default 200000)
#   make build       (re)build and install into .venv   (V=1 shows the compiler)
#   make venv        create .venv with the build and test dependencies
#   make clean       remove build trees; make distclean also removes the venvs
#
# Python: PYTHON=/path/to/python3.10 overrides scripts/find-python; the other
# versions are always found by scripts/find-python.  WERROR=ON makes every
# build treat compiler warnings as errors (CI does).

SHELL := /bin/sh

PYTHON_VERSION ?= 3.10
# Resolved only when a venv has to be created.
PYTHON ?= $(shell sh scripts/find-python $(PYTHON_VERSION))

VENV      := .venv
ASAN_VENV := .venv-asan
DEMO_VENV := .venv-demo
TOOLS_VENV := .venv-tools
# The peer libraries the device benchmark compares with, apart from the
# venvs the tests run in.
PEERS_VENV := .venv-bench-peers
PLAIN_VENV := .venv-no-fast-paths
# Interpreters besides 3.10 that the suite runs on, each in .venv-X.Y.
EXTRA_PYTHONS := 3.11 3.12 3.13
# One wheel is built for each of these.
WHEEL_PYTHONS := 3.10 $(EXTRA_PYTHONS)
CXX_SAN   ?= g++

PYTEST_ARGS ?=
# What the test targets run: the whole suite, or some of its areas
# (tests/native, tests/engine, tests/sessions, tests/package).
TESTS ?= tests
BENCH_ARGS  ?=
WERROR      ?= OFF

export PIP_DISABLE_PIP_VERSION_CHECK := 1
export PIP_ROOT_USER_ACTION := ignore

ifeq ($(V),1)
PIP_BUILD_VERBOSE := -v
PIP_QUIET :=
else
PIP_BUILD_VERBOSE :=
# Errors only: pip's warnings about the machine's own index settings are not
# the demo's business.
PIP_QUIET := -qq
endif

# The package's version, as tavrel/__init__.py gives it (pyproject.toml reads
# it from there too).
VERSION = $(shell sed -n 's/^__version__ = "\(.*\)"/\1/p' src/tavrel/__init__.py)
SDIST   = dist/tavrel-$(VERSION).tar.gz
WHEELS_BUILT := build/wheels.stamp

# Anything whose change means the installed package is stale. Directories are
# listed too, so that adding or removing a file triggers a rebuild.
SOURCES := pyproject.toml CMakeLists.txt \
	$(shell find src -name __pycache__ -prune -o \( -type f -o -type d \) -print)

PIP_INSTALL_SELF := -m pip install --no-build-isolation --no-deps $(PIP_BUILD_VERBOSE) \
	-C cmake.define.TAVREL_WERROR=$(WERROR)

ASAN_CONFIG := \
	-C build-dir=build/asan-{wheel_tag} \
	-C cmake.build-type=RelWithDebInfo \
	-C cmake.define.TAVREL_SANITIZE=ON \
	-C install.strip=false

# The general road alone: the module built without its shortcuts.
PLAIN_CONFIG := \
	-C build-dir=build/no-fast-paths-{wheel_tag} \
	-C cmake.define.TAVREL_FAST_PATHS=OFF

# ASan writes its reports to files, which also collects those of the tests'
# child processes; UBSan ignores log_path next to ASan and writes to fd 2,
# which pytest runs with --capture=sys leave uncaptured (fd capture would
# swallow the report when the process dies).
SAN_LOG_DIR := build/sanitizer-logs

ASAN_ENV = \
	LD_PRELOAD="$$($(CXX_SAN) -print-file-name=libasan.so) $$($(CXX_SAN) -print-file-name=libubsan.so)" \
	PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:log_path=$(CURDIR)/$(SAN_LOG_DIR)/asan \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

.PHONY: all venv venv-asan build build-asan test test-asan demo bench bench-processor \
	bench-sessions bench-devices bench-devices-peers bench-fleet \
	test-differential test-no-fast-paths clean distclean \
	test-pythons $(addprefix test-,$(EXTRA_PYTHONS)) \
	wheels test-wheel test-sdist $(addprefix test-wheel-,$(WHEEL_PYTHONS))

all: build

# --- virtual environments ---------------------------------------------------

# $(call make-venv,DIR[,X.Y]): create DIR with the found Python (of version
# X.Y when given), then install the development requirements; the stamp keeps
# this from running again.
define make-venv
	@if [ ! -x $(1)/bin/python ]; then \
		py="$(if $(2),$$(sh scripts/find-python $(2)),$(PYTHON))"; \
		if [ -z "$$py" ]; then echo "make: no Python $(or $(2),$(PYTHON_VERSION)) to create $(1) with" >&2; exit 1; fi; \
		echo "creating $(1) with $$py"; \
		"$$py" -m venv $(1) || exit 1; \
	fi
	@echo "installing the development requirements into $(1)..."
	$(1)/bin/python -m pip install $(PIP_QUIET) --upgrade pip
	$(1)/bin/python -m pip install $(PIP_QUIET) -r requirements-dev.txt
	touch $(1)/.deps-installed
endef

venv: $(VENV)/.deps-installed
venv-asan: $(ASAN_VENV)/.deps-installed

$(VENV)/.deps-installed: requirements-dev.txt requirements-test.txt
	$(call make-venv,$(VENV))

$(ASAN_VENV)/.deps-installed: requirements-dev.txt requirements-test.txt
	$(call make-venv,$(ASAN_VENV))

$(PLAIN_VENV)/.deps-installed: requirements-dev.txt requirements-test.txt
	$(call make-venv,$(PLAIN_VENV))

# --- build and install --------------------------------------------------------

build: $(VENV)/.built
build-asan: $(ASAN_VENV)/.built

$(VENV)/.built: $(VENV)/.deps-installed $(SOURCES)
	@echo "building tavrel into $(VENV)..."
	$(VENV)/bin/python $(PIP_INSTALL_SELF) $(PIP_QUIET) .
	touch $@

$(ASAN_VENV)/.built: $(ASAN_VENV)/.deps-installed $(SOURCES)
	CXX=$(CXX_SAN) $(ASAN_VENV)/bin/python $(PIP_INSTALL_SELF) $(ASAN_CONFIG) .
	touch $@

$(PLAIN_VENV)/.built: $(PLAIN_VENV)/.deps-installed $(SOURCES)
	$(PLAIN_VENV)/bin/python $(PIP_INSTALL_SELF) $(PLAIN_CONFIG) .
	touch $@

# --- run --------------------------------------------------------------------

test: build
	$(VENV)/bin/python -m pytest $(TESTS) $(PYTEST_ARGS)

# The demo gets a venv of its own with nothing but tavrel and its lab extra; pip
# builds tavrel as for any user (build isolation), quietly unless V=1. Any of
# the supported interpreters will do; PYTHON=... picks one.
DEMO_PYTHON = $(if $(filter command line environment,$(origin PYTHON)),$(PYTHON),$(shell \
	for v in $(WHEEL_PYTHONS); do sh scripts/find-python $$v 2>/dev/null && break; done))

$(DEMO_VENV)/.built: $(SOURCES)
	@py="$(DEMO_PYTHON)"; \
	if [ -z "$$py" ]; then echo "make: no CPython $(firstword $(WHEEL_PYTHONS)) to $(lastword $(WHEEL_PYTHONS)) found for the demo" >&2; exit 1; fi; \
	echo "make demo: installing tavrel[lab] (built from source) into $(DEMO_VENV)..."; \
	[ -x $(DEMO_VENV)/bin/python ] || "$$py" -m venv $(DEMO_VENV) || exit 1; \
	$(DEMO_VENV)/bin/python -m pip install $(PIP_QUIET) $(PIP_BUILD_VERBOSE) \
		--config-settings=build-dir=build/demo-{wheel_tag} ".[lab]" || exit 1; \
	touch $@

demo: $(DEMO_VENV)/.built
	@$(DEMO_VENV)/bin/python -m tavrel.demo

bench: build
	$(VENV)/bin/python benchmarks/bench.py $(BENCH_ARGS)

# BASE=<git revision>: that revision is built into build/bench-base (once)
# and the benchmark compares this build with it, side by side.
BASE ?=
BASE_DIR := build/bench-base
bench-processor: build
	$(if $(BASE),sh scripts/build-base $(BASE) $(BASE_DIR))
	$(VENV)/bin/python benchmarks/processor.py \
		$(if $(BASE),--base $(BASE_DIR)/venv/bin/python) $(BENCH_ARGS)

bench-sessions: build
	$(VENV)/bin/python benchmarks/sessions.py $(BENCH_ARGS)

bench-devices: build
	$(VENV)/bin/python benchmarks/devices.py \
		$(if $(wildcard $(PEERS_VENV)/.deps-installed),--peers-python $(PEERS_VENV)/bin/python) \
		$(BENCH_ARGS)

$(PEERS_VENV)/.deps-installed:
	@[ -x $(PEERS_VENV)/bin/python ] || "$(PYTHON)" -m venv $(PEERS_VENV)
	$(PEERS_VENV)/bin/python -m pip install $(PIP_QUIET) --upgrade pip
	$(PEERS_VENV)/bin/python -m pip install $(PIP_QUIET) netmiko scrapli
	touch $@

bench-devices-peers: $(PEERS_VENV)/.deps-installed
	$(MAKE) --no-print-directory bench-devices

bench-fleet: build
	$(VENV)/bin/python benchmarks/fleet.py $(BENCH_ARGS)

DIFF_EXAMPLES ?= 200000
test-differential: build
	TAVREL_DIFF_EXAMPLES=$(DIFF_EXAMPLES) $(VENV)/bin/python -m pytest \
		tests/engine/test_incremental_search.py $(PYTEST_ARGS)

# Every test, the equivalence tests of the shortcuts included, against the
# general road alone.
test-no-fast-paths: $(PLAIN_VENV)/.built
	$(PLAIN_VENV)/bin/python -m pytest $(TESTS) $(PYTEST_ARGS)

# --- other interpreters -------------------------------------------------------

# $(call python-rules,X.Y): .venv-X.Y with its own build (build/ keeps one
# tree per wheel tag) and test-X.Y to run the suite there.
define python-rules
.venv-$(1)/.deps-installed: requirements-dev.txt requirements-test.txt
	$$(call make-venv,.venv-$(1),$(1))

.venv-$(1)/.built: .venv-$(1)/.deps-installed $$(SOURCES)
	.venv-$(1)/bin/python $$(PIP_INSTALL_SELF) .
	touch $$@

test-$(1): .venv-$(1)/.built
	.venv-$(1)/bin/python -m pytest $$(TESTS) $$(PYTEST_ARGS)
endef
$(foreach v,$(EXTRA_PYTHONS),$(eval $(call python-rules,$(v))))

# Every interpreter in turn, also after a failure; the summary says which
# failed and how long each took.
test-pythons:
	@summary=""; failed=""; \
	for v in 3.10 $(EXTRA_PYTHONS); do \
		target=test-$$v; [ $$v != 3.10 ] || target=test; \
		printf '\n==> make %s\n' $$target; \
		start=$$(date +%s); \
		if $(MAKE) --no-print-directory $$target; then r=passed; else r=FAILED; failed="$$failed $$v"; fi; \
		summary="$$summary$$(printf '\n  %-5s %-6s %4d s' $$v $$r $$(( $$(date +%s) - start )))"; \
	done; \
	printf '\n==> test-pythons:%s\n' "$$summary"; \
	if [ -n "$$failed" ]; then echo "failed on:$$failed" >&2; exit 1; fi

# --- release artefacts --------------------------------------------------------

# The tools that build, repair and check them, in a venv of their own.
$(TOOLS_VENV)/.deps-installed: requirements-release.txt
	@if [ ! -x $(TOOLS_VENV)/bin/python ]; then \
		echo "creating $(TOOLS_VENV) with $(PYTHON)"; \
		"$(PYTHON)" -m venv $(TOOLS_VENV) || exit 1; \
	fi
	$(TOOLS_VENV)/bin/python -m pip install --upgrade pip
	$(TOOLS_VENV)/bin/python -m pip install -r requirements-release.txt
	touch $@

# The sdist first, then each wheel built from it by pip (build isolation, as
# a user's pip would), so that a file missing from the sdist breaks the build
# here. No wheel cache: pip would key it on the sdist's path and version and
# hand back a wheel of older sources. auditwheel gives each wheel the oldest
# manylinux tag its symbols allow, which cannot be older than this machine's
# glibc and libstdc++; a wheel that needs a library outside the manylinux set
# gets a copy of it.
wheels: $(WHEELS_BUILT)

# The sdist also carries the tests and examples that test-sdist runs.
SDIST_FILES = $(SOURCES) README.md LICENSE requirements-test.txt \
	$(shell find tests examples -name __pycache__ -prune -o -type f -print)

$(WHEELS_BUILT): $(TOOLS_VENV)/.deps-installed $(SDIST_FILES)
	rm -rf dist build/wheelhouse
	$(TOOLS_VENV)/bin/python -m build --sdist --outdir dist .
	@skipped=""; for v in $(WHEEL_PYTHONS); do \
		py=$$(sh scripts/find-python $$v 2>/dev/null) || { skipped="$$skipped $$v"; continue; }; \
		rm -rf build/wheelhouse/venv; \
		"$$py" -m venv build/wheelhouse/venv || exit 1; \
		build/wheelhouse/venv/bin/python -m pip wheel --no-deps --no-cache-dir \
			$(PIP_BUILD_VERBOSE) --config-settings=cmake.define.TAVREL_WERROR=$(WERROR) \
			-w build/wheelhouse/$$v $(SDIST) || exit 1; \
	done; \
	if [ -n "$$skipped" ]; then echo "make wheels: no CPython for$$skipped here: no wheel built for it"; fi
	PATH="$(CURDIR)/$(TOOLS_VENV)/bin:$$PATH" $(TOOLS_VENV)/bin/auditwheel repair \
		-w dist build/wheelhouse/*/tavrel-*.whl
	$(TOOLS_VENV)/bin/python -m twine check --strict dist/*
	@echo "dist/:"; ls -1 dist | sed 's/^/  /'
	touch $@

# $(call wheel-rules,X.Y): test-wheel-X.Y installs the X.Y wheel into a venv
# made afresh, from binaries only and with no compiler to fall back on, with
# the test requirements, and runs the source tree's tests/ against it.  src/
# is not on sys.path, and tests/package/test_packaging.py checks that the package
# imported is the installed one.
define wheel-rules
test-wheel-$(1): $$(WHEELS_BUILT)
	rm -rf build/wheel-venv-$(1)
	py=$$$$(sh scripts/find-python $(1)) && "$$$$py" -m venv build/wheel-venv-$(1)
	build/wheel-venv-$(1)/bin/python -m pip install -q --upgrade pip
	CC=/bin/false CXX=/bin/false build/wheel-venv-$(1)/bin/python -m pip install \
		--only-binary=:all: -r requirements-test.txt \
		dist/tavrel-$$(VERSION)-cp$(subst .,,$(1))-cp$(subst .,,$(1))-manylinux*.whl
	build/wheel-venv-$(1)/bin/python -m pytest $$(TESTS) $$(PYTEST_ARGS)
endef
$(foreach v,$(WHEEL_PYTHONS),$(eval $(call wheel-rules,$(v))))

# Every wheel in turn, also after a failure, with a summary.
test-wheel: $(WHEELS_BUILT)
	@summary=""; failed=""; \
	for v in $(WHEEL_PYTHONS); do \
		if ! sh scripts/find-python $$v >/dev/null 2>&1; then \
			summary="$$summary$$(printf '\n  %-5s skipped (no CPython %s here)' $$v $$v)"; continue; \
		fi; \
		printf '\n==> make test-wheel-%s\n' $$v; \
		start=$$(date +%s); \
		if $(MAKE) --no-print-directory test-wheel-$$v; then r=passed; else r=FAILED; failed="$$failed $$v"; fi; \
		summary="$$summary$$(printf '\n  %-5s %-6s %4d s' $$v $$r $$(( $$(date +%s) - start )))"; \
	done; \
	printf '\n==> test-wheel:%s\n' "$$summary"; \
	if [ -n "$$failed" ]; then echo "failed on:$$failed" >&2; exit 1; fi

# The sdist as pip installs it where no wheel fits: unpacked, its own tests
# run against the package pip built from it.
SDIST_TEST := build/sdist-test
test-sdist: $(WHEELS_BUILT)
	rm -rf $(SDIST_TEST) && mkdir -p $(SDIST_TEST)
	tar -xzf $(SDIST) -C $(SDIST_TEST)
	"$(PYTHON)" -m venv $(SDIST_TEST)/venv
	$(SDIST_TEST)/venv/bin/python -m pip install -q --upgrade pip
	$(SDIST_TEST)/venv/bin/python -m pip install --no-cache-dir $(PIP_BUILD_VERBOSE) \
		-r $(SDIST_TEST)/tavrel-$(VERSION)/requirements-test.txt $(SDIST)
	cd $(SDIST_TEST)/tavrel-$(VERSION) && ../venv/bin/python -m pytest $(TESTS) $(PYTEST_ARGS)

# Leaks are left to the test suite: CPython itself does not free everything at
# exit. Any sanitizer report aborts the process that made it and fails the run.
test-asan: build-asan
	@for lib in libasan.so libubsan.so; do \
		path=$$($(CXX_SAN) -print-file-name=$$lib); \
		if [ ! -e "$$path" ]; then echo "make: $(CXX_SAN) has no $$lib runtime" >&2; exit 1; fi; \
	done
	@rm -rf $(SAN_LOG_DIR) && mkdir -p $(SAN_LOG_DIR)
	@echo '$(ASAN_ENV) $(ASAN_VENV)/bin/python -m pytest --capture=sys $(TESTS) $(PYTEST_ARGS)'
	@$(ASAN_ENV) $(ASAN_VENV)/bin/python -m pytest --capture=sys $(TESTS) $(PYTEST_ARGS); rc=$$?; \
	if [ -n "$$(ls -A $(SAN_LOG_DIR))" ]; then \
		echo "=== sanitizer reports ($(SAN_LOG_DIR)) ===" >&2; \
		for f in $(SAN_LOG_DIR)/*; do echo "--- $$f" >&2; cat "$$f" >&2; done; \
		[ $$rc -ne 0 ] || rc=1; \
	fi; \
	exit $$rc

# --- housekeeping -----------------------------------------------------------

clean:
	rm -rf build dist .pytest_cache .hypothesis
	rm -f $(VENV)/.built $(ASAN_VENV)/.built $(PLAIN_VENV)/.built $(DEMO_VENV)/.built \
		$(foreach v,$(EXTRA_PYTHONS),.venv-$(v)/.built)
	find src tests benchmarks examples -name __pycache__ -type d -prune -exec rm -rf {} + 2>/dev/null || true

distclean: clean
	rm -rf $(VENV) $(ASAN_VENV) $(PLAIN_VENV) $(DEMO_VENV) $(TOOLS_VENV) $(PEERS_VENV) \
		$(foreach v,$(EXTRA_PYTHONS),.venv-$(v))
