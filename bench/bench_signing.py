"""Times both signing operations against the plain-Python reference on the same data, and the
parameter signer against hashing its own signed text; prints seconds per call and ratios
(medians over interleaved rounds, see _timing)."""

import contextlib
import hashlib
import io
import os

from _data import large_body, small_body
from _reference import ReferenceWorkMain
from _timing import Comparison
from glimet_work.duty_main import GlimetWorkMain

BODIES = [("10-key body", small_body), ("1,000-key body", large_body)]


def hashlib_upper(text):
    return hashlib.sha256(text.encode()).hexdigest().upper()


def main():
    ours, reference = GlimetWorkMain(), ReferenceWorkMain()
    print(f"{'operation':26} {'data':15} {'ours s/call':>12} {'reference':>12} {'ratio':>6}")
    hashed = []
    for label, make in BODIES:
        # The parameter signer prints its signed text on every call.
        captured = io.StringIO()
        with contextlib.redirect_stdout(captured):
            ours._tervix_saas_sign_params(make())
        text = captured.getvalue().rstrip("\n")
        with open(os.devnull, "w") as devnull, contextlib.redirect_stdout(devnull):
            timed = Comparison({
                "sign": (ours._tervix_saas_sign, make()),
                "sign reference": (reference._tervix_saas_sign, make()),
                "params": (ours._tervix_saas_sign_params, make()),
                "params reference": (reference._tervix_saas_sign_params, make()),
                "hashlib": (hashlib_upper, text),
            })
        for operation, name in [("_tervix_saas_sign", "sign"), ("_tervix_saas_sign_params", "params")]:
            print(f"{operation:26} {label:15} {timed.seconds(name):12.3e} "
                  f"{timed.seconds(name + ' reference'):12.3e} {timed.ratio(name, name + ' reference'):6.2f}")
        hashed.append((label, timed))

    # What the parameter signer cannot beat: hashing the very text it signs.
    print(f"\n{'params signer vs hashlib on its own text':41} {'ours':>10} {'hashlib':>10} {'x':>5}")
    for label, timed in hashed:
        print(f"{label:41} {timed.seconds('params'):10.3e} {timed.seconds('hashlib'):10.3e} "
              f"{timed.ratio('params', 'hashlib'):5.2f}")


if __name__ == "__main__":
    main()
