# Task runner. The README shows `make run` and `make test`; the rest are for developers.
PRESET ?= default

.PHONY: deps build test run package asan tsan fuzz clean bench format format-check

deps:
	@scripts/deps.sh

build: deps
	@cmake --preset $(PRESET) >/dev/null
	@cmake --build --preset $(PRESET)

test: build
	@ctest --preset $(PRESET)

run:
	@scripts/run.sh --check-display
	@$(MAKE) --no-print-directory build
	@scripts/run.sh

# The two Debian packages, sorvane-messenger and sorvane-directory, into build/.
package:
	@scripts/deps.sh package
	@cmake --preset default >/dev/null
	@cmake --build --preset default
	@rm -f build/sorvane-*.deb
	@cpack --config build/CPackConfig.cmake -B build >build/cpack.log 2>&1 || { cat build/cpack.log; exit 1; }
	@ls -1 "$$PWD"/build/sorvane-*.deb

asan:
	@$(MAKE) --no-print-directory test PRESET=asan

tsan:
	@$(MAKE) --no-print-directory test PRESET=tsan

# Every libFuzzer target (clang-14, into build-fuzz/) for FUZZ_SECONDS each.
FUZZ_SECONDS ?= 60
fuzz:
	@scripts/deps.sh fuzz
	@FUZZ_SECONDS=$(FUZZ_SECONDS) fuzz/run.sh

# Measured speed: every benchmark next to its floor, one table (bench/run.sh, README).
bench:
	@scripts/deps.sh bench
	@cmake --preset bench >/dev/null
	@cmake --build --preset bench
	@bench/run.sh build-bench

# clang-format over every tracked C++ file; format-check only lists what would change.
format: deps
	@scripts/format.sh

format-check: deps
	@scripts/format.sh --check

clean:
	rm -rf build build-asan build-tsan build-bench build-fuzz
