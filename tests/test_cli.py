"""The command line, end to end: real processes, real standard input and output."""

import hashlib
import json
import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import pytest

from glimet_work.duty_main import GlimetWorkMain

PROD = "&0x3f1b8e27=_0x5c90a_0x7e1d04f93_0xb28c6a1_0x4d07ee"
DEFAULT = "&0x71c0e5d29f=_0x4e8a07b3c1_0x9f26d0_0x6b3e91c_0x02d7a"
# An ASCII-only stdio encoding: output must still come out as UTF-8.
ENV = {**os.environ, "PYTHONIOENCODING": "ascii", "LC_ALL": "C"}


def still_a_stub(operation, *args):
    """Whether the operation only raises NotImplementedError in this build."""
    try:
        getattr(GlimetWorkMain(), operation)(*args)
    except NotImplementedError:
        return True
    except Exception:  # noqa: BLE001 - anything else means it is built
        return False
    return False


needs_sign = pytest.mark.skipif(
    still_a_stub("_tervix_saas_sign", {}), reason="body signing not built yet"
)
needs_sign_params = pytest.mark.skipif(
    still_a_stub("_tervix_saas_sign_params", {}), reason="parameter signing not built yet"
)
needs_review = pytest.mark.skipif(
    still_a_stub("_tervix_test_case_review", "not a curl command"),
    reason="review client not built yet",
)


def glimet(*args, stdin=b"", command=(sys.executable, "-m", "glimet_work")):
    """Runs the command line with `stdin`; returns the finished process (bytes output)."""
    if isinstance(stdin, str):
        stdin = stdin.encode()
    return subprocess.run(
        [*command, *args], input=stdin, check=False, capture_output=True, env=ENV, timeout=60
    )


def signature(text):
    return hashlib.sha256(text.encode()).hexdigest().upper()


# (arguments, input, standard output); each runs once from standard input, once from a file.
OUTPUTS = [
    (
        ["json"],
        '{"名": [1, 2.5, null, true], "k": {"a": "é\\n"}}',
        '{"名":[1,2.5,null,true],"k":{"a":"é\\n"}}\n',
    ),
    (["json"], '\ufeff  "张三"\n', '"张三"\n'),
    (
        ["notice"],
        "【登录优化】https://e.org/1\r\n\r\n【导出修复】https://e.org/2\r\n",
        "投产需求：\n1、登录优化\n2、\n3、导出修复\n",
    ),
    (["notice"], "", "投产需求：\n1、\n"),
]


@pytest.mark.parametrize("from_file", [False, True], ids=["stdin", "file"])
@pytest.mark.parametrize("args, stdin, stdout", OUTPUTS)
def test_output(args, stdin, stdout, from_file, tmp_path):
    if from_file:
        path = tmp_path / "input.txt"
        path.write_text(stdin, encoding="utf-8", newline="")
        done = glimet(*args, str(path))
    else:
        done = glimet(*args, stdin=stdin)
    assert (done.returncode, done.stderr) == (0, b"")
    assert done.stdout.decode("utf-8") == stdout


def test_console_script():
    script = Path(sys.executable).with_name("glimet-work")
    done = glimet("notice", stdin="【甲】http://a", command=(str(script),))
    assert (done.returncode, done.stderr) == (0, b"")
    assert done.stdout.decode("utf-8") == "投产需求：\n1、甲\n"


# (arguments, input, the message after "glimet-work COMMAND: error: ")
ERRORS = [
    (["json"], "{", r"invalid JSON: Expecting property name enclosed in double quotes: .*"),
    (["json"], "", r"invalid JSON: Expecting value: line 1 column 1 \(char 0\)"),
    (["json"], "[" * 100_000, r"invalid JSON: maximum recursion depth exceeded.*"),
    (
        ["json", "{tmp}/missing.json"],
        "",
        r"cannot read '.*missing\.json': No such file or directory",
    ),
    (["notice", "{tmp}"], "", r"cannot read '.*': Is a directory"),
    (
        ["notice"],
        b"\xe6\x8a\x95\xff",
        r"standard input is not UTF-8 text \(byte 3: invalid start byte\)",
    ),
    (["sign"], "[1, 2]", r"expected a JSON object, got an array"),
    (["sign", "--env", "prod"], "null", r"expected a JSON object, got null"),
    (["sign-params"], '"张三"', r"expected a JSON object, got a string"),
    (["sign-params", "--keep-time"], "1.5", r"expected a JSON object, got a number"),
    (["sign"], "true", r"expected a JSON object, got a boolean"),
]


