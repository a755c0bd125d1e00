"""Compact JSON: TERVIXWorkMain._json_dumps against json.dumps with the same settings."""

import json
import random
import statistics
import timeit

from glimet_work.duty_main import GlimetWorkMain


def per_call(fn, arg, repeat=7):
    timer = timeit.Timer(lambda: fn(arg))
    number, _ = timer.autorange()
    return statistics.median(timer.repeat(repeat, number)) / number


def body_10():
    return {
        "name": "张三",
        "page": 1,
        "size": 50,
        "active": True,
        "memo": None,
        "ratio": 0.25,
        "title": "投产需求：登录页改版",
        "filter": {"status": "Pass", "ids": [1, 2, 3]},
        "tags": ["smoke", "回归", "p0"],
        "token": "d41d8cd98f00b204e9800998ecf8427e",
    }


def document_1mb(seed=7):
    rng = random.Random(seed)
    words = ["alpha", "测试用例", "review", "通过", "x\"y", "tab\there", "é", "😀"]
    rows = []
    while len(json.dumps(rows, ensure_ascii=False)) < 1_000_000:
        rows.append(
            {
                "id": rng.randrange(10**9),
                "name": " ".join(rng.choice(words) for _ in range(4)),
                "score": rng.random() * 100,
                "ok": rng.random() < 0.5,
                "tags": [rng.choice(words) for _ in range(3)],
                "parent": None,
            }
        )
    return rows


def reference(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def main():
    ours = GlimetWorkMain()._json_dumps
    for label, value in [("10-key body", body_10()), ("1 MB document", document_1mb())]:
        assert ours(value) == reference(value)
        mine, base = per_call(ours, value), per_call(reference, value)
        print(f"{label:14} _json_dumps {mine:.3e} s  json.dumps {base:.3e} s  "
              f"speed-up {base / mine:.2f}x")


if __name__ == "__main__":
    main()
