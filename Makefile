# The project's everyday commands. `make check` is what CI runs.
.PHONY: all build check demo demo-deps deps bench fuzz clean writer-check package

all: build

deps:
	@scripts/install-deps.sh

build: deps
	cmake --preset dev
	cmake --build --preset dev

# Two simulated units on this PC relaying a voice exchange over loopback,
# printed as a timeline (tools/kovasim, docs/simulation.md). It needs only
# CMake, a C++ compiler and Ninja: its build leaves the tests out.
DEMO_BUILD ?= build/demo
demo: demo-deps
	cmake --preset dev -B $(DEMO_BUILD) -DKOVALAN_TESTS=OFF
	cmake --build $(DEMO_BUILD) --target kovalan kovasim
	$(DEMO_BUILD)/tools/kovasim/kovasim demo --kovalan $(DEMO_BUILD)/kovalan

demo-deps:
	@scripts/install-deps.sh demo

# Every build and test suite, with a summary line per suite.
check: deps
	@scripts/check.sh

# The Windows firmware writer under Wine with the stand-in library (installs
# its own packages when run as root, otherwise skips with a note).
writer-check:
	@scripts/writer-check.sh

# The Debian packages (kovalan for amd64 and armhf, kova-tools for amd64)
# into build/packages, checked by lintian (installs its own packages when
# run as root).
package:
	@scripts/package.sh

# The benchmarks; the relay benchmark also runs the comparison server, whose
# package the bench step installs when root (its rows are skipped without it).
bench: deps
	@scripts/install-deps.sh bench
	cmake --preset bench
	cmake --build --preset bench
	@st=0; for b in build/bench/bench/*_bench; do echo "== $$b"; "$$b" || st=1; done; exit $$st

fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz

clean:
	rm -rf build
