"""Times both signing operations against the plain-Python reference on the same data and
prints seconds per call (median of five runs) and the ratio to the reference."""

import contextlib
import hashlib
import io
import os
import statistics
import timeit

from _data import large_body, small_body
from _reference import ReferenceWorkMain
from glimet_work.duty_main import GlimetWorkMain


def per_call(fn, arg, repeat=5):
    timer = timeit.Timer(lambda: fn(arg))
    number, _ = timer.autorange()
    return statistics.median(timer.repeat(repeat, number)) / number


def main():
    ours, reference = GlimetWorkMain(), ReferenceWorkMain()
    bodies = [("10-key body", small_body), ("1,000-key body", large_body)]
    operations = ["_tervix_saas_sign", "_tervix_saas_sign_params"]
    print(f"{'operation':26} {'data':15} {'ours s/call':>12} {'reference':>12} {'ratio':>6}")
    # The parameter signer prints its signed text on every call.
    with open(os.devnull, "w") as devnull, contextlib.redirect_stdout(devnull):
        rows = []
        for operation in operations:
            for label, make in bodies:
                ours_time = per_call(getattr(ours, operation), make())
                reference_time = per_call(getattr(reference, operation), make())
                rows.append((operation, label, ours_time, reference_time))
    for operation, label, ours_time, reference_time in rows:
        ratio = ours_time / reference_time
        print(f"{operation:26} {label:15} {ours_time:12.3e} {reference_time:12.3e} {ratio:6.2f}")


def hash_of_own_text():
    """The parameter signer against hashing the very text it signs (what it cannot beat)."""
    ours = GlimetWorkMain()
    print(f"\n{'params signer vs hashlib on its own text':41} {'ours':>10} {'hashlib':>10} {'x':>5}")
    for label, make in [("10-key body", small_body), ("1,000-key body", large_body)]:
        captured = io.StringIO()
        with contextlib.redirect_stdout(captured):
            ours._tervix_saas_sign_params(make())
        text = captured.getvalue().rstrip("\n")
        with open(os.devnull, "w") as devnull, contextlib.redirect_stdout(devnull):
            mine = per_call(ours._tervix_saas_sign_params, make())
        base = per_call(lambda t: hashlib.sha256(t.encode()).hexdigest().upper(), text)
        print(f"{label:41} {mine:10.3e} {base:10.3e} {mine / base:5.2f}")


if __name__ == "__main__":
    main()
    hash_of_own_text()
