"""SaaS request signing: _tervix_saas_sign (bodies) and _tervix_saas_sign_params (parameters)."""

import builtins
import decimal
import gc
import hashlib
import json
import os
import sys
import traceback

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from glimet_work import tervix_main
from glimet_work.duty_main import GlimetWorkMain

from signing_helpers import (BODY, BOTH, DEFAULT_SALT, NOW, PARAMS, PRODUCTION_SALT, T, FakeTime,
                             RecordingCrypt, reference, sign, signed_text, stamp_piece)


class PlainMapping:
    """Not a dict: only the operations the signers may use."""

    def __init__(self, entries):
        self.entries = dict(entries)

    def __iter__(self):
        return iter(self.entries)


for _name in ("get", "update", "pop", "__getitem__"):
    setattr(PlainMapping, _name, lambda self, *a, _n=_name, **k: getattr(self.entries, _n)(*a, **k))


def recording(base):
    """`base` with every call of the operations the signers may use logged in `log`."""

    def logged(name):
        def method(self, *args, **kwargs):
            self.log.append((name, args, kwargs))
            return getattr(base, name)(self, *args, **kwargs)

        return method

    names = ("get", "update", "pop", "__iter__", "__getitem__")
    return type(f"Recording{base.__name__}", (base,), {n: logged(n) for n in names} | {"log": []})


def test_body_worked_example(crypt):
    body = {"b": True, "a": [1, 2], "c": None}
    signed = GlimetWorkMain()._tervix_saas_sign(body, env="")
    assert signed_text(crypt) == f"a=[1,2]&b=true&c=null&saas_sign_timespan={T}" + DEFAULT_SALT
    assert list(signed.items()) == [
        ("a", [1, 2]), ("b", True), ("c", None), ("saas_sign_timespan", T), ("saas_sign", "SIG1"),
    ]  # fmt: skip
    assert list(body.items()) == [
        ("b", True),
        ("a", [1, 2]),
        ("c", None),
        ("saas_sign_timespan", T),
    ]


def test_params_worked_example(crypt):
    params = {"page": 1, "name": "张三", "active": True, "tags": ["a", "b"], "memo": None}
    assert GlimetWorkMain()._tervix_saas_sign_params(params) is params
    text = (
        'active=["true"]&memo=["null"]&name=["张三"]&page=["1"]'
        f"&saas_sign_timespan=[\"{T}\"]&tags=[\"['a', 'b']\"]" + DEFAULT_SALT
    )
    assert signed_text(crypt) == text
    assert crypt.printed == [((text,), {})]  # one call of the built-in print
    assert list(params) == ["page", "name", "active", "tags", "memo"] + [
        "saas_sign_timespan",
        "saas_sign",
    ]
    assert params["saas_sign_timespan"] == T and params["saas_sign"] == "SIG1"


@pytest.mark.parametrize("op", BOTH)
def test_signature_is_m_crypt_sha256_upper(op, monkeypatch, capsys):
    monkeypatch.setattr(tervix_main, "time", FakeTime(NOW))
    result = sign(op, {"k": "值"}, "prod")
    text = ("k=值" if op == BODY else 'k=["值"]') + f"&{stamp_piece(op)}{PRODUCTION_SALT}"
    assert result["saas_sign"] == hashlib.sha256(text.encode()).hexdigest().upper()
    assert capsys.readouterr().out == ("" if op == BODY else text + "\n")


MISSING = object()
STAMPS = [  # update_time, stored "saas_sign_timespan", the value kept and signed
    (True, MISSING, T), (True, 123, T), ("yes", 123, T), (False, 123, 123), (False, "123", "123"),
    (0, 7.5, 7.5), (False, MISSING, T), (False, None, T), (False, 0, T), (None, "", T),
]  # fmt: skip


@pytest.mark.parametrize("op", BOTH)
@pytest.mark.parametrize("update_time, stored, expected", STAMPS)
def test_update_time_rules(crypt, op, update_time, stored, expected):
    mapping = recording(dict)({} if stored is MISSING else {"saas_sign_timespan": stored})
    mapping["x"] = 1
    sign(op, mapping, "", update_time)
    stamped = ("saas_sign_timespan", expected)  # replaced or kept in its place, or added last
    assert list(dict.items(mapping))[:2] == (
        [("x", 1), stamped] if stored is MISSING else [stamped, ("x", 1)]
    )
    gets = [call for call in mapping.log if call[0] == "get"]
    assert gets == ([] if update_time else [("get", ("saas_sign_timespan",), {})])
    assert stamp_piece(op, expected) in signed_text(crypt)


