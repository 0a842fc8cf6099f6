# Front door: `make run` builds and runs an example deck, `make test` builds and
# runs every test, `make test-sanitize` does the same under ASan and UBSan,
# `make validate` compares whole runs with analytic solutions.

BUILD      ?= build
SANBUILD   ?= build-sanitize
EXAMPLE    ?= uvas-reach
JOBS       ?= 2
RUNDIR     := $(BUILD)/runs/$(EXAMPLE)

.PHONY: all build run test test-sanitize validate clean

all: build

build:
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BUILD) -j $(JOBS) --target quarno -- --no-print-directory

run: build
	@test -f examples/$(EXAMPLE)/crparam.txt || { echo "no example deck examples/$(EXAMPLE)"; exit 1; }
	@rm -rf $(RUNDIR) && mkdir -p $(RUNDIR)
	@cp examples/$(EXAMPLE)/crparam.txt examples/$(EXAMPLE)/crbicond.txt $(RUNDIR)/
	@cd $(RUNDIR) && ../../quarno </dev/null
	@echo
	@echo "Results of example '$(EXAMPLE)':"
	@echo "  $(RUNDIR)/crOutput.txt   (input echo, profiles, balances)"
	@echo "  $(RUNDIR)/crObsNode.txt  (observation-node time series)"

test:
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BUILD) -j $(JOBS) -- --no-print-directory
	@cd $(BUILD) && ctest --output-on-failure --no-tests=error -j $(JOBS)

test-sanitize:
	@cmake -S . -B $(SANBUILD) -DCMAKE_BUILD_TYPE=Debug -DQUARNO_SANITIZE=ON >/dev/null
	@cmake --build $(SANBUILD) -j $(JOBS) -- --no-print-directory
	@cd $(SANBUILD) && ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  ctest --output-on-failure --no-tests=error -j $(JOBS)

validate:
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BUILD) -j $(JOBS) --target quarno quarno_validate -- --no-print-directory
	@$(BUILD)/quarno_validate

clean:
	rm -rf $(BUILD) $(SANBUILD)
