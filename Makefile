# Front door: `make demo` runs the two-machine session, `make test` runs everything.
# Both install what a fresh Debian machine lacks before they build.

HOST_BUILD  := build/host
ASAN_BUILD  := build/asan
TSAN_BUILD  := build/tsan
FUZZ_BUILD  := build/fuzz
FUZZ_SECONDS ?= 60
GENERATOR   := -G Ninja
JOBS        ?= $(shell nproc)

.PHONY: all demo demo-windows test deps host windows asan tsan fuzz-build fuzz test-host test-asan test-tsan test-fuzz clean

all: host windows

deps:
	@scripts/install-deps.sh

host: deps
	cmake -S . -B $(HOST_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(HOST_BUILD) -j $(JOBS)

windows: deps
	cmake -S . -B build/win-x86 $(GENERATOR) -DCMAKE_BUILD_TYPE=Release \
	      -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
	cmake --build build/win-x86 -j $(JOBS)
	cmake -S . -B build/win-x64 $(GENERATOR) -DCMAKE_BUILD_TYPE=Release \
	      -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
	cmake --build build/win-x64 -j $(JOBS)

asan: deps
	cmake -S . -B $(ASAN_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DWRENLOK_SANITIZE=address -DWRENLOK_BENCH=OFF
	cmake --build $(ASAN_BUILD) -j $(JOBS)

tsan: deps
	cmake -S . -B $(TSAN_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DWRENLOK_SANITIZE=thread -DWRENLOK_BENCH=OFF
	cmake --build $(TSAN_BUILD) -j $(JOBS)

# The fuzz targets need clang's libFuzzer, so they have a clang tree of their own;
# only the targets and what they link are built.
fuzz-build: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	      -DWRENLOK_SANITIZE=fuzzer -DWRENLOK_BENCH=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_targets

# Every target FUZZ_SECONDS seconds from its corpus, two at a time: one line per target,
# then "fuzz: N targets, N findings"; fails on a finding.
fuzz: fuzz-build
	fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) 2

# The Windows images are built first: the host suite checks them and runs them under Wine.
test-host: host windows
	ctest --test-dir $(HOST_BUILD) --output-on-failure -j $(JOBS)

# Sanitizer runs: everything but the Wine and end-to-end runs under ASan+UBSan,
# the concurrency tests under TSan.
test-asan: asan
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS) -LE 'wine|e2e'

test-tsan: tsan
	ctest --test-dir $(TSAN_BUILD) --output-on-failure -j $(JOBS) -L concurrency

test-fuzz:
	$(MAKE) fuzz FUZZ_SECONDS=15

test: test-host test-asan test-tsan test-fuzz

demo: host
	scripts/demo.sh $(HOST_BUILD)

# The same session with machine A the x86 product on Wine's kernel (wine32).
demo-windows: host windows
	scripts/demo-windows.sh $(HOST_BUILD)

clean:
	rm -rf build dist