@pytest.mark.parametrize(
    "reading, milliseconds",
    [
        (NOW, T),
        (5, 5000),
        (-0.0015, -1),
        (decimal.Decimal("1.2345"), 1234),
        (2.0**53, 2**53 * 1000),
    ],
)
def test_timestamp_is_time_times_1000_truncated(crypt, monkeypatch, reading, milliseconds):
    monkeypatch.setattr(tervix_main, "time", FakeTime(reading))
    stamped = sign(BODY, {})["saas_sign_timespan"]
    assert type(stamped) is int and stamped == milliseconds


DictSubclass = type("DictSubclass", (dict,), {})
ListSubclass = type("ListSubclass", (list,), {})


class Shouting(str):
    def __str__(self):
        return self.upper()


VALUES = [  # op, value, its text in the signed text
    (BODY, True, "true"), (BODY, False, "false"), (BODY, None, "null"), (BODY, "True", "true"),
    (BODY, "xNone", "xnull"), (BODY, "Truely", "Truely"), (BODY, "True&x", "true&x"),
    (BODY, {"k": [True, None]}, '{"k":[true,null]}'), (BODY, DictSubclass(x="é"), '{"x":"é"}'),
    (BODY, ListSubclass([False]), "[false]"), (BODY, (1, True), "(1, True)"),
    (BODY, frozenset({None}), "frozenset({None})"), (BODY, 1.5, "1.5"), (BODY, "a&b=c", "a&b=c"),
    (PARAMS, True, '["true"]'), (PARAMS, False, '["false"]'), (PARAMS, None, '["null"]'),
    (PARAMS, "True", '["true"]'), (PARAMS, "None", '["null"]'),
    (PARAMS, [True, None], '["[True, None]"]'),
    (PARAMS, {"k": False}, "[\"{'k': False}\"]"), (PARAMS, "x True&y", '["x true&y"]'),
    (PARAMS, "NotTrue", '["NotTrue"]'), (PARAMS, 1, '["1"]'), (PARAMS, 1.5, '["1.5"]'),
    (PARAMS, Shouting("quiet"), '["QUIET"]'), (PARAMS, 'say "hi"', r'["say \"hi\""]'),
    (PARAMS, "a\\b", r'["a\\b"]'), (PARAMS, "\b\f\n\r\t", r'["\b\f\n\r\t"]'),
    (PARAMS, "\x00\x1f\x7f", '["\\u0000\\u001f\x7f"]'), (PARAMS, "张三 é", '["张三 é"]'),
    (PARAMS, "a&b=c", '["a&b=c"]'),
]  # fmt: skip


@pytest.mark.parametrize("key", ["a", "z"])  # before the timestamp's piece, and the last piece
@pytest.mark.parametrize("op, value, shown", VALUES)
def test_value_text(crypt, key, op, value, shown):
    mapping = {key: value}
    sign(op, mapping)
    pieces = sorted([f"{key}={shown}", stamp_piece(op)])
    assert signed_text(crypt) == "&".join(pieces) + DEFAULT_SALT
    assert mapping[key] is value


def test_params_values_go_through_module_json(crypt, monkeypatch):
    calls = []
    dumps = lambda *args, **kwargs: calls.append((args, kwargs)) or f"<{args[0][0]}>"
    monkeypatch.setattr(tervix_main, "json", type("Json", (), {"dumps": staticmethod(dumps)}))
    sign(PARAMS, {"b": 2, "a": "x"})
    assert calls == [((["x"],), {"ensure_ascii": False}), ((["2"],), {"ensure_ascii": False}),
                     (([str(T)],), {"ensure_ascii": False})]  # fmt: skip
    assert signed_text(crypt) == f"a=<x>&b=<2>&saas_sign_timespan=<{T}>" + DEFAULT_SALT


@pytest.mark.parametrize("rebind", ["module", "dumps"])
def test_params_json_rebound_while_signing(crypt, monkeypatch, rebind):
    # A value whose str() rebinds `json` (or patches json.dumps): every later key uses the new
    # one, the earlier keys were made by the standard encoder.
    calls = []

    def dumps(*args, **kwargs):
        calls.append(args[0][0])
        return f"<{args[0][0]}>"

    class Rebinder:
        def __str__(self):
            if rebind == "module":
                monkeypatch.setattr(tervix_main, "json", type("J", (), {"dumps": dumps}))
            else:
                monkeypatch.setattr(json, "dumps", dumps)
            return "r"

    sign(PARAMS, {"a": 1, "b": Rebinder(), "c": 2, "d": "x"})
    assert calls == ["r", "2", "x", str(T)]
    assert signed_text(crypt) == (
        f'a=["1"]&b=<r>&c=<2>&d=<x>&saas_sign_timespan=<{T}>' + DEFAULT_SALT
    )


