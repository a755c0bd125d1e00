"""Every speed target of the toolkit in one table: _json_dumps against the fastest serialisers
(orjson, msgspec) and json.dumps on public documents, against json.dumps on every input shape
(first calls in fresh processes included) and in peak memory; the signers against functions
doing only what they cannot avoid; the notice against the same steps in plain Python;
m_crypt.sha256 against hashlib. Ratios are ours divided by the baseline's (below 1 is faster),
medians over alternating rounds (see _timing). Needs the `bench` extra (orjson, msgspec).

    python bench/bench_peers.py [--quick] [peers shapes first_calls signers notice crypt]
"""

import contextlib
import hashlib
import io
import json
import os
import pathlib
import statistics
import subprocess
import sys

import msgspec
import orjson
from _data import body_10, events_api, mesh_model
from _timing import Comparison
from glimet_crypt import m_crypt
from glimet_work import tervix_main
from glimet_work.duty_main import GlimetWorkMain

QUICK = "--quick" in sys.argv
ROUNDS = 7 if QUICK else 21
# The public documents beside the repository, or where GLIMET_BENCH_DOCS says (a work tree kept
# elsewhere).
DOCS = pathlib.Path(os.environ.get("GLIMET_BENCH_DOCS") or
                    pathlib.Path(__file__).resolve().parents[2] / "shared" / "bench-docs")
WORK = GlimetWorkMain()
ROWS = []  # (target, case, ours s/call, baseline name, baseline s/call, ratio, goal)


