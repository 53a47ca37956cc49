# The two commands: `make demo` fits the shipped example, `make test` runs every test.
SHELL := /bin/bash
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
DEMO_DIR := demo

FUZZ_SECONDS ?= 60

.PHONY: all demo test deps release dev bench fuzz format-check clean

all: release

# Install what is missing (Debian packages; needs root, or sudo when available).
deps:
	@./tools/install-deps.sh

release: deps
	cmake --preset release
	cmake --build --preset release -j $(JOBS)

dev: deps
	cmake --preset dev
	cmake --build --preset dev -j $(JOBS)

# The demo builds only what it runs: the program, the entry tool and the
# picture tool (no tests, benchmarks or fuzz targets).
DEMO_TARGETS := tessaline tessaline-entry tessaline-plot

demo: deps
	cmake --preset release
	cmake --build --preset release -j $(JOBS) --target $(DEMO_TARGETS)
	@./tools/run-demo.sh build/release $(DEMO_DIR)

test: dev
	ctest --preset dev -j $(JOBS)

# Every fuzz target for FUZZ_SECONDS each (clang and libFuzzer are installed if missing).
fuzz:
	@./tools/install-deps.sh fuzz
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS) --target $$(sed 's/[^ ]*/fuzz_&/g' build/fuzz/fuzz/targets.txt)
	@./tools/run-fuzz.sh build/fuzz $(FUZZ_SECONDS)

bench: release
	@for b in build/release/bench/bench_*; do [ -x "$$b" ] && "$$b"; done

format-check:
	clang-format --dry-run --Werror $$(git ls-files '*.cpp' '*.hpp')

clean:
	rm -rf build $(DEMO_DIR)
