"""A whole review over HTTPS on loopback: glimet_work.review against a plain-Python loop with
one requests.Session, and the review operation on its own (requests.request, a new connection
per call), on the stand-in MeterSphere in a process of its own.

    ../.venv/bin/python bench_review.py [--cases N] [--rounds R] [--operation-cases N]
                                        [--full-bundle]

Each client runs in a fresh process, its output to /dev/null; the clients take turns, round
after round, and each round gives the ratio of ms per case and of peak RSS to the plain loop's.
The medians are printed. The operation is timed on fewer cases (a connection per call is slow).
The stand-in's certificate is trusted through a bundle of it alone, or with --full-bundle of it
and requests' default bundle (certifi's), as a machine's REQUESTS_CA_BUNDLE usually is.
"""

import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import textwrap

HERE = pathlib.Path(__file__).resolve().parent
TESTS = HERE.parent / "tests"

# The stand-in: prints its origin and the paste, then serves until its input closes.
SERVER = f"""
import json, sys
sys.path.insert(0, {str(TESTS)!r})
from standin_metersphere import StandinMeterSphere
with StandinMeterSphere(int(sys.argv[1]), tls=True) as server:
    print(json.dumps([server.origin, server.curl_command()]), flush=True)
    sys.stdin.read()
"""

# What every client starts with: requests sent to the stand-in's origin, path kept, and the
# stand-in's certificate trusted; then `run()` is timed and its peak RSS read.
PRELUDE = f"""
import json, resource, sys, time
import requests
sys.path.insert(0, {str(TESTS)!r})
from standin_metersphere import routed_to
origin, paste = json.loads(sys.argv[1])
"""

REPORT = """
with routed_to(origin):
    start = time.perf_counter()
    cases = run()
    seconds = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
sys.stderr.write(json.dumps([seconds * 1000 / cases, peak]))
"""

CLIENTS = {
    "glimet_work.review": """
import glimet_work
review = glimet_work.review  # its modules loaded before the clock starts
def run():
    return len(review(paste).passed)
""",
    "the operation": """
from glimet_work import tervix_main
def run():
    tervix_main.TERVIXWorkMain._tervix_test_case_review(paste)
    return CASES
""",
    "plain loop, one Session": """
from glimet_work import tervix_main, _review_urls
def run():
    command = tervix_main.m_curl.parse(paste).dict()
    headers, body = command["headers"], command["json"]
    session = requests.Session()
    cases, page, pages = [], 1, 1
    while page <= pages:
        url = _review_urls.LIST_URL.format(page=page)
        data = session.post(url, headers=headers, json=body).json()["data"]
        pages = data["pageCount"]
        cases += data["listObject"]
        print(f"读取用例：{len(cases)}")
        page += 1
    for case in cases:
        edit = {"id": case.get("id"), "caseId": case.get("caseId"),
                "reviewId": case.get("reviewId"), "comment": "", "status": "Pass"}
        answer = session.post(_review_urls.EDIT_URL, headers=headers, json=edit)
        passed = answer.json().get("success") is True
        print(("评审通过" if passed else "【警告】评审失败") + "：" + format(case.get("name")))
    return len(cases)
""",
}


CERTIFICATE = TESTS / "tls" / "loopback-cert.pem"
bundle = str(CERTIFICATE)  # what REQUESTS_CA_BUNDLE names for the clients


def client(name, server, cases):
    code = PRELUDE + f"CASES = {cases}\n" + textwrap.dedent(CLIENTS[name]) + REPORT
    env = {**os.environ, "REQUESTS_CA_BUNDLE": bundle}
    done = subprocess.run(
        [sys.executable, "-c", code, server],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        env=env,
        check=True,
    )
    return json.loads(done.stderr.decode().splitlines()[-1])


def one_server(cases):
    process = subprocess.Popen(
        [sys.executable, "-c", SERVER, str(cases)],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    return process, process.stdout.readline().strip()


def compare(names, cases, rounds):
    """{name: [(ms per case, peak RSS)] per round}, each round on a stand-in of its own."""
    samples = {name: [] for name in names}
    for _ in range(rounds):
        for name in names:
            process, server = one_server(cases)
            try:
                samples[name].append(client(name, server, cases))
            finally:
                process.stdin.close()
                process.wait()
    return samples


def report(samples, baseline, cases):
    base = samples[baseline]
    print(f"{cases} cases, {len(base)} rounds; ratios are ours / {baseline}")
    for name, rows in samples.items():
        ms = statistics.median(row[0] for row in rows)
        rss = statistics.median(row[1] for row in rows) / (1 << 20)
        line = f"  {name:26} {ms:7.3f} ms per case  {rss:7.1f} MiB peak"
        if name != baseline:
            time_ratio = statistics.median(r[0] / b[0] for r, b in zip(rows, base))
            rss_ratio = statistics.median(r[1] / b[1] for r, b in zip(rows, base))
            line += f"  time {time_ratio:.2f}  RSS {rss_ratio:.2f}"
        print(line)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cases", type=int, default=50_000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--operation-cases", type=int, default=500)
    parser.add_argument("--full-bundle", action="store_true")
    args = parser.parse_args()
    global bundle
    if args.full_bundle:
        import certifi

        with tempfile.NamedTemporaryFile("w", suffix=".pem", delete=False) as full:
            full.write(pathlib.Path(certifi.where()).read_text() + CERTIFICATE.read_text())
        bundle = full.name
    baseline = "plain loop, one Session"
    if args.cases:
        report(
            compare(["glimet_work.review", baseline], args.cases, args.rounds), baseline, args.cases
        )
    if args.operation_cases:
        names = ["the operation", "glimet_work.review", baseline]
        report(compare(names, args.operation_cases, args.rounds), baseline, args.operation_cases)


if __name__ == "__main__":
    main()
