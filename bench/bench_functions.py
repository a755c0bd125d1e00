"""The package's functions against the operations they stand for, called on a GlimetWorkMain:
what calling glimet_work.sign instead of work._tervix_saas_sign costs (or saves), on inputs
small enough for the call itself to show. Prints seconds per call, the difference in
nanoseconds and the ratio (medians over interleaved rounds, see _timing)."""

import contextlib
import os

from _data import small_body
from _timing import Comparison

import glimet_work
from glimet_work.duty_main import GlimetWorkMain

NOTICE = "【登录优化】https://example.org/1"


def main():
    work = GlimetWorkMain()
    pairs = [
        # (label, ours, theirs, argument maker)
        ("sign, empty body", glimet_work.sign, work._tervix_saas_sign, dict),
        ("sign, 10-key body", glimet_work.sign, work._tervix_saas_sign, small_body),
        (
            "sign_params, 1 key",
            glimet_work.sign_params,
            work._tervix_saas_sign_params,
            lambda: {"page": 1},
        ),
        (
            "sign_params echo=False",
            lambda p: glimet_work.sign_params(p, echo=False),
            work._tervix_saas_sign_params,
            lambda: {"page": 1},
        ),
        ("dumps, an int", glimet_work.dumps, work._json_dumps, lambda: 1),
        ("dumps, 10-key body", glimet_work.dumps, work._json_dumps, small_body),
        (
            "notice, one line",
            glimet_work.notice,
            work._tervix_test_production_demand,
            lambda: NOTICE,
        ),
    ]
    print(
        f"{'function vs operation':24} {'ours s/call':>12} {'operation':>12} {'diff ns':>8} "
        f"{'ratio':>6}"
    )
    # The printing ones print into nothing, alike for both sides.
    with open(os.devnull, "w") as devnull:
        for label, ours, theirs, make in pairs:
            with contextlib.redirect_stdout(devnull):
                timed = Comparison({"ours": (ours, make()), "operation": (theirs, make())})
            mine, base = timed.seconds("ours"), timed.seconds("operation")
            print(
                f"{label:24} {mine:12.3e} {base:12.3e} {(mine - base) * 1e9:8.1f} "
                f"{timed.ratio('ours', 'operation'):6.2f}"
            )


if __name__ == "__main__":
    main()
