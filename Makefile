# Quick start: `make run` (server on a ready default set-up) and `make test` (build and run every test).
# Both install the Debian packages the build needs when one is missing (needs root for apt-get).

BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)
# A compiler cache, when the machine has one, makes rebuilds in several checkouts cheap.
CCACHE := $(shell command -v ccache 2>/dev/null)
LAUNCHER_FLAGS := $(if $(CCACHE),-DCMAKE_CXX_COMPILER_LAUNCHER=$(CCACHE) -DCMAKE_C_COMPILER_LAUNCHER=$(CCACHE))

SERVER_PACKAGES := cmake ninja-build g++ pkg-config libssl-dev libgtest-dev libgmock-dev
MANAGER_PACKAGES := qt6-base-dev qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools libgl-dev
# A server-only build (CMAKE_FLAGS=-DHVPS_BUILD_MANAGER=OFF) needs no Qt.
DEB_PACKAGES := $(SERVER_PACKAGES) $(if $(findstring HVPS_BUILD_MANAGER=OFF,$(CMAKE_FLAGS)),,$(MANAGER_PACKAGES))
# The package checks that need more than the build: lintian and logrotate.
PACKAGE_TEST_PACKAGES := lintian logrotate

.PHONY: all deps deps-fuzz configure build run test test-sanitize test-tsan test-faults fuzz package test-package screenshots clean

all: build

deps:
	@missing=$$(for p in $(DEB_PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	    echo "Installing missing packages:" $$missing; \
	    if [ "$$(id -u)" != 0 ]; then echo "Error: run as root to install packages" >&2; exit 1; fi; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

configure: deps
	@cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(LAUNCHER_FLAGS) $(CMAKE_FLAGS) > /dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

# Builds only the server, then prepares ./run/ on first use and runs hvpsd -d in the foreground.
run: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target hvpsd
	@tools/run-setup.sh $(BUILD_DIR)

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS) --timeout 600

# Debian packages in $(BUILD_DIR): hvps-server (no Qt) and, unless the manager is off, hvps-manager.
package: build
	@cd $(BUILD_DIR) && cpack -G DEB

# The package checks with every tool they use (make test runs them too, skipping a missing tool).
test-package: build
	@$(MAKE) --no-print-directory deps DEB_PACKAGES="$(PACKAGE_TEST_PACKAGES)"
	@cd $(BUILD_DIR) && ctest --output-on-failure -L package

test-sanitize:
	@$(MAKE) test BUILD_DIR=build-sanitize CMAKE_FLAGS="-DHVPS_SANITIZE=ON -DHVPS_BUILD_MANAGER=OFF"

# Threaded suites (threads, sockets, log, handler pool and parked connections, sessions, the daemon
# end to end, disk usage, uploads and the file-state cache) under ThreadSanitizer; only these
# executables are built.
TSAN_TESTS ?= CSThreadTest CSSocketTest CSLogTest NetworkTest SessionTest DaemonTest DiskUsageTest \
              UploadTest FileStateTest ConnectionTest
test-tsan: deps
	@cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHVPS_TSAN=ON -DHVPS_BUILD_MANAGER=OFF $(LAUNCHER_FLAGS) > /dev/null
	@cmake --build build-tsan -j $(JOBS) --target hvpsd $(TSAN_TESTS)
	@status=0; for t in $(TSAN_TESTS); do \
	    echo "== $$t"; TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" build-tsan/tests/$$t || status=1; \
	done; exit $$status

# Crash and fault tests against the real server: CRASH_TRIALS kills with SIGKILL at random moments
# and as many power cuts (a FUSE layer, python3-fusepy, drops what was not flushed; make test runs
# a few of each), then the fault suites.
CRASH_TRIALS ?= 200
FAULT_TESTS ?= CrashConsistencyTest AbusiveClientTest DiskFullTest
test-faults: configure
	@for p in python3-fusepy fuse; do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ] && [ "$$(id -u)" = 0 ]; then \
	    echo "Installing missing packages:" $$missing; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target hvpsd $(FAULT_TESTS)
	@status=0; for t in $(FAULT_TESTS); do \
	    echo "== $$t"; HVPS_CRASH_TRIALS=$(CRASH_TRIALS) $(BUILD_DIR)/tests/$$t --gtest_also_run_disabled_tests || status=1; \
	done; exit $$status

# libFuzzer targets (tests/fuzz), built with clang under ASan+UBSan and run FUZZ_SECONDS each;
# FUZZ_TARGETS picks some of them.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?=
FUZZ_SANITIZE := -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined
deps-fuzz: deps
	@for p in clang libclang-rt-14-dev; do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	    echo "Installing missing packages:" $$missing; \
	    if [ "$$(id -u)" != 0 ]; then echo "Error: run as root to install packages" >&2; exit 1; fi; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

fuzz: deps-fuzz
	@CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHVPS_FUZZ=ON \
	    -DHVPS_BUILD_MANAGER=OFF -DCMAKE_C_FLAGS="$(FUZZ_SANITIZE)" -DCMAKE_CXX_FLAGS="$(FUZZ_SANITIZE)" > /dev/null
	@cmake --build build-fuzz -j $(JOBS) --target fuzz_targets
	@tests/fuzz/run-fuzz.sh build-fuzz $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# PNG pictures of the management application's windows for the README, drawn with made-up data
# on a virtual display (Xvfb, installed when missing); SCREENSHOT_SCALE=2 draws them doubled.
SCREENSHOT_DIR ?= docs/images
SCREENSHOT_SCALE ?= 1
screenshots: configure
	@command -v xvfb-run > /dev/null || { \
	    if [ "$$(id -u)" != 0 ]; then echo "Error: xvfb-run is missing; run as root to install xvfb" >&2; exit 1; fi; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq xvfb xauth; }
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target hvps-screenshots
	@QT_SCALE_FACTOR=$(SCREENSHOT_SCALE) QT_LOGGING_RULES="*.debug=false" xvfb-run -a $(BUILD_DIR)/hvps-screenshots $(SCREENSHOT_DIR)

clean:
	rm -rf $(BUILD_DIR) build-sanitize build-tsan build-fuzz
