# Kestrel: `make run` builds and starts the terminal, `make test` builds and runs the tests,
# `make bench` builds and runs the benchmark suite.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
CTEST_FLAGS ?=

.PHONY: all deps configure build run demo test test-sanitize fuzz-smoke install bench clean

all: build

deps:
	@scripts/deps.sh build

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	@scripts/run.sh $(BUILD)

demo: build
	@scripts/demo.sh $(BUILD)

install: build
	@cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX))

test:
	@scripts/deps.sh test
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTREL_TESTS=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)
	@cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS) $(CTEST_FLAGS)

# The same tests built with AddressSanitizer and UndefinedBehaviorSanitizer;
# any report fails.
test-sanitize:
	@scripts/deps.sh test
	@cmake -S . -B $(BUILD)-sanitize -DCMAKE_BUILD_TYPE=Debug -DKESTREL_TESTS=ON -DKESTREL_SANITIZE=ON >/dev/null
	@cmake --build $(BUILD)-sanitize -j $(JOBS)
	@cd $(BUILD)-sanitize && QT_QPA_PLATFORM=offscreen \
	  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/scripts/lsan.supp:print_suppressions=0 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS) $(CTEST_FLAGS)

# Each fuzz target for a few seconds on its seed corpus.
fuzz-smoke:
	@scripts/fuzz.sh 5 $(BUILD)-fuzz

bench:
	@scripts/deps.sh bench
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTREL_BENCH=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS) --target kestrel-bench
	@$(BUILD)/bench/kestrel-bench --markdown $(BUILD)/bench/results.md

clean:
	rm -rf $(BUILD)
