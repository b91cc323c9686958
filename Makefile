# Entry points: make demo, make test, make bench, make fuzz.
# Every target first installs what is missing, then configures and builds.

JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps build demo test test-normal test-asan test-tsan bench fuzz clean

all: build

deps:
	@scripts/install-deps

# configure(dir, flags)
define configure
	@cmake -S . -B $(1) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(2) $(CMAKE_FLAGS) >/dev/null
endef

build: deps
	$(call configure,build,)
	@cmake --build build -j $(JOBS) -- --no-print-directory

demo: build
	@scripts/demo

# The whole suite in a normal build, again under ASan+UBSan, and the
# concurrent tests again under TSan.
test: deps test-normal test-asan test-tsan

test-normal: build
	@cd build && ctest --output-on-failure -j $(JOBS)

test-asan: deps
	$(call configure,build-asan,-DSANITIZE=address)
	@cmake --build build-asan -j $(JOBS) -- --no-print-directory
	@cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS) -LE no-sanitizer

test-tsan: deps
	$(call configure,build-tsan,-DSANITIZE=thread)
	@cmake --build build-tsan -j $(JOBS) -- --no-print-directory
	@cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --output-on-failure -j $(JOBS) -L concurrent

bench: deps
	$(call configure,build-bench,-DCMAKE_BUILD_TYPE=Release -DBENCH=ON)
	@cmake --build build-bench -j $(JOBS) -- --no-print-directory
	@scripts/bench build-bench

FUZZ_SECONDS ?= 60
fuzz: deps
	$(call configure,build-fuzz,-DFUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)
	@cmake --build build-fuzz -j $(JOBS) -- --no-print-directory
	@scripts/fuzz build-fuzz $(FUZZ_SECONDS)

clean:
	rm -rf build build-asan build-tsan build-bench build-fuzz
