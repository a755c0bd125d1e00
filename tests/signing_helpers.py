"""What the signing tests share: the constants, a fixed clock, a recording m_crypt (and the
`crypt` fixture in conftest installs both), and the plain-Python rendering of the signing rules
(bench/_reference.py) to compare with."""

import contextlib
import importlib.util
import pathlib


from glimet_work.duty_main import GlimetWorkMain

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
# The signing constants, written once for the tests and the benchmarks.
PRODUCTION_SALT, DEFAULT_SALT = reference.PRODUCTION_SALT, reference.DEFAULT_SALT


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
