# Front door: every target installs what is missing first, then drives CMake.
# `make demo` installs, configures and builds only what the demo needs: the
# packer and the host's launcher runtime (scripts/bootstrap's demo profile,
# tests and fuzzers off). Every other target configures everything, so the
# two can share one build directory.
BUILD ?= build
JOBS ?= $(shell nproc)
ARGS ?=
FUZZ_SECONDS ?= 600
# The bootstrap profile (scripts/bootstrap); make bench asks for more.
PROFILE = test
FULL = -DSFX_BUILD_TESTS=ON -DSFX_BUILD_FUZZERS=ON "-DSFX_TARGETS=x86_64;i386"
# The demo launcher runs on the host, an x86_64 one.
DEMO = -DSFX_BUILD_TESTS=OFF -DSFX_BUILD_FUZZERS=OFF -DSFX_TARGETS=x86_64

.PHONY: all bootstrap configure build demo test package sanitize fuzz bench clean

all: build

bootstrap:
	@scripts/bootstrap $(PROFILE)

configure: bootstrap
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(FULL) >/dev/null

build: configure
	@cmake --build $(BUILD) -j$(JOBS)

demo:
	@scripts/bootstrap demo
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(DEMO) >/dev/null
	@cmake --build $(BUILD) -j$(JOBS) --target demo_x86_64
	$(BUILD)/bin/demo $(ARGS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)
	@cat $(BUILD)/fuzz/summary
	@cat $(BUILD)/fuzz/reader/summary
	scripts/sanitizer-suite $(BUILD)/sanitize $(JOBS)

# The black-box suite against launchers built with ASan and UBSan.
sanitize: bootstrap
	scripts/sanitizer-suite $(BUILD)/sanitize $(JOBS)

# A longer fuzz run than the test suite's, into the same working corpus.
fuzz: build
	fuzz/run-fuzzer $(BUILD)/bin/extract_entry_fuzz $(FUZZ_SECONDS) $(BUILD)/fuzz
	fuzz/run-fuzzer $(BUILD)/bin/launcher_reader_fuzz $(FUZZ_SECONDS) $(BUILD)/fuzz/reader \
	    $(BUILD)/fuzz/reader-seeds

# The Debian package, $(BUILD)/sfxlaunch_<version>_amd64.deb.
package: build
	cd $(BUILD) && cpack -G DEB

# Measures the launchers against xz and a plain copy (see bench/RESULTS.md).
# Run by hand on a machine as quiet as can be had; never part of `make test`.
BENCH_ARGS ?=
bench: PROFILE = bench
bench: build
	python3 bench/run_bench.py --build $(BUILD) $(BENCH_ARGS)

clean:
	rm -rf $(BUILD)
