"""glimet-work: testing chores for QA engineers.

The toolkit's operations as functions of this package::

    import glimet_work
    body = glimet_work.sign({"page": 1}, env="prod")         # a signed copy of a request body
    glimet_work.sign_params(params, env="prod", echo=False)  # query parameters, signed in place
    glimet_work.dumps({"名": [1, None]})                     # '{"名":[1,null]}'
    glimet_work.notice(pasted_list)                          # prints a numbered notice
    glimet_work.review(pasted_curl_command)                  # passes a MeterSphere review

and ``SaasAuth(env)``, which signs every request of a requests session or an httpx client.
The class the operations come from is reached through the entry module::

    from glimet_work.duty_main import GlimetWorkMain

``METERSPHERE_BASE`` is the MeterSphere server (an https origin) this build's review talks to,
and ``METERSPHERE_API_ROOT`` the path of its test-track API there (``/track`` on a stock server).
"""

import importlib
from typing import TYPE_CHECKING, Any

from glimet_work._build import METERSPHERE_API_ROOT, METERSPHERE_BASE

if TYPE_CHECKING:
    from glimet_work._auth import SaasAuth
    from glimet_work._functions import dumps, notice, sign, sign_params
    from glimet_work._review import PasteError, ReviewError, ReviewPlan, ReviewResult, review

# The one place the release is written; the package metadata reads it from here.
__version__ = "0.2.0"

# Each public name and the private module that defines it, imported when the name is first read
# (so that importing the package alone stays light), then bound here for every later read.
_DEFINED_IN = {
    "sign": "_functions",
    "sign_params": "_functions",
    "dumps": "_functions",
    "notice": "_functions",
    "SaasAuth": "_auth",
    "review": "_review",
    "ReviewError": "_review",
    "PasteError": "_review",
    "ReviewPlan": "_review",
    "ReviewResult": "_review",
}

__all__ = [
    "METERSPHERE_API_ROOT",
    "METERSPHERE_BASE",
    "PasteError",
    "ReviewError",
    "ReviewPlan",
    "ReviewResult",
    "SaasAuth",
    "__version__",
    "dumps",
    "notice",
    "review",
    "sign",
    "sign_params",
]


def __getattr__(name: str) -> Any:
    module = _DEFINED_IN.get(name)
    if module is None:
        raise AttributeError(f"module 'glimet_work' has no attribute {name!r}")
    value = getattr(importlib.import_module(f"glimet_work.{module}"), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_DEFINED_IN))
