# Front door: a thin wrapper around CMake, CTest and CPack.
#   make               build build/varlix (Release)
#   make check         build and run every test
#   make demo          list the bundled example archive and extract a member from it
#   make install       install into PREFIX (default /usr/local), under DESTDIR if set
#   make deb           build the Debian packages varlix and varlix-dev in build-deb/
#   make windows       cross-build build-windows/varlix.exe (needs g++-mingw-w64-x86-64)
#   make windows-test  run the tests against varlix.exe under wine (needs wine)
#   make bench         decode throughput and extraction time against gzip and cat
#                      (BENCH_SIZE_MIB=64 BENCH_RUNS=7; corpora are kept in build/bench-data)
#   make resources     peak memory of a 64 MiB extraction against its bound (PASS/FAIL)
#                      and the time to list an archive of 4096 members
#   make memcheck      the tests under valgrind: no memory error, no leak of any kind
#                      (MEMCHECK_FLAGS=--quick leaves out the two bulk decoder tests)
#   make fuzz          build the libFuzzer targets with clang and run each for FUZZ_SECONDS
#                      (default 60), FUZZ_AT_ONCE (default 2) at a time; corpora and
#                      findings are kept in build-fuzz

BUILD_DIR ?= build
BUILD_TYPE ?= Release
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BENCH_SIZE_MIB ?= 64
BENCH_RUNS ?= 7
MEMCHECK_BUILD_DIR ?= build-memcheck
MEMCHECK_FLAGS ?=
FUZZ_BUILD_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_AT_ONCE ?= 2
PREFIX ?= /usr/local
DEB_BUILD_DIR ?= build-deb
WINDOWS_BUILD_DIR ?= build-windows

# Tests that cannot hold on Windows, left out of windows-test:
#  - DirectoryCannotBeRead: Windows refuses to open a directory as a file, so
#    the tool reports "could not be opened" (exit 2) rather than a read error;
#  - ExtractsToStandardOutput: /dev/stdout is a POSIX path;
#  - WriteFailureOnARegularFileRemovesIt: it limits the file size with the
#    shell's ulimit and starts the executable itself, without the wrapper.
WINDOWS_TEST_EXCLUDE = OpenFailureReport.DirectoryCannotBeRead|ExtractCommand.ExtractsToStandardOutput|ExtractCommand.WriteFailureOnARegularFileRemovesIt

.PHONY: all configure check demo bench resources memcheck fuzz install deb windows windows-test \
	clean

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

install: all
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD_DIR) --prefix "$(PREFIX)"

# Configured for /usr, where Debian keeps packages' files; the tests are not built.
deb:
	cmake -S . -B $(DEB_BUILD_DIR) -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
	    -DVARLIX_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(DEB_BUILD_DIR) --parallel $(JOBS)
	cd $(DEB_BUILD_DIR) && cpack -G DEB
	@for package in $(DEB_BUILD_DIR)/*.deb; do echo "== $$package"; dpkg-deb -c "$$package"; done

windows:
	cmake -S . -B $(WINDOWS_BUILD_DIR) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	    -DCMAKE_BUILD_TYPE=Release -DVARLIX_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(WINDOWS_BUILD_DIR) --parallel $(JOBS)

# The tests are the native ones; only the executable they run is varlix.exe.
windows-test: windows all
	VARLIX_EXE="$(abspath $(WINDOWS_BUILD_DIR))/varlix.exe" \
	VARLIX_TEST_WRAPPER="$(abspath tools/run_under_wine.sh)" \
	    ctest --test-dir $(BUILD_DIR) --output-on-failure --parallel $(JOBS) \
	    --exclude-regex '$(WINDOWS_TEST_EXCLUDE)'

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
	rm -rf $(BUILD_DIR) $(DEB_BUILD_DIR) $(WINDOWS_BUILD_DIR) $(MEMCHECK_BUILD_DIR) $(FUZZ_BUILD_DIR)
