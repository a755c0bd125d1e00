"""Shared fixtures: a fresh interpreter for import-time behaviour, a fixed clock and recording
m_crypt for the signers, the HTTPS stand-in MeterSphere, Python's SIGINT handler."""

import builtins
import contextlib
import signal
import subprocess
import sys
import textwrap

import pytest

from glimet_work import tervix_main
from signing_helpers import NOW, FakeTime, RecordingCrypt
from standin_metersphere import TLS_CERT, StandinMeterSphere, routed_to


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


@pytest.fixture
def python_sigint():
    """SIGINT raises KeyboardInterrupt while the test runs, as at a terminal, even when the suite
    was started where it is ignored (a background job, nohup)."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


@pytest.fixture(name="crypt")
def crypt_fixture(monkeypatch):
    """Fixes the module's time at NOW, records what its m_crypt signs and what print prints."""
    fake = RecordingCrypt()
    fake.printed = []
    monkeypatch.setattr(tervix_main, "time", FakeTime(NOW))
    monkeypatch.setattr(tervix_main, "m_crypt", fake)
    monkeypatch.setattr(builtins, "print", lambda *a, **k: fake.printed.append((a, k)))
    return fake


@pytest.fixture
def standin(monkeypatch):
    """standin(**options): a started HTTPS stand-in that every request requests sends goes to,
    path kept, with its certificate trusted as REQUESTS_CA_BUNDLE trusts it."""
    monkeypatch.setenv("REQUESTS_CA_BUNDLE", str(TLS_CERT))
    with contextlib.ExitStack() as servers:

        def start(cases=120, **options):
            server = servers.enter_context(StandinMeterSphere(cases, tls=True, **options))
            servers.enter_context(routed_to(server.origin))
            return server

        yield start
