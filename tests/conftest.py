"""Shared fixtures: a fresh interpreter for import-time behaviour."""

import subprocess
import sys
import textwrap

import pytest


def run_fresh(code: str, timeout: float = 120) -> subprocess.CompletedProcess:
    """Runs `code` in a new interpreter of the installed environment; returns the finished run."""
    return subprocess.run(
        [sys.executable, "-X", "dev", "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        encoding="utf-8",
        timeout=timeout,
    )


@pytest.fixture
def fresh():
    """Runs a script in a fresh interpreter and fails the test with its output if it fails."""

    def run(code: str) -> str:
        done = run_fresh(code)
        assert done.returncode == 0, done.stdout + done.stderr
        return done.stdout

    return run
