"""The fast routes' compact JSON must be indistinguishable from the standard encoder's, and the
guard that lets them write it must notice every change to the encoder."""

import json
import math
import os
import subprocess
import sys
import types

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from glimet_work import tervix_main
from glimet_work._build import FAST_ROUTES
from glimet_work.duty_main import GlimetWorkMain, TERVIXWorkMain

dumps = TERVIXWorkMain._json_dumps


_standard_dumps = json.dumps


def reference(value):
    return _standard_dumps(value, separators=(",", ":"), ensure_ascii=False)


def outcome(function, value):
    try:
        return "ok", function(value)
    except (TypeError, ValueError, RecursionError) as error:
        return type(error).__name__, str(error)


# Every character class matters: controls, quote, backslash, non-ASCII of each width and
# lone surrogates.
texts = st.text(st.characters(codec=None, categories=None), max_size=12) | st.sampled_from(
    ['"', "\\", "\x00\x1f\x7f", "\ud800x\udfff", "名字", "😀", "\u2028"]
)
huge_ints = st.sampled_from([4299, 4300, 19, 20]).map(lambda n: 10**n) | st.just(-(2**63) - 1)
scalars = (
    st.none()
    | st.booleans()
    | st.integers()
    | huge_ints
    | st.floats(allow_nan=True, allow_infinity=True)
    | texts
)
keys = st.none() | st.booleans() | st.integers() | st.floats() | texts
values = st.recursive(
    scalars,
    lambda inner: st.lists(inner, max_size=5)
    | st.lists(inner, max_size=5).map(tuple)
    | st.dictionaries(keys, inner, max_size=5),
    max_leaves=40,
)


# `make fuzz` raises the count.
EXAMPLES = int(os.environ.get("GLIMET_FUZZ_EXAMPLES", "3000"))


@settings(max_examples=EXAMPLES, deadline=None)
@given(values)
def test_matches_standard_encoder(value):
    assert outcome(dumps, value) == outcome(reference, value)


class Text(str):
    pass


class Number(int):
    pass


def nested(depth, leaf):
    for _ in range(depth):
        leaf = [leaf]
    return leaf


def cyclic_dict():
    d = {}
    d["self"] = d
    return d


ODD_VALUES = [
    Text("x"),  # subclasses go to the encoder, which may treat them its own way
    [Number(3)],
    {Text("k"): 1},
    {(1, 2): 3},
    {"a": {1, 2}},
    [b"bytes"],
    nested(99, 1),
    nested(150, "deep"),
    nested(5000, None),
    cyclic_dict(),
    [float("nan"), {float("inf"): -0.0}],
    {1: 1, 1.0: 2, "1": 3},
]


@pytest.mark.parametrize("value", ODD_VALUES, ids=range(len(ODD_VALUES)))
def test_values_outside_the_plain_types(value):
    assert outcome(dumps, value) == outcome(reference, value)


@pytest.fixture
def restore_json():
    saved = tervix_main.json, json.dumps, json.JSONEncoder
    yield
    tervix_main.json, json.dumps, json.JSONEncoder = saved


def recording_dumps(calls):
    def dumps_(*args, **kwargs):
        calls.append(args)
        return reference(args[0])

    return dumps_


@pytest.mark.parametrize("how", ["rebind module", "patch dumps", "patch encoder class"])
def test_rebinding_or_patching_turns_the_direct_path_off(restore_json, how):
    calls = []
    if how == "rebind module":
        tervix_main.json = types.SimpleNamespace(dumps=recording_dumps(calls))
    elif how == "patch dumps":
        json.dumps = recording_dumps(calls)
    else:

        class Encoder(json.JSONEncoder):
            def encode(self, o):
                calls.append((o,))
                return "patched"

        json.JSONEncoder = Encoder
        assert dumps([1]) == "patched" and calls == [([1],)]
        return
    assert dumps({"a": [1]}) == '{"a":[1]}'
    assert calls == [({"a": [1]},)]


def test_floats_and_ints_use_base_repr():
    class F(float):
        def __repr__(self):
            return "custom"

    assert dumps([1.0, 1e16, 1e-7, -0.0, 123456789012345678901234567890]) == (
        "[1.0,1e+16,1e-07,-0.0,123456789012345678901234567890]"
    )
    assert dumps([F(2.5)]) == reference([F(2.5)])


def test_digit_limit_error_is_the_encoders():
    old = sys.get_int_max_str_digits()
    try:
        sys.set_int_max_str_digits(1000)
        assert outcome(dumps, [10**1500]) == outcome(reference, [10**1500])
        assert outcome(dumps, {10**1500: 1}) == outcome(reference, {10**1500: 1})
    finally:
        sys.set_int_max_str_digits(old)


