# Two commands for a fresh Debian machine: `make run` and `make test`.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
FUZZ_SECONDS ?= 60

.PHONY: all build package run run-engine test test-asan test-tsan soak fuzz deps-build deps-run deps-test configure clean format

all: build

deps-build:
	@scripts/install-deps.sh build
deps-run:
	@scripts/install-deps.sh build run
deps-test:
	@scripts/install-deps.sh build run test

$(BUILD_DIR)/build.ninja:
	cmake -S . -B $(BUILD_DIR) -G Ninja -DTARNWELL_WERROR=ON $(CMAKE_FLAGS)

configure: $(BUILD_DIR)/build.ninja

build: deps-build configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

# The Debian package build/tarnwell_VERSION_ARCH.deb (`apt install ./build/tarnwell_*.deb`).
package: deps-build configure
	cmake --build $(BUILD_DIR) -j $(JOBS)
	cd $(BUILD_DIR) && cpack -G DEB

# Tarnwell, which starts the engine; without a display it says so and fails.
run: deps-run configure
	cmake --build $(BUILD_DIR) -j $(JOBS)
	@$(BUILD_DIR)/bin/Tarnwell

# The engine alone in the foreground with a fresh PIN (no display needed).
run-engine: deps-run configure
	cmake --build $(BUILD_DIR) -j $(JOBS)
	@scripts/run-engine.sh $(BUILD_DIR)

# Every test but the long real-time runs (label soak, `make soak`). A test that
# fails means a fault: nothing is retried.
test: deps-test configure
	cmake --build $(BUILD_DIR) -j $(JOBS)
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS) -LE soak
	$(MAKE) --no-print-directory test-asan
	$(MAKE) --no-print-directory test-tsan

# The engine, the ring, the gateway and their unit and integration tests under
# AddressSanitizer and UndefinedBehaviorSanitizer (Qt's own libraries run
# uninstrumented).
test-asan: deps-test
	cmake -S . -B $(BUILD_DIR)-asan -G Ninja -DTARNWELL_WERROR=ON -DSANITIZE=address,undefined \
		-DTARNWELL_MODULES="fuzz;web" $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD_DIR)-asan -j $(JOBS)
	cd $(BUILD_DIR)-asan && ctest --output-on-failure -j $(JOBS) -L 'unit|integration' -LE soak

# The application (its services and windows, which have threads: DNS-SD polling,
# audio) with its tests under ThreadSanitizer. System libraries run uninstrumented;
# tests/tsan.supp names them.
test-tsan: deps-test
	cmake -S . -B $(BUILD_DIR)-tsan -G Ninja -DTARNWELL_WERROR=ON -DSANITIZE=thread \
		-DTARNWELL_MODULES="app" $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD_DIR)-tsan -j $(JOBS)
	cd $(BUILD_DIR)-tsan && \
		TSAN_OPTIONS="suppressions=$(CURDIR)/tests/tsan.supp die_after_fork=0 halt_on_error=1" \
		ctest --output-on-failure -j $(JOBS) -L 'unit|integration|gui' -LE soak -E '^soak\.'

# The long runs: the engine's soak and chaos runs (docs/reliability.md) and the
# tests labelled soak, which need an otherwise idle machine.
soak: deps-test configure
	cmake --build $(BUILD_DIR) -j $(JOBS)
	scripts/soak.sh $(abspath $(BUILD_DIR))

fuzz: deps-build
	@scripts/install-deps.sh fuzz
	scripts/fuzz.sh $(FUZZ_SECONDS)

# Benchmarks against the engine's physical limit; writes docs/performance.md.
.PHONY: bench
bench: deps-build
	@scripts/install-deps.sh bench
	scripts/bench.sh $(abspath $(BUILD_DIR))-bench

format:
	git ls-files '*.h' '*.cpp' '*.c' | xargs clang-format -i

clean:
	rm -rf $(BUILD_DIR)
