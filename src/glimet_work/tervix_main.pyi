# Types of the toolkit module tervix_main and its class TERVIXWorkMain.
import json as json
import time as time
from typing import Any

import requests as requests

from glimet_crypt import m_crypt as m_crypt
from glimet_curl import m_curl as m_curl

class TERVIXWorkMain:
    def __init__(self) -> None: ...
    @staticmethod
    def _json_dumps(data: Any) -> str: ...
    def _tervix_saas_sign(
        self, data: dict[str, Any], env: str = "", update_time: bool = True
    ) -> dict[str, Any]: ...
    # Returns `params` itself, signed in place.
    def _tervix_saas_sign_params(
        self, params: dict[str, Any], env: str = "", update_time: bool = True
    ) -> dict[str, Any]: ...
    @staticmethod
    def _tervix_test_case_review(content: str) -> None: ...
    @staticmethod
    def _tervix_test_production_demand(content: str) -> None: ...
