"""The review against the stand-in MeterSphere server when the server or the network fails:
a list page or an edit answered with an HTML 502 or a JSON body cut short, the connection reset
without an answer, an edit refused with success false.

An answer that cannot be decoded, or no answer at all, ends the review with the exception from
requests, after the lines of what was done; a refusal is reported and the review goes on. The
edits made before the fault stay made, and running the review again completes it."""

import json
import traceback

import pytest
import requests

from glimet_work import tervix_main

from standin_metersphere import LoopbackRequests, StandinMeterSphere

review = tervix_main.TERVIXWorkMain._tervix_test_case_review
TRACE_NAME = "tervix_main.TERVIXWorkMain._tervix_test_case_review"
EDIT_PATH = "/metersphere-api/track/test/review/case/edit"
PASSED, FAILED = "评审通过", "【警告】评审失败"
CASES = 60  # two list pages: 50 cases and 10
PROGRESS = ["读取用例：50", "读取用例：60"]
REFUSAL = json.dumps(
    {"success": False, "message": "用例已被锁定，无法评审", "data": None}, ensure_ascii=False
)
NOT_JSON, RESET = requests.JSONDecodeError, requests.ConnectionError

# fmt: off
FAULTS = {  # name: (page faults, edit faults by case index, error,
            #        list requests made, progress lines printed, edit requests made)
    "page 1 not JSON":         ({1: "not_json"}, {}, NOT_JSON, 1, 0, 0),
    "page 1 HTML 502":         ({1: "bad_gateway"}, {}, NOT_JSON, 1, 0, 0),
    "page 2 not JSON":         ({2: "not_json"}, {}, NOT_JSON, 2, 1, 0),
    "page 2 reset":            ({2: "reset"}, {}, RESET, 2, 1, 0),
    "edit HTML 502":           ({}, {4: "bad_gateway"}, NOT_JSON, 2, 2, 5),
    "edit not JSON":           ({}, {4: "not_json"}, NOT_JSON, 2, 2, 5),
    "edit reset":              ({}, {4: "reset"}, RESET, 2, 2, 5),
    "last edit HTML 502":      ({}, {59: "bad_gateway"}, NOT_JSON, 2, 2, 60),
    "edits refused":           ({}, {0: "refuse", 33: "refuse", 59: "refuse"}, None, 2, 2, 60),
    "refused, then reset":     ({}, {1: "refuse", 4: "reset"}, RESET, 2, 2, 5),
}
# fmt: on


def case_name(n):
    return f"用例 {n + 1}：登录后查看订单"


def causes(error):
    """`error`, what it was raised from, and the exceptions in their arguments, in depth."""
    found, pending = [], [error]
    while pending:
        item = pending.pop()
        if isinstance(item, BaseException) and item not in found:
            found.append(item)
            pending += [item.__cause__, item.__context__, *item.args]
    return found


@pytest.mark.parametrize(
    "page_faults, edit_faults, error, lists, progress, edits", FAULTS.values(), ids=FAULTS.keys()
)
def test_fault(monkeypatch, capsys, page_faults, edit_faults, error, lists, progress, edits):
    with StandinMeterSphere(CASES, page_faults=page_faults, edit_faults=edit_faults) as server:
        monkeypatch.setattr(tervix_main, "requests", LoopbackRequests(server.origin))
        text = server.curl_command()
        if error is None:
            assert review(text) is None
        else:
            with pytest.raises(error) as caught:
                review(text)
            assert traceback.extract_tb(caught.tb)[1].name == TRACE_NAME
            if error is RESET:  # the reset reached the client as one
                assert any(isinstance(e, ConnectionResetError) for e in causes(caught.value))

        # The requests made up to the fault, and its lines; the case whose edit failed gets none.
        paths = [path for path, _, _ in server.log]
        assert (len(paths) - paths.count(EDIT_PATH), paths.count(EDIT_PATH)) == (lists, edits)
        expected = PROGRESS[:progress]
        for n in range(edits):
            if edit_faults.get(n) == "refuse":
                expected += [f"{FAILED}：{case_name(n)}", REFUSAL]
            elif n not in edit_faults:
                expected.append(f"{PASSED}：{case_name(n)}")
        out, err = capsys.readouterr()
        assert out.splitlines() == expected and err == ""

        # Edits made before the fault stay made; the faulty one and those never sent do not.
        done = [n < edits and n not in edit_faults for n in range(CASES)]
        assert list(server.statuses().values()) == ["Pass" if d else "Prepare" for d in done]

        # Nothing of the failed run lingers: once the server is sound, a new run completes.
        server.clear_faults()
        review(text)
        assert set(server.statuses().values()) == {"Pass"}
        out = capsys.readouterr().out.splitlines()
        assert out == PROGRESS + [f"{PASSED}：{case_name(n)}" for n in range(CASES)]