class Pretender:
    """A dict as isinstance sees it, through __class__."""

    __class__ = property(lambda self: dict)
    __format__ = lambda self, spec: "pretender"


def test_body_json_dumps_is_looked_up_on_self(crypt):
    seen = []

    class Signer(GlimetWorkMain):
        def _json_dumps(self, data):
            seen.append(data)
            return len(seen)  # not a str: rendered like any value

    body = {"l": [1], "d": {}, "t": (1,), "p": Pretender(), "s": "x"}
    signer = Signer()
    signer._tervix_saas_sign(body)
    assert seen == [{}, [1], body["p"]]
    assert signed_text(crypt) == f"d=1&l=2&p=3&s=x&saas_sign_timespan={T}&t=(1,)" + DEFAULT_SALT
    signer._json_dumps = lambda data: "own"
    signer._tervix_saas_sign({"l": []})
    assert crypt.calls[-1][0][0].startswith("l=own&")


class EqualsEverything:
    __hash__ = None
    __eq__ = lambda self, other: True


ENVS = [
    ("prod", PRODUCTION_SALT), (Shouting("prod"), PRODUCTION_SALT),
    (EqualsEverything(), PRODUCTION_SALT),
    ("", DEFAULT_SALT), ("Prod", DEFAULT_SALT), (" prod", DEFAULT_SALT), ("prod ", DEFAULT_SALT),
    (None, DEFAULT_SALT), (0, DEFAULT_SALT), (b"prod", DEFAULT_SALT), (["prod"], DEFAULT_SALT),
]  # fmt: skip


@pytest.mark.parametrize("op", BOTH)
@pytest.mark.parametrize("env, salt", ENVS)
def test_env_selects_constant(crypt, op, env, salt):
    result = sign(op, {}, env)  # an empty mapping is signed over its timestamp alone
    assert signed_text(crypt) == stamp_piece(op) + salt
    assert list(result) == ["saas_sign_timespan", "saas_sign"]


@pytest.mark.parametrize("base", [dict, PlainMapping])
@pytest.mark.parametrize("op", BOTH)
@pytest.mark.parametrize("update_time", [True, False])
def test_call_log(crypt, base, op, update_time):
    mapping = recording(base)({"b": 2, "saas_sign": "old", "a": 1})
    result = sign(op, mapping, "", update_time)
    assert mapping.log == [
        *([("get", ("saas_sign_timespan",), {})] if not update_time else []),
        ("update", (), {"saas_sign_timespan": T}), ("pop", ("saas_sign", None), {}),
        ("__iter__", (), {}),
        *[("__getitem__", (key,), {}) for key in ["a", "b", "saas_sign_timespan"]],
        *([("update", (), {"saas_sign": "SIG1"})] if op == PARAMS else []),
    ]  # fmt: skip
    assert (result is mapping) == (op == PARAMS) and list(result)[-1] == "saas_sign"
    assert "old" not in signed_text(crypt)


class Boom:
    def __format__(self, spec):
        raise ValueError("format boom")

    def __str__(self):
        raise ValueError("str boom")


class BadKey(str):
    def __format__(self, spec):
        raise ValueError("key boom")


def raising(message):
    def fail(*args):
        raise ValueError(message)

    return fail


BadEq = type("BadEq", (), {"__eq__": raising("eq boom"), "__hash__": None})
BadTruth = type("BadTruth", (), {"__bool__": raising("bool boom")})
EqualsBadTruth = type("EqualsBadTruth", (), {"__eq__": lambda s, o: BadTruth(), "__hash__": None})


def remove(name):
    return lambda monkeypatch, crypt: monkeypatch.delattr(tervix_main, name)


def failing_sha256(monkeypatch, crypt):
    monkeypatch.setattr(crypt, "sha256", raising("sha boom"))


