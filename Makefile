# The two commands of the README: `make demo` and `make test`. Both set up a fresh machine first.
VENV   := .venv
PY     := $(VENV)/bin/python
export PATH := $(HOME)/.cargo/bin:$(PATH)
# One build directory (build/py, see pyproject.toml) serves the package and the C++ tests.
PIP_BUILD := $(PY) -m pip install --no-build-isolation --no-deps -q \
             -Ccmake.define.QARN_BUILD_TESTS=ON -Cbuild.verbose=false .

.PHONY: all setup build demo test test-cpp test-python bench clean

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
	$(MAKE) --no-print-directory test-cpp test-python

test-cpp:
	ctest --test-dir build/py --output-on-failure --timeout 300 -j 4

test-python:
	$(PY) -m pytest -q tests/python

clean:
	rm -rf build

# Peer packages of the hand-run comparison bench/compare_peers.py (neither demo nor test needs them).
.PHONY: bench-deps
bench-deps: setup
	$(PY) -m pip install -q -r bench/requirements.txt
