"""Compact JSON: TERVIXWorkMain._json_dumps against json.dumps with the same settings."""

import json
import random

from _data import body_10
from _timing import Comparison
from glimet_work.duty_main import GlimetWorkMain


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
        timed = Comparison({"ours": (ours, value), "json.dumps": (reference, value)})
        print(f"{label:14} _json_dumps {timed.seconds('ours'):.3e} s  "
              f"json.dumps {timed.seconds('json.dumps'):.3e} s  "
              f"speed-up {timed.ratio('json.dumps', 'ours'):.2f}x")


if __name__ == "__main__":
    main()
