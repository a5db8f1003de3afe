# Two commands do all set-up on a fresh Debian 12: `make run` and `make test`.
BUILD      ?= build
TEST_BUILD ?= build-test
FUZZ_BUILD ?= build-fuzz
JOBS       ?= $(shell nproc)
FUZZ_SECONDS ?= 600
SAMPLE     := $(BUILD)/sample/sample.pst

.PHONY: all deps build run test bench fuzz package install clean

all: build

deps:
	bash scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

# The main job on a store the project generates itself: a sample store and a damaged copy of it.
# With a display (DISPLAY or WAYLAND_DISPLAY set) the wizard opens on the damaged copy; without
# one the copy is recovered on the command line into a new PST, which is then checked.
DAMAGED    := $(BUILD)/sample/damaged.pst
REPAIR     := $(BUILD)/sample/Repair
run: build
	mkdir -p $(dir $(SAMPLE))
	rm -rf $(REPAIR)
	$(BUILD)/cli/palvara-cli make-sample --out $(SAMPLE) --messages 500
	$(BUILD)/cli/palvara-cli info $(SAMPLE)
	$(BUILD)/tests/damage-store $(SAMPLE) $(DAMAGED)
	@if { [ -n "$$DISPLAY" ] || [ -n "$$WAYLAND_DISPLAY" ]; } && [ -x $(BUILD)/gui/palvara ]; then \
	  echo "Starting the wizard on $(DAMAGED)"; $(BUILD)/gui/palvara $(DAMAGED); \
	else \
	  $(BUILD)/cli/palvara-cli recover $(DAMAGED) --to $(REPAIR) && \
	  out="$$(ls -t $(REPAIR)/*.pst | head -n 1)" && echo "New PST: $$out" && \
	  $(BUILD)/cli/palvara-cli check "$$out"; \
	fi

# Every test, under AddressSanitizer and UndefinedBehaviorSanitizer, warnings as errors; the
# third reader the tests compare our stores with is installed into the test build's tree.
test:
	bash scripts/install-deps.sh --checkers $(TEST_BUILD)/checkers
	cmake -S . -B $(TEST_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DPALVARA_SANITIZE=ON -DPALVARA_WERROR=ON -DPALVARA_BENCH=OFF
	cmake --build $(TEST_BUILD) -j $(JOBS)
	cd $(TEST_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS)

# The Debian package (build/palvara_<version>_<arch>.deb) of the release build.
package: build
	cd $(BUILD) && cpack -G DEB

# The same tree as the package, under PREFIX (default /usr/local); DESTDIR stages it.
PREFIX ?= /usr/local
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

bench: build
	$(BUILD)/bench/palvara_bench
	$(BUILD)/bench/palvara_damage_bench

# libFuzzer on one target (FUZZ_TARGET) for FUZZ_SECONDS, seeded from fuzz/corpus/ (and the
# shared stores for the whole-store target).
FUZZ_TARGET ?= store_fuzzer
fuzz: deps
	FUZZ_BUILD=$(FUZZ_BUILD) bash scripts/fuzz.sh $(FUZZ_TARGET) $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD) $(TEST_BUILD) $(FUZZ_BUILD)
