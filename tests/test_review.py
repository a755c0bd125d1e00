"""TERVIXWorkMain._tervix_test_case_review: against a recording double for requests, and end to
end over HTTP against the stand-in MeterSphere server."""

import _thread
import json
import re
import subprocess
import sys
import types
import traceback
import urllib.parse
from types import SimpleNamespace

import pytest
import requests

from glimet_work import METERSPHERE_BASE, duty_main, tervix_main

from standin_metersphere import LoopbackRequests, StandinMeterSphere

review = tervix_main.TERVIXWorkMain._tervix_test_case_review
TRACE_NAME = "tervix_main.TERVIXWorkMain._tervix_test_case_review"
LIST_URL = re.compile(r"(https://[^/]+)/metersphere-api/track/test/review/case/list/(\d+)/50")
EDIT_PATH = "/metersphere-api/track/test/review/case/edit"
PASSED, FAILED = "评审通过", "【警告】评审失败"
HEADERS = {"CSRF-TOKEN": "t", "Cookie": "MS_SESSION_ID=s"}
LIST_BODY = {"reviewId": "r", "projectId": "p"}
KEYWORDS = ["url", "method", "headers", "json", "allow_redirects"]  # as requests gets them


def make_cases(first, count):
    return [
        {"id": f"id{n}", "caseId": f"c{n}", "reviewId": "r", "name": f"case {n}"}
        for n in range(first, first + count)
    ]


def page(page_count, cases):
    return json.dumps({"success": True, "data": {"pageCount": page_count, "listObject": cases}})


class Response:
    """A response whose json() decodes `text` afresh at each call and counts the calls; with a
    `status_code` and `headers` when given."""

    def __init__(self, text, **attributes):
        self.text = text
        self.json_calls = 0
        self.__dict__.update(attributes)

    def json(self):
        self.json_calls += 1
        return json.loads(self.text)


class Recorder:
    """Stands in for the requests module. `pages` maps a page number to the list response body
    (or an exception to raise); `edits` yields the edit response bodies in turn."""

    def __init__(self, pages, edits=()):
        self.pages = pages
        self.edits = iter(edits)
        self.calls = []  # (keywords as passed, a JSON snapshot of them, the response)

    def request(self, **keywords):
        match = LIST_URL.fullmatch(keywords["url"])
        answer = self.pages[int(match[2])] if match else next(self.edits, '{"success": true}')
        if isinstance(answer, (Exception, Response)):
            response = answer
        else:
            response = Response(answer)
        self.calls.append((keywords, json.loads(json.dumps(keywords)), response))
        if isinstance(response, Exception):
            raise response
        return response

    def split(self):
        """The list calls and the edit calls."""
        listed = [c for c in self.calls if LIST_URL.fullmatch(c[0]["url"])]
        return listed, [c for c in self.calls if c not in listed]


@pytest.fixture
def double(monkeypatch):
    """double(pages, edits) installs a Recorder as requests and a fixed m_curl that yields
    double.parsed (the built-in server's URL, HEADERS and LIST_BODY); double.texts keeps what
    parse received."""
    parsed = {
        "url": METERSPHERE_BASE + "/elsewhere?x=1",
        "method": "GET",
        "headers": HEADERS,
        "json": LIST_BODY,
    }
    texts = []

    def parse(text):
        texts.append(text)
        return SimpleNamespace(dict=lambda: parsed)

    monkeypatch.setattr(tervix_main, "m_curl", SimpleNamespace(parse=parse))

    def install(pages, edits=()):
        recorder = Recorder(pages, edits)
        monkeypatch.setattr(tervix_main, "requests", recorder)
        return recorder

    install.texts = texts
    install.parsed = parsed
    return install


def lines(capsys):
    return capsys.readouterr().out.splitlines()


