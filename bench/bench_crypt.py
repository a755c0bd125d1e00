"""m_crypt.sha256 against hashlib on the same text."""

import hashlib

from _timing import Comparison
from glimet_crypt import _engine, m_crypt


def baseline(text):
    return hashlib.sha256(text.encode()).hexdigest().upper()


def main():
    for label, text in [
        ("300 chars", "a=1&b=[\"张三\"]&" * 20),
        ("30,000 chars", "name=测试&page=1&" * 2000),
    ]:
        assert m_crypt.sha256(text) == baseline(text)
        timed = Comparison({"ours": (m_crypt.sha256, text), "hashlib": (baseline, text)})
        print(f"{label:13} m_crypt.sha256 {timed.seconds('ours'):.3e} s  "
              f"hashlib {timed.seconds('hashlib'):.3e} s  ratio {timed.ratio('ours', 'hashlib'):.2f}"
              f"  ({_engine})")


if __name__ == "__main__":
    main()
