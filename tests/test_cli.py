"""The command line, end to end: real processes, real standard input and output."""

import contextlib
import hashlib
import json
import os
import pty
import re
import select
import signal
import socket
import subprocess
import sys
import time
import urllib.parse
from pathlib import Path

import pytest

from glimet_work import METERSPHERE_API_ROOT, METERSPHERE_BASE, __version__, cli

from signing_helpers import DEFAULT_SALT, PRODUCTION_SALT
from standin_metersphere import (
    BAD_GATEWAY,
    REDIRECT,
    TLS_CERT,
    StandinMeterSphere,
    cli_command,
    operation_command,
)

PROD, DEFAULT = PRODUCTION_SALT, DEFAULT_SALT
# An ASCII-only stdio encoding: output must still come out as UTF-8.
ENV = {**os.environ, "PYTHONIOENCODING": "ascii", "LC_ALL": "C"}
HOST = urllib.parse.urlsplit(METERSPHERE_BASE).netloc
ELSEWHERE = "curl 'https://ms.example.org/x' -H 'Cookie: MS_SESSION_ID=s' --data-raw '{}'"


def glimet(*args, stdin=b"", command=(sys.executable, "-m", "glimet_work"), env=ENV):
    """Runs the command line with `stdin`; returns the finished process (bytes output)."""
    if isinstance(stdin, str):
        stdin = stdin.encode()
    return subprocess.run(
        [*command, *args], input=stdin, check=False, capture_output=True, env=env, timeout=60
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
    (["notice"], " \r\n ", r"the input is empty: give one '【title】http\.\.\.' per line"),
    (["json", "/dev/zero"], "", r"invalid JSON: '/dev/zero' begins with '\\x00' \(U\+0000\), .*"),
    (["notice", "--max-input", "1K", "/dev/zero"], "", r"'/dev/zero' holds more than 1024 bytes, .*"),
    (["json", "--max-input", "7"], '{"a": 1}', r"standard input holds more than 7 bytes, .*"),
    (["sign", "--env", "PROD"], "{}",
     r"argument --env: 'PROD' is not 'prod': .*; write prod \(see 'glimet-work sign --help'\)"),
    (["sign-params", "--env", "p rod"], "{}", r"argument --env: 'p rod' is not 'prod': .*"),
    (["json", "--max-input", "2T"], "", r"argument --max-input: not a positive number of bytes: .*"),
    (["sign"], "[1, 2]", r"expected a JSON object, got an array"),
    (["sign", "--env", "prod"], "null", r"expected a JSON object, got null"),
    (["sign-params"], '"张三"', r"expected a JSON object, got a string"),
    (["sign-params", "--keep-time"], "1.5", r"expected a JSON object, got a number"),
    (["sign"], "true", r"expected a JSON object, got a boolean"),
    (["review"], "this is not a curl command", r"cannot read the curl command: .+"),
    (
        ["review"],
        f"curl {METERSPHERE_BASE} --data-raw " + "[" * 100_000,
        r"cannot read the curl command: the body nests deeper than json.loads can decode",
    ),
    (
        ["review"],
        f"curl {METERSPHERE_BASE} -H 'X-Name: 张三'",
        r'cannot send the header "X-Name": its value holds U\+5F20, which HTTP headers cannot .+',
    ),
    (
        ["review"],
        ELSEWHERE,
        (
            rf"the curl command was copied from ms\.example\.org, but this build of glimet-work "
            rf"talks to {re.escape(HOST)}, .* make install METERSPHERE_BASE=https://ms\.example\.org"
        ),
    ),
]


@pytest.mark.parametrize("args, stdin, message", ERRORS)
def test_bad_input_is_one_line_and_status_2(args, stdin, message, tmp_path):
    done = glimet(*(a.replace("{tmp}", str(tmp_path)) for a in args), stdin=stdin)
    assert (done.returncode, done.stdout) == (2, b"")
    stderr = done.stderr.decode("utf-8")
    assert stderr.count("\n") == 1
    assert re.fullmatch(rf"glimet-work {args[0]}: error: {message}\n", stderr), stderr


