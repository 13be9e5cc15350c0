# Two entry points: `make run` and `make test`. Both install what is missing
# (Debian 12, as root), build, then run.
JOBS      ?= $(shell nproc 2>/dev/null || echo 2)
BUILD     ?= build
# The program alone (`make run`, `make install`): its own folder, so its
# settings never flip those of the test build.
RUN_BUILD ?= build-run
SAN_BUILD ?= build-san
PREFIX    ?= /usr/local
# What running needs, and what testing adds (tests, sanitizers, fuzzers,
# memcheck, the MPI program).
RUN_PACKAGES  := cmake g++ make pkg-config r-mathlib libhts-dev libeigen3-dev
TEST_PACKAGES := $(RUN_PACKAGES) libgtest-dev libxml2-utils valgrind clang libclang-rt-14-dev libopenmpi-dev openmpi-bin bcftools \
                 pybind11-dev python3-dev python3-numpy python3-pytest python3-pandas python3-statsmodels python3-scipy
# libFuzzer targets: their own clang build; `make test` fuzzes each for
# TEST_FUZZ_SECONDS, `make fuzz` for FUZZ_SECONDS.
FUZZ_BUILD        ?= build-fuzz
FUZZ_SECONDS      ?= 60
TEST_FUZZ_SECONDS ?= 30
EXAMPLE   := examples/example.txt
REPORT    := $(RUN_BUILD)/example.report.txt

.PHONY: all deps test-deps build build-run build-installed build-san run test install bench clean fuzz fuzz-build

all: build

# Installs the Debian packages of $(1) that are missing (as root).
define install_missing
	@missing=""; for p in $(1); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi
endef

deps:
	$(call install_missing,$(RUN_PACKAGES))

test-deps:
	$(call install_missing,$(TEST_PACKAGES))

build: test-deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DGORVA_WERROR=ON -DGORVA_BUILD_TESTS=ON -DGORVA_BUILD_BENCH=ON
	cmake --build $(BUILD) -j $(JOBS)

# Only the program: no tests, no benchmarks, no test packages.
define configure_run_build
	cmake -S . -B $(RUN_BUILD) -DCMAKE_BUILD_TYPE=Release -DGORVA_BUILD_TESTS=OFF -DGORVA_BUILD_BENCH=OFF
endef

build-run: deps
	$(configure_run_build)
	cmake --build $(RUN_BUILD) -j $(JOBS) --target gorva_exe

# Everything that is installed (library, programs, the Python module when its
# packages are there), nothing that is not.
build-installed: deps
	$(configure_run_build)
	cmake --build $(RUN_BUILD) -j $(JOBS)

build-san: test-deps
	cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DGORVA_SANITIZE=ON -DGORVA_WERROR=ON -DGORVA_BUILD_BENCH=OFF
	cmake --build $(SAN_BUILD) -j $(JOBS)

TABLE     := $(RUN_BUILD)/example.table.tsv

run: build-run
	./$(RUN_BUILD)/gorva --in $(EXAMPLE) --out $(REPORT) --order 2-3 --table $(TABLE) --permutations 200
	@echo "report written to $(REPORT):"
	@cat $(REPORT)
	@echo "table of the same run (200 permutations) written to $(TABLE):"
	@cat $(TABLE)

test: build build-san fuzz-build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	cd $(SAN_BUILD) && ctest --output-on-failure -j $(JOBS)
	tests/fuzz/run_fuzzers.sh $(FUZZ_BUILD) $(TEST_FUZZ_SECONDS)

fuzz-build: test-deps
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DGORVA_FUZZ=ON -DGORVA_BUILD_TESTS=OFF -DGORVA_BUILD_BENCH=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_targets

fuzz: fuzz-build
	tests/fuzz/run_fuzzers.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

install: build-installed
	cmake --install $(RUN_BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD) $(RUN_BUILD) $(SAN_BUILD) $(FUZZ_BUILD)
