"""Cost per key of both signing operations and of _json_dumps on 10, 1,000 and 100,000-key
bodies, beside the plain-Python reference's on the same body: flat figures mean the cost
grows linearly with the number of keys, and the reference shows what the machine's memory
adds to it for a large dict."""

import contextlib
import os

from _data import large_body
from _reference import ReferenceWorkMain
from _timing import Comparison
from glimet_work.duty_main import GlimetWorkMain


def main():
    ours, reference = GlimetWorkMain(), ReferenceWorkMain()
    print(f"{'operation':26} {'keys':>8} {'s/call':>10} {'ns/key':>8} {'reference ns/key':>17} {'ratio':>6}")
    with open(os.devnull, "w") as devnull, contextlib.redirect_stdout(devnull):
        rows = []
        for operation in ["_tervix_saas_sign", "_tervix_saas_sign_params", "_json_dumps"]:
            for size in [10, 1_000, 100_000]:
                timed = Comparison(
                    {"ours": (getattr(ours, operation), large_body(size)),
                     "reference": (getattr(reference, operation), large_body(size))},
                    rounds=5 if size > 1000 else 15,
                )
                rows.append((operation, size, timed))
    for operation, size, timed in rows:
        mine, base = timed.seconds("ours"), timed.seconds("reference")
        print(f"{operation:26} {size:8d} {mine:10.3e} {mine / size * 1e9:8.0f} "
              f"{base / size * 1e9:17.0f} {timed.ratio('ours', 'reference'):6.2f}")


if __name__ == "__main__":
    main()