def json_dumps(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def row(target, case, timed, baseline, goal, ours="ours"):
    ROWS.append((target, case, timed.seconds(ours), baseline, timed.seconds(baseline),
                 timed.ratio(ours, baseline), goal))


def peers():
    """Target 1: the public documents, stand-ins of two more shapes (_data) and the 10-key body
    against orjson, msgspec, json."""
    encoder = msgspec.json.Encoder()
    values = [(name, json.loads((DOCS / f"{name}.json").read_text(encoding="utf-8")))
              for name in ("twitter", "citm_catalog", "canada")]
    values += [("events API page", events_api()), ("3D model", mesh_model()),
               ("10-key body", body_10())]
    for name, value in values:
        assert WORK._json_dumps(value) == json_dumps(value)
        timed = Comparison({
            "ours": (WORK._json_dumps, value),
            "orjson str": (lambda v: orjson.dumps(v).decode(), value),
            "orjson bytes": (orjson.dumps, value),
            "msgspec bytes": (encoder.encode, value),
            "json.dumps": (json_dumps, value),
        }, rounds=ROUNDS)
        row("1", name, timed, "orjson str", 1.0)
        for baseline in ("orjson bytes", "msgspec bytes", "json.dumps"):
            row("1", name, timed, baseline, None)


# Strings of each width, short and long.
ALPHABETS = {"ASCII": "abcdefghij", "Latin-1": "àéîõüçñßøå", "CJK": "测试用例通过需求登录页",
             "astral": "😀😎🚀🌏🎉🍵🐍📦🔑🧪"}


def text(alphabet, i, length):
    letters = ALPHABETS[alphabet]
    word = "".join(letters[(i // len(letters) ** k) % len(letters)] for k in range(6))
    return (word * (length // 6 + 1))[:length]


def shapes():
    """Target 2: never slower than json.dumps, on strings of every width as keys and values."""
    for alphabet in ALPHABETS:
        for label, length, count in (("short", 8, 20_000), ("long", 4_000, 40)):
            for place in ("keys", "values"):
                strings = [text(alphabet, i, length) for i in range(count)]
                value = dict.fromkeys(strings, 1) if place == "keys" else strings
                assert WORK._json_dumps(value) == json_dumps(value)
                timed = Comparison({"ours": (WORK._json_dumps, value),
                                    "json.dumps": (json_dumps, value)}, rounds=ROUNDS)
                row("2", f"{alphabet} {label} {place}", timed, "json.dumps", 1.0)
    # Widening late: ASCII text, then one astral character at the very end.
    value = [text("ASCII", i, 30) for i in range(20_000)] + ["😀"]
    timed = Comparison({"ours": (WORK._json_dumps, value), "json.dumps": (json_dumps, value)},
                       rounds=ROUNDS)
    row("2", "ASCII, astral last", timed, "json.dumps", 1.0)


# Built in a fresh interpreter before the measured call; `make` names the value.
LARGE_VALUES = {
    "10^6-key dict, short CJK": '{f"键{i}": "值" + str(i) for i in range(10**6)}',
    "10^6 ASCII strings": '[f"item-{i}-abcdefgh" for i in range(10**6)]',
    "10^6-key dict of [int, CJK]": '{f"key{i}": [i, "值" + str(i)] for i in range(10**6)}',
}
FRESH = """
import gc, json, pathlib, time
from glimet_work.duty_main import GlimetWorkMain
value = {make}
if {after_work}:  # other work first: text written and dropped, as a running script does
    twitter = json.loads(pathlib.Path({docs!r}, "twitter.json").read_text(encoding="utf-8"))
    for _ in range(20):
        GlimetWorkMain._json_dumps(twitter), json.dumps(twitter)
    junk = [str(i) * 50 for i in range(200_000)]
    del junk
gc.collect()
def level(key):
    for line in open("/proc/self/status"):
        if line.startswith(key):
            return int(line.split()[1]) * 1024
with open("/proc/self/clear_refs", "w") as refs:  # the peak starts again from here
    refs.write("5")
before = level("VmRSS:")
start = time.perf_counter()
text = {call}
seconds = time.perf_counter() - start
print(seconds, level("VmHWM:") - before)
"""


def fresh_call(make, call, after_work=False):
    code = FRESH.format(make=make, call=call, after_work=after_work, docs=str(DOCS))
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    seconds, peak = done.stdout.split()
    return float(seconds), int(peak)


def first_calls():
    """Targets 2 and 3: one call on a large value in a fresh process, alternating sides; its
    time and the peak memory it adds to what the process held before."""
    calls = {"ours": "GlimetWorkMain._json_dumps(value)",
             "json.dumps": 'json.dumps(value, separators=(",", ":"), ensure_ascii=False)'}
    runs = 3 if QUICK else 7
    for name, make in LARGE_VALUES.items():
        for after_work in (False, True) if name.startswith("10^6-key dict, short") else (False,):
            samples = {side: [] for side in calls}
            for _ in range(runs):
                for side, call in calls.items():
                    samples[side].append(fresh_call(make, call, after_work))
            seconds = {side: [s for s, _ in samples[side]] for side in calls}
            ratio = statistics.median(o / j for o, j in zip(seconds["ours"], seconds["json.dumps"]))
            case = f"first call: {name}" + (", after other work" if after_work else "")
            ROWS.append(("2", case, statistics.median(seconds["ours"]), "json.dumps",
                         statistics.median(seconds["json.dumps"]), ratio, 1.0))
            if not after_work:
                peak = {side: statistics.median(p for _, p in samples[side]) for side in calls}
                ROWS.append(("3", f"peak MiB: {name}", peak["ours"] / 2**20, "json.dumps",
                             peak["json.dumps"] / 2**20, peak["ours"] / peak["json.dumps"], 1.2))


def signed_text(operation, body):
    """The text `operation` signs for `body`, caught from its m_crypt.sha256 call."""
    texts = []
    saved = tervix_main.m_crypt
    tervix_main.m_crypt = type("Catch", (), {"sha256": lambda self, t, c: texts.append(t)})()
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            getattr(WORK, operation)(body)
    finally:
        tervix_main.m_crypt = saved
    return texts[0]


def signers():
    """Target 4: each signer against one function doing only what it cannot avoid."""
    body = body_10()
    params_text = signed_text("_tervix_saas_sign_params", body_10())
    body_text = signed_text("_tervix_saas_sign", body_10())

    def params_floor(params):  # copy the dict, print the signed text, hash it
        dict(params)
        print(params_text)
        return hashlib.sha256(params_text.encode()).hexdigest().upper()

    def body_floor(data):  # the sorted copy, and the hash of the signed text
        dict(sorted(data.items()))
        return hashlib.sha256(body_text.encode()).hexdigest().upper()

    with open(os.devnull, "w") as devnull, contextlib.redirect_stdout(devnull):
        timed = Comparison({"ours": (WORK._tervix_saas_sign_params, body),
                            "floor": (params_floor, body)}, rounds=ROUNDS)
        row("4", "_tervix_saas_sign_params, 10 keys", timed, "floor", 1.3)
        timed = Comparison({"ours": (WORK._tervix_saas_sign, body),
                            "floor": (body_floor, body)}, rounds=ROUNDS)
        row("4", "_tervix_saas_sign, 10 keys", timed, "floor", 1.0)


def notice_in_python(content):
    t = content.strip().split("\n")
    num = 1
    print("投产需求：")
    for i in t:
        print(f"{num}、{i.strip().split('】http')[0].replace('【', '', 1)}")
        num += 1


def notice():
    """Target 5: the notice at 10^6 lines against the same steps in plain Python."""
    content = "\n".join(f"【需求 {n} 登录页改版】https://example.org/demand/{n}"
                        for n in range(10**6))
    with open(os.devnull, "w") as devnull, contextlib.redirect_stdout(devnull):
        timed = Comparison({"ours": (WORK._tervix_test_production_demand, content),
                            "python": (notice_in_python, content)},
                           rounds=3 if QUICK else 7)
    row("5", "notice, 10^6 lines", timed, "python", 1.0)


def crypt():
    """Target 6: m_crypt.sha256 of 64 KiB of non-ASCII text against hashlib."""
    def hashlib_upper(text):
        return hashlib.sha256(text.encode()).hexdigest().upper()

    for name, unit in (("CJK and ASCII", "name=测试用例&页=1&"), ("Latin-1", "façade=élan&"),
                       ("astral", "😀=🚀&")):
        text = (unit * 65536)[:65536 // len(unit.encode()) * len(unit)]
        assert m_crypt.sha256(text) == hashlib_upper(text)
        timed = Comparison({"ours": (m_crypt.sha256, text), "hashlib": (hashlib_upper, text)},
                           rounds=ROUNDS)
        row("6", f"64 KiB {name}", timed, "hashlib", 1 / 1.3)


def main():
    parts = [peers, shapes, first_calls, signers, notice, crypt]
    chosen = [arg for arg in sys.argv[1:] if not arg.startswith("--")]
    for part in parts:
        if not chosen or part.__name__ in chosen:
            part()
    print(f"{'target':6} {'case':52} {'ours':>10} {'baseline':>14} {'its':>10} {'ratio':>6} "
          f"{'goal':>5}")
    for target, case, ours, baseline, base, ratio, goal in ROWS:
        met = "" if goal is None else ("ok" if ratio <= goal else "MISSED")
        goal_text = "" if goal is None else f"{goal:.2f}"
        print(f"{target:6} {case:52} {ours:10.3e} {baseline:>14} {base:10.3e} {ratio:6.2f} "
              f"{goal_text:>5} {met}")
    print("(seconds per call; for target 3, MiB above the process's level before the call)")


if __name__ == "__main__":
    main()