UNORDERABLE = r"'<' not supported between instances of '(int|str)' and '(int|str)'"
FAILURES = [  # ops, extra entries, env, set-up, error, message, genexpr entry, stamped, printed
    (BOTH, {1: "x"}, "", None, TypeError, UNORDERABLE, False, True, False),
    (BOTH, {}, "", remove("time"), NameError, "name 'time' is not defined", False, False, False),
    (BOTH, {}, "", remove("m_crypt"), NameError, "name 'm_crypt' is not", False, True, True),
    ([PARAMS], {}, "", remove("json"), NameError, "name 'json' is not defined", False, True, False),
    ([BODY], {"v": Boom()}, "", None, ValueError, "format boom", True, True, False),
    ([PARAMS], {"v": Boom()}, "", None, ValueError, "str boom", False, True, False),
    (BOTH, {BadKey("k"): 1}, "", None, ValueError, "key boom", True, True, False),
    ([BODY], {"v": [{1}]}, "", None, TypeError, "set is not JSON serializable", True, True, False),
    (BOTH, {}, BadEq(), None, ValueError, "eq boom", False, True, False),
    (BOTH, {}, EqualsBadTruth(), None, ValueError, "bool boom", False, True, False),
    (BOTH, {}, "", failing_sha256, ValueError, "sha boom", False, True, True),
]  # fmt: skip


@pytest.mark.parametrize(
    "op, extra, env, setup, error, message, genexpr, stamped, printed",
    [
        pytest.param(op, *case[1:], id=f"{op}-{i}")
        for i, case in enumerate(FAILURES)
        for op in case[0]
    ],
)
def test_failure_keeps_earlier_changes(
    crypt, monkeypatch, op, extra, env, setup, error, message, genexpr, stamped, printed
):
    if setup:
        setup(monkeypatch, crypt)
    mapping = {"saas_sign": "old", "a": 1, **extra}
    with pytest.raises(error, match=message) as excinfo:
        sign(op, mapping, env)

    # Below the test's and sign's frames: the operation's entry, the piece's, then user code.
    entries = traceback.extract_tb(excinfo.tb)[2:]
    name = "tervix_main.TERVIXWorkMain." + op
    ours = [name] + [name + ".genexpr"] * genexpr
    assert [entry.name for entry in entries[: len(ours)]] == ours
    in_source = [entry.filename.endswith("tervix_main/signing.cpp") for entry in entries]
    assert in_source == [True] * len(ours) + [False] * (len(entries) - len(ours))

    untouched = {"saas_sign": "old", "a": 1, **extra}
    stamped_mapping = {**untouched, "saas_sign_timespan": T}
    del stamped_mapping["saas_sign"]
    assert mapping == (stamped_mapping if stamped else untouched)
    assert bool(crypt.printed) == (printed and op == PARAMS)


class Clearing:
    """Clears the mapping it is stored in when rendered, and renders as "c"."""

    def __init__(self, target):
        self.target = target

    def __format__(self, spec):
        self.target.clear()
        return "c"

    __str__ = lambda self: self.__format__("")


@pytest.mark.parametrize("op", BOTH)
def test_value_clearing_the_caller_dict(crypt, op):
    mapping = {"b": 2}
    mapping["a"] = Clearing(mapping)
    if op == BODY:  # the copy is signed whole
        assert list(sign(op, mapping)) == ["a", "b", "saas_sign_timespan", "saas_sign"]
        assert signed_text(crypt) == f"a=c&b=2&saas_sign_timespan={T}" + DEFAULT_SALT
    else:  # the next key is gone from the caller's dict
        with pytest.raises(KeyError, match="'b'"):
            sign(op, mapping)
    assert mapping == {}


class ClearsTheCopy:
    """Empties the dicts that hold it, the caller's apart, when formatted: the sorted copy is
    reachable through gc.get_referrers."""

    caller = None

    def __format__(self, spec):
        for holder in gc.get_referrers(self):
            if type(holder) is dict and holder is not ClearsTheCopy.caller:
                holder.clear()
        return "c"


@pytest.mark.parametrize("signer", [GlimetWorkMain(), reference.ReferenceWorkMain()])
def test_value_clearing_the_sorted_copy(crypt, monkeypatch, signer):
    monkeypatch.setattr(reference, "m_crypt", crypt)
    mapping = ClearsTheCopy.caller = {"a": ClearsTheCopy(), "b": 2}
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration") as info:
        signer._tervix_saas_sign(mapping)
    names = [entry.name for entry in traceback.extract_tb(info.tb)]
    assert names[-2:] == (["tervix_main.TERVIXWorkMain._tervix_saas_sign",
                           "tervix_main.TERVIXWorkMain._tervix_saas_sign.genexpr"]
                          if isinstance(signer, GlimetWorkMain) else ["_pieces", "<genexpr>"])
    assert crypt.calls == []


