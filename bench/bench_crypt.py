"""m_crypt.sha256 against hashlib on the same text."""

import hashlib
import statistics
import timeit

from glimet_crypt import m_crypt


def per_call(fn, arg, repeat=7):
    timer = timeit.Timer(lambda: fn(arg))
    number, _ = timer.autorange()
    return statistics.median(timer.repeat(repeat, number)) / number


def baseline(text):
    return hashlib.sha256(text.encode()).hexdigest().upper()


def main():
    for label, text in [
        ("300 chars", "a=1&b=[\"张三\"]&" * 20),
        ("30,000 chars", "name=测试&page=1&" * 2000),
    ]:
        assert m_crypt.sha256(text) == baseline(text)
        mine, base = per_call(m_crypt.sha256, text), per_call(baseline, text)
        print(f"{label:13} m_crypt.sha256 {mine:.3e} s  hashlib {base:.3e} s  "
              f"ratio {mine / base:.2f}")


if __name__ == "__main__":
    main()
