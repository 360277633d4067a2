# Quality gates beyond `make test`: sanitizers, the 32-bit ARM target, fuzzing, static
# analysis and coverage. Each keeps its own build directory, so none disturbs another.

ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
ARMHF_BUILD ?= build-armhf
FUZZ_BUILD ?= build-fuzz
LINT_BUILD ?= build-lint
COV_BUILD ?= build-cov
FUZZ_SECONDS ?= 60

ifeq ($(shell id -u),0)
SUDO :=
else
SUDO := sudo
endif

INSTRUMENT = -DCMAKE_PROJECT_INCLUDE=$(CURDIR)/cmake/instrument.cmake

ARMHF_DEPS = qemu-user g++-arm-linux-gnueabihf libc6:armhf libc6-dev:armhf libjsoncpp-dev:armhf \
        libboost-date-time-dev:armhf libgtest-dev:armhf libgmock-dev:armhf
FUZZ_DEPS = clang libclang-rt-14-dev
LINT_DEPS = clang clang-tidy cppcheck
COV_DEPS = gcovr

# The sanitizers stop at the first report; the symbolizer gives file and line.
# ThreadSanitizer leaves alone the memory accesses of libraries that are not instrumented
# (the system's HTTP and MQTT libraries): it cannot see their synchronisation (a
# function-local static's guard read inline, for one), so it would report as a race the
# HTTP library's first requests parsed on two workers at once. Their locks stay checked,
# and every access of our own code is.
SAN_ENV = ASAN_OPTIONS=abort_on_error=1:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1 \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ignore_noninstrumented_modules=1"

.PHONY: test-asan test-tsan test-armhf fuzz fuzz-build lint lint-tidy lint-cppcheck coverage \
        quality

# --- AddressSanitizer and UndefinedBehaviorSanitizer: the whole native suite ---------
# At -O1 with line tables only: the sanitizers' own advice, and it halves the build (the
# undefined-behaviour checks at -O2 double a test file's compile time), which is most of
# this gate's time. Reports keep their file and line.
ASAN_OPT_FLAGS = -O1 -g1 -DNDEBUG
test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV830_WERROR=ON \
	    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$(ASAN_OPT_FLAGS)" \
	    -DCMAKE_C_FLAGS_RELWITHDEBINFO="$(ASAN_OPT_FLAGS)" \
	    $(INSTRUMENT) -DKV830_SANITIZE=address,undefined $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	$(SAN_ENV) ctest --test-dir $(ASAN_BUILD) --output-on-failure -j$(JOBS) --no-tests=error

# --- ThreadSanitizer: the tests labelled "concurrency" --------------------------------
test-tsan: deps
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV830_WERROR=ON \
	    $(INSTRUMENT) -DKV830_SANITIZE=thread $(CMAKE_FLAGS)
	cmake --build $(TSAN_BUILD) -j$(JOBS)
	$(SAN_ENV) ctest --test-dir $(TSAN_BUILD) --output-on-failure -L concurrency \
	    --no-tests=error

# --- 32-bit ARM: cross-built, run under qemu-arm --------------------------------------
# The check of kv830.so's needed libraries and exports runs with the target's binutils.
test-armhf:
	@dpkg --print-foreign-architectures | grep -qx armhf || $(SUDO) dpkg --add-architecture armhf
	@./scripts/ensure-deps.sh cmake make binutils $(ARMHF_DEPS)
	cmake -S . -B $(ARMHF_BUILD) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/armhf.cmake \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV830_WERROR=ON -DKV830_CROSS=ON -DKV830_TESTS=ON
	cmake --build $(ARMHF_BUILD) -j$(JOBS)
	READELF=arm-linux-gnueabihf-readelf NM=arm-linux-gnueabihf-nm \
	    ctest --test-dir $(ARMHF_BUILD) --output-on-failure -j$(JOBS) --no-tests=error
	@echo "symbol versions kv830.so requires on the target:"
	@arm-linux-gnueabihf-objdump -T $(ARMHF_BUILD)/kv830.so | \
	    grep -oE '\((GLIBC|GLIBCXX|CXXABI|GCC)_[0-9.]+\)' | tr -d '()' | sort -uV | tr '\n' ' '
	@echo

# --- libFuzzer ------------------------------------------------------------------------
FUZZ_HARNESSES = device_io_control init_setting sequence json_text modbus_request

fuzz-build: deps
	@./scripts/ensure-deps.sh $(FUZZ_DEPS)
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DKV830_WERROR=ON -DKV830_FUZZ=ON -DKV830_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD) -j$(JOBS) --target $(addsuffix _fuzz,$(FUZZ_HARNESSES))

