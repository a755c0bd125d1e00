"""How the review reaches its server: one requests session whose every answer, headers and body,
must come whole within a deadline and under a size cap, and whose failures become one line
saying what went wrong and what to do.

The deadline is kept by the connections themselves: each send and receive on their socket may
take at most what is left of it, so an answer trickled a byte at a time ends on time too.
"""

from __future__ import annotations

import io
import json
import socket
import ssl
import threading
import time
from typing import Any

import requests
import urllib3
from requests.adapters import HTTPAdapter
from urllib3.connection import HTTPConnection, HTTPSConnection
from urllib3.connectionpool import HTTPConnectionPool, HTTPSConnectionPool

CA_HINT = (
    "for a server whose certificate comes from a private CA, set REQUESTS_CA_BUNDLE to that "
    "CA's certificate file"
)
MiB = 1 << 20
CHUNK = 64 * 1024  # decoded bytes read at a time, so an inflating body is stopped near the cap


class TransportError(Exception):
    """No usable answer came: the message says why, in words, for the line of the review."""


# The monotonic time by which the answer being read must be whole, per thread; None outside a
# request, where sockets keep the timeouts urllib3 sets.
_deadline = threading.local()


class _BoundedSocket:
    """A connected socket (plain or TLS) whose sends and receives end by the deadline."""

    __slots__ = ("_sock", "_timeout")

    def __init__(self, sock: Any) -> None:
        self._sock = sock
        self._timeout = sock.gettimeout()

    def _bound(self) -> None:
        at = getattr(_deadline, "at", None)
        if at is None:
            self._sock.settimeout(self._timeout)
            return
        left = at - time.monotonic()
        if left <= 0:
            raise TimeoutError("the answer did not come whole in time")
        self._sock.settimeout(left if self._timeout is None else min(left, self._timeout))

    def settimeout(self, value: float | None) -> None:
        self._timeout = value
        self._sock.settimeout(value)

    def gettimeout(self) -> Any:
        return self._timeout

    def recv_into(self, buffer: Any, nbytes: int = 0, flags: int = 0) -> Any:
        self._bound()
        return self._sock.recv_into(buffer, nbytes, flags)

    def recv(self, size: int, flags: int = 0) -> Any:
        self._bound()
        return self._sock.recv(size, flags)

    def send(self, data: Any, flags: int = 0) -> Any:
        self._bound()
        return self._sock.send(data, flags)

    def sendall(self, data: Any, flags: int = 0) -> None:
        self._bound()
        self._sock.sendall(data, flags)

    def makefile(self, mode: str = "r", buffering: int | None = None, **kwargs: Any) -> Any:
        # http.client reads an answer through this file, so it must read through this object;
        # the socket counts the file as its own, and so stays open while the file is.
        if mode != "rb":
            return self._sock.makefile(mode, buffering, **kwargs)
        self._sock._io_refs += 1
        raw = socket.SocketIO(self, "rb")  # type: ignore[arg-type]  # reads through this object
        return io.BufferedReader(raw, buffering or io.DEFAULT_BUFFER_SIZE)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._sock, name)


class _BoundedHTTPConnection(HTTPConnection):
    def connect(self) -> None:
        super().connect()
        if hasattr(self.sock, "_io_refs"):  # a socket whose files it counts, as above
            self.sock = _BoundedSocket(self.sock)


class _BoundedHTTPSConnection(HTTPSConnection):
    def connect(self) -> None:
        super().connect()
        if hasattr(self.sock, "_io_refs"):
            self.sock = _BoundedSocket(self.sock)


class _BoundedHTTPPool(HTTPConnectionPool):
    ConnectionCls = _BoundedHTTPConnection


class _BoundedHTTPSPool(HTTPSConnectionPool):
    ConnectionCls = _BoundedHTTPSConnection


_BOUNDED_POOLS = {"http": _BoundedHTTPPool, "https": _BoundedHTTPSPool}


class _BoundedAdapter(HTTPAdapter):
    """requests' adapter, its pools (through a proxy too) making bounded connections."""

    def init_poolmanager(self, *args: Any, **kwargs: Any) -> None:
        super().init_poolmanager(*args, **kwargs)
        self.poolmanager.pool_classes_by_scheme = _BOUNDED_POOLS

    def proxy_manager_for(self, proxy: str, **proxy_kwargs: Any) -> Any:
        manager = super().proxy_manager_for(proxy, **proxy_kwargs)
        manager.pool_classes_by_scheme = _BOUNDED_POOLS
        return manager


class Answer:
    """A whole answer as the review reads it: status, headers, the body's bytes, and its JSON
    value, decoded once (`json()` hands out that one value, so the review and its reader share
    it). Stands in for a requests.Response towards the review operation."""

    __slots__ = ("status_code", "reason", "headers", "url", "content", "body", "_text")

    def __init__(self, response: requests.Response, content: bytes) -> None:
        self.status_code = response.status_code
        self.reason = response.reason
        self.headers = response.headers
        self.url = response.url
        self.content = content
        self.body: Any = None
        self._text: str | None = None

    @property
    def text(self) -> str:
        if self._text is None:
            encoding = requests.utils.get_encoding_from_headers(self.headers) or "utf-8"
            try:
                self._text = self.content.decode(encoding, errors="replace")
            except LookupError:  # a charset Python does not know
                self._text = self.content.decode("utf-8", errors="replace")
        return self._text

    def decode(self) -> bool:
        """Reads the body as JSON into `body`; False when it is not JSON."""
        try:
            self.body = json.loads(self.text)
        except (ValueError, RecursionError):
            return False
        return True

    def json(self) -> Any:
        return self.body

    @property
    def ok(self) -> bool:
        return 200 <= self.status_code < 400

    @property
    def location(self) -> str | None:
        return self.headers.get("Location")


