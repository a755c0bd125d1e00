"""``python -m glimet_work``: the glimet-work command line."""

from glimet_work.cli import run

if __name__ == "__main__":
    run()
