"""The type stubs: they match the installed modules, and mypy reads them for callers."""

import subprocess
import sys
import textwrap

MODULES = ["glimet_work.tervix_main", "glimet_work.duty_main", "glimet_work._functions",
           "glimet_work._auth", "glimet_crypt", "glimet_curl"]


def run_mypy_tool(args, cwd):
    # Run outside the source tree, so only the installed package and its stubs are seen.
    return subprocess.run(
        [sys.executable, "-m", *args],
        cwd=cwd,
        check=False,
        capture_output=True,
        text=True,
        timeout=300,
    )


def test_stubs_match_runtime(tmp_path):
    done = run_mypy_tool(["mypy.stubtest", *MODULES], tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


# Each line marked "# E: <code>" must give exactly that mypy error; the others none.
USAGE = """
from typing import Any

import httpx
import requests

import glimet_work
from glimet_crypt import m_crypt
from glimet_curl import m_curl
from glimet_work.duty_main import GlimetWorkMain, TERVIXWorkMain

work = GlimetWorkMain()
text: str = work._json_dumps({"a": [1, None]}) + TERVIXWorkMain._json_dumps(data=1)
body: dict[str, Any] = work._tervix_saas_sign({"a": 1}, "prod", update_time=False)
params: dict[str, Any] = work._tervix_saas_sign_params(params={"a": 1}, env="prod")
nothing: None = work._tervix_test_production_demand("【甲】http://a")
also_nothing: None = GlimetWorkMain._tervix_test_case_review(content="curl ...")
signature: str = m_crypt.sha256("text", "lower")
parsed: dict[str, Any] = m_curl.parse("curl ...").dict()
signed: dict[str, Any] = glimet_work.sign({"a": 1}, "prod", update_time=False)
quiet: dict[str, Any] = glimet_work.sign_params({"a": 1}, env="prod", echo=False)
compact: str = glimet_work.dumps([1]) + glimet_work.__version__
glimet_work.notice("【甲】http://a")
session = requests.Session()
session.auth = glimet_work.SaasAuth("prod")
client = httpx.Client(auth=glimet_work.SaasAuth())
async_client = httpx.AsyncClient(auth=glimet_work.SaasAuth(env="prod"))
glimet_work.sign_params({}, "", True, False)  # E: call-arg
glimet_work.notice(b"text")  # E: arg-type
glimet_work.SaasAuth(1)  # E: arg-type
work._tervix_test_production_demand(5)  # E: arg-type
work._tervix_saas_sign({}, colour="red")  # E: call-arg
work._json_dumps(1, 2)  # E: call-arg
number: int = work._json_dumps(1)  # E: assignment
m_crypt.sha256("text", "UPPER")  # E: arg-type
"""


def test_mypy_sees_operations_through_the_stubs(tmp_path):
    (tmp_path / "usage.py").write_text(textwrap.dedent(USAGE), encoding="utf-8")
    done = run_mypy_tool(["mypy", "--strict", "--no-incremental", "usage.py"], tmp_path)
    found = {
        (int(line.split(":")[1]), line.rsplit("[", 1)[1].rstrip("]"))
        for line in done.stdout.splitlines()
        if ": error: " in line
    }
    lines = textwrap.dedent(USAGE).splitlines()
    expected = {(n, line.split("# E: ")[1]) for n, line in enumerate(lines, 1) if "# E: " in line}
    assert found == expected, done.stdout
