# Entry points for people and CI. Every target installs the Debian packages it needs first.
#   make demo   build, then run the main job on the built-in sample
#   make test   build and run every test, in a normal and in a sanitizer build
#   make build  build only (the tool lands in build/bin/vemrick)

BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_ARGS ?=

BASE_PKGS := cmake g++ make libgtest-dev python3

.PHONY: all deps build build-asan demo test test-normal test-asan clean

all: build

deps:
	@scripts/ensure-deps.sh $(BASE_PKGS)

build: deps
	cmake -S . -B $(BUILD) -DVEMRICK_WERROR=ON $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DVEMRICK_WERROR=ON -DVEMRICK_SANITIZE=ON $(CMAKE_ARGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)

demo: build
	@scripts/demo.sh $(BUILD)/bin/vemrick

test-normal: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan: build-asan
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS)

test: test-normal test-asan
	@echo "make test: all test suites passed"

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