@pytest.mark.parametrize("args, stdin, message", ERRORS)
def test_bad_input_is_one_line_and_status_2(args, stdin, message, tmp_path):
    done = glimet(*(a.replace("{tmp}", str(tmp_path)) for a in args), stdin=stdin)
    assert (done.returncode, done.stdout) == (2, b"")
    stderr = done.stderr.decode("utf-8")
    assert stderr.count("\n") == 1
    assert re.fullmatch(rf"glimet-work {args[0]}: error: {message}\n", stderr), stderr


@pytest.mark.parametrize("args", [[], ["frobnicate"], ["sign", "--env"], ["json", "a", "b"]])
def test_bad_arguments_exit_2_without_traceback(args):
    done = glimet(*args)
    assert (done.returncode, done.stdout) == (2, b"")
    assert b"usage: glimet-work" in done.stderr and b"Traceback" not in done.stderr


@pytest.mark.parametrize("command", ["sign", "sign-params", "json", "review", "notice"])
def test_help_has_an_example(command):
    done = glimet(command, "--help")
    assert (done.returncode, done.stderr) == (0, b"")
    text = done.stdout.decode("utf-8")
    assert text.startswith(f"usage: glimet-work {command} ")
    assert re.search(rf"example:\n .*glimet-work {command}", text)


# Signing: each signature is recomputed with hashlib over the text it must cover.


@needs_sign
@pytest.mark.parametrize(
    "options, salt, kept",
    [
        (["--env", "prod", "--keep-time"], PROD, True),
        ([], DEFAULT, False),
        (["--env", "Prod"], DEFAULT, False),
    ],
)
def test_sign(options, salt, kept):
    body = {"b": True, "名": "张三", "a": [1, "é"], "saas_sign_timespan": 1, "saas_sign": "old"}
    before = int(time.time() * 1000)
    done = glimet("sign", *options, stdin=json.dumps(body))
    assert (done.returncode, done.stderr) == (0, b"")
    assert "张三" in done.stdout.decode("utf-8")
    signed = json.loads(done.stdout)
    stamp = signed["saas_sign_timespan"]
    assert (stamp == 1) if kept else (stamp >= before)
    text = f'a=[1,"é"]&b=true&saas_sign_timespan={stamp}&名=张三{salt}'
    assert list(signed) == ["a", "b", "saas_sign_timespan", "名", "saas_sign"]
    assert signed["saas_sign"] == signature(text)


@needs_sign_params
def test_sign_params_prints_text_then_parameters():
    params = {"page": 1, "name": "张三", "active": True, "memo": None, "saas_sign_timespan": 17}
    done = glimet("sign-params", "--keep-time", stdin=json.dumps(params))
    assert (done.returncode, done.stderr) == (0, b"")
    text, signed, rest = done.stdout.decode("utf-8").split("\n")
    assert rest == ""
    assert text == (
        'active=["true"]&memo=["null"]&name=["张三"]&page=["1"]&saas_sign_timespan=["17"]' + DEFAULT
    )
    assert signed == json.dumps(
        {**params, "saas_sign": signature(text)}, ensure_ascii=False, separators=(",", ":")
    )


# Review: against a stand-in MeterSphere server on loopback.

CURL = """curl 'https://ms.example.org/metersphere-api/track/test/review/case/list/1/50' \\
  -H 'Content-Type: application/json' \\
  -H 'CSRF-TOKEN: t0k3n' \\
  --data-raw '{"reviewId":"r-1","projectId":"p-1"}'
"""

# Sends the review's requests to the loopback port given as the first argument, then runs the
# command line with the remaining arguments, as `python -m glimet_work` would.
LAUNCHER = """
import runpy, sys, types, urllib.parse
import requests
from glimet_work import tervix_main
origin = "http://127.0.0.1:" + sys.argv.pop(1)
def request(**kwargs):
    kwargs["url"] = origin + urllib.parse.urlsplit(kwargs["url"]).path
    return requests.request(**kwargs)
tervix_main.requests = types.SimpleNamespace(request=request)
runpy.run_module("glimet_work", run_name="__main__", alter_sys=True)
"""


