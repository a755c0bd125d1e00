# Types of the toolkit module tervix_main and its class TERVIXWorkMain. The docstrings here are
# what editors show; the runtime's own __doc__ texts are the signature lines (and Chinese notes).
import json as json
import time as time
from typing import Any

import requests as requests

from glimet_crypt import m_crypt as m_crypt
from glimet_curl import m_curl as m_curl

class TERVIXWorkMain:
    def __init__(self) -> None: ...
    @staticmethod
    def _json_dumps(data: Any) -> str:
        """Returns `data` as compact JSON text: separators "," and ":", non-ASCII kept as is.

        Prints nothing and changes nothing.
        """

    def _tervix_saas_sign(
        self, data: dict[str, Any], env: str = "", update_time: bool = True
    ) -> dict[str, Any]:
        """Signs a SaaS request body and returns a signed copy, keys in sorted order.

        Changes `data` itself: stamps the current time in milliseconds under
        "saas_sign_timespan" (with `update_time` False, only when that entry is missing or
        false) and removes any "saas_sign". The copy ends with "saas_sign": the upper-case
        SHA-256 of "key=value&..." over the sorted entries (dicts and lists as compact JSON)
        followed by the signing constant of `env` ("prod" selects the production one).
        Prints nothing.
        """

    def _tervix_saas_sign_params(
        self, params: dict[str, Any], env: str = "", update_time: bool = True
    ) -> dict[str, Any]:
        """Signs SaaS query parameters in place and returns `params` itself.

        Stamps the current time in milliseconds under "saas_sign_timespan" (with `update_time`
        False, only when that entry is missing or false), removes any "saas_sign", then adds
        "saas_sign": the upper-case SHA-256 of 'key=["value"]&...' over the sorted entries
        followed by the signing constant of `env` ("prod" selects the production one).
        Prints that signed text on one line.
        """

    @staticmethod
    def _tervix_test_case_review(content: str) -> None:
        """Sets every case of a MeterSphere test-case review to Pass. Changes data on the server.

        `content` is the curl command of the review's case-list request, copied from a logged-in
        browser. Its headers (session cookie included) and JSON body go with every request, and
        only to this build's server, glimet_work.METERSPHERE_BASE: a command copied from another
        host raises ValueError before anything is sent. Reads the case list page by page, then
        sends one edit per case with status "Pass", whatever the case's present state.

        Prints "读取用例：<count>" after each page, then per case "评审通过：<name>", or
        "【警告】评审失败：<name>" followed by the server's answer when it refused the edit.
        A failure raises at once; edits already sent stay made. Ctrl-C stops it between requests.
        """

    @staticmethod
    def _tervix_test_production_demand(content: str) -> None:
        """Prints a numbered production-demand notice from a pasted list.

        `content` holds one "【title】http..." per line. Prints "投产需求：", then one line per
        input line, "<n>、<title>", a blank line included. Sends and changes nothing.
        """
