# Build, test and benchmark drovik. Every target installs what it needs.
PYTHON ?= python3
VENV := .venv
VPY := $(abspath $(VENV))/bin/python
CMAKE := $(abspath $(VENV))/bin/cmake
JOBS ?= 2
BUILD := build
ASAN_BUILD := build-asan
PKG_ASAN := $(ASAN_BUILD)/pkg
SANITIZER_PRELOAD = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so)

.PHONY: all venv bench-deps demo-deps cxx-deps build build-tests build-asan test test-cpp test-python test-asan test-stubs test-wheel bench demo wheel clean

all: build

venv: $(VENV)/.installed
$(VENV)/.installed: requirements-dev.txt
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q -r requirements-dev.txt
	touch $@

# Optional extras: benchmark peers and the tour's plotting. A package that
# cannot be installed is reported and then done without.
bench-deps: venv
	$(VPY) -m pip install -q -r requirements-bench.txt || echo "some benchmark peers could not be installed; their benchmarks are skipped"
demo-deps: venv
	$(VPY) -m pip install -q -r requirements-demo.txt || echo "matplotlib could not be installed; the tour runs without plots"

# GoogleTest and Google Benchmark come from Debian's packages.
cxx-deps:
	@if [ ! -f /usr/include/gtest/gtest.h ] || [ ! -f /usr/include/benchmark/benchmark.h ]; then \
	  SUDO=$$([ "$$(id -u)" = 0 ] || echo sudo); \
	  $$SUDO apt-get update -qq && \
	  $$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev libbenchmark-dev; \
	fi

# The extension alone, in place: no C++ test libraries, no root needed.
build: venv
	$(CMAKE) -S . -B $(BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DPython_EXECUTABLE=$(VPY) -DDROVIK_BUILD_TESTS=OFF -DDROVIK_BUILD_BENCH=OFF -DDROVIK_INPLACE=ON
	$(CMAKE) --build $(BUILD) -j $(JOBS)

# The same build with the core tests and the benchmarks.
build-tests: venv cxx-deps
	$(CMAKE) -S . -B $(BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DPython_EXECUTABLE=$(VPY) -DDROVIK_BUILD_TESTS=ON -DDROVIK_BUILD_BENCH=ON -DDROVIK_INPLACE=ON
	$(CMAKE) --build $(BUILD) -j $(JOBS)

# Core tests and the extension, both under AddressSanitizer and UBSan. The
# sanitized extension is staged in a package folder of its own.
build-asan: venv cxx-deps
	$(CMAKE) -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(VPY) -DDROVIK_SANITIZE=ON -DDROVIK_BUILD_TESTS=ON
	$(CMAKE) --build $(ASAN_BUILD) -j $(JOBS)
	rm -rf $(PKG_ASAN) && mkdir -p $(PKG_ASAN)/drovik
	cp python/drovik/*.py python/drovik/py.typed $(PKG_ASAN)/drovik/
	cp $(ASAN_BUILD)/_drovik.abi3.so $(PKG_ASAN)/drovik/

test: build-tests build-asan
	$(MAKE) --no-print-directory test-cpp test-python test-stubs test-asan test-wheel

test-cpp:
	$(BUILD)/drovik_core_tests --gtest_brief=1
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  $(ASAN_BUILD)/drovik_core_tests --gtest_brief=1

test-python:
	PYTHONPATH=python $(VPY) -m pytest tests/python -q

# The type stubs must match the built module.
test-stubs:
	PYTHONPATH=python $(VPY) -m mypy.stubtest drovik._drovik

# The Python tests once more against the sanitized extension. An allocation too
# large to make fails as it does without the sanitizer (MemoryError), not as a report.
test-asan:
	LD_PRELOAD="$(SANITIZER_PRELOAD)" PYTHONMALLOC=malloc \
	  ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  PYTHONPATH=$(PKG_ASAN) $(VPY) -c 'import drovik; assert "$(PKG_ASAN)" in drovik._drovik.__file__'
	LD_PRELOAD="$(SANITIZER_PRELOAD)" PYTHONMALLOC=malloc \
	  ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  PYTHONPATH=$(PKG_ASAN) $(VPY) -m pytest tests/python -q -p no:cacheprovider

# pip builds an abi3 wheel through the same CMake build; it installs and imports
# in a clean virtual environment.
test-wheel: venv
	rm -rf $(BUILD)/wheel $(BUILD)/wheel-venv
	$(VPY) -m pip wheel . --no-deps -q -w $(BUILD)/wheel
	ls $(BUILD)/wheel/drovik-*-cp38-abi3-*.whl
	$(PYTHON) -m venv $(BUILD)/wheel-venv
	$(BUILD)/wheel-venv/bin/python -m pip install -q --no-index $(BUILD)/wheel/drovik-*.whl
	$(VPY) -m auditwheel show $(BUILD)/wheel/drovik-*.whl | tee $(BUILD)/wheel/auditwheel.txt
	grep -q 'platform tag: "manylinux' $(BUILD)/wheel/auditwheel.txt
	DROVIK_WHEEL_PYTHON=$(abspath $(BUILD))/wheel-venv/bin/python PYTHONPATH=python \
	  $(VPY) -m pytest tests/python/test_wheel.py -q -p no:cacheprovider

bench: build-tests bench-deps
	$(BUILD)/drovik_bench
	PYTHONPATH=python:$(BUILD) $(VPY) bench/bench_discrete.py
	PYTHONPATH=python:$(BUILD) $(VPY) bench/bench_continuous.py
	PYTHONPATH=python:$(BUILD) $(VPY) bench/bench_fast_sampling.py
	PYTHONPATH=python:$(BUILD) $(VPY) bench/bench_inverse_polynomial.py
	PYTHONPATH=python:$(BUILD) $(VPY) bench/bench_stats.py
	PYTHONPATH=python:$(BUILD) $(VPY) bench/bench_multivar.py
	PYTHONPATH=python:$(BUILD) $(VPY) bench/bench_call_overhead.py
	PYTHONPATH=python:$(BUILD) $(VPY) bench/bench_arrays.py

demo: build demo-deps
	PYTHONPATH=python $(VPY) examples/tour.py

wheel: venv
	$(VPY) -m pip wheel . --no-deps -w dist

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) dist python/drovik/*.so
