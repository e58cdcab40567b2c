# Front door: every target installs what is missing first, then drives CMake.
BUILD ?= build
JOBS ?= $(shell nproc)
ARGS ?=
FUZZ_SECONDS ?= 600

.PHONY: all bootstrap configure build demo test package sanitize fuzz bench clean

all: build

bootstrap:
	@scripts/bootstrap

configure: bootstrap
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null

build: configure
	@cmake --build $(BUILD) -j$(JOBS)

demo: build
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
bench: build
	@scripts/bootstrap python3 strace time
	python3 bench/run_bench.py --build $(BUILD) $(BENCH_ARGS)

clean:
	rm -rf $(BUILD)
