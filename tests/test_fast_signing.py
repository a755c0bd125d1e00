"""The signers' fast routes must sign exactly what their general routes sign: the clock read
directly, keys ordered by prefix and radix, plain values written without the interpreter, the
signed text made with its UTF-8, and the guards that let them step aside."""

import builtins
import decimal
import os
import pathlib
import random
import subprocess
import sys
import time

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from glimet_work import tervix_main
from glimet_work._build import FAST_ROUTES
from glimet_work.duty_main import GlimetWorkMain

from signing_helpers import (BODY, BOTH, NOW, PARAMS, T, FakeTime, RecordingCrypt, planted,
                             reference, sign, signed_text)

# Each signing operation beside its plain-Python rendering.
SIGNERS = [(GlimetWorkMain(), tervix_main), (reference.ReferenceWorkMain(), reference)]


@pytest.mark.parametrize("op", BOTH)
def test_timestamp_from_the_real_clock(crypt, monkeypatch, op):
    # With the module's own `time`, the clock is read directly: the stamp is what
    # int(time.time() * 1000) read at that moment gives.
    monkeypatch.setattr(tervix_main, "time", time)
    before = int(time.time() * 1000)
    stamped = sign(op, {})["saas_sign_timespan"]
    assert type(stamped) is int and before <= stamped <= int(time.time() * 1000)


@pytest.mark.parametrize("op", BOTH)
@pytest.mark.parametrize("patch", ["function", "module dict"])
def test_timestamp_follows_a_patched_time_time(crypt, monkeypatch, op, patch):
    # Patching time.time in the time module itself (as clock-freezing tools do) is seen.
    monkeypatch.setattr(tervix_main, "time", time)
    if patch == "function":
        monkeypatch.setattr(time, "time", lambda: NOW)
    else:
        monkeypatch.setitem(time.__dict__, "time", time.monotonic)
    expected = T if patch == "function" else None
    stamped = sign(op, {})["saas_sign_timespan"]
    if expected is None:
        assert abs(stamped - int(time.monotonic() * 1000)) < 60_000
    else:
        assert stamped == expected


@pytest.mark.parametrize("op", BOTH)
def test_time_lookup_error_is_time_times_error(crypt, monkeypatch, op):
    # A key on "time"'s probe chain in the time module's namespace whose __eq__ raises once:
    # time.time() raises it, and so does signing, having looked once.
    class Raising:
        armed, calls = False, 0
        def __hash__(self):
            return hash("time")
        def __eq__(self, other):
            if Raising.armed:
                Raising.calls += 1
                if Raising.calls == 1:
                    raise RuntimeError("lookup refused")
            return False

    monkeypatch.setattr(tervix_main, "time", time)
    with planted(time.__dict__, "time", Raising()):
        Raising.armed = True
        with pytest.raises(RuntimeError, match="lookup refused"):
            sign(op, {})
        Raising.armed = False
    assert Raising.calls == 1


@pytest.mark.parametrize("op, size", [(BODY, 100_000), (PARAMS, 20_000)])
def test_huge_dict(crypt, op, size):
    result = sign(op, {f"k{i:06d}": i for i in range(size)})
    assert len(result) == size + 2
    assert signed_text(crypt).count("&") == size + 1


key_texts = st.text(st.sampled_from("\x00\x01abÿĀ张😀"), max_size=20)


@settings(max_examples=int(os.environ.get("GLIMET_FUZZ_EXAMPLES", "300")), deadline=None)
@given(keys=st.lists(key_texts | key_texts.map(lambda k: "field_name_prefix_" + k), max_size=40))
def test_keys_sort_as_python_sorts_them(keys):
    # Keys that share long prefixes, hold NUL, or mix character widths order as sorted() does.
    body = dict.fromkeys(keys, 1)
    with pytest.MonkeyPatch.context() as monkeypatch:
        monkeypatch.setattr(tervix_main, "time", FakeTime(NOW))
        monkeypatch.setattr(tervix_main, "m_crypt", RecordingCrypt())
        signed = GlimetWorkMain()._tervix_saas_sign(body)
    assert list(signed) == sorted(body) + ["saas_sign"]


@pytest.mark.parametrize("seed", range(12))
@pytest.mark.parametrize("size", [255, 256, 1000, 5000])
def test_many_keys_sort_as_python_sorts_them(seed, size):
    # Dicts large enough to be ordered by prefix buckets: shared beginnings of every length
    # (past the 16 characters a prefix holds too), mixed widths, NUL and a few outliers.
    rng = random.Random(seed)
    alphabet = "\x00\x01abzÿĀ张😀"
    beginnings = ["", "field_", "field_name_prefix_", "field_name_prefix_x", "张三_", "ÿ"]
    keys = {rng.choice(beginnings) + "".join(rng.choices(alphabet, k=rng.randrange(0, 6)))
            for _ in range(size)}
    keys |= {"saas_sign_timespan_", "\U0010ffff", ""}
    body = dict.fromkeys(rng.sample(sorted(keys), len(keys)), 1)
    with pytest.MonkeyPatch.context() as monkeypatch:
        monkeypatch.setattr(tervix_main, "time", FakeTime(NOW))
        monkeypatch.setattr(tervix_main, "m_crypt", RecordingCrypt())
        signed = GlimetWorkMain()._tervix_saas_sign(body)
    assert list(signed) == sorted(body) + ["saas_sign"]


