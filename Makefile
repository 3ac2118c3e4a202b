# Thin front over the CMake presets; the two commands a newcomer needs are `make demo` and `make test`.
DEPS := scripts/install-deps
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps build demo panel room test bench clean windows asan tsan fuzz-build fuzz-check fuzz uart-check i686-check
# Each stage's CTest results, read by scripts/test-summary at the end of `make test`.
JUNIT := $(CURDIR)/build/junit

all: build

deps:
	@$(DEPS) base tools panel capture broker

# The default build makes the manual pages (help2man) and the tests pack and lint the .deb.
build: deps
	@$(DEPS) packaging
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS)

# The sanitizer, fuzz, guest and 32-bit stages first, so the run ends with the full suite's
# summary; then what skipped in any stage, and why.
test: windows build
	@$(DEPS) browser
	@rm -rf $(JUNIT)
	$(MAKE) --no-print-directory asan tsan fuzz-check uart-check i686-check
	@mkdir -p $(JUNIT)
	@ctest --preset default -j $(JOBS) -E '^uart[.]' --output-junit $(JUNIT)/default.xml; \
	    rc=$$?; python3 scripts/test-summary $(JUNIT); exit $$rc

# The unit and end-to-end suites under AddressSanitizer + UBSan, halting on the first report
# (the Windows modules, packages, the QEMU guest and the browser run once, in the default build).
asan: deps
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j $(JOBS)
	@mkdir -p $(JUNIT)
	ctest --preset asan -j $(JOBS) -E '^(windows|packages|uart)[.]|^panel[.]browser$$' \
	    --output-junit $(JUNIT)/asan.xml

# The concurrency tests under ThreadSanitizer; only their target is built.
tsan: deps
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan -j $(JOBS) --target reliability_concurrency_tests
	@mkdir -p $(JUNIT)
	ctest --preset tsan -L concurrency --output-junit $(JUNIT)/tsan.xml

fuzz-build: deps
	@$(DEPS) fuzz
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS) --target fuzz_main fuzz_wire

# A bounded run of each fuzz target (FUZZ_SECONDS each) inside `make test`; `make fuzz` runs long.
FUZZ_SECONDS ?= 60
fuzz-check: fuzz-build
	tests/fuzz/run.sh $(FUZZ_SECONDS)

fuzz: fuzz-build
	tests/fuzz/run.sh $(if $(filter command line,$(origin FUZZ_SECONDS)),$(FUZZ_SECONDS),3600)

# The module over a real kernel serial driver: a QEMU guest (TCG) whose 16550A COM1 is wired
# to decksim's pty. The first run fetches Debian's kernel package into ~/.cache/tapedeck5500.
uart-check: deps
	@$(DEPS) uart
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS) --target uart_guest
	@mkdir -p $(JUNIT)
	ctest --preset default -R '^uart[.]' --output-on-failure --output-junit $(JUNIT)/uart.xml

# The module built for 32-bit Linux (multilib, amd64 packages only) and its end-to-end suite
# and sample host: natively where the kernel runs 32-bit code, else under qemu-i386. The
# sample's virtual deck is the default build's.
i686-check: deps
	@$(DEPS) i686
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS) --target decksim
	@mkdir -p build && cmake --preset i686 \
	    -DTAPEDECK_DECKSIM=$(CURDIR)/build/default/tools/decksim/decksim >build/i686.log \
	    || { cat build/i686.log; exit 1; }
	@sed -n 's/^-- \(32-bit programs run .*\)/i686: \1/p' build/i686.log
	cmake --build --preset i686 -j $(JOBS)
	@mkdir -p $(JUNIT)
	ctest --preset i686 -j $(JOBS) --output-junit $(JUNIT)/i686.xml

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
	@echo "next: make panel  (the deck's panel in a browser, on the same virtual deck)"

# The panel in a browser against the built-in virtual deck; deckctl prints the URL to open,
# its token included (on loopback too).
# PANEL_ARGS passes more options, e.g. PANEL_ARGS="--sim-baud 9600 --log /tmp/log.json".
panel: deps
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS) --target deckctl
	build/default/tools/deckctl/deckctl serve --sim $(PANEL_ARGS)

# A machine room: a Mosquitto broker, machines A and B with two virtual decks each and a hub;
# open the hub's URL it prints. ROOM_BROKER_PORT and ROOM_LISTEN move the broker and the hub.
room: deps
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS) --target deckctl
	scripts/room build/default/tools/deckctl/deckctl

# CPU per command, the pty against its floor, 9600 baud against the wire, a silent deck, the
# real serial driver in a QEMU guest: one table, and build/bench/results.json.
bench: build
	@$(DEPS) uart browser
	python3 bench/report.py --build build/default --out build/bench

clean:
	rm -rf build
