"""A tour of glimet-work: every operation the toolkit offers, run once."""

from glimet_work.duty_main import GlimetWorkMain


def main() -> None:
    work = GlimetWorkMain()
    print("compact JSON:", work._json_dumps({"名": [1, 2.5, None, True], "ok": {"a": "b"}}))
    work._tervix_test_production_demand(
        "【登录页支持扫码登录】https://tracker.example.org/demand/101\r\n"
        "【导出报表增加筛选】https://tracker.example.org/demand/102\r\n"
    )


if __name__ == "__main__":
    main()