reprs = st.recursive(
    st.none()
    | st.booleans()
    | st.integers()
    | st.sampled_from([10**30, -(10**20)])
    | st.floats()
    | st.text(st.characters(codec=None), max_size=8)
    | st.sampled_from(["'", '"', "'\"", "\\", "\x7f", "\xa0", "\u2028", "\U0001f600", "\ud800"]),
    lambda inner: st.lists(inner, max_size=3)
    | st.lists(inner, max_size=2).map(tuple)
    | st.dictionaries(st.text(max_size=3) | st.integers(), inner, max_size=3),
    max_leaves=8,
)


@settings(max_examples=int(os.environ.get("GLIMET_FUZZ_EXAMPLES", "1000")), deadline=None)
@given(value=reprs)
def test_container_values_sign_as_their_str(value):
    # Plain containers are rendered without asking the interpreter: the signed text must hold
    # exactly str(value), as the plain-Python rendering does.
    texts = []
    for signer, module in SIGNERS:
        crypt = RecordingCrypt()
        with pytest.MonkeyPatch.context() as monkeypatch:
            monkeypatch.setattr(module, "time", FakeTime(NOW))
            monkeypatch.setattr(module, "m_crypt", crypt)
            monkeypatch.setattr(builtins, "print", lambda *a, **k: None)
            signer._tervix_saas_sign_params({"k": value})
        texts.append(crypt.calls[0][0][0])
    assert texts[0] == texts[1]


class MarkingJson:
    """A json module of someone else's: its dumps marks what it makes."""

    @staticmethod
    def dumps(value, **kwargs):
        import json

        return "<" + json.dumps(value, **kwargs) + ">"


class Rebinding:
    """A value whose str() binds the signing module's json to MarkingJson."""

    def __init__(self, module):
        self.module = module

    def __str__(self):
        self.module.json = MarkingJson
        return "rebound"


class Text(str):
    pass


# Bodies holding one value of another type among plain ones: the others still take the fast
# routes piece by piece, and must notice json rebound by the odd one's str().
MIXED = [
    lambda module: {"a": 1, "b": decimal.Decimal("1.50"), "c": "张三", "d": [1, "x"]},
    lambda module: {"a": Rebinding(module), "b": "x", "c": {"k": [1.5, None]}, "d": True},
    lambda module: {"a": Text("t&True"), "b": 2.5, "c": (1, "é")},
]


@pytest.mark.parametrize("op", BOTH)
@pytest.mark.parametrize("make", MIXED, ids=range(len(MIXED)))
def test_a_value_of_another_type_signs_as_plain_python_signs_it(op, make):
    texts = []
    for signer, module in SIGNERS:
        crypt = RecordingCrypt()
        with pytest.MonkeyPatch.context() as monkeypatch:
            monkeypatch.setattr(module, "time", FakeTime(NOW))
            monkeypatch.setattr(module, "m_crypt", crypt)
            monkeypatch.setattr(module, "json", module.json)  # put back after a rebinding
            monkeypatch.setattr(builtins, "print", lambda *a, **k: None)
            getattr(signer, op)(make(module))
        texts.append(crypt.calls[0][0][0])
    assert texts[0] == texts[1]


def test_planted_global_runs_where_plain_python_runs_it():
    # A key on "json"'s probe chain in the module namespace runs __eq__ at each lookup of
    # `json`; the first one changes a parameter already read and one not yet read. The signed
    # text is plain Python's, as the fast route steps aside. (How many times __eq__ runs is not
    # compared: a collection during it may change the namespace, and the lookup starts again.)
    outcomes = []
    for signer, module in SIGNERS:
        class Changing:
            armed, calls = False, 0
            def __hash__(self):
                return hash("json")
            def __eq__(self, other):
                if Changing.armed:
                    Changing.calls += 1
                    if Changing.calls == 1:
                        params.update(a="changed", b="changed")
                return False

        params = {"a": "x", "b": "y", "c": [1, "z"], "saas_sign_timespan": 1}
        crypt = RecordingCrypt()
        with pytest.MonkeyPatch.context() as monkeypatch:
            monkeypatch.setattr(module, "m_crypt", crypt)
            monkeypatch.setattr(builtins, "print", lambda *a, **k: None)
            with planted(module.__dict__, "json", Changing()):
                Changing.armed = True
                signer._tervix_saas_sign_params(params, update_time=False)
                Changing.armed = False
        outcomes.append((crypt.calls[0][0][0], Changing.calls > 0))
    assert outcomes[0] == outcomes[1]
    assert outcomes[0][0].count('"changed"') == 1


def _utf8_held(text):
    """The UTF-8 the interpreter hands out for `text` (the one the str keeps, once it has one)."""
    import ctypes

    as_utf8 = ctypes.pythonapi.PyUnicode_AsUTF8AndSize
    as_utf8.restype = ctypes.c_void_p
    as_utf8.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.c_ssize_t)]
    size = ctypes.c_ssize_t()
    address = as_utf8(text, ctypes.byref(size))
    return ctypes.string_at(address, size.value)


