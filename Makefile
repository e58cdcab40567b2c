# Front door: every target installs what is missing first, then drives CMake.
BUILD ?= build
JOBS ?= $(shell nproc)
ARGS ?=

.PHONY: all bootstrap configure build demo test bench clean

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

# Measures the launchers against xz and a plain copy (see bench/RESULTS.md).
# Run by hand on a machine as quiet as can be had; never part of `make test`.
BENCH_ARGS ?=
bench: build
	@scripts/bootstrap python3 strace time
	python3 bench/run_bench.py --build $(BUILD) $(BENCH_ARGS)

clean:
	rm -rf $(BUILD)
