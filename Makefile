# Entry points for people and CI. CMake does the real work.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
CMAKE_GEN  := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")

.PHONY: run demo demo-reply build test test-normal test-asan test-fuzz fuzz-long crash-test deps-run deps-test bench \
	bench-mail bench-match bench-authmix bench-uidl bench-ui format clean

# The program alone needs no test libraries: it has a build folder of its own.
run: deps-run
	cmake -S . -B build-run $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIW_BUILD_TESTS=OFF
	cmake --build build-run -j $(JOBS) --target inboxwarden inboxwarden-scan
	./build-run/inboxwarden

# The filter at work on a sample mailbox of the loopback test servers, with
# a demo profile in a temporary folder; the servers stop with the program.
demo:
	@scripts/install-deps.sh demo
	cmake -S . -B build-run $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIW_BUILD_TESTS=OFF
	cmake --build build-run -j $(JOBS) --target inboxwarden inboxwarden-scan
	scripts/demo.sh run build-run

# In another terminal while the demo runs: the stranger answers his challenge.
demo-reply:
	scripts/demo.sh reply

deps-run:
	@scripts/install-deps.sh run

deps-test:
	@scripts/install-deps.sh test

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo

$(ASAN_BUILD)/CMakeCache.txt:
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DIW_SANITIZE=ON

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

# Every test, in a normal build and in a sanitizer build.
test: deps-test
	$(MAKE) test-normal
	$(MAKE) test-asan
	$(MAKE) test-fuzz

test-normal: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan: $(ASAN_BUILD)/CMakeCache.txt
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
		ctest --output-on-failure -j $(JOBS) -LE realserver

# Every fuzz target briefly on its corpus (clang build in build-fuzz/), and at length.
FUZZ_SECONDS ?= 20
test-fuzz:
	fuzz/run.sh $(FUZZ_SECONDS)

fuzz-long: deps-test
	fuzz/run.sh 600

bench: deps-test
	cmake -S . -B build-bench $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DIW_BUILD_BENCH=ON -DIW_BUILD_UI=OFF
	cmake --build build-bench -j $(JOBS)

# Recognising 5,000 fetched messages in a history of 100,000.
bench-match: bench
	build-bench/bench/bench_match

# The challenges a mix of 1,050 new messages gets with and without sender verification.
bench-authmix: bench
	build-bench/bench/auth_mix --list

# The POP3 client and a scan against the loopback Dovecot: prints the speed ratios.
bench-ui: deps-test
	cmake -S . -B build-bench-ui $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DIW_BUILD_BENCH=ON -DIW_BUILD_UI=ON -DIW_BUILD_TESTS=OFF
	cmake --build build-bench-ui -j $(JOBS) --target bench_ui_history
	QT_QPA_PLATFORM=offscreen build-bench-ui/bench/bench_ui_history

bench-mail: deps-test
	bench/pop3_vs_plain.sh

# A scan of 4,000 unchanged messages by unique ids, against the content scan
# and Python's poplib: prints the speed ratios.
bench-uidl: deps-test
	bench/uidl_scan.sh

# The scanner killed with SIGKILL at random moments during scans on the
# loopback Dovecot, a clean scan after each: 20 runs (about a minute) are part
# of test-normal; this runs it alone, CRASH_RUNS=n for more.
CRASH_RUNS ?= 20
crash-test: deps-test $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && IW_CRASH_RUNS=$(CRASH_RUNS) ctest --output-on-failure -L crash

format:
	find src tests bench fuzz -name '*.cpp' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) build-bench build-run build-fuzz
