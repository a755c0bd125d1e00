"""SaasAuth: every request of a requests session or an httpx client signed as the SaaS back end
expects, by the toolkit's own signers."""

from __future__ import annotations

import json
import urllib.parse
from collections.abc import Generator
from typing import Any

import requests

from glimet_work._env import near_prod, near_prod_hint
from glimet_work._functions import dumps, sign, sign_params

try:
    import httpx

    _HttpxAuth: type = httpx.Auth
except ImportError:  # without httpx, SaasAuth serves requests alone
    httpx = None  # type: ignore[assignment]
    _HttpxAuth = object

_FORM = "application/x-www-form-urlencoded"


class SaasAuth(requests.auth.AuthBase, _HttpxAuth):  # type: ignore[misc,valid-type]
    """Signs each outgoing request for the SaaS back end of `env` ("prod" or another).

    A request with a body is signed by its body: the body must be a JSON object, which goes
    through the body signer (glimet_work.sign) and is sent as the signed copy in compact JSON,
    with its Content-Length; the query string is then sent as given. A request without a body
    (empty included) is signed by its query: its parameters go through the parameter signer
    (glimet_work.sign_params, printing nothing) and the signed pairs, "saas_sign_timespan" and
    "saas_sign" last, replace the query; a request with neither gets those two alone.

    Refused with ValueError, so that nothing goes unsigned: a body that is not a JSON object
    (form data, files, a JSON array, text that is not JSON or not UTF-8), a streamed body under
    requests (a file or generator), and a query that names a parameter twice. So is an `env`
    that differs from "prod" only in case or spaces, which would select the default constant.

    It is a requests AuthBase (``session.auth = SaasAuth("prod")``) and, with httpx installed
    (``pip install glimet-work[httpx]``), an httpx.Auth for httpx.Client and httpx.AsyncClient.
    A redirect is followed by both clients with a copy of the signed request, without asking
    the auth again: a 307 or 308 keeps the signed body, a Location that keeps the query keeps
    the signed parameters.
    """

    requires_request_body = True  # httpx reads a streamed body before auth_flow sees it

    def __init__(self, env: str = "") -> None:
        if near_prod(env):
            raise ValueError(f"SaasAuth env {near_prod_hint(env)}")
        self.env = env

    def __repr__(self) -> str:
        return f"SaasAuth({self.env!r})"

    def __call__(self, r: requests.PreparedRequest) -> requests.PreparedRequest:
        """requests' hook: signs the prepared request in place."""
        body = self._signed_body(r.body, r.headers.get("Content-Type"))
        if body is None:
            parts = urllib.parse.urlsplit(r.url or "")
            r.url = parts._replace(query=self._signed_query(parts.query)).geturl()
        else:
            r.body = body
            r.headers.pop("Transfer-Encoding", None)
            r.headers["Content-Length"] = str(len(body))
            r.headers.setdefault("Content-Type", "application/json")
        return r

    def auth_flow(self, request: httpx.Request) -> Generator[httpx.Request, httpx.Response]:
        """httpx's hook: sends the signed request."""
        body = self._signed_body(request.content, request.headers.get("Content-Type"))
        if body is None:
            query = self._signed_query(request.url.query.decode("ascii"))
            request.url = request.url.copy_with(query=query.encode("ascii"))
            yield request
            return
        # A request of the same method, address, headers and extensions, with the signed body.
        headers = request.headers.copy()
        for name in ("Content-Length", "Transfer-Encoding"):
            headers.pop(name, None)
        headers.setdefault("Content-Type", "application/json")
        yield httpx.Request(
            request.method,
            request.url,
            headers=headers,
            content=body,
            extensions=request.extensions,
        )

    def _signed_body(self, body: Any, content_type: str | None) -> bytes | None:
        """The signed body as UTF-8 compact JSON; None for a request without a body."""
        if body is None or body in (b"", ""):
            return None
        media = (content_type or "").split(";")[0].strip().lower()
        if media == _FORM or media.startswith("multipart/"):
            kind = "form data" if media == _FORM else f"{media} (files)"
            raise ValueError(f"SaasAuth signs JSON object bodies, not {kind}: send json={{...}}")
        if isinstance(body, (bytes, bytearray)):
            try:
                text = body.decode("utf-8")
            except UnicodeDecodeError as exc:
                raise ValueError(f"SaasAuth cannot sign a body that is not UTF-8 ({exc})") from None
        elif isinstance(body, str):
            text = body
        else:
            raise ValueError(
                "SaasAuth cannot read a streamed body (a file or generator) to sign it: "
                "send json={...}"
            )
        try:
            value = json.loads(text, parse_constant=_not_json)
        except (ValueError, RecursionError) as exc:
            raise ValueError(
                f"SaasAuth signs JSON object bodies; this body is not JSON ({exc})"
            ) from None
        if not isinstance(value, dict):
            raise ValueError(f"SaasAuth signs JSON object bodies, not {_json_kind(value)}")
        try:
            return dumps(sign(value, self.env)).encode("utf-8")
        except UnicodeEncodeError as exc:
            raise ValueError(f"SaasAuth cannot send the signed body as UTF-8 ({exc})") from None

    def _signed_query(self, query: str) -> str:
        """The query with its parameters signed, encoded as requests encodes params."""
        params: dict[str, str] = {}
        try:
            pairs = urllib.parse.parse_qsl(query, keep_blank_values=True, errors="strict")
        except UnicodeDecodeError as exc:
            raise ValueError(f"SaasAuth cannot sign a query that is not UTF-8 ({exc})") from None
        for name, value in pairs:
            if name in params:
                raise ValueError(
                    f"SaasAuth cannot sign the query parameter {name!r} given twice: the "
                    "parameter signer signs one value per name"
                )
            params[name] = value
        return urllib.parse.urlencode(sign_params(params, self.env, echo=False))


def _not_json(constant: str) -> Any:
    raise ValueError(f"{constant} is not JSON")


def _json_kind(value: Any) -> str:
    if isinstance(value, list):
        return "a JSON array"
    if isinstance(value, str):
        return "a JSON string"
    if isinstance(value, bool):
        return "a JSON boolean"
    return "null" if value is None else "a JSON number"
