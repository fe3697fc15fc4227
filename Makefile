# The two commands of the README: `make run` and `make test`. Everything else here
# serves them (and `make fuzz`, `make bench`, `make tsan` for longer checks).

BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
TSAN_BUILD ?= build-tsan
JOBS       ?= $(shell nproc)
FUZZ_SECONDS ?= 60

CMAKE_FLAGS = -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: run test test-programs deps build build-asan build-fuzz fuzz fuzz-smoke bench tsan \
        clean package package-test

# `make test` builds and tests the Debian package as well: lintian, then install, kill,
# restart and purge in a throwaway Debian root (needs root and a Debian archive, and says so
# and skips where either is missing). The root is made in the background while the programs
# build and their tests run (its output in $(BUILD)/package-root.log), so the package test
# adds little at the end. CORVANE_PACKAGE_TEST=0 leaves it out.
CORVANE_PACKAGE_TEST ?= 1
export CORVANE_PACKAGE_TEST

run: build
	exec scripts/run-product $(BUILD)

ifeq ($(CORVANE_PACKAGE_TEST),1)
test: deps
	packaging/with-prepared-root $(BUILD) \
		$(MAKE) --no-print-directory test-programs package-test
else
test: test-programs
endif

# The programs' tests: plain, under ASan, and the fuzz targets over their seeds.
test-programs: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)
	$(MAKE) --no-print-directory build-asan
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j$(JOBS)
	$(MAKE) --no-print-directory fuzz-smoke

deps:
	@scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS)

build-asan: deps
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_FLAGS) -DCORVANE_SANITIZE=ON -DCORVANE_BENCH=OFF
	cmake --build $(ASAN_BUILD) -j$(JOBS)

build-fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) $(CMAKE_FLAGS) -DCORVANE_FUZZ=ON
	cmake --build $(FUZZ_BUILD) -j$(JOBS)

# Each fuzz target over its seeds for a few seconds (part of `make test`).
fuzz-smoke: build-fuzz
	scripts/run-fuzzers $(FUZZ_BUILD) 5

# Each fuzz target for a minute (or FUZZ_SECONDS).
fuzz: build-fuzz
	scripts/run-fuzzers $(FUZZ_BUILD) $(FUZZ_SECONDS)

bench: build
	scripts/run-benchmarks $(BUILD)

tsan: deps
	cmake -S . -B $(TSAN_BUILD) $(CMAKE_FLAGS) -DCORVANE_TSAN=ON -DCORVANE_BENCH=OFF
	cmake --build $(TSAN_BUILD) -j$(JOBS)
	ctest --test-dir $(TSAN_BUILD) --output-on-failure -j$(JOBS)

# The Debian package corvane_VERSION_ARCH.deb in $(BUILD).
package: build
	cd $(BUILD) && cpack -G DEB

# lintian, then install, run and purge the package in a throwaway Debian root (made here,
# or the one `make test` prepared beside the builds).
package-test: package
	packaging/test-package $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(TSAN_BUILD)
