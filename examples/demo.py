"""A tour of glimet-work: every operation the toolkit offers, run once."""

from glimet_work.duty_main import GlimetWorkMain


def main() -> None:
    work = GlimetWorkMain()
    print("compact JSON:", work._json_dumps({"名": [1, 2.5, None, True], "ok": {"a": "b"}}))


if __name__ == "__main__":
    main()
