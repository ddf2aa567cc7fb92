# Front door: a thin wrapper around CMake and CTest.
#   make          build build/varlix (Release)
#   make check    build and run every test
#   make demo     list the bundled example archive and extract a member from it
#   make bench    decode throughput and extraction time against gzip and cat
#                 (BENCH_SIZE_MIB=64 BENCH_RUNS=5; corpora are kept in build/bench-data)

BUILD_DIR ?= build
BUILD_TYPE ?= Release
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BENCH_SIZE_MIB ?= 64
BENCH_RUNS ?= 5

.PHONY: all configure check demo bench clean

all: configure
	cmake --build $(BUILD_DIR) --parallel $(JOBS)

configure:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS)

check: all
	ctest --test-dir $(BUILD_DIR) --output-on-failure --parallel $(JOBS)

demo: all
	$(BUILD_DIR)/varlix --list examples/demo.z
	$(BUILD_DIR)/varlix examples/demo.z readme.txt $(BUILD_DIR)/README.TXT

bench:
	$(MAKE) all CMAKE_FLAGS="$(CMAKE_FLAGS) -DVARLIX_BENCH=ON"
	$(BUILD_DIR)/bench/varlix_bench $(BUILD_DIR)/varlix $(BUILD_DIR)/bench-data \
		--size-mib $(BENCH_SIZE_MIB) --runs $(BENCH_RUNS)

clean:
	rm -rf $(BUILD_DIR)
