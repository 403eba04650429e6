# Thin wrapper over CMake: `make test` sets up a fresh Debian 12 machine, builds and tests.
BUILD_DIR ?= build
CMAKE_FLAGS ?=
FUZZ_SECONDS ?= 60

WINDOWS_BUILD_DIR ?= build-windows
WINDOWS_DEPS ?= $(HOME)/.cache/talkhub/windows-deps

.PHONY: deps build test bench bench-brief tsan fuzz demo windows windows-test windows-package clean

deps:
	@scripts/install-deps

# Installs go to /usr and /etc, as the Debian package built from this tree does
# (`DESTDIR=... cmake --install build` stages them elsewhere).
build: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure --timeout 300

# Every benchmark, then one table of figures, goals, baselines and ratios (a few minutes);
# bench-brief runs each once, shortly, so that none rots (its figures mean little).
bench: build
	bench/run-all $(BUILD_DIR)

bench-brief: build
	bench/run-all --brief $(BUILD_DIR)

# The threaded parts (harbor, the server, the library) under ThreadSanitizer.
tsan: deps
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALKHUB_SANITIZE=thread $(CMAKE_FLAGS)
	cmake --build build-tsan --target harbor_tests server_tests talkhub_tests talkhub_example
	for suite in harbor_tests server_tests talkhub_tests; do \
	  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" build-tsan/tests/$$suite || exit 1; \
	done

# Builds the libraries with clang and libFuzzer and runs each fuzz target for FUZZ_SECONDS:
# talkwire's parsers, framing and voice path, and the logged-in library fed hostile
# signalling and voice, and the reference server fed hostile requests and datagrams.
FUZZ_TARGETS = control voice service_control service_voice server cluster
fuzz: deps
	cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTALKHUB_FUZZ=ON $(CMAKE_FLAGS)
	cmake --build build-fuzz --target fuzz_seeds $(addprefix fuzz_,$(FUZZ_TARGETS))
	build-fuzz/tests/fuzz/fuzz_seeds build-fuzz/corpus
	for target in $(FUZZ_TARGETS); do \
	  LSAN_OPTIONS=suppressions=$(abspath tests/lsan.supp):fast_unwind_on_malloc=0 build-fuzz/tests/fuzz/fuzz_$$target build-fuzz/corpus/$$target \
	    -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=2048 -timeout=10 || exit 1; \
	done

# A whole intercom session on this machine, headless; results in demo-out/.
demo: build
	$(BUILD_DIR)/tools/demo/talkhub-demo --out demo-out

# TalkHub.dll, talkwire.dll and harbor.dll for 64-bit Windows, cross-built with MinGW-w64
# into $(WINDOWS_BUILD_DIR)/bin, from libraries cross-built once from Debian's sources.
windows: deps
	scripts/build-windows-deps $(WINDOWS_DEPS)
	cmake -S . -B $(WINDOWS_BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DTALKHUB_WINDOWS_PREFIX=$(WINDOWS_DEPS)/prefix \
	  -DTALKHUB_LINUX_BUILD=$(abspath $(BUILD_DIR)) $(CMAKE_FLAGS)
	cmake --build $(WINDOWS_BUILD_DIR)

# The Windows build's tests under Wine, against the Linux build's server and hosts.
windows-test: build windows
	cd $(WINDOWS_BUILD_DIR) && ctest --output-on-failure --timeout 300

# talkhub-<version>-win64.zip in $(WINDOWS_BUILD_DIR): the DLLs, the import library and
# .def, the header, the example's source and a README for Windows integrators.
windows-package: windows
	cd $(WINDOWS_BUILD_DIR) && cpack -G ZIP

clean:
	rm -rf $(BUILD_DIR) $(WINDOWS_BUILD_DIR)
