"""A stand-in MeterSphere server on 127.0.0.1 for trying the review client without a real one.

It serves the two endpoints a test-case review uses, with MeterSphere's response shapes:

    POST {root}/test/review/case/list/{page}/{size}
        body {"reviewId": ..., ...} -> {"success": true, "message": null,
        "data": {"itemCount": n, "pageCount": p, "listObject": [case, ...]}}
    POST {root}/test/review/case/edit
        body {"id", "caseId", "reviewId", "comment", "status"} -> {"success": true, ...}

where root is the API root this build sends to (glimet_work.METERSPHERE_API_ROOT) unless
another is given, as a stock server's /track.

Both want the session cookie and the CSRF-TOKEN header of a signed-in browser, which the
command from `curl_command()` carries, and the server keeps each case's status.

Faults, chosen per list page or per case edit, answer in place of the server's own handling:
"bad_gateway" (HTTP 502 with an HTML page, as a reverse proxy gives when the server is down),
"not_json" (HTTP 200 with a JSON body cut short), "reset" (the connection reset with no answer),
"refuse" (HTTP 200 with success false), "reviewer" (the same, for a case of another reviewer),
"redirect" (HTTP 307 to REDIRECT, another host), "redirect_here" (HTTP 307 to the same path on
this server), "login" (HTTP 302 to /login, as v1 answers a session that expired),
"session_500" (HTTP 500 with v2's message for one), "stall" (no answer until the server stops,
at most STALL_SECONDS), "stall_body" (the same after the headers), "trickle" (the answer a byte
every TRICKLE seconds), "endless" (a chunked body that never ends), "gzip_bomb" (a small gzip
body that inflates to BOMB_BYTES). For list pages also "unlisted" (success false, cases and
all), "short" (the page's last case missing), "empty" (no case), "repeat" (page 1's first case
in place of the page's first) and "shrink" (REMOVED cases deleted once the page is served),
and for edits "underway" (success true, the case's status Underway: other reviewers must
still pass it). A faulty edit changes nothing, but "underway" sets the status it names.

    with StandinMeterSphere(cases=117) as server:
        text = server.curl_command()        # what "Copy as cURL" gives for the case list
        ...                                 # send requests to server.origin
        server.statuses()                   # {case id: status}

The command names the server this build of glimet-work talks to, as a user's would; the
clients below send its requests to the loopback origin instead. Only the standard library is
used, besides requests, imported by `LoopbackRequests.request` when called.
"""

import contextlib
import gzip
import http.cookies
import json
import math
import pathlib
import re
import socket
import ssl
import struct
import sys
import threading
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from glimet_work import METERSPHERE_API_ROOT, METERSPHERE_BASE

STATUSES = {"Prepare", "Pass", "UnPass", "Again", "Underway", "Rereview"}
BODY_LIMIT = 1 << 20
FAULTS = {
    "bad_gateway", "not_json", "reset", "refuse", "reviewer", "redirect", "redirect_here",
    "login", "session_500", "stall", "stall_body", "trickle", "endless", "gzip_bomb", "unlisted",
    "short", "empty", "repeat", "shrink", "underway",
}
REDIRECT = "http://localhost:9/sso/login"
SESSION_500 = '401 UNAUTHORIZED "Not found session, Please Login again."'
REVIEWER = "非此用例的评审人员！"
TRICKLE = 0.2
BOMB_BYTES = 64 << 20
REMOVED = 5
BAD_GATEWAY = "<html><body><h1>502 Bad Gateway</h1></body></html>"
STALL_SECONDS = 30
TLS_CERT = pathlib.Path(__file__).parent / "tls" / "loopback-cert.pem"
TLS_KEY = pathlib.Path(__file__).parent / "tls" / "loopback-key.pem"


def quote_bash(text):
    """`text` quoted as Chrome's "Copy as cURL (bash)" does: '...', or $'...' with escapes."""
    if not re.search(r"[\x00-\x1f\x7f-\x9f!']", text):
        return "'" + text + "'"
    text = text.replace("\\", "\\\\").replace("'", "\\'").replace("\n", "\\n").replace("\r", "\\r")
    text = re.sub(r"[\x00-\x1f\x7f-\x9f!]", lambda m: f"\\u{ord(m.group()):04x}", text)
    return "$'" + text + "'"


