# Entry points: `make setup`, `make build`, `make test`, `make demo`.
# Every target does the set-up it needs first, so each works on a fresh clone.

BUILD_DIR ?= build
PY := .venv/bin/python
JOBS ?= $(shell nproc)

.PHONY: setup build test test-cpp test-python clean demo example test-typing docs fuzz faults sanitize bench

setup:
	@scripts/setup

# Builds of one directory are serialised with a lock, so that two commands run
# at once (two demos, say) do not race inside the same build tree.
$(BUILD_DIR)/build.ninja: | setup
	@mkdir -p $(BUILD_DIR)
	@flock $(BUILD_DIR)/.lock cmake -S . -B $(BUILD_DIR) -G Ninja -DFENWIX_PYTHON=$(abspath $(PY)) >/dev/null

build: setup $(BUILD_DIR)/build.ninja
	@flock $(BUILD_DIR)/.lock cmake --build $(BUILD_DIR) -j $(JOBS)

test: build test-cpp test-python test-typing

test-cpp:
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# pytest exits with 5 when it collects nothing; that is not a failure.
test-python:
	@PYTHONPATH=$(abspath $(BUILD_DIR))/python $(PY) -m pytest -q; rc=$$?; [ $$rc -eq 0 ] || [ $$rc -eq 5 ]

clean:
	rm -rf $(BUILD_DIR)

# The main job's demo: the IVR example against the simulator, with four
# scripted callers; prints the application's transcript and a summary.
demo: build
	@BUILD_DIR=$(abspath $(BUILD_DIR)) scripts/demo

# One example against the simulator: make example NAME=originate (see examples/run.py).
example: build
	@test -n "$(NAME)" || { echo "usage: make example NAME=ivr|originate|per_call_server|reconnect|transfer_outcomes" >&2; exit 2; }
	@PYTHONPATH=$(abspath $(BUILD_DIR))/python $(PY) examples/run.py $(NAME)

# The type stub checked against the built module (stubtest), the stub itself
# and the examples under mypy --strict. The simulator's sources are on the
# path for the examples that drive it; errors inside them are not ours to report.
test-typing:
	@PYTHONPATH=$(abspath $(BUILD_DIR))/python MYPYPATH=$(abspath $(BUILD_DIR))/python \
		$(PY) -m mypy.stubtest fenwix_control
	@MYPYPATH=$(abspath $(BUILD_DIR))/python:sim $(PY) -m mypy --strict --follow-imports=silent \
		--cache-dir $(abspath $(BUILD_DIR))/mypy-cache $(BUILD_DIR)/python/fenwix_control.pyi examples/

# docs/api.md from the built module's docstrings (tests/test_docs.py fails when it is stale).
docs: build
	@PYTHONPATH=$(abspath $(BUILD_DIR))/python $(PY) scripts/gen_api_docs.py

# Reliability runs (see README, "Reliability"): libFuzzer targets with ASan and
# UBSan (FUZZ_SECONDS per target, default 600), the full fault suite, and the tests
# under ASan, UBSan and TSan. Each builds in its own directory.
fuzz:
	@scripts/fuzz $(FUZZ_SECONDS)

faults:
	@BUILD_DIR=$(abspath $(BUILD_DIR)) scripts/faults

sanitize:
	@scripts/sanitize

# The benchmark table (see bench/README.md): the module, the pure-Python
# baseline and the C++ limit against the same peer, in an optimised build of
# its own. uvloop is installed for the extra columns when it can be; BENCH_ARGS
# goes to bench/run.py (for example BENCH_ARGS=--quick).
BENCH_DIR ?= build-bench
bench: setup
	@$(PY) -c "import uvloop" 2>/dev/null || $(PY) -m pip install -q uvloop || echo "bench: uvloop did not install; its columns are left out"
	@mkdir -p $(BENCH_DIR)
	@flock $(BENCH_DIR)/.lock cmake -S . -B $(BENCH_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release \
		-DFENWIX_BUILD_BENCH=ON -DFENWIX_BUILD_TESTS=OFF -DFENWIX_PYTHON=$(abspath $(PY)) >/dev/null
	@flock $(BENCH_DIR)/.lock cmake --build $(BENCH_DIR) -j $(JOBS)
	@$(PY) bench/run.py --build-dir $(BENCH_DIR) --uvloop $(BENCH_ARGS)
