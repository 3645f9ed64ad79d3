# SPDX-License-Identifier: Apache-2.0
# Entry points for people and CI.
#   make demo        build the tool only, start the test payment server, run an inspection, a
#                    payment and a pre-authorization through it, then a payment over https
#   make test        everything CI runs, as stages (TEST_STAGES) that all run to their end, then a
#                    table of their results and times: unit and end-to-end tests in a normal and
#                    in a sanitizer build, the thread test under ThreadSanitizer, short fuzz runs,
#                    the memory checks under valgrind, and a short torture run
#   make check       the short loop: the normal build's unit and end-to-end tests
#   make build       build only (the tool lands in build/bin/vemrick); installs nothing
#   make python-venv a virtual environment in build/venv with the Python package installed
#   make deps        install the Debian packages that `make build` needs
#   make fuzz        run every fuzz target for FUZZ_SECONDS (default 60)
#   make memcheck    unit and end-to-end tests under valgrind memcheck
#   make torture     the built tool under each injected fault in turn (a sample is part of make test)
#   make tsan        the library and its thread test built with ThreadSanitizer (build-tsan), run
#   make cross-test ARCH=s390x|i386   build the library and unit tests for another CPU, run under qemu
#   make bench       performance figures beside curl and OpenSSL, written to build/bench-results.md
#   make deb         the Debian packages (vemrick, libvemrick1, libvemrick-dev, python3-vemrick) in
#                    build/deb, built by dpkg-buildpackage from a copy of the tree, checked by lintian
#   make deb-test    builds them, installs them into a fresh Debian 12 root, uses and purges them
# `make build` and `make build-asan` only build. Every other target first installs the Debian
# packages it needs (scripts/ensure-deps.sh), so that `make demo` and `make test` set up a fresh
# Debian 12 machine run as root.

BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_ARGS ?=
FUZZ_SECONDS ?= 60
CI_FUZZ_SECONDS ?= 15
ARCH       ?= s390x

# libc-ares-dev: the header of the name resolver; its library (libc-ares2) is loaded at run time.
BASE_PKGS := cmake g++ make libgtest-dev libssl-dev libc-ares-dev python3 pkg-config time
# The demo builds the tool alone (no tests), and makes certificates with openssl.
DEMO_PKGS := cmake g++ make libssl-dev libc-ares-dev python3 openssl
# The tests also run tinyproxy (its binary package: no system service) and need a comma-decimal
# locale (de_DE.UTF-8, made below); tzdata for the expiry date's test in Europe/Berlin.
TEST_PKGS := openssl tinyproxy-bin locales tzdata
# The network tests build a private network in a namespace of their own with ip and mount their
# own /etc/hosts and resolv.conf there; the journal test mounts a small disk.
TEST_PKGS += iproute2 mount
# The install test puts python/ into a virtual environment with pip, without network.
PYTHON_PKGS := python3 python3-venv python3-setuptools python3-wheel
TEST_PKGS += $(PYTHON_PKGS)
FUZZ_PKGS := cmake make clang libclang-rt-14-dev
CROSS_PKGS_s390x := crossbuild-essential-s390x qemu-user libgtest-dev libc-ares-dev cmake make
CROSS_PKGS_i386  := crossbuild-essential-i386 qemu-user libgtest-dev libc-ares-dev cmake make

.PHONY: all deps test-deps build build-asan demo test test-normal test-asan fuzz fuzz-build \
        fuzz-short memcheck cross-test clean bench check python-venv

all: build

deps:
	@scripts/ensure-deps.sh $(BASE_PKGS)

# After deps, so that two apt-get runs never overlap under make -j.
test-deps: deps
	@scripts/ensure-deps.sh $(TEST_PKGS)
	@locale -a 2>/dev/null | grep -qix 'de_DE.utf-\?8' || localedef -i de_DE -f UTF-8 de_DE.UTF-8 || \
	    echo "make: could not make the de_DE.UTF-8 locale; the test that needs it skips" >&2

# Asked for through one of these targets, the builds install the base packages first.
INSTALLING_GOALS := demo test test-normal test-asan memcheck torture torture-short
ifneq ($(filter $(INSTALLING_GOALS),$(MAKECMDGOALS)),)
build build-asan: deps
endif

CHECK_CMAKE = @command -v cmake >/dev/null || \
	{ echo "make: cmake is not installed (make deps installs what the build needs)" >&2; exit 1; }

build:
	$(CHECK_CMAKE)
	cmake -S . -B $(BUILD) -DVEMRICK_WERROR=ON -DVEMRICK_TESTS=ON $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS)

build-asan:
	$(CHECK_CMAKE)
	cmake -S . -B $(ASAN_BUILD) -DVEMRICK_WERROR=ON -DVEMRICK_SANITIZE=ON $(CMAKE_ARGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)

# The demo configures the build without the tests (a later make build turns them on again) and
# builds the tool alone.
demo:
	@scripts/ensure-deps.sh $(DEMO_PKGS)
	$(CHECK_CMAKE)
	cmake -S . -B $(BUILD) -DVEMRICK_WERROR=ON -DVEMRICK_TESTS=OFF $(CMAKE_ARGS) >/dev/null
	cmake --build $(BUILD) -j $(JOBS) --target vemrick_tool
	@scripts/demo.sh $(BUILD)/bin/vemrick

test-normal: build test-deps
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The inner loop: no sanitizers, valgrind or fuzzing, and without the slow install and README tests.
check: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -LE '^(install|readme)$$'

