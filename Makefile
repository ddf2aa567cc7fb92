# Front door: a thin wrapper around CMake, CTest and dpkg-buildpackage.
#   make               build everything configured in build/: the tool, the libraries
#                      and, when GoogleTest is found, the tests
#   make demo          build build/varlix and build/varlix-unpack alone, list the bundled
#                      example archive and extract a member from it, then list the example
#                      disk set and extract it into build/demo-set
#   make check         build everything, the tests included (they need GoogleTest),
#                      and run every test
#   make install       build the tool and the libraries alone and install them into
#                      PREFIX (default /usr/local), under DESTDIR if set
#   make deb           build the Debian packages varlix and varlix-dev with
#                      dpkg-buildpackage; they land in build-deb/
#   make windows       cross-build build-windows/varlix.exe and varlix-unpack.exe
#                      (needs g++-mingw-w64-x86-64)
#   make windows-test  run the tests against the .exe files, and the library tests as
#                      Windows programs, under wine in a prefix of its own,
#                      build-windows/wine-prefix (needs wine and googletest's sources)
#   make bench         decode throughput and extraction time against gzip and cat
#                      (BENCH_SIZE_MIB=64 BENCH_RUNS=7; corpora are kept in
#                      build-bench/bench-data; BENCH_BEFORE=<commit> adds that commit's
#                      decoder beside today's); varlix-unpack against a shell loop of
#                      varlix, and -j 2 against -j 1 (UNPACK_BENCH_RUNS=3;
#                      UNPACK_BENCH_SCRATCH, where it writes: a tmpfs)
#   make resources     peak memory of a 64 MiB extraction against its bound (PASS/FAIL)
#                      and the time to list an archive of 4096 members
#                      (bench, resources and web-bench build in build-bench)
#   make memcheck      the tests under valgrind: no memory error, no leak of any kind
#                      (MEMCHECK_FLAGS=--quick leaves out the two bulk decoder tests)
#   make web           build the web page into build-web/ (index.html, to open from disk or
#                      serve) with Debian's emscripten
#   make web-check     the page's browser tests in headless Chromium (needs chromium and npm;
#                      the test packages come from web/tests/package-lock.json), against
#                      the native tools built in build-web-tools
#   make web-bench     the page's speed against native varlix on make bench's 64 MiB text member
#   make fuzz          build the libFuzzer targets with clang and run each for FUZZ_SECONDS
#                      (default 60), FUZZ_AT_ONCE (default 2) at a time; corpora and
#                      findings are kept in build-fuzz

BUILD_DIR ?= build
# Builds with settings of their own keep out of build/, whose cache stays make check's.
BENCH_BUILD_DIR ?= build-bench
WEB_TOOLS_BUILD_DIR ?= build-web-tools
BENCH_BEFORE ?=
BUILD_TYPE ?= Release
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BENCH_SIZE_MIB ?= 64
BENCH_RUNS ?= 7
UNPACK_BENCH_RUNS ?= 3
# Where varlix-unpack's bench writes what it extracts: a tmpfs where there is
# one, so that the figures are the programs' and not the disk's, whose time
# to create a file varies with its state; empty: the data folder.
UNPACK_BENCH_SCRATCH ?= $(shell test -d /dev/shm -a -w /dev/shm && echo /dev/shm/varlix-unpack-bench)
MEMCHECK_BUILD_DIR ?= build-memcheck
MEMCHECK_FLAGS ?=
FUZZ_BUILD_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_AT_ONCE ?= 2
PREFIX ?= /usr/local
DEB_BUILD_DIR ?= build-deb
# The tests are make check's job; `make deb DEB_BUILD_OPTIONS=` runs them in
# the package build too, as a Debian build does (then GoogleTest is needed).
DEB_BUILD_OPTIONS ?= nocheck
WINDOWS_BUILD_DIR ?= build-windows
WINDOWS_TEST_BUILD_DIR ?= build-windows-tests
# The wine prefix make windows-test runs the .exe files in, made on first use:
# the user's own ~/.wine is neither needed nor touched.
WINDOWS_WINEPREFIX ?= $(abspath $(WINDOWS_BUILD_DIR))/wine-prefix
WINE_RUN = $(abspath tools/run_under_wine.sh) --prefix $(WINDOWS_WINEPREFIX)
WEB_BUILD_DIR ?= build-web
# emscripten's object files and its CMake cache; the page itself goes to WEB_BUILD_DIR.
WEB_OBJECT_DIR ?= build-web-objects
# Debian's emscripten runs its JavaScript tools under node and needs Debian's
# node modules (acorn), which a node from elsewhere does not look for.
EMSCRIPTEN_ENV = NODE_PATH=/usr/share/nodejs$${NODE_PATH:+:$$NODE_PATH}

# Prints, after a test run in directory $(1), why each skipped test was skipped.
print_skip_reasons = awk '/^\[ RUN      \]/ { name = $$4 } /: Skipped$$/ { getline reason; \
	print "skipped " name ": " reason }' $(1)/Testing/Temporary/LastTest.log

# cmake --build runs make below this one: its directory changes are noise.
MAKEFLAGS += --no-print-directory

