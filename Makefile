# Thin wrapper around CMake.
#   make run            install what is missing, build, make the demo scene and fill it
#   make test           install what is missing, build, run every test
#   make test-sanitize  the same under AddressSanitizer and UndefinedBehaviorSanitizer,
#                       in a build folder of its own
#   make bench          build and run the benchmarks
#   make package        build the Debian packages (pelvane, python3-pelvane,
#                       qgis-plugin-pelvane) into $(BUILD)/, beside the QGIS plugin's zip
BUILD ?= build
SANITIZE_BUILD ?= build-sanitize
JOBS  ?= $(shell nproc)

.PHONY: all bootstrap configure build test test-sanitize run bench package clean

all: build

bootstrap:
	@scripts/bootstrap --check || scripts/bootstrap

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD)

configure: bootstrap $(BUILD)/CMakeCache.txt

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-sanitize: bootstrap
	cmake -S . -B $(SANITIZE_BUILD) -DPELVANE_SANITIZE=ON
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	cd $(SANITIZE_BUILD) && ctest --output-on-failure -j $(JOBS)

run: build
	scripts/demo $(BUILD)

bench: build
	scripts/bench $(BUILD)

package: build
	cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD)
