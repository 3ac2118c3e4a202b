# Thin front over the CMake presets; the two commands a newcomer needs are `make demo` and `make test`.
DEPS := scripts/install-deps
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps build demo test bench clean windows

all: build

deps:
	@$(DEPS) base tools

build: deps
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS)

test: windows build
	ctest --preset default -j $(JOBS)

# Both Windows modules and the Wine test's host program, cross-built; `make test` checks them.
windows: deps
	@$(DEPS) windows
	cmake --preset mingw-x86 >/dev/null
	cmake --build --preset mingw-x86 -j $(JOBS)
	cmake --preset mingw-x64 >/dev/null
	cmake --build --preset mingw-x64 -j $(JOBS)

# Only what the demo needs: the host tool, the module and the virtual deck it links.
demo: deps
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS) --target deckctl
	build/default/tools/deckctl/deckctl demo

# CPU per command, the pty against its floor, 9600 baud against the wire, a silent deck:
# one table, and build/bench/results.json.
bench: build
	python3 bench/report.py --build build/default --out build/bench

clean:
	rm -rf build
