# Front door: every target installs what is missing, configures and builds first.
PRESET ?= release
BUILD := build/$(PRESET)
JOBS ?= $(shell nproc)

.PHONY: all deps build demo test asan tsan fuzz bench screenshots clean

all: build

deps:
	@scripts/install-deps

$(BUILD)/build.ninja: | deps
	cmake --preset $(PRESET)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	scripts/demo $(BUILD)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

asan:
	$(MAKE) test PRESET=asan

tsan:
	@scripts/install-deps
	cmake --preset tsan
	cmake --build build/tsan -j $(JOBS)
	ctest --test-dir build/tsan --output-on-failure -L export

fuzz:
	@scripts/install-deps
	cmake --preset fuzz
	cmake --build build/fuzz -j $(JOBS)
	scripts/run-fuzz build/fuzz $(FUZZ_SECONDS)

bench: build
	scripts/bench $(BUILD)

screenshots: build
	scripts/screenshots $(BUILD)

clean:
	rm -rf build demo