@settings(max_examples=EXAMPLES, deadline=None)
@given(st.floats(allow_nan=False) | st.integers(0, 2**64 - 1).map(
    lambda bits: __import__("struct").unpack("<d", bits.to_bytes(8, "little"))[0]))
def test_float_text_is_repr(x):
    assert dumps(x) == reference(x)


@pytest.mark.parametrize(
    "x", [0.0, -0.0, 1e16, 1e15, 123456789012345678.0, 1e-4, 1e-5, 0.1, 5e-324, 1.7976931348623157e308,
          9999999999999998.0, 0.00012345, 1.5, 100.0, 9.999999999999999e-05, 1.0000000000000002e-4,
          -1e-4, -9999999999999998.0]
)
def test_float_text_boundaries(x):
    assert dumps(x) == repr(x)


# Powers of two (whose lower neighbour is nearer), powers of ten and their neighbours, and the
# edges of the positional form, in every binade.
def _float_boundaries():
    for x in [math.ldexp(1.0, e) for e in range(-1074, 1024)] + [10.0**k for k in range(-30, 30)]:
        for y in (x, math.nextafter(x, 0), math.nextafter(x, math.inf), 1.5 * x, 3 * x, 0.1 * x):
            yield from (y, -y)


# Written straight into one-byte text, or after a wider character; runs of floats broken by
# non-finite ones and other items.
@pytest.mark.parametrize("before", [[], ["\u540d"]])
def test_float_text_sweep(before):
    values = [x for x in _float_boundaries() if math.isfinite(x)]
    values[40:40] = [math.nan, 1.5, math.inf, "x", -math.inf]
    values = before + values
    assert dumps(values) == reference(values)


# Strings either side of every block width (16 bytes of characters stored 1, 2 or 4 bytes
# each), of every str kind, with an escape at every position, after text of every kind.
SWEEP_FILLS = ["a", "\xe9", "\u540d", "\U0001f600"]
SWEEP_ESCAPES = ['"', "\\", "\x00", "\n", "\x1f"]


@pytest.mark.parametrize("fill", SWEEP_FILLS)
def test_string_sweep(fill):
    texts = []
    for n in range(0, 50):
        texts.append(fill * n)
        for position in range(n):
            escape = SWEEP_ESCAPES[position % len(SWEEP_ESCAPES)]
            texts.append(fill * position + escape + fill * (n - position - 1))
        texts.append(fill * n + "\x7f\u2028\ud800")  # passed as they are
    for before in SWEEP_FILLS:
        value = [before, *texts]
        assert dumps(value) == reference(value)
    assert dumps(dict.fromkeys(texts, 0)) == reference(dict.fromkeys(texts, 0))


