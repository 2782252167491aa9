# Everyday commands; each creates what it needs (virtual environment, build, install).
#   make demo    run the kit's demo
#   make test    run the test suite
#   make bench   run the benchmarks
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
BUILD_DIR ?= build/dev

.PHONY: install demo test bench clean

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

# The build runs in the venv (no isolation) so that BUILD_DIR stays valid and rebuilds are incremental.
# CMake and Ninja come from the package index into the venv, whose bin/ goes first on PATH: the build
# needs only a C++ compiler, the Python headers and libmagic1 from the system.
install: $(PY)
	$(PY) -m pip install -q "scikit-build-core>=0.10" "nanobind>=2.4" "cmake>=3.18" ninja
	PATH="$(abspath $(VENV))/bin:$$PATH" CMAKE_BUILD_PARALLEL_LEVEL=$${CMAKE_BUILD_PARALLEL_LEVEL:-2} \
		$(PY) -m pip install -q --no-build-isolation \
		-Cbuild-dir=$(BUILD_DIR) ".[test,viz]"

demo: install
	$(PY) -m quillo_sdk demo

# The queue and the zone gate run a second time on their documented-API twins.
test: install
	$(PY) -m pytest -q
	QUILLO_SDK_PORTABLE=1 $(PY) -m pytest -q tests/test_latestq.py tests/test_zone_gate.py

bench: install
	for script in benchmarks/bench_*.py; do $(PY) $$script || exit 1; done

clean:
	rm -rf build $(VENV)
