# Set-up and checks for glimet-work. Every target creates what it needs on a fresh machine.
export PYENV_VERSION := 3.13.0
# The system's CMake and Ninja, found before any pyenv shim (the shims serve other Pythons).
export PATH := /usr/bin:$(PATH)

VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip
PYTHON313 := $(shell command -v python3.13 || echo $(HOME)/.pyenv/shims/python3.13)
VERSION := $(shell sed -n 's/^__version__ = "\(.*\)"$$/\1/p' src/glimet_work/__init__.py)

.PHONY: run test install tools clean test-asan fuzz fuzz-curl wheel check-wheel check-sdist \
  check-kernels check-aarch64

# A virtual environment of Python 3.13 in $(1), or one line on how to get Python 3.13.
NO_PYTHON313 := glimet-work needs Python 3.13, not found here: pyenv install 3.13.0 (or \
  python3.13 and its venv module from python.org or Debian 13)
define make_venv
@$(PYTHON313) -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null || \
  { echo "$(NO_PYTHON313)" >&2; exit 1; }
$(PYTHON313) -m venv $(1)
$(1)/bin/python -m pip install --quiet --upgrade pip
endef

# The MeterSphere server built in: METERSPHERE_BASE=https://... when given (kept in
# .metersphere-base once a build with it succeeds), else the one kept, else the one the
# installed build holds (built with pip directly), else the placeholder. The API root in front
# of /test/review/case/ (METERSPHERE_API_ROOT=/track on a stock server) is chosen the same way,
# kept in .metersphere-api-root, its default the prefix /metersphere-api/track.
PLACEHOLDER := https://metersphere.invalid
DEFAULT_ROOT := /metersphere-api/track
KEPT_BASE := .metersphere-base
KEPT_ROOT := .metersphere-api-root
INSTALLED_BUILD = $(shell test -x $(PY) && $(PY) -c 'import glimet_work as g; \
  print(g.METERSPHERE_BASE, getattr(g, "METERSPHERE_API_ROOT", "$(DEFAULT_ROOT)"))' 2>/dev/null)
BASE := $(or $(METERSPHERE_BASE),$(shell cat $(KEPT_BASE) 2>/dev/null),\
  $(word 1,$(INSTALLED_BUILD)),$(PLACEHOLDER))
ROOT := $(or $(METERSPHERE_API_ROOT),$(shell cat $(KEPT_ROOT) 2>/dev/null),\
  $(word 2,$(INSTALLED_BUILD)),$(DEFAULT_ROOT))
BASE_DEFINE := -C cmake.define.GLIMET_METERSPHERE_BASE='$(BASE)' \
  -C cmake.define.GLIMET_METERSPHERE_API_ROOT='$(ROOT)'
ifeq ($(BASE),$(PLACEHOLDER))
SAY_BASE := @echo "glimet-work: building for the placeholder server $(BASE) (API root $(ROOT)); \
  add METERSPHERE_BASE=https://your-server to build for yours"
else
SAY_BASE := @echo "glimet-work: building for the MeterSphere server $(BASE) (API root $(ROOT))"
endif
KEEP_BASE := @true $(if $(METERSPHERE_BASE),; echo '$(METERSPHERE_BASE)' > $(KEPT_BASE)) \
  $(if $(METERSPHERE_API_ROOT),; echo '$(METERSPHERE_API_ROOT)' > $(KEPT_ROOT))

run: install
	$(PY) examples/demo.py

test: install $(VENV)/.test-requirements
	$(PY) -m pytest

$(PY):
	$(call make_venv,$(VENV))

# Build tools the package needs from the machine: a C++ compiler and CMake 3.25 or newer; and
# curl, whose requests the tests compare the curl reader's with.
tools:
	@command -v g++ >/dev/null && command -v cmake >/dev/null && command -v curl >/dev/null || \
	  (apt-get update && apt-get install -y --no-install-recommends g++ cmake ninja-build curl)

# The package alone, rebuilt only when a source or the server changed: the stamp holds the
# server of the build installed, and another server makes it out of date whatever its time.
INSTALLED := $(VENV)/.installed-for
SOURCES := pyproject.toml CMakeLists.txt $(shell find src cmake -type f -not -name '*.pyc')
ifneq ($(BASE) $(ROOT),$(shell cat $(INSTALLED) 2>/dev/null))
.PHONY: $(INSTALLED)
endif

install: $(INSTALLED)

