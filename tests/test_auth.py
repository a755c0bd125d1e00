"""SaasAuth through real requests and httpx clients, to a loopback server that checks every
signature with the plain-Python signing steps (bench/_reference.py, hashed by hashlib) and
answers 401 when one is wrong."""

import asyncio
import hashlib
import http.server
import json
import threading
import time
import urllib.parse

import httpx
import pytest
import requests
import urllib3

from glimet_work import SaasAuth

from signing_helpers import reference

BODY = {"名": "张三", "items": [1, {"a": None}], "ok": True, "n": 2.5, "saas_sign": "stale"}
PARAMS = {"page": 1, "name": "张三", "q": "a&b=c d+", "empty": ""}


class HashlibCrypt:
    @staticmethod
    def sha256(text, case):
        return hashlib.sha256(text.encode()).hexdigest().upper()


class Checker(http.server.BaseHTTPRequestHandler):
    """Checks the signature of each request (its body's if it has one, else its query's)
    and answers 200 with what it received, 401 when it is wrong; /redirect-307 and
    /redirect-302 redirect to /echo once the request checks, /flaky answers 503 to every
    other request."""

    def do_request(self):
        length = int(self.headers.get("Content-Length") or 0)
        raw = self.rfile.read(length)
        path, _, query = self.path.partition("?")
        fault = self.server.fault(self.headers, raw, query)
        self.server.log.append((self.command, path, fault))
        if fault:
            return self.answer(401, {"fault": fault})
        if path.startswith("/redirect-"):
            self.send_response(int(path[-3:]))
            self.send_header("Location", "/echo" + (f"?{query}" if path.endswith("302") else ""))
            self.send_header("Content-Length", "0")
            return self.end_headers()
        if path == "/flaky" and len(self.server.log) % 2:
            return self.answer(503, {})
        received = json.loads(raw) if raw else dict(urllib.parse.parse_qsl(query, True))
        self.answer(200, {"method": self.command, "received": received})

    do_GET = do_POST = do_PUT = do_PATCH = do_DELETE = do_request

    def answer(self, status, body):
        data = json.dumps(body).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def log_message(self, *args):
        pass


class CheckingServer(http.server.ThreadingHTTPServer):
    def __init__(self, env):
        super().__init__(("127.0.0.1", 0), Checker)
        self.env, self.log = env, []
        self.origin = f"http://127.0.0.1:{self.server_address[1]}"

    def fault(self, headers, raw, query):
        """What is wrong with the request's signature, or None."""
        signer = reference.ReferenceWorkMain()
        if raw:
            if headers.get("Transfer-Encoding") or headers["Content-Type"] != "application/json":
                return "not a JSON body of known length"
            got = json.loads(raw)
            expected = signer._tervix_saas_sign(dict(got), self.env, update_time=False)
            if list(got) != list(expected):  # sorted, the signature last
                return f"keys in the order {list(got)}"
        else:
            got = dict(urllib.parse.parse_qsl(query, keep_blank_values=True))
            expected = signer._tervix_saas_sign_params(dict(got), self.env, update_time=False)
        stamp = int(got.get("saas_sign_timespan", 0))
        if abs(stamp - time.time() * 1000) > 60_000:
            return f"stamp {stamp}"
        return None if got.get("saas_sign") == expected["saas_sign"] else "wrong signature"


@pytest.fixture(params=["prod", ""], name="server")
def server_fixture(request, monkeypatch):
    monkeypatch.setattr(reference, "m_crypt", HashlibCrypt)
    monkeypatch.setattr(reference, "print", lambda *args: None, raising=False)
    server = CheckingServer(request.param)
    thread = threading.Thread(target=server.serve_forever, args=(0.01,), daemon=True)
    thread.start()
    yield server
    server.shutdown()
    server.server_close()
    thread.join(10)


def stripped(mapping):
    """The request's own entries, as JSON or a query carries them."""
    return {k: v for k, v in mapping.items() if k not in ("saas_sign", "saas_sign_timespan")}


# (method, path, keywords as httpx takes them, what the server must receive besides the stamp)
SENT = [
    ("GET", "/echo", {"params": PARAMS}, {k: str(v) for k, v in PARAMS.items()}),
    ("GET", "/echo", {}, {}),
    ("DELETE", "/echo", {"params": {"id": "7"}}, {"id": "7"}),
    ("POST", "/echo", {"json": BODY}, stripped(BODY)),
    ("PUT", "/echo", {"json": {}}, {}),
    ("PATCH", "/echo", {"json": BODY, "params": {"x": "kept"}}, stripped(BODY)),
    ("POST", "/echo", {"content": b'{"raw": "\xe5\xbc\xa0"}'}, {"raw": "张"}),
    ("POST", "/redirect-307", {"json": BODY}, stripped(BODY)),
    ("GET", "/redirect-302", {"params": PARAMS}, {k: str(v) for k, v in PARAMS.items()}),
]


def requests_keywords(keywords):
    return {"data" if key == "content" else key: value for key, value in keywords.items()}


