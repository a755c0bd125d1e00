# Types of glimet_work._auth; the class is glimet_work.SaasAuth.
from collections.abc import Generator

import httpx
import requests

class SaasAuth(requests.auth.AuthBase, httpx.Auth):
    """Signs each outgoing request for the SaaS back end of `env` ("prod" or another).

    A request with a body is signed by its body: the body must be a JSON object, which goes
    through the body signer (glimet_work.sign) and is sent as the signed copy in compact JSON,
    with its Content-Length; the query string is then sent as given. A request without a body
    is signed by its query: its parameters go through the parameter signer (sign_params,
    printing nothing) and the signed pairs, "saas_sign_timespan" and "saas_sign" last, replace
    the query; a request with neither gets those two alone.

    Raises ValueError rather than send a request unsigned: for a body that is not a JSON object
    (form data, files, a JSON array, text that is not JSON or not UTF-8), a streamed body under
    requests, a query naming a parameter twice, and an `env` that differs from "prod" only in
    case or spaces.

    A requests AuthBase (``session.auth = SaasAuth("prod")``) and, with httpx installed
    (``glimet-work[httpx]``), an httpx.Auth for httpx.Client and httpx.AsyncClient.
    """

    requires_request_body: bool
    env: str
    def __init__(self, env: str = "") -> None: ...
    def __call__(self, r: requests.PreparedRequest) -> requests.PreparedRequest: ...
    def auth_flow(
        self, request: httpx.Request
    ) -> Generator[httpx.Request, httpx.Response]: ...
