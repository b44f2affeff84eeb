# The two commands of the README: `make run` and `make test`.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: run test deps-run deps-test deps-bench build clean

run: deps-run build
	scripts/run-samples.sh $(BUILD)

# The fuzzer and the sanitizer build run first, so that the closing lines are
# those of the full suite.
test: deps-test build
	$(MAKE) --no-print-directory fuzz-run FUZZ_SECONDS=$(FUZZ_TEST_SECONDS)
	$(MAKE) --no-print-directory asan-test
	$(MAKE) --no-print-directory tsan-test
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

deps-run:
	scripts/deps.sh run

deps-test:
	scripts/deps.sh test

deps-bench:
	scripts/deps.sh bench

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) > /dev/null
	cmake --build $(BUILD) -j $(JOBS)

clean:
	rm -rf $(BUILD)

# ---- sanitizers and fuzzing
# The whole non-GUI suite built with AddressSanitizer and UndefinedBehaviorSanitizer,
# and the engine's libFuzzer target (clang), seeded from the shared corpus and the samples.
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 600
FUZZ_TEST_SECONDS ?= 60
FUZZ_CORPUS ?= ../shared/corpus

.PHONY: asan-test tsan-test fuzz fuzz-build fuzz-run

asan-test:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMARO_SANITIZE=ON -DLUMARO_GUI=OFF > /dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  LUMARO_SANITIZED=1 ctest --output-on-failure -j $(JOBS)

# The engine's tests with ThreadSanitizer: large scans are decoded and
# verified on two threads, and the tests push small images onto those paths.
tsan-test:
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMARO_GUI=OFF \
	  -DCMAKE_CXX_FLAGS=-fsanitize=thread -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread > /dev/null
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target engine_tests
	TSAN_OPTIONS=halt_on_error=1 $(TSAN_BUILD)/tests/engine/engine_tests --gtest_brief=1

fuzz: deps-test fuzz-run

fuzz-build:
	cmake -S fuzz -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

# Fails when the fuzzer finds a crash, a hang (-timeout, seconds per input) or
# an input that takes more than -rss_limit_mb; the input is left in $(FUZZ_BUILD)/artifacts/.
fuzz-run: fuzz-build
	rm -rf $(FUZZ_BUILD)/seeds
	fuzz/make-seeds.sh $(FUZZ_BUILD)/seeds $(FUZZ_CORPUS) samples tests/reliability/crashes
	mkdir -p $(FUZZ_BUILD)/corpus $(FUZZ_BUILD)/artifacts
	$(FUZZ_BUILD)/peel_fuzzer $(FUZZ_BUILD)/corpus $(FUZZ_BUILD)/seeds -dict=fuzz/jpeg.dict \
	  -max_total_time=$(FUZZ_SECONDS) -timeout=10 -rss_limit_mb=4096 -max_len=65536 \
	  -artifact_prefix=$(FUZZ_BUILD)/artifacts/ -print_final_stats=1

# ---- the README's picture of the desktop program: the main window after a
# run over a few samples, grabbed on the offscreen platform.
SCREENSHOT ?= docs/lumaro-main-window.png

.PHONY: screenshot

screenshot:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) > /dev/null
	cmake --build $(BUILD) -j $(JOBS) --target lumaro_screenshot
	mkdir -p $(dir $(SCREENSHOT))
	QT_QPA_PLATFORM=offscreen $(BUILD)/tests/ui/lumaro_screenshot $(SCREENSHOT)

# ---- speed: lumaro-cli against jpegtran and djpeg on the same files, in one run
BENCH_BUILD ?= build-bench
BENCH_REPS ?= 7

.PHONY: bench

bench: deps-bench
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DLUMARO_GUI=OFF -DLUMARO_TESTS=OFF > /dev/null
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	if [ -x $(BENCH_BUILD)/bench/lumaro-microbench ]; then \
	  f=../shared/corpus/camera/tests/42_IndexError.jpg; [ -f $$f ] || f=samples/plasma-restart.jpg; \
	  LUMARO_BENCH_FILE=$$f $(BENCH_BUILD)/bench/lumaro-microbench; fi
	bench/run-bench.sh $(BENCH_BUILD) $(BENCH_REPS)
