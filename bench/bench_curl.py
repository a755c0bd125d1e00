"""m_curl.parse on pasted commands of each shell, against the same reader as built from an
earlier commit (--baseline, the path of that build's glimet_curl module) and against
shlex.split of the same text; prints seconds per call and ratios (medians over interleaved
rounds, see _timing).

    python bench/bench_curl.py --baseline /path/to/old/glimet_curl.cpython-313-x86_64-linux-gnu.so
"""

import argparse
import importlib.util
import json
import pathlib
import shlex
import sys

from _data import large_body
from _timing import Comparison

from glimet_curl import m_curl

sys.path.insert(0, str(pathlib.Path(__file__).parents[1] / "tests"))
from standin_metersphere import quote_bash, quote_cmd

URL = "https://ms.example.org/metersphere-api/track/test/review/case/list/1/10"
HEADERS = [
    ("Accept", "application/json, text/plain, */*"),
    ("Accept-Language", "zh-CN,zh;q=0.9"),
    ("CSRF-TOKEN", "Yjk5ZDc2ZTA="),
    ("Content-Type", "application/json;charset=UTF-8"),
    ("sec-ch-ua", '"Chromium";v="124", "Google Chrome";v="124"'),
    ("User-Agent", "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 Chrome/124.0 Safari/537"),
]
COOKIE = "MS_SESSION_ID=5f0c6b9e; language=zh_CN"


def copied(quote, join, body):
    """A command as a browser copies it, with `quote` for each word and `join` between lines."""
    words = [f"curl {quote(URL)}"]
    words += [f"-H {quote(f'{name}: {value}')}" for name, value in HEADERS]
    words += [f"-b {quote(COOKIE)}", f"--data-raw {quote(body)}", "--compressed"]
    return join.join(words)


def inputs():
    small = json.dumps({"reviewId": "c1a2", "projectId": "7d3e", "name": "评审 it's"})
    large = json.dumps(large_body(), ensure_ascii=False)

    def powershell_quote(text):
        return "'" + text.replace("'", "''") + "'"

    return [
        ("bash, small body", copied(quote_bash, " \\\n  ", small)),
        ("cmd, small body", copied(quote_cmd, " ^\n  ", small)),
        ("PowerShell, small body", "curl.exe " + copied(powershell_quote, " `\n  ", small)[5:]),
        ("bash, 1,000-key body", copied(quote_bash, " \\\n  ", large)),
        ("cmd, 1,000-key body", copied(quote_cmd, " ^\n  ", large)),
    ]


def load(path):
    """The glimet_curl module built at `path`, beside the installed one."""
    spec = importlib.util.spec_from_file_location("baseline.glimet_curl", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--baseline", help="glimet_curl module of an earlier build")
    args = parser.parse_args()
    before = load(args.baseline).m_curl if args.baseline else None
    print(f"{'command':24} {'ours s/call':>12} {'before':>12} {'ratio':>6}", end="")
    print(f" {'shlex':>12} {'ratio':>6}")
    for label, text in inputs():
        expected = m_curl.parse(text).dict()
        contenders = {"ours": (m_curl.parse, text), "shlex": (shlex.split, text)}
        if before:
            previous = before.parse(text).dict()
            # The same request, up to what the split changed: header order and the options.
            assert dict(previous["headers"]) == dict(expected["headers"])
            assert previous["data"] == expected["data"] and previous["url"] == expected["url"]
            contenders["before"] = (before.parse, text)
        try:
            shlex.split(text)
        except ValueError:  # bash's $'...' or another shell's quoting
            del contenders["shlex"]
        timed = Comparison(contenders)
        row = f"{label:24} {timed.seconds('ours'):12.3e}"
        for other in ("before", "shlex"):
            if other in contenders:
                row += f" {timed.seconds(other):12.3e} {timed.ratio('ours', other):6.2f}"
            else:
                row += f" {'-':>12} {'-':>6}"
        print(row)


if __name__ == "__main__":
    main()
