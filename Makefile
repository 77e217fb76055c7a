# The two commands of the README: `make demo` and `make test`. Both set up a fresh machine first.
VENV   := .venv
PY     := $(VENV)/bin/python
export PATH := $(HOME)/.cargo/bin:$(PATH)
# One build directory (build/py, see pyproject.toml) serves the package and the C++ tests.
PIP_BUILD := $(PY) -m pip install --no-build-isolation --no-deps -q \
             -Ccmake.define.QARN_BUILD_TESTS=ON -Ccmake.define.QARN_WERROR=ON -Cbuild.verbose=false .

.PHONY: all setup build demo test test-cpp test-python test-py313 test-py313-run test-asan clean

all: build

setup: $(VENV)/.setup-done
$(VENV)/.setup-done: scripts/setup.sh requirements-dev.txt
	./scripts/setup.sh
	touch $@

build: setup
	$(PIP_BUILD)

# The demo draws its picture with matplotlib, which neither the build nor the tests need.
$(VENV)/.demo-deps-done: $(VENV)/.setup-done
	$(PY) -m pip install -q "matplotlib>=3.7"
	touch $@

demo: build $(VENV)/.demo-deps-done
	$(PY) examples/quickstart.py

test: build
	$(MAKE) --no-print-directory test-cpp test-python test-py313

test-cpp:
	ctest --test-dir build/py --output-on-failure --timeout 300 -j 4

test-python:
	$(PY) -m pytest -q tests/python

# The same Python suite on CPython 3.13 (pyenv's 3.13.0, in the machine image): the first
# interpreter whose headers declare the module slot saying that the extension needs no interpreter
# lock, which a 3.11 build leaves out. The extension and the test hooks are built against it in
# build/py313 (the Rust bridge shared with build/py), with their own virtual environment .venv313,
# and the suite imports the package staged there. Without that interpreter the step is skipped,
# except in CI, where it fails.
PY313_HOME ?= $(HOME)/.pyenv/versions/3.13.0
VENV313    := .venv313
PY313      := $(VENV313)/bin/python
PY313_DIR  := build/py313

$(VENV313)/.setup-done: scripts/setup.sh requirements-dev.txt
	PYTHON=$(PY313_HOME)/bin/python3 VENV=$(VENV313) ./scripts/setup.sh
	touch $@

test-py313:
	@if [ -x $(PY313_HOME)/bin/python3 ]; then $(MAKE) --no-print-directory test-py313-run; \
	elif [ -n "$$CI" ]; then echo "test-py313: no CPython 3.13 at $(PY313_HOME)" >&2; exit 1; \
	else echo "test-py313: skipped, no CPython 3.13 at $(PY313_HOME)"; fi

test-py313-run: $(VENV313)/.setup-done
	cmake -S . -B $(PY313_DIR) -G Ninja -DQARN_BUILD_TESTS=ON -DQARN_WERROR=ON \
	      -DCLARABEL_FFI_TARGET_DIR=$(CURDIR)/build/py/cargo -DPython_EXECUTABLE=$(CURDIR)/$(PY313) >/dev/null
	cmake --build $(PY313_DIR) --target _native _native_test_hooks qarn_py_stage
	PYTHONPATH=$(PY313_DIR)/python $(PY313) -m pytest -q tests/python

# The C++ tests, then the Python suite against the sanitized extension (the interpreter is not
# instrumented, so the AddressSanitizer runtime is preloaded and leak checking is left to the C++
# tests), in build/asan; the Rust bridge, which is not instrumented, is shared with build/py.
# Tests that limit the address space skip themselves or let the sanitizer's allocation limit stand
# in: its shadow memory needs terabytes. pytest leaves the native standard error uncaptured, so
# that a report is seen.
# Allocations are traced with full stacks (the interpreter has no frame pointers), so that the
# suppressions can name the owner of a process-wide object; libstdc++ is preloaded with the runtime,
# whose exception interceptor must find it at start-up.
ASAN_DIR := build/asan
SANITIZER_ENV := ASAN_OPTIONS=allocator_may_return_null=1:detect_stack_use_after_return=1:fast_unwind_on_malloc=0 \
                 UBSAN_OPTIONS=print_stacktrace=1 LSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitizers/lsan.supp
test-asan: setup
	cmake -S . -B $(ASAN_DIR) -G Ninja -DQARN_BUILD_TESTS=ON -DQARN_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	      -DCLARABEL_FFI_TARGET_DIR=$(CURDIR)/build/py/cargo -DPython_EXECUTABLE=$(CURDIR)/$(PY)
	cmake --build $(ASAN_DIR)
	$(SANITIZER_ENV) ctest --test-dir $(ASAN_DIR) --output-on-failure --timeout 900 -j 4
	$(SANITIZER_ENV) ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=0:max_allocation_size_mb=6144 \
	  LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so)" \
	  PYTHONPATH=$(ASAN_DIR)/python $(PY) -m pytest -q --capture=sys tests/python

clean:
	rm -rf build

# Peer packages of the hand-run comparison bench/compare_peers.py (neither demo nor test needs them).
.PHONY: bench-deps
bench-deps: setup
	$(PY) -m pip install -q -r bench/requirements.txt
