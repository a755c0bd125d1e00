# Types of glimet_work._functions: the toolkit's operations as functions of the package,
# imported from glimet_work itself.
from typing import Any

def sign(data: dict[str, Any], env: str = "", update_time: bool = True) -> dict[str, Any]:
    """Signs a SaaS request body and returns a signed copy, keys in sorted order.

    Changes `data` itself: stamps the current time in milliseconds under "saas_sign_timespan"
    (with `update_time` False, only when that entry is missing or false) and removes any
    "saas_sign". The copy ends with "saas_sign": the upper-case SHA-256 of "key=value&..." over
    the sorted entries (dicts and lists as compact JSON) followed by the signing constant of
    `env` (exactly "prod" selects the production one, any other value the default one).
    Prints nothing. The same as GlimetWorkMain()._tervix_saas_sign(data, env, update_time).
    """

def sign_params(
    params: dict[str, Any], env: str = "", update_time: bool = True, *, echo: bool = True
) -> dict[str, Any]:
    """Signs SaaS query parameters in place and returns `params` itself.

    Stamps the current time in milliseconds under "saas_sign_timespan" (with `update_time`
    False, only when that entry is missing or false), removes any "saas_sign", then adds
    "saas_sign": the upper-case SHA-256 of 'key=["value"]&...' over the sorted entries followed
    by the signing constant of `env` (exactly "prod" selects the production one). With `echo`
    True it prints that signed text on one line, as GlimetWorkMain()._tervix_saas_sign_params
    does; with `echo` False it prints nothing.
    """

def dumps(value: Any) -> str:
    """Returns `value` as compact JSON text: separators "," and ":", non-ASCII kept as is.

    What json.dumps(value, separators=(",", ":"), ensure_ascii=False) returns; the same as
    GlimetWorkMain._json_dumps(value). Prints nothing and changes nothing.
    """

def notice(text: str) -> None:
    """Prints a numbered production-demand notice from a pasted list.

    `text` holds one "【title】http..." per line. Prints "投产需求：", then one line per input
    line, "<n>、<title>", a blank line included. The same as
    GlimetWorkMain._tervix_test_production_demand(text).
    """