def quote_cmd(text):
    """`text` quoted as Chrome's "Copy as cURL (cmd)" does: ^"..." with ^ escapes."""
    text = text.replace("\\", "\\\\").replace('"', '\\"')
    text = re.sub(r"[^a-zA-Z0-9\s_\-:=+~'/.,?;()*`]", lambda m: "^" + m.group(), text)
    text = re.sub(r"%(?=[a-zA-Z0-9_])", "%^", text)
    text = re.sub(r"\r?\n", "^\n\n", text)
    return '^"' + text + '^"'


class StandinMeterSphere:
    """The server, started by `with` on a free loopback port and stopped on leaving.

    cases: how many cases the review holds; their status starts as "Prepare".
    page_faults: {page number: fault} for list requests.
    edit_faults: {case index: fault} for the edits of those cases.
    refuse: indices of cases whose edit the server refuses with success false.
    non_json_page: a list page answered with an HTML error page instead of JSON.
    tls: serve HTTPS with the self-signed certificate in TLS_CERT (for 127.0.0.1), which no
    client trusts unless told to.
    """

    def __init__(
        self,
        cases=3,
        *,
        page_faults=None,
        edit_faults=None,
        refuse=(),
        non_json_page=None,
        tls=False,
        root=METERSPHERE_API_ROOT,
        statuses=None,
        names=None,
        page_count=None,
    ):
        self.tls = tls
        self.root = root
        self.page_count = page_count  # in every list answer in place of the true count
        self.session_id = "5f0c6b9e-1d2a-4e8b-9a57-0c3d2e1f4a6b"
        self.csrf_token = "Yjk5ZDc2ZTAtOGE1Ny00ZDc1LWI0MmMtYmE4MTg3MzE5OWY4fGFkbWlufDE3MDE="
        self.project_id = "7d3e1c4a-6b2f-4f0e-8c9d-1a2b3c4d5e6f"
        self.review_id = "c1a2b3d4-e5f6-4a7b-8c9d-0e1f2a3b4c5d"
        self.log = []  # (path, request headers, decoded body) of every request, in order
        self._lock = threading.Lock()
        self._cases = [
            {
                "id": f"rc-{n:04d}",
                "caseId": f"tc-{n:04d}",
                "reviewId": self.review_id,
                "projectId": self.project_id,
                "num": 100001 + n,
                "name": f"用例 {n + 1}：登录后查看订单",
                "priority": ("P0", "P1", "P2", "P3")[n % 4],
                "nodePath": "/订单/查询",
                "reviewer": "admin",
                "reviewStatus": (statuses or {}).get(n, "Prepare"),
            }
            for n in range(cases)
        ]
        for n, name in (names or {}).items():
            self._cases[n]["name"] = name
        self._index = {case["id"]: case for case in self._cases}
        self._page_faults = dict(page_faults or {})
        if non_json_page is not None:
            self._page_faults[non_json_page] = "bad_gateway"
        edit_faults = dict(edit_faults or {}) | {n: "refuse" for n in refuse}
        self._edit_faults = {self._cases[n]["id"]: fault for n, fault in edit_faults.items()}
        unknown = {*self._page_faults.values(), *self._edit_faults.values()} - FAULTS
        if unknown:
            raise ValueError(f"unknown faults: {sorted(unknown)}")
        self._server = None
        self._thread = None
        self._stopping = threading.Event()  # releases stalled requests

    def __enter__(self):
        server_type = _TLSServer if self.tls else _Server
        self._server = server_type(("127.0.0.1", 0), _handler_for(self))
        self._thread = threading.Thread(
            target=self._server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True
        )
        self._thread.start()
        return self

    def __exit__(self, *exc_info):
        self._stopping.set()
        self._server.shutdown()
        self._server.server_close()
        self._thread.join(timeout=10)

    @property
    def origin(self):
        host, port = self._server.server_address[:2]
        return f"{'https' if self.tls else 'http'}://{host}:{port}"

    def statuses(self):
        """{case id: review status}, in list order."""
        with self._lock:
            return {case["id"]: case["reviewStatus"] for case in self._cases}

    def clear_faults(self):
        """From now on every request is handled as the server would."""
        with self._lock:
            self._page_faults.clear()
            self._edit_faults.clear()

    def curl_command(self, style="bash", origin=METERSPHERE_BASE):
        """The case-list request as Chrome's "Copy as cURL" gives it, "bash" or "cmd" style, for
        the server at `origin`."""
        quote, end = (quote_bash, " \\\n  ") if style == "bash" else (quote_cmd, " ^\n  ")
        body = json.dumps(
            {"reviewId": self.review_id, "projectId": self.project_id, "orders": [], "combine": {}},
            separators=(",", ":"),
        )
        parts = [
            "curl " + quote(f"{origin}{self.root}/test/review/case/list/1/10"),
            "-H " + quote("Accept: application/json, text/plain, */*"),
            "-H " + quote("Accept-Language: zh-CN,zh;q=0.9,en;q=0.8"),
            "-H " + quote(f"CSRF-TOKEN: {self.csrf_token}"),
            "-H " + quote("Content-Type: application/json;charset=UTF-8"),
            "-b " + quote(f"MS_SESSION_ID={self.session_id}; language=zh_CN"),
            "-H " + quote(f"Origin: {origin}"),
            "-H " + quote(f"PROJECT: {self.project_id}"),
            "-H " + quote('sec-ch-ua: "Chromium";v="124", "Google Chrome";v="124"'),
            "--data-raw " + quote(body),
            "--compressed",
        ]
        return end.join(parts)

    # What the handler calls, under the lock; each returns (HTTP status, body object or text),
    # or (fault, None) for a fault to answer with instead.

    def _signed_in(self, headers):
        cookie = http.cookies.SimpleCookie()
        try:
            cookie.load(headers.get("Cookie", ""))
        except http.cookies.CookieError:
            return False
        session = cookie.get("MS_SESSION_ID")
        return (
            session is not None
            and session.value == self.session_id
            and headers.get("CSRF-TOKEN") == self.csrf_token
        )

    def _list(self, page, size, body):
        fault = self._page_faults.get(page)
        if fault in FAULTS - PAGE_CHANGES:
            return fault, None
        if not isinstance(body, dict) or body.get("reviewId") != self.review_id:
            return 400, _failure("reviewId 不存在")
        chosen = [dict(case) for case in self._cases[(page - 1) * size : page * size]]
        if fault == "short":
            chosen = chosen[:-1]
        elif fault == "empty":
            chosen = []
        elif fault == "repeat":
            chosen[0] = dict(self._cases[0])
        data = {
            "itemCount": len(self._cases),
            "pageCount": self.page_count or math.ceil(len(self._cases) / size),
            "listObject": chosen,
        }
        if fault == "shrink":  # cases deleted meanwhile: the later pages' offsets move
            for case in self._cases[:REMOVED]:
                del self._index[case["id"]]
            del self._cases[:REMOVED]
        return 200, {"success": fault != "unlisted", "message": None, "data": data}

    def _edit(self, body):
        keys = ["id", "caseId", "reviewId", "comment", "status"]
        if not isinstance(body, dict) or list(body) != keys or body["status"] not in STATUSES:
            return 400, _failure("参数错误")
        case = self._index.get(body["id"]) if isinstance(body["id"], str) else None
        if case is None or [case["caseId"], case["reviewId"]] != [body["caseId"], body["reviewId"]]:
            return 400, _failure("用例不存在")
        fault = self._edit_faults.get(case["id"])
        if fault == "underway":
            case["reviewStatus"] = "Underway"
            data = {"id": case["id"], "status": "Underway"}
            return 200, {"success": True, "message": None, "data": data}
        if fault is not None:
            return fault, None
        case["reviewStatus"] = body["status"]
        return 200, {"success": True, "message": None, "data": None}


