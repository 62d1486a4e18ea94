# Development entry points for tavrel.
#
#   make demo        build, then run the demo
#   make test        build, then run the test suite     (PYTEST_ARGS=...)
#   make test-asan   the test suite against an ASan/UBSan build
#   make test-no-fast-paths  the test suite against a build without the
#                    module's shortcuts (.venv-no-fast-paths)
#   make test-3.13   the test suite on CPython 3.13 (.venv-3.13); also 3.11, 3.12
#   make test-pythons  the test suite on 3.10 (.venv) and every EXTRA_PYTHONS
#   make test-wheel  build a wheel into dist/, install it into a fresh venv and
#                    run the test suite against that installation
#   make bench       build, then run the benchmarks     (BENCH_ARGS=...)
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
PLAIN_VENV := .venv-no-fast-paths
# Interpreters besides 3.10 that the suite runs on, each in .venv-X.Y.
EXTRA_PYTHONS := 3.11 3.12 3.13
WHEEL_VENV := build/wheel-venv
CXX_SAN   ?= g++

PYTEST_ARGS ?=
BENCH_ARGS  ?=
WERROR      ?= OFF

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

.PHONY: all venv venv-asan build build-asan test test-asan demo bench clean distclean \
	test-pythons test-wheel test-no-fast-paths $(addprefix test-,$(EXTRA_PYTHONS))

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
	$(1)/bin/python -m pip install --upgrade pip
	$(1)/bin/python -m pip install -r requirements-dev.txt
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
	$(VENV)/bin/python $(PIP_INSTALL_SELF) .
	touch $@

$(ASAN_VENV)/.built: $(ASAN_VENV)/.deps-installed $(SOURCES)
	CXX=$(CXX_SAN) $(ASAN_VENV)/bin/python $(PIP_INSTALL_SELF) $(ASAN_CONFIG) .
	touch $@

$(PLAIN_VENV)/.built: $(PLAIN_VENV)/.deps-installed $(SOURCES)
	$(PLAIN_VENV)/bin/python $(PIP_INSTALL_SELF) $(PLAIN_CONFIG) .
	touch $@

# --- run --------------------------------------------------------------------

test: build
	$(VENV)/bin/python -m pytest tests $(PYTEST_ARGS)

demo: build
	$(VENV)/bin/python -m tavrel.demo

bench: build
	$(VENV)/bin/python benchmarks/bench.py $(BENCH_ARGS)

# Every test, the equivalence tests of the shortcuts included, against the
# general road alone.
test-no-fast-paths: $(PLAIN_VENV)/.built
	$(PLAIN_VENV)/bin/python -m pytest tests $(PYTEST_ARGS)

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
	.venv-$(1)/bin/python -m pytest tests $$(PYTEST_ARGS)
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

# --- the wheel ----------------------------------------------------------------

# The wheel is built as a user would (build isolation: the build requirements
# come from pyproject.toml) in a build tree of its own, then installed with
# the test requirements into a venv made afresh each time.  The tests run
# from the source tree's tests/; src/ is not on sys.path, and
# tests/test_packaging.py checks that the package imported is the installed
# one.
test-wheel: venv
	rm -rf dist $(WHEEL_VENV)
	$(VENV)/bin/python -m pip wheel --no-deps $(PIP_BUILD_VERBOSE) \
		-C build-dir=build/wheel-{wheel_tag} -C cmake.define.TAVREL_WERROR=$(WERROR) -w dist .
	"$(PYTHON)" -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/python -m pip install --upgrade pip
	$(WHEEL_VENV)/bin/python -m pip install -r requirements-test.txt dist/tavrel-*.whl
	$(WHEEL_VENV)/bin/python -m pytest tests $(PYTEST_ARGS)

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
	rm -f $(VENV)/.built $(ASAN_VENV)/.built $(PLAIN_VENV)/.built \
		$(foreach v,$(EXTRA_PYTHONS),.venv-$(v)/.built)
	find src tests benchmarks examples -name __pycache__ -type d -prune -exec rm -rf {} + 2>/dev/null || true

distclean: clean
	rm -rf $(VENV) $(ASAN_VENV) $(PLAIN_VENV) $(foreach v,$(EXTRA_PYTHONS),.venv-$(v))
