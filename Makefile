# The project's everyday commands. `make check` is what CI runs.
.PHONY: all build check deps bench fuzz clean writer-check

all: build

deps:
	@scripts/install-deps.sh

build: deps
	cmake --preset dev
	cmake --build --preset dev

# Every build and test suite, with a summary line per suite.
check: deps
	@scripts/check.sh

# The Windows firmware writer under Wine with the stand-in library (installs
# its own packages when run as root, otherwise skips with a note).
writer-check:
	@scripts/writer-check.sh

bench: deps
	cmake --preset bench
	cmake --build --preset bench
	@for b in build/bench/bench/*_bench; do echo "== $$b"; "$$b"; done

fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz

clean:
	rm -rf build
