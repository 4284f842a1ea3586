# Quick start: `make run` (server on a ready default set-up) and `make test` (build and run every test).
# Both install the Debian packages the build needs when one is missing (needs root for apt-get).

BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)

DEB_PACKAGES := cmake ninja-build g++ pkg-config libssl-dev libgtest-dev libgmock-dev \
                qt6-base-dev qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools libgl-dev

.PHONY: all deps configure build run test test-sanitize clean

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
	@cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS) > /dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

# Builds only the server, then prepares ./run/ on first use and runs hvpsd -d in the foreground.
run: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target hvpsd
	@tools/run-setup.sh $(BUILD_DIR)

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS) --timeout 600

test-sanitize:
	@$(MAKE) test BUILD_DIR=build-sanitize CMAKE_FLAGS="-DHVPS_SANITIZE=ON -DHVPS_BUILD_MANAGER=OFF"

clean:
	rm -rf $(BUILD_DIR) build-sanitize