# Each harness runs FUZZ_SECONDS from the seeds in fuzz/corpus/<harness>/; what it adds
# to the corpus stays in the build directory. A crash leaves its input in
# $(FUZZ_BUILD)/artifacts/ and fails the target.
fuzz: fuzz-build
	@set -e; for h in $(FUZZ_HARNESSES); do \
	    mkdir -p $(FUZZ_BUILD)/corpus/$$h $(FUZZ_BUILD)/artifacts; \
	    echo "fuzzing $$h for $(FUZZ_SECONDS) s"; \
	    $(FUZZ_BUILD)/fuzz/$${h}_fuzz -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	        -artifact_prefix=$(FUZZ_BUILD)/artifacts/$$h- $(FUZZ_BUILD)/corpus/$$h \
	        fuzz/corpus/$$h > $(FUZZ_BUILD)/$$h.log 2>&1 || \
	        { tail -60 $(FUZZ_BUILD)/$$h.log; exit 1; }; \
	    grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' $(FUZZ_BUILD)/$$h.log; \
	done

# --- static analysis ------------------------------------------------------------------
# clang-tidy over the translation units of every folder of our C++ (the plug-in, the
# replacement host and its link, the host program, the simulator, the shared pieces, the
# benchmarks, the fuzz harnesses and all tests), with the compile commands of a clang
# configuration (fuzz harnesses included); cppcheck over the same sources.
LINT_DIRS ?= plugin datadevice plant host link hostprog sim common bench fuzz tests \
        $(patsubst %/,%,$(sort $(dir $(wildcard hostprog/*/*.cpp tests/*/*.cpp tests/*/*/*.cpp))))
empty :=
space := $(empty) $(empty)
LINT_FILTER = ^$(CURDIR)/($(subst $(space),|,$(LINT_DIRS)))/[^/]*\.cpp$$
LINT_INCLUDES = -Ihost/api -Ihost -Idatadevice -Iplant -Iplugin -Ifuzz -Ilink -Ihostprog \
        $(addprefix -I,$(patsubst %/,%,$(sort $(dir $(wildcard hostprog/*/*.h))))) -Isim -Icommon \
        -Ibench -Itests -Itests/support -Itests/e2e

lint: lint-tidy lint-cppcheck

lint-tidy: deps
	@./scripts/ensure-deps.sh $(LINT_DEPS)
	CC=clang CXX=clang++ cmake -S . -B $(LINT_BUILD) -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
	    -DKV830_FUZZ=ON $(CMAKE_FLAGS) > /dev/null
	run-clang-tidy -quiet -p $(LINT_BUILD) -j $(JOBS) '$(LINT_FILTER)' \
	    > $(LINT_BUILD)/clang-tidy.log 2>&1 || { cat $(LINT_BUILD)/clang-tidy.log; exit 1; }
	@if grep -E '(warning|error):' $(LINT_BUILD)/clang-tidy.log; then exit 1; fi
	@echo "clang-tidy: no findings"

lint-cppcheck:
	@./scripts/ensure-deps.sh cppcheck
	cppcheck --quiet --inline-suppr --enable=warning,style,performance,portability \
	    --std=c++17 --language=c++ --library=googletest --library=boost --library=posix \
	    --error-exitcode=1 --suppressions-list=$(CURDIR)/.cppcheck-suppressions \
	    $(LINT_INCLUDES) $(foreach d,$(LINT_DIRS),$(wildcard $(d)/*.cpp))
	@echo "cppcheck: no findings"

# --- coverage -------------------------------------------------------------------------
COV_FILTERS = --filter '$(CURDIR)/plugin/' --filter '$(CURDIR)/datadevice/' \
        --filter '$(CURDIR)/plant/'

coverage: deps
	@./scripts/ensure-deps.sh $(COV_DEPS)
	cmake -S . -B $(COV_BUILD) -DCMAKE_BUILD_TYPE=Debug -DKV830_WERROR=ON \
	    $(INSTRUMENT) -DKV830_COVERAGE=ON $(CMAKE_FLAGS)
	cmake --build $(COV_BUILD) -j$(JOBS)
	find $(COV_BUILD) -name '*.gcda' -delete
	ctest --test-dir $(COV_BUILD) --output-on-failure -j$(JOBS)
	gcovr -r $(CURDIR) $(COV_FILTERS) --exclude-throw-branches \
	    --html-details $(COV_BUILD)/coverage.html --print-summary $(COV_BUILD)
	@echo "per file (throw branches excluded): $(COV_BUILD)/coverage.html"

quality: test-asan test-tsan test-armhf fuzz lint
