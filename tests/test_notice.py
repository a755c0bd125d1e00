"""The production-demand notice: a heading and one numbered title per pasted line."""

import builtins
import contextlib
import io
import traceback

import pytest
from hypothesis import given
from hypothesis import strategies as st

from glimet_work.duty_main import GlimetWorkMain

HEADING = "投产需求："
TRACE_NAME = "tervix_main.TERVIXWorkMain._tervix_test_production_demand"

# (content, the lines printed after the heading)
CASES = [
    (
        "【登录优化】https://e.org/1\n【导出修复】http://e.org/2\n【报表】https://e.org/3?a=【x】",
        ["1、登录优化", "2、导出修复", "3、报表"],
    ),
    ("【甲】http://a\r\n【乙】http://b\r\n", ["1、甲", "2、乙"]),
    ("【甲】http://a\n\n \t\n【乙】http://b", ["1、甲", "2、", "3、", "4、乙"]),
    ("\n\n  【甲】http://a  \r\n\n", ["1、甲"]),
    ("", ["1、"]),
    (" \t\r\n \n\u3000", ["1、"]),
    ("【甲】 http://a", ["1、甲】 http://a"]),
    ("【甲】HTTP://a", ["1、甲】HTTP://a"]),
    ("  plain text, no markers  ", ["1、plain text, no markers"]),
    ("【甲】http://a】http://b", ["1、甲"]),
    ("【【甲】http://a", ["1、【甲"]),
    ("甲】http【乙", ["1、甲"]),
    ("【甲】乙】https://a", ["1、甲】乙"]),
    ("【甲 乙\t丙】http://a", ["1、甲 乙\t丙"]),
    ("【甲】http://a\u3000\n\x0b【乙】http://b\x0c", ["1、甲", "2、乙"]),
    ("\n".join(f"【t{n}】http://x" for n in range(1, 12)), [f"{n}、t{n}" for n in range(1, 12)]),
]


NOTICE = GlimetWorkMain()._tervix_test_production_demand


def printed(content, operation=NOTICE):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        assert operation(content) is None
    return out.getvalue()


@pytest.mark.parametrize("content, lines", CASES)
def test_notice(content, lines):
    assert printed(content) == "\n".join([HEADING, *lines]) + "\n"


def reference(content):
    out = [HEADING]
    for num, i in enumerate(content.strip().split("\n"), 1):
        out.append(f"{num}、{i.strip().split('】http')[0].replace('【', '', 1)}")
    return "".join(line + "\n" for line in out)


@given(st.text(alphabet=st.sampled_from(list("【】http: \t\r\n\u3000\x85a甲é😀")), max_size=40))
def test_notice_matches_python_string_methods(content):
    assert printed(content) == reference(content)


def test_one_print_call_per_line_and_print_failure_propagates(monkeypatch):
    calls = []

    def fake_print(*args, **kwargs):
        calls.append((args, kwargs))
        if len(calls) == 3:
            raise OSError("stdout closed")

    monkeypatch.setattr(builtins, "print", fake_print)
    with pytest.raises(OSError, match="stdout closed") as info:
        GlimetWorkMain._tervix_test_production_demand(
            "【甲】http://a\n【乙】http://b\n【丙】http://c"
        )
    monkeypatch.undo()
    assert calls == [((HEADING,), {}), (("1、甲",), {}), (("2、乙",), {})]
    names = [entry.name for entry in traceback.extract_tb(info.value.__traceback__)]
    assert names[-2:] == [TRACE_NAME, "fake_print"]


class StarTrimmed(str):
    def strip(self, chars=None):
        return str.strip(self, " *")


def test_str_subclass_strip_is_called():
    assert printed(StarTrimmed("**【甲】http://a\n乙**")) == f"{HEADING}\n1、甲\n2、乙\n"


@pytest.mark.parametrize(
    "content, error, message",
    [
        (5, AttributeError, "'int' object has no attribute 'strip'"),
        (None, AttributeError, "'NoneType' object has no attribute 'strip'"),
        (["【甲】http://a"], AttributeError, "'list' object has no attribute 'strip'"),
        (b"x\ny", TypeError, "a bytes-like object is required, not 'str'"),
    ],
)
def test_non_string_content_fails_before_printing(content, error, message):
    out = io.StringIO()
    with contextlib.redirect_stdout(out), pytest.raises(error) as info:
        GlimetWorkMain()._tervix_test_production_demand(content)
    assert str(info.value) == message
    assert out.getvalue() == ""
    assert traceback.extract_tb(info.value.__traceback__)[-1].name == TRACE_NAME