# Input read a byte at a time: a character split over reads, and where a fault lies.
PIECES = [
    (b"\xef\xbb\xbf {}", " {}"),
    ('{"张三"'.encode(), '{"张三"'),
    (b"{b\xe6\x8a\x95\xff", "'{path}' is not UTF-8 text (byte 5: invalid start byte)"),
    (b"{b\xe6\x8a", "'{path}' is not UTF-8 text (byte 2: unexpected end of data)"),
    (b"\n\t x", "invalid JSON: '{path}' begins with 'x' (U+0078), which begins no JSON value"),
]


@pytest.mark.parametrize("data, result", PIECES)
def test_input_read_in_pieces(data, result, tmp_path, monkeypatch):
    monkeypatch.setattr(cli, "_CHUNK", 1)
    path = tmp_path / "input"
    path.write_bytes(data)
    try:
        text = cli._read_text(str(path), starts="{")
    except cli.CommandError as exc:
        text = str(exc)
    assert text == result.replace("{path}", str(path))


@pytest.mark.parametrize(
    "args",
    [[], ["frobnicate"], ["sign", "--env"], ["json", "a", "b"], ["review", "--timeout", "0"]],
)
def test_bad_arguments_are_one_line_and_status_2(args):
    done = glimet(*args)
    assert (done.returncode, done.stdout) == (2, b"")
    assert re.fullmatch(rb"glimet-work[a-z ]*: error: [^\n]+ \(see 'glimet-work[a-z ]* --help'\)\n",
                        done.stderr), done.stderr


@pytest.mark.parametrize("command", ["sign", "sign-params", "json", "review", "notice"])
def test_help_has_an_example(command):
    done = glimet(command, "--help")
    assert (done.returncode, done.stderr) == (0, b"")
    text = done.stdout.decode("utf-8")
    assert text.startswith(f"usage: glimet-work {command} ")
    assert re.search(rf"example:\n .*glimet-work {command}", text)
    assert (METERSPHERE_BASE in text) == (command == "review")


def test_version_names_the_server():
    done = glimet("--version")
    assert (done.returncode, done.stderr) == (0, b"")
    assert (
        done.stdout.decode()
        == f"glimet-work {__version__} (MeterSphere server: {METERSPHERE_BASE}, API root "
        f"{METERSPHERE_API_ROOT})\n"
    )


# Signing: each signature is recomputed with hashlib over the text it must cover.