def test_three_pages(double, capsys):
    cases = make_cases(0, 117)
    recorder = double({1: page(3, cases[:50]), 2: page(3, cases[50:100]), 3: page(3, cases[100:])})
    assert duty_main.GlimetWorkMain()._tervix_test_case_review("the pasted text") is None
    assert double.texts == ["the pasted text"]

    # The list requests first: pages 1, 2, 3 with the same headers and body objects.
    listed, edits = recorder.split()
    assert recorder.calls[:3] == listed and len(edits) == 117
    assert [LIST_URL.fullmatch(k["url"])[2] for k, _, _ in listed] == ["1", "2", "3"]
    for keywords, _, _ in listed:
        assert list(keywords) == KEYWORDS and keywords["allow_redirects"] is False
        assert keywords["method"] == "POST"
        assert keywords["headers"] is HEADERS and keywords["json"] is LIST_BODY
    assert [response.json_calls for _, _, response in listed] == [2, 1, 1]

    # Then one edit per case in list order, to the same origin, body keys in order.
    origin = LIST_URL.fullmatch(listed[0][0]["url"])[1]
    for case, (keywords, snapshot, response) in zip(cases, edits):
        assert list(keywords) == KEYWORDS and keywords["allow_redirects"] is False
        assert (snapshot["url"], snapshot["method"]) == (origin + EDIT_PATH, "POST")
        assert keywords["headers"] is HEADERS and response.json_calls == 1
        assert list(snapshot["json"].items()) == [
            ("id", case["id"]),
            ("caseId", case["caseId"]),
            ("reviewId", "r"),
            ("comment", ""),
            ("status", "Pass"),
        ]

    progress = ["读取用例：50", "读取用例：100", "读取用例：117"]
    assert lines(capsys) == progress + [f"{PASSED}：{c['name']}" for c in cases]


@pytest.mark.parametrize("page_count, count", [(1, 2), (0, 2), (-3, 2), (0, 0), (1, 0)])
def test_one_list_request_unless_more_pages(double, capsys, page_count, count):
    recorder = double({1: page(page_count, make_cases(0, count))})
    assert review(content="x") is None
    listed, edits = recorder.split()
    assert (len(listed), len(edits)) == (1, count)
    assert lines(capsys) == [f"读取用例：{count}"] + [f"{PASSED}：case {n}" for n in range(count)]


def test_success_is_identity_with_true_and_every_case_is_sent(double, capsys):
    verdicts = ["true", "false", "1", '"true"', "null", None, "true"]
    bodies = ['{"message": "ok"}' if v is None else f'{{"success": {v}}}' for v in verdicts]
    double({1: page(1, make_cases(0, len(bodies)))}, bodies)
    review("x")
    expected = ["读取用例：7"]
    for n, (verdict, body) in enumerate(zip(verdicts, bodies)):
        expected += [f"{PASSED}：case {n}"] if verdict == "true" else [f"{FAILED}：case {n}", body]
    assert lines(capsys) == expected


def test_missing_fields(double, capsys):
    cases = [{"caseId": "c0", "reviewId": "r", "name": "no id"}, {"id": "i1"}, {"name": 7}]
    recorder = double({1: page(1, cases)})
    review("x")
    assert [snapshot["json"] for _, snapshot, _ in recorder.split()[1]] == [
        {"id": None, "caseId": "c0", "reviewId": "r", "comment": "", "status": "Pass"},
        {"id": "i1", "caseId": None, "reviewId": None, "comment": "", "status": "Pass"},
        {"id": None, "caseId": None, "reviewId": None, "comment": "", "status": "Pass"},
    ]
    assert lines(capsys)[1:] == [f"{PASSED}：no id", f"{PASSED}：None", f"{PASSED}：7"]


def test_globals_looked_up_at_each_use(double, monkeypatch):
    # The first list request rebinds requests; every later request goes to the new binding.
    later = Recorder({2: page(2, make_cases(1, 1))})
    first = double({1: page(2, make_cases(0, 1))})
    record_first = first.request

    def request_and_rebind(**keywords):
        monkeypatch.setattr(tervix_main, "requests", later)
        return record_first(**keywords)

    first.request = request_and_rebind
    review("x")
    assert (len(first.calls), len(later.calls)) == (1, 3)

    monkeypatch.delattr(tervix_main, "m_curl")
    with pytest.raises(NameError, match="name 'm_curl' is not defined"):
        review("x")