signed_chars = st.sampled_from(["a", "&", "é", "ÿ", "Ā", "张", "\uffff", "😀", "\U0010ffff"])


@settings(max_examples=int(os.environ.get("GLIMET_FUZZ_EXAMPLES", "300")), deadline=None)
@given(op=st.sampled_from(BOTH),
       runs=st.lists(st.tuples(st.integers(0, 40), signed_chars), max_size=6))
def test_signed_text_holds_its_own_utf8(op, runs):
    # The signed text is made with its UTF-8 already in it, for print and the hash to share:
    # runs of ASCII of every length around the encoder's blocks, and every width of character.
    value = "".join("x" * count + char for count, char in runs)
    crypt = RecordingCrypt()
    with pytest.MonkeyPatch.context() as monkeypatch:
        monkeypatch.setattr(tervix_main, "m_crypt", crypt)
        monkeypatch.setattr(builtins, "print", lambda *a, **k: None)
        getattr(GlimetWorkMain(), op)({"k": value})
    text = crypt.calls[0][0][0]
    if not text.isascii():  # (an ASCII text's UTF-8 is its own characters)
        # Held already, before anything asks for it: the str is larger than a fresh equal one
        # by exactly that UTF-8 and its NUL.
        fresh = "".join(list(text))
        assert sys.getsizeof(text) == sys.getsizeof(fresh) + len(text.encode()) + 1
    assert _utf8_held(text) == text.encode()


def test_signed_text_utf8_is_the_interpreters_to_free():
    # The debug allocator checks that the kept UTF-8 came from the allocator the interpreter
    # frees it with.
    done = subprocess.run(
        [sys.executable, "-c", "from glimet_work.duty_main import GlimetWorkMain as G\n"
         "for _ in range(50):\n"
         "    G()._tervix_saas_sign({'k': '张' * 3000}); G()._tervix_saas_sign({'k': 'é'})\n"
         "print('freed')"],
        capture_output=True, text=True, env={**os.environ, "PYTHONMALLOC": "debug"},
    )
    assert (done.returncode, done.stdout) == (0, "freed\n"), done.stderr


# How a fast route recovers from a lack of memory is its own: nothing to test where the
# fast routes are compiled out.
FAST_ROUTES_ONLY = pytest.mark.skipif(not FAST_ROUTES, reason="fast routes compiled out")


@FAST_ROUTES_ONLY
def test_declining_after_running_short_of_memory_leaves_the_text_writable(fresh):
    # The fast route grows the text for the long value (longer than a kept scratch buffer),
    # then declines at the set; when one of those first allocations fails, the general route
    # starts over and asks again, so the signature is made. Places further on fail in the
    # general route itself.
    pytest.importorskip("_testcapi")
    out = fresh(
        """
        import _testcapi
        from glimet_work.duty_main import GlimetWorkMain

        work, signed = GlimetWorkMain(), [None] * 3
        for start in range(3):
            body = {"a": "x" * 5_000_000, "z": {1}, "saas_sign_timespan": 1}
            _testcapi.set_nomemory(start, start + 1)
            try:
                signed[start] = "saas_sign" in work._tervix_saas_sign(body, "prod", False)
            except MemoryError:
                signed[start] = False
            finally:
                _testcapi.remove_mem_hooks()
        print(*signed)
        """
    )
    assert out.split() == ["True"] * 3


@pytest.mark.parametrize("simd", ["", "no-mark_scan"])
def test_literal_words_at_every_place_with_each_scan_body(simd):
    # The words, and near misses, at every place across the mark-scan kernel's blocks, in texts
    # of one, two and four bytes a character, with its SIMD body and with its scalar one: both
    # signers sign what the plain rendering signs (its printed text, for the parameters).
    code = f"""
import contextlib, io, sys
sys.path.insert(0, {str(pathlib.Path(__file__).parent)!r})
from signing_helpers import reference
from glimet_work.duty_main import GlimetWorkMain
words = ["True", "False", "None", '"None"', "e&", 'e"', "Truee", "xe"]
for wide in ["", "é", "张", "😀"]:
    entries = {{f"k{{n:02d}}{{word}}": wide + "a" * n + word + "&" + word
               for n in range(40) for word in words}}
    entries.update(flag=True, nothing=None, saas_sign_timespan=1)
    for op in ["_tervix_saas_sign", "_tervix_saas_sign_params"]:
        signed = []
        for signer in [GlimetWorkMain(), reference.ReferenceWorkMain()]:
            with contextlib.redirect_stdout(io.StringIO()) as printed:
                result = getattr(signer, op)(dict(entries), "", False)
            signed.append((result["saas_sign"], printed.getvalue()))
        assert signed[0] == signed[1], (wide, op)
print("same")
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          encoding="utf-8", env={**os.environ, "GLIMET_SIMD": simd})
    assert (done.returncode, done.stdout) == (0, "same\n"), done.stderr
