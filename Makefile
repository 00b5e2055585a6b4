# Kestrel: `make run` builds and starts the terminal, `make test` builds and runs the tests.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps configure build run test clean

all: build

deps:
	@scripts/deps.sh build

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	@scripts/run.sh $(BUILD)

test:
	@scripts/deps.sh test
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTREL_TESTS=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)
	@cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD)