.PHONY: all configure check demo bench bench-configure resources memcheck fuzz install deb windows windows-test \
	web web-check web-bench web-packages clean

all: configure
	cmake --build $(BUILD_DIR) --parallel $(JOBS)

# Without -DVARLIX_TESTS, the tests are configured when GoogleTest is found.
configure:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(TEST_FLAGS) $(CMAKE_FLAGS)

# Asked for, the tests stop the configure with a clear message without GoogleTest.
check: TEST_FLAGS = -DVARLIX_TESTS=ON
check: all
	ctest --test-dir $(BUILD_DIR) --output-on-failure --parallel $(JOBS) --no-tests=error

# The tool alone, with CMake's progress lines; the configure report is shown
# only when it has a warning or an error.
# varlix on the example archive, then varlix-unpack on the example disk set,
# into a folder made anew each run so that a second run shows the same.
demo:
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(TEST_FLAGS) $(CMAKE_FLAGS) \
	    --log-level=WARNING
	@cmake --build $(BUILD_DIR) --target varlix varlix-unpack --parallel $(JOBS)
	$(BUILD_DIR)/varlix --list examples/demo.z
	$(BUILD_DIR)/varlix examples/demo.z readme.txt $(BUILD_DIR)/README.TXT
	$(BUILD_DIR)/varlix-unpack --list examples/demo-set/DEMO.1
	@rm -rf $(BUILD_DIR)/demo-set
	$(BUILD_DIR)/varlix-unpack -v -d $(BUILD_DIR)/demo-set examples/demo-set/DEMO.1

bench-configure:
	cmake -S . -B $(BENCH_BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DVARLIX_TESTS=OFF \
	    -DVARLIX_BENCH=ON -DVARLIX_BENCH_BEFORE="$(BENCH_BEFORE)" $(CMAKE_FLAGS)

bench: bench-configure
	cmake --build $(BENCH_BUILD_DIR) --target varlix varlix-unpack varlix_bench unpack_bench \
	    --parallel $(JOBS)
	$(BENCH_BUILD_DIR)/bench/varlix_bench $(BENCH_BUILD_DIR)/varlix $(BENCH_BUILD_DIR)/bench-data \
		--size-mib $(BENCH_SIZE_MIB) --runs $(BENCH_RUNS)
	$(BENCH_BUILD_DIR)/bench/unpack_bench $(BENCH_BUILD_DIR)/varlix \
		$(BENCH_BUILD_DIR)/varlix-unpack $(BENCH_BUILD_DIR)/bench-data/unpack \
		--runs $(UNPACK_BENCH_RUNS) $(if $(UNPACK_BENCH_SCRATCH),--scratch $(UNPACK_BENCH_SCRATCH))

install: configure
	cmake --build $(BUILD_DIR) --target varlix_installables --parallel $(JOBS)
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD_DIR) --prefix "$(PREFIX)"

