# Front door: every target installs what it is missing (scripts/install-deps
# with the layer it needs), configures and builds first.
PRESET ?= release
BUILD := build/$(PRESET)
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local

.PHONY: all deps build demo test asan tsan fuzz bench screenshots install package check-package clean

all: build

deps:
	@scripts/install-deps

$(BUILD)/build.ninja: | deps
	cmake --preset $(PRESET)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	scripts/demo $(BUILD)

# Configured again after the test layer is installed: a build directory
# first made by `make demo` had no GoogleTest and so no tests.
test:
	@scripts/install-deps test
	cmake --preset $(PRESET)
	cmake --build $(BUILD) -j $(JOBS)
	ctest --test-dir $(BUILD) --output-on-failure --no-tests=error -j $(JOBS)

asan:
	$(MAKE) test PRESET=asan

tsan:
	@scripts/install-deps test
	cmake --preset tsan
	cmake --build build/tsan -j $(JOBS)
	ctest --test-dir build/tsan --output-on-failure --no-tests=error -L export

fuzz:
	@scripts/install-deps fuzz
	cmake --preset fuzz
	cmake --build build/fuzz -j $(JOBS)
	scripts/run-fuzz build/fuzz $(FUZZ_SECONDS)

bench:
	@scripts/install-deps bench
	cmake --preset $(PRESET)
	cmake --build $(BUILD) -j $(JOBS)
	scripts/bench $(BUILD)

screenshots:
	@scripts/install-deps screenshots
	$(MAKE) build
	scripts/screenshots $(BUILD)

# PREFIX=/usr/local by default; DESTDIR=... stages the files elsewhere.
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# The Debian package, $(BUILD)/corvane_VERSION-1_ARCH.deb.
package:
	@scripts/install-deps package
	$(MAKE) build
	cmake --build $(BUILD) --target package

# Builds the package and checks what it holds and that it runs.
check-package:
	@scripts/install-deps package
	$(MAKE) build
	scripts/check-package $(BUILD)

clean:
	rm -rf build demo