def test_scalar_kernels_write_the_same():
    # GLIMET_SIMD=off holds every kernel to its scalar body; the sweep's strings, in every
    # kind of text, must come out as the standard encoder writes them all the same.
    code = f"""
import json, glimet_crypt
from glimet_work.duty_main import GlimetWorkMain
assert set(glimet_crypt._kernels.values()) == {{"scalar"}}, glimet_crypt._kernels
fills, escapes = {SWEEP_FILLS!r}, {SWEEP_ESCAPES!r}
texts = [f * p + escapes[p % 5] + f * (n - p - 1) for f in fills for n in range(40)
         for p in range(n)]
for before in fills:
    value = [before, *texts, 1.5, -(10**12), {{"k": texts[:50]}}]
    assert GlimetWorkMain._json_dumps(value) == json.dumps(value, separators=(",", ":"),
                                                           ensure_ascii=False)
print("same")
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env={**os.environ, "GLIMET_SIMD": "off"})
    assert (done.returncode, done.stdout) == (0, "same\n"), done.stderr


@pytest.mark.parametrize("wider", ["\xe9", "\u540d", "\U0001f600"])
@pytest.mark.parametrize("count", [10, 200_000])  # short texts, and ones past any scratch buffer
def test_text_widened_late(wider, count):
    numbers = [10**k - 1 for k in range(1, 20)] + [-(10**k) for k in range(19)]  # every length
    value = [f"item {i} " * 3 for i in range(count)] + [wider, {"k": wider * 3}, numbers]
    assert dumps(value) == reference(value)


def _patch_kwdefaults(monkeypatch):
    monkeypatch.setitem(json.dumps.__kwdefaults__, "sort_keys", True)


def _patch_string_encoder(monkeypatch):
    monkeypatch.setattr(json.encoder, "encode_basestring", lambda s: f'"<{s}>"')
    monkeypatch.setattr(json.encoder, "c_make_encoder", None)


def _patch_encode_method(monkeypatch):
    monkeypatch.setattr(json.JSONEncoder, "encode", lambda self, o: "encoded")


def _patch_module_class(monkeypatch):
    class Watched(types.ModuleType):
        reads = []

        def __getattribute__(self, name):
            Watched.reads.append(name)
            return super().__getattribute__(name)

    monkeypatch.setattr(json, "__class__", Watched)


def _patch_infinity(monkeypatch):
    monkeypatch.setattr(json.encoder, "INFINITY", "inf")  # json.dumps now fails on -INFINITY


def _patch_shadowed_builtin(monkeypatch):
    # encode() takes every value for a str, and encode_basestring refuses it
    monkeypatch.setattr(json.encoder, "isinstance", lambda o, t: True, raising=False)


def _patch_setattr(monkeypatch):
    def setattr_(self, name, value):
        object.__setattr__(self, name, ";" if name == "item_separator" else value)

    monkeypatch.setattr(json.JSONEncoder, "__setattr__", setattr_, raising=False)


def _patch_getattribute(monkeypatch):
    def getattribute(self, name):
        return "|" if name == "key_separator" else object.__getattribute__(self, name)

    monkeypatch.setattr(json.JSONEncoder, "__getattribute__", getattribute, raising=False)


PATCHES = [_patch_kwdefaults, _patch_string_encoder, _patch_encode_method, _patch_module_class,
           _patch_infinity, _patch_shadowed_builtin, _patch_setattr, _patch_getattribute]


@pytest.mark.parametrize("patch", PATCHES, ids=lambda p: p.__name__)
def test_patched_standard_encoder_is_honoured(monkeypatch, patch):
    # Whatever part of json.dumps is patched, the result is what json.dumps now gives, and a
    # signed body's list value is what json.dumps now gives for it.
    value = {"b": 1, "a": ["x", 2.5]}
    texts = []
    monkeypatch.setattr(tervix_main, "m_crypt", types.SimpleNamespace(
        sha256=lambda text, case: texts.append(text)))
    patch(monkeypatch)
    try:
        assert outcome(dumps, value) == outcome(reference, value)
        try:
            piece = "a=" + reference(value["a"]) + "&"
        except TypeError as error:
            with pytest.raises(type(error)):
                GlimetWorkMain()._tervix_saas_sign({"a": value["a"]})
        else:
            GlimetWorkMain()._tervix_saas_sign({"a": value["a"]})
            assert texts[0].startswith(piece)
    finally:
        # monkeypatch restores an inherited attribute into the class's own namespace
        monkeypatch.undo()
        for name in ("__setattr__", "__getattribute__"):
            if name in vars(json.JSONEncoder):
                delattr(json.JSONEncoder, name)


# Patches made before the toolkit is imported (json.dumps's keyword defaults, json.dumps
# replaced with one of the same signature, the string encoder, JSONEncoder.encode, the
# pure-Python encoder with another INFINITY), and patches of JSONEncoder.__new__, which a
# class never quite forgets, after it.
NEW = "json.JSONEncoder.__new__ = lambda cls, **kw: __import__('types').SimpleNamespace(encode=str)"
PATCHED_IN_A_FRESH_INTERPRETER = [
    ("before", "json.dumps.__kwdefaults__['sort_keys'] = True"),
    ("before", "json.dumps = lambda obj, *, skipkeys=False, ensure_ascii=True, "
     "check_circular=True, allow_nan=True, cls=None, indent=None, separators=None, "
     "default=None, sort_keys=False, **kw: 'replaced'"),
    ("before", "json.encoder.encode_basestring = lambda s: '\"<' + s + '>\"'"),
    ("before", "json.JSONEncoder.encode = lambda self, o: 'encoded'"),
    ("before", "json.encoder.c_make_encoder = None; json.encoder.INFINITY = 7.0"),
    ("after", NEW),
    ("after", NEW + "; del json.JSONEncoder.__new__"),
]


@pytest.mark.parametrize("when, patch", PATCHED_IN_A_FRESH_INTERPRETER)
def test_encoder_patched_in_a_fresh_interpreter_is_honoured(fresh, when, patch):
    out = fresh(
        f"""
        import json, json.encoder
        {patch if when == "before" else ""}
        from glimet_work import tervix_main
        from glimet_work.duty_main import GlimetWorkMain
        {patch if when == "after" else ""}

        texts = []
        tervix_main.m_crypt = type("Crypt", (), {{"sha256": lambda self, t, c: texts.append(t)}})()
        value = {{"b": [1, 2.5, "x", float("inf")], "a": None}}
        try:
            expected = json.dumps(value, separators=(",", ":"), ensure_ascii=False)
        except TypeError as error:
            expected = type(error)
        try:
            ours = GlimetWorkMain()._json_dumps(value)
            GlimetWorkMain()._tervix_saas_sign({{"a": value}})
            signed = texts[0].startswith(f"a={{expected}}&")
        except TypeError as error:
            ours, signed = type(error), True
        print(ours == expected, signed)
        """
    )
    assert out.split() == ["True", "True"]


# How a fast route recovers from a lack of memory is its own: nothing to test where the
# fast routes are compiled out.
FAST_ROUTES_ONLY = pytest.mark.skipif(not FAST_ROUTES, reason="fast routes compiled out")


@FAST_ROUTES_ONLY
def test_check_short_of_memory_is_made_again(fresh):
    # An allocation failing anywhere in the full check of the standard encoder leaves no
    # answer kept: the next call checks again and writes the text itself, which then was
    # allocated in the caller's frame rather than in json.encoder's.
    pytest.importorskip("_testcapi")
    out = fresh(
        """
        import _testcapi, json, tracemalloc
        from glimet_work.duty_main import TERVIXWorkMain

        value = {"k": [1, "\xe9"]}
        tracemalloc.start()
        writers = set()
        for start in range(60):
            json.encoder.touched = True  # the next call checks in full
            del json.encoder.touched
            _testcapi.set_nomemory(start, start + 1)
            try:
                TERVIXWorkMain._json_dumps(value)
            except MemoryError:
                pass
            finally:
                _testcapi.remove_mem_hooks()
            text = TERVIXWorkMain._json_dumps(value)
            writers.add(tracemalloc.get_object_traceback(text)[0].filename)
        print(*writers)
        """
    )
    assert out.split() == ["<string>"]


def test_recursion_budget_is_the_general_routes(fresh):
    # With the interpreter's recursion budget nearly used up, by Python frames or by C levels,
    # each operation encodes deep values, or refuses them with RecursionError, exactly as its
    # general route does. The general route is taken by _json_dumps when `json` is bound to a
    # stand-in holding json.dumps, and by the signers when a key is a str subclass.
    out = fresh(
        """
        import builtins, json, sys, types
        from glimet_work import tervix_main
        from glimet_work.duty_main import GlimetWorkMain

        builtins.print = lambda *args: None
        Key = type("Key", (str,), {})
        deep_list, deep_tuple, deep_points = 1, 1, [[1.5, 2.5], [3.5, 4.5]]
        for _ in range(60):
            deep_list, deep_tuple, deep_points = [deep_list], (deep_tuple,), [deep_points]
        work = GlimetWorkMain()

        stand_in = types.SimpleNamespace(dumps=json.dumps)

        def signer(operation, key, value):
            mapping = {key("k"): value, "saas_sign_timespan": 1}
            return lambda: getattr(work, operation)(mapping, "", False)["saas_sign"]

        # (call, `json` for it) by the fast route, and the same by the general route
        pairs = [((lambda: work._json_dumps(deep_list), json),
                  (lambda: work._json_dumps(deep_list), stand_in)),
                 ((lambda: work._json_dumps(deep_points), json),
                  (lambda: work._json_dumps(deep_points), stand_in))] + [
            ((signer(operation, str, value), json), (signer(operation, Key, value), json))
            for operation in ("_tervix_saas_sign", "_tervix_saas_sign_params")
            for value in (deep_list, deep_tuple)
        ]
        mismatches, climbed = [], [0]

        def outcome(call, json_module):
            tervix_main.json = json_module
            try:
                return call()
            except RecursionError:
                return "RecursionError"

        def descend(through_c):
            try:
                if through_c:  # each level a call from C as well
                    list(map(descend, [True]))
                else:
                    descend(False)
            except RecursionError:
                pass
            climbed[0] += 1
            if climbed[0] < 200:  # the levels nearest the limit
                for fast, general in pairs:
                    mismatches.append(outcome(*fast) != outcome(*general))

        descend(False)
        climbed[0] = 0
        sys.setrecursionlimit(100_000)
        descend(True)
        tervix_main.json = json
        sys.stdout.write(f"{len(mismatches) > 1500} {sum(mismatches)}")
        """
    )
    assert out.split() == ["True", "0"]


def test_tracing_sees_the_encoders_frames():
    # With a trace function set, json.dumps runs, and its frames are traced.
    seen = []

    def tracer(frame, event, arg):
        if event == "call":
            seen.append(frame.f_code.co_qualname)

    sys.settrace(tracer)
    try:
        dumps([1])
    finally:
        sys.settrace(None)
    assert "JSONEncoder.encode" in seen
