"""What the signing tests share: the constants, a fixed clock, a recording m_crypt (and the
`crypt` fixture that installs both), and the plain-Python rendering of the signing rules
(bench/_reference.py) to compare with."""

import builtins
import contextlib
import importlib.util
import pathlib

import pytest

from glimet_work import tervix_main
from glimet_work.duty_main import GlimetWorkMain

PRODUCTION_SALT = "&0x3f1b8e27=_0x5c90a_0x7e1d04f93_0xb28c6a1_0x4d07ee"
DEFAULT_SALT = "&0x71c0e5d29f=_0x4e8a07b3c1_0x9f26d0_0x6b3e91c_0x02d7a"
NOW = 1700000000.1239  # what the fixed time.time() reads
T = 1700000000123  # int(NOW * 1000)
BODY, PARAMS = "_tervix_saas_sign", "_tervix_saas_sign_params"
BOTH = [BODY, PARAMS]

# The plain-Python rendering of the same rules, which the benchmarks time as the baseline.
_spec = importlib.util.spec_from_file_location(
    "signing_reference", pathlib.Path(__file__).parents[1] / "bench" / "_reference.py"
)
reference = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(reference)


class FakeTime:
    def __init__(self, reading):
        self.reading = reading

    def time(self):
        return self.reading


class RecordingCrypt:
    def __init__(self):
        self.calls = []

    def sha256(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return f"SIG{len(self.calls)}"


@contextlib.contextmanager
def planted(namespace, name, key):
    """`key` put on the probe chain of `name` in `namespace`, before it, so that looking `name`
    up runs key.__eq__; afterwards the namespace is as it was, in its order too."""
    saved = dict(namespace)
    bound = namespace.pop(name)
    namespace[key] = 0
    namespace[name] = bound
    try:
        yield
    finally:
        namespace.clear()
        namespace.update(saved)


def signed_text(crypt):
    """The one text handed to sha256, checked to come with "upper" alone."""
    ((args, kwargs),) = crypt.calls
    assert len(args) == 2 and args[1] == "upper" and kwargs == {}
    return args[0]


def sign(op, mapping, *args, **kwargs):
    return getattr(GlimetWorkMain(), op)(mapping, *args, **kwargs)


def stamp_piece(op, value=T):
    return f"saas_sign_timespan={value}" if op == BODY else f'saas_sign_timespan=["{value}"]'


@pytest.fixture(name="crypt")
def crypt_fixture(monkeypatch):
    """Fixes the module's time at NOW, records what its m_crypt signs and what print prints."""
    fake = RecordingCrypt()
    fake.printed = []
    monkeypatch.setattr(tervix_main, "time", FakeTime(NOW))
    monkeypatch.setattr(tervix_main, "m_crypt", fake)
    monkeypatch.setattr(builtins, "print", lambda *a, **k: fake.printed.append((a, k)))
    return fake
