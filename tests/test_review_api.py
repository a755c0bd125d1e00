"""glimet_work.review against the stand-in MeterSphere over HTTPS on loopback: what it refuses
before sending, the answers it will not read, the lists that do not add up, and the line it
ends with."""

import contextlib
import io
import socket
import urllib.parse

import pytest

import glimet_work
from glimet_work import METERSPHERE_API_ROOT, METERSPHERE_BASE

from standin_metersphere import REVIEWER, SESSION_500, TLS_CERT

HOST = urllib.parse.urlsplit(METERSPHERE_BASE).netloc
CASES = 120  # three list pages: 50, 50 and 20
SESSION = "the session in the pasted command has expired or lacks the right"
UNCHANGED = "stopped before any case was changed; running the review again is safe"
ADDS_UP = "the case list does not add up: "




def run(paste, **options):
    """The review's result or ReviewError, and the operation's lines."""
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        try:
            outcome = glimet_work.review(paste, **options)
        except glimet_work.ReviewError as exc:
            outcome = exc
    return outcome, out.getvalue().splitlines()


def edits(server):
    return sum(path.endswith("/edit") for path, _, _ in server.log)


def name(n):
    return f"用例 {n + 1}：登录后查看订单"


# name: (stand-in options, review options, the error's line or None, the closing line,
#        list requests, edit requests)
# fmt: off
REVIEWS = {
    "all pass": ({}, {}, None, "120 cases: 120 passed", 3, 120),
    "redirect elsewhere, list": (
        {"page_faults": {2: "redirect"}}, {},
        f"page 2 of the case list: HTTP 307 Temporary Redirect from {HOST}, redirected to "
        "http://localhost:9/sso/login, which the review does not follow: (empty body)",
        UNCHANGED, 2, 0),
    "redirect here, edit": (
        {"edit_faults": {7: "redirect_here"}}, {},
        f'the edit of case "{name(7)}": HTTP 307 Temporary Redirect from {HOST}, redirected to '
        "https://127.0.0.1:", "stopped after 7 of 120 cases (7 passed; the outcome of the 8th is "
        "unknown); running the review again is safe", 3, 8),
    "v1 session: 302 to /login": (
        {"edit_faults": {0: "login"}}, {}, f'the edit of case "{name(0)}": HTTP 302 Found',
        UNCHANGED, 3, 1),
    "v2 session: HTTP 500": (
        {"page_faults": {1: "session_500"}}, {},
        f"page 1 of the case list: HTTP 500 Internal Server Error from {HOST}: {SESSION_500}; "
        + SESSION, UNCHANGED, 1, 0),
    "list trickled": (
        {"page_faults": {1: "trickle"}}, {"timeout": 1},
        f"page 1 of the case list: {HOST} did not answer within 1 s (--timeout SECONDS)",
        UNCHANGED, 1, 0),
    "edit endless": (
        {"edit_faults": {0: "endless"}}, {"max_answer": 1 << 20},
        f'the edit of case "{name(0)}": the answer is larger than 1 MiB (--max-answer BYTES); '
        "stopped reading it",
        "stopped after 0 of 120 cases (0 passed; the outcome of the 1st is unknown); "
        "running the review again is safe", 3, 1),
    "gzip bomb": (
        {"page_faults": {2: "gzip_bomb"}}, {"max_answer": 1 << 20},
        "page 2 of the case list: the answer is larger than 1 MiB", UNCHANGED, 2, 0),
    "short page": (
        {"page_faults": {2: "short"}}, {},
        ADDS_UP + "page 2 holds 49 cases, where 50 were due", UNCHANGED, 2, 0),
    "empty page": (
        {"page_faults": {3: "empty"}}, {},
        ADDS_UP + "page 3 holds 0 cases, where 20 were due", UNCHANGED, 3, 0),
    "a case twice": (
        {"page_faults": {3: "repeat"}}, {},
        ADDS_UP + "case rc-0000 is on page 1 and page 3", UNCHANGED, 3, 0),
    "cases removed meanwhile": (
        {"page_faults": {1: "shrink"}}, {},
        ADDS_UP + "page 1 counted 120 cases in 3 pages, page 2 counts 115 in 3", UNCHANGED, 2, 0),
    "pageCount -1": (
        {"page_count": -1}, {},
        ADDS_UP + "page 1 counts 120 cases in -1 pages of 50, where 3 pages would hold them",
        UNCHANGED, 1, 0),
    "pageCount 10**12": (
        {"page_count": 10**12}, {}, ADDS_UP + "page 1 counts 120 cases in 1000000000000 pages",
        UNCHANGED, 1, 0),
    "list with success false": (
        {"page_faults": {1: "unlisted"}}, {},
        f"page 1 of the case list: HTTP 200 OK from {HOST}, the server did not list the cases",
        UNCHANGED, 1, 0),
    "underway and refused": (
        {"edit_faults": {3: "underway", 9: "underway", 5: "reviewer"}}, {}, None,
        f"120 cases: 117 passed, 2 wait for other reviewers, 1 refused: {name(5)}: {REVIEWER}",
        3, 120),
    "names that would forge lines": (
        {"names": {0: "x\n评审通过：伪造的一行", 1: "\x1b]0;t\x07\x1b[2J"}, "refuse": (0, 1)},
        {}, None, "120 cases: 118 passed, 2 refused: x\\n评审通过：伪造的一行: 用例已被锁定，无法"
        "评审; \\x1b]0;t\\x07\\x1b[2J: 用例已被锁定，无法评审", 3, 120),
    "UnPass kept": (
        {"statuses": {4: "UnPass", 60: "UnPass", 7: "Pass"}}, {"keep_unpass": True}, None,
        "120 cases: 118 passed, 2 UnPass kept", 3, 118),
    "dry run": (
        {}, {"dry_run": True}, None,
        "dry run: 120 of 120 cases would be set to Pass; none was changed", 3, 0),
    "cancelled": ({}, {"confirm": lambda plan: False}, None, "cancelled; no case was changed",
                  3, 0),
    "no case": ({"cases": 0}, {}, None,
                "the pasted list matched no case (a search or filter in the copied request?)",
                1, 0),
}
# fmt: on