@pytest.mark.parametrize(
    "options, salt, kept",
    [
        (["--env", "prod", "--keep-time"], PROD, True),
        ([], DEFAULT, False),
        (["--env", "staging"], DEFAULT, False),
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


# Review: against the stand-in MeterSphere on loopback, requests rerouted from the built-in host.

CASES = 60  # two list pages
SESSION_HINT = (
    "the session in the pasted command has expired or lacks the right: copy the request again "
    "from a logged-in browser"
)


def case_name(n):
    return f"用例 {n + 1}：登录后查看订单"


def operation_lines(refused=()):
    """What the operation prints for a whole review of CASES cases."""
    lines = ["读取用例：50", "读取用例：60"]
    refusal = '{"success": false, "message": "用例已被锁定，无法评审", "data": null}'
    for n in range(CASES):
        if n in refused:
            lines += [f"【警告】评审失败：{case_name(n)}", refusal]
        else:
            lines.append(f"评审通过：{case_name(n)}")
    return lines


def closed_port_origin():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return f"http://127.0.0.1:{sock.getsockname()[1]}"


UNCHANGED = "glimet-work review: stopped before any case was changed; running the review again is safe"
REFUSAL = "用例已被锁定，无法评审"


def error(message, closing=UNCHANGED):
    return f"glimet-work review: error: {message}\n{closing}\n"


# name: (stand-in faults, options, how the run differs, exit status, standard error,
#        standard output lines, cases left as they were)
# fmt: off
REVIEWS = {
    "all pass": ({}, [], None, 0, "glimet-work review: 60 cases: 60 passed\n", 62, 0),
    "refused": (
        {"refuse": (3, 40)}, [], None, 1,
        f"glimet-work review: 60 cases: 58 passed, 2 refused: {case_name(3)}: {REFUSAL}; "
        f"{case_name(40)}: {REFUSAL}\n",
        64, 2,
    ),
    "401": (
        {}, [], "signed out", 1,
        error(f"page 1 of the case list: HTTP 401 Unauthorized from {HOST}: Unauthorized; "
              + SESSION_HINT),
        0, 60,
    ),
    "HTML 502 page": (
        {"page_faults": {2: "bad_gateway"}}, [], None, 1,
        error(f"page 2 of the case list: HTTP 502 Bad Gateway from {HOST}, not JSON: "
              + BAD_GATEWAY),
        1, 60,
    ),
    "HTML 502 edit": (
        {"edit_faults": {4: "bad_gateway"}}, [], None, 1,
        error(f'the edit of case "{case_name(4)}": HTTP 502 Bad Gateway from {HOST}, not JSON: '
              + BAD_GATEWAY, "glimet-work review: stopped after 4 of 60 cases (4 passed; the "
              "outcome of the 5th is unknown); running the review again is safe"),
        6, 56,
    ),
    "redirect": (
        {"page_faults": {1: "redirect"}}, [], None, 1,
        error(f"page 1 of the case list: HTTP 307 Temporary Redirect from {HOST}, redirected "
              f"to {REDIRECT}, which the review does not follow: (empty body); {SESSION_HINT}"),
        0, 60,
    ),
    "timeout": (
        {"page_faults": {2: "stall"}}, ["--timeout", "0.5"], None, 1,
        error(f"page 2 of the case list: {HOST} did not answer within 0.5 s (--timeout SECONDS)"),
        1, 60,
    ),
    "body stalls": (
        {"edit_faults": {0: "stall_body"}}, ["--timeout", "0.5"], None, 1,
        error(f'the edit of case "{case_name(0)}": {HOST} did not answer within 0.5 s '
              "(--timeout SECONDS)", "glimet-work review: stopped after 0 of 60 cases (0 passed; "
              "the outcome of the 1st is unknown); running the review again is safe"),
        2, 60,
    ),
    "connection refused": (
        {}, [], "closed port", 1,
        error(f"page 1 of the case list: the connection to {HOST} failed: Connection refused"),
        0, 60,
    ),
}
# fmt: on


@pytest.mark.parametrize(
    "faults, options, how, status, stderr, printed, left", REVIEWS.values(), ids=REVIEWS.keys()
)
def test_review(faults, options, how, status, stderr, printed, left):
    with StandinMeterSphere(CASES, **faults) as server:
        paste = server.curl_command()
        if how == "signed out":
            paste = paste.replace(server.session_id, "expired")
        origin = closed_port_origin() if how == "closed port" else server.origin
        done = glimet("review", *options, stdin=paste, command=cli_command(origin))
        statuses = list(server.statuses().values())
    assert (done.returncode, done.stderr.decode("utf-8")) == (status, stderr)
    # Standard output holds the operation's own lines, as far as the review went.
    refused = faults.get("refuse", ())
    assert done.stdout.decode("utf-8").splitlines() == operation_lines(refused)[:printed]
    assert statuses.count("Prepare") == left


@pytest.mark.parametrize("trusted", [False, True], ids=["unknown CA", "REQUESTS_CA_BUNDLE"])
def test_review_over_https(trusted):
    # A server whose certificate comes from a CA of its own: the line says how to trust it,
    # and doing so makes the review go through.
    env = {**ENV, "REQUESTS_CA_BUNDLE": str(TLS_CERT)} if trusted else ENV
    with StandinMeterSphere(CASES, tls=True) as server:
        done = glimet("review", stdin=server.curl_command(), command=cli_command(server.origin),
                      env=env)
        statuses = set(server.statuses().values())
    if trusted:
        passed = b"glimet-work review: 60 cases: 60 passed\n"
        assert (done.returncode, done.stderr, statuses) == (0, passed, {"Pass"})
    else:
        assert done.returncode == 1 and statuses == {"Prepare"}
        assert done.stderr.decode("utf-8") == error(
            f"page 1 of the case list: cannot verify the certificate of {HOST} (self-signed "
            "certificate); for a server whose certificate comes from a private CA, set "
            "REQUESTS_CA_BUNDLE to that CA's certificate file"
        )


def run_at_terminal(command, answer):
    """Runs `command` with standard input and error on a terminal, typing `answer` once the
    question is shown; returns the finished process and what the terminal showed."""
    controller, terminal = pty.openpty()
    shown = b""
    try:
        with subprocess.Popen(
            command, stdin=terminal, stdout=subprocess.PIPE, stderr=terminal, env=ENV
        ) as process:
            os.close(terminal)
            terminal = None
            deadline = time.monotonic() + 60
            while answer is not None and b"[y/N] " not in shown and time.monotonic() < deadline:
                if select.select([controller], [], [], 1)[0]:
                    shown += os.read(controller, 4096)
            if answer is not None:
                os.write(controller, answer)
            stdout = process.communicate(timeout=60)[0]
        while select.select([controller], [], [], 0.5)[0]:
            try:
                shown += os.read(controller, 4096)
            except OSError:  # the terminal's other side is gone
                break
    finally:
        os.close(controller)
        if terminal is not None:
            os.close(terminal)
    return process.returncode, stdout.decode("utf-8"), shown.decode("utf-8").replace("\r\n", "\n")


PLAN = "glimet-work review: 60 cases of review {} on " + METERSPHERE_BASE + ": 60 Prepare\n"
QUESTION = "glimet-work review: set all 60 cases of review {} on " + METERSPHERE_BASE + " to Pass? "
DRY_RUN = [f"would pass: {case_name(n)}" for n in range(CASES)]
DONE = "glimet-work review: 60 cases: 60 passed\n"

# (options, the answer typed, exit status, what the terminal shows after the question,
#  standard output lines, cases left as they were)
BEFORE_CHANGING = {
    "yes": ([], b"y\n", 0, "[y/N] y\n" + DONE, operation_lines(), 0),
    "no": (
        [],
        b"\n",
        1,
        "[y/N] \nglimet-work review: cancelled; no case was changed\n",
        operation_lines()[:2],
        60,
    ),
    "--yes": (["--yes"], None, 0, DONE, operation_lines(), 0),
    "--dry-run": (
        ["--dry-run"],
        None,
        0,
        PLAN + "glimet-work review: dry run: 60 of 60 cases would be set to Pass; none was "
        "changed\n",
        operation_lines()[:2] + DRY_RUN,
        60,
    ),
}


@pytest.mark.parametrize(
    "options, answer, status, shown, stdout, left",
    BEFORE_CHANGING.values(),
    ids=BEFORE_CHANGING.keys(),
)
def test_review_asks_before_changing(options, answer, status, shown, stdout, left, tmp_path):
    with StandinMeterSphere(CASES) as server:
        paste = tmp_path / "case-list.curl"
        paste.write_text(server.curl_command(), encoding="utf-8")
        command = [*cli_command(server.origin), "review", *options, str(paste)]
        done = run_at_terminal(command, answer)
        statuses = list(server.statuses().values())
    shown = shown.format(server.review_id)
    question = (PLAN + QUESTION).format(*[server.review_id] * 2) if answer else ""
    assert (done[0], done[2]) == (status, question + shown)
    assert done[1].splitlines() == stdout
    assert statuses.count("Prepare") == left


# The signal leaves as soon as the line is read, while the review releases the edit's response,
# where an interrupt used to be swallowed. The operation alone shows it best: the command line's
# own Python code around each printed line takes most such signals before the operation could.
@pytest.mark.parametrize("runner", ["operation", "command line"])
@pytest.mark.parametrize("after", [1, 2, 3])
def test_ctrl_c_after_a_result_line_stops_the_review(runner, after, tmp_path):
    with StandinMeterSphere(CASES) as server:
        paste = tmp_path / "case-list.curl"
        paste.write_text(server.curl_command(), encoding="utf-8")
        command = (
            operation_command(server.origin, paste)
            if runner == "operation"
            else [*cli_command(server.origin), "review", str(paste)]
        )
        with subprocess.Popen(
            command,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            env=ENV,
        ) as process:
            try:
                results = 0
                while results < after:
                    line = process.stdout.readline().decode("utf-8")
                    assert line, "the review ended before its result lines"
                    results += line.startswith("评审通过")
                process.send_signal(signal.SIGINT)
                stderr = process.communicate(timeout=60)[1]
            finally:
                process.kill()
        passed = list(server.statuses().values()).count("Pass")
    # The review may have run ahead of the lines read here (on a loaded machine by several
    # cases), but a lost interrupt lets it pass every case.
    assert passed < CASES, "the review went on after Ctrl-C"
    if runner == "operation":
        assert process.returncode == -signal.SIGINT and b"KeyboardInterrupt" in stderr
    else:  # one line on what was done, and the end by SIGINT
        assert process.returncode == -signal.SIGINT
        assert re.fullmatch(
            rb"glimet-work review: stopped after \d+ of 60 cases \(\d+ passed(; the outcome of "
            rb"the \d+\w\w is unknown)?\); running the review again is safe\n",
            stderr,
        )


# (shell form of the command, input, exit status, the stream written, its one line)
SANITIZED = pytest.mark.skipif(bool(os.environ.get("GLIMET_SANITIZED")), reason="ASan's memory")
NOT_DONE = "glimet-work: error: standard {} is closed; nothing was done"
# fmt: off
STREAM_FAULTS = [
    ('exec "$@" >&-', "{}", 2, "stderr", NOT_DONE.format("output")),
    ('exec "$@" 2>&-', "{}", 2, None, None),
    ('exec "$@" >/dev/full', "{}", 1, "stderr",
     "glimet-work json: error: cannot write standard output: No space left on device"),
    ('exec "$@"', '{"a": "\\ud800"}', 1, "stderr",
     "glimet-work json: error: cannot write U+D800 to standard output: UTF-8 cannot carry it"),
    pytest.param('ulimit -v 1000000; exec "$@" < "$BIG"', None, 1, "stderr",
                 "glimet-work json: error: out of memory", marks=SANITIZED),
]
# fmt: on


@pytest.mark.parametrize("shell, stdin, status, stream, line", STREAM_FAULTS)
def test_stream_faults_are_one_line_and_no_success(shell, stdin, status, stream, line, tmp_path):
    big = tmp_path / "big.json"
    with big.open("wb") as file:
        file.write(b"[")
        file.truncate(4 << 30)  # sparse: reading up to the bound wants 1 GiB
    done = subprocess.run(
        ["sh", "-c", shell, "sh", sys.executable, "-m", "glimet_work", "json"],
        check=False,
        input=None if stdin is None else stdin.encode(),
        capture_output=True,
        env={**ENV, "BIG": str(big)},
        timeout=60,
    )
    assert done.returncode == status
    written = {"stdout": done.stdout, "stderr": done.stderr}
    if stream:
        assert written.pop(stream).decode("utf-8") == line + "\n"
    assert set(written.values()) <= {b""}


def test_at_a_terminal_the_paste_is_asked_for_and_names_are_escaped():
    # Standard input, output and error all on one terminal: the paste is typed, then Ctrl-D.
    names = {0: "x\n评审通过：伪造的一行", 1: "\x1b]0;retitled\x07\x1b[2J"}
    with StandinMeterSphere(CASES, names=names, refuse=(1,)) as server:
        controller, terminal = pty.openpty()
        shown = b""
        try:
            command = [*cli_command(server.origin), "review", "--yes"]
            with subprocess.Popen(
                command, stdin=terminal, stdout=terminal, stderr=terminal, env=ENV
            ) as process:
                os.close(terminal)
                for line in server.curl_command().splitlines(keepends=True):
                    os.write(controller, line.encode())
                os.write(controller, b"\n\x04")
                deadline = time.monotonic() + 60
                while process.poll() is None and time.monotonic() < deadline:
                    if select.select([controller], [], [], 0.5)[0]:
                        with contextlib.suppress(OSError):
                            shown += os.read(controller, 65536)
                with contextlib.suppress(OSError):
                    while select.select([controller], [], [], 0.5)[0]:
                        shown += os.read(controller, 65536)
        finally:
            os.close(controller)
    text = shown.decode("utf-8").replace("\r\n", "\n")
    assert process.returncode == 1
    assert "glimet-work review: paste the curl command, then press Ctrl-D\n" in text
    assert "\x1b" not in text and "\x07" not in text
    assert "评审通过：x\\n评审通过：伪造的一行\n" in text  # the operation's line, escaped
    assert "【警告】评审失败：\\x1b]0;retitled\\x07\\x1b[2J\n" in text
    assert text.endswith(
        "glimet-work review: 60 cases: 59 passed, 1 refused: \\x1b]0;retitled\\x07\\x1b[2J: "
        "用例已被锁定，无法评审\n"
    )
