"""m_crypt.sha256: the hex SHA-256 of the UTF-8 text, as hashlib computes it."""

import hashlib

import pytest

from glimet_crypt import m_crypt

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