# Builds nothing: the package loads the library named by VEMRICK_LIBRARY or the installed one. pip
# works on a copy of the package as make build stages it in $(BUILD)/python (with the version file).
# Debian's own Python, whose packages (python3-setuptools, python3-wheel) the venv builds with.
VENV_PYTHON ?= /usr/bin/python3
python-venv:
	@scripts/ensure-deps.sh $(PYTHON_PKGS)
	$(VENV_PYTHON) -m venv --system-site-packages $(BUILD)/venv
	@[ -f $(BUILD)/python/vemrick/_version.py ] || \
	    { echo "make: $(BUILD)/python is missing (make build stages the Python package there)" >&2; exit 1; }
	rm -rf $(BUILD)/python-package && cp -rL $(BUILD)/python $(BUILD)/python-package
	$(BUILD)/venv/bin/pip install --quiet --no-build-isolation --no-index $(BUILD)/python-package

test-asan: build-asan test-deps
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS)

fuzz-build:
	@scripts/ensure-deps.sh $(FUZZ_PKGS)
	CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DVEMRICK_FUZZ=ON -DVEMRICK_WERROR=ON $(CMAKE_ARGS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

fuzz: fuzz-build
	scripts/run-fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

fuzz-short: fuzz-build
	scripts/run-fuzz.sh $(FUZZ_BUILD) $(CI_FUZZ_SECONDS)

memcheck: build test-deps
	@scripts/ensure-deps.sh valgrind
	scripts/memcheck.sh $(BUILD) $(JOBS)

# make tsan: only the library and the thread test (eight threads paying against the test server,
# over http and over https) are built with ThreadSanitizer, which keeps this build small.
.PHONY: tsan
tsan: test-deps
	@scripts/ensure-deps.sh libtsan2
	$(CHECK_CMAKE)
	cmake -S . -B $(TSAN_BUILD) -DVEMRICK_WERROR=ON -DVEMRICK_TSAN=ON $(CMAKE_ARGS)
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target test_threads
	cd $(TSAN_BUILD) && ctest --output-on-failure -R '^embed_threads(_https)?$$'

# make torture: payments, pre-authorizations and inspections by the built tool, each with one
# allocation, socket, resolver, file or TLS-socket call failing in turn (tests/torture/); about 7
# minutes. torture-short, part of make test, runs a sample of it in about a minute.
TORTURE = python3 tests/torture/torture.py --tool $(BUILD)/bin/vemrick \
          --inject $(BUILD)/tests/torture/libvemrick_inject.so --jobs $(JOBS)
.PHONY: torture torture-short
torture: build test-deps
	@scripts/ensure-deps.sh valgrind
	$(TORTURE) --every 1 --every-from 10 --valgrind 120

torture-short: build test-deps
	@scripts/ensure-deps.sh valgrind
	$(TORTURE) --edge 10 --every 400 --every-from 2000 --valgrind 16

# make test's stages, in order: each a make target of its own. A new stage is one more word here.
TEST_STAGES := test-normal test-asan tsan fuzz-short memcheck torture-short

test: test-deps
	@scripts/run-stages.sh "$(MAKE)" $(TEST_STAGES)

cross-test:
	@[ -n "$(CROSS_PKGS_$(ARCH))" ] || { echo "cross-test: ARCH must be s390x or i386" >&2; exit 2; }
	@scripts/ensure-deps.sh $(CROSS_PKGS_$(ARCH))
	cmake -S . -B build-$(ARCH) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-$(ARCH).cmake \
	    -DVEMRICK_GTEST_FROM_SOURCE=ON -DVEMRICK_SCRIPT_TESTS=OFF -DVEMRICK_WERROR=ON $(CMAKE_ARGS)
	cmake --build build-$(ARCH) -j $(JOBS)
	cd build-$(ARCH) && ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) build-s390x build-i386

# make bench: performance figures beside their references (curl, OpenSSL), written to
# build/bench-results.md (bench/results.md keeps the figures the README quotes). bench_sha1 is configured only here (VEMRICK_BENCH).
BENCH_PKGS := libbenchmark-dev libssl-dev curl time openssl

bench:
	@scripts/ensure-deps.sh $(sort $(BASE_PKGS) $(BENCH_PKGS))
	cmake -S . -B $(BUILD) -DVEMRICK_WERROR=ON -DVEMRICK_BENCH=ON $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS) --target vemrick_tool vemrick_shared bench_sha1
	python3 bench/run.py --build $(BUILD) --out $(BUILD)/bench-results.md

# make deb: dpkg-buildpackage from a copy of the tree, so the checkout stays clean (scripts/build-deb.sh).
# make deb-test: the packages installed with apt-get into a fresh Debian 12 root made by mmdebstrap
# from the host's mirror, used there and purged (tests/install/test_packages.py); run by CI after
# make test. The root's downloaded packages are kept in $(BUILD)/deb-root-cache for the next run.
DEB_PKGS := build-essential debhelper dh-python lintian cmake libssl-dev libc-ares-dev python3
.PHONY: deb deb-test
deb:
	@scripts/ensure-deps.sh $(DEB_PKGS)
	DEB_BUILD_OPTIONS="noautodbgsym $(DEB_BUILD_OPTIONS)" scripts/build-deb.sh $(BUILD)/deb

deb-test: deb
	@scripts/ensure-deps.sh mmdebstrap
	VEMRICK_DEB_ROOT_CACHE=$(abspath $(BUILD))/deb-root-cache python3 tests/install/test_packages.py $(BUILD)/deb
