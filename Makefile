# Front door: a thin wrapper around CMake and CTest.
#   make          build build/varlix (Release)
#   make check    build and run every test
#   make demo     list the bundled example archive and extract a member from it
#   make bench    decode throughput and extraction time against gzip and cat
#                 (BENCH_SIZE_MIB=64 BENCH_RUNS=5; corpora are kept in build/bench-data)
#   make resources  peak memory of a 64 MiB extraction against its bound (PASS/FAIL)
#                 and the time to list an archive of 4096 members
#   make memcheck the tests under valgrind: no memory error, no leak of any kind
#                 (MEMCHECK_FLAGS=--quick leaves out the two bulk decoder tests)
#   make fuzz     build the libFuzzer targets with clang and run each for FUZZ_SECONDS
#                 (default 60), FUZZ_AT_ONCE (default 2) at a time; corpora and
#                 findings are kept in build-fuzz

BUILD_DIR ?= build
BUILD_TYPE ?= Release
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BENCH_SIZE_MIB ?= 64
BENCH_RUNS ?= 5
MEMCHECK_BUILD_DIR ?= build-memcheck
MEMCHECK_FLAGS ?=
FUZZ_BUILD_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_AT_ONCE ?= 2

.PHONY: all configure check demo bench resources memcheck fuzz clean

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

resources:
	$(MAKE) all CMAKE_FLAGS="$(CMAKE_FLAGS) -DVARLIX_BENCH=ON"
	bench/resource_bounds.sh $(BUILD_DIR)

memcheck:
	$(MAKE) all BUILD_DIR=$(MEMCHECK_BUILD_DIR) BUILD_TYPE=RelWithDebInfo
	tests/run_memcheck.sh $(MEMCHECK_BUILD_DIR) $(MEMCHECK_FLAGS)

fuzz:
	cmake -S . -B $(FUZZ_BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
		-DVARLIX_FUZZ=ON -DVARLIX_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD_DIR) --parallel $(JOBS)
	fuzz/run_fuzzers.sh $(FUZZ_BUILD_DIR) $(FUZZ_SECONDS) $(FUZZ_AT_ONCE)

clean:
	rm -rf $(BUILD_DIR)