def test_with_the_real_parser(monkeypatch, capsys):
    # The pasted URL and method have no effect; headers and JSON body go as parsed.
    recorder = Recorder({1: page(1, [])})
    monkeypatch.setattr(tervix_main, "requests", recorder)
    body = """ --data-raw '{"reviewId":"r","projectId":"p"}'"""
    review(f"curl '{METERSPHERE_BASE}/x' -X GET -H 'CSRF-TOKEN: t' -b 'MS_SESSION_ID=s'" + body)
    keywords = recorder.calls[0][0]
    assert LIST_URL.fullmatch(keywords["url"])[2] == "1" and keywords["method"] == "POST"
    assert keywords["headers"] == HEADERS and keywords["json"] == LIST_BODY


NAMES_NO_REVIEW = "the pasted command's JSON body names no review"


# A list body without a review would list, and pass, the cases of every review.
@pytest.mark.parametrize(
    "body",
    [None, [], "r", {}, {"projectId": "p"}, {"reviewId": None}, {"reviewId": ""},
     {"reviewId": True}, {"reviewId": False}],
)
def test_a_body_that_names_no_review_sends_nothing(double, body):
    recorder = double({1: page(1, make_cases(0, 1))})
    double.parsed["json"] = body
    with pytest.raises(ValueError, match=NAMES_NO_REVIEW):
        review("x")
    assert recorder.calls == []


# (the answer to a list page or to an edit with its status, whether the review goes on)
REDIRECTS = [(301, False), (302, False), (307, False), (308, False), (399, False), (300, False),
             (200, True), (404, True), (True, True), ("302", True)]


@pytest.mark.parametrize("where", ["page 2", "edit"])
@pytest.mark.parametrize("status, goes_on", REDIRECTS)
def test_a_redirect_is_never_read_as_a_result(double, capsys, where, status, goes_on):
    location = "https://sso.example/login"
    answer = Response('{"success": true}', status_code=status, headers={"Location": location})
    if where == "page 2":
        answer.text = page(2, make_cases(1, 1))
        recorder = double({1: page(2, make_cases(0, 1)), 2: answer})
    else:
        recorder = double({1: page(1, make_cases(0, 2))}, [answer])
    if goes_on:
        review("x")
        assert len(recorder.calls) == 4 if where == "page 2" else 3
        return
    with pytest.raises(RuntimeError) as caught:
        review("x")
    url = recorder.calls[-1][0]["url"]
    assert str(caught.value).startswith(f"HTTP {status} answered the request to {url} with")
    assert f"redirect to '{location}'" in str(caught.value)
    assert len(recorder.calls) == 2 and FAILED not in capsys.readouterr().out


HOST = urllib.parse.urlsplit(METERSPHERE_BASE).hostname
# The built-in host in fullwidth capitals: the same host once in IDNA form.
WIDE = "".join(chr(ord(c.upper()) + 0xFEE0) if c.isalpha() else c for c in HOST)
OTHER = rf"the curl command was copied from .+, but this build of glimet-work talks to {HOST}, "
UNREADABLE = rf"cannot tell which host the curl command was copied from .+ server, {HOST}$"

# ("url" as the parsed command has it, the error and a pattern of its message, or None)
HOSTS = [
    (None, None),
    (f"{METERSPHERE_BASE}/any/path?q=1", None),
    (f"HTTP://user:pw@{HOST.upper()}.:8080/x", None),
    (f"{HOST}/no/scheme", None),
    (f"https://{WIDE}/", None),
    ("https://ms.example.org/x", (ValueError, OTHER)),
    (f"https://{HOST}.evil.example/", (ValueError, OTHER)),
    (f"https://{HOST}@evil.example/", (ValueError, OTHER)),
    (f"https://evil.example/?next=https://{HOST}/", (ValueError, OTHER)),
    ("https://例子.测试/", (ValueError, OTHER)),
    ("https://[::1]:8443/", (ValueError, OTHER + r".*METERSPHERE_BASE=https://\[::1\]:8443$")),
    ("", (ValueError, UNREADABLE)),
    ("https://:443/", (ValueError, UNREADABLE)),
    (f"https://{HOST}:https/", (ValueError, UNREADABLE)),
    ("https://[::1/", (ValueError, UNREADABLE)),
    ("https://a..b/", (ValueError, UNREADABLE)),
    (f"https://{HOST[:2]}\u200d{HOST[2:]}/", (ValueError, UNREADABLE)),  # IDNA 2003: the host
    (f"https://{HOST}\ud800/", (ValueError, UNREADABLE)),
    (
        b"https://ms.example.org/",
        (TypeError, 'the parsed curl command\'s "url" must be str, not bytes$'),
    ),
]


