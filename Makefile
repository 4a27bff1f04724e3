# Entry points: `make quickstart` and `make test` do all set-up on a fresh Debian machine.
PYTHON ?= /usr/bin/python3
BUILD ?= build
BUILD_TYPE ?= Release
JOBS ?= $(shell nproc)
# Warnings are errors: the build is warning-free under GCC 12 and Clang 16.
WERROR ?= ON
APT_PACKAGES := g++ cmake make libgtest-dev libbenchmark-dev libtbb-dev libeigen3-dev python3-dev python3-numpy \
                python3-scipy python3-mpmath python3-pytest python3-hypothesis

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: deps configure build quickstart test bench clean

deps:
	@missing=$$(for p in $(APT_PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing:" $$missing; \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get update -qq && \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
	fi

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DPython3_EXECUTABLE=$(PYTHON) \
	  -DVANTOK_BUILD_BENCH=$(if $(BENCH),ON,OFF) -DVANTOK_WERROR=$(WERROR)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

quickstart: build
	PYTHONPATH=$(BUILD)/python $(PYTHON) examples/01_quickstart.py

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

bench:
	$(MAKE) build BENCH=1
	for b in $(BUILD)/bench/bm_*; do $$b; done
	for b in bench/python/bench_*.py; do PYTHONPATH=$(BUILD)/python $(PYTHON) $$b; done

clean:
	rm -rf $(BUILD)