$(INSTALLED): $(SOURCES) | $(PY) tools
	$(SAY_BASE)
	$(PIP) install --quiet . $(BASE_DEFINE)
	$(KEEP_BASE)
	@echo '$(BASE) $(ROOT)' > $@

# The test extras, without reinstalling the package (the file lists them).
$(VENV)/.test-requirements: pyproject.toml | $(INSTALLED)
	$(PY) -c 'import tomllib; project = tomllib.load(open("pyproject.toml", "rb"))["project"]; \
	  print(*project["optional-dependencies"]["test"], sep="\n")' > $@.new
	$(PIP) install --quiet -r $@.new
	mv $@.new $@

# The whole suite against modules built with AddressSanitizer and UndefinedBehaviorSanitizer.
# The interpreter is not instrumented, so the sanitizer runtimes are preloaded into it; leak
# checking is off because the interpreter keeps much of what it allocates until exit.
ASAN_VENV := .venv-asan
ASAN_PY := $(ASAN_VENV)/bin/python
SANITIZER_RUNTIMES := $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so)

$(ASAN_PY):
	$(call make_venv,$(ASAN_VENV))

test-asan: $(ASAN_PY) tools
	$(ASAN_PY) -m pip install --quiet ".[test]" \
	  -C cmake.define.GLIMET_SANITIZE=address,undefined -C cmake.build-type=Debug \
	  -C build-dir=build/asan
	GLIMET_SANITIZED=1 LD_PRELOAD="$(SANITIZER_RUNTIMES)" \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_init_order=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  $(ASAN_PY) -m pytest -p no:cacheprovider
	cmake -S . -B build/kernels-asan -DGLIMET_KERNELS_ONLY=ON -DCMAKE_BUILD_TYPE=Debug \
	  -DGLIMET_SANITIZE=address,undefined >/dev/null
	cmake --build build/kernels-asan --target kernel_tests
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 build/kernels-asan/kernel_tests

# The kernels' test binary (tests/kernels): every body this processor has, against the standard
# library, oracles and published vectors, with no interpreter.
KERNELS_BUILD := build/kernels

check-kernels: tools
	cmake -S . -B $(KERNELS_BUILD) -DGLIMET_KERNELS_ONLY=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(KERNELS_BUILD) --target kernel_tests
	$(KERNELS_BUILD)/kernel_tests

# Beyond x86-64: the kernel test binary built statically for aarch64 by zig (the wheel's, with
# musl) and run under Debian's qemu-user-static, called directly (no binfmt handler is needed);
# then every module compiled and linked for aarch64 with glibc 2.28, against this machine's
# Python 3.13 headers (the same on both 64-bit Linux targets); those are not run.
QEMU_AARCH64 := qemu-aarch64-static
# zig comes from the tools' environment (see wheel below); named before the rules that need it.
TOOLS_VENV := .venv-tools
TOOLS_PY := $(TOOLS_VENV)/bin/python
AARCH64 = GLIMET_ZIG=$(ZIG) cmake -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/zig-aarch64.cmake \
  -DCMAKE_BUILD_TYPE=Release

