"""m_crypt.sha256: the hex SHA-256 of the UTF-8 text, as hashlib computes it."""

import concurrent.futures
import hashlib
import inspect
import json
import os
import subprocess
import sys
import traceback

import glimet_crypt
import pytest
from glimet_crypt import Crypt, m_crypt
from glimet_curl import m_curl
from hypothesis import given, settings
from hypothesis import strategies as st

TEXTS = ["", "abc", "é" * 3000, "张三&a=1" * 700, "😀x", "a" * 5000, "\x00\x7f\x80\uffff"]


@pytest.mark.parametrize("text", TEXTS, ids=range(len(TEXTS)))
@pytest.mark.parametrize("case, fold", [("upper", str.upper), ("lower", str.lower)])
def test_matches_hashlib(text, case, fold):
    expected = fold(hashlib.sha256(text.encode()).hexdigest())
    assert m_crypt.sha256(text, case) == expected
    assert m_crypt.sha256(text=text, case=case) == expected
    if case == "upper":
        assert m_crypt.sha256(text) == expected


@pytest.mark.parametrize(
    "args, kwargs, error",
    [
        ((b"bytes",), {}, TypeError),
        ((None,), {}, TypeError),
        (("x", "Upper"), {}, ValueError),
        (("x", None), {}, ValueError),
        (("\ud800",), {}, UnicodeEncodeError),
        ((), {}, TypeError),
        (("x", "upper", 3), {}, TypeError),
        (("x",), {"text": "y"}, TypeError),
        (("x",), {"mode": "upper"}, TypeError),
    ],
)
def test_bad_arguments(args, kwargs, error):
    with pytest.raises(error):
        m_crypt.sha256(*args, **kwargs)


class Reference:
    """m_crypt.sha256's signature, as a Python method has it."""

    def sha256(self, /, text, case="upper"):
        return text


BINDINGS = [((), {}), (("x", "upper", 3), {}), (("x",), {"text": "y"}), ((), {"txt": "x"}),
            (("x",), {"self": m_crypt}), (("x",), {"mode": "upper"})]


@pytest.mark.parametrize("args, kwargs", BINDINGS)
def test_arguments_bound_as_a_python_method_binds_them(args, kwargs):
    with pytest.raises(TypeError) as expected:
        Reference().sha256(*args, **kwargs)
    with pytest.raises(TypeError) as got:
        m_crypt.sha256(*args, **kwargs)
    assert str(got.value) == str(expected.value).replace("Reference.", "Crypt.")
    assert traceback.extract_tb(got.tb)[-1].name == "glimet_crypt.Crypt.sha256"
    assert str(inspect.signature(m_crypt.sha256)) == "(text, case='upper')"
    assert str(inspect.signature(Crypt.sha256)) == "(self, /, text, case='upper')"


@pytest.mark.parametrize("other", [None, 5, object(), m_curl, Reference()])
def test_unbound_method_refuses_another_object(other):
    with pytest.raises(TypeError, match="doesn't apply to a"):
        Crypt.sha256(other, "x")


@pytest.mark.parametrize("case", ["".join(["low", "er"]), type("Case", (str,), {})("lower")])
def test_case_counts_by_its_text(case):
    assert m_crypt.sha256("abc", case) == hashlib.sha256(b"abc").hexdigest()


def test_hashes_with_the_built_in_sha256_even_if_hashlib_is_replaced(fresh):
    # A replaced hashlib.sha256 never sees the text's memory, which is only lent for the call.
    out = fresh(
        """
        import hashlib
        real = hashlib.sha256
        kept = []
        class Hash:
            def copy(self): return Hash()
            def update(self, data): kept.append(data)
            def digest(self): return bytes(32)
        hashlib.sha256 = lambda *args, **kwargs: Hash()
        from glimet_crypt import m_crypt
        text = "é" * 100
        print(m_crypt.sha256(text) == real(text.encode()).hexdigest().upper(), kept)
        """
    )
    assert out.strip() == "True []"


@pytest.mark.parametrize("text", ["张三&a=1" * 300, "é", "😀" * 5])
def test_text_holding_its_utf8_hashes_the_same(text):
    import ctypes

    text = "".join([text])  # a fresh str of our own
    expected = hashlib.sha256(text.encode()).hexdigest().upper()
    ctypes.pythonapi.PyUnicode_AsUTF8.restype = ctypes.c_char_p
    ctypes.pythonapi.PyUnicode_AsUTF8.argtypes = [ctypes.py_object]
    assert ctypes.pythonapi.PyUnicode_AsUTF8(text).decode() == text  # now it holds its UTF-8
    assert m_crypt.sha256(text) == expected