class ClearingKey(str):
    """A key whose ordering clears `target`, whichever side of the comparison it is on."""

    target = None

    def __lt__(self, other):
        ClearingKey.target.clear()
        return str.__lt__(self, other)

    def __gt__(self, other):
        ClearingKey.target.clear()
        return str.__gt__(self, other)


@pytest.mark.parametrize("op", BOTH)
def test_key_ordering_clearing_the_caller_dict(crypt, op):
    mapping = ClearingKey.target = {ClearingKey("k"): 1, "a": 2}
    with pytest.raises(KeyError):
        sign(op, mapping)


NotText = type("NotText", (), {"__format__": lambda s, spec: 42, "__str__": lambda s: 42})


@pytest.mark.parametrize(
    "op, message",
    [(BODY, "__format__ must return a str, not int"), (PARAMS, "__str__ returned non-string")],
)
def test_rendering_to_non_text(crypt, op, message):
    with pytest.raises(TypeError, match=message):
        sign(op, {"v": NotText()})


@pytest.mark.parametrize("op", BOTH)
def test_lone_surrogates(crypt, monkeypatch, op):
    sign(op, {"\ud800": "\udfff"})
    assert ("&\ud800=\udfff&" if op == BODY else '&\ud800=["\udfff"]&') in signed_text(crypt)
    monkeypatch.setattr(tervix_main, "m_crypt", reference.m_crypt)  # signs UTF-8: refuses them
    with pytest.raises(UnicodeEncodeError):
        sign(op, {"\ud800": "\udfff"})


@pytest.mark.parametrize("op", BOTH)
def test_no_reference_leaks(crypt, op):
    key, value = "leaky key", ["shared", True]

    def run():
        for _ in range(200):
            sign(op, {key: value, "saas_sign": value})
            with pytest.raises(TypeError):
                sign(op, {key: value, 0: value})
            with pytest.raises(ValueError):
                sign(op, {key: value, "v": Boom()})
        crypt.calls.clear()
        crypt.printed.clear()
        gc.collect()

    run()  # the first calls make what the module keeps for the process
    before = sys.getrefcount(key), sys.getrefcount(value)
    run()
    assert (sys.getrefcount(key), sys.getrefcount(value)) == before


WORDS = ["True", "False", "None", "True&", '"None"', "&", "=", "é", "张", "\ud800", '"', "\\", "\n",
         # quoted words that share a quote: each word's rewrite still takes its own
         '"None"False"', '"True"True"', 'x"False"None"True"']
words = st.sampled_from(WORDS)
texts = st.text(max_size=6) | words | st.builds(str.__add__, words, words)
values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | texts,
    lambda inner: (
        st.lists(inner, max_size=3) | st.dictionaries(texts, inner, max_size=3) | st.tuples(inner)
    ),
    max_leaves=6,
)


@settings(max_examples=int(os.environ.get("GLIMET_FUZZ_EXAMPLES", "1000")), deadline=None)
@given(
    op=st.sampled_from(BOTH),
    entries=st.dictionaries(
        texts | st.sampled_from(["saas_sign", "saas_sign_timespan"]), values, max_size=8
    ),
    int_key=st.integers(0, 9),
    env=st.sampled_from(["", "prod", "Prod", None]),
    update_time=st.sampled_from([True, False, 0, 1]),
)
def test_matches_plain_python_rendering(op, entries, int_key, env, update_time):
    if int_key == 0:  # now and then a key that cannot be ordered
        entries = {**entries, 0: "unorderable"}
    outcomes = []
    signers = [(GlimetWorkMain(), tervix_main), (reference.ReferenceWorkMain(), reference)]
    for signer, module in signers:
        crypt = RecordingCrypt()
        with pytest.MonkeyPatch.context() as monkeypatch:
            monkeypatch.setattr(module, "time", FakeTime(NOW))
            monkeypatch.setattr(module, "m_crypt", crypt)
            monkeypatch.setattr(builtins, "print", lambda *a, c=crypt, **k: c.calls.append(a))
            caller = dict(entries)
            try:
                result = getattr(signer, op)(caller, env, update_time)
                outcome = (list(result.items()), result is caller)
            except Exception as error:  # noqa: BLE001 -- failures are compared too
                outcome = (type(error), str(error))
        outcomes.append((outcome, list(caller.items()), crypt.calls))
    assert outcomes[0] == outcomes[1]


