# Entry points for people: `make test` builds everything from nothing and runs the suite.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

# Packages the native build and its tests need.
DEPS = cmake g++ make pkg-config libjsoncpp-dev libboost-date-time-dev libgtest-dev \
        googletest libgmock-dev binutils $(EXTRA_DEPS)

.PHONY: all deps configure build test clean format

all: build

deps:
	@./scripts/ensure-deps.sh $(DEPS)

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV830_WERROR=ON $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j$(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD)

# Further targets (demo, sanitizers, cross build, fuzzing, lint, benchmarks).
-include mk/*.mk