# Lengths either side of every padding boundary (55/56 bytes left in the last block) and of
# one, two and many whole blocks.
LENGTHS = sorted({n + d for n in (0, 55, 64, 119, 128, 1000, 4096, 65536) for d in (-1, 0, 1)} - {-1})


# Texts whose only fault is a lone surrogate at or beside a 16-character step of the encoder.
FAULTY = [("aé张😀" * 20)[:n] + "\udc80" + "é" * 20 for n in (0, 15, 16, 17, 40)]


def digests_by(engine_env: dict) -> list:
    code = f"""
import json, sys
from glimet_crypt import m_crypt, _engine, _utf8_encoder
texts = [("aé张😀" * 20000)[:n] for n in {LENGTHS}] + ["x" * n for n in {LENGTHS}]

def digest(text):
    try:
        return m_crypt.sha256(text, "lower")
    except UnicodeEncodeError:
        return None

print(json.dumps([_engine, _utf8_encoder] + [digest(t) for t in texts + {FAULTY!r}]))
"""
    done = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env={**os.environ, **engine_env}
    )
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


# Each way of hashing, and each UTF-8 encoder, whatever this processor would choose.
ENGINES = [
    ({}, glimet_crypt._engine, glimet_crypt._utf8_encoder),
    ({"GLIMET_SIMD": "no-sha256"}, "hashlib", glimet_crypt._utf8_encoder),
    ({"GLIMET_SIMD": "no-utf8"}, glimet_crypt._engine, "scalar"),
    ({"GLIMET_SIMD": "off"}, "hashlib", "scalar"),
    ({"GLIMET_SIMD": "no-escape,no-sha256,no-utf8"}, "hashlib", "scalar"),
]


@pytest.mark.parametrize("engine_env, engine, encoder", ENGINES, ids=range(len(ENGINES)))
def test_every_engine_matches_hashlib_across_block_boundaries(engine_env, engine, encoder):
    used_engine, used_encoder, *digests = digests_by(engine_env)
    assert (used_engine, used_encoder) == (engine, encoder)
    texts = [("aé张😀" * 20000)[:n] for n in LENGTHS] + ["x" * n for n in LENGTHS]
    assert digests == [hashlib.sha256(t.encode()).hexdigest() for t in texts] + [None] * len(FAULTY)


# Texts mixing every UTF-8 length, either side of the encoder's 16-character steps and of the
# slices it hashes as it goes; and a lone surrogate at every place in such steps.
MIXED = ("a\xe9\u540d\U0001f600x\xff\u07ff\u0800\uffff\U0010ffff" * 60)[:600]


@pytest.mark.parametrize("n", [0, 1, 15, 16, 17, 31, 32, 33, 255, 256, 257, 600])
def test_mixed_widths_match_hashlib(n):
    for text in (MIXED[:n], "\xe9" + MIXED[:n], "\u540d" + MIXED[:n]):
        assert m_crypt.sha256(text, "lower") == hashlib.sha256(text.encode()).hexdigest()


@pytest.mark.parametrize("position", [0, 1, 15, 16, 17, 40, 255, 256, 299])
def test_lone_surrogate_anywhere_fails(position):
    text = MIXED[:position] + "\udc80" + MIXED[position:300]
    with pytest.raises(UnicodeEncodeError):
        m_crypt.sha256(text)


@settings(max_examples=int(os.environ.get("GLIMET_FUZZ_EXAMPLES", "300")), deadline=None)
@given(text=st.text(st.characters(codec="utf-8"), max_size=300))
def test_any_text_matches_hashlib(text):
    assert m_crypt.sha256(text, "lower") == hashlib.sha256(text.encode()).hexdigest()


def test_long_text_hashes_while_other_threads_run():
    # Hashing a long text lets other threads run; they may hash too, and all digests hold.
    texts = [str(i) * 300_000 for i in range(4)]
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        digests = list(pool.map(m_crypt.sha256, texts))
    assert digests == [hashlib.sha256(t.encode()).hexdigest().upper() for t in texts]