class _Server(ThreadingHTTPServer):
    def handle_error(self, request, client_address):
        # A client that went away before its answer (an interrupted review) is no fault here.
        if not isinstance(sys.exception(), ConnectionError):
            super().handle_error(request, client_address)


class _TLSServer(_Server):
    def get_request(self):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(TLS_CERT, TLS_KEY)
        sock, address = self.socket.accept()
        # The handshake happens in the handler's thread, at its first read.
        return context.wrap_socket(sock, server_side=True, do_handshake_on_connect=False), address

    def handle_error(self, request, client_address):
        # A client that does not trust the certificate ends the handshake: no fault here.
        if not isinstance(sys.exception(), ssl.SSLError):
            super().handle_error(request, client_address)


PAGE_CHANGES = {"short", "empty", "repeat", "shrink", "unlisted"}  # a list answered, but wrong


def _failure(message):
    return {"success": False, "message": message, "data": None}


_bomb = []


def _gzip_bomb():
    """A gzip body of BOMB_BYTES zeros, made once."""
    if not _bomb:
        _bomb.append(gzip.compress(bytes(BOMB_BYTES), compresslevel=9))
    return _bomb[0]


def _handler_for(server):
    list_path = re.compile(re.escape(server.root) + r"/test/review/case/list/(\d+)/(\d+)")
    edit_path = server.root + "/test/review/case/edit"

    class Handler(BaseHTTPRequestHandler):
        timeout = 10  # a client that stops sending cannot hold a thread for ever
        protocol_version = "HTTP/1.1"  # one connection for many requests, as servers keep them

        def setup(self):
            super().setup()
            # Headers and body leave in two writes; without this the second waits for the
            # client's delayed acknowledgement of the first.
            self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

        def do_POST(self):
            length = int(self.headers.get("Content-Length") or 0)
            if length > BODY_LIMIT:
                self._answer(413, _failure("请求体过大"))
                return
            raw = self.rfile.read(length)
            try:
                body = json.loads(raw) if raw else None
            except ValueError:
                body = None
            path = urllib.parse.urlsplit(self.path).path
            with server._lock:
                server.log.append((path, dict(self.headers), body))
                match = list_path.fullmatch(path)
                if not server._signed_in(self.headers):
                    status, answer = 401, _failure("Unauthorized")
                elif match and int(match[1]) >= 1 and int(match[2]) >= 1:
                    status, answer = server._list(int(match[1]), int(match[2]), body)
                elif path == edit_path:
                    status, answer = server._edit(body)
                else:
                    status, answer = 404, _failure("Not Found")
            if answer is None:
                self._fault(status)
            else:
                self._answer(status, answer)

        def _fault(self, fault):
            if fault in ("stall", "stall_body"):
                if fault == "stall_body":  # the headers, then nothing of the body they announce
                    self.send_response(200)
                    self.send_header("Content-Length", "100")
                    self.end_headers()
                    self.wfile.flush()
                server._stopping.wait(STALL_SECONDS)
                self.close_connection = True
            elif fault == "reset":
                # Linger 0 makes the close send RST at once. The socket is detached first so
                # that the server's own shutdown and close afterwards touch nothing.
                self.connection.setsockopt(
                    socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0)
                )
                socket.close(self.connection.detach())
                self.close_connection = True
            elif fault == "bad_gateway":
                self._answer(502, BAD_GATEWAY)
            elif fault in ("redirect", "redirect_here", "login"):
                location = {"redirect": REDIRECT, "login": server.origin + "/login"}
                self.send_response(302 if fault == "login" else 307)
                self.send_header("Location", location.get(fault, server.origin + self.path))
                self.send_header("Content-Length", "0")
                self.end_headers()
            elif fault == "session_500":
                self._answer(500, _failure(SESSION_500))
            elif fault == "reviewer":
                self._answer(200, _failure(REVIEWER))
            elif fault == "trickle":
                payload = json.dumps({"success": True, "message": None, "data": None}).encode()
                self.send_response(200)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(payload)))
                self.end_headers()
                for n in range(len(payload)):
                    if server._stopping.wait(TRICKLE):
                        break
                    self.wfile.write(payload[n : n + 1])
                    self.wfile.flush()
                self.close_connection = True
            elif fault == "endless":
                self.send_response(200)
                self.send_header("Content-Type", "application/json")
                self.send_header("Transfer-Encoding", "chunked")
                self.end_headers()
                chunk = b"%x\r\n%s\r\n" % (1 << 16, b" " * (1 << 16))
                for _ in range(1 << 16):  # 4 GiB at most, or until the client leaves
                    if server._stopping.is_set():
                        break
                    self.wfile.write(chunk)
                self.close_connection = True
            elif fault == "gzip_bomb":
                payload = _gzip_bomb()
                self.send_response(200)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Encoding", "gzip")
                self.send_header("Content-Length", str(len(payload)))
                self.end_headers()
                self.wfile.write(payload)
            elif fault == "not_json":
                text = json.dumps({"success": True, "message": None, "data": None})
                self._answer(200, text[: len(text) // 2], kind="application/json")
            else:
                self._answer(200, _failure("用例已被锁定，无法评审"))

        def _answer(self, status, answer, kind=None):
            is_text = isinstance(answer, str)
            payload = (answer if is_text else json.dumps(answer, ensure_ascii=False)).encode()
            self.send_response(status)
            kind = kind or ("text/html" if is_text else "application/json")
            self.send_header("Content-Type", f"{kind};charset=UTF-8")
            self.send_header("Content-Length", str(len(payload)))
            self.end_headers()
            self.wfile.write(payload)

        def log_message(self, *args):
            pass

    return Handler


class LoopbackRequests:
    """Stands in for the requests module: `request` sends each request to `origin` in place of
    the URL's own origin, through requests.request with a timeout and no proxies. `urls` keeps
    the URLs the caller asked for."""

    def __init__(self, origin, timeout=10.0):
        self.origin = origin
        self.timeout = timeout
        self.urls = []

    def request(self, **kwargs):
        import requests

        self.urls.append(kwargs["url"])
        parts = urllib.parse.urlsplit(kwargs["url"])
        query = "?" + parts.query if parts.query else ""
        kwargs["url"] = self.origin + parts.path + query
        return requests.request(
            **kwargs, timeout=self.timeout, proxies={"http": None, "https": None}
        )


@contextlib.contextmanager
def routed_to(origin):
    """While it lasts, every request a requests session sends goes to `origin`, path kept, with
    no proxy unless the caller names one: so does a review's."""
    import requests

    send = requests.Session.request

    def request(self, method, url, **kwargs):
        kwargs["proxies"] = kwargs.get("proxies") or {"http": None, "https": None}
        return send(self, method, origin + urllib.parse.urlsplit(url).path, **kwargs)

    requests.Session.request = request
    try:
        yield
    finally:
        requests.Session.request = send


# Runs the command line (`python -m glimet_work ARGS...`) with every request requests sends
# going to the origin given as the first argument, path kept, with no proxy unless the paste names
# one (routed_to). Both launchers take SIGINT as Python does at a terminal, even when started
# where it is ignored (a background job, nohup).
_CLI_LAUNCHER = f"""
import runpy, signal, sys
signal.signal(signal.SIGINT, signal.default_int_handler)  # Ctrl-C taken, as at a terminal
sys.path.insert(0, {str(pathlib.Path(__file__).parent)!r})
from standin_metersphere import routed_to
with routed_to(sys.argv.pop(1)):
    runpy.run_module("glimet_work", run_name="__main__", alter_sys=True)
"""


def cli_command(origin):
    """The argument list that starts the command line talking to the server at `origin`."""
    return [sys.executable, "-c", _CLI_LAUNCHER, origin]


# Runs the review operation alone on the curl command in the file given as the second argument,
# its requests sent through LoopbackRequests to the origin given as the first.
_OPERATION_LAUNCHER = f"""
import signal, sys
signal.signal(signal.SIGINT, signal.default_int_handler)  # Ctrl-C taken, as at a terminal
sys.path.insert(0, {str(pathlib.Path(__file__).parent)!r})
from standin_metersphere import LoopbackRequests
from glimet_work import tervix_main
sys.stdout.reconfigure(encoding="utf-8", line_buffering=True)
tervix_main.requests = LoopbackRequests(sys.argv[1])
with open(sys.argv[2], encoding="utf-8") as paste:
    tervix_main.TERVIXWorkMain._tervix_test_case_review(paste.read())
"""


def operation_command(origin, paste_file):
    """The argument list that starts a process running the review operation, and nothing else,
    on the command in `paste_file` against the server at `origin`."""
    return [sys.executable, "-c", _OPERATION_LAUNCHER, origin, str(paste_file)]
