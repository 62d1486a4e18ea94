# Development entry points for tavrel.
#
#   make demo        build, then run the demo
#   make test        build, then run the test suite     (PYTEST_ARGS=...)
#   make test-asan   the test suite against an ASan/UBSan build
#   make bench       build, then run the benchmarks     (BENCH_ARGS=...)
#   make build       (re)build and install into .venv   (V=1 shows the compiler)
#   make venv        create .venv with the build and test dependencies
#   make clean       remove build trees; make distclean also removes the venvs
#
# Python: PYTHON=/path/to/python3.10 overrides scripts/find-python.

SHELL := /bin/sh

PYTHON_VERSION ?= 3.10
# Resolved only when a venv has to be created.
PYTHON ?= $(shell scripts/find-python $(PYTHON_VERSION))

VENV      := .venv
ASAN_VENV := .venv-asan
CXX_SAN   ?= g++

PYTEST_ARGS ?=
BENCH_ARGS  ?=

export PIP_DISABLE_PIP_VERSION_CHECK := 1
export PIP_ROOT_USER_ACTION := ignore

ifeq ($(V),1)
PIP_BUILD_VERBOSE := -v
else
PIP_BUILD_VERBOSE :=
endif

# Anything whose change means the installed package is stale. Directories are
# listed too, so that adding or removing a file triggers a rebuild.
SOURCES := pyproject.toml CMakeLists.txt \
	$(shell find src -name __pycache__ -prune -o \( -type f -o -type d \) -print)

PIP_INSTALL_SELF := -m pip install --no-build-isolation --no-deps $(PIP_BUILD_VERBOSE)

ASAN_CONFIG := \
	-C build-dir=build/asan-{wheel_tag} \
	-C cmake.build-type=RelWithDebInfo \
	-C cmake.define.TAVREL_SANITIZE=ON \
	-C install.strip=false

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

.PHONY: all venv venv-asan build build-asan test test-asan demo bench clean distclean

all: build

# --- virtual environments ---------------------------------------------------

# $(call make-venv,DIR): create DIR with the found Python, then install the
# development requirements; the stamp keeps this from running again.
define make-venv
	@if [ ! -x $(1)/bin/python ]; then \
		py="$(PYTHON)"; \
		if [ -z "$$py" ]; then echo "make: no Python $(PYTHON_VERSION) to create $(1) with" >&2; exit 1; fi; \
		echo "creating $(1) with $$py"; \
		"$$py" -m venv $(1) || exit 1; \
	fi
	$(1)/bin/python -m pip install --upgrade pip
	$(1)/bin/python -m pip install -r requirements-dev.txt
	touch $(1)/.deps-installed
endef

venv: $(VENV)/.deps-installed
venv-asan: $(ASAN_VENV)/.deps-installed

$(VENV)/.deps-installed: requirements-dev.txt
	$(call make-venv,$(VENV))

$(ASAN_VENV)/.deps-installed: requirements-dev.txt
	$(call make-venv,$(ASAN_VENV))

# --- build and install --------------------------------------------------------

build: $(VENV)/.built
build-asan: $(ASAN_VENV)/.built

$(VENV)/.built: $(VENV)/.deps-installed $(SOURCES)
	$(VENV)/bin/python $(PIP_INSTALL_SELF) .
	touch $@

$(ASAN_VENV)/.built: $(ASAN_VENV)/.deps-installed $(SOURCES)
	CXX=$(CXX_SAN) $(ASAN_VENV)/bin/python $(PIP_INSTALL_SELF) $(ASAN_CONFIG) .
	touch $@

# --- run --------------------------------------------------------------------

test: build
	$(VENV)/bin/python -m pytest tests $(PYTEST_ARGS)

demo: build
	$(VENV)/bin/python -m tavrel.demo

bench: build
	$(VENV)/bin/python benchmarks/bench.py $(BENCH_ARGS)

# Leaks are left to the test suite: CPython itself does not free everything at
# exit. Any sanitizer report aborts the process that made it and fails the run.
test-asan: build-asan
	@for lib in libasan.so libubsan.so; do \
		path=$$($(CXX_SAN) -print-file-name=$$lib); \
		if [ ! -e "$$path" ]; then echo "make: $(CXX_SAN) has no $$lib runtime" >&2; exit 1; fi; \
	done
	@rm -rf $(SAN_LOG_DIR) && mkdir -p $(SAN_LOG_DIR)
	@echo '$(ASAN_ENV) $(ASAN_VENV)/bin/python -m pytest --capture=sys tests $(PYTEST_ARGS)'
	@$(ASAN_ENV) $(ASAN_VENV)/bin/python -m pytest --capture=sys tests $(PYTEST_ARGS); rc=$$?; \
	if [ -n "$$(ls -A $(SAN_LOG_DIR))" ]; then \
		echo "=== sanitizer reports ($(SAN_LOG_DIR)) ===" >&2; \
		for f in $(SAN_LOG_DIR)/*; do echo "--- $$f" >&2; cat "$$f" >&2; done; \
		[ $$rc -ne 0 ] || rc=1; \
	fi; \
	exit $$rc

# --- housekeeping -----------------------------------------------------------

clean:
	rm -rf build dist .pytest_cache .hypothesis
	rm -f $(VENV)/.built $(ASAN_VENV)/.built
	find src tests benchmarks -name __pycache__ -type d -prune -exec rm -rf {} + 2>/dev/null || true

distclean: clean
	rm -rf $(VENV) $(ASAN_VENV)