check-aarch64: $(TOOLS_PY) tools
	@command -v $(QEMU_AARCH64) >/dev/null || \
	  (apt-get update && apt-get install -y --no-install-recommends qemu-user-static)
	$(AARCH64) -S . -B build/aarch64-kernels -DGLIMET_ZIG_TARGET=aarch64-linux-musl \
	  -DGLIMET_KERNELS_ONLY=ON -DCMAKE_EXE_LINKER_FLAGS=-static >/dev/null
	GLIMET_ZIG=$(ZIG) cmake --build build/aarch64-kernels --target kernel_tests
	$(QEMU_AARCH64) build/aarch64-kernels/kernel_tests
	$(AARCH64) -S . -B build/aarch64 -DGLIMET_ZIG_TARGET=aarch64-linux-gnu.2.28 \
	  -DPython_EXECUTABLE=$(PYTHON313) >/dev/null
	GLIMET_ZIG=$(ZIG) cmake --build build/aarch64
	@echo "check-aarch64: kernel tests passed under qemu; modules built for aarch64:" \
	  build/aarch64/*.so

# A wheel for any x86_64 Linux with glibc 2.28 or newer, in dist/: zig c++ (PyPI's ziglang)
# builds against glibc 2.28's symbols, then auditwheel tags it, refusing if anything is newer.
WHEEL_PLATFORM := manylinux_2_28_x86_64
WHEEL := dist/glimet_work-$(VERSION)-cp313-cp313-$(WHEEL_PLATFORM).whl
ZIG = $(shell $(TOOLS_PY) -c 'import pathlib, ziglang; \
  print(pathlib.Path(ziglang.__file__).with_name("zig"))')

$(TOOLS_PY):
	$(call make_venv,$(TOOLS_VENV))
	$(TOOLS_PY) -m pip install --quiet ziglang==0.17.1 auditwheel==6.8.2 build

wheel: $(TOOLS_PY) tools
	$(SAY_BASE)
	rm -rf build/wheel-untagged dist/glimet_work-$(VERSION)-*.whl
	GLIMET_ZIG=$(ZIG) $(TOOLS_PY) -m pip wheel --quiet --no-deps --wheel-dir build/wheel-untagged . \
	  -C cmake.define.CMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/zig-toolchain.cmake \
	  -C build-dir=build/wheel $(BASE_DEFINE)
	$(TOOLS_PY) -m auditwheel repair --plat $(WHEEL_PLATFORM) --only-plat --patcher none \
	  --wheel-dir dist build/wheel-untagged/*.whl
	$(KEEP_BASE)
	@echo "$(WHEEL): for the MeterSphere server $(BASE)"

# The whole suite against the wheel installed in a fresh environment (-P: nothing is imported
# from the working tree), then auditwheel's report on it.
CHECK_VENV := build/venv-check

check-wheel: wheel
	rm -rf $(CHECK_VENV)
	$(call make_venv,$(CHECK_VENV))
	$(CHECK_VENV)/bin/python -m pip install --quiet "$(WHEEL)[test]"
	$(CHECK_VENV)/bin/python -P -m pytest -p no:cacheprovider
	$(TOOLS_PY) -m auditwheel show $(WHEEL)

# The sdist builds and installs with pip alone in a fresh environment, and its modules work.
SDIST := dist/glimet_work-$(VERSION).tar.gz

check-sdist: $(TOOLS_PY)
	rm -rf $(SDIST) $(CHECK_VENV)
	$(TOOLS_PY) -m build --sdist --outdir dist .
	$(call make_venv,$(CHECK_VENV))
	$(CHECK_VENV)/bin/python -m pip install --quiet "$(SDIST)[test]"
	$(CHECK_VENV)/bin/python -P -m pytest -p no:cacheprovider -q tests/test_frame.py \
	  tests/test_import.py tests/test_json_dumps.py tests/test_binaries.py


.PHONY: test-general fuzz-tools fuzz-key-order fuzz-literal-words fuzz-float-repr

# The whole suite against a toolkit module built without its fast routes (each declines), so
# that it runs on its general routes alone: the fast routes' output is checked against theirs.
GENERAL_VENV := .venv-general
GENERAL_PY := $(GENERAL_VENV)/bin/python

$(GENERAL_PY):
	$(call make_venv,$(GENERAL_VENV))

test-general: $(GENERAL_PY) tools
	$(GENERAL_PY) -m pip install --quiet ".[test]" \
	  -C cmake.define.GLIMET_FAST_ROUTES=OFF -C build-dir=build/general
	$(GENERAL_PY) -m pytest -p no:cacheprovider

# Longer differential and hostile-input runs than the suite's own.
fuzz: install $(VENV)/.test-requirements
	GLIMET_FUZZ_EXAMPLES=50000 $(PY) -m pytest -q tests/test_fast_json.py \
	  tests/test_fast_signing.py tests/test_signing.py tests/test_hostile.py

# libFuzzer targets, Python left out, each for a bounded time: the curl command reader, the
# key ordering (against std::sort), the literal-word rewrite (against the replacements it
# stands for) and the float formatter (against std::to_chars). CMake builds them with clang, which comes from the Debian archive when missing.
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
	mkdir -p $(FUZZ_OUT)/corpus-curl $(FUZZ_OUT)/corpus-key-order $(FUZZ_OUT)/corpus-literal-words \
	  $(FUZZ_OUT)/corpus-float-repr

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

fuzz-float-repr: fuzz-tools
	cmake --build $(FUZZ_BUILD) --target float_repr_fuzzer
	$(FUZZ_BUILD)/float_repr_fuzzer $(FUZZ_OUT)/corpus-float-repr -max_len=32 $(FUZZ_FLAGS)

clean:
	rm -rf $(VENV) $(ASAN_VENV) $(GENERAL_VENV) $(TOOLS_VENV) build
