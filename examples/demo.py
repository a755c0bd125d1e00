"""A tour of glimet-work: every operation the toolkit offers, run once.

The review runs against a small stand-in MeterSphere on 127.0.0.1 (the one the tests use), so
no outside server is needed: the pasted command names this build's server, as a real one would,
and the module's `requests` is pointed at the stand-in for the demo's review.
"""

import pathlib
import sys

from glimet_work import METERSPHERE_BASE, tervix_main
from glimet_work.duty_main import GlimetWorkMain

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
from standin_metersphere import LoopbackRequests, StandinMeterSphere  # noqa: E402


def heading(text: str) -> None:
    print(f"\n== {text}")


def main() -> None:
    work = GlimetWorkMain()

    heading("compact JSON: _json_dumps")
    print(work._json_dumps({"名": [1, 2.5, None, True], "ok": {"a": "b"}}))

    heading("signed request body: _tervix_saas_sign")
    body = {"order_no": "SO-1", "customer": "张三", "express": True, "items": [1, 2]}
    signed = work._tervix_saas_sign(body, env="prod")
    print(work._json_dumps(signed))

    heading("signed query parameters (the signed text is printed): _tervix_saas_sign_params")
    params = work._tervix_saas_sign_params({"page": 1, "name": "张三", "active": True})
    print(work._json_dumps(params))

    heading("production-demand notice: _tervix_test_production_demand")
    work._tervix_test_production_demand(
        "【登录页支持扫码登录】https://tracker.example.org/demand/101\r\n"
        "【导出报表增加筛选】https://tracker.example.org/demand/102\r\n"
    )

    heading("test-case review on a stand-in MeterSphere: _tervix_test_case_review")
    print(f"(this build talks to {METERSPHERE_BASE}; here its requests go to 127.0.0.1)")
    with StandinMeterSphere(cases=57, refuse=(3,)) as server:
        saved = tervix_main.requests
        tervix_main.requests = LoopbackRequests(server.origin)
        try:
            work._tervix_test_case_review(server.curl_command())
        finally:
            tervix_main.requests = saved
        statuses = list(server.statuses().values())
    print(f"on the server: {statuses.count('Pass')} of {len(statuses)} cases now Pass")


if __name__ == "__main__":
    main()
