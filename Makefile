# modweave developer commands. `make test` and `make run` set everything up on a fresh machine.

PYTHON ?= $(shell tools/find-python $(PYTHON_VERSION))
VENV ?= .venv
BUILD ?= build
VENV_PYTHON := $(VENV)/bin/python
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
NATIVE_DIR := $(BUILD)/native
SANITIZE_VENV := $(VENV)-sanitize

.PHONY: all venv install frame-module native native-test pytest test test-sanitize run bench setup-native clean \
	setup-fuzz fuzz setup-browser check-corpus

all: install

# GoogleTest comes from Debian's packages; install it when the machine lacks it.
setup-native:
	@if [ ! -f /usr/include/gtest/gtest.h ]; then \
	    echo "Installing GoogleTest (libgtest-dev)"; \
	    if [ "$$(id -u)" = 0 ]; then SUDO=; else SUDO=sudo; fi; \
	    $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq libgtest-dev >/dev/null; \
	fi

# The explorer's browser test drives headless Chromium from Debian's packages (Selenium would otherwise
# download a browser of its own, which no machine here can reach); install it when the machine lacks it.
setup-browser:
	@if ! command -v chromium >/dev/null 2>&1 || ! command -v chromedriver >/dev/null 2>&1; then \
	    echo "Installing headless Chromium (chromium, chromium-driver)"; \
	    if [ "$$(id -u)" = 0 ]; then SUDO=; else SUDO=sudo; fi; \
	    $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq \
	        --no-install-recommends chromium chromium-driver fonts-liberation >/dev/null; \
	fi

$(VENV_PYTHON):
	@test -n "$(PYTHON)" || { echo "No CPython 3.12+ found; set PYTHON=/path/to/python3.12" >&2; exit 1; }
	"$(PYTHON)" -m venv $(VENV)
	$(VENV_PYTHON) -m pip install -q --upgrade pip
	$(VENV_PYTHON) -m pip install -q "scikit-build-core>=0.10" "pytest>=8" "hypothesis>=6" "mypy>=1.10" \
	    "selenium>=4.20" "pillow>=10"

venv: $(VENV_PYTHON)

# Builds without isolation into a per-interpreter build folder, so rebuilds are incremental.
install: venv
	$(VENV_PYTHON) -m pip install -q --no-build-isolation .

native: setup-native
	cmake -S . -B $(NATIVE_DIR) -DMODWEAVE_BUILD_MODULE=OFF -DMODWEAVE_NATIVE_TESTS=ON \
	    -DCMAKE_BUILD_TYPE=Debug -DMODWEAVE_SANITIZE=ON >/dev/null
	cmake --build $(NATIVE_DIR) -j $(JOBS)

native-test: native
	cd $(NATIVE_DIR) && ctest --output-on-failure

# The call frame's test-only extension, built against the venv's interpreter.
FRAME_DIR = $(BUILD)/frame-$(notdir $(VENV))
frame-module: venv
	cmake -S . -B $(FRAME_DIR) -DMODWEAVE_BUILD_MODULE=OFF -DMODWEAVE_FRAME_TEST_MODULE=ON \
	    -DPython_EXECUTABLE=$(abspath $(VENV_PYTHON)) $(FRAME_FLAGS) >/dev/null
	cmake --build $(FRAME_DIR) -j $(JOBS) --target _modweave_frame

# A DeprecationWarning fails the run: projects that import the module under warnings-as-errors
# would fail on it too.
PYTEST_FLAGS = -q -W error::DeprecationWarning

pytest: install frame-module
	MODWEAVE_FRAME_MODULE_DIR=$(abspath $(FRAME_DIR)) $(VENV_PYTHON) -m pytest $(PYTEST_FLAGS) tests

test: native-test pytest

# The module built with AddressSanitizer and UndefinedBehaviorSanitizer, running the pytest suite
# (but the browser test, which exercises the page's JavaScript and runs in `make test`)
# in an interpreter that preloads the sanitizer runtime (with the C++ runtime, so that the
# sanitizer can intercept C++ exceptions in a program that is not C++ itself). Leak detection
# stays off: the interpreter itself keeps memory until exit.
test-sanitize:
	$(MAKE) venv VENV=$(SANITIZE_VENV)
	$(SANITIZE_VENV)/bin/python -m pip install -q --no-build-isolation \
	    -C cmake.define.MODWEAVE_SANITIZE=ON -C cmake.build-type=Debug \
	    -C build-dir=$(BUILD)/sanitize-{wheel_tag} .
	$(MAKE) frame-module VENV=$(SANITIZE_VENV) FRAME_FLAGS="-DMODWEAVE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug"
	MODWEAVE_FRAME_MODULE_DIR=$(abspath $(BUILD)/frame-$(notdir $(SANITIZE_VENV))) \
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	    ASAN_OPTIONS=detect_leaks=0 \
	    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PYTHONMALLOC=malloc \
	    $(SANITIZE_VENV)/bin/python -m pytest $(PYTEST_FLAGS) -p no:cacheprovider \
	    --ignore=tests/test_explorer_browser.py tests

