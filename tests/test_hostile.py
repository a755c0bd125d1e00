"""Hostile input never crashes the interpreter: the driver runs in its own process."""

import os
import pathlib
import subprocess
import sys

DRIVER = pathlib.Path(__file__).with_name("hostile_driver.py")
EXAMPLES = os.environ.get("GLIMET_FUZZ_EXAMPLES", "400")


def test_hostile_objects_get_exceptions_not_crashes():
    done = subprocess.run(
        [sys.executable, "-X", "dev", str(DRIVER), EXAMPLES],
        capture_output=True,
        text=True,
        timeout=1200,
    )
    assert done.returncode == 0, (done.returncode, done.stdout[-3000:], done.stderr[-3000:])
    assert done.stdout.strip() == f"survived {EXAMPLES}"
