# Front door: every target installs what is missing first, then drives CMake.
BUILD ?= build
JOBS ?= $(shell nproc)
ARGS ?=

.PHONY: all bootstrap configure build demo test package clean

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

# The Debian package, $(BUILD)/sfxlaunch_<version>_amd64.deb.
package: build
	cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD)
