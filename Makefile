# Kestrel: `make run` builds and starts the terminal, `make test` builds and runs the tests,
# `make bench` builds and runs the benchmark suite, `make package` builds the Debian package.
# Each target installs the Debian packages it needs, then configures through a preset of
# CMakePresets.json.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
CTEST_FLAGS ?=

.PHONY: all build run demo test test-sanitize fuzz-smoke format format-check install bench bench-build package clean

all: build
build:
	@scripts/deps.sh build && cmake --preset default -B $(BUILD) $(CMAKE_FLAGS) && cmake --build $(BUILD) -j $(JOBS)
run: build
	@scripts/run.sh $(BUILD)
demo: build
	@scripts/demo.sh $(BUILD)
install: build
	@cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX))
test:
	@scripts/deps.sh test && cmake --preset test -B $(BUILD) $(CMAKE_FLAGS) && cmake --build $(BUILD) -j $(JOBS) && ctest --preset test --test-dir $(BUILD) -j $(JOBS) $(CTEST_FLAGS)
# The same tests built with AddressSanitizer and UndefinedBehaviorSanitizer; any report fails.
test-sanitize:
	@scripts/deps.sh test && cmake --preset sanitize -B $(BUILD)-sanitize $(CMAKE_FLAGS) && cmake --build $(BUILD)-sanitize -j $(JOBS) && ctest --preset sanitize --test-dir $(BUILD)-sanitize -j $(JOBS) $(CTEST_FLAGS)
# Each fuzz target for a few seconds on its seed corpus.
fuzz-smoke:
	@scripts/fuzz.sh 5 $(BUILD)-fuzz
# Every C++ file against .clang-format: format-check fails on drift, format rewrites.
format-check:
	@scripts/deps.sh format && scripts/check-format.sh
format:
	@scripts/deps.sh format && scripts/check-format.sh --fix
# The benchmark programs, built as `make bench` builds them but not run (CI builds them so the
# README's command keeps working).
bench-build:
	@scripts/deps.sh bench && cmake --preset bench -B $(BUILD) $(CMAKE_FLAGS) && cmake --build $(BUILD) -j $(JOBS) --target kestrel-bench
bench: bench-build
	@$(BUILD)/bench/kestrel-bench --markdown $(BUILD)/bench/results.md
# kestrel_<version>-1_<arch>.deb in $(BUILD)-package, then lintian and the desktop and AppStream validators on it.
package:
	@scripts/deps.sh package && cmake --preset package -B $(BUILD)-package $(CMAKE_FLAGS) && cmake --build $(BUILD)-package -j $(JOBS) --target package && scripts/check-package.sh $(BUILD)-package
clean:
	rm -rf $(BUILD) $(BUILD)-sanitize $(BUILD)-fuzz $(BUILD)-package
