"""Nothing grows when operations run many times, successfully or not.

Method: each call runs a few hundred times to warm the interpreter's caches, then the test
records the memory traced by tracemalloc and the reference counts of the arguments, runs the
call a few thousand more times, collects garbage and compares. A leak of one object per call
would show as kilobytes of traced memory and as a reference count that grew with the calls;
the bound below allows for allocator noise, not for per-call growth.
"""

import contextlib
import functools
import gc
import os
import sys
import tracemalloc

import pytest

import glimet_work
from glimet_work import METERSPHERE_BASE, tervix_main
from glimet_work.duty_main import GlimetWorkMain

WARM_UP, CALLS, SLACK_BYTES = 300, 3000, 16 * 1024
work = GlimetWorkMain()


class Response:
    def __init__(self, body):
        self.body, self.text = body, "body"

    def json(self):
        if self.body is None:
            raise ValueError("not JSON")
        return self.body


class Requests:
    """A two-case, one-page review; `broken` makes every answer undecodable."""

    def __init__(self, broken=False):
        self.broken = broken

    def request(self, **kwargs):
        if self.broken:
            return Response(None)
        if kwargs["url"].endswith("/edit"):
            return Response({"success": kwargs["json"]["id"] == 1})
        cases = [{"id": 1, "name": "登录"}, {"id": 2, "caseId": 3}]
        return Response({"data": {"pageCount": 1, "listObject": cases}})


CURL = f"curl '{METERSPHERE_BASE}/x' -H 'Cookie: a=b' --data-raw '{{\"reviewId\": \"r\"}}'"
BODY = {"b": True, "a": [1, {"x": None}], "名": "张三", "n": 1.5}


class Unsortable:
    def __lt__(self, other):
        raise RuntimeError("no order")


# (label, operation name, positional arguments, requests double or None)
CASES = [
    ("json ok", "_json_dumps", (BODY,), None),
    ("json error", "_json_dumps", ({1, 2},), None),
    ("sign ok", "_tervix_saas_sign", (BODY, "prod"), None),
    ("sign error", "_tervix_saas_sign", ({1: 2, "a": 1},), None),
    ("params ok", "_tervix_saas_sign_params", (dict(BODY),), None),
    ("params error", "_tervix_saas_sign_params", ({Unsortable(): 1, "a": 2},), None),
    ("notice ok", "_tervix_test_production_demand", ("【a】http://x\n【b】http://y",), None),
    ("notice error", "_tervix_test_production_demand", (42,), None),
    ("review ok", "_tervix_test_case_review", (CURL,), Requests()),
    ("review bad reply", "_tervix_test_case_review", (CURL,), Requests(broken=True)),
    ("review bad curl", "_tervix_test_case_review", ("not curl",), Requests()),
    ("binding error", "_tervix_saas_sign", (1, 2, 3, 4), None),
    # The package's functions, where they do more than the operation: the quiet signer, and
    # binding with a keyword-only parameter.
    ("quiet params ok", functools.partial(glimet_work.sign_params, echo=False), (dict(BODY),),
     None),
    ("quiet params error", functools.partial(glimet_work.sign_params, echo=0), ({1: 2, "a": 1},),
     None),
    ("keyword-only error", functools.partial(glimet_work.sign_params, echo=1), (1, 2, 3, 4), None),
]


def run(operation, args, times):
    call = getattr(work, operation) if isinstance(operation, str) else operation
    for _ in range(times):
        try:
            call(*args)
        except Exception:  # noqa: BLE001 - the failure paths are measured too
            pass


@pytest.mark.parametrize(
    "operation, args, requests_double", [c[1:] for c in CASES], ids=[c[0] for c in CASES]
)
def test_repeated_calls_do_not_grow(operation, args, requests_double, monkeypatch):
    if requests_double is not None:
        monkeypatch.setattr(tervix_main, "requests", requests_double)
    with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
        run(operation, args, WARM_UP)
        gc.collect()
        refcounts = [sys.getrefcount(a) for a in args]
        tracemalloc.start()
        try:
            before = tracemalloc.get_traced_memory()[0]
            run(operation, args, CALLS)
            gc.collect()
            grown = tracemalloc.get_traced_memory()[0] - before
        finally:
            tracemalloc.stop()
    assert [sys.getrefcount(a) for a in args] == refcounts
    assert grown < SLACK_BYTES, f"{grown} bytes more after {CALLS} calls"