@pytest.mark.parametrize("url, error", HOSTS)
def test_credentials_go_only_to_their_own_host(double, url, error):
    recorder = double({1: page(1, [])})
    double.parsed.pop("url")
    if url is not None:
        double.parsed["url"] = url
    if error is None:
        review("x")
        assert len(recorder.calls) == 1
        return
    with pytest.raises(error[0], match=error[1]):
        review("x")
    assert recorder.calls == []


class Leaving(Response):
    """A response whose release misbehaves: `leave` runs when its last reference goes."""

    def __init__(self, text, leave):
        super().__init__(text)
        self.leave = leave

    def __del__(self):
        self.leave()


class Releasing:
    """Stands in for requests: a one-page review of three cases, where the response to request
    number `which` (1 the page, 2 the first edit) is a Leaving one."""

    def __init__(self, which, leave):
        self.which, self.leave, self.sent = which, leave, 0

    def request(self, **keywords):
        self.sent += 1
        text = page(1, make_cases(0, 3)) if self.sent == 1 else '{"success": true}'
        return Leaving(text, self.leave) if self.sent == self.which else Response(text)


def raising(error):
    def leave():
        raise error

    return leave


# (which response misbehaves on release, how, the exception out of the review)
RELEASES = [
    (1, raising(KeyboardInterrupt), KeyboardInterrupt),
    (2, raising(KeyboardInterrupt), KeyboardInterrupt),
    (2, _thread.interrupt_main, KeyboardInterrupt),
    (2, raising(OSError("close failed")), OSError),
]


@pytest.mark.parametrize("sys_replaced", [False, True], ids=["sys", "sys.modules['sys'] replaced"])
@pytest.mark.parametrize("which, leave, error", RELEASES)
def test_what_a_release_raises_ends_the_review(
    double, monkeypatch, capsys, python_sigint, which, leave, error, sys_replaced
):
    requests_double = Releasing(which, leave)
    monkeypatch.setattr(tervix_main, "requests", requests_double)
    if sys_replaced:  # the interpreter still reports through its own sys
        monkeypatch.setitem(sys.modules, "sys", types.ModuleType("sys"))
    hook = sys.unraisablehook
    with pytest.raises(error):
        review("x")
    assert requests_double.sent == which and sys.unraisablehook is hook
    assert lines(capsys) == ["读取用例：3", f"{PASSED}：case 0"][:which]


# A review in which allocation number `start` fails, for each start in turn, with little Python
# code running meanwhile (the interpreter's own is not proof against it) and in a process of its
# own; it prints the first start after which sys.unraisablehook is not the one it found.
MEMORY_RUNS_OUT = """
import io, sys, _testcapi
from types import SimpleNamespace
from glimet_work import METERSPHERE_BASE, tervix_main
parsed = SimpleNamespace(dict={"url": METERSPHERE_BASE, "headers": {}, "json": {"reviewId": 1}}.copy)
cases = [{"id": n, "name": str(n)} for n in range(2)]
listed = SimpleNamespace(json={"data": {"pageCount": 1, "listObject": cases}}.copy, text="")
edited = SimpleNamespace(json={"success": False}.copy, text="refused")
def request(url, **keywords):
    return listed if "/list/" in url else edited
tervix_main.m_curl = SimpleNamespace(parse={"x": parsed}.__getitem__)
tervix_main.requests = SimpleNamespace(request=request)
hook = sys.unraisablehook
"x".encode("idna")  # the codec looked up now, not while allocations fail
sys.stdout = io.StringIO()
for start in range(300):
    _testcapi.set_nomemory(start, 0)
    try:
        tervix_main.TERVIXWorkMain._tervix_test_case_review("x")
    except MemoryError:
        pass
    finally:
        _testcapi.remove_mem_hooks()
    if sys.unraisablehook is not hook:
        sys.__stdout__.write(f"left in place when allocation {start} failed")
        break
"""


