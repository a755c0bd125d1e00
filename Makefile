# Set-up and checks for glimet-work. Every target creates what it needs on a fresh machine.
export PYENV_VERSION := 3.13.0
# The system's CMake and Ninja, found before any pyenv shim (the shims serve other Pythons).
export PATH := /usr/bin:$(PATH)

VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip
PYTHON313 := $(shell command -v python3.13 || echo $(HOME)/.pyenv/shims/python3.13)

.PHONY: run test install tools clean

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

clean:
	rm -rf $(VENV) build
