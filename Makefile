# The two set-up commands of the README. Both install what they need first.
BUILD ?= build
CMAKE_FLAGS ?=

.PHONY: deps configure build run test test-asan test-tsan format clean

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

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build build-asan build-tsan
