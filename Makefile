# Thin wrapper over CMake: `make test` sets up a fresh Debian 12 machine, builds and tests.
BUILD_DIR ?= build
CMAKE_FLAGS ?=

.PHONY: deps build test demo clean

deps:
	@scripts/install-deps

build: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure --timeout 300

demo:
	@echo "The demo is not built yet." >&2
	@exit 1

clean:
	rm -rf $(BUILD_DIR)
