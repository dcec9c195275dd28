# The two set-up commands of the README. Both install what they need first.
BUILD ?= build
CMAKE_FLAGS ?=

.PHONY: deps configure build run test test-asan test-tsan tidy fuzz bench format clean

deps:
	./scripts/install-deps

configure: deps
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD)

run: build
	./$(BUILD)/bin/ambrel

test: build
	cd $(BUILD) && ctest --output-on-failure --timeout 300

# The same tests, built with AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DCMAKE_BUILD_TYPE=Debug -DAMBREL_SANITIZE=address,undefined -DAMBREL_BUILD_BENCH=OFF"

# clang-tidy over src/ with the checked-in .clang-tidy, from the build's compile database.
tidy: build
	git ls-files 'src/*.cpp' | xargs -P2 -n1 clang-tidy -p $(BUILD) --quiet

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build build-asan build-tsan build-fuzz build-bench build-bench-release

# The same tests under ThreadSanitizer. Debian's Qt is not instrumented: tests/tsan.supp names
# the reports that come from inside it. QProcess forks while Qt's threads run, which TSan only
# allows with die_after_fork=0.
TSAN_BUILD ?= build-tsan
test-tsan:
	TSAN_OPTIONS="suppressions=$(CURDIR)/tests/tsan.supp halt_on_error=1 second_deadlock_stack=1 die_after_fork=0" \
	$(MAKE) test BUILD=$(TSAN_BUILD) CMAKE_FLAGS="-DCMAKE_BUILD_TYPE=Debug -DAMBREL_SANITIZE=thread -DAMBREL_BUILD_BENCH=OFF"

# Arbitrary lsof output through the handler for FUZZ_SECONDS. What the run finds stays in the
# build folder; fuzz/corpus holds the seeds.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
fuzz: deps
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DAMBREL_FUZZ=ON -DAMBREL_BUILD_BENCH=OFF
	cmake --build $(FUZZ_BUILD) --target fuzz_lsof_output
	mkdir -p $(FUZZ_BUILD)/corpus
	QT_QPA_PLATFORM=offscreen $(FUZZ_BUILD)/fuzz/fuzz_lsof_output -max_total_time=$(FUZZ_SECONDS) \
	    -max_len=4096 -dict=fuzz/lsof.dict -close_fd_mask=1 -print_final_stats=1 \
	    $(FUZZ_BUILD)/corpus fuzz/corpus

# Every tracked figure, in Release, each beside a plain line walk over the same bytes.
bench: deps
	./bench/run
