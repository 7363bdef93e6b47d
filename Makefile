# Entry points. Every target first installs whatever is missing.
#   make demo     build, then run the example walk-through
#   make example-cells  an .h5ad file to a torch training loop, beside backed AnnData
#   make test     build, then run every test (C++, sanitizers, ABI, Python, install)
#   make bench    run the benchmark suite (BENCH_MODE=quick|full)
#   make bench-sweep  korvex against scipy over the row length (the crossover table)
#   make bench-dask  korvex and scipy blocks on a two-worker Dask cluster
#   make fuzz     run each fuzz target for FUZZ_SECONDS (default 60)
#   make tsan     the concurrency stress test under ThreadSanitizer
#   make install  PREFIX=/some/where

PYTHON      ?= /usr/bin/python3
PREFIX      ?= /usr/local
BUILD       ?= build
ASAN_BUILD  ?= build-asan
TSAN_BUILD  ?= build-tsan
FUZZ_BUILD  ?= build-fuzz
BENCH_BUILD ?= build-bench
JOBS        ?= $(shell nproc)
FUZZ_SECONDS ?= 60
BENCH_MODE  ?= full

export KORVEX_LIBRARY := $(CURDIR)/$(BUILD)/libkorvex.so
export PYTHONPATH := $(CURDIR)/python$(if $(PYTHONPATH),:$(PYTHONPATH))

.PHONY: all deps build demo example-cells test test-cpp test-asan test-python test-python-lsan test-install bench bench-sweep bench-dask fuzz tsan install clean

all: build

deps:
	@bash scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

demo: build
	$(PYTHON) examples/demo.py

example-cells: build
	$(PYTHON) examples/cells.py

test: build
	$(MAKE) --no-print-directory test-cpp test-asan test-python test-python-lsan test-install

test-cpp:
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# C++ suite under AddressSanitizer (leak detection on) and UBSan, built with clang.
test-asan: deps
	@CC=clang CXX=clang++ cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DKORVEX_SANITIZE=address,undefined >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j $(JOBS)

test-python:
	$(PYTHON) -m pytest -q tests/python

# The Python suite over the ASan build of the library, with leak detection.
test-python-lsan:
	ASAN_BUILD=$(ASAN_BUILD) bash scripts/lsan-python.sh

test-install:
	bash scripts/test-install.sh

bench: deps
	bash scripts/bench.sh $(BENCH_MODE)

# korvex blocks against scipy blocks on a two-worker Dask cluster (bench/results/dask.md).
bench-dask: build
	$(PYTHON) bench/dask_pipeline.py

# The crossover sweep alone (full runs it as their last step).
bench-sweep: deps
	bash scripts/bench.sh sweep

fuzz: deps
	bash scripts/fuzz.sh $(FUZZ_SECONDS)

tsan: deps
	bash scripts/tsan.sh

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)
	$(PYTHON) scripts/install-python.py $(PREFIX)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) $(BENCH_BUILD)