@pytest.mark.parametrize(
    "standin_options, options, error, closing, lists, edited", REVIEWS.values(), ids=REVIEWS.keys()
)
def test_review(standin, standin_options, options, error, closing, lists, edited):
    server = standin(**standin_options)
    before = server.statuses()
    outcome, printed = run(server.curl_command(), **options)
    if error is None:
        assert isinstance(outcome, glimet_work.ReviewResult), outcome
        result = outcome
    else:
        assert type(outcome) is glimet_work.ReviewError and str(outcome).startswith(error)
        result = outcome.result
    assert result.summary() == closing
    assert (len(server.log) - edits(server), edits(server)) == (lists, edited)
    # What the review says it passed is what the server holds now, and nothing else changed.
    passed = {case["id"]: "Pass" for case in result.passed}
    waiting = {case["id"]: "Underway" for case in result.waiting}
    expected = before | passed | waiting
    assert server.statuses() == {i: expected[i] for i in server.statuses()}
    assert len(printed) >= (lists if error is None else 0)


def test_the_plan_shown_before_the_first_edit(standin):
    server = standin(statuses={n: "UnPass" for n in range(12)} | {20: "Pass", 21: "Underway"})
    plans = []
    outcome, _ = run(server.curl_command(), confirm=lambda plan: plans.append(plan) or False)
    (plan,) = plans
    assert plan.statuses == {"Prepare": 106, "Pass": 1, "UnPass": 12, "Underway": 1}
    assert plan.review_id == server.review_id and len(plan.to_pass) == len(plan.cases) == CASES
    assert plan.describe() == [
        f"120 cases of review {server.review_id} on {METERSPHERE_BASE}: 106 Prepare, 1 Pass, "
        "12 UnPass, 1 Underway",
        "UnPass now (a reviewer failed them): " + ", ".join(name(n) for n in range(10))
        + ", and 2 more",
    ]
    assert outcome.stopped == "cancelled" and edits(server) == 0


def stock_root(text):
    return text


