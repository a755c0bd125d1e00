"""A tour of glimet-work: each operation run once on a small input, the input shown first and
then what came of it, every line labelled.

The review runs against a small stand-in MeterSphere on 127.0.0.1 (the one the tests use), so
no outside server is needed: the pasted command names this build's server, as a real one would,
and the demo sends requests' requests to the stand-in instead.
"""

import contextlib
import io
import pathlib
import subprocess
import sys

import glimet_work
from glimet_work import METERSPHERE_BASE

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
from standin_metersphere import StandinMeterSphere, routed_to  # noqa: E402

LABEL = 13  # the width of the labels, so that the texts line up


def heading(text: str) -> None:
    print(f"\n== {text}")


def show(label: str, text: object) -> None:
    """Each line of `text` after `label`."""
    for line in str(text).splitlines() or [""]:
        print(f"  {label:{LABEL}} {line}")


def printed_by(call, *args, **kwargs) -> tuple[object, str]:
    """What `call` returns and what it prints meanwhile."""
    captured = io.StringIO()
    with contextlib.redirect_stdout(captured):
        result = call(*args, **kwargs)
    return result, captured.getvalue()


def main() -> None:
    print("glimet-work: each operation once, its input and then its output")

    heading("compact JSON: glimet_work.dumps(value)")
    value = {"名": [1, 2.5, None, True], "ok": {"a": "b"}}
    show("input:", repr(value))
    show("output:", glimet_work.dumps(value))

    heading('signed request body: glimet_work.sign(body, env="prod")')
    body = {"order_no": "SO-1", "customer": "张三", "express": True, "items": [1, 2]}
    show("input:", repr(body))
    show("output:", glimet_work.dumps(glimet_work.sign(body, env="prod")))

    heading("signed query parameters: glimet_work.sign_params(params)")
    params = {"page": 1, "name": "张三", "active": True}
    show("input:", repr(params))
    _, text = printed_by(glimet_work.sign_params, params)
    show("printed:", text.rstrip("\n") + "   (the signed text; echo=False keeps it quiet)")
    show("output:", glimet_work.dumps(params))

    heading("production-demand notice: glimet_work.notice(text)")
    pasted = (
        "【登录页支持扫码登录】https://tracker.example.org/demand/101\r\n"
        "【导出报表增加筛选】https://tracker.example.org/demand/102\r\n"
    )
    show("input:", pasted)
    show("printed:", printed_by(glimet_work.notice, pasted)[1])

    heading("test-case review on a stand-in MeterSphere: glimet_work.review(curl_text)")
    show("note:", f"this build talks to {METERSPHERE_BASE}; here its requests go to 127.0.0.1")
    with StandinMeterSphere(cases=3, refuse=(2,)) as server, routed_to(server.origin):
        command = server.curl_command()
        show("input:", command.split("\n")[0].rstrip(" \\") + " ...  (the copied curl command)")
        result, text = printed_by(glimet_work.review, command)
        statuses = list(server.statuses().values())
    show("printed:", text)
    show("output:", result.summary())
    show(
        "server:",
        f"{statuses.count('Pass')} of {len(statuses)} cases now Pass "
        "(the stand-in refused the third)",
    )

    heading("the command line: glimet-work")
    shell = """echo '{"名": [1, 2.5, null]}' | glimet-work json"""
    done = subprocess.run(
        [sys.executable, "-m", "glimet_work", "json"],
        check=False,
        input='{"名": [1, 2.5, null]}',
        capture_output=True,
        encoding="utf-8",
    )
    show("input:", f"$ {shell}")
    show("output:", done.stdout or done.stderr)

    heading("read on")
    show("README.md:", "the functions, SaasAuth for requests and httpx, the command line")
    show("help:", "help(glimet_work.sign), help(glimet_work.review), help(glimet_work.SaasAuth),")
    show("", "glimet-work --help")


if __name__ == "__main__":
    main()
