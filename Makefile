# Targets README names. `make test` is the one CI runs.
PYTHON ?= python3
BUILD_DIR ?= build/wheel
DEV_DIR ?= build/dev
JOBS ?= 2
# Dotted names of the compiled modules: cpp/modules/ta/overlap.cpp is orvane_data.ta.overlap.
COMPILED_MODULES := $(sort $(subst /,.,$(patsubst cpp/modules/%.cpp,orvane_data/%,$(shell find cpp/modules -name '*.cpp'))))

.PHONY: test deps install check-cpp check-python stubtest dev bench demo clean

test: deps install check-cpp check-python stubtest

# GoogleTest comes from Debian's packages; everything else from PyPI.
deps:
	@test -f /usr/include/gtest/gtest.h || { \
	  if [ "$$(id -u)" = 0 ]; then SUDO=; else SUDO=sudo; fi; \
	  $$SUDO apt-get update -qq && $$SUDO apt-get install -y -qq libgtest-dev; }
	$(PYTHON) -m pip install -q "scikit-build-core>=0.10" "pybind11>=2.13" ninja "cmake>=3.21"

# One build: the wheel's build directory also holds the C++ tests and the
# glue probe, so nothing is compiled twice.
install:
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(PYTHON) -m pip install -q --no-build-isolation \
	  -Cbuild-dir=$(BUILD_DIR) -Ccmake.define.ORVANE_TESTS=ON ".[test]"

check-cpp:
	ctest --test-dir $(BUILD_DIR) --output-on-failure

check-python:
	ORVANE_GLUE_PROBE_DIR=$(abspath $(BUILD_DIR))/probe $(PYTHON) -m pytest -q tests/python

stubtest:
	cd tests && $(PYTHON) -m mypy.stubtest --concise --allowlist stubtest_allowlist.txt $(COMPILED_MODULES)

# In-tree build for development: modules land next to the Python sources,
# run with PYTHONPATH=src. TARGETS narrows the build (e.g. orvane_data.ta.overlap).
dev:
	cmake -S . -B $(DEV_DIR) -G Ninja -DORVANE_INPLACE=ON -DORVANE_TESTS=ON >/dev/null
	cmake --build $(DEV_DIR) -j $(JOBS) $(if $(TARGETS),--target $(TARGETS) orvane_data._glue)

clean:
	rm -rf build
	find src -name '*.so' -delete