# The parser's libFuzzer harness needs clang and its fuzzer runtime; install them when the machine
# cannot link a fuzzer.
setup-fuzz:
	@if ! printf 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }\n' | \
	    clang++ -x c++ -fsanitize=fuzzer,address,undefined -o /dev/null - >/dev/null 2>&1; then \
	    echo "Installing clang and its fuzzer runtime (clang, libclang-rt-dev)"; \
	    if [ "$$(id -u)" = 0 ]; then SUDO=; else SUDO=sudo; fi; \
	    $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq clang libclang-rt-dev >/dev/null; \
	fi

# Fuzzes the grammar and the walker for FUZZ_TIME seconds under AddressSanitizer and
# UndefinedBehaviorSanitizer, starting from the seed corpus; the inputs it finds collect in
# FUZZ_CORPUS and a failing input is written to the fuzz build folder.
FUZZ_DIR = $(BUILD)/fuzz
FUZZ_TIME ?= 180
FUZZ_CORPUS ?= $(BUILD)/fuzz-corpus
fuzz: setup-fuzz
	cmake -S . -B $(FUZZ_DIR) -DMODWEAVE_BUILD_MODULE=OFF -DMODWEAVE_FUZZ=ON \
	    -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target parser_fuzz
	mkdir -p $(FUZZ_CORPUS)
	$(FUZZ_DIR)/parser_fuzz -dict=tests/fuzz/parser.dict -max_len=4096 -print_final_stats=1 \
	    -max_total_time=$(FUZZ_TIME) -artifact_prefix=$(abspath $(FUZZ_DIR))/ \
	    $(FUZZ_CORPUS) tests/fuzz/corpus

# scan against the interpreter's own parser, file by file, over the standard library and a
# third-party tree installed from PyPI into a temporary venv. Slow; not part of `make test`.
check-corpus: install
	$(VENV_PYTHON) tools/check_corpus.py

# The bundled example's import graph two steps deep: as text (shown, and written), as DOT, and as
# a picture where Graphviz's dot is installed; and the whole graph in the interactive explorer.
# Each format follows from the output file's name.
RUN_DIR = $(BUILD)/run
RUN_GRAPH = $(VENV)/bin/modweave graph examples/inventory/main.py --max-depth 2
run: install
	@mkdir -p $(RUN_DIR)
	$(RUN_GRAPH)
	$(RUN_GRAPH) -o $(RUN_DIR)/inventory.txt
	$(RUN_GRAPH) -o $(RUN_DIR)/inventory.dot
	$(VENV)/bin/modweave graph examples/inventory/main.py -o $(RUN_DIR)/inventory.html
	@echo "wrote $(RUN_DIR)/inventory.html: open it in a browser"
	@if command -v dot >/dev/null 2>&1; then \
	    $(RUN_GRAPH) -o $(RUN_DIR)/inventory.svg && echo "wrote $(RUN_DIR)/inventory.txt, .dot and .svg"; \
	else \
	    echo "wrote $(RUN_DIR)/inventory.txt and .dot (no picture: Graphviz's dot is not installed)"; \
	fi

# Native benchmarks (Release, no sanitizer), run by bench/run.py first so that one summary closes
# the run with every ratio.
BENCH_DIR = $(BUILD)/bench
# The benchmarks run in a venv of their own, which also holds the peers and the third-party code
# they are measured on (django, grimp, flask), so the test venv stays as the tests expect it.
BENCH_VENV ?= $(VENV)-bench
bench:
	$(MAKE) install VENV=$(BENCH_VENV)
	$(BENCH_VENV)/bin/python -m pip install -q django grimp flask
	cmake -S . -B $(BENCH_DIR) -DMODWEAVE_BUILD_MODULE=OFF -DMODWEAVE_NATIVE_BENCH=ON \
	    -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(BENCH_DIR) -j $(JOBS)
	$(BENCH_VENV)/bin/python bench/run.py --native $(BENCH_DIR)

clean:
	rm -rf $(BUILD) $(VENV) $(SANITIZE_VENV) $(VENV)-bench
