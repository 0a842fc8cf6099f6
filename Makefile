# Front door: `make run` builds and runs an example deck, `make test` builds and
# runs every test, `make test-fast` the tests not labelled slow (the
# developer's loop), `make test-sanitize` every test under ASan and UBSan,
# `make validate` compares whole runs with analytic solutions.

BUILD      ?= build
SANBUILD   ?= build-sanitize
EXAMPLE    ?= uvas-reach
JOBS       ?= 2
RUNDIR     := $(BUILD)/runs/$(EXAMPLE)
FUZZBUILD  ?= build-fuzz
FUZZ_SECONDS ?= 1800

.PHONY: all deps build run test test-fast test-sanitize validate fuzz bench clean

all: build

# The Debian packages of the build and the tests, installed when missing.
deps:
	@scripts/install-deps

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BUILD) -j $(JOBS) --target quarno -- --no-print-directory

run: build
	@test -f examples/$(EXAMPLE)/crparam.txt || { echo "no example deck examples/$(EXAMPLE)"; exit 1; }
	@rm -rf $(RUNDIR) && mkdir -p $(RUNDIR)
	@cp examples/$(EXAMPLE)/crparam.txt examples/$(EXAMPLE)/crbicond.txt $(RUNDIR)/
	@if [ -f examples/$(EXAMPLE)/crforcing.toml ]; then \
	  cp examples/$(EXAMPLE)/crforcing.toml $(RUNDIR)/ && \
	  find examples/$(EXAMPLE) -maxdepth 1 -name '*.csv' -exec cp {} $(RUNDIR)/ \; ; fi
	@cd $(RUNDIR) && ../../quarno </dev/null
	@echo
	@echo "Results of example '$(EXAMPLE)':"
	@echo "  $(RUNDIR)/crOutput.txt   (input echo, profiles, balances)"
	@echo "  $(RUNDIR)/crObsNode.txt  (observation-node time series)"

test: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BUILD) -j $(JOBS) -- --no-print-directory
	@cd $(BUILD) && ctest --output-on-failure --no-tests=error -j $(JOBS)

# The tests not labelled slow: every test is labelled fast or slow, and cxx,
# python or scripts (`ctest -N -L slow` lists the slow ones).
test-fast: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BUILD) -j $(JOBS) -- --no-print-directory
	@cd $(BUILD) && ctest --output-on-failure --no-tests=error -j $(JOBS) -LE slow

test-sanitize: deps
	@cmake -S . -B $(SANBUILD) -DCMAKE_BUILD_TYPE=Debug -DQUARNO_SANITIZE=ON >/dev/null
	@cmake --build $(SANBUILD) -j $(JOBS) -- --no-print-directory
	@cd $(SANBUILD) && ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  ctest --output-on-failure --no-tests=error -j $(JOBS)

validate: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BUILD) -j $(JOBS) --target quarno quarno_validate -- --no-print-directory
	@$(BUILD)/quarno_validate

# Fuzzes with libFuzzer (clang), for FUZZ_SECONDS each: the deck reader and
# set-up with the saved-state readers, seeded with the example and golden
# decks and the states the program saves for them; then the readers of saved
# run states and flow records on their own, seeded with the states and
# records the program saves for those decks. Not part of `make test`. Inputs
# that crash are written to $(FUZZBUILD)/findings/.
fuzz: build
	@cmake -S . -B $(FUZZBUILD) -DCMAKE_CXX_COMPILER=/usr/bin/clang++ \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUARNO_FUZZ=ON -DQUARNO_TESTS=OFF >/dev/null
	@cmake --build $(FUZZBUILD) -j $(JOBS) --target quarno_fuzz_deck quarno_fuzz_saved \
	  -- --no-print-directory
	@tests/fuzz/make_corpus.sh . $(FUZZBUILD)/corpus $(BUILD)/quarno $(FUZZBUILD)/corpus-saved
	@mkdir -p $(FUZZBUILD)/findings
	@$(FUZZBUILD)/quarno_fuzz_deck -max_total_time=$(FUZZ_SECONDS) -timeout=10 \
	  -rss_limit_mb=2048 -dict=tests/fuzz/deck.dict -artifact_prefix=$(FUZZBUILD)/findings/ \
	  $(FUZZBUILD)/corpus
	@$(FUZZBUILD)/quarno_fuzz_saved -max_total_time=$(FUZZ_SECONDS) -timeout=10 \
	  -rss_limit_mb=2048 -max_len=400000 -artifact_prefix=$(FUZZBUILD)/findings/saved- \
	  $(FUZZBUILD)/corpus-saved

# Speed: time per cell of the flow right-hand side (microbenchmark) and per
# run of the bench deck; BASE=<commit> adds paired runs against a build of
# that commit and checks that both builds write the same bytes.
bench:
	@scripts/bench --build $(BUILD) $(if $(BASE),--base $(BASE))

clean:
	rm -rf $(BUILD) $(SANBUILD)