@pytest.mark.parametrize("method, path, keywords, received", SENT)
@pytest.mark.parametrize("client", ["requests", "httpx", "httpx async"])
def test_every_request_signed(client, method, path, keywords, received, server):
    url = server.origin + path
    if client == "requests":
        with requests.Session() as session:
            session.auth = SaasAuth(server.env)
            response = session.request(method, url, **requests_keywords(keywords), timeout=10)
    elif client == "httpx":
        with httpx.Client(auth=SaasAuth(server.env), follow_redirects=True, timeout=10) as c:
            response = c.request(method, url, **keywords)
    else:

        async def send():
            auth = SaasAuth(server.env)
            async with httpx.AsyncClient(auth=auth, follow_redirects=True, timeout=10) as c:
                return await c.request(method, url, **keywords)

        response = asyncio.run(send())
    assert response.status_code == 200, response.text
    answer = response.json()
    assert answer["method"] == method
    assert stripped(answer["received"]) == received
    assert [fault for _, _, fault in server.log] == [None] * len(server.log)
    assert len(server.log) == (2 if path.startswith("/redirect") else 1)


def test_retried_request_stays_signed(server):
    retry = urllib3.Retry(total=3, status_forcelist=[503], allowed_methods=None, backoff_factor=0)
    with requests.Session() as session:
        session.mount("http://", requests.adapters.HTTPAdapter(max_retries=retry))
        session.auth = SaasAuth(server.env)
        response = session.post(server.origin + "/flaky", json=BODY, timeout=10)
    # httpx: the same request sent again is signed again.
    with httpx.Client(auth=SaasAuth(server.env), timeout=10) as client:
        request = client.build_request("GET", server.origin + "/flaky", params=PARAMS)
        responses = [client.send(request) for _ in range(2)]
    assert [response.status_code, *(r.status_code for r in responses)] == [200, 503, 200]
    assert [(method, fault) for method, _, fault in server.log] == [
        ("POST", None),
        ("POST", None),
        ("GET", None),
        ("GET", None),
    ]


# (keywords as httpx takes them, the start of the refusal); nothing may reach the server.
REFUSED = [
    ({"data": {"a": "1"}}, "SaasAuth signs JSON object bodies, not form data"),
    ({"files": {"f": b"x"}}, "SaasAuth signs JSON object bodies, not multipart/form-data"),
    ({"json": [1, 2]}, "SaasAuth signs JSON object bodies, not a JSON array"),
    ({"json": "text"}, "SaasAuth signs JSON object bodies, not a JSON string"),
    ({"content": b"\xff{}"}, "SaasAuth cannot sign a body that is not UTF-8"),
    ({"content": b"{'a': 1}"}, "SaasAuth signs JSON object bodies; this body is not JSON"),
    ({"content": b'{"a": NaN}'}, "SaasAuth signs JSON object bodies; this body is not JSON"),
    ({"content": b'{"a": "\\ud800"}'}, "SaasAuth cannot send the signed body as UTF-8"),
    ({"params": [("a", "1"), ("a", "2")]}, "SaasAuth cannot sign the query parameter 'a' given"),
    ({"params": {"a": "1"}, "url": "/?b=%ff"}, "SaasAuth cannot sign a query that is not UTF-8"),
]
# httpx itself reads a percent-encoded byte that is not UTF-8 as U+FFFD, and sends that.
HTTPX_REFUSES = REFUSED[:-1]


@pytest.mark.parametrize(
    "client, keywords, refusal",
    [("requests", *case) for case in REFUSED] + [("httpx", *case) for case in HTTPX_REFUSES],
)
def test_unsignable_requests_are_refused(client, keywords, refusal, server):
    keywords = dict(keywords)
    url = server.origin + keywords.pop("url", "/echo")
    with pytest.raises(ValueError, match="^" + refusal):
        if client == "requests":
            requests.post(url, **requests_keywords(keywords), auth=SaasAuth(), timeout=10)
        else:
            with httpx.Client(auth=SaasAuth(), timeout=10) as c:
                c.post(url, **keywords)
    assert server.log == []


def test_streams_and_near_prod():
    # requests cannot read a generator back; httpx reads it first, so it is signed there.
    with pytest.raises(ValueError, match="^SaasAuth cannot read a streamed body"):
        requests.post("http://127.0.0.1:9/", data=iter([b"{}"]), auth=SaasAuth(), timeout=10)
    for env in ["PROD", "prod ", " Prod"]:
        with pytest.raises(ValueError, match=f"^SaasAuth env {env!r} is not 'prod'"):
            SaasAuth(env)
    assert repr(SaasAuth("prod")) == "SaasAuth('prod')"


def test_checker_answers_401_to_what_is_not_signed_for_it(server):
    other = "prod" if server.env == "" else ""
    unsigned = requests.post(server.origin + "/echo", json=BODY, timeout=10)
    elsewhere = requests.get(
        server.origin + "/echo", params=PARAMS, auth=SaasAuth(other), timeout=10
    )
    assert [unsigned.status_code, elsewhere.status_code] == [401, 401]
