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
