# Set-up and checks for glimet-work. Every target creates what it needs on a fresh machine.
export PYENV_VERSION := 3.13.0
# The system's CMake and Ninja, found before any pyenv shim (the shims serve other Pythons).
export PATH := /usr/bin:$(PATH)

VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip
PYTHON313 := $(shell command -v python3.13 || echo $(HOME)/.pyenv/shims/python3.13)

.PHONY: run test install tools clean test-asan fuzz fuzz-curl

run: install
	$(PY) examples/demo.py

test: install
	$(PY) -m pytest

$(PY):
	$(PYTHON313) -m venv $(VENV)
	$(PIP) install --quiet --upgrade pip

# Build tools the package needs from the machine: a C++ compiler and CMake 3.25 or newer.
tools:
	@command -v g++ >/dev/null && command -v cmake >/dev/null || \
	  (apt-get update && apt-get install -y --no-install-recommends g++ cmake ninja-build)

install: $(PY) tools
	$(PIP) install --quiet ".[test]"

# The whole suite against modules built with AddressSanitizer and UndefinedBehaviorSanitizer.
# The interpreter is not instrumented, so the sanitizer runtimes are preloaded into it; leak
# checking is off because the interpreter keeps much of what it allocates until exit.
ASAN_VENV := .venv-asan
ASAN_PY := $(ASAN_VENV)/bin/python
SANITIZER_RUNTIMES := $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so)

$(ASAN_PY):
	$(PYTHON313) -m venv $(ASAN_VENV)
	$(ASAN_PY) -m pip install --quiet --upgrade pip

test-asan: $(ASAN_PY) tools
	$(ASAN_PY) -m pip install --quiet ".[test]" \
	  -C cmake.define.GLIMET_SANITIZE=address,undefined -C cmake.build-type=Debug \
	  -C build-dir=build/asan
	GLIMET_SANITIZED=1 LD_PRELOAD="$(SANITIZER_RUNTIMES)" \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_init_order=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  $(ASAN_PY) -m pytest -p no:cacheprovider

.PHONY: test-general fuzz-tools fuzz-key-order fuzz-literal-words

# The whole suite against a toolkit module built without its fast routes (each declines), so
# that it runs on its general routes alone: the fast routes' output is checked against theirs.
GENERAL_VENV := .venv-general
GENERAL_PY := $(GENERAL_VENV)/bin/python

$(GENERAL_PY):
	$(PYTHON313) -m venv $(GENERAL_VENV)
	$(GENERAL_PY) -m pip install --quiet --upgrade pip

test-general: $(GENERAL_PY) tools
	$(GENERAL_PY) -m pip install --quiet ".[test]" \
	  -C cmake.define.GLIMET_FAST_ROUTES=OFF -C build-dir=build/general
	$(GENERAL_PY) -m pytest -p no:cacheprovider

# Longer differential and hostile-input runs than the suite's own.
fuzz: install
	GLIMET_FUZZ_EXAMPLES=50000 $(PY) -m pytest -q tests/test_fast_json.py \
	  tests/test_fast_signing.py tests/test_signing.py tests/test_hostile.py

# libFuzzer targets, Python left out, each for a bounded time: the curl command reader, the
# key ordering (against std::sort) and the literal-word rewrite (against the replacements it
# stands for). CMake builds them with clang, which comes from the Debian archive when missing.
# A checked-in corpus only seeds a run: what the run adds, and any crashing input, goes to
# fuzz/out.
FUZZ_CXX := clang++-14
FUZZ_BUILD := build/fuzz
FUZZ_OUT := fuzz/out
FUZZ_SECONDS := 60
FUZZ_FLAGS := -timeout=10 -rss_limit_mb=2048 -max_total_time=$(FUZZ_SECONDS) \
	-print_final_stats=1 -artifact_prefix=$(FUZZ_OUT)/

fuzz-tools: tools
	@command -v $(FUZZ_CXX) >/dev/null && \
	  test -f "$$($(FUZZ_CXX) -print-runtime-dir)/libclang_rt.fuzzer-$$(uname -m).a" || \
	  (apt-get update && apt-get install -y --no-install-recommends clang-14 libclang-rt-14-dev)
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) -DCMAKE_BUILD_TYPE=Debug \
	  -DGLIMET_FUZZERS=ON -DPython_EXECUTABLE=$(PYTHON313) >/dev/null
	mkdir -p $(FUZZ_OUT)/corpus-curl $(FUZZ_OUT)/corpus-key-order $(FUZZ_OUT)/corpus-literal-words

fuzz-curl: fuzz-tools
	cmake --build $(FUZZ_BUILD) --target curl_fuzzer
	$(FUZZ_BUILD)/curl_fuzzer $(FUZZ_OUT)/corpus-curl fuzz/corpus/curl -dict=fuzz/curl.dict \
	  -max_len=4096 $(FUZZ_FLAGS)

fuzz-key-order: fuzz-tools
	cmake --build $(FUZZ_BUILD) --target key_order_fuzzer
	$(FUZZ_BUILD)/key_order_fuzzer $(FUZZ_OUT)/corpus-key-order -max_len=8192 $(FUZZ_FLAGS)

fuzz-literal-words: fuzz-tools
	cmake --build $(FUZZ_BUILD) --target literal_words_fuzzer
	$(FUZZ_BUILD)/literal_words_fuzzer $(FUZZ_OUT)/corpus-literal-words \
	  -dict=fuzz/literal_words.dict -max_len=4096 $(FUZZ_FLAGS)

clean:
	rm -rf $(VENV) $(ASAN_VENV) $(GENERAL_VENV) build