# dpkg-buildpackage writes its results next to the source tree, so it works on
# a copy in $(DEB_BUILD_DIR)/varlix: of the files git tracks or would track,
# or of the whole tree less the build folders outside a git checkout. The
# packages, .buildinfo and .changes land in $(DEB_BUILD_DIR). CMAKE_FLAGS
# reach the package's configure.
deb:
	rm -rf $(DEB_BUILD_DIR)
	mkdir -p $(DEB_BUILD_DIR)/varlix
	if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then \
	    git ls-files -z --cached --others --exclude-standard | \
	        tar -c --null -T - --ignore-failed-read -f -; \
	else \
	    tar -c --exclude='./build*' --exclude='./obj-*' -f - .; \
	fi | tar -x -C $(DEB_BUILD_DIR)/varlix
	cd $(DEB_BUILD_DIR)/varlix && DEB_BUILD_OPTIONS="$(DEB_BUILD_OPTIONS)" \
	    VARLIX_CMAKE_FLAGS="$(CMAKE_FLAGS)" \
	    dpkg-buildpackage -us -uc -b $(if $(filter nocheck,$(DEB_BUILD_OPTIONS)),-Pnocheck)
	@for package in $(DEB_BUILD_DIR)/*.deb; do echo "== $$package"; dpkg-deb -c "$$package"; done

windows:
	cmake -S . -B $(WINDOWS_BUILD_DIR) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	    -DCMAKE_BUILD_TYPE=Release -DVARLIX_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(WINDOWS_BUILD_DIR) --parallel $(JOBS)

# First the native tests against the .exe files, then the library tests built
# as Windows programs (with GoogleTest from its sources), both under wine, in
# the prefix WINDOWS_WINEPREFIX, set up before the first test; its wine
# server is stopped at the end, failed or not. Tests that cannot hold on
# Windows skip, and each one's reason is printed after its run.
windows-test: windows all
	$(WINE_RUN) --start
	@echo "ctest --test-dir $(BUILD_DIR), the programs under test: $(WINDOWS_BUILD_DIR)/*.exe"
	@status=0; \
	VARLIX_EXE="$(abspath $(WINDOWS_BUILD_DIR))/varlix.exe" \
	VARLIX_UNPACK_EXE="$(abspath $(WINDOWS_BUILD_DIR))/varlix-unpack.exe" \
	VARLIX_TEST_WRAPPER="$(WINE_RUN)" \
	    ctest --test-dir $(BUILD_DIR) --output-on-failure --parallel $(JOBS) || status=$$?; \
	$(call print_skip_reasons,$(BUILD_DIR)); \
	[ $$status -eq 0 ] || { $(WINE_RUN) --stop; exit $$status; }
	cmake -S . -B $(WINDOWS_TEST_BUILD_DIR) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	    -DCMAKE_BUILD_TYPE=Release -DVARLIX_TESTS=ON -DVARLIX_WINEPREFIX=$(WINDOWS_WINEPREFIX) \
	    $(CMAKE_FLAGS) || { $(WINE_RUN) --stop; exit 1; }
	cmake --build $(WINDOWS_TEST_BUILD_DIR) --parallel $(JOBS) || { $(WINE_RUN) --stop; exit 1; }
	@status=0; \
	ctest --test-dir $(WINDOWS_TEST_BUILD_DIR) --output-on-failure --parallel $(JOBS) || status=$$?; \
	$(call print_skip_reasons,$(WINDOWS_TEST_BUILD_DIR)); \
	$(WINE_RUN) --stop; exit $$status

web:
	$(EMSCRIPTEN_ENV) emcmake cmake -S . -B $(WEB_OBJECT_DIR) -DCMAKE_BUILD_TYPE=Release \
	    -DVARLIX_TESTS=OFF -DVARLIX_INSTALL=OFF -DVARLIX_WEB_OUTPUT_DIR="$(abspath $(WEB_BUILD_DIR))" \
	    $(CMAKE_FLAGS) >/dev/null
	$(EMSCRIPTEN_ENV) cmake --build $(WEB_OBJECT_DIR) --target varlix_web_page --parallel $(JOBS)
	@echo "open $(WEB_BUILD_DIR)/index.html, or serve it: python3 -m http.server -d $(WEB_BUILD_DIR)"

# The tests compare the page with the native tools on inputs that
# make_sample_installers writes, so those are built first, as make check
# builds them. npm ci installs the pinned packages when the lockfile changed.
web-check: web web-packages
	$(MAKE) configure BUILD_DIR=$(WEB_TOOLS_BUILD_DIR) TEST_FLAGS=-DVARLIX_TESTS=ON
	cmake --build $(WEB_TOOLS_BUILD_DIR) --target varlix varlix-unpack make_sample_installers \
	    --parallel $(JOBS)
	cd web/tests && VARLIX_BUILD_DIR="$(abspath $(WEB_TOOLS_BUILD_DIR))" \
	    VARLIX_WEB_DIR="$(abspath $(WEB_BUILD_DIR))" node --test page.test.mjs

web-bench: web web-packages bench-configure
	cmake --build $(BENCH_BUILD_DIR) --target varlix varlix_bench --parallel $(JOBS)
	$(BENCH_BUILD_DIR)/bench/varlix_bench $(BENCH_BUILD_DIR)/varlix $(BENCH_BUILD_DIR)/bench-data \
		--size-mib 64 --runs $(BENCH_RUNS) --decode-only
	cd web/tests && VARLIX_BUILD_DIR="$(abspath $(BENCH_BUILD_DIR))" \
	    VARLIX_WEB_DIR="$(abspath $(WEB_BUILD_DIR))" \
	    node speed.mjs "$(abspath $(BENCH_BUILD_DIR))/bench-data/64MiB/text-m0-d6.z" $(BENCH_RUNS)

web-packages:
	cd web/tests && { [ node_modules/.package-lock.json -nt package-lock.json ] || \
	    npm ci --no-audit --no-fund; }

resources: bench-configure
	cmake --build $(BENCH_BUILD_DIR) --target varlix make_resource_archives make_demo_archive \
	    --parallel $(JOBS)
	bench/resource_bounds.sh $(BENCH_BUILD_DIR)

memcheck:
	$(MAKE) all BUILD_DIR=$(MEMCHECK_BUILD_DIR) BUILD_TYPE=RelWithDebInfo \
	    TEST_FLAGS=-DVARLIX_TESTS=ON
	tests/run_memcheck.sh $(MEMCHECK_BUILD_DIR) $(MEMCHECK_FLAGS)

fuzz:
	cmake -S . -B $(FUZZ_BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
		-DVARLIX_FUZZ=ON -DVARLIX_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD_DIR) --parallel $(JOBS)
	fuzz/run_fuzzers.sh $(FUZZ_BUILD_DIR) $(FUZZ_SECONDS) $(FUZZ_AT_ONCE)

clean:
	rm -rf $(BUILD_DIR) $(BENCH_BUILD_DIR) $(WEB_TOOLS_BUILD_DIR) $(DEB_BUILD_DIR) $(WINDOWS_BUILD_DIR) $(WINDOWS_TEST_BUILD_DIR) \
	    $(MEMCHECK_BUILD_DIR) $(FUZZ_BUILD_DIR) $(WEB_BUILD_DIR) $(WEB_OBJECT_DIR)