def test_hook_put_back_when_memory_runs_out():
    pytest.importorskip("_testcapi")
    done = subprocess.run(
        [sys.executable, "-c", MEMORY_RUNS_OUT], capture_output=True, check=False, timeout=120
    )
    assert (done.returncode, done.stdout, done.stderr) == (0, b"", b"")


# (list pages, edit bodies, exception, lines printed, requests made)
ERRORS = [
    ({1: requests.ConnectionError("refused")}, [], requests.ConnectionError, [], 1),
    ({1: '{"success": false}'}, [], AttributeError, [], 1),
    ({1: '{"data": null}'}, [], AttributeError, [], 1),
    ({1: '{"data": {"listObject": []}}'}, [], TypeError, ["读取用例：0"], 1),
    ({1: page(3.0, [])}, [], TypeError, ["读取用例：0"], 1),
    ({1: page(1, None)}, [], TypeError, [], 1),
    ({1: page(2, make_cases(0, 1)), 2: page(2, None)}, [], TypeError, ["读取用例：1"], 2),
    ({1: page(1, ["not a record"])}, [], AttributeError, ["读取用例：1"], 1),
    (
        {1: page(1, make_cases(0, 2))},
        ["true", "<html>"],
        ValueError,
        ["读取用例：2", f"{PASSED}：case 0"],
        3,
    ),
]


@pytest.mark.parametrize("pages, edits, error, printed, sent", ERRORS)
def test_errors_propagate(double, capsys, pages, edits, error, printed, sent):
    recorder = double(pages, ['{"success": true}' if e == "true" else e for e in edits])
    with pytest.raises(error) as caught:
        review("x")
    assert traceback.extract_tb(caught.tb)[1].name == TRACE_NAME  # next to this test's frame
    assert lines(capsys) == printed
    assert len(recorder.calls) == sent


def test_parse_failure_sends_nothing(monkeypatch, capsys):
    recorder = Recorder({})
    monkeypatch.setattr(tervix_main, "requests", recorder)
    with pytest.raises(ValueError, match="not a curl command") as caught:
        review("wget https://ms.example.org/")
    assert traceback.extract_tb(caught.tb)[1].name == TRACE_NAME
    assert recorder.calls == [] and capsys.readouterr().out == ""


# End to end: the real parser and requests against the stand-in server on 127.0.0.1.


@pytest.mark.parametrize("style, refuse", [("bash", set()), ("cmd", set()), ("bash", {1, 116})])
def test_end_to_end(monkeypatch, capsys, style, refuse):
    with StandinMeterSphere(cases=117, refuse=refuse) as server:
        loopback = LoopbackRequests(server.origin)
        monkeypatch.setattr(tervix_main, "requests", loopback)
        duty_main.GlimetWorkMain()._tervix_test_case_review(server.curl_command(style))
        statuses = list(server.statuses().values())
        assert statuses == ["Prepare" if n in refuse else "Pass" for n in range(117)]
        assert len(server.log) == 3 + 117
    assert all(url.startswith("https://") for url in loopback.urls)

    refusal = {"success": False, "message": "用例已被锁定，无法评审", "data": None}
    expected = ["读取用例：50", "读取用例：100", "读取用例：117"]
    for n in range(117):
        name = f"用例 {n + 1}：登录后查看订单"
        refused = [f"{FAILED}：{name}", json.dumps(refusal, ensure_ascii=False)]
        expected += refused if n in refuse else [f"{PASSED}：{name}"]
    assert lines(capsys) == expected


def test_end_to_end_signed_out_edits_nothing(monkeypatch):
    # (answers that are not JSON are the faults' own tests, beside this file)
    with StandinMeterSphere(cases=60) as server:
        monkeypatch.setattr(tervix_main, "requests", LoopbackRequests(server.origin))
        text = server.curl_command().replace(server.session_id, "expired")
        with pytest.raises(AttributeError):
            review(text)
        assert set(server.statuses().values()) == {"Prepare"}
