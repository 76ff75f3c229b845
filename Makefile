# SPDX-License-Identifier: GPL-3.0-or-later
# make run    build, make the sample beacon signal, and run Sondeco on it
# make test   check the sources' format (clang-format); build with AddressSanitizer, UndefinedBehaviorSanitizer
#             and the standard library's assertions, warnings as errors, and run every test; build what
#             users build (make build, the benchmarks) so that a warning only -O3 shows fails it too;
#             package that build and check the .deb with lintian (packaging/check-deb); make tsan;
#             replay every fuzz target's seeds and past crash inputs once (make fuzz-replay)
# make bench  build optimised and run the benchmarks; fails when one of them fails
# make fuzz   build the libFuzzer targets with clang and run each for FUZZ_SECONDS (default 600)
# make tsan   the capture ring's hand-off and the TCP server's thread under ThreadSanitizer (part of make test)
# make install  build optimised and install under PREFIX (default /usr/local), into DESTDIR if set
# make deb      build optimised and make a Debian package with CPack (build/release/sondeco_*.deb),
#               one lintian passes without an error or a warning (make test checks it)
# Each target installs what is missing first (scripts/install-deps).

JOBS ?= $(shell nproc 2>/dev/null || echo 2)
RELEASE := build/release
TESTING := build/test
BENCHING := build/bench
THREADS := build/tsan
SAMPLE := build/samples/beacon.wav
# The version set once in CMakeLists.txt, which the package check holds the programs to.
VERSION := $(shell grep -m 1 -o 'Sondeco VERSION [0-9.]*' CMakeLists.txt | cut -d ' ' -f 3)
FUZZ_SECONDS ?= 600
PREFIX ?= /usr/local
# Warnings are errors in CI and when asked for (make build WERROR=ON); a user's build on a newer
# compiler must not stop at a warning that compiler has newly learnt.
WERROR ?= OFF

.PHONY: all deps build run test bench bench-build clean fuzz fuzz-replay tsan format install deb

all: build

deps:
	@scripts/install-deps

build: deps
	@cmake -S . -B $(RELEASE) -DCMAKE_BUILD_TYPE=Release -DSONDECO_BUILD_TESTS=OFF -DSONDECO_WERROR=$(WERROR) >/dev/null
	@cmake --build $(RELEASE) -j$(JOBS)

# The programs, the desktop entry and icon and the manual pages, as a packager expects:
# `make install PREFIX=/usr DESTDIR=/tmp/stage` puts them under /tmp/stage/usr.
install: build
	@cmake --install $(RELEASE) --prefix $(PREFIX)

deb: build
	@cd $(RELEASE) && cpack -G DEB

$(SAMPLE): build
	@mkdir -p $(dir $@)
	@if [ ! -f $@ ]; then $(RELEASE)/tools/sondeco-gen --seconds 120 --ebn0 18 $@ && echo "Sample signal: $@"; fi

run: $(SAMPLE)
	@if [ -n "$$DISPLAY$$WAYLAND_DISPLAY" ]; then \
	  $(RELEASE)/app/sondeco --input $(SAMPLE); \
	elif [ -x $(RELEASE)/tools/sondeco-decode ]; then \
	  echo "No display: decoding $(SAMPLE) with the headless decoder instead."; \
	  $(RELEASE)/tools/sondeco-decode $(SAMPLE); \
	else \
	  echo "No display. Start the program on a desktop with: $(RELEASE)/app/sondeco --input $(SAMPLE)"; \
	fi

test: deps
	@scripts/check-format
	@cmake -S . -B $(TESTING) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSONDECO_SANITIZE=ON -DSONDECO_WERROR=ON >/dev/null
	@cmake --build $(TESTING) -j$(JOBS)
	@scripts/check-test-labels $(TESTING)
	@cd $(TESTING) && ctest --output-on-failure -j$(JOBS)
	@$(MAKE) --no-print-directory build WERROR=ON
	@packaging/check-deb $(RELEASE) $(RELEASE)/package-check $(VERSION)
	@$(MAKE) --no-print-directory bench-build WERROR=ON
	@$(MAKE) --no-print-directory tsan WERROR=ON
	@$(MAKE) --no-print-directory fuzz-replay

# Two places where threads meet need ThreadSanitizer: the capture ring (audio thread to main thread)
# and the TCP server (its own thread and the decoding thread).
tsan: deps
	@cmake -S . -B $(THREADS) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSONDECO_TSAN=ON -DSONDECO_WERROR=$(WERROR) >/dev/null
	@cmake --build $(THREADS) -j$(JOBS) --target test_audio test_network
	@cd $(THREADS) && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -R '^(Capture(Ring|HandOff)|NetworkOutput)\.'

bench: bench-build
	@scripts/run-benchmarks $(BENCHING)

# The benchmarks built but not run; part of make test, so that they compile at -O3 without warnings.
bench-build: deps
	@cmake -S . -B $(BENCHING) -DCMAKE_BUILD_TYPE=Release -DSONDECO_BUILD_BENCH=ON -DSONDECO_BUILD_TESTS=OFF -DSONDECO_WERROR=$(WERROR) >/dev/null
	@cmake --build $(BENCHING) -j$(JOBS)

# The fuzz targets in their own clang build (build/fuzz); crash inputs land in build/fuzz/artifacts.
fuzz: deps
	@JOBS=$(JOBS) tests/fuzz/run-fuzzers $(FUZZ_SECONDS)

# Every target run once over each of its seeds and past crash inputs, no fuzzing: part of make test,
# and the same result on every run.
fuzz-replay: deps
	@JOBS=$(JOBS) tests/fuzz/run-fuzzers --replay

clean:
	rm -rf build

# Formats every source of ours in place with clang-format (.clang-format); make test checks it.
format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

# make sensitivity  frames decoded right against Eb/N0 at both bit rates, as markdown tables: the receivers
#                   against the ideal curve, the enhanced receiver on random contents against the limits of
#                   word decisions, under the air's conditions (carriers, fading), then the band monitor
#                   against the enhanced receiver (minutes)
# make soak         a day of generated audio through the whole receiver, memory watched (tens of minutes)
# Both run by hand only, never as part of make bench or make test.
.PHONY: sensitivity soak

sensitivity: deps
	@cmake -S . -B $(BENCHING) -DCMAKE_BUILD_TYPE=Release -DSONDECO_BUILD_BENCH=ON -DSONDECO_BUILD_TESTS=OFF -DSONDECO_WERROR=$(WERROR) >/dev/null
	@cmake --build $(BENCHING) -j$(JOBS) --target sensitivity band_sensitivity word_ml_limit
	@python3 bench/sensitivity.py --build $(BENCHING) --jobs $(JOBS)
	@python3 bench/sensitivity.py --build $(BENCHING) --jobs $(JOBS) --random-contents --from 3 --to 9 --step 1
	@python3 bench/sensitivity.py --build $(BENCHING) --jobs $(JOBS) --conditions --seeds 2
	@$(BENCHING)/bench/band_sensitivity

soak: deps
	@cmake -S . -B $(BENCHING) -DCMAKE_BUILD_TYPE=Release -DSONDECO_BUILD_BENCH=ON -DSONDECO_BUILD_TESTS=OFF -DSONDECO_WERROR=$(WERROR) >/dev/null
	@cmake --build $(BENCHING) -j$(JOBS) --target soak
	@$(BENCHING)/bench/soak
