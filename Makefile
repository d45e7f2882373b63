# Front door for people and CI. Every target installs what is missing first.
#   make run    build the program and start it (ARGS="..." passes arguments)
#   make test   build with AddressSanitizer/UBSan and run every test
#   make tsan   build with ThreadSanitizer and run the batch tests (the worker threads)
#   make bench  build optimised and print the benchmark figures (see bench/README.md)
#   make install  install the optimised build (PREFIX=/usr/local, DESTDIR honoured)
#   make package  build the Debian package zumo_<version>_<arch>.deb in build/release
#   make fuzz   build the libFuzzer targets with clang (make fuzz-run runs them, FUZZ_SECONDS each)
SHELL := /bin/bash
JOBS ?= $(shell nproc)
CMAKE_GEN := -G Ninja
RELEASE_DIR := build/release
TEST_DIR := build/test
BENCH_DIR := build/bench
TSAN_DIR := build/tsan
FUZZ_DIR := build/fuzz
PREFIX ?= /usr/local

.PHONY: deps build run test tsan install package package-test bench bench-peers fuzz fuzz-run format clean

deps:
	@scripts/install-deps

$(RELEASE_DIR)/build.ninja: | deps
	cmake -S . -B $(RELEASE_DIR) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DZUMO_TESTS=OFF

build: deps $(RELEASE_DIR)/build.ninja
	cmake --build $(RELEASE_DIR) -j $(JOBS)

run: build
	$(RELEASE_DIR)/bin/zumo $(ARGS)

test: deps
	cmake -S . -B $(TEST_DIR) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DZUMO_SANITIZE=ON -DZUMO_TESTS=ON
	cmake --build $(TEST_DIR) -j $(JOBS)
	mkdir -p $(TEST_DIR)/state
	cd $(TEST_DIR) && QT_QPA_PLATFORM=offscreen XDG_STATE_HOME=$(CURDIR)/$(TEST_DIR)/state \
	  ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)
	@$(TEST_DIR)/bin/windows_plugins_tests --status
	$(MAKE) --no-print-directory package-test

# The batch tests under ThreadSanitizer: the conversions run on worker
# threads there (app_cli_tests runs the real program, so zumo is built too).
TSAN_TESTS := convert_tests appcore_engine_tests app_cli_tests
tsan: deps
	cmake -S . -B $(TSAN_DIR) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DZUMO_SANITIZE=thread -DZUMO_TESTS=ON
	cmake --build $(TSAN_DIR) -j $(JOBS) --target $(TSAN_TESTS) zumo
	mkdir -p $(TSAN_DIR)/state
	cd $(TSAN_DIR) && for t in $(TSAN_TESTS); do \
	  QT_QPA_PLATFORM=offscreen XDG_STATE_HOME=$(CURDIR)/$(TSAN_DIR)/state \
	  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 bin/$$t || exit 1; done

# The package is built from the optimised build (the one "make run" and
# "make install" use), built once and then only brought up to date.
install: build
	cmake --install $(RELEASE_DIR) --prefix $(PREFIX)

package: build
	cd $(RELEASE_DIR) && cpack -G DEB
	@echo "package: $$(ls -t $(RELEASE_DIR)/zumo_*.deb | head -n 1)"

package-test: package
	scripts/check-package $(RELEASE_DIR)

bench: deps
	@bench/install-photos
	cmake -S . -B $(BENCH_DIR) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DZUMO_TESTS=OFF -DZUMO_BENCH=ON
	cmake --build $(BENCH_DIR) -j $(JOBS) --target zumo zumo-bench zumo-bench-preview zumo-bench-rename zumo-bench-spi
	$(BENCH_DIR)/bin/zumo-bench --make-inputs $(BENCH_DIR)/bench-pictures
	bench/make-photo-formats $(BENCH_DIR)/bench-pictures
	$(BENCH_DIR)/bin/zumo-bench
	$(BENCH_DIR)/bin/zumo-bench-preview
	$(BENCH_DIR)/bin/zumo-bench-rename
	$(BENCH_DIR)/bin/zumo-bench-spi
	bench/jobs.sh $(BENCH_DIR)/bin/zumo $(BENCH_DIR)/bench-pictures

bench-peers: bench
	bench/peers.sh $(BENCH_DIR)/bin/zumo-bench

# Debian 12's clang is clang 14; libFuzzer's runtime comes in its own package.
FUZZ_PACKAGES := clang libclang-rt-14-dev
FUZZ_SECONDS ?= 300
FUZZ_TARGETS ?= $(notdir $(wildcard fuzz/corpus/*))

fuzz: deps
	@missing=$$(for p in $(FUZZ_PACKAGES); do \
	    dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	  if [ -n "$$missing" ]; then \
	    sudo=$$([ "$$(id -u)" -eq 0 ] || echo sudo); \
	    echo "fuzz: installing" $$missing; \
	    $$sudo apt-get update -q && DEBIAN_FRONTEND=noninteractive $$sudo apt-get install -y -q $$missing; \
	  fi
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_DIR) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZUMO_TESTS=OFF -DZUMO_FUZZ=ON
	cmake --build $(FUZZ_DIR) -j $(JOBS)

# Runs each target in turn for FUZZ_SECONDS from its seed pictures (a
# scratch copy, so that the kept corpus stays small) under the memory and
# time bounds a hostile file must keep; what one finds is left in
# $(FUZZ_DIR)/findings/<target>/. FUZZ_TARGETS="fuzz_spi_png ..." picks some.
fuzz-run: fuzz
	fuzz/run $(FUZZ_DIR) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
