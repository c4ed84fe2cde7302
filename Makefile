SHELL := /bin/bash
# The two everyday commands: `make run` and `make test`. See README.md.
BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
JOBS       ?= $(shell nproc)

.PHONY: run test build deps asan fuzz clean

deps:
	@tools/install-deps.sh

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

run: build
	./$(BUILD)/kel $(ARGS)

test: build
	cd $(BUILD) && ctest -j $(JOBS) --output-on-failure 2>&1 | tee ctest.log; \
	status=$${PIPESTATUS[0]}; grep -E 'tests passed|tests failed' ctest.log | tail -n 1; exit $$status

asan: deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DKEL_ASAN=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_stack_use_after_return=0:detect_leaks=0 \
	  ctest -j $(JOBS) --output-on-failure

fuzz: deps
	tools/install-deps.sh --fuzz
	CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DKEL_LIBFUZZER=ON -DKEL_ASAN=ON
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	@echo "libFuzzer targets: $(FUZZ_BUILD)/fuzz_*  (run one with -max_total_time=60)"

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
