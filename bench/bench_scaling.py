"""Cost per key of both signing operations on 10, 1,000 and 100,000-key bodies: flat figures
mean the cost grows linearly with the number of keys."""

import contextlib
import os
import statistics
import timeit

from _data import large_body
from glimet_work.duty_main import GlimetWorkMain


def per_call(fn, arg, repeat=5):
    timer = timeit.Timer(lambda: fn(arg))
    number, _ = timer.autorange()
    return statistics.median(timer.repeat(repeat, number)) / number


def main():
    work = GlimetWorkMain()
    sizes = [10, 1_000, 100_000]
    rows = []
    with open(os.devnull, "w") as devnull, contextlib.redirect_stdout(devnull):
        for operation in ["_tervix_saas_sign", "_tervix_saas_sign_params", "_json_dumps"]:
            for size in sizes:
                body = large_body(size)
                seconds = per_call(getattr(work, operation), body, repeat=3 if size > 1000 else 5)
                rows.append((operation, size, seconds))
    print(f"{'operation':26} {'keys':>8} {'s/call':>10} {'ns/key':>8}")
    for operation, size, seconds in rows:
        print(f"{operation:26} {size:8d} {seconds:10.3e} {seconds / size * 1e9:8.0f}")


if __name__ == "__main__":
    main()