def _wrapped(exc: BaseException) -> list[BaseException]:
    """`exc` and the network errors it wraps, outermost first."""
    seen: list[BaseException] = []
    following: BaseException | None = exc
    while following is not None and all(following is not e for e in seen):
        seen.append(following)
        inner = [a for a in following.args if isinstance(a, BaseException)]
        following = following.__cause__ or (inner[0] if inner else following.__context__)
    return seen


def _root_cause(exc: BaseException) -> str:
    """What went wrong at the bottom of a chain of wrapped network errors, in words."""
    seen = _wrapped(exc)
    for found in reversed(seen):
        if isinstance(found, ssl.SSLCertVerificationError) and found.verify_message:
            return str(found.verify_message)
        if isinstance(found, OSError) and found.strerror:
            return str(found.strerror)
    return " ".join(str(seen[-1]).split()) or "no reason given"


class Transport:
    """One session to the review's server.

    timeout: seconds for the connection, and for each answer to come whole.
    connect_timeout: seconds for the connection alone (at most `timeout`).
    max_answer: bytes an answer may hold, decoded.
    verify: as requests takes it (True, or a CA file or folder).
    proxies: as requests takes them, or None for the environment's.
    """

    def __init__(
        self,
        *,
        timeout: float,
        connect_timeout: float | None = None,
        max_answer: int = 64 * MiB,
        verify: bool | str = True,
        proxies: dict[str, str | None] | None = None,
    ) -> None:
        self.timeout = timeout
        self.connect_timeout = min(connect_timeout or timeout, timeout)
        self.max_answer = max_answer
        self.proxies = proxies
        self.verify = verify
        self.session = requests.Session()
        adapter = _BoundedAdapter()
        self.session.mount("https://", adapter)
        self.session.mount("http://", adapter)

    def close(self) -> None:
        self.session.close()

    def send(self, method: str, url: str, headers: Any, body: Any) -> Answer:
        """The whole answer to one request, never following a redirect; TransportError when
        none came whole in time, or it was larger than the cap."""
        parts = urllib3.util.parse_url(url)
        host = parts.netloc or url  # as the messages name it, with its port
        _deadline.at = time.monotonic() + self.timeout
        try:
            response = self.session.request(
                method,
                url,
                headers=headers,
                json=body,
                timeout=(self.connect_timeout, self.timeout),
                allow_redirects=False,
                stream=True,
                # Given with each request, a CA file beats REQUESTS_CA_BUNDLE, as --cacert does
                # in curl; True leaves the choice to that variable.
                verify=self.verify,
                proxies=self.proxies,  # type: ignore[arg-type]  # None: no proxy for it
            )
            try:
                content = self._read(response)
            finally:
                response.close()
        except requests.ConnectTimeout:
            raise TransportError(
                f"could not connect to {host} within {self.connect_timeout:g} s (--timeout SECONDS)"
            ) from None
        except requests.exceptions.SSLError as exc:
            raise TransportError(
                f"cannot verify the certificate of {host} ({_root_cause(exc)}); {CA_HINT}"
            ) from None
        except requests.exceptions.ProxyError as exc:
            raise TransportError(
                f"the proxy on the way to {host} failed: {_root_cause(exc)} (HTTPS_PROXY or "
                f"HTTP_PROXY names the proxy; NO_PROXY={parts.host} goes without one)"
            ) from None
        except (requests.RequestException, urllib3.exceptions.HTTPError, OSError) as exc:
            # (urllib3 makes a refused connection a kind of ConnectTimeoutError too)
            timeouts = (urllib3.exceptions.ReadTimeoutError, TimeoutError)
            if any(isinstance(found, timeouts) for found in _wrapped(exc)):
                raise TransportError(self.no_answer(host)) from None
            raise TransportError(f"the connection to {host} failed: {_root_cause(exc)}") from None
        finally:
            _deadline.at = None
        return Answer(response, content)

    def _read(self, response: requests.Response) -> bytes:
        """The body, decoded as its Content-Encoding says, up to the cap."""
        chunks = []
        size = 0
        for chunk in response.raw.stream(CHUNK, decode_content=True):
            size += len(chunk)
            if size > self.max_answer:
                raise TransportError(
                    f"the answer is larger than {_size(self.max_answer)} (--max-answer BYTES); "
                    "stopped reading it"
                )
            chunks.append(chunk)
        response._content_consumed = True  # type: ignore[attr-defined]  # close() then keeps it
        return b"".join(chunks)

    def no_answer(self, host: str) -> str:
        return f"{host} did not answer within {self.timeout:g} s (--timeout SECONDS)"


def _size(count: int) -> str:
    """A byte count as people write it: 64 MiB, 512 KiB, 100 bytes."""
    for unit, name in ((1 << 30, "GiB"), (MiB, "MiB"), (1 << 10, "KiB")):
        if count >= unit and count % unit == 0:
            return f"{count // unit} {name}"
    return f"{count} bytes"