# (how the paste is changed, the stand-in's API root, the PasteError's line)
PASTES = [
    (lambda t: t.replace('"reviewId":', '"projectId2":'), METERSPHERE_API_ROOT,
     "the pasted command's JSON body names no review"),
    (lambda t: t.replace("/test/review/case/list/1/10", "/test/case/list/1/10"),
     METERSPHERE_API_ROOT, "the pasted command is not a review's case-list request"),
    (stock_root, "/track",
     f"the pasted request's API root is /track, but this build sends to {METERSPHERE_API_ROOT} "
     f"on {METERSPHERE_BASE}; to review on a server whose API is at /track, build for it: "
     "make install METERSPHERE_API_ROOT=/track"),
    (lambda t: t.replace(METERSPHERE_BASE, "https://ms.example.org"), METERSPHERE_API_ROOT,
     "the curl command was copied from ms.example.org, but this build"),
    (lambda t: t + " -H 'X-Name: 张三'", METERSPHERE_API_ROOT,
     'cannot send the header "X-Name": its value holds U+5F20'),
    (lambda t: "wget " + t, METERSPHERE_API_ROOT, "cannot read the curl command: "),
]


@pytest.mark.parametrize("change, root, line", PASTES)
def test_a_paste_that_cannot_be_reviewed_sends_nothing(standin, change, root, line):
    server = standin(root=root)
    outcome, printed = run(change(server.curl_command()))
    assert type(outcome) is glimet_work.PasteError and str(outcome).startswith(line)
    assert server.log == [] and printed == []


def test_an_interrupt_carries_the_closing_line(standin):
    server = standin()

    def interrupt(plan):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt) as caught, contextlib.redirect_stdout(io.StringIO()):
        glimet_work.review(server.curl_command(), confirm=interrupt)
    assert caught.value.__notes__ == [UNCHANGED]
    assert edits(server) == 0


def closed_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


# (what the paste adds, whether REQUESTS_CA_BUNDLE trusts the stand-in, the stand-in's options,
#  the review's options, the error's start or None, the notes the result carries)
# fmt: off
DELIVERY = {
    "-k refused": (" -k", True, {}, {}, "the pasted command turns certificate checks off", []),
    "--cacert honoured": (f" --cacert {TLS_CERT}", False, {}, {}, None, []),
    "no --cacert": ("", False, {}, {}, "page 1 of the case list: cannot verify the", []),
    "-x honoured": (
        " -x http://127.0.0.1:{port}", True, {}, {},
        f"page 1 of the case list: the proxy on the way to {HOST} failed: ", []),
    "--noproxy past -x": (" -x http://127.0.0.1:{port} --noproxy '*'", True, {}, {}, None, []),
    "--max-time under --timeout": (
        " --max-time 1", True, {"page_faults": {1: "trickle"}}, {"timeout": 30},
        f"page 1 of the case list: {HOST} did not answer within 1 s", []),
    "-L and -X said": (
        " -L -X PUT", True, {}, {}, None,
        [f"the pasted -L is not honoured: the review follows no redirect, so the session stays "
         f"with {urllib.parse.urlsplit(METERSPHERE_BASE).hostname}",
         "the pasted -X PUT is not used: the review always POSTs"]),
}
# fmt: on


@pytest.mark.parametrize(
    "added, trusted, standin_options, options, error, notes", DELIVERY.values(), ids=DELIVERY.keys()
)
def test_how_the_paste_asks_to_be_delivered(
    standin, monkeypatch, added, trusted, standin_options, options, error, notes
):
    if not trusted:
        monkeypatch.delenv("REQUESTS_CA_BUNDLE")
    server = standin(3, **standin_options)
    outcome, _ = run(server.curl_command() + added.format(port=closed_port()), **options)
    if error is None:
        assert isinstance(outcome, glimet_work.ReviewResult), outcome
        assert outcome.summary() == "3 cases: 3 passed" and outcome.notes == notes
    else:
        assert str(outcome).startswith(error), outcome
        if isinstance(outcome, glimet_work.PasteError):
            assert server.log == []
    if "-x" in added and error:
        proxy_hint = f"NO_PROXY={urllib.parse.urlsplit(METERSPHERE_BASE).hostname} goes without one"
        assert proxy_hint in str(outcome)
