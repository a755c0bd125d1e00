"""Compact JSON: the standard encoder with "," and ":" and non-ASCII kept."""

import json
import math
import traceback

import pytest

from glimet_work import tervix_main
from glimet_work.duty_main import GlimetWorkMain, TERVIXWorkMain


def reference(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def insertion_ordered():
    d = {"b": 1}
    d["a"] = 2
    return d


CASES = [
    ([1, 2.5, None, True, False], "[1,2.5,null,true,false]"),
    ({}, "{}"),
    ([], "[]"),
    (insertion_ordered(), '{"b":1,"a":2}'),
    ({"名": [1, 2.5, None, True]}, '{"名":[1,2.5,null,true]}'),
    ("张三\n", '"张三\\n"'),
    ((1, 2), "[1,2]"),
    (float("nan"), "NaN"),
    ([float("inf"), -math.inf], "[Infinity,-Infinity]"),
    (10**30, "1" + "0" * 30),
    (None, "null"),
    ({1: "a", 2.5: "b", False: "c", None: "d"}, '{"1":"a","2.5":"b","false":"c","null":"d"}'),
    ('q"b\\c\x01\x1f\t', '"q\\"b\\\\c\\u0001\\u001f\\t"'),
    ("\ud800", '"\ud800"'),
    ({"a": {"b": [{"c": ()}]}}, '{"a":{"b":[{"c":[]}]}}'),
]


@pytest.mark.parametrize("value, text", CASES)
def test_compact_json(value, text):
    assert TERVIXWorkMain._json_dumps(value) == text == reference(value)
    assert GlimetWorkMain()._json_dumps(data=value) == text


def cyclic():
    items = []
    items.append(items)
    return items


@pytest.mark.parametrize(
    "value, error",
    [({1, 2}, TypeError), (b"x", TypeError), (object(), TypeError), ({(1, 2): 3}, TypeError),
     (cyclic(), ValueError)],
)
def test_encoder_errors_pass_through(value, error):
    with pytest.raises(error) as got:
        TERVIXWorkMain._json_dumps(value)
    with pytest.raises(error) as expected:
        reference(value)
    assert str(got.value) == str(expected.value)
    names = [e.name for e in traceback.extract_tb(got.value.__traceback__)]
    assert "tervix_main.TERVIXWorkMain._json_dumps" in names


class RecordingJson:
    def __init__(self):
        self.calls = []

    def dumps(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return "recorded"


@pytest.fixture
def restore_json():
    saved = tervix_main.json
    yield
    tervix_main.json = saved


def test_json_is_looked_up_at_each_call(restore_json):
    recorder = RecordingJson()
    tervix_main.json = recorder
    value = {"a": 1}
    assert TERVIXWorkMain._json_dumps(value) == "recorded"
    ((args, kwargs),) = recorder.calls
    assert args[0] is value and len(args) == 1
    assert kwargs == {"separators": (",", ":"), "ensure_ascii": False}
    assert list(kwargs) == ["separators", "ensure_ascii"]


def test_separators_tuple_is_built_once(restore_json):
    recorder = RecordingJson()
    tervix_main.json = recorder
    TERVIXWorkMain._json_dumps(1)
    TERVIXWorkMain._json_dumps(2)
    first, second = (kwargs["separators"] for _, kwargs in recorder.calls)
    assert first is second


def test_missing_json_gives_name_error(restore_json):
    del tervix_main.json
    with pytest.raises(NameError, match="name 'json' is not defined"):
        TERVIXWorkMain._json_dumps(1)


def test_json_without_dumps_gives_attribute_error(restore_json):
    tervix_main.json = object()
    with pytest.raises(AttributeError):
        TERVIXWorkMain._json_dumps(1)


def test_result_returned_unchanged(restore_json):
    marker = object()

    class Fake:
        @staticmethod
        def dumps(*args, **kwargs):
            return marker

    tervix_main.json = Fake
    assert TERVIXWorkMain._json_dumps(1) is marker