class StandIn(ThreadingHTTPServer):
    """Serves the case list in pages and answers edits; refuses the cases in `refused`."""

    daemon_threads = True

    def __init__(self, pages, refused=(), hold_edits=False):
        super().__init__(("127.0.0.1", 0), StandInHandler)
        self.pages, self.refused = pages, set(refused)
        self.editing = threading.Event()  # set when an edit arrives
        self.release = threading.Event()  # edits wait for it when held
        if not hold_edits:
            self.release.set()

    def handle_error(self, request, client_address):
        pass  # a client that went away (Ctrl-C) is expected


class StandInHandler(BaseHTTPRequestHandler):
    def do_POST(self):
        server = self.server
        body = json.loads(self.rfile.read(int(self.headers["Content-Length"])))
        page = re.fullmatch(r"/metersphere-api/track/test/review/case/list/(\d+)/50", self.path)
        if page:
            cases = server.pages[int(page[1]) - 1]
            answer = {"data": {"pageCount": len(server.pages), "listObject": cases}}
        else:
            server.editing.set()
            server.release.wait(30)
            ok = body["id"] not in server.refused
            answer = {"success": ok} if ok else {"success": False, "message": "已关闭"}
        data = json.dumps(answer, ensure_ascii=False).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json; charset=utf-8")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def log_message(self, *args):
        pass


@pytest.fixture
def stand_in(request):
    server = StandIn(**request.param)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield server
    server.release.set()
    server.shutdown()
    server.server_close()
    thread.join()


def review_command(port):
    return (sys.executable, "-c", LAUNCHER, str(port))


def case(n, name):
    return {"id": f"c{n}", "caseId": f"k{n}", "reviewId": "r-1", "name": name}


@needs_review
@pytest.mark.parametrize(
    "stand_in",
    [{"pages": [[case(1, "登录")], [case(2, "导出")]], "refused": ["c2"]}],
    indirect=True,
)
def test_review(stand_in):
    done = glimet("review", stdin=CURL, command=review_command(stand_in.server_port))
    assert (done.returncode, done.stderr) == (0, b"")
    assert done.stdout.decode("utf-8").splitlines() == [
        "读取用例：1",
        "读取用例：2",
        "评审通过：登录",
        "【警告】评审失败：导出",
        '{"success": false, "message": "已关闭"}',
    ]


def closed_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


@needs_review
def test_review_failure_is_one_line_and_status_1():
    done = glimet("review", stdin=CURL, command=review_command(closed_port()))
    assert (done.returncode, done.stdout) == (1, b"")
    stderr = done.stderr.decode("utf-8")
    assert stderr.count("\n") == 1
    assert stderr.startswith("glimet-work review: error: the review failed: ConnectionError: ")


@needs_review
def test_unreadable_curl_command_is_status_2():
    done = glimet("review", stdin="this is not a curl command")
    assert (done.returncode, done.stdout) == (2, b"")
    stderr = done.stderr.decode("utf-8")
    assert stderr.count("\n") == 1
    assert stderr.startswith("glimet-work review: error: cannot read the curl command: ")


@needs_review
@pytest.mark.parametrize(
    "stand_in", [{"pages": [[case(1, "登录"), case(2, "导出")]], "hold_edits": True}], indirect=True
)
def test_ctrl_c_during_review_exits_130_quietly(stand_in, tmp_path):
    command = tmp_path / "case-list.curl"
    command.write_text(CURL, encoding="utf-8")
    with subprocess.Popen(
        review_command(stand_in.server_port) + ("review", str(command)),
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=ENV,
    ) as process:
        try:
            assert stand_in.editing.wait(30), "the review never reached its first edit"
            assert process.stdout.readline().decode("utf-8") == "读取用例：2\n"
            process.send_signal(signal.SIGINT)
            stdout, stderr = process.communicate(timeout=30)
        finally:
            process.kill()
    assert (process.returncode, stdout, stderr) == (130, b"", b"")
