# Task runner. The README shows `make run` and `make test`; the rest are for developers.
PRESET ?= default

.PHONY: deps build test run asan tsan clean

deps:
	@scripts/deps.sh

build: deps
	@cmake --preset $(PRESET) >/dev/null
	@cmake --build --preset $(PRESET)

test: build
	@ctest --preset $(PRESET)

run: build
	@scripts/run.sh

asan:
	@$(MAKE) --no-print-directory test PRESET=asan

tsan:
	@$(MAKE) --no-print-directory test PRESET=tsan

clean:
	rm -rf build build-asan build-tsan
